// The ONU table and look-up commands served end to end in one process, and
// the IGMP answer decoder over canned chip answers. Checks the answers'
// sizes and layouts against the data store, the result codes, and the chip
// requests that went out (or did not).
#include "cmd/cmd_onu.h"

#include "cmd_fixture.h"
#include "common/hex.h"
#include "onu/profiler_onu.h"
#include "onu/profiler_path.h"

#include <atomic>
#include <sstream>

namespace {

const uint8_t ONU_A[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0x20};
const uint8_t ONU_B[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0x30};
const uint8_t UNKNOWN[6] = {0x00, 0x0D, 0xB6, 0x0F, 0x0F, 0x0F};
const uint8_t LEARNED[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

class OnuCommands : public CmdFixture {
protected:
    // The parameter block naming an ONU (or a learned MAC) at 8, with a
    // u32 at 0.
    static std::vector<uint8_t> mac_params(const uint8_t mac[6], uint32_t first = 0)
    {
        std::vector<uint8_t> p = params({{0, first}});
        std::copy(mac, mac + 6, p.begin() + ONU_MAC_AT);
        return p;
    }

    // An ONU in OK behind `olt`/`port` whose summary carries a recognisable
    // information block.
    static void listed(int index, const uint8_t mac[6], int olt, int port = 0)
    {
        onu_record *onu = make_onu(index, mac, ONU_STATE_OK, olt);
        onu_lock(onu);
        onu->port = uint8_t(port);
        onu->ont_id = 700 + uint32_t(index);
        for (size_t i = 0; i < sizeof onu->info; i++)
            onu->info[i] = uint8_t(index + i);
        onu_summary_update(onu);
        onu_summary_set_info(onu);
        onu_unlock(onu);
    }

    // Answers `id` with `data` after RCODE 0.
    void answer_with(uint16_t id, std::vector<uint8_t> data)
    {
        sim_->set_handler(id, [data](int, const oltsim::request_record &) { return oltsim::answer{0, data}; });
    }
};

TEST_F(OnuCommands, ListsPackTheSelectedSummariesAndFillTheRestWithFF)
{
    const uint8_t macs[4][6] = {{0, 0x0D, 0xB6, 1, 0, 5},
                                {0, 0x0D, 0xB6, 1, 0, 17},
                                {0, 0x0D, 0xB6, 1, 5, 0},
                                {0, 0x0D, 0xB6, 1, 7, 0xCF}};
    listed(5, macs[0], 0);
    listed(17, macs[1], 2);
    listed(1500, macs[2], 2);
    listed(1999, macs[3], 1);

    struct {
        const char *name;
        uint16_t code;
        uint32_t olt, half;
        size_t size;
        std::vector<int> slots;   // the ONU slots listed, in order
    } cases[] = {
        {"all, compact", 0x2003, 0, 0, 54032, {5, 17, 1500, 1999}},
        {"OLT 2, compact", 0x2004, 2, 0, 54032, {17, 1500}},
        {"OLT 1, compact", 0x2004, 1, 0, 54032, {1999}},
        {"OLT 9, compact", 0x2004, 9, 0, 54032, {}},
        {"lower half", 0x2026, 0, 0, 91032, {5, 17}},
        {"upper half", 0x2026, 0, 1, 91032, {1500, 1999}},
        {"selector 2 is the lower half", 0x2026, 0, 2, 91032, {5, 17}},
        {"OLT 2, upper half", 0x2027, 2, 1, 91032, {1500}},
        {"OLT 2, lower half", 0x2027, 2, 0, 91032, {17}},
        {"OLT 3, lower half", 0x2027, 3, 0, 91032, {}},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> p = params({{0, c.olt}, {4, c.half}, {20, 0xA5A5A5A5}});
        cmd_answer a = send(c.code, p);
        ASSERT_EQ(a.rcode, CMD_RC_OK) << c.name;
        ASSERT_EQ(a.data.size(), c.size) << c.name;
        EXPECT_TRUE(std::equal(p.begin(), p.end(), a.data.begin())) << c.name;
        bool full = c.size == 91032;
        size_t entry = full ? 91 : 27;
        for (size_t k = 0; k < c.slots.size(); k++) {
            uint8_t summary[ONU_SUMMARY_SIZE];
            ASSERT_EQ(onu_summary_read(c.slots[k], summary), 0);
            const uint8_t *got = a.data.data() + 32 + k * entry;
            EXPECT_TRUE(std::equal(summary, summary + 27, got)) << c.name << " entry " << k;
            if (full) {
                EXPECT_TRUE(std::equal(summary + 31, summary + 95, got + 27)) << c.name << " entry " << k;
            }
        }
        EXPECT_TRUE(std::all_of(a.data.begin() + 32 + long(c.slots.size() * entry), a.data.end(),
                                [](uint8_t b) { return b == 0xFF; }))
            << c.name;
    }
}

TEST_F(OnuCommands, ListOfAnEmptySystemIsTheEchoAndFillerOnly)
{
    // Without a payload the echo is a block of zeros.
    cmd_answer a = send(0x2003, {});
    ASSERT_EQ(a.rcode, CMD_RC_OK);
    ASSERT_EQ(a.data.size(), 54032u);
    EXPECT_TRUE(std::all_of(a.data.begin(), a.data.begin() + 32, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(a.data.begin() + 32, a.data.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(OnuCommands, UnknownOnusAnswerNotFoundInTheirFullSize)
{
    struct {
        uint16_t code;
        size_t size;   // the answer's bytes
    } cases[] = {
        {0x2005, 18505}, {0x200F, 288}, {0x2002, 0}, {0x200E, 0}, {0x1013, 0}, {0x2015, 49},
    };
    listed(3, ONU_A, 0);
    for (const auto &c : cases) {
        std::vector<uint8_t> p = mac_params(UNKNOWN);
        cmd_answer a = send(c.code, p);
        EXPECT_EQ(a.rcode, CMD_RC_NOT_FOUND) << std::hex << c.code;
        ASSERT_EQ(a.data.size(), c.size) << std::hex << c.code;
        if (c.size) {
            EXPECT_TRUE(std::equal(p.begin(), p.end(), a.data.begin())) << std::hex << c.code;
            EXPECT_TRUE(std::all_of(a.data.begin() + 32, a.data.end(), [](uint8_t b) { return b == 0; }))
                << std::hex << c.code;
        }
    }
    // No ONU request went out for a MAC nobody has.
    EXPECT_TRUE(requests(TEK_REQ_IGMP_GROUPS).empty());
    EXPECT_TRUE(requests(TEK_REQ_QUEUES_CLEAR).empty());
}

TEST_F(OnuCommands, RecordGoesOutInThreePiecesAndDescriptionBehindTheEcho)
{
    listed(42, ONU_A, 1, 1);
    onu_record *onu = onu_at(42);
    onu_lock(onu);
    std::strcpy(onu->description, "third floor, left");
    onu->cfg_tail[3] = 0x5C;           // the last byte sent
    onu->profiles[0] = 0x77;           // the first byte of the configuration
    onu->uni[0].learned_macs[0][0] = 0x3E;
    onu_unlock(onu);

    std::vector<uint8_t> p = mac_params(ONU_A, 0x01020304);
    cmd_answer a = send(0x2005, p);
    ASSERT_EQ(a.rcode, CMD_RC_OK);
    ASSERT_EQ(a.data.size(), 18505u);
    EXPECT_TRUE(std::equal(p.begin(), p.end(), a.data.begin()));
    std::vector<uint8_t> record(ONU_RECORD_SIZE);
    onu_lock(onu);
    std::memcpy(record.data(), onu, record.size());
    onu_unlock(onu);
    const uint8_t *at = a.data.data() + 32;
    EXPECT_TRUE(std::equal(record.begin() + 428, record.begin() + 2400, at));   // UNI ports
    EXPECT_TRUE(std::equal(record.begin(), record.begin() + 428, at + 1972));   // head
    EXPECT_TRUE(std::equal(record.begin() + 2400, record.begin() + 18473, at + 2400));   // configuration
    EXPECT_EQ(at[2400], 0x77);
    EXPECT_EQ(at[18472], 0x5C);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(at + 1972 + 4)), "third floor, left");

    cmd_answer d = send(0x200F, p);
    ASSERT_EQ(d.rcode, CMD_RC_OK);
    ASSERT_EQ(d.data.size(), 288u);
    EXPECT_TRUE(std::equal(p.begin(), p.end(), d.data.begin()));
    EXPECT_TRUE(std::equal(record.begin() + 4, record.begin() + 260, d.data.begin() + 32));
}

TEST_F(OnuCommands, ReconfigureSendsEveryLinkToReportTimeout)
{
    listed(8, ONU_A, 0);
    uint32_t before = onu_change_counter_get();
    cmd_answer a = send(0x2002, mac_params(ONU_A));
    EXPECT_EQ(a.rcode, CMD_RC_OK);
    EXPECT_TRUE(a.data.empty());
    onu_record *onu = onu_at(8);
    onu_lock(onu);
    for (const link_record &link : onu->links)
        EXPECT_EQ(link.state, ONU_STATE_REPORTTIMEOUT);
    onu_unlock(onu);
    EXPECT_EQ(onu_change_counter_get(), before + ONU_LINKS);
}

TEST_F(OnuCommands, QueueRewriteClearsWaitsThreeSecondsWritesAndResets)
{
    listed(9, ONU_B, 3, 1);
    std::atomic<bool> done{false};
    cmd_answer a;
    std::thread sender([&] {
        a = send(0x200E, mac_params(ONU_B));
        done = true;
    });
    ASSERT_TRUE(eventually([&] { return requests(TEK_REQ_QUEUES_CLEAR).size() == 1; }));
    uint64_t cleared = clock_now_ms();
    ASSERT_TRUE(advance_until([&] { return !requests(TEK_REQ_QUEUES_WRITE).empty(); }));
    uint64_t written = clock_now_ms();
    ASSERT_TRUE(eventually([&] { return done.load(); }));
    sender.join();
    EXPECT_EQ(a.rcode, CMD_RC_OK);
    EXPECT_TRUE(a.data.empty());
    EXPECT_GE(written - cleared, ONU_QUEUES_PAUSE_MS);

    uint8_t layout[QUEUES_WRITE_LEN] = {};
    onu_expected_queues(ONU_B, ONU_LINKS, false, layout);
    auto write = requests(TEK_REQ_QUEUES_WRITE);
    ASSERT_EQ(write.size(), 1u);
    EXPECT_EQ(write[0].olt, 3);
    EXPECT_EQ(write[0].data, std::vector<uint8_t>(layout, layout + sizeof layout));
    auto reset = requests(TEK_REQ_ONU_RESET);
    ASSERT_EQ(reset.size(), 1u);
    EXPECT_EQ(reset[0].data, std::vector<uint8_t>(ONU_B, ONU_B + 6));
    // Clear, write, reset: in that order.
    std::vector<uint16_t> order;
    for (auto &r : sim_->request_log())
        if (r.id == TEK_REQ_QUEUES_CLEAR || r.id == TEK_REQ_QUEUES_WRITE || r.id == TEK_REQ_ONU_RESET)
            order.push_back(r.id);
    EXPECT_EQ(order, (std::vector<uint16_t>{TEK_REQ_QUEUES_CLEAR, TEK_REQ_QUEUES_WRITE, TEK_REQ_ONU_RESET}));
}

TEST_F(OnuCommands, QueueRewriteStopsAtARefusedClear)
{
    listed(9, ONU_B, 0);
    sim_->set_handler(TEK_REQ_QUEUES_CLEAR, [](int, const oltsim::request_record &) { return oltsim::answer{5, {}}; });
    cmd_answer a = send(0x200E, mac_params(ONU_B));
    EXPECT_EQ(a.rcode, CMD_RC_FAILED);
    EXPECT_TRUE(requests(TEK_REQ_QUEUES_WRITE).empty());
    EXPECT_TRUE(requests(TEK_REQ_ONU_RESET).empty());
}

TEST_F(OnuCommands, LearnedMacLookUpSearchesOnePortOrAllEight)
{
    // ONU A behind OLT 1 PON 1 (port number 3) learned the MAC on its
    // second UNI's destination.
    listed(11, ONU_A, 1, 1);
    onu_record *onu = onu_at(11);
    onu_lock(onu);
    onu->uni_path[1] = 1030;
    onu_unlock(onu);
    sim_->set_handler(TEK_REQ_DEST_LEARNED_MACS, [](int olt, const oltsim::request_record &r) {
        std::vector<uint8_t> out = {r.data[0], r.data[1], 0, 0};
        if (olt == 1 && load_be16(r.data.data()) == 1030) {
            out[3] = 2;
            out.insert(out.end(), {0x02, 0, 0, 0, 0, 1});
            out.insert(out.end(), LEARNED, LEARNED + 6);
        }
        return oltsim::answer{0, out};
    });

    struct {
        uint32_t port;
        const uint8_t *mac;
        uint8_t rcode;
    } cases[] = {
        {3, LEARNED, CMD_RC_OK},  {8, LEARNED, CMD_RC_OK},        {0xFFFFFFFF, LEARNED, CMD_RC_OK},
        {2, LEARNED, CMD_RC_NOT_FOUND}, {3, UNKNOWN, CMD_RC_NOT_FOUND}, {9, UNKNOWN, CMD_RC_NOT_FOUND},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> p = mac_params(c.mac, c.port);
        cmd_answer a = send(0x2015, p);
        EXPECT_EQ(a.rcode, c.rcode) << c.port;
        ASSERT_EQ(a.data.size(), 49u) << c.port;
        EXPECT_TRUE(std::equal(p.begin(), p.end(), a.data.begin()));
        std::vector<uint8_t> fields(a.data.begin() + 32, a.data.end());
        if (c.rcode != CMD_RC_OK) {
            EXPECT_EQ(fields, std::vector<uint8_t>(17, 0)) << c.port;
            continue;
        }
        EXPECT_EQ(fields, hex("C7 02 00 00 | 00 0D B6 00 00 20 | 07 00 00 00 | 01 | 01 | 02")) << c.port;
    }
    // A port below eight asks only that port's ONUs.
    size_t before = requests(TEK_REQ_DEST_LEARNED_MACS).size();
    send(0x2015, mac_params(UNKNOWN, 2));
    EXPECT_EQ(requests(TEK_REQ_DEST_LEARNED_MACS).size(), before);
}

TEST_F(OnuCommands, ListingsCarryTheRecordCountInTheEcho)
{
    listed(20, ONU_A, 2, 0);
    listed(21, ONU_B, 2, 1);
    for (int i : {20, 21}) {
        onu_record *onu = onu_at(i);
        onu_lock(onu);
        onu->uni_path[0] = uint16_t(1100 + i);
        onu_unlock(onu);
    }
    // Destination 1120 learned two MACs, 1121 one.
    sim_->set_handler(TEK_REQ_DEST_LEARNED_MACS, [](int, const oltsim::request_record &r) {
        uint16_t dest = load_be16(r.data.data());
        std::vector<uint8_t> out = {r.data[0], r.data[1], 0, uint8_t(dest == 1120 ? 2 : 1)};
        for (int i = 0; i < out[3]; i++)
            out.insert(out.end(), {0x02, 0xAA, 0, 0, uint8_t(dest & 0xFF), uint8_t(i)});
        return oltsim::answer{0, out};
    });

    struct {
        uint16_t code;
        std::vector<uint8_t> params;
        std::vector<uint8_t> records;
    } cases[] = {
        {0x100F, params({{0, 4}}),   // OLT 2, PON 0: ONU A only
         hex("D0 02 00 00 | 00 0D B6 00 00 20 | 07 00 00 00 | 02 00 01 02 |"
             " 02 AA 00 00 60 00 | 02 AA 00 00 60 01")},
        {0x100F, params({{0, 5}}),
         hex("D1 02 00 00 | 00 0D B6 00 00 30 | 07 00 00 00 | 02 01 01 01 | 02 AA 00 00 61 00")},
        {0x100F, params({{0, 6}}), {}},
        {0x100F, params({{0, 200}}), {}},
        {0x1011, mac_params(ONU_B),
         hex("D1 02 00 00 | 00 0D B6 00 00 30 | 07 00 00 00 | 02 01 01 01 | 02 AA 00 00 61 00")},
        {0x1011, mac_params(UNKNOWN), {}},
    };
    for (const auto &c : cases) {
        cmd_answer a = send(c.code, c.params);
        ASSERT_EQ(a.rcode, CMD_RC_OK) << std::hex << c.code;
        ASSERT_EQ(a.data.size(), 32 + c.records.size()) << std::hex << c.code;
        std::vector<uint8_t> echo = c.params;
        store_le32(echo.data() + 4, c.records.empty() ? 0 : 1);
        EXPECT_TRUE(std::equal(echo.begin(), echo.end(), a.data.begin())) << std::hex << c.code;
        EXPECT_EQ(std::vector<uint8_t>(a.data.begin() + 32, a.data.end()), c.records) << std::hex << c.code;
    }
}

TEST_F(OnuCommands, AddressListingStopsWhereTheNextRecordWouldNotFit)
{
    // 130 ONUs of two paths with four entries each: 260 records of 98
    // bytes, more than the 24,500 bytes the answer block holds after its echo.
    for (int i = 0; i < 130; i++) {
        uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x02, uint8_t(i >> 8), uint8_t(i)};
        listed(i, mac, 1, 0);
        onu_record *onu = onu_at(i);
        onu_lock(onu);
        onu->uni_path[0] = uint16_t(2000 + 2 * i);
        onu->uni_path[1] = uint16_t(2001 + 2 * i);
        onu_unlock(onu);
    }
    answer_with(TEK_REQ_DEST_ADDRESS_ENTRIES, [] {
        std::vector<uint8_t> out = {0, 0, 0, 4};
        out.resize(4 + 4 * 20, 0x11);
        return out;
    }());
    cmd_answer a = send(0x1010, params({{0, 2}}));
    ASSERT_EQ(a.rcode, CMD_RC_OK);
    size_t record = 18 + 4 * 20;
    uint32_t count = load_le32(a.data.data() + 4);
    EXPECT_EQ(count, (24532u - 32) / record);
    EXPECT_EQ(a.data.size(), 32 + count * record);
    EXPECT_LE(a.data.size(), 24532u);
    // Every record is whole: its count byte says four entries.
    for (uint32_t r = 0; r < count; r++)
        ASSERT_EQ(a.data[32 + r * record + 17], 4) << r;
}

TEST_F(OnuCommands, LearnedMacListingStaysWithinItsBlock)
{
    // 34 ONUs whose two destinations each learned 300 MACs: records of at
    // most 255 MACs (18 + 1530 bytes), more than the block holds.
    for (int i = 0; i < 34; i++) {
        uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x03, 0x00, uint8_t(i)};
        listed(i, mac, 3, 1);
        onu_record *onu = onu_at(i);
        onu_lock(onu);
        onu->uni_path[0] = uint16_t(3000 + 2 * i);
        onu->uni_path[1] = uint16_t(3001 + 2 * i);
        onu_unlock(onu);
    }
    answer_with(TEK_REQ_DEST_LEARNED_MACS, [] {
        std::vector<uint8_t> out = {0, 0, 0x01, 0x2C};   // 300
        out.resize(4 + 300 * 6, 0x22);
        return out;
    }());
    cmd_answer a = send(0x100F, params({{0, 7}}));
    ASSERT_EQ(a.rcode, CMD_RC_OK);
    ASSERT_LE(a.data.size(), LEARNED_MAC_LIST_BLOCK);
    // Only whole records, each with all 255 MACs it can carry; the listing
    // stops before the first one that would not fit, so none is cut short.
    size_t record = 18 + 255 * 6;
    uint32_t count = load_le32(a.data.data() + 4);
    EXPECT_EQ(count, (LEARNED_MAC_LIST_BLOCK - 32) / record);
    ASSERT_EQ(a.data.size(), 32 + count * record);
    for (uint32_t r = 0; r < count; r++) {
        EXPECT_EQ(a.data[32 + r * record + 15], 1) << "PON port of record " << r;
        EXPECT_EQ(a.data[32 + r * record + 17], 255) << "MAC count of record " << r;
    }
}

TEST_F(OnuCommands, IgmpGroupsGoOutAsAddressAndKind)
{
    listed(30, ONU_A, 2, 1);
    answer_with(TEK_REQ_IGMP_GROUPS, hex("00 0D B6 00 00 20 | 02 | 00 00 00 00 |"
                                         " 02 00 00 04 EF 01 02 03 FF 00 00 00 00 |"
                                         " 03 00 00 04 E0 00 00 FB FF 00 00 00 00"));
    std::vector<uint8_t> p = mac_params(ONU_A);
    cmd_answer a = send(0x1013, p);
    ASSERT_EQ(a.rcode, CMD_RC_OK);
    ASSERT_EQ(a.data.size(), 289u);
    EXPECT_TRUE(std::equal(p.begin(), p.end(), a.data.begin()));
    std::vector<uint8_t> expect(257, 0);
    std::vector<uint8_t> head = hex("02 | EF 01 02 03 01 00 00 00 | E0 00 00 FB 02 00 00 00");
    std::copy(head.begin(), head.end(), expect.begin());
    EXPECT_EQ(std::vector<uint8_t>(a.data.begin() + 32, a.data.end()), expect);
    auto sent = requests(TEK_REQ_IGMP_GROUPS);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].olt, 2);
    EXPECT_EQ(sent[0].data, std::vector<uint8_t>(ONU_A, ONU_A + 6));

