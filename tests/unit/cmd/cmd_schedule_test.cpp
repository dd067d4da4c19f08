// The update schedule's commands: the configuration module's ONU list read
// within its bytes, the add-many result, and the commands end to end against
// the scheduler's table and the in-process configuration module.
#include "cmd/cmd_schedule.h"
#include "maint/scheduler.h"

#include "cmd_fixture.h"

namespace {

const uint8_t MAC_A[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0xA1};
const uint8_t MAC_B[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0xB2};

// A 27-byte list entry: ONT id (4), type, MAC, then padding.
std::vector<uint8_t> entry(uint8_t type, std::initializer_list<uint8_t> mac)
{
    std::vector<uint8_t> e(SCHED_CFG_ENTRY_SIZE, 0);
    e[SCHED_CFG_ENTRY_TYPE] = type;
    std::copy(mac.begin(), mac.end(), e.begin() + SCHED_CFG_ENTRY_MAC);
    return e;
}

std::vector<uint8_t> list_payload(std::initializer_list<std::vector<uint8_t>> entries, size_t cut = 0)
{
    std::vector<uint8_t> p(CMD_PARAMS_SIZE, 0);
    for (const auto &e : entries)
        p.insert(p.end(), e.begin(), e.end());
    p.resize(p.size() - cut);
    return p;
}

TEST(SchedConfigList, EndsAtTheFirstEmptyMacOrTheLastWholeEntry)
{
    const auto a = entry(1, {0x00, 0x0D, 0xB6, 0x00, 0x00, 0xA1});
    const auto b = entry(40, {0x00, 0x0D, 0xB6, 0x00, 0x00, 0xB2});
    const auto ones = entry(0xFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    const auto zeros = entry(1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    struct {
        const char *name;
        std::vector<uint8_t> payload;
        std::vector<uint8_t> types;
    } cases[] = {
        {"shorter than the parameter block", std::vector<uint8_t>(31, 0), {}},
        {"block only", list_payload({}), {}},
        {"two, then FF:FF:FF:FF:FF:FF", list_payload({a, b, ones, a}), {1, 40}},
        {"one, then 00:00:00:00:00:00", list_payload({a, zeros, b}), {1}},
        {"second entry cut by one byte", list_payload({a, b}, 1), {1}},
        {"no terminator at all", list_payload({b, a}), {40, 1}},
    };
    for (const auto &c : cases) {
        auto got = sched_config_list_decode(c.payload.data(), c.payload.size());
        ASSERT_EQ(got.size(), c.types.size()) << c.name;
        for (size_t i = 0; i < got.size(); i++)
            EXPECT_EQ(got[i].type, c.types[i]) << c.name << " entry " << i;
    }
    auto two = sched_config_list_decode(list_payload({a, b}).data(), list_payload({a, b}).size());
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(0, std::memcmp(two[1].mac, MAC_B, 6));
}

TEST(SchedConfigList, StopsAfterTwoThousandEntries)
{
    std::vector<uint8_t> p(CMD_PARAMS_SIZE, 0);
    for (int i = 0; i < 2001; i++) {
        auto e = entry(1, {0x00, 0x0D, 0xB6, 0x00, uint8_t(i >> 8), uint8_t(i)});
        p.insert(p.end(), e.begin(), e.end());
    }
    EXPECT_EQ(sched_config_list_decode(p.data(), p.size()).size(), 2000u);
}

TEST(SchedAddMany, ResultByAttemptsAndAdds)
{
    struct {
        int attempts, added;
        bool full;
        int rc;
    } cases[] = {
        {0, 0, false, 0},    // nothing to add
        {3, 3, false, 0},
        {3, 0, false, 9},    // every one already there
        {3, 1, false, 10},
        {3, 1, true, 4},
        {1, 0, true, 4},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sched_add_many_result(c.attempts, c.added, c.full), c.rc)
            << c.attempts << " " << c.added << " " << c.full;
}

class ScheduleCommands : public CmdFixture {
protected:
    void SetUp() override
    {
        CmdFixture::SetUp();
        for (uint16_t kind : {SCHEDULE_FIRMWARE, SCHEDULE_PERSONALITY, SCHEDULE_RECONFIGURE})
            scheduler_clear(kind);
    }
    void TearDown() override
    {
        for (uint16_t kind : {SCHEDULE_FIRMWARE, SCHEDULE_PERSONALITY, SCHEDULE_RECONFIGURE})
            scheduler_clear(kind);
        CmdFixture::TearDown();
    }
    static std::vector<uint8_t> job(uint16_t kind, const uint8_t mac[6], uint32_t type = 0)
    {
        std::vector<uint8_t> p = params({{0, kind}, {4, type}});
        std::memcpy(p.data() + 8, mac, 6);
        return p;
    }
    void board(const std::string &onus)
    {
        std::string error;
        ASSERT_TRUE(kernel_.store().load_text(R"({"onus": [)" + onus + "]}", error)) << error;
    }
};

TEST_F(ScheduleCommands, AddDeleteAndListOneJob)
{
    EXPECT_EQ(send(0x6001, job(SCHEDULE_FIRMWARE, MAC_A)).rcode, 0);
    EXPECT_EQ(send(0x6001, job(SCHEDULE_FIRMWARE, MAC_A)).rcode, 9);
    EXPECT_EQ(send(0x6001, job(SCHEDULE_PERSONALITY, MAC_B)).rcode, 0);

    cmd_answer list = send(0x6003, job(SCHEDULE_FIRMWARE, MAC_A));
    ASSERT_EQ(list.rcode, 0);
    ASSERT_EQ(list.data.size(), 44u + 12u);
    EXPECT_TRUE(std::all_of(list.data.begin(), list.data.begin() + 32, [](uint8_t b) { return b == 0; }));
    // 00 0D B6 00 00 A1 | 01 00 (kind) | 01 00 00 00 (waiting) | 12 zero bytes
    const std::vector<uint8_t> first = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0xA1, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00};
    EXPECT_TRUE(std::equal(first.begin(), first.end(), list.data.begin() + 32));
    EXPECT_TRUE(std::all_of(list.data.begin() + 44, list.data.end(), [](uint8_t b) { return b == 0; }));
    // Kind 0 lists every kind.
    EXPECT_EQ(send(0x6003, job(0, MAC_A)).data.size(), 44u + 24u);

    EXPECT_EQ(send(0x6002, job(SCHEDULE_FIRMWARE, MAC_A)).rcode, 0);
    EXPECT_EQ(send(0x6002, job(SCHEDULE_FIRMWARE, MAC_A)).rcode, 8);
    EXPECT_EQ(send(0x6003, job(SCHEDULE_FIRMWARE, MAC_A)).data.size(), 44u);
    EXPECT_EQ(send(0x6004, job(SCHEDULE_PERSONALITY, MAC_A)).rcode, 0);
    EXPECT_EQ(send(0x6003, job(0, MAC_A)).data.size(), 44u);
}

TEST_F(ScheduleCommands, AddAllTakesConnectedOnusOfTheUpdatableTypes)
{
    board(R"({"mac": "00:0D:B6:00:00:A1", "type": 1}, {"mac": "00:0D:B6:00:00:B2", "type": 40},
             {"mac": "00:0D:B6:00:00:C3", "type": 5}, {"mac": "00:0D:B6:00:00:D4", "type": 2})");
    const uint8_t mac_c[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0xC3};
    make_listed_onu(0, MAC_A, 1);
    make_listed_onu(1, MAC_B, 40);
    make_listed_onu(2, mac_c, 5);   // connected, but not of an updatable type
    // D4 is configured but not connected.
    EXPECT_EQ(send(0x6005, job(SCHEDULE_FIRMWARE, MAC_A)).rcode, 0);
    EXPECT_EQ(send(0x6003, job(SCHEDULE_FIRMWARE, MAC_A)).data.size(), 44u + 24u);
    EXPECT_EQ(send(0x6005, job(SCHEDULE_FIRMWARE, MAC_A)).rcode, 9);
    scheduler_del(MAC_B, SCHEDULE_FIRMWARE);
    EXPECT_EQ(send(0x6005, job(SCHEDULE_FIRMWARE, MAC_A)).rcode, 10);
    EXPECT_EQ(kernel_.requests_seen(CMD_CFG_ONU_LIST), 3u);
}

TEST_F(ScheduleCommands, AddByTypeTakesConfiguredOnusConnectedOrNot)
{
    board(R"({"mac": "00:0D:B6:00:00:A1", "type": 7}, {"mac": "00:0D:B6:00:00:B2", "type": 8},
             {"mac": "00:0D:B6:00:00:C3", "type": 7})");
    EXPECT_EQ(send(0x6006, job(SCHEDULE_PERSONALITY, MAC_A, 7)).rcode, 0);
    cmd_answer list = send(0x6003, job(SCHEDULE_PERSONALITY, MAC_A));
    ASSERT_EQ(list.data.size(), 44u + 24u);
    EXPECT_EQ(list.data[32 + 5], 0xA1);
    EXPECT_EQ(list.data[44 + 5], 0xC3);
    EXPECT_EQ(send(0x6006, job(SCHEDULE_PERSONALITY, MAC_A, 9)).rcode, 0);   // no ONU of type 9
}

TEST_F(ScheduleCommands, AddManyStopsWhenTheTableIsFull)
{
    board(R"({"mac": "00:0D:B6:00:00:A1", "type": 7}, {"mac": "00:0D:B6:00:00:B2", "type": 7})");
    uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0};
    for (int i = 0; i < SCHEDULE_SIZE - 1; i++) {
        store_be16(mac + 4, uint16_t(i));
        ASSERT_EQ(scheduler_add(mac, SCHEDULE_RECONFIGURE), 0);
    }
    EXPECT_EQ(send(0x6006, job(SCHEDULE_RECONFIGURE, MAC_A, 7)).rcode, 4);
    EXPECT_EQ(send(0x6001, job(SCHEDULE_RECONFIGURE, MAC_B)).rcode, 4);
}

TEST_F(ScheduleCommands, AConfigurationModuleThatRefusesTheListFails)
{
    kernel_.store().refuse(CMD_CFG_ONU_LIST, 8);
    EXPECT_EQ(send(0x6005, job(SCHEDULE_FIRMWARE, MAC_A)).rcode, 3);
    EXPECT_EQ(send(0x6006, job(SCHEDULE_FIRMWARE, MAC_A, 1)).rcode, 3);
}

} // namespace
