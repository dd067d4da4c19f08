// Faults on the simulated board while an ONU is on its road: the chip going
// quiet mid-configuration, the ONU registering again mid-configuration,
// ponkernel restarting mid-authentication. Each ends with the ONU in a
// defined state and the daemon holding what it held before, no more.
#include "integration/onu_road_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr int FAULT_SECONDS = 60;

const char *const ROAD = "00:0D:B6:10:00:00";

class OnuFaults : public Road {
protected:
    void SetUp() override
    {
        Road::SetUp();
        mac(ROAD, road_);
        start();
        if (!HasFatalFailure())
            before_ = measure();
    }
    // The ONU is up, whether it rode through the fault or was released and
    // came back on its own registration.
    void expect_ok_and_nothing_leaked()
    {
        ASSERT_TRUE(eventually([&] { return state(ROAD) == "OK"; }, FAULT_SECONDS)) << daemon_.out();
        EXPECT_EQ(service_->eap_result(road_), 3) << "EAP Success";
        expect_nothing_leaked(holding(before_, 1, 4));
    }
    int timeouts() const { return count_of(daemon_.out(), "teklink: response timeout for msg"); }

    uint8_t road_[6];
    resources before_;
};

// The chip stops answering once the ONU is discovered (the OLT's and the
// ONU's configuration run then): one time-out, then it answers again.
TEST_F(OnuFaults, ChipQuietMidConfigurationThenAnsweringAgain)
{
    population_->register_onu(road_);
    ASSERT_TRUE(eventually([&] { return state(ROAD) == "DISCOVERED"; }, FAULT_SECONDS)) << daemon_.out();
    sim_->silence_olt(0, true);
    ASSERT_TRUE(eventually([&] { return timeouts() > 0; }, 30)) << daemon_.out();
    sim_->silence_olt(0, false);
    expect_ok_and_nothing_leaked();
}

} // namespace
