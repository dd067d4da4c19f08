// PHY detection and set-up against oltsim's ONU hardware, driven directly:
// which MDIO addresses are probed, which slots fill, and the register
// writes each PHY receives, in order.
#include "common/onu_fixture.h"

#include "engine/onu_phy.h"

#include <atomic>

namespace {

using writes = std::vector<std::pair<uint16_t, uint16_t>>;

class Phy : public OnuChip {
protected:
    std::vector<phy_slot> detect()
    {
        onu_lock(onu_);
        phy_detect(onu_);
        phy_slot *slots = onu_phy_slots(onu_);
        std::vector<phy_slot> out(slots, slots + ONU_PHY_SLOTS);
        onu_unlock(onu_);
        return out;
    }
};

TEST_F(Phy, DetectionFillsTheSlotsInAddressOrder)
{
    struct case_ {
        const char *name;
        std::vector<std::pair<uint8_t, uint16_t>> phys;   // address, identifier
        std::vector<uint8_t> probed;
        uint16_t id0, id1;
        uint8_t addr0, addr1, kind0, kind1;
    };
    const case_ cases[] = {
        {"PHYs at 2 and 3; 1 answers 0xFFFF", {{2, 0xC915}, {3, 0xC816}}, {1, 2, 3}, 0xC915, 0xC816, 2, 3, 1, 2},
        {"two found at 1 and 2: 3 is not probed", {{1, 0xC816}, {2, 0xC816}}, {1, 2}, 0xC816, 0xC816, 1, 2, 2, 2},
        {"an unknown PHY is passed over", {{1, 0x1234}, {3, 0xC915}}, {1, 2, 3}, 0xC915, 0xFFFF, 3, 0, 1, 0},
        {"no PHY at all", {}, {1, 2, 3}, 0xFFFF, 0xFFFF, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        change([&](oltsim::onu_device &d) {
            d.phys.clear();
            d.mdio_reads.clear();
            for (auto [address, id] : c.phys)
                d.add_phy(address, id);
        });
        auto slots = detect();
        EXPECT_EQ(device().mdio_reads, c.probed) << c.name;
        EXPECT_EQ(slots[0].id, c.id0) << c.name;
        EXPECT_EQ(slots[1].id, c.id1) << c.name;
        if (c.id0 != 0xFFFF) {
            EXPECT_EQ(slots[0].address, c.addr0) << c.name;
            EXPECT_EQ(slots[0].kind, c.kind0) << c.name;
        }
        if (c.id1 != 0xFFFF) {
            EXPECT_EQ(slots[1].address, c.addr1) << c.name;
            EXPECT_EQ(slots[1].kind, c.kind1) << c.name;
        }
    }
    EXPECT_EQ(count_of(trace(), "found vendor specific phy, type: C915, addr 2\n"), 1);
    EXPECT_EQ(count_of(trace(), "found vendor specific phy, type: C816, addr 3\n"), 1);
}

TEST_F(Phy, A6838OnuIsNeverProbed)
{
    change([](oltsim::onu_device &d) { d.add_phy(1, 0xC816); });
    onu_lock(onu_);
    store_be16(onu_->chip_id, 0x6838);
    onu_unlock(onu_);
    auto slots = detect();
    EXPECT_EQ(slots[0].id, PHY_ID_NONE);
    EXPECT_EQ(slots[1].id, PHY_ID_NONE);
    EXPECT_TRUE(requests(TEK_REQ_ONU_MDIO_READ).empty());
}

TEST_F(Phy, SetUpWritesTheTableInOrder)
{
    change([](oltsim::onu_device &d) {
        d.add_phy(1, 0xC915);
        d.add_phy(3, 0xC816);
    });
    auto slots = detect();
    ASSERT_EQ(slots[0].id, 0xC915);
    EXPECT_EQ(phy_setup(&slots[0], onu_->olt, onu_->mac), 0);
    EXPECT_EQ(phy_setup(&slots[1], onu_->olt, onu_->mac), 0);
    auto d = device();
    EXPECT_EQ(d.phys[0].writes, (writes{{0x00, 0x8000}, {0x1F, 0x0007}, {0x1E, 0x002C}, {0x1C, 0x0047},
                                        {0x1A, 0x0010}, {0x1F, 0x0000}}));
    EXPECT_EQ(d.phys[1].writes, (writes{{0x00, 0x8000}, {0x1F, 0x0007}, {0x13, 0x0008}, {0x11, 0x000B},
                                        {0x1F, 0x0000}}));
    // Each write is read first (all masks are 0, so the old value is dropped).
    EXPECT_EQ(requests(TEK_REQ_ONU_MDIO_WRITE).size(), 11u);
    EXPECT_EQ(hex_text(requests(TEK_REQ_ONU_MDIO_WRITE)[0].data), "00 0D B6 11 22 33 01 00 00 FF FF 80 00 ");
    std::string t = trace();
    size_t at = 0;
    for (const char *line : {"set phy: reg: 0000, val: 8000, mask: 0000\n", "set phy: reg: 001F, val: 0007, mask: 0000\n",
                             "set phy: reg: 001E, val: 002C, mask: 0000\n", "set phy: reg: 001F, val: 0000, mask: 0000\n"}) {
        at = t.find(line, at);
        ASSERT_NE(at, std::string::npos) << line;
    }
    EXPECT_EQ(count_of(t, "phy (type: C915, addr: 1) configured successfully\n"), 1);
    EXPECT_EQ(count_of(t, "phy (type: C816, addr: 3) configured successfully\n"), 1);
}

TEST_F(Phy, SetUpFailures)
{
    change([](oltsim::onu_device &d) { d.add_phy(2, 0xC816); });
    auto slots = detect();
    phy_slot unknown = {0x1234, 2, 0};
    EXPECT_EQ(phy_setup(&unknown, onu_->olt, onu_->mac), -1);
    EXPECT_TRUE(requests(TEK_REQ_ONU_MDIO_WRITE).empty());
    // The second write is refused: the rest of the table is abandoned.
    auto passed_on = sim_->handler_of(TEK_REQ_ONU_MDIO_WRITE);
    // The simulator counts on its own thread, which the UDP answer does not
    // order with this one as far as a race detector can see.
    auto writes_seen = std::make_shared<std::atomic<int>>(0);
    sim_->set_handler(TEK_REQ_ONU_MDIO_WRITE, [passed_on, writes_seen](int olt, const oltsim::request_record &r) {
        return ++*writes_seen == 2 ? oltsim::answer{9, {}} : passed_on(olt, r);
    });
    EXPECT_EQ(phy_setup(&slots[0], onu_->olt, onu_->mac), -1);
    EXPECT_EQ(writes_seen->load(), 2);
    EXPECT_EQ(device().phys[0].writes, (writes{{0x00, 0x8000}}));
    EXPECT_EQ(count_of(trace(), "phy (type: C816, addr: 2) configured false\n"), 1);
}

TEST_F(Phy, MdioReadsAndWritesAPhyRegister)
{
    change([](oltsim::onu_device &d) { d.add_phy(2, 0xC816); });
    uint16_t value = 0;
    EXPECT_EQ(onu_mdio_write(1, ONU_MAC, 2, 0x11, 0x000B), 0);
    EXPECT_EQ(onu_mdio_read(1, ONU_MAC, 2, 0x11, &value), 0);
    EXPECT_EQ(value, 0x000B);
    EXPECT_EQ(onu_mdio_read(1, ONU_MAC, 2, PHY_REG_ID, &value), 0);
    EXPECT_EQ(value, 0xC816);
    sim_->rcode_next(1, 2, 2);
    EXPECT_EQ(onu_mdio_read(1, ONU_MAC, 2, 0x11, &value), -1);
    EXPECT_EQ(onu_mdio_write(1, ONU_MAC, 2, 0x11, 1), -1);
}

} // namespace

namespace {

TEST(OltsimOnuSwitches, SetTheHardwareOfAKnownOnu)
{
    oltsim::options opts;
    opts.log = false;
    opts.board = false;
    oltsim::chipset sim(opts);
    oltsim::onu_ports ports(sim);
    ports.add(ONU_MAC);
    struct case_ {
        const char *name, *arg;
        int result;
    };
    const case_ cases[] = {
        {"onu-part", "00:0D:B6:11:22:33=LTY9775A-CCG1", 1},
        {"onu-video", "00:0D:B6:11:22:33=12345", 1},
        {"onu-phy", "00:0D:B6:11:22:33=2:0xC915", 1},
        {"onu-drssi", "00:0D:B6:11:22:33=300", 1},
        {"onu-reg31", "00:0D:B6:11:22:33=2:0x18", 1},
        {"onu-reg31", "00:0D:B6:11:22:33=3:0x18", -1},
        {"onu-phy", "00:0D:B6:11:22:33=2", -1},
        {"onu-part", "00:0D:B6:11:22:34=X", -1},
        {"onu-part", "LTY9775A", -1},
        {"onu-colour", "00:0D:B6:11:22:33=1", -1},
        {"tftp-drop", "3", 0},
    };
    for (const auto &c : cases) {
        std::string error;
        EXPECT_EQ(oltsim::onu_control_apply(ports, c.name, c.arg, error), c.result) << c.name << " " << c.arg;
        EXPECT_EQ(error.empty(), c.result >= 0) << c.name << " " << c.arg;
    }
    auto d = ports.get(ONU_MAC);
    EXPECT_EQ(std::string(d.a0.begin() + 40, d.a0.begin() + 56), "LTY9775A-CCG1   ");
    EXPECT_EQ(load_be16(d.a2.data() + 106), 12345);
    ASSERT_EQ(d.phys.size(), 1u);
    EXPECT_EQ(d.phys[0].address, 2);
    EXPECT_EQ(d.phys[0].id, 0xC915);
    EXPECT_EQ(d.drssi, 300);
    EXPECT_EQ(d.uni[2].phy_reg31, 0x18);
}

} // namespace
