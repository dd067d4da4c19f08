// oltsim's fault switches, seen from the daemon's side of the chip network:
// what comes back and in which order, that a chip never deals more than two
// random faults running (the daemon's third transmission of an exchange
// must get through), and switches that name no chip. The flows they drive
// (restarts, ONUs that leave and return) are the board tests'.
#include "base/bytes.h"
#include "common/loopback.h"
#include "common/wait.h"
#include "oltsim/control.h"
#include "oltsim/oltsim.h"
#include "oltsim/tftpserver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include <poll.h>
#include <sys/socket.h>

namespace {

class OltsimFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("ZANDREL_CHIP_NET", net_.c_str(), 1);
        setenv("ZANDREL_CHIP_PORT", std::to_string(loopback_chip_port()).c_str(), 1);
        oltsim::options opts;
        opts.log = opts.board = false;
        sim_ = std::make_unique<oltsim::chipset>(opts);
        ASSERT_EQ(sim_->start(), 0);
        auto address = [&](int host) {
            sockaddr_in a{AF_INET, htons(loopback_chip_port()), {}, {}};
            inet_pton(AF_INET, (net_ + "." + std::to_string(host)).c_str(), &a.sin_addr);
            return a;
        };
        sockaddr_in local = address(100), chip = address(1);
        ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
        ASSERT_EQ(connect(fd_, reinterpret_cast<sockaddr *>(&chip), sizeof chip), 0);
    }
    void TearDown() override
    {
        sim_->stop();
        close(fd_);
        unsetenv("ZANDREL_CHIP_NET");
        unsetenv("ZANDREL_CHIP_PORT");
    }
    // A request of ID 0x0101 with two bytes of data to chip 0.
    void request(uint16_t ctag)
    {
        const uint8_t out[] = {0x01, 0x01, uint8_t(ctag >> 8), uint8_t(ctag), 0x00, 0x02, 0x00, 0x01};
        ASSERT_EQ(send(fd_, out, sizeof out, 0), 8);
    }
    // `n` datagrams back from the chips, and any more there at once, as
    // "CTAG:RCODE" each, with "/SEQN" for a fragment.
    std::string receive(size_t n)
    {
        std::string seen;
        uint8_t in[256] = {};
        pollfd p{fd_, POLLIN, 0};
        for (size_t i = 0; poll(&p, 1, i < n ? 5000 : 0) == 1; i++) {
            ssize_t got = recv(fd_, in, sizeof in, 0);
            uint16_t rcode = load_be16(in + 6);
            seen += (i ? " " : "") + std::to_string(load_be16(in + 2)) + ":" + std::to_string(rcode);
            if (got >= 10 && (rcode | 1) == 15)
                seen += "/" + std::to_string(load_be16(in + 8));
        }
        return seen;
    }

    std::string net_ = loopback_chip_net();
    std::unique_ptr<oltsim::chipset> sim_;
    int fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

// Every request meets a fault while the chip lets one through after two:
// requests 1 2 | 3 | 4 5 | 6 are faulted, answered, faulted, answered. A
// reordered answer in two fragments leaves SEQN 1 (RCODE 15) before SEQN 0.
TEST_F(OltsimFaults, AlwaysFaultingLetsEveryThirdRequestThrough)
{
    const struct {
        void (*on)(oltsim::chipset &);
        std::string seen;
    } cases[] = {
        {[](oltsim::chipset &s) { s.drop_requests(100); }, "3:0 6:0"},
        {[](oltsim::chipset &s) { s.rcode_random(11, 100); }, "1:11 2:11 3:0 4:11 5:11 6:0"},
        {[](oltsim::chipset &s) { s.fragment_answers(2), s.reorder_random(100); },
         "1:15/1 1:14/0 2:15/1 2:14/0 3:14/0 3:15/1 4:15/1 4:14/0 5:15/1 5:14/0 6:14/0 6:15/1"},
    };
    for (const auto &c : cases) {
        sim_->clear_faults();
        c.on(*sim_);
        for (uint16_t ctag = 1; ctag <= 6; ctag++)
            request(ctag);
        EXPECT_EQ(receive(size_t(std::count(c.seen.begin(), c.seen.end(), ' ')) + 1), c.seen);
    }
    auto dealt = sim_->faults_dealt();
    EXPECT_EQ(std::make_tuple(dealt.dropped, dealt.rcodes, dealt.reordered), std::make_tuple(4u, 4u, 4u));
    sim_->rcode_next(0, 11, 1);
    request(9);
    EXPECT_EQ(receive(1), "9:11") << "an error answer leaves whole: fragments have no room for its RCODE";
}

// A switch naming a chip the program does not play says so; the TFTP
// switches check their block and count before a fault is armed. What is
// not a TFTP switch goes to the chips' switches, as oltsim's control does.
TEST_F(OltsimFaults, SwitchesWithBadArgumentsAreRefused)
{
    oltsim::tftp_server server(*sim_);
    const struct {
        const char *name, *arg;
        bool applied;
    } cases[] = {
        {"reset", "4", false},         {"reset", "-1", false},       {"rcode", "5:11:1", false},
        {"reset", "3", true},          {"tftp-opcode", "65535:1", true}, {"tftp-clear", "", true},
        {"tftp-drop", "x", false},     {"tftp-rcode", "3:", false},  {"tftp-rcode", "3:0", false},
        {"tftp-opcode", "65536", false}, {"tftp-drop", "2:3x", false}, {"tftp-lose", "1", false},
    };
    for (const auto &c : cases) {
        std::string error;
        int tftp = oltsim::tftp_control_apply(server, c.name, c.arg, error);
        bool applied = tftp ? tftp == 1 : oltsim::control_apply(*sim_, c.name, c.arg, error);
        EXPECT_EQ(applied, c.applied) << c.name << " " << c.arg;
        EXPECT_EQ(error.empty(), c.applied) << c.name << " " << c.arg << ": " << error;
        EXPECT_TRUE(c.name[0] != 'r' || c.applied || count_of(error, std::string("no chip ") + c.arg[0])) << error;
    }
    EXPECT_EQ(sim_->reset_count(3), 1);
}

} // namespace
