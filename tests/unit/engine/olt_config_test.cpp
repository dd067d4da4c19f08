// OLT configuration against the simulated chips and configuration module,
// what the board's start-up does not reach: the base LLID decisions, the
// transceiver check, the configuration failing, answers shorter than their
// layouts, the ONU counts with their domains and registration groups, the ONU
// personality version and option -p.
#include "common/olt_config_fixture.h"

#include "base/bytes.h"
#include "common/hex.h"
#include "engine/profiler_cache.h"
#include "wire/personality.h"

#include <algorithm>

namespace {

using ids_t = olt_ids;

class OltConfig : public OltConfigFixture {};

TEST_F(OltConfig, BaseLlidsFollowWhatTheChipReportsAndKeepTheConfiguredOnes)
{
    ASSERT_EQ(profiler_olt_reconfigure(0), 0);
    size_t mark = sim_->request_log().size();
    // The chip still has what the last change set: nothing changes.
    EXPECT_EQ(profiler_olt_reconfigure(0), 0);
    ids_t second = ids(0, mark);
    EXPECT_EQ(std::count(second.begin(), second.end(), 0x028B), 2);
    EXPECT_EQ(std::count(second.begin(), second.end(), 0x028C), 0);
    // The chip lost them: the next pair.
    chips_->set_base_llid(0, 1, 0x0C00);
    EXPECT_EQ(profiler_olt_reconfigure(0), 0);
    EXPECT_EQ(chips_->state(0).base_llid[0], 0x1400);
    EXPECT_EQ(profiler_olt_llid_seed(0), 2);
    // After the seed wrapped from 27, the chip still has the last pair of the
    // cycle: the first pair again.
    chips_->set_base_llid(0, 0, 0x7C00);
    chips_->set_base_llid(0, 1, 0x7E00);
    profiler_olt_set_llid_seed(0, 0);
    EXPECT_EQ(profiler_olt_reconfigure(0), 0);
    EXPECT_EQ(chips_->state(0).base_llid[0], 0x1000);
    EXPECT_EQ(chips_->state(0).base_llid[1], 0x1200);

    // Seed 4 would give port 0 the value configured for port 1.
    olt_base_llid_set(1, 1, 0x2000);
    profiler_olt_set_llid_seed(1, 4);
    ASSERT_EQ(profiler_olt_reconfigure(1), 0);
    EXPECT_EQ(chips_->state(1).base_llid[0], 0x2400);
    EXPECT_EQ(chips_->state(1).base_llid[1], 0x2000);
    EXPECT_EQ(profiler_olt_llid_seed(1), 6);
}

TEST_F(OltConfig, ConfigurationRefusedOrUnreachableLeavesCfgFailed)
{
    kernel_.store().refuse(CFG_CMD_OLT_CONFIG, 8);
    EXPECT_EQ(profiler_olt_reconfigure(0), 0);
    EXPECT_EQ(olt_get_state(0), ONU_STATE_CFGFAILED);
    EXPECT_EQ(kernel_.requests_seen(CFG_CMD_OLT_CONFIG), 1u);
    EXPECT_EQ(ids(0), (ids_t{0x0009}));
    kernlink_close();
    kernel_.stop();
    EXPECT_LT(profiler_olt_reconfigure(1), 0);
    EXPECT_EQ(olt_get_state(1), ONU_STATE_CFGFAILED);
    EXPECT_EQ(ids(1), (ids_t{0x0009}));
}

TEST_F(OltConfig, DrssiFollowsTheTransceiverPartNumber)
{
    chips_->set_sfp(0, 1, "LIGENT", "LTE430");
    ASSERT_EQ(profiler_olt_reconfigure(0), 0);
    EXPECT_TRUE(chips_->state(0).drssi[0]);
    EXPECT_FALSE(chips_->state(0).drssi[1]);
    olt_lock(0);
    EXPECT_STREQ(olt_get(0)->ports[1].sfp_part, "LTE430         ");
    EXPECT_EQ(profiler_olt_drssi_enabled(olt_get(0), 1), 0);
    olt_unlock(0);
}

// Each answer shorter than its layout fails its step with the short-answer
// line and the OLT still ends OK; what depended on it is not sent.
TEST_F(OltConfig, ShortAnswersFailTheirStepCleanly)
{
    // What the short answer holds back (0: nothing to check); base LLIDs
    // whose value is cut are set again.
    const struct { uint16_t id; int size; uint16_t not_sent; } cases[] = {
        {0x018F, 10, 0x0191}, {0x018F, 20, 0x0191}, {0x01CB, 144, 0x01CC}, {0x028B, 9, 0}, {0x0210, 60, 0},
    };
    ASSERT_EQ(profiler_olt_reconfigure(0), 0);   // the first one sets LLIDs without reading
    for (const auto &c : cases) {
        chips_->cut_answer(c.id, c.size);
        size_t mark = sim_->request_log().size();
        char line[64];
        snprintf(line, sizeof line, "short answer to 0x%04X", c.id);
        int before = count_of(trace(), line);
        profiler_olt_reconfigure(0);
        chips_->cut_answer(c.id, -1);
        EXPECT_EQ(olt_get_state(0), ONU_STATE_OK) << line;
        EXPECT_GT(count_of(trace(), line), before) << line;
        ids_t sent = ids(0, mark);
        EXPECT_EQ(std::count(sent.begin(), sent.end(), c.not_sent), 0) << line;
        EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x028C), c.id == 0x028B ? 2 : 0) << line;
    }
    olt_lock(0);
    EXPECT_STREQ(olt_get(0)->ports[0].sfp_part, "--");   // the last row cut the SFP information
    olt_unlock(0);
}

