// The ONU commands whose outcome depends on what the chips, the data store
// and the configuration module hold: listings larger than their block, a
// firmware upgrade by the record's own type and the personality's way there
// and back, the UNI block behind a duplicated MAC by ONU type, and the schedule's additions from the
// configuration module's list.
#include "cmd/cmd_onu.h"
#include "cmd/cmd_onu_actions.h"
#include "cmd/cmd_schedule.h"
#include "maint/scheduler.h"

#include "chip/tftpxfer.h"
#include "cmd_fixture.h"
#include "oltsim/tftpserver.h"
#include "wire/personality.h"

#include <fstream>

namespace {

const uint8_t ONU_MAC[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0x21};
const uint8_t LEARNED[6] = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};

void no_pause(unsigned) {}

class OnuActions : public CmdFixture {
protected:
    void BeforeStart() override
    {
        saved_pause_ = tftp_pause;
        tftp_pause = no_pause;
        tftp_ = std::make_unique<oltsim::tftp_server>(*sim_);
    }
    void TearDown() override
    {
        CmdFixture::TearDown();
        tftp_pause = saved_pause_;
    }
    // ONUs of OLT 3, PON port 1, whose two UNI destinations each learned
    // `entries` entries of `size` bytes.
    void crowd(int onus, uint16_t id, size_t entries, size_t size)
    {
        for (int i = 0; i < onus; i++) {
            uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x02, uint8_t(i >> 8), uint8_t(i)};
            make_listed_onu(i, mac, 1, 3, 1, {uint16_t(2000 + 2 * i), uint16_t(2001 + 2 * i)});
        }
        std::vector<uint8_t> answer = {0, 0, uint8_t(entries >> 8), uint8_t(entries)};
        answer.resize(4 + entries * size, 0x22);
        sim_->set_handler(id, [answer](int, const oltsim::request_record &) { return oltsim::answer{0, answer}; });
    }

    void (*saved_pause_)(unsigned) = nullptr;
    std::unique_ptr<oltsim::tftp_server> tftp_;
};

// Only whole records go out, each with as many entries as it can carry (255
// at most); a listing stops before the first record that would not fit.
TEST_F(OnuActions, ListingsStopWhereTheNextRecordWouldNotFit)
{
    // Command, chip request, ONUs, entries of `size` bytes behind each UNI,
    // entries a record carries, the listing's block.
    for (auto [code, id, onus, entries, size, carried, block] :
         {std::tuple<uint16_t, uint16_t, int, size_t, size_t, size_t, size_t>{
              0x1010, TEK_REQ_DEST_ADDRESS_ENTRIES, 130, 4, 20, 4, ADDRESS_LIST_BLOCK},
          {0x100F, TEK_REQ_DEST_LEARNED_MACS, 34, 300, 6, 255, LEARNED_MAC_LIST_BLOCK}}) {
        crowd(onus, id, entries, size);
        cmd_answer a = send(code, params({{0, 7}}));
        ASSERT_EQ(a.rcode, CMD_RC_OK);
        size_t record = 18 + carried * size;
        uint32_t count = load_le32(a.data.data() + 4);
        EXPECT_EQ(count, (block - 32) / record) << code;
        ASSERT_EQ(a.data.size(), 32 + count * record) << code;
        for (uint32_t r = 0; r < count; r++)
            ASSERT_EQ(a.data[32 + r * record + 17], carried) << code << " record " << r;
    }
}

TEST_F(OnuActions, FirmwareUpgradeOnlyForKnownTypesWithAnImage)
{
    std::ofstream(root_.string() + ONU_APP_IMAGE, std::ios::binary) << std::string(1500, 'Z');
    auto p = with({{20, 0x77}}, ONU_MAC);
    make_listed_onu(0, ONU_MAC, 19);
    EXPECT_EQ(send(0x2012, p).rcode, CMD_RC_FAILED);
    make_listed_onu(0, ONU_MAC, 40);   // its image is not there
    EXPECT_EQ(send(0x2012, p).rcode, CMD_RC_FAILED);
    EXPECT_TRUE(tftp_->packets().empty()) << "no transfer for a type without an image";
    // The record's own type counts, not a summary slot that may already
    // mirror whatever reused it: here the summary still says 40.
    onu_lock(onu_at(0));
    onu_at(0)->type = 7;
    onu_unlock(onu_at(0));
    cmd_answer done = send(0x2012, p);
    EXPECT_EQ(done.rcode, CMD_RC_OK);
    EXPECT_EQ(done.data, p);
    oltsim::mac_address mac{0x00, 0x0D, 0xB6, 0x00, 0x00, 0x21};
    EXPECT_EQ(tftp_->onu_file(mac, "app"), std::vector<uint8_t>(1500, 'Z'));
    // Its personality there and back, by MAC whatever the type.
    auto image = oltsim::tftp_server::make_onu_personality(ONU_PERS_SIZE, 7);
    tftp_->set_onu_personality(mac, image);
    cmd_answer read = send(0x2013, p);
    ASSERT_EQ(read.rcode, CMD_RC_OK);
    EXPECT_EQ(std::vector<uint8_t>(read.data.begin() + 32, read.data.end()), image);
    p.insert(p.end(), image.begin(), image.end());
    EXPECT_EQ(send(0x2014, p).rcode, CMD_RC_OK);
    EXPECT_EQ(tftp_->onu_file(mac, "personality").size(), ONU_PERS_SIZE);
}

