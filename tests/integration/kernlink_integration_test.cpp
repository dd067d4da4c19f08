// The real daemon against ponkernel, each test in its own sandbox root:
// connecting, serving the ping, reconnecting after the peer goes away or
// breaks the stream, the resource report, TCP mode and a clean stop.
#include "common/mgmt_conn.h"
#include "integration/harness.h"
#include "ponkernel/ponkernel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int START_SECONDS = 30;   // the daemon sleeps 4 seconds before it connects
const char CONNECTED[] = "kernlink: connected to kernel";

class Daemon : public ::testing::Test {
protected:
    void start_daemon(const std::vector<std::string> &args = {})
    {
        ASSERT_TRUE(daemon_.start(box_, "zandrel", ZANDREL_BIN, args));
    }
    int connections_logged() { return count_in_file(daemon_.err_path(), CONNECTED); }
    // Stops the daemon, which must end cleanly.
    void expect_clean_stop()
    {
        EXPECT_EQ(daemon_.stop(15), 0) << daemon_.err();
    }

    sandbox box_;
    process daemon_;
};

// ---- against the ponkernel program ---------------------------------------

class WithPonkernelProgram : public Daemon {
protected:
    void start_ponkernel()
    {
        ASSERT_TRUE(kernel_.start(box_, "ponkernel", PONKERNEL_BIN));
        ASSERT_TRUE(eventually([&] { return kernel_.out().find("listening") != std::string::npos; }, 10));
    }
    run_result ponctl(const std::vector<std::string> &args) { return run_program(box_, "ponctl", PONCTL_BIN, args); }

    process kernel_;
};

TEST_F(WithPonkernelProgram, ServesPingRawCommandsAndTheResourceReport)
{
    start_ponkernel();
    start_daemon();
    ASSERT_TRUE(eventually([&] { return connections_logged() == 1; }, START_SECONDS)) << daemon_.err();
    // Serving starts once the configuration module answered the daemon's ping.
    ASSERT_TRUE(eventually([&] { return ponctl({"ping"}).status == 0; }, START_SECONDS));
    run_result ping = ponctl({"ping"});
    EXPECT_EQ(ping.out, "ping answered: rcode 0\n");
    EXPECT_NE(daemon_.out().find("kernlink_process_loop Handling CMDPING in main thread"), std::string::npos);

    run_result raw = ponctl({"raw", "0x0009"});
    EXPECT_EQ(raw.status, 0);
    EXPECT_NE(raw.out.find("cmd 0x0009"), std::string::npos);
    EXPECT_NE(raw.out.find("src 1 dst 0 rcode 0 len 0"), std::string::npos);

    // An unknown command gets no answer.
    raw = ponctl({"raw", "0x0F7F", "01 02"});
    EXPECT_EQ(raw.status, 3) << raw.out;
    EXPECT_NE(daemon_.out().find("kernlink_process_loop Got message NULL"), std::string::npos);

    run_result report = ponctl({"report"});
    ASSERT_EQ(report.status, 0) << report.err;
    EXPECT_EQ(report.out, "resource report written: rcode 0\n");
    std::string text = read_file(box_.path("/tmp/system_resources.log"));
    size_t stats = text.find("Memory Stats");
    size_t queues = text.find("Queue list:");
    ASSERT_NE(stats, std::string::npos) << text;
    ASSERT_NE(queues, std::string::npos) << text;
    EXPECT_LT(stats, queues);
    EXPECT_NE(text.find("kernlink.cpp"), std::string::npos) << "the link's queues are listed";
    expect_clean_stop();
}

TEST_F(WithPonkernelProgram, ReconnectsAfterPonkernelRestarts)
{
    start_ponkernel();
    start_daemon();
    ASSERT_TRUE(eventually([&] { return ponctl({"ping"}).status == 0; }, START_SECONDS));
    EXPECT_EQ(kernel_.stop(), 0);
    ASSERT_TRUE(eventually([&] { return count_in_file(daemon_.err_path(), "kernlink: connect error") > 0; }, 10));
    start_ponkernel();
    ASSERT_TRUE(eventually([&] { return connections_logged() == 2; }, 10)) << daemon_.err();
    ASSERT_TRUE(eventually([&] { return ponctl({"ping"}).status == 0; }, 10));
    expect_clean_stop();
}

