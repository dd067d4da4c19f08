// ONU optics, PHYs and port status against oltsim's ONU hardware, what the
// board's ONU road does not reach: the RF level without a reading or with
// the output blocked, the part number's class, the port refresh's learned
// MACs, the PHY set-up and its refusal, and oltsim's ONU switches' argument
// errors.
#include "common/onu_fixture.h"

#include "engine/onu_optics.h"
#include "engine/onu_phy.h"

namespace {

using writes = std::vector<std::pair<uint16_t, uint16_t>>;

class Optics : public OnuChip {
protected:
    std::vector<phy_slot> detect(uint16_t chip = 0x3714)
    {
        onu_lock(onu_);
        store_be16(onu_->chip_id, chip);
        phy_detect(onu_);
        phy_slot *slots = onu_phy_slots(onu_);
        std::vector<phy_slot> out(slots, slots + ONU_PHY_SLOTS);
        onu_unlock(onu_);
        return out;
    }
};

// The lines the power selects are the ONU road's and the decoder table's; an
// ONU whose RF output is blocked keeps its lines, one without a reading reads
// zero power.
TEST_F(Optics, RfLevelLeavesTheLinesWhenBlockedOrUnread)
{
    change([](oltsim::onu_device &d) { d.set_video_power(10000); });
    size_t gpio = requests(TEK_REQ_ONU_GPIO).size();
    onu_lock(onu_);
    onu_->uni[3].blocked = true;
    EXPECT_EQ(profiler_onu_set_rf_level(onu_), 0);
    EXPECT_EQ(onu_->video_power, 10000);
    onu_->uni[3].blocked = false;
    sim_->rcode_next(1, 7, 1);
    EXPECT_EQ(profiler_onu_set_rf_level(onu_), 3);
    EXPECT_EQ(onu_->video_power, 0);
    onu_unlock(onu_);
    EXPECT_EQ(requests(TEK_REQ_ONU_GPIO).size(), gpio);
}

TEST_F(Optics, PartNumberLosesItsTrailingSpacesAndSetsTheClass)
{
    // Type 3 has no transceiver: nothing is read.
    const struct { uint8_t type; const char *part, *stored; uint8_t klass; } cases[] = {
        {2, "LTY9775A-CCG1   ", "LTY9775A-CCG1", 2}, {36, "LTY9775A-CCG\t ", "LTY9775A-CCG", 1},
        {7, "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", 0}, {3, "LTY9775A-CCG1", "", 0},
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
}

// The refresh keeps the learned MACs it read and clears the stale ones after
// them; a UNI without a destination learns none.
TEST_F(Optics, PortRefreshClearsTheLearnedMacsItDidNotRead)
{
    onu_optics_hook_table saved = onu_optics_hooks;
    onu_optics_hooks = {[](int, uint16_t destination, uint8_t *out, int, int *count) {   // as the paths give them
        memset(out, 0, 12);
        out[5] = uint8_t(destination);
        out[11] = uint8_t(destination + 1);
        return *count = 2, 0;
    }};
    onu_->uni_path[0] = 1024;
    for (int uni : {1, 2})
        memset(onu_->uni[uni].learned_macs, 0xEE, sizeof onu_->uni[uni].learned_macs);
    EXPECT_EQ(profiler_onu_update_ports(ONU_MAC), 0);
    onu_optics_hooks = saved;
    EXPECT_EQ(hex_text(byte_vec(onu_->uni[1].learned_macs[1], onu_->uni[1].learned_macs[3])),
              "00 00 00 00 00 01 00 00 00 00 00 00 ");
    EXPECT_EQ(onu_->uni[2].learned_macs[0][0], 0);
}

TEST_F(Optics, PhySetUpWritesItsTableInOrderAndStopsAtARefusal)
{
    change([](oltsim::onu_device &d) {
        d.add_phy(1, 0xC915);
        d.add_phy(3, 0xC816);
    });
    auto slots = detect();
    EXPECT_EQ(phy_setup(&slots[0], onu_->olt, onu_->mac), 0);
    EXPECT_EQ(phy_setup(&slots[1], onu_->olt, onu_->mac), 0);
    auto d = device();
    EXPECT_EQ(d.phys[0].writes, (writes{{0x00, 0x8000}, {0x1F, 0x0007}, {0x1E, 0x002C}, {0x1C, 0x0047},
                                        {0x1A, 0x0010}, {0x1F, 0x0000}}));
    EXPECT_EQ(d.phys[1].writes, (writes{{0x00, 0x8000}, {0x1F, 0x0007}, {0x13, 0x0008}, {0x11, 0x000B},
                                        {0x1F, 0x0000}}));
    phy_slot unknown = {0x1234, 2, 0};
    EXPECT_EQ(phy_setup(&unknown, onu_->olt, onu_->mac), -1);
    EXPECT_EQ(requests(TEK_REQ_ONU_MDIO_WRITE).size(), 11u);
    EXPECT_EQ(detect(0x6838)[0].id, PHY_ID_NONE) << "a 6838 ONU is never probed";
    change([](oltsim::onu_device &d) { d.add_phy(2, 0xC816); d.mdio_reads.clear(); });
    detect();
    EXPECT_EQ(device().mdio_reads, (std::vector<uint8_t>{1, 2})) << "both slots full: 3 is not probed";
    // The second write is refused: the rest of the table is abandoned. The
    // simulator counts on its own thread, hence the atomic.
    auto passed_on = sim_->handler_of(TEK_REQ_ONU_MDIO_WRITE);
    auto writes_seen = std::make_shared<std::atomic<int>>(0);
    sim_->set_handler(TEK_REQ_ONU_MDIO_WRITE, [passed_on, writes_seen](int olt, const oltsim::request_record &r) {
        return ++*writes_seen == 2 ? oltsim::answer{9, {}} : passed_on(olt, r);
    });
    EXPECT_EQ(phy_setup(&slots[1], onu_->olt, onu_->mac), -1);
    EXPECT_EQ(writes_seen->load(), 2);
    EXPECT_EQ(count_of(trace(), "phy (type: C816, addr: 3) configured false\n"), 1);
}

// The board sets ONU hardware through these switches; a bad argument (a
// malformed value, an unknown switch, no such ONU, no MAC) is named, and a
// switch that is no ONU's is passed on.
using OltsimOnuSwitches = OnuChip;
TEST_F(OltsimOnuSwitches, NameABadArgument)
{
    const struct { const char *name, *arg; int result; } cases[] = {
        {"onu-reg31", "00:0D:B6:11:22:33=2:0x18", 1}, {"onu-reg31", "00:0D:B6:11:22:33=3:0x18", -1},
        {"onu-colour", "00:0D:B6:11:22:33=1", -1},    {"onu-part", "00:0D:B6:11:22:34=X", -1},
        {"onu-part", "LTY9775A", -1},                 {"tftp-drop", "3", 0},
    };
    for (const auto &c : cases) {
        std::string error;
        EXPECT_EQ(oltsim::onu_control_apply(*ports_, c.name, c.arg, error), c.result) << c.arg;
        EXPECT_EQ(error.empty(), c.result >= 0) << c.name << " " << c.arg;
    }
    EXPECT_EQ(device().uni[2].phy_reg31, 0x18);
}

} // namespace
