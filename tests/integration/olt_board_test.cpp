// The daemon as a process configures every OLT that reports ready: the
// simulated chips (with their configuration side) run in this process, the
// ponkernel program serves the board's OLT configurations.
#include "integration/harness.h"
#include "common/olt_config_fixture.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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
    box.environment["ZANDREL_COUNTERS_PROM"] = "/tmp/zandrel.prom";
    box.environment["ZANDREL_COUNTERS_PROM_SECONDS"] = "1";
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

    // The link counters, as ponctl and the Prometheus file show them.
    auto counters = [&] {
        run_result r = run_program(box, "ponctl", PONCTL_BIN, {"counters", "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        return nlohmann::json::parse(r.out);
    };
    auto grew = [](const nlohmann::json &after, const nlohmann::json &before, const char *name) {
        return after[name].get<unsigned long>() - before.value(name, 0ul);
    };
    nlohmann::json before = counters();
    EXPECT_GT(before["olt0_exchanges"].get<unsigned long>(), 0u);
    EXPECT_EQ(run_program(box, "ponctl", PONCTL_BIN, {"raw", "0x1005"}).status, 0);   // no parameter block: refused
    nlohmann::json after = counters();
    EXPECT_EQ(grew(after, before, "mgmt_commands_0x7002"), 1u);
    EXPECT_EQ(grew(after, before, "mgmt_commands_0x1005"), 1u);
    EXPECT_EQ(grew(after, before, "mgmt_refused_payloads"), 1u);
    // Every command before this report answered; its own answer leaves after.
    EXPECT_EQ(grew(after, before, "mgmt_answers"), 2u);
    run_result text = run_program(box, "ponctl", PONCTL_BIN, {"counters"});
    EXPECT_NE(text.out.find("olt0\n  exchanges "), std::string::npos) << text.out;
    std::string prom;
    EXPECT_TRUE(eventually([&] {
        prom = read_file(box.path("/tmp/zandrel.prom"));
        return prom.find("zandrel_mgmt_commands_total{code=\"0x1005\"} 1\n") != std::string::npos;
    }, 10)) << prom;

    b.stop();
}

} // namespace