    // A refusal is a failure with the echo only.
    sim_->rcode_next(2, 7, 1);
    cmd_answer refused = send(0x1013, p);
    EXPECT_EQ(refused.rcode, CMD_RC_FAILED);
    EXPECT_EQ(refused.data, p);
}

TEST(IgmpGroupsDecode, RecordsAreCheckedAndCountedWithinTheAnswer)
{
    const std::string head = "00 0D B6 00 00 20 | ";
    const std::string group = "01 00 00 04 EF 00 00 01 FF 00 00 00 00 ";
    std::string forty;
    for (int i = 0; i < 40; i++)
        forty += group;
    struct {
        const char *name;
        std::string answer;
        int result;
        uint8_t count;
    } cases[] = {
        {"no groups", head + "00 | 00 00 00 00", 0, 0},
        {"no groups, nothing after the count", head + "00", 0, 0},
        {"one IGMPv1 group", head + "01 | 00 00 00 00 | " + group, 0, 1},
        {"kind 0", head + "01 | 00 00 00 00 | 00 00 00 04 EF 00 00 01 FF 00 00 00 00", CMD_RC_FAILED, 0},
        {"kind 4", head + "01 | 00 00 00 00 | 04 00 00 04 EF 00 00 01 FF 00 00 00 00", CMD_RC_FAILED, 0},
        {"no end mark", head + "01 | 00 00 00 00 | 01 00 00 04 EF 00 00 01 FE 00 00 00 00", CMD_RC_FAILED, 0},
        {"count past the answer", head + "02 | 00 00 00 00 | " + group, CMD_RC_FAILED, 0},
        {"record cut short", head + "01 | 00 00 00 00 | 01 00 00 04 EF 00 00 01 FF 00", CMD_RC_FAILED, 0},
        {"no count", "00 0D B6 00 00", CMD_RC_FAILED, 0},
        {"forty groups keep thirty-two", head + "28 | 00 00 00 00 | " + forty, 0, 32},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> in = hex(c.answer);
        uint8_t out[IGMP_RESULT_SIZE];
        std::memset(out, 0xEE, sizeof out);
        ASSERT_EQ(igmp_groups_decode(in.data(), in.size(), out), c.result) << c.name;
        if (c.result != 0)
            continue;
        EXPECT_EQ(out[0], c.count) << c.name;
        for (int i = 0; i < c.count; i++)
            EXPECT_EQ(std::vector<uint8_t>(out + 1 + 8 * i, out + 9 + 8 * i), hex("EF 00 00 01 00 00 00 00"))
                << c.name << " group " << i;
        EXPECT_TRUE(std::all_of(out + 1 + 8 * c.count, out + sizeof out, [](uint8_t b) { return b == 0; })) << c.name;
    }
}

} // namespace
