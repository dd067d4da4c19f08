// The management link against an in-process ponkernel: one exchange at a
// time, strict answer matching, tags, notifications, what the receive path
// drops, and the stop on an exhausted pool.
#include "mgmt/kernlink.h"

#include "base/bytes.h"
#include "common/mgmt_conn.h"
#include "common/memory_stream.h"
#include "common/link_fixture.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

namespace {

constexpr uint16_t CMD_PING = 0x0009;

// An answer as the configuration module would send it.
std::vector<uint8_t> config_answer(uint16_t cmd, uint16_t tag)
{
    kernmsg_header h;
    h.cmd = cmd;
    h.tag = tag;
    h.type = KERNMSG_ANSWER;
    h.src = MODULE_CONFIG;
    h.dst = MODULE_CHIPSET;
    return mgmt_build(h);
}

using Link = LinkFixture;

TEST_F(Link, ArgumentsAreCheckedBeforeAnythingIsSent)
{
    EXPECT_EQ(kernlink_send_message(nullptr, nullptr, 1), KERNLINK_NO_MESSAGE);
    std::vector<uint8_t> request = mgmt_build(kernmsg_header{});
    EXPECT_EQ(kernlink_send_message(request.data(), nullptr, 1), KERNLINK_NO_ANSWER_POINTER);
}

TEST_F(Link, TwoRequestsFromTwoThreadsAreAnsweredInTurn)
{
    uint8_t *answers[2] = {};
    int results[2] = {1, 1};
    std::thread first([&] { results[0] = kernlink_request(CMD_PING, MODULE_CONFIG, nullptr, 0, &answers[0], 5); });
    std::thread second([&] { results[1] = kernlink_request(CMD_PING, MODULE_CONFIG, nullptr, 0, &answers[1], 5); });
    first.join();
    second.join();
    ASSERT_EQ(results[0], 0);
    ASSERT_EQ(results[1], 0);
    uint16_t tags[2] = {kernmsg_header_decode(answers[0]).tag, kernmsg_header_decode(answers[1]).tag};
    EXPECT_EQ(std::abs(int(tags[0]) - int(tags[1])), 1) << "each exchange takes the next tag";
    EXPECT_EQ(kernel_.requests_seen(CMD_PING), 2u);
    BFREE(answers[0]);
    BFREE(answers[1]);
}

class SilentConfig : public LinkFixture {
    ponkernel_options options() override
    {
        ponkernel_options o = LinkFixture::options();
        o.answer_ping = false;
        return o;
    }
};

TEST_F(SilentConfig, LateAnswerAndStaleTagAreDropped)
{
    uint8_t *answer = nullptr;
    std::thread late([&] { EXPECT_EQ(kernlink_request(CMD_PING, MODULE_CONFIG, nullptr, 0, &answer, 1), KERNLINK_TIMEOUT); });
    ASSERT_TRUE(advance_when_waiting(1001));
    late.join();
    EXPECT_EQ(answer, nullptr);
    kernlink_counters before = kernlink_counters_get();

    // The answer to the request that timed out (tag 1) comes too late.
    ASSERT_EQ(kernel_.send_raw(config_answer(CMD_PING, 1)), 0);
    ASSERT_TRUE(eventually([&] { return kernlink_counters_get().dropped_answers == before.dropped_answers + 1; }));

    // While a request waits, an answer with another tag is not taken for it.
    int result = 0;
    std::thread waiter([&] { result = kernlink_request(CMD_PING, MODULE_CONFIG, nullptr, 0, &answer, 3); });
    ASSERT_TRUE(eventually([&] { return kernel_.requests_seen(CMD_PING) == 2; }));
    ASSERT_EQ(kernel_.send_raw(config_answer(CMD_PING, 77)), 0);
    ASSERT_TRUE(eventually([&] { return kernlink_counters_get().dropped_answers == before.dropped_answers + 2; }));
    ASSERT_EQ(kernel_.send_raw(config_answer(CMD_PING, 2)), 0);
    waiter.join();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(kernmsg_header_decode(answer).tag, 2);
    EXPECT_TRUE(eventually([&] { return kernlink_counters_get().answers == before.answers + 1; }));
    BFREE(answer);
}

TEST_F(Link, NotificationTakesATagAndAnAnswerKeepsItsRequests)
{
    ASSERT_EQ(kernlink_notify(129, 3, 0, 0, 0, "00:0D:B6:00:00:01 configure ok"), 0);
    ASSERT_EQ(kernlink_notify_fmt(131, 5, 12, 0, 0, "%s", ""), 0);
    ASSERT_TRUE(kernel_.wait_notifications(2, 5));
    auto notes = kernel_.notifications();
    EXPECT_EQ(notes[0].code, 129);
    EXPECT_EQ(notes[0].num[0], 3u);
    EXPECT_STREQ(notes[0].text, "00:0D:B6:00:00:01 configure ok");
    EXPECT_EQ(notes[1].code, 131);
    EXPECT_EQ(notes[1].num[1], 12u);

    uint8_t *answer = nullptr;
    ASSERT_EQ(kernlink_request(CMD_PING, MODULE_CONFIG, nullptr, 0, &answer, 5), 0);
    EXPECT_EQ(kernmsg_header_decode(answer).tag, 3) << "two notifications took tags 1 and 2";
    BFREE(answer);
}

TEST_F(Link, ReceivePathSortsAndDrops)
{
    kernlink_counters before = kernlink_counters_get();
    kernmsg_header other;
    other.cmd = 0x1005;
    other.type = KERNMSG_REQUEST;
    other.dst = MODULE_WEBS;
    ASSERT_EQ(kernel_.send_raw(mgmt_build(other)), 0);
    kernmsg_header mine = other;
    mine.dst = MODULE_CHIPSET;
    ASSERT_EQ(kernel_.send_raw(mgmt_build(mine, std::vector<uint8_t>(40, 7))), 0);

    uint8_t *request = kernlink_take_request(5);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(kernmsg_header_decode(request).len, 40u);
    EXPECT_EQ(request[KERNMSG_HEADER_SIZE + 39], 7);
    BFREE(request);
    EXPECT_TRUE(eventually([&] { return kernlink_counters_get().requests == before.requests + 1; }));
    EXPECT_EQ(kernlink_counters_get().dropped_dst, before.dropped_dst + 1);
}

// A peer sends 48 commands of 128 KiB, six times a quarter of the pool,
// before anyone serves them: the receive thread stops reading once the
// queued ones hold a quarter, and every command is answered once the
// dispatcher runs. Without the pause the pool runs dry and the process ends.
TEST_F(Link, AFloodOfLargeCommandsWaitsInTheSocketAndIsServedInFull)
{
    constexpr unsigned FLOOD = 48;
    const size_t block = bblock_bytes(long(KERNMSG_RX_BUFFER));
    const kernlink_counters before = kernlink_counters_get();
    unsigned sent = 0;
    std::thread peer([&] { sent = kernel_.flood(CMD_PING, FLOOD, KERNMSG_RX_BUFFER - KERNMSG_HEADER_SIZE); });
    ASSERT_TRUE(eventually([&] { return kernlink_counters_get().paused > before.paused; }));
    EXPECT_LE((kernlink_counters_get().requests - before.requests) * block,
              bregion_size() / KERNLINK_POOL_SHARE + block);

    std::thread dispatcher(kernlink_process_loop);
    EXPECT_TRUE(eventually([&] { return kernel_.answers_seen(CMD_PING) == FLOOD; }));
    run_flag = 0;
    mqueue_put(kernlink_request_queue(), nullptr);   // ends the loop's wait
    dispatcher.join();
    peer.join();
    EXPECT_EQ(sent, FLOOD);
    EXPECT_EQ(kernlink_counters_get().requests - before.requests, FLOOD);
}

TEST_F(Link, BadMagicClosesTheConnectionAndTheLinkComesBack)
{
    std::vector<uint8_t> bad = mgmt_build(kernmsg_header{});
    bad[12] = 0x00;
    unsigned connections = kernel_.connections();
    ASSERT_EQ(kernel_.send_raw(bad), 0);
    ASSERT_TRUE(advance_until([&] { return kernel_.connections() == connections + 1 && kernel_.connected(); }));
    ASSERT_TRUE(eventually([] { return kernlink_connected(); }));
    uint8_t *answer = nullptr;
    ASSERT_EQ(kernlink_request(CMD_PING, MODULE_CONFIG, nullptr, 0, &answer, 5), 0);
    BFREE(answer);
}

TEST_F(Link, SendWhileDisconnectedFailsAtOnce)
{
    kernel_.stop();
    ASSERT_TRUE(eventually([] { return !kernlink_connected(); }));
    uint8_t *answer = nullptr;
    EXPECT_EQ(kernlink_request(CMD_PING, MODULE_CONFIG, nullptr, 0, &answer, 5), KERNLINK_NOT_CONNECTED);
    EXPECT_EQ(kernlink_notify(2, 0, 0, 0, 0, "x"), KERNLINK_NOT_CONNECTED);
}

// The management process played by the test itself, byte by byte, on a
// listening socket at the sandbox's "/tmp/chip.sock", with the fake clock.
class RawPeer : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zandrel-raw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::filesystem::create_directories(root_ + "/tmp");
        setenv("ZANDREL_ROOT", root_.c_str(), 1);
        flags.r = 0;
        run_flag = 1;
        ASSERT_EQ(bopen(nullptr, 1 << 22, 0), 0);
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s/tmp/chip.sock", root_.c_str());
        ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener_, 4), 0);
        clock_fake_set(1000);
        kernlink_init();
    }
    void TearDown() override
    {
        kernlink_close();
        clock_fake_release();
        for (int fd : {listener_, first_, second_})
            if (fd >= 0)
                close(fd);
        bclose();
        unsetenv("ZANDREL_ROOT");
        std::filesystem::remove_all(root_);
    }

    // The daemon's next connection, once its reconnect pause has run out.
    int accept_link()
    {
        int fd = -1;
        advance_until([&] { return (fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; });
        return fd;
    }
    static bool open_link(int fd)
    {
        uint8_t byte;
        return recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    }
    static bool closed_link(int fd)
    {
        uint8_t byte;
        return recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
    }

    std::string root_;
    int listener_ = -1, first_ = -1, second_ = -1;
};

