// The OLT commands whose outcome depends on what the chips and the data
// store hold: the OLT record after its port refresh, and the
// reconfiguration's wait on the fake clock.
#include "cmd_fixture.h"
#include "oltsim/olt_config.h"

namespace {

using OltCommands = CmdFixture;

TEST_F(OltCommands, OltRecordIsTheEchoAndTheRecordsFirstBytesAfterItsPortRefresh)
{
    // The chip answers the port state of its ports 0..2 and refuses port 3.
    sim_->set_handler(TEK_REQ_PORT_STATE, [](int, const oltsim::request_record &r) {
        uint8_t status[8] = {1, 1, 2, 1, 0, 1, 0, uint8_t(r.data[7] + 1)};
        return r.data[7] < 3 ? oltsim::answer{0, oltsim::port_state_answer(r.data, status)} : oltsim::answer{1, {}};
    });
    olt_lock(1);
    std::strcpy(olt_get(1)->ports[3].name, "kept");
    olt_unlock(1);
    std::vector<uint8_t> p = params({{0, 1}, {20, 0xABCDEF}});
    cmd_answer a = send(0x1005, p);
    // A refresh the chip refused is no success, but the record still comes.
    ASSERT_EQ(a.rcode, CMD_RC_FAILED);
    ASSERT_EQ(a.data.size(), 32 + OLT_RECORD_SENT);
    EXPECT_TRUE(std::equal(p.begin(), p.end(), a.data.begin()));
    auto name = [&](int i) {
        return std::string(reinterpret_cast<const char *>(a.data.data()) + 32 + offsetof(olt_record, ports) +
                           size_t(i) * sizeof(olt_port) + offsetof(olt_port, name));
    };
    EXPECT_EQ(name(2), "NNI0");
    EXPECT_EQ(name(3), "kept");
    sim_->set_handler(TEK_REQ_PORT_STATE, [](int, const oltsim::request_record &r) {
        return oltsim::answer{0, oltsim::port_state_answer(r.data, oltsim::PORT_STATUS_UP)};
    });
    a = send(0x1005, p);
    EXPECT_EQ(a.rcode, CMD_RC_OK);
    EXPECT_EQ(name(3), "NNI1");
}

// The test plays the engine by setting the OLT's state, and moves the clock
// a poll at a time until the answer comes. Without the board device in this
// sandbox the reset itself is skipped.
TEST_F(OltCommands, ReconfigurationAnswersWhatTheOltBecameOrSixAfterSixtyPolls)
{
    const uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0x11};
    make_onu(7, mac, ONU_STATE_OK, 2);
    olt_lock(2);
    olt_get(2)->onus_total = 5;
    olt_get(2)->onus_on_port[1] = 3;
    olt_unlock(2);
    for (auto [state, rcode, all_polls] : {std::tuple{ONU_STATE_OK, CMD_RC_OK, false},
                                           {ONU_STATE_CFGFAILED, CMD_RC_CONFIG_FAILED, false},
                                           {ONU_STATE_RESETINPROGRESS, CMD_RC_TIMEOUT, true}}) {
        olt_set_state(2, state);
        uint32_t start = uptime_seconds();
        EXPECT_EQ(send_on_fake_clock(0x1003, params({{0, 2}}), OLT_RECONFIG_POLL_MS).rcode, rcode);
        EXPECT_EQ(uptime_seconds() - start >= uint32_t(OLT_RECONFIG_POLLS), all_polls) << rcode;
    }
    // The reset released the OLT's ONUs and their counts.
    EXPECT_EQ(onu_at(7)->state, ONU_STATE_FREE);
    olt_lock(2);
    EXPECT_EQ(olt_get(2)->onus_total + olt_get(2)->onus_on_port[1], 0);
    olt_unlock(2);
}

} // namespace
