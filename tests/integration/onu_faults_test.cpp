// Faults on the simulated board while an ONU is on its road: ponkernel away
// mid-authentication, the chip restarting. (A chip that misses one answer is
// resent to: the chip link's unit tests.) Each ends with the ONU in a defined
// state and the daemon holding what it held before, no more.
#include "integration/onu_road_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr int FAULT_SECONDS = 60;
// A rebooting ONU stays away this long: time for ponkernel to come back.
constexpr int REBOOT_MS = 5000;

const char *const ROAD = "00:0D:B6:10:00:00";

class OnuFaults : public Road {};

} // namespace

// The ONU answers while ponkernel is away: authenticated, its ONT
// configuration cannot be fetched, so the ONU is reset and its record
// released. It reboots, registers again once ponkernel is back and comes
// up. (An ONU that never answers is rediscovered by the watchdog after 300
// seconds in AUTHINPROGRESS; the watchdog's unit tests drive that on the
// fake clock.)
TEST_F(OnuFaults, PonkernelAwayWhenTheOnuAnswersItsAuthentication)
{
    start();
    resources before = measure();
    service_->hold_eap(true);
    service_->quiet_restart(REBOOT_MS);
    population_->register_onu(mac(ROAD));
    ASSERT_TRUE(eventually([&] { return state(ROAD) == "AUTHINPROGRESS"; }, FAULT_SECONDS)) << daemon_.out();
    // Counted by ponkernel (its output runs on across restarts): the daemon
    // may connect to a stopping ponkernel's backlog and lose the link again.
    auto connections = [&] { return count_of(kernel_.out(), "ponkernel: daemon connected"); };
    int connected = connections();
    ASSERT_EQ(kernel_.stop(10), 0);
    service_->hold_eap(false);
    ASSERT_TRUE(eventually([&] { return state(ROAD) == "FREE"; }, FAULT_SECONDS)) << daemon_.out();
    EXPECT_TRUE(says("profiler_set_ont_config: " + std::string(ROAD) + " config request failed")) << daemon_.out();
    EXPECT_EQ(service_->resets(mac(ROAD)), 1);
    start_kernel();
    ASSERT_TRUE(eventually([&] { return connections() > connected; }, 30)) << daemon_.err();

    // Back on its own registration: up, and the daemon holds what it held
    // before. The resource reports also left the pacing counters: at least
    // the nine events and five work items of one ONU's road.
    ASSERT_TRUE(eventually([&] { return state(ROAD) == "OK"; }, FAULT_SECONDS)) << daemon_.out();
    EXPECT_EQ(service_->eap_result(mac(ROAD)), 3) << "EAP Success";
    expect_nothing_leaked(holding(before, 1, 4));
    std::string counters = read_file(box_.path("/tmp/zandrel_counters"));
    EXPECT_GE(figure(counters, "events_handled"), 9) << counters;
    EXPECT_GE(figure(counters, "work_items"), 5) << counters;
    auto road = states(ROAD);
    EXPECT_EQ(std::count(road.begin(), road.end(), "ALLOCATED"), 2) << "released and allocated again";
}

// The chip restarts unasked (a crash, a power glitch) while two ONUs are in
// service: the daemon releases them at its ready event (FREE notified), the
// chip is configured again, the ONUs register again on their own and come
// back OK, and no path or destination is held by two ONUs on the chip.
TEST_F(OnuFaults, ChipRestartedUnaskedReleasesItsOnusWhichComeBack)
{
    start();
    // A restarted chip's ONUs register again once it is started.
    population_->come_back_after_restart(true);
    const char *const other = "00:0D:B6:10:00:30";   // authorized without EAP
    population_->register_onu(mac(ROAD));
    population_->register_onu(mac(other));
    auto both = [&](const char *want) { return state(ROAD) == want && state(other) == want; };
    ASSERT_TRUE(eventually([&] { return both("OK"); }, FAULT_SECONDS)) << daemon_.out();
    int configured = count_of(daemon_.out(), "OLT[0] in OK state");

    sim_->reset(0);
    ASSERT_TRUE(eventually([&] { return both("FREE"); }, FAULT_SECONDS)) << daemon_.out();
    for (const char *onu : {ROAD, other}) {
        std::regex freed(std::string("text \"") + onu + " [^ ]+ [^ ]+ FREE");
        EXPECT_TRUE(eventually([&] { return std::regex_search(kernel_.out(), freed); }, 10))
            << onu << " FREE notified\n"
            << kernel_.out();
    }
    ASSERT_TRUE(eventually([&] { return count_of(daemon_.out(), "OLT[0] in OK state") > configured; }, FAULT_SECONDS));
    ASSERT_TRUE(eventually([&] { return both("OK"); }, FAULT_SECONDS)) << daemon_.out();
    EXPECT_EQ(service_->paths(0), size_t(2 * 4));
    EXPECT_EQ(service_->shared_ids(0), std::vector<uint16_t>{});
    EXPECT_EQ(count_of(daemon_.out(), "registrationattempt_handler: rejected"), 0) << daemon_.out();
}
