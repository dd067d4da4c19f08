// The ONU action and schedule commands on the simulated board, sent the way
// an operator sends them (ponctl through ponkernel to the running daemon):
// a laser shutdown for a MAC nobody knows reaches every PON port, a firmware
// upgrade is refused before any transfer for a type without an image,
// accounting starts once, the schedule refuses what it already holds, and a
// duplicated MAC behind an ONU's UNI port blocks that port and tells the
// management process.
#include "integration/onu_road_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int BOARD_SECONDS = 60;

const char *ACTIONS_BOARD = R"({
  "system": { "hostname": "actions", "address": "10.9.8.7" },
  "profiles": { "link": [ { "index": 0, "links": 4 } ], "rules": [ { "index": 0, "in_use": 1 } ] },
  "onus": [
    { "mac": "00:0D:B6:30:00:00", "type": 1, "secret": "5820", "ont_id": 1, "description": "plain",
      "olt": 0, "pon": 0, "chip": "0x3714", "fw": "0x0210" },
    { "mac": "00:0D:B6:30:00:10", "type": 19, "secret": "5820", "ont_id": 2, "description": "nineteen",
      "olt": 0, "pon": 1, "chip": "0x3714", "fw": "0x0210" },
    { "mac": "00:0D:B6:30:00:20", "type": 2, "secret": "5820", "ont_id": 3, "description": "away",
      "olt": 0, "pon": 0, "chip": "0x3714" }
  ]
})";

const char *ACTIONS_CHIP_ONUS = R"({ "onus": [
    { "mac": "00:0D:B6:30:00:00", "type": 1, "secret": "5820", "olt": 0, "pon": 0, "chip": "0x3714", "fw": "0x0210" },
    { "mac": "00:0D:B6:30:00:10", "type": 19, "secret": "5820", "olt": 0, "pon": 1, "chip": "0x3714", "fw": "0x0210" }
] })";

const uint8_t PLAIN[6] = {0x00, 0x0D, 0xB6, 0x30, 0x00, 0x00};
const uint8_t NINETEEN[6] = {0x00, 0x0D, 0xB6, 0x30, 0x00, 0x10};

class OnuActionsBoard : public Road {
protected:
    std::string kernel_board() const override { return ACTIONS_BOARD; }
    const char *chip_onus() const override { return ACTIONS_CHIP_ONUS; }

    void bring_up(const uint8_t mac[6], const std::string &text)
    {
        population_->register_onu(mac);
        ASSERT_TRUE(eventually([&] { return state(text) == "OK"; }, BOARD_SECONDS)) << daemon_.out();
    }
    // A command as ponctl sends it: the parameter block in hex. ponctl's
    // first answer line ("cmd ... rcode N len L"), or its error.
    std::string command(uint16_t code, const std::string &block)
    {
        char hex[8];
        snprintf(hex, sizeof hex, "0x%04X", code);
        run_result r = run_program(box_, "ponctl", PONCTL_BIN, {"raw", hex, block});
        if (r.status != 0)
            return r.err;
        return r.out.substr(0, r.out.find('\n'));
    }
    static bool answered(const std::string &line, int rcode, int len)
    {
        return line.find(" rcode " + std::to_string(rcode) + " len " + std::to_string(len)) != std::string::npos;
    }
    size_t chip_requests(uint16_t id)
    {
        size_t n = 0;
        for (const auto &r : sim_->request_log())
            n += r.id == id;
        return n;
    }
    // 32 bytes: the u32 at 0, the u32 at 4, the MAC at 8, zeros.
    static std::string block(uint32_t first, uint32_t second, const std::string &mac)
    {
        char head[40];
        auto le = [](uint32_t v) {
            char b[12];
            snprintf(b, sizeof b, "%02X%02X%02X%02X", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, v >> 24);
            return std::string(b);
        };
        snprintf(head, sizeof head, "%s%s", le(first).c_str(), le(second).c_str());
        std::string m = mac;
        m.erase(std::remove(m.begin(), m.end(), ':'), m.end());
        return head + m + std::string(2 * (32 - 14), '0');
    }
};