// ---- against an in-process ponkernel with fault injection -----------------

class WithKernelInProcess : public Daemon {
protected:
    void start_kernel(uint16_t tcp_port = 0)
    {
        ponkernel_options o;
        o.unix_path = box_.path("/tmp/chip.sock");
        o.tcp_port = tcp_port;
        o.print = false;
        ASSERT_EQ(kernel_.start(o), 0);
    }
    // Connected and serving: the daemon's own ping was answered and it
    // answers ours.
    void wait_serving()
    {
        ASSERT_TRUE(kernel_.wait_connected(START_SECONDS));
        ASSERT_TRUE(eventually([&] { return kernel_.command(0x0009, {}, nullptr, 2) == 0; }, START_SECONDS));
    }

    ponkernel_server kernel_;
};

TEST_F(WithKernelInProcess, BrokenHeaderClosesTheConnectionAndTheDaemonReconnects)
{
    start_kernel();
    start_daemon();
    wait_serving();
    std::vector<uint8_t> bad_magic = mgmt_build(kernmsg_header{});
    bad_magic[13] = 0x00;
    kernmsg_header huge;
    huge.cmd = 0x2005;
    huge.dst = 1;
    huge.len = 200000;
    std::vector<uint8_t> oversized(KERNMSG_HEADER_SIZE);
    kernmsg_header_encode(oversized.data(), huge);
    struct {
        std::vector<uint8_t> header;
        std::vector<std::string> logged;
    } cases[] = {
        {bad_magic, {"check_message_header returns -1", "dump: 00 00 00 00 00 00 00 00 00 00 00 00 48 00 48 A5"}},
        {oversized, {"kernlink: message length 200000 exceeds the receive buffer"}},
    };
    unsigned connections = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.logged[0]);
        ASSERT_EQ(kernel_.send_raw(c.header), 0);
        connections++;
        ASSERT_TRUE(eventually([&] { return kernel_.connections() == connections && kernel_.connected(); }, 10));
        std::string err = daemon_.err();
        for (const std::string &line : c.logged)
            EXPECT_NE(err.find(line), std::string::npos) << err;
        ASSERT_TRUE(daemon_.running());
        ASSERT_EQ(kernel_.command(0x0009, {}, nullptr, 5), 0);
    }
    expect_clean_stop();
}

TEST_F(WithKernelInProcess, TcpWithOptionR)
{
    uint16_t port = free_tcp_port();
    box_.environment["ZANDREL_KERNEL_PORT"] = std::to_string(port);
    start_kernel(port);
    start_daemon({"-r", "1"});
    wait_serving();
    // A large answer crosses TCP in 256-byte pieces and arrives whole.
    std::vector<uint8_t> answer;
    ASSERT_EQ(kernel_.command(0x7002, std::vector<uint8_t>(32), &answer, 5), 0);
    EXPECT_EQ(mgmt_header(answer).len, 32u);
    expect_clean_stop();
}

TEST_F(WithKernelInProcess, SilentConfigModuleKeepsTheDaemonWaiting)
{
    ponkernel_options o;
    o.unix_path = box_.path("/tmp/chip.sock");
    o.print = false;
    o.answer_ping = false;
    ASSERT_EQ(kernel_.start(o), 0);
    start_daemon();
    ASSERT_TRUE(kernel_.wait_connected(START_SECONDS));
    ASSERT_TRUE(eventually([&] { return kernel_.requests_seen(0x0009) >= 2; }, 20)) << "the ping is repeated";
    EXPECT_EQ(kernel_.command(0x0009, {}, nullptr, 2), -2) << "no commands served before the ping is answered";
    expect_clean_stop();
}

} // namespace
