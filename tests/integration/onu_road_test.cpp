// The road of an ONU on the simulated board: zandrel and ponkernel as
// processes, the chips, their ONUs and the OLT's provisioning state in this
// test process. One board run carries several ONUs, each on its own road.
#include "integration/onu_road_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST_F(Road, EachOnuEndsWhereItsConfigurationSends)
{
    start();
    population_->register_all(0);
    const char *road = "00:0D:B6:10:00:00";
    ASSERT_TRUE(eventually([&] { return state(road) == "OK" && state("00:0D:B6:10:00:30") == "OK"; }, ROAD_SECONDS))
        << daemon_.out();

    // The road itself: every state in order, and the notifications.
    EXPECT_EQ(states(road), (std::vector<std::string>{"ALLOCATED", "AUTHINPROGRESS", "AUTHOK", "DISCOVERED",
                                                      "CFGINPROGRESS", "OK"}));
    EXPECT_EQ(events(road), (std::vector<int>{EVENT_ONU_STATE, EVENT_ONU_AUTH_OK, EVENT_ONU_CONFIGURE_OK,
                                              EVENT_ONU_STATE}));
    EXPECT_EQ(service_->eap_result(mac(road)), 3) << "EAP Success";

    // A registration for one of its links now is refused. Other ONUs may
    // still be registering meanwhile, so only this ONU's acceptances count.
    size_t accepted = population_->accepted(mac(road));
    population_->register_onu(mac(road));
    EXPECT_TRUE(eventually([&] { return count_of(daemon_.out(), "registrationattempt_handler: rejected") >= 4; }));
    EXPECT_EQ(population_->accepted(mac(road)), accepted);

    // A wrong secret: the mismatch lines and EAP Failure.
    EXPECT_TRUE(eventually([&] { return state("00:0D:B6:10:00:10") == "AUTHFAILED"; }));
    EXPECT_TRUE(says("compose_eap_packet_olt_internal: config secret: ****"));
    EXPECT_FALSE(says("secret: 5820") || says("secret = 5820")) << "secrets are masked";
    EXPECT_TRUE(says("compose_eap_packet_olt_internal: md5 hashes are mismatch"));
    EXPECT_EQ(service_->eap_result(mac("00:0D:B6:10:00:10")), 4) << "EAP Failure";

    // On the wrong PON port.
    EXPECT_TRUE(eventually([&] { return state("00:0D:B6:10:00:20") == "CFGFAILED"; }));
    EXPECT_TRUE(says("profiler_onu_reconfigure_internal: ONU 00:0D:B6:10:00:20 (desc: elsewhere) connected to invalid "
                     "pon port"));

    // Unknown to the configuration module.
    EXPECT_TRUE(eventually([&] { return state("00:0D:B6:10:00:50") == "UNCONFIGURED"; }));

    // A 0x6838 ONU is authorized without an answer of its own.
    EXPECT_EQ(states("00:0D:B6:10:00:30"),
              (std::vector<std::string>{"ALLOCATED", "AUTHOK", "DISCOVERED", "CFGINPROGRESS", "OK"}));
    EXPECT_EQ(count_of(daemon_.out(), "eapframe_handler: ONU 00:0D:B6:10:00:30"), 0);

    // A wrong queue layout: repaired, the ONU restarts, registers again and
    // comes up.
    EXPECT_TRUE(eventually([&] { return state("00:0D:B6:10:00:40") == "OK"; }, ROAD_SECONDS)) << daemon_.out();
    EXPECT_EQ(service_->resets(mac("00:0D:B6:10:00:40")), 1);
    auto repaired_states = states("00:0D:B6:10:00:40");
    EXPECT_EQ(std::count(repaired_states.begin(), repaired_states.end(), "FREE"), 1) << "released after the repair";
    EXPECT_TRUE(says("profiler_check_ont_queues: ONU 00:0D:B6:10:00:40 queues config is invalid."));

    // The OLT's side of the four ONUs whose links and paths were configured
    // (the one on the wrong port fails after them): a path per link, one
    // destination per ONU with its four link parts.
    EXPECT_EQ(service_->paths(0), 16u);
    EXPECT_EQ(service_->destinations(0).size(), 4u);
    // The chips answered the OLT configuration in full: no step failed.
    EXPECT_FALSE(says("short answer") || says("in OK state with error code")) << daemon_.err();
}

TEST_F(Road, FailingSlaLeavesTheLinkInProgressAndTheOnuFailed)
{
    start();
    service_->fail_id(TEK_REQ_QUEUE_SLA, 3);
    const mac_bytes road = mac("00:0D:B6:10:00:00");
    population_->register_onu(road);
    ASSERT_TRUE(eventually([&] { return state("00:0D:B6:10:00:00") == "CFGFAILED"; }, ROAD_SECONDS)) << daemon_.out();
    EXPECT_TRUE(says("profiler_onu_link_set_sla_internal: link 00:0D:B6:10:00:00 set DSQ SLA "
                     "failed(response->header.rcode 3)"));
    EXPECT_TRUE(says("profiler_onu_reconfigure: ONT 00:0D:B6:10:00:00 configure failed"));
    EXPECT_EQ(service_->eap_result(road), 4) << "EAP Failure after the configuration failed";
    // ALLOCATED, authenticated, CFGFAILED, then the failure report.
    EXPECT_EQ(events("00:0D:B6:10:00:00"),
              (std::vector<int>{EVENT_ONU_STATE, EVENT_ONU_AUTH_OK, EVENT_ONU_STATE, EVENT_CONFIG_PROBLEM}));
    EXPECT_EQ(service_->link_slas(0), 0u) << "the failing DSQ request ends the link's configuration";
}


TEST_F(Road, ChipSilentOnDestinationsFailsTheOnuAsAFirmwareFault)
{
    start();
    resources before = measure();
    sim_->silence_id(TEK_REQ_DEST_CREATE, true);
    const mac_bytes road = mac("00:0D:B6:10:00:00");
    population_->register_onu(road);
    ASSERT_TRUE(eventually([&] { return state("00:0D:B6:10:00:00") == "CFGFAILED"; }, ROAD_SECONDS)) << daemon_.out();
    EXPECT_TRUE(says("profiler_onu_path_internal: critical error occurred in FW. You have to reconfigure OLT0"));
    EXPECT_EQ(service_->eap_result(road), 4);
    EXPECT_TRUE(service_->destinations(0).empty());
    EXPECT_EQ(service_->paths(0), 4u) << "the links' paths stay with the ONU until its teardown";
    expect_nothing_leaked(holding(before, 1, 4));
}

} // namespace