TEST_F(OnuActionsBoard, LaserFirmwareAndAccountingCommands)
{
    start();
    bring_up(NINETEEN, "00:0D:B6:30:00:10");

    // Laser off for 300 s for a MAC no ONU has: every PON port of every OLT.
    size_t before = chip_requests(TEK_REQ_LASER_SHUTDOWN);
    EXPECT_TRUE(answered(command(0x2050, block(300, 0, "00:0D:B6:99:99:99")), 0, 0));
    EXPECT_EQ(chip_requests(TEK_REQ_LASER_SHUTDOWN) - before, 8u);
    EXPECT_TRUE(says("Got signal for shutdown laser on ONT-00:0D:B6:99:99:99 for 300 seconds"));
    std::vector<int> olts;
    for (const auto &r : sim_->request_log())
        if (r.id == TEK_REQ_LASER_SHUTDOWN) {
            olts.push_back(r.olt);
            EXPECT_EQ(r.len, 16);
        }
    EXPECT_EQ(olts, (std::vector<int>{0, 0, 1, 1, 2, 2, 3, 3}));

    // Type 19 has no image: refused, nothing transferred, even with the
    // images in place.
    write(box_.path("/usr/local/share/tk3714app.tkf"), std::string(2000, 'a'));
    write(box_.path("/usr/local/share/ontm40.fw.bin"), std::string(2000, 'b'));
    size_t transfers = chip_requests(TEK_REQ_TFTP_ONU);
    EXPECT_TRUE(answered(command(0x2012, block(0, 0, "00:0D:B6:30:00:10")), 3, 32));
    EXPECT_EQ(chip_requests(TEK_REQ_TFTP_ONU), transfers);
    EXPECT_TRUE(says("cmd_onu_fw_upgrade: ONU 00:0D:B6:30:00:10: no image for type 19")) << "the log says why";

    // Accounting starts once.
    EXPECT_TRUE(answered(command(0x2031, ""), 0, 0));
    EXPECT_TRUE(answered(command(0x2031, ""), 255, 0));
    EXPECT_TRUE(says("RADIUS: accounting already inited"));
    EXPECT_TRUE(answered(command(0x2032, ""), 0, 0));
}

TEST_F(OnuActionsBoard, ScheduleRefusesWhatItHoldsAndADuplicateMacBlocksTheUni)
{
    start();
    bring_up(PLAIN, "00:0D:B6:30:00:00");
    bring_up(NINETEEN, "00:0D:B6:30:00:10");

    // Firmware for every connected ONU of an updatable type: only the plain
    // one (19 is not one, "away" is not connected).
    EXPECT_TRUE(answered(command(0x6005, block(1, 0, "00:00:00:00:00:00")), 0, 0));
    EXPECT_TRUE(eventually([&] {
        return says("handler_onu_sched_add_all: Added ONT 00:0D:B6:30:00:00 (desc: plain)");
    }, 10));
    EXPECT_TRUE(answered(command(0x6005, block(1, 0, "00:00:00:00:00:00")), 9, 0));
    EXPECT_TRUE(eventually([&] { return says("handler_onu_sched_add_all: ERROR: All ONTs are already in the list"); },
                           10));
    std::string list = command(0x6003, block(1, 0, "00:00:00:00:00:00"));
    EXPECT_TRUE(answered(list, 0, 44 + 12)) << list;
    EXPECT_TRUE(answered(command(0x6002, block(1, 0, "00:0D:B6:30:00:00")), 0, 0));
    EXPECT_TRUE(answered(command(0x6003, block(1, 0, "00:00:00:00:00:00")), 0, 44));

    // A host MAC learned behind the plain ONU shows up elsewhere: its UNI
    // port is blocked, and the command is never answered.
    const uint8_t host[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    auto destinations = service_->destinations(0);
    ASSERT_FALSE(destinations.empty());
    for (const auto &d : destinations)
        service_->add_learned(0, d.first, host);
    size_t blocks = chip_requests(TEK_REQ_PORT_DISABLE);
    std::string silent = command(0x5040, block(0, 0, "02:11:22:33:44:55"));
    EXPECT_NE(silent.find("no answer from the daemon"), std::string::npos) << silent;
    EXPECT_TRUE(eventually([&] { return kernel_.out().find("notification: event 13 numbers 0 0 0 0 text "
                                                           "\"02:11:22:33:44:55 UNI port 1 blocked\"") !=
                                        std::string::npos; },
                           10))
        << kernel_.out();
    EXPECT_EQ(chip_requests(TEK_REQ_PORT_DISABLE) - blocks, 1u);
    auto log = sim_->request_log();
    auto last = std::find_if(log.rbegin(), log.rend(), [](auto &r) { return r.id == TEK_REQ_PORT_DISABLE; });
    ASSERT_NE(last, log.rend());
    EXPECT_EQ(0, memcmp(last->data.data(), PLAIN, 6));
    EXPECT_TRUE(says("handler_onu_mac_duplicate [DEBUG] Mac duplicate process decreased, count = 0!"));
}

} // namespace
