// ONU optics and port status: the request bytes, the answers read within
// what arrived, the RF level choice, the transceiver identification, the
// DRSSI reading and the UNI port refresh, against oltsim's ONU hardware.
#include "common/onu_fixture.h"

#include "engine/onu_optics.h"
#include "engine/onu_phy.h"
#include "engine/profiler_olt_internal.h"

#include <cmath>

namespace {

struct request_case {
    const char *name;
    byte_vec built;
    const char *expected;
};

TEST(OnuOpticsRequests, AreLaidOutByteForByte)
{
    auto build = [](auto fn) {
        byte_vec out(32);
        out.resize(fn(out.data()));
        return out;
    };
    const request_case cases[] = {
        {"i2c read of the part number",
         build([](uint8_t *o) { return onu_i2c_read_request(o, ONU_MAC, 0x50, 40, 16); }),
         "00 0D B6 11 22 33 | 50 | 00 10 | 01 | 28"},
        {"i2c read of the whole diagnostics page",
         build([](uint8_t *o) { return onu_i2c_read_request(o, ONU_MAC, 0x51, 0, 256); }),
         "00 0D B6 11 22 33 | 51 | 01 00 | 01 | 00"},
        {"gpio set of line 0x200",
         build([](uint8_t *o) { return onu_gpio_request(o, ONU_MAC, 0x200, 0x200); }),
         "00 0D B6 11 22 33 | 00 00 02 00 | 00 00 02 00"},
        {"phy register 31 of UNI port 2",
         build([](uint8_t *o) { return onu_phy_read_request(o, ONU_MAC, 2, 31); }),
         "00 0D B6 11 22 33 | 00 02 | 00 1F | 00 00"},
        {"drssi reading", build([](uint8_t *o) { return onu_drssi_request(o, ONU_MAC); }),
         "07 | 00 0D B6 11 22 33 | 00 10 1C 00"},
        {"port state of UNI 1", build([](uint8_t *o) { return onu_port_request(o, ONU_MAC, 1); }),
         "00 0D B6 11 22 33 | 00 01"},
        {"mdio read of register 3 at address 2",
         build([](uint8_t *o) { return onu_mdio_read_request(o, ONU_MAC, 2, 3); }),
         "00 0D B6 11 22 33 | 02 | 00 03 | FF FF FF FF"},
        {"mdio write of 0x8000 to register 0 at address 1",
         build([](uint8_t *o) { return onu_mdio_write_request(o, ONU_MAC, 1, 0, 0x8000); }),
         "00 0D B6 11 22 33 | 01 | 00 00 | FF FF | 80 00"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(hex_text(c.built), hex_text(hex(c.expected))) << c.name;
}

TEST(OnuOpticsAnswers, AreReadOnlyWithinWhatArrived)
{
    ASSERT_EQ(bopen(nullptr, 0x10000, 0), 0);
    struct answer_case {
        const char *name;
        uint16_t rcode;
        const char *answer;
        int i2c;        // 2-byte I2C read
        int mdio;       // MDIO register value read
        bool status;    // port status bytes
    };
    const answer_case cases[] = {
        {"whole answers", 0,
         "00 0D B6 11 22 33 51 6A | 27 10 | 00 | 12 34 | 05 06 07 08 09 0A",
         0, 0, true},
        {"i2c answer shorter than 8 + 2 bytes", 0, "00 0D B6 11 22 33 51 6A 27", 3, -1, false},
        {"mdio answer one byte short of its value", 0, "00 0D B6 11 22 33 51 6A 27 10 00 12", 0, -1, false},
        {"status answer one byte short", 0, "00 0D B6 11 22 33 51 6A 27 10 00 12 34 05 06 07 08", 0, 0, false},
        {"refused", 5, "00 0D B6 11 22 33 51 6A 27 10 00 12 34 05 06 07 08 09 0A", 3, -1, true},
        {"nothing after RCODE", 0, "", 3, -1, false},
    };
    for (const auto &c : cases) {
        byte_vec answer = hex(c.answer);
        uint8_t *response = response_block(c.rcode, answer);
        uint8_t two[2] = {};
        EXPECT_EQ(onu_i2c_read_answer(response, 2, two), c.i2c) << c.name;
        if (c.i2c == 0) {
            EXPECT_EQ(load_be16(two), 10000) << c.name;
        }
        uint16_t value = 0;
        EXPECT_EQ(onu_mdio_read_answer(response, &value), c.mdio) << c.name;
        if (c.mdio == 0) {
            EXPECT_EQ(value, 0x1234) << c.name;
        }
        uint8_t status[8];
        EXPECT_EQ(onu_port_status_from_answer(answer.data(), answer.size(), status), c.status) << c.name;
        BFREE(response);
    }
    bclose();
}

TEST(OnuRfLevel, ChoosesTheLinesFromThePower)
{
    struct rf_case {
        const char *name;
        int16_t raw;
        bool correct;
        double dbm;
        const char *steps;   // (mask value) after the two clears
    };
    const rf_case cases[] = {
        {"1 mW on an LTY9775A-CCG1 part", 10000, false, 0.0, "100=100"},
        {"1 mW on any other part", 10000, true, -6.16, "100=100"},
        {"2 dBm exactly sets both lines", 15849, false, 2.0, "100=100 200=200"},
        {"just under -10 dBm", 999, false, -10.004, "200=200"},
        {"no light at all", 0, true, -INFINITY, "200=200"},
        {"a negative reading is taken as the reading + 65536", -1, false, 8.165, "100=100 200=200"},
    };
    for (const auto &c : cases) {
        double dbm = onu_rf_power_dbm(c.raw, c.correct);
        if (std::isinf(c.dbm))
            EXPECT_TRUE(std::isinf(dbm) && dbm < 0) << c.name;
        else
            EXPECT_NEAR(dbm, c.dbm, 0.001) << c.name;
        onu_gpio_step steps[ONU_RF_STEPS_MAX];
        int n = onu_rf_level_steps(dbm, steps);
        ASSERT_GE(n, 3) << c.name;
        EXPECT_TRUE(steps[0].mask == 0x100 && steps[0].value == 0 && steps[1].mask == 0x200 && steps[1].value == 0)
            << c.name;
        std::string text;
        for (int i = 2; i < n; i++)
            text += (text.empty() ? "" : " ") + std::to_string(steps[i].mask / 0x100 * 100) + "=" +
                    std::to_string(steps[i].value / 0x100 * 100);
        EXPECT_EQ(text, c.steps) << c.name;
    }
}

class Optics : public OnuChip {};

TEST_F(Optics, RfLevelReadsThePowerAndDrivesTheGpioLines)
{
    struct case_ {
        const char *name;
        const char *part;
        uint16_t raw;
        bool blocked;
        uint32_t gpio;
        size_t writes;
    };
    const case_ cases[] = {
        {"CCG1 part at 1 mW", "LTY9775A-CCG1", 10000, false, 0x100, 3},
        {"other part at 1 mW", "XYZ", 10000, false, 0x100, 3},
        {"no light", "LTY9775A-CCG1", 0, false, 0x200, 3},
        {"RF output blocked", "XYZ", 10000, true, 0x300, 0},
    };
    for (const auto &c : cases) {
        change([&](oltsim::onu_device &d) {
            d.set_video_power(c.raw);
            d.gpio = 0x300;
            d.gpio_writes.clear();
        });
        onu_lock(onu_);
        memset(onu_->triplexer, 0, sizeof onu_->triplexer);
        memcpy(onu_->triplexer, c.part, strlen(c.part));
        onu_->uni[3].blocked = c.blocked;
        onu_->video_power = -5;
        EXPECT_EQ(profiler_onu_set_rf_level(onu_), 0) << c.name;
        EXPECT_EQ(onu_->video_power, int16_t(c.raw)) << c.name;
        onu_unlock(onu_);
        EXPECT_EQ(device().gpio, c.gpio) << c.name;
        EXPECT_EQ(device().gpio_writes.size(), c.writes) << c.name;
    }
    uint8_t summary[ONU_SUMMARY_SIZE];
    onu_summary_read(0, summary);
    EXPECT_EQ(load_le16(summary + 20), 10000);
}

TEST_F(Optics, RfLevelWithoutAReadingStoresZeroPower)
{
    sim_->rcode_next(1, 7, 1);
    onu_lock(onu_);
    onu_->video_power = 1234;
    EXPECT_EQ(profiler_onu_set_rf_level(onu_), 3);
    EXPECT_EQ(onu_->video_power, 0);
    onu_unlock(onu_);
    EXPECT_TRUE(requests(TEK_REQ_ONU_GPIO).empty());
}

TEST_F(Optics, PartNumberLosesItsTrailingSpacesAndSetsTheClass)
{
    struct case_ {
        uint8_t type;
        const char *part;
        const char *stored;
        uint8_t klass;
    };
    const case_ cases[] = {
        {2, "LTY9775A-CCG1   ", "LTY9775A-CCG1", 2},
        {36, "LTY9775A-CCG\t ", "LTY9775A-CCG", 1},
        {7, "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", 0},
        {3, "LTY9775A-CCG1", "", 0},   // a type without transceiver: nothing read
    };
    for (const auto &c : cases) {
        change([&](oltsim::onu_device &d) { d.set_part_number(c.part); });
        onu_lock(onu_);
        memset(onu_->triplexer, 0, sizeof onu_->triplexer);
        onu_->type = c.type;
        onu_summary_update(onu_);
        EXPECT_EQ(profiler_onu_update_sfp_pn(onu_), 0);
        EXPECT_EQ(std::string(onu_->triplexer, strnlen(onu_->triplexer, 16)), c.stored) << c.part;
        onu_unlock(onu_);
        uint8_t summary[ONU_SUMMARY_SIZE];
        onu_summary_read(0, summary);
        EXPECT_EQ(summary[24], c.klass) << c.part;
    }
    EXPECT_EQ(requests(TEK_REQ_ONU_I2C_READ).size(), 3u);
}

TEST_F(Optics, I2cFailuresAreThreeAndLogged)
{
    uint8_t page[SFP_DIAG_PAGE_SIZE];
    change([](oltsim::onu_device &d) { d.a2[255] = 0x5A; });
    EXPECT_EQ(profiler_onu_get_triplexer_a2h(onu_, page), 0);
    EXPECT_EQ(page[255], 0x5A);
    sim_->rcode_next(1, 7, 1);
    EXPECT_EQ(profiler_onu_get_triplexer_a2h(onu_, page), 3);
    sim_->silence_id(TEK_REQ_ONU_I2C_READ, true);
    EXPECT_EQ(with_time_running([&] { return profiler_onu_get_triplexer_a2h(onu_, page); }), 3);
    balloc_fail_nth(1);
    EXPECT_EQ(profiler_onu_get_triplexer_a2h(onu_, page), 4);
    balloc_fail_nth(0);
}

TEST_F(Optics, DrssiGoesThroughTheJumpFilter)
{
    onu_lock(onu_);
    onu_->drssi_accepted = 1000;
    onu_->drssi_jumps = 0;
    change([](oltsim::onu_device &d) { d.drssi = 2000; });
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(profiler_onu_read_drssi(onu_), 0);
        EXPECT_EQ(onu_->drssi, 1000) << "jump " << i + 1 << " is not believed";
    }
    EXPECT_EQ(profiler_onu_read_drssi(onu_), 0);
    EXPECT_EQ(onu_->drssi, 2000) << "the fifth jump is";
    onu_unlock(onu_);
    uint8_t summary[ONU_SUMMARY_SIZE];
    onu_summary_read(0, summary);
    EXPECT_EQ(load_le16(summary + 18), 2000);
    EXPECT_EQ(sent(TEK_REQ_STATISTICS).back(), "07 00 0D B6 11 22 33 00 10 1C 00 ");
}

// Learned MACs as the paths' request would give them.
unsigned learned_calls;
int two_learned(int olt, uint16_t destination, uint8_t *out, int max, int *count)
{
    learned_calls++;
    EXPECT_EQ(olt, 1);
    EXPECT_GE(max, 2);
    for (int i = 0; i < 2; i++) {
        memset(out + 6 * i, 0, 6);
        out[6 * i + 4] = uint8_t(destination >> 8);
        out[6 * i + 5] = uint8_t(destination + i);
    }
    *count = 2;
    return 0;
}

class Ports : public OnuChip {
protected:
    void SetUp() override
    {
        OnuChip::SetUp();
        saved_ = onu_optics_hooks;
        learned_calls = 0;
    }
    void TearDown() override
    {
        onu_optics_hooks = saved_;
        OnuChip::TearDown();
    }
    onu_optics_hook_table saved_{};
};

TEST_F(Ports, RefreshFillsBothUniEntries)
{
    onu_optics_hooks = {two_learned};
    olt_state(olt_get(onu_->olt))[OLT_STATE_DRSSI + onu_->port] = 1;   // its OLT reads DRSSI on the ONU's port
    change([](oltsim::onu_device &d) {
        const uint8_t s1[8] = {1, 2, 3, 4, 5, 6, 7, 8}, s2[8] = {9, 10, 11, 12, 13, 14, 15, 16};
        memcpy(d.uni[1].status, s1, 8);
        memcpy(d.uni[2].status, s2, 8);
        d.uni[2].phy_reg31 = 0x0010;   // bit 4 only
        d.set_video_power(10000);
        d.drssi = 77;
    });
    onu_lock(onu_);
    onu_->type = 1;
    onu_->uni_path[0] = 1024;
    onu_->uni_path[1] = 0;   // no destination behind UNI1: nothing learned
    memset(onu_->uni[2].learned_macs, 0xEE, sizeof onu_->uni[2].learned_macs);
    onu_unlock(onu_);

    EXPECT_EQ(profiler_onu_update_ports(ONU_MAC), 0);
    onu_lock(onu_);
    EXPECT_STREQ(onu_->uni[1].name, "UNI0");
    EXPECT_STREQ(onu_->uni[2].name, "UNI1");
    EXPECT_EQ(hex_text(byte_vec(onu_->uni[1].status, onu_->uni[1].status + 8)), "01 02 03 04 05 06 07 08 ");
    // The PHY flags from bits 3 and 4 of register 31 replace status bytes 2 and 3.
    EXPECT_EQ(hex_text(byte_vec(onu_->uni[2].status, onu_->uni[2].status + 8)), "09 0A 00 01 0D 0E 0F 10 ");
    EXPECT_EQ(onu_->uni[1].learned_macs[1][5], 1);
    EXPECT_EQ(onu_->uni[1].learned_macs[1][4], 4);
    EXPECT_EQ(onu_->uni[2].learned_macs[0][0], 0) << "stale MACs are cleared";
    EXPECT_EQ(onu_->drssi, 77);
    EXPECT_EQ(onu_->video_power, 10000);
    onu_unlock(onu_);
    EXPECT_EQ(learned_calls, 1u);
    EXPECT_EQ(sent(TEK_REQ_PORT_STATE), (std::vector<std::string>{"00 0D B6 11 22 33 00 01 ", "00 0D B6 11 22 33 00 02 "}));
    EXPECT_EQ(sent(TEK_REQ_ONU_PHY_READ), (std::vector<std::string>{"00 0D B6 11 22 33 00 02 00 1F 00 00 "}));
    EXPECT_EQ(requests(TEK_REQ_ONU_GPIO).size(), 3u);
}

TEST_F(Ports, RefreshVariantsByTypeChipAndPhy)
{
    struct case_ {
        const char *name;
        uint8_t type;
        uint16_t chip;
        uint16_t phy_at_1;   // 0: none
        const char *uni0_status;
        size_t phy_reads, gpio_writes;
    };
    const case_ cases[] = {
        {"type 3 has fixed UNI0 status bytes", 3, 0x3714, 0, "01 01 02 01 00 01 00 00 ", 1, 3},
        {"a 0xC816 PHY keeps register 31 unread", 1, 0x3714, 0xC816, "AA AA AA AA AA AA AA AA ", 0, 3},
        {"a 0xC915 PHY does not", 1, 0x3714, 0xC915, "AA AA AA AA AA AA AA AA ", 1, 3},
        {"a 0x6838 ONU: no PHY read, no RF level", 1, 0x6838, 0, "AA AA AA AA AA AA AA AA ", 0, 0},
    };
    for (const auto &c : cases) {
        sim_->clear_faults();
        change([&](oltsim::onu_device &d) {
            memset(d.uni[1].status, 0xAA, 8);
            d.phys.clear();
            if (c.phy_at_1)
                d.add_phy(1, c.phy_at_1);
        });
        size_t phy_before = requests(TEK_REQ_ONU_PHY_READ).size();
        size_t gpio_before = requests(TEK_REQ_ONU_GPIO).size();
        onu_lock(onu_);
        onu_->type = c.type;
        store_be16(onu_->chip_id, 0x3714);
        phy_detect(onu_);
        store_be16(onu_->chip_id, c.chip);
        onu_unlock(onu_);
        EXPECT_EQ(profiler_onu_update_ports(ONU_MAC), 0) << c.name;
        onu_lock(onu_);
        EXPECT_EQ(hex_text(byte_vec(onu_->uni[1].status, onu_->uni[1].status + 8)), c.uni0_status) << c.name;
        onu_unlock(onu_);
        EXPECT_EQ(requests(TEK_REQ_ONU_PHY_READ).size() - phy_before, c.phy_reads) << c.name;
        EXPECT_EQ(requests(TEK_REQ_ONU_GPIO).size() - gpio_before, c.gpio_writes) << c.name;
    }
}

TEST_F(Ports, RefreshResults)
{
    const uint8_t stranger[6] = {0x00, 0x0D, 0xB6, 0x99, 0x99, 0x99};
    EXPECT_EQ(profiler_onu_update_ports(stranger), 8);
    sim_->rcode_next(1, 4, 1);
    EXPECT_EQ(profiler_onu_update_ports(ONU_MAC), 3);
    sim_->silence_id(TEK_REQ_PORT_STATE, true);
    EXPECT_EQ(with_time_running([] { return profiler_onu_update_ports(ONU_MAC); }), TEKLINK_ERR_TIMEOUT);
    sim_->silence_id(TEK_REQ_PORT_STATE, false);
    balloc_fail_nth(1);
    EXPECT_EQ(profiler_onu_update_ports(ONU_MAC), 4);
    balloc_fail_nth(0);
    // The record is free again after every ending.
    onu_lock(onu_);
    onu_unlock(onu_);
}

} // namespace
