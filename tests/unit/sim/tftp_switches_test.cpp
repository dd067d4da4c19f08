// oltsim's TFTP fault switches.
#include "oltsim/tftpserver.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(OltsimTftpSwitches, BlockAndCountAreCheckedBeforeAFaultIsArmed)
{
    oltsim::options opts;
    opts.log = false;
    oltsim::chipset sim(opts);   // never started: only its handler table is used
    oltsim::tftp_server server(sim);
    struct {
        const char *name, *arg;
        int result;
    } cases[] = {
        {"tftp-drop", "3", 1},       {"tftp-rcode", "0:4", 1},    {"tftp-opcode", "65535:1", 1},
        {"tftp-clear", "", 1},       {"tftp-drop", "", -1},       {"tftp-drop", "x", -1},
        {"tftp-rcode", "3:", -1},    {"tftp-rcode", "3:0", -1},   {"tftp-opcode", "65536", -1},
        {"tftp-drop", "2:3x", -1},   {"tftp-lose", "1", -1},      {"silent-olt", "1", 0},
        {"tftp-dup", "2", 1},
    };
    for (const auto &c : cases) {
        std::string error;
        EXPECT_EQ(oltsim::tftp_control_apply(server, c.name, c.arg, error), c.result) << c.name << " " << c.arg;
        EXPECT_EQ(error.empty(), c.result >= 0) << c.name << " " << c.arg;
    }
}

} // namespace
