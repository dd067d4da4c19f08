// OLT configuration against the simulated chips and configuration module,
// what the board's start-up does not reach: the base LLID decisions, the
// transceiver check, the configuration failing, answers shorter than their
// layouts, the ONU counts with their domains and registration groups, the ONU
// personality version and option -p.
#include "common/chip_fixture.h"
#include "common/hex.h"
#include "common/link_fixture.h"

#include "engine/profiler_cache.h"
#include "engine/profiler_olt.h"
#include "oltsim/olt_config.h"
#include "oltsim/tftpserver.h"
#include "wire/personality.h"

#include <algorithm>

namespace {

// OLT 0 and 1 of a small board (tests/vectors/engine/olt_board.json: rules on
// three tables, domains of each kind, identifier templates; OLT 1 with PON 0
// disabled), the chips' configuration side and TFTP in process, the port
// settle pause skipped.
class OltConfig : public ChipFixture {
protected:
    void SetUp() override
    {
        ChipFixture::SetUp();
        if (HasFatalFailure())
            return;
        saved_flags_ = flags;
        profiler_olt_state_reset();
        saved_sleep_ = profiler_olt_sleep_ms;
        profiler_olt_sleep_ms = [](unsigned) {};
        chips_ = std::make_unique<oltsim::olt_config_sim>(*sim_);
        chips_->attach();
        tftp_ = std::make_unique<oltsim::tftp_server>(*sim_);
        kernel_link_up(kernel_, kernel_options(root_.string(), ZANDREL_VECTORS_DIR "/engine/olt_board.json"));
        for (int olt = 0; olt < OLT_COUNT; olt++) {
            mac_add(olt_get(olt)->mac, hex("00 0D B6 37 23 00").data(), uint32_t(olt));
            olt_get(olt)->index = uint8_t(olt);
            olt_set_state(olt, ONU_STATE_RESETOK);
        }
    }
    void TearDown() override
    {
        kernlink_close();
        kernel_.stop();
        flags = saved_flags_;
        profiler_olt_sleep_ms = saved_sleep_;
        ChipFixture::TearDown();   // stops the chips, whose handlers use chips_ and tftp_
        tftp_.reset();
        chips_.reset();
    }
    // The requests of ID `id` the chips received from request number `from` on.
    long sent(uint16_t id, size_t from)
    {
        auto log = sim_->request_log();
        return std::count_if(log.begin() + long(from), log.end(), [id](const auto &r) { return r.id == id; });
    }
    std::unique_ptr<oltsim::olt_config_sim> chips_;
    std::unique_ptr<oltsim::tftp_server> tftp_;
    ponkernel_server kernel_;
    process_flags saved_flags_{};
    void (*saved_sleep_)(unsigned) = nullptr;
};

TEST_F(OltConfig, BaseLlidsFollowWhatTheChipReportsAndKeepTheConfiguredOnes)
{
    ASSERT_EQ(profiler_olt_reconfigure(0), 0);
    size_t mark = sim_->request_log().size();
    // The chip still has what the last change set: nothing changes.
    EXPECT_EQ(profiler_olt_reconfigure(0), 0);
    EXPECT_EQ(sent(0x028B, mark) * 10 + sent(0x028C, mark), 20);
    // The chip lost them: the next pair.
    chips_->set_base_llid(0, 1, 0x0C00);
    EXPECT_EQ(profiler_olt_reconfigure(0), 0);
    EXPECT_EQ(chips_->state(0).base_llid[0], 0x1400);
    EXPECT_EQ(profiler_olt_llid_seed(0), 2);
    // Seed 4 would give port 0 the value configured for port 1.
    olt_base_llid_set(1, 1, 0x2000);
    profiler_olt_set_llid_seed(1, 4);
    ASSERT_EQ(profiler_olt_reconfigure(1), 0);
    EXPECT_EQ(chips_->state(1).base_llid[0], 0x2400);
    EXPECT_EQ(chips_->state(1).base_llid[1], 0x2000);
}

TEST_F(OltConfig, ConfigurationRefusedOrUnreachableLeavesCfgFailed)
{
    kernel_.store().refuse(CFG_CMD_OLT_CONFIG, 8);
    EXPECT_EQ(profiler_olt_reconfigure(0), 0);
    EXPECT_EQ(olt_get_state(0), ONU_STATE_CFGFAILED);
    EXPECT_EQ(kernel_.requests_seen(CFG_CMD_OLT_CONFIG), 1u);
    kernlink_close();
    kernel_.stop();
    EXPECT_LT(profiler_olt_reconfigure(1), 0);
    EXPECT_EQ(olt_get_state(1), ONU_STATE_CFGFAILED);
    EXPECT_EQ(sim_->request_log().size(), 2u);
    EXPECT_EQ(sent(0x0009, 0), 2) << "one status request to each OLT, nothing else";
}

// The DRSSI parts match anywhere in the part number.
TEST_F(OltConfig, DrssiFollowsTheTransceiverPartNumber)
{
    EXPECT_TRUE(olt_sfp_drssi_supported("XLTE4303M") && olt_sfp_drssi_supported("38J0-6538E"));
    EXPECT_FALSE(olt_sfp_drssi_supported("38J0-6539E"));
    chips_->set_sfp(0, 1, "LIGENT", "LTE430");
    ASSERT_EQ(profiler_olt_reconfigure(0), 0);
    EXPECT_TRUE(chips_->state(0).drssi[0]);
    EXPECT_FALSE(chips_->state(0).drssi[1]);
    EXPECT_STREQ(olt_get(0)->ports[1].sfp_part, "LTE430         ");
    EXPECT_EQ(profiler_olt_drssi_enabled(olt_get(0), 1), 0);
}

// Each answer shorter than its layout fails its step with the short-answer
// line and the OLT still ends OK; what depended on it is not sent (0:
// nothing to check); base LLIDs whose value is cut are set again.
TEST_F(OltConfig, ShortAnswersFailTheirStepCleanly)
{
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
        EXPECT_EQ(sent(c.not_sent, mark), 0) << line;
        EXPECT_EQ(sent(0x028C, mark), c.id == 0x028B ? 2 : 0) << line;
    }
    EXPECT_STREQ(olt_get(0)->ports[0].sfp_part, "--");   // the last row cut the SFP information
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
    EXPECT_EQ(olt_get(0)->onus_on_port[1] + olt_get(0)->onus_total, 0);
    for (int flag_i : {0, 1}) {
        flags.i = flag_i;
        profiler_olt_reconfigure(1);   // clears the counts
        int choices = 0;
        for (int i = 0; i < 3; i++) {
            profiler_olt_onucnt_increment(1, 0, &choice);
            choices = choices * 10 + choice;
        }
        EXPECT_EQ(choices, flag_i ? 101 : 111);
    }
    // A released ONU leaves its OLT's counts through the data store's hooks:
    // its group from the egress port swap flag (0: the second), its links.
    datastruct_hooks.onu_count_release = profiler_olt_onucnt_decrement;
    datastruct_hooks.link_count_release = profiler_olt_link_count_sub;
    for (int i = 0; i < 3; i++)
        profiler_olt_link_count_add(1, 0);
    onu_record *onu = make_onu(0, hex("00 0D B6 10 00 00").data(), ONU_STATE_OK, 1);
    onu_lock(onu);
    onu->port = 0;
    onu->discovered_links = 2;
    onu->cfg_flags = 0;
    onu_release(onu);
    onu_unlock(onu);
    datastruct_hooks.onu_count_release = nullptr;
    datastruct_hooks.link_count_release = nullptr;
    EXPECT_EQ(olt_get(1)->onus_first_group[0] * 10 + olt_get(1)->onus_second_group[0], 20);
    EXPECT_EQ(profiler_olt_link_count(olt_get(1), 0), 1);
}

// With the auto-update flag the ONU personality's version byte is kept; a
// file of the wrong size leaves the version as it was.
TEST_F(OltConfig, OnuPersonalityVersionIsReadWhenAutoUpdateIsOn)
{
    std::string image(ONU_PERS_SIZE, 'p');
    auto version = [&](char byte, const char *tail) {
        image[ONU_PERS_VERSION_AT] = byte;
        std::ofstream(root_ / "usr/local/share/tk3714pers.tkf", std::ios::binary) << image + tail;
        EXPECT_EQ(profiler_olt_reconfigure(0), 0);
        return profiler_olt_onu_pers_version(olt_get(0));
    };
    EXPECT_EQ(version(0x42, ""), 0);
    std::ofstream(root_ / "etc/config/ontpersautoupdate") << "";
    EXPECT_EQ(version(0x42, ""), 0x42);
    EXPECT_EQ(version(0x43, "x"), 0x42);
}

TEST_F(OltConfig, OptionPWritesThePersonalityOnly)
{
    flags.p = 1;
    memcpy(board_mac, hex("00 11 22 33 44 FE").data(), 6);
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
