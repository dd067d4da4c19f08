// The configuration steps find their inputs in the ONU record and the
// configuration cache: what oltsim's ONU holds after each.
#include "common/onu_fixture.h"

#include "engine/profiler_cache.h"
#include "onu/onu_multicast.h"
#include "onu/onu_ports.h"
#include "onu/onu_rules.h"
#include "onu/onu_settings.h"

namespace {

class Settings : public OnuChip {};

TEST_F(Settings, StepsTakeTheirInputsFromTheRecord)
{
    cfgcache_clear();
    uint8_t *profile = cfgcache()->multicast[5];
    profile[4] = 3;
    store_le16(profile + 5, 0x0102);
    onu_lock(onu_);
    onu_->profiles[ONU_PROFILE_MULTICAST] = 5;
    const uint8_t tail[4] = {0x34, 0x12, 0x56, 0x78};   // value 0x1234, then two bytes
    memcpy(onu_->cfg_tail, tail, 4);
    onu_->cfg_block[ONU_BLOCK_PON_OPTION] = 1;
    uint8_t *uni1 = onu_->cfg_block + ONU_BLOCK_UNI1;
    uni1[UNI_PARAM_ENABLE] = 0;
    uni1[UNI_PARAM_MODE] = 4;
    uint8_t *uni1_rules = uni1 + ONU_UNI_PARAMS_SIZE;
    uni1_rules[2] = 9;
    uni1_rules[ONU_RULE_STATES] = 2;
    onu_->video_power = 10000;   // -6.16 dBm after the correction: line 0x100

    EXPECT_EQ(profiler_onu_network_step(onu_), 0);
    EXPECT_EQ(profiler_onu_pon_step(onu_), 0);
    EXPECT_EQ(profiler_onu_uni_step(onu_, ONU_PORT_UNI1), 0);
    EXPECT_EQ(profiler_onu_rules_step(onu_, ONU_PORT_UNI1), 0);
    EXPECT_EQ(profiler_onu_igmp_step(onu_), 0);
    EXPECT_EQ(profiler_onu_block_step(onu_, ONU_PORT_RFOUT, false), 0);
    EXPECT_EQ(onu_->uni[3].blocked, 1);
    profiler_onu_rf_level_step(onu_);
    onu_->profiles[ONU_PROFILE_MULTICAST] = 64;   // outside the cache
    EXPECT_EQ(profiler_onu_ipmc_groups_step(onu_), 3);
    EXPECT_EQ(profiler_onu_ipmc_groups_6838_step(onu_), 0);
    onu_unlock(onu_);

    auto d = device();
    EXPECT_EQ(hex_text(d.network), "12 34 56 78 ");
    EXPECT_EQ(hex_text(d.pon_params), "02 00 00 ");
    EXPECT_FALSE(d.uni[2].enabled);
    EXPECT_EQ(d.uni[2].mode[3], 4);
    ASSERT_EQ(d.rules[2].size(), 1u);
    EXPECT_EQ(d.rules[2][0][2], 9);
    EXPECT_EQ(hex_text(d.igmp), "00 00 00 03 01 02 ");
    EXPECT_EQ(d.rf_output, 0);
    EXPECT_EQ(d.gpio, 0x100u);
    EXPECT_TRUE(requests(TEK_REQ_ONU_IPMC_GROUP_6838).empty());
}

TEST_F(Settings, PhyStepsLoadTheSlotOfTheUni)
{
    change([](oltsim::onu_device &d) { d.add_phy(3, 0xC816); });
    onu_lock(onu_);
    profiler_onu_phy_detect_step(onu_);
    profiler_onu_phy_setup_step(onu_, 1);   // no PHY in slot 1: nothing written
    profiler_onu_phy_setup_step(onu_, 0);
    onu_unlock(onu_);
    EXPECT_EQ(device().phys[0].writes.size(), 5u);
    EXPECT_EQ(requests(TEK_REQ_ONU_MDIO_WRITE).size(), 5u);
}

} // namespace
