// The real daemon against an in-process ponkernel, each test in its own
// sandbox root: TCP mode, the connection a broken header costs, no command
// served before the configuration module answered the ping, and a clean
// stop. Serving the ponkernel program, its restart and the resource report
// are every board test's daily bread.
#include "common/mgmt_conn.h"
#include "integration/harness.h"
#include "ponkernel/ponkernel.h"

#include <gtest/gtest.h>

namespace {

constexpr int START_SECONDS = 30;   // the daemon sleeps 4 seconds before it connects

class Daemon : public ::testing::Test {
protected:
    void start(bool tcp, bool answer_ping)
    {
        ponkernel_options o;
        o.unix_path = box_.path("/tmp/chip.sock");
        o.tcp_port = tcp ? loopback_port() : 0;
        o.print = false;
        o.answer_ping = answer_ping;
        if (tcp)
            box_.environment["ZANDREL_KERNEL_PORT"] = std::to_string(o.tcp_port);
        ASSERT_EQ(kernel_.start(o), 0);
        ASSERT_TRUE(daemon_.start(box_, "zandrel", ZANDREL_BIN, {"-r", tcp ? "1" : "0"}));
        ASSERT_TRUE(kernel_.wait_connected(START_SECONDS));
    }

    sandbox box_;
    ponkernel_server kernel_;
    process daemon_;
};

// Over TCP, a broken header costs the connection, which the daemon makes
// again, and a large answer crosses in 256-byte pieces whole.
TEST_F(Daemon, BrokenHeadersOverTcpCostTheConnectionOnly)
{
    start(true, true);
    ASSERT_TRUE(eventually([&] { return kernel_.command(0x0009, {}, nullptr, 2) == 0; }, START_SECONDS));
    std::vector<uint8_t> bad_magic = mgmt_build(kernmsg_header{});
    bad_magic[13] = 0x00;
    std::vector<uint8_t> oversized(KERNMSG_HEADER_SIZE);
    kernmsg_header_encode(oversized.data(), {.cmd = 0x2005, .dst = 1, .len = 200000});
    const struct {
        std::vector<uint8_t> header;
        const char *logged;
    } cases[] = {
        {bad_magic, "dump: 00 00 00 00 00 00 00 00 00 00 00 00 48 00 48 A5"},
        {oversized, "kernlink: message length 200000 exceeds the receive buffer"},
    };
    unsigned connections = 1;
    for (const auto &c : cases) {
        ASSERT_EQ(kernel_.send_raw(c.header), 0);
        connections++;
        ASSERT_TRUE(eventually([&] { return kernel_.connections() == connections && kernel_.connected(); }, 10));
        EXPECT_NE(daemon_.err().find(c.logged), std::string::npos) << daemon_.err();
        ASSERT_EQ(kernel_.command(0x0009, {}, nullptr, 5), 0);
    }
    std::vector<uint8_t> answer;
    ASSERT_EQ(kernel_.command(0x7002, std::vector<uint8_t>(32), &answer, 5), 0);
    EXPECT_EQ(mgmt_header(answer).len, 32u);
    EXPECT_EQ(daemon_.stop(15), 0) << daemon_.err();
}

TEST_F(Daemon, SilentConfigModuleKeepsTheDaemonWaiting)
{
    start(false, false);
    ASSERT_TRUE(eventually([&] { return kernel_.requests_seen(0x0009) >= 2; }, 20)) << "the ping is repeated";
    EXPECT_EQ(kernel_.command(0x0009, {}, nullptr, 2), -2) << "no commands served before the ping is answered";
    EXPECT_EQ(daemon_.stop(15), 0) << daemon_.err();
}

} // namespace