TEST_F(RawPeer, AMessageStalledHalfWayCostsItsConnectionButAnIdleLinkStaysOpen)
{
    first_ = accept_link();
    ASSERT_GE(first_, 0);
    kernlink_counters before = kernlink_counters_get();
    kernmsg_header h;
    h.cmd = 0x1005;
    h.type = KERNMSG_REQUEST;
    h.dst = MODULE_CHIPSET;
    const std::vector<uint8_t> whole = mgmt_build(h, {1, 2, 3});

    // Idle before and between messages, for an hour each.
    clock_fake_advance(3600);
    ASSERT_EQ(send(first_, whole.data(), whole.size(), 0), ssize_t(whole.size()));
    ASSERT_TRUE(eventually([&] { return kernlink_counters_get().requests == before.requests + 1; }));
    clock_fake_advance(3600);
    EXPECT_TRUE(open_link(first_));

    // Five bytes of the next header, then silence.
    ASSERT_EQ(send(first_, whole.data(), 5, 0), 5);
    ASSERT_TRUE(advance_when_waiting(KERNLINK_STALL_SECONDS * 1000 - 1));
    EXPECT_TRUE(open_link(first_)) << "closed before the stall limit";
    ASSERT_TRUE(advance_when_waiting(1));
    ASSERT_TRUE(eventually([&] { return closed_link(first_); }));
    EXPECT_EQ(kernlink_counters_get().stalls, before.stalls + 1);

    // The link comes back and carries whole messages again.
    second_ = accept_link();
    ASSERT_GE(second_, 0);
    ASSERT_EQ(send(second_, whole.data(), whole.size(), 0), ssize_t(whole.size()));
    ASSERT_TRUE(eventually([&] { return kernlink_counters_get().requests == before.requests + 2; }));
    EXPECT_EQ(kernlink_counters_get().connections, before.connections + 1);
}

TEST(LinkDeath, ExhaustedPoolOnReceiveStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, ZANDREL_DEATH_TEST_STYLE);
    EXPECT_EXIT(
        {
            bopen(nullptr, 1 << 20, 0);
            kernlink_queues_open();
            kernmsg_header h;
            h.cmd = 0x1005;
            h.dst = MODULE_CHIPSET;
            memory_stream stream{mgmt_build(h)};
            balloc_fail_nth(1);
            kernlink_rx_proc(memory_read, &stream);
        },
        ::testing::ExitedWithCode(KERNLINK_EXIT_POOL_EXHAUSTED), "");
}

} // namespace
