// The management link against an in-process ponkernel: what the receive
// path drops, the pause on a flood, the stall limit, and the stop on an
// exhausted pool. Tags and exchanges in turn are on the wire of every board
// test.
#include "mgmt/kernlink.h"

#include "common/link_fixture.h"
#include "common/memory_stream.h"
#include "common/mgmt_conn.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

constexpr uint16_t CMD_PING = 0x0009;

using Link = LinkFixture;

TEST_F(Link, ReceivePathKeepsOnlyWhatIsForTheChipsetModule)
{
    EXPECT_EQ(kernlink_send_message(nullptr, nullptr, 1), KERNLINK_NO_MESSAGE);
    std::vector<uint8_t> request = mgmt_build(kernmsg_header{});
    EXPECT_EQ(kernlink_send_message(request.data(), nullptr, 1), KERNLINK_NO_ANSWER_POINTER);
    kernlink_counters before = kernlink_counters_get();
    ASSERT_EQ(kernel_.send_raw(mgmt_build({.cmd = 0x1005, .dst = MODULE_WEBS})), 0);
    ASSERT_EQ(kernel_.send_raw(mgmt_build({.cmd = 0x1005, .dst = MODULE_CHIPSET}, std::vector<uint8_t>(40, 7))), 0);
    uint8_t *taken = kernlink_take_request(5);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken[KERNMSG_HEADER_SIZE + 39], 7);
    BFREE(taken);
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
}

// An idle link stays open for hours; a message stalled half way costs the
// connection at the stall limit, not before, and the link comes back.
TEST_F(Link, AMessageStalledHalfWayCostsItsConnectionButAnIdleLinkStaysOpen)
{
    const kernlink_counters before = kernlink_counters_get();
    unsigned connections = kernel_.connections();
    clock_fake_advance(3600);
    const std::vector<uint8_t> whole = mgmt_build({.cmd = 0x1005, .dst = MODULE_CHIPSET}, {1, 2, 3});
    ASSERT_EQ(kernel_.send_raw(std::vector<uint8_t>(whole.begin(), whole.begin() + 5)), 0);
    ASSERT_TRUE(advance_when_waiting(KERNLINK_STALL_SECONDS * 1000 - 1));
    EXPECT_EQ(kernlink_counters_get().stalls, before.stalls) << "closed before the stall limit";
    EXPECT_EQ(kernel_.connections(), connections);
    ASSERT_TRUE(advance_when_waiting(1));
    ASSERT_TRUE(eventually([&] { return kernlink_counters_get().stalls == before.stalls + 1; }));
    EXPECT_TRUE(advance_until([&] { return kernel_.connections() == connections + 1 && kernel_.connected(); }));
}

TEST(LinkDeath, ExhaustedPoolOnReceiveStopsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, ZANDREL_DEATH_TEST_STYLE);
    memory_stream stream{mgmt_build({.cmd = 0x1005, .dst = MODULE_CHIPSET})};
    EXPECT_EXIT((bopen(nullptr, 1 << 20, 0), kernlink_queues_open(), balloc_fail_nth(1),
                 kernlink_rx_proc(memory_read, &stream)),
                ::testing::ExitedWithCode(KERNLINK_EXIT_POOL_EXHAUSTED), "");
}

} // namespace