// The UNI port whose destination learned the MAC is blocked the way the
// ONU's type allows, and only a port really blocked is told.
TEST_F(OnuActions, DuplicateMacBlocksTheUniByType)
{
    learned_behind(0x1234, LEARNED);
    // Type, the UNI blocked before, the chip requests of the block in order,
    // blocked and told after: type 2 again even when blocked, 40 no way to.
    for (auto [type, already, block, notified] :
         {std::tuple<uint8_t, bool, std::vector<uint16_t>, bool>{1, false, {TEK_REQ_PORT_DISABLE}, true},
          {2, true, {TEK_REQ_PORT_DISABLE}, true},
          {9, false, {TEK_REQ_ONU_CONFIG_START, TEK_REQ_ONU_PON_PARAMS}, true},
          {9, true, {}, true},
          {40, false, {}, false}}) {
        SCOPED_TRACE(int(type));
        // The ONU sits behind PON port 0 or 1: the look-up stops at either.
        onu_record *onu = make_listed_onu(3, ONU_MAC, type, 2, type % 2, {0, 0x1234});
        onu->uni[2].blocked = already;
        size_t before = sim_->request_count();
        ASSERT_TRUE(send_unanswered(0x5040, with({{0, 2}}, LEARNED)));
        std::vector<uint16_t> ids;
        auto log = sim_->request_log();
        for (size_t i = before; i < log.size(); i++)
            if (log[i].id != TEK_REQ_DEST_LEARNED_MACS) {
                ids.push_back(log[i].id);
                EXPECT_EQ(0, std::memcmp(log[i].data.data(), ONU_MAC, 6));
            }
        EXPECT_EQ(ids, block);
        EXPECT_EQ(onu->uni[2].blocked, notified ? 1 : 0);
        uint8_t summary[ONU_SUMMARY_SIZE];
        onu_summary_read(3, summary);
        EXPECT_TRUE(already || (summary[offsetof(onu_summary, uni_blocked)] != 0) == notified);
        onu_release_locked(onu);
        EXPECT_EQ(kernhandlers_mac_duplicate_count(), 0);
    }
    auto told = [&] {
        size_t n = 0;
        for (const auto &note : kernel_.notifications())
            n += note.code == EVENT_UNI_BLOCKED && std::string(note.text) == "02:AA:BB:CC:DD:EE UNI port 2 blocked";
        return n;
    };
    EXPECT_TRUE(eventually([&] { return told() == 4; }, 2));
}

// Add-all takes the connected ONUs of the updatable types, add-by-type the
// configured ones connected or not; a refused list fails, a full table stops.
TEST_F(OnuActions, ScheduleAdditionsFromTheConfigurationModulesList)
{
    std::string error;
    ASSERT_TRUE(kernel_.store().load_text(R"({"onus": [{"mac": "00:0D:B6:00:00:A1", "type": 1},
        {"mac": "00:0D:B6:00:00:B2", "type": 40}, {"mac": "00:0D:B6:00:00:C3", "type": 5},
        {"mac": "00:0D:B6:00:00:D4", "type": 5}]})", error)) << error;
    const uint8_t a1[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0xA1}, b2[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0xB2},
                  c3[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0xC3};
    make_listed_onu(0, a1, 1);
    make_listed_onu(1, b2, 40);
    make_listed_onu(2, c3, 5);   // connected, but not of an updatable type; D4 is not connected
    for (uint16_t kind : {SCHEDULE_FIRMWARE, SCHEDULE_PERSONALITY, SCHEDULE_RECONFIGURE})
        scheduler_clear(kind);
    EXPECT_EQ(send(0x6005, params({{0, SCHEDULE_FIRMWARE}})).rcode, 0);
    EXPECT_EQ(send(0x6003, params({{0, SCHEDULE_FIRMWARE}})).data.size(), 44u + 24u);
    EXPECT_EQ(send(0x6005, params({{0, SCHEDULE_FIRMWARE}})).rcode, 9);
    scheduler_del(b2, SCHEDULE_FIRMWARE);
    EXPECT_EQ(send(0x6005, params({{0, SCHEDULE_FIRMWARE}})).rcode, 10);
    EXPECT_EQ(send(0x6006, params({{0, SCHEDULE_PERSONALITY}, {4, 5}})).rcode, 0);
    cmd_answer list = send(0x6003, params({{0, SCHEDULE_PERSONALITY}}));
    ASSERT_EQ(list.data.size(), 44u + 24u);
    EXPECT_EQ(list.data[44 + 5], 0xD4);

    uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0};
    for (int i = 0; i < SCHEDULE_SIZE - 5; i++) {
        store_be16(mac + 4, uint16_t(i));
        ASSERT_EQ(scheduler_add(mac, SCHEDULE_RECONFIGURE), 0);
    }
    EXPECT_EQ(send(0x6006, params({{0, SCHEDULE_RECONFIGURE}, {4, 5}})).rcode, 4);
    EXPECT_EQ(send(0x6001, with({{0, SCHEDULE_RECONFIGURE}}, a1)).rcode, 4);
    kernel_.store().refuse(CMD_CFG_ONU_LIST, 8);
    EXPECT_EQ(send(0x6005, params({{0, SCHEDULE_FIRMWARE}})).rcode, 3);
    EXPECT_EQ(send(0x6006, params({{0, SCHEDULE_FIRMWARE}, {4, 1}})).rcode, 3);
    for (uint16_t kind : {SCHEDULE_FIRMWARE, SCHEDULE_PERSONALITY, SCHEDULE_RECONFIGURE})
        scheduler_clear(kind);
}

} // namespace
