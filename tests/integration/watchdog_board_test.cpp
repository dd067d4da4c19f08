// The watchdog in the running daemon: a chip that never comes back from its
// start-up reset is reset again through the board socket once it has been
// in reset for more than 30 seconds; the daemon stops cleanly with its
// maintenance threads running.
#include "integration/harness.h"
#include "oltsim/oltsim.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

TEST(WatchdogBoard, AnOltThatNeverReportsReadyIsResetAgain)
{
    sandbox box;
    board b(box);
    // Three chips: the board's fourth never answers, so its start-up reset
    // brings no ready event.
    oltsim::options opts;
    opts.olts = 3;
    opts.log = false;
    opts.boot_ms = 3000;
    b.sim = std::make_unique<oltsim::chipset>(opts);
    ASSERT_EQ(b.sim->start(), 0);

    process &daemon = b.daemon;
    ASSERT_TRUE(b.start_daemon());
    ASSERT_TRUE(eventually([&] { return daemon.out().find("olt_init: OLT[3] in RESETINPROGRESS state") !=
                                        std::string::npos; },
                           30))
        << daemon.err();
    // 4 s of start-up sleep are behind; the reset is due 31 s after the
    // OLT went into reset.
    const std::string line = "wd_cleanup_olts: OLT[3] in CHECKNEWFW state\n";
    EXPECT_TRUE(eventually([&] { return count_in_file(daemon.out_path(), line) == 1; }, 90))
        << daemon.out();
    EXPECT_NE(daemon.err().find("wd_cleanup_olts: OLT[3] in CHECKNEWFW state"), std::string::npos)
        << "logged as well";
    // RESETFWUPGRADE is left to the chip's ready event: no second reset.
    EXPECT_EQ(daemon.stop(15), 0) << daemon.err();
    EXPECT_EQ(count_in_file(daemon.out_path(), line), 1);
}

} // namespace