// The board's ONU road creates the domains and counts its ONUs; left here:
// only the first ONU asks for the configuration, counts never run below zero,
// option -i alternates the registration groups, a released ONU leaves them.
TEST_F(OltConfig, OnuCountsAndRegistrationGroups)
{
    int choice = -1;
    unsigned asked = kernel_.requests_seen(CFG_CMD_OLT_CONFIG);
    profiler_olt_onucnt_increment(0, 1, &choice);
    profiler_olt_onucnt_increment(0, 1, &choice);
    EXPECT_EQ(kernel_.requests_seen(CFG_CMD_OLT_CONFIG), asked + 1);
    for (int i = 0; i < 3; i++)
        profiler_olt_onucnt_decrement(0, 1, 1);
    EXPECT_FALSE(profiler_olt_domains_created(0));
    olt_lock(0);
    EXPECT_EQ(olt_get(0)->onus_on_port[1] + olt_get(0)->onus_total, 0);
    olt_unlock(0);
    for (int flag_i : {0, 1}) {
        flags.i = flag_i;
        profiler_olt_reconfigure(1);   // clears the counts
        std::vector<int> got;
        for (int i = 0; i < 3; i++) {
            profiler_olt_onucnt_increment(1, 0, &choice);
            got.push_back(choice);
        }
        EXPECT_EQ(got, flag_i ? (std::vector<int>{1, 0, 1}) : (std::vector<int>{1, 1, 1}));
    }
    // A released ONU leaves its OLT's counts through the data store's hooks:
    // its group from the egress port swap flag, its links.
    datastruct_hooks.onu_count_release = profiler_olt_onucnt_decrement;
    datastruct_hooks.link_count_release = profiler_olt_link_count_sub;
    for (int i = 0; i < 3; i++)
        profiler_olt_link_count_add(1, 0);
    const uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x10, 0x00, 0x00};
    onu_record *onu = make_onu(0, mac, ONU_STATE_OK, 1);
    onu_lock(onu);
    onu->port = 0;
    onu->discovered_links = 2;
    onu->cfg_flags = 0;   // counted in the second group
    onu_release(onu);
    onu_unlock(onu);
    datastruct_hooks.onu_count_release = nullptr;
    datastruct_hooks.link_count_release = nullptr;
    olt_lock(1);
    EXPECT_EQ(olt_get(1)->onus_first_group[0] * 10 + olt_get(1)->onus_second_group[0], 20);
    EXPECT_EQ(profiler_olt_link_count(olt_get(1), 0), 1);
    olt_unlock(1);
}

// With the auto-update flag the ONU personality's version byte is kept; a
// file of the wrong size leaves the version as it was.
TEST_F(OltConfig, OnuPersonalityVersionIsReadWhenAutoUpdateIsOn)
{
    std::string image(ONU_PERS_SIZE, 'p');
    image[ONU_PERS_VERSION_AT] = 0x42;
    std::ofstream(root_ / "usr/local/share/tk3714pers.tkf", std::ios::binary) << image;
    auto version = [&] {
        EXPECT_EQ(profiler_olt_reconfigure(0), 0);
        olt_lock(0);
        int v = profiler_olt_onu_pers_version(olt_get(0));
        olt_unlock(0);
        return v;
    };
    EXPECT_EQ(version(), 0);
    std::ofstream(root_ / "etc/config/ontpersautoupdate") << "";
    EXPECT_EQ(version(), 0x42);
    image[ONU_PERS_VERSION_AT] = 0x43;
    std::ofstream(root_ / "usr/local/share/tk3714pers.tkf", std::ios::binary) << image + "x";
    EXPECT_EQ(version(), 0x42);
}

TEST_F(OltConfig, OptionPWritesThePersonalityOnly)
{
    flags.p = 1;
    const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0xFE};
    memcpy(board_mac, mac, 6);
    tftp_->set_olt_personality(1, oltsim::tftp_server::make_olt_personality(OLT_PERS_SIZE));
    EXPECT_EQ(profiler_olt_reconfigure(1), 0);
    EXPECT_EQ(olt_get_state(1), ONU_STATE_RESETOK);
    EXPECT_EQ(kernel_.requests_seen(CFG_CMD_OLT_CONFIG), 0u);
    oltsim::bytes image = tftp_->olt_file(1, "personality");
    ASSERT_GE(image.size(), 758u);
    auto at = [&](size_t offset, size_t n = 6) { return oltsim::bytes(image.begin() + offset, image.begin() + offset + n); };
    // Each MAC with its bytes reversed; the board MAC's low three bytes carry.
    EXPECT_EQ(at(152), hex("02 50 41 B6 0D 00"));
    EXPECT_EQ(at(168, 4), hex("00 00 00 00"));
    EXPECT_EQ(at(188), hex("03 45 33 22 11 00"));
    EXPECT_EQ(at(752), hex("06 45 33 22 11 00"));
}

} // namespace
