// The daemon as a process configures every OLT that reports ready: the
// simulated chips (with their configuration side) run in this process, the
// ponkernel program serves the board's OLT configurations.
#include "integration/harness.h"
#include "common/olt_config_fixture.h"

#include <gtest/gtest.h>

namespace {

constexpr int CONFIGURED_SECONDS = 60;   // start-up, the profiler's first pause, four OLTs

TEST(OltBoard, EveryReadyOltIsConfiguredAndReachesOk)
{
    sandbox box;
    board b(box);
    b.write_board(olt_test_board());
    // The application image matches the chips' version: no upgrade first.
    b.app_image();

    oltsim::options opts;
    opts.log = false;
    opts.boot_ms = 3000;   // the daemon opens its chip socket after it reset the chips
    b.sim = std::make_unique<oltsim::chipset>(opts);
    oltsim::chipset &sim = *b.sim;
    oltsim::olt_config_sim chips(sim);
    chips.attach();
    ASSERT_EQ(sim.start(), 0);
    process &kernel = b.kernel, &daemon = b.daemon;
    ASSERT_TRUE(b.start_kernel());
    ASSERT_TRUE(b.start_daemon());

    for (int olt = 0; olt < 4; olt++) {
        std::string line = "profiler_olt_reconfigure: OLT[" + std::to_string(olt) + "] in OK state\n";
        EXPECT_TRUE(eventually([&] { return daemon.out().find(line) != std::string::npos; }, CONFIGURED_SECONDS))
            << line << daemon.err();
    }
    // OLT 0 got the whole sequence, from the stop request to the protocol
    // filter, in order.
    olt_ids got;
    for (const auto &r : sim.request_log())
        if (r.olt == 0 && (!got.empty() || r.id == 0x0009))
            got.push_back(r.id);
    olt_ids want = olt0_first_configuration();
    ASSERT_GE(got.size(), want.size());
    EXPECT_EQ(olt_ids(got.begin(), got.begin() + long(want.size())), want);
    EXPECT_EQ(chips.state(0).base_llid[0], 0x1000);
    EXPECT_EQ(chips.state(1).base_llid[1], 0x1200);
    // ponkernel printed the enabled PON ports' notifications as they came.
    EXPECT_TRUE(eventually([&] { return kernel.out().find("notification: event 4 numbers 1 0 0 0") != std::string::npos; }, 10));
    EXPECT_EQ(count_of(kernel.out(), "notification: event 4 numbers 2 "), 0);   // OLT 1 PON 0 is disabled
    EXPECT_EQ(count_of(kernel.out(), "notification: event 4 numbers 3 "), 1);

    b.stop();
}

} // namespace
