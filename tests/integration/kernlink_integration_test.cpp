// The real daemon against ponkernel, each test in its own sandbox root:
// serving the ping and the resource report, reconnecting after the peer
// goes away or breaks the stream, TCP mode, and a clean stop.
#include "common/mgmt_conn.h"
#include "integration/harness.h"
#include "ponkernel/ponkernel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int START_SECONDS = 30;   // the daemon sleeps 4 seconds before it connects

class Daemon : public ::testing::Test {
protected:
    void start_daemon(const std::vector<std::string> &args = {})
    {
        ASSERT_TRUE(daemon_.start(box_, "zandrel", ZANDREL_BIN, args));
    }
    // Stops the daemon, which must end cleanly.
    void expect_clean_stop() { EXPECT_EQ(daemon_.stop(15), 0) << daemon_.err(); }

    sandbox box_;
    process daemon_;
};

TEST_F(Daemon, ServesThePonkernelProgramAndComesBackAfterItsRestart)
{
    process kernel;
    auto start_kernel = [&] {
        ASSERT_TRUE(kernel.start(box_, "ponkernel", PONKERNEL_BIN));
        ASSERT_TRUE(eventually([&] { return kernel.out().find("listening") != std::string::npos; }, 10));
    };
    auto ponctl = [&](const std::vector<std::string> &args) { return run_program(box_, "ponctl", PONCTL_BIN, args); };
    start_kernel();
    start_daemon();
    // Serving starts once the configuration module answered the daemon's ping.
    ASSERT_TRUE(eventually([&] { return ponctl({"ping"}).status == 0; }, START_SECONDS)) << daemon_.err();
    EXPECT_NE(daemon_.out().find("kernlink_process_loop Handling CMDPING in main thread"), std::string::npos);
    EXPECT_EQ(ponctl({"raw", "0x0F7F", "01 02"}).status, 3) << "an unknown command gets no answer";

    ASSERT_EQ(ponctl({"report"}).out, "resource report written: rcode 0\n");
    std::string text = read_file(box_.path("/tmp/system_resources.log"));
    size_t stats = text.find("Memory Stats");
    ASSERT_NE(stats, std::string::npos) << text;
    EXPECT_LT(stats, text.find("Queue list:"));
    EXPECT_NE(text.find("kernlink.cpp"), std::string::npos) << "the link's queues are listed";

    EXPECT_EQ(kernel.stop(), 0);
    ASSERT_TRUE(eventually([&] { return count_in_file(daemon_.err_path(), "kernlink: connect error") > 0; }, 10));
    start_kernel();
    ASSERT_TRUE(eventually([&] { return ponctl({"ping"}).status == 0; }, 10));
    expect_clean_stop();
}

// Over TCP (-r 1), a broken header costs the connection, which the daemon
// makes again, and a large answer crosses in 256-byte pieces whole.
TEST_F(Daemon, BrokenHeadersOverTcpCostTheConnectionOnly)
{
    uint16_t port = free_tcp_port();
    box_.environment["ZANDREL_KERNEL_PORT"] = std::to_string(port);
    ponkernel_server kernel;
    ponkernel_options o;
    o.unix_path = box_.path("/tmp/chip.sock");
    o.tcp_port = port;
    o.print = false;
    ASSERT_EQ(kernel.start(o), 0);
    start_daemon({"-r", "1"});
    ASSERT_TRUE(kernel.wait_connected(START_SECONDS));
    ASSERT_TRUE(eventually([&] { return kernel.command(0x0009, {}, nullptr, 2) == 0; }, START_SECONDS));

    std::vector<uint8_t> bad_magic = mgmt_build(kernmsg_header{});
    bad_magic[13] = 0x00;
    kernmsg_header huge;
    huge.cmd = 0x2005;
    huge.dst = 1;
    huge.len = 200000;
    std::vector<uint8_t> oversized(KERNMSG_HEADER_SIZE);
    kernmsg_header_encode(oversized.data(), huge);
    const struct {
        std::vector<uint8_t> header;
        const char *logged;
    } cases[] = {
        {bad_magic, "dump: 00 00 00 00 00 00 00 00 00 00 00 00 48 00 48 A5"},
        {oversized, "kernlink: message length 200000 exceeds the receive buffer"},
    };
    unsigned connections = 1;
    for (const auto &c : cases) {
        ASSERT_EQ(kernel.send_raw(c.header), 0);
        connections++;
        ASSERT_TRUE(eventually([&] { return kernel.connections() == connections && kernel.connected(); }, 10));
        EXPECT_NE(daemon_.err().find(c.logged), std::string::npos) << daemon_.err();
        ASSERT_EQ(kernel.command(0x0009, {}, nullptr, 5), 0);
    }
    std::vector<uint8_t> answer;
    ASSERT_EQ(kernel.command(0x7002, std::vector<uint8_t>(32), &answer, 5), 0);
    EXPECT_EQ(mgmt_header(answer).len, 32u);
    expect_clean_stop();
}

TEST_F(Daemon, SilentConfigModuleKeepsTheDaemonWaiting)
{
    ponkernel_server kernel;
    ponkernel_options o;
    o.unix_path = box_.path("/tmp/chip.sock");
    o.print = false;
    o.answer_ping = false;
    ASSERT_EQ(kernel.start(o), 0);
    start_daemon();
    ASSERT_TRUE(kernel.wait_connected(START_SECONDS));
    ASSERT_TRUE(eventually([&] { return kernel.requests_seen(0x0009) >= 2; }, 20)) << "the ping is repeated";
    EXPECT_EQ(kernel.command(0x0009, {}, nullptr, 2), -2) << "no commands served before the ping is answered";
    expect_clean_stop();
}

} // namespace
