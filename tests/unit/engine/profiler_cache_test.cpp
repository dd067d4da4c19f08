// Configuration cache decoders: profile placement by the two bitmaps, the
// per-answer limits, the change summary flags and the full-fetch layout.
#include "base/bytes.h"
#include "engine/profiler_cache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace {

// A profile bitmap as the configuration module writes it: the second u32 LE
// word holds positions 0..31, the first positions 32..63.
void put_bitmap(uint8_t *p, const std::vector<unsigned> &positions)
{
    uint32_t high = 0, low = 0;
    for (unsigned n : positions)
        (n < 32 ? low : high) |= 1u << (n % 32);
    store_le32(p, high);
    store_le32(p + 4, low);
}

// An update answer whose records are filled with 1, 2, 3 ... so that each
// placed entry tells which record it received.
std::vector<uint8_t> update_answer(unsigned type, const std::vector<unsigned> &a, const std::vector<unsigned> &b,
                                   unsigned count, unsigned records)
{
    cfg_profile_table table;
    EXPECT_TRUE(cfgcache_table(cfgcache(), type, &table));
    std::vector<uint8_t> data(PROFILE_UPDATE_HEADER + records * table.entry_size);
    put_bitmap(&data[0], a);
    put_bitmap(&data[8], b);
    data[16] = uint8_t(count);
    data[17] = uint8_t(type);
    for (unsigned i = 0; i < records; i++)
        memset(&data[PROFILE_UPDATE_HEADER + i * table.entry_size], int(i + 1), table.entry_size);
    return data;
}

// The record number an entry holds (0: untouched), checked across the entry.
int entry_mark(unsigned type, unsigned entry)
{
    cfg_profile_table table;
    cfgcache_table(cfgcache(), type, &table);
    const uint8_t *p = table.base + entry * table.entry_size;
    for (size_t i = 1; i < table.entry_size; i++)
        if (p[i] != p[0])
            return -1;
    return p[0];
}

class CacheDecode : public ::testing::Test {
protected:
    void SetUp() override { cfgcache_clear(); }
};

TEST_F(CacheDecode, BitmapWordsAreSwapped)
{
    uint8_t p[8];
    put_bitmap(p, {0, 31, 32, 63});
    EXPECT_EQ(cfgcache_bitmap(p), 0x8000000180000001ull);
    const uint8_t raw[8] = {0x01, 0, 0, 0, 0x02, 0, 0, 0};
    EXPECT_EQ(cfgcache_bitmap(raw), (uint64_t(1) << 32) | 2u);
}

TEST_F(CacheDecode, RecordsArePlacedAtTheSetBits)
{
    struct {
        const char *name;
        unsigned type;
        std::vector<unsigned> a, b;
        unsigned count, records;
        std::vector<std::pair<unsigned, int>> marks;   // entry, record it holds (0: untouched)
    } cases[] = {
        {"first bitmap", PROFILE_TYPE_SLA, {0, 31}, {}, 2, 2, {{0, 1}, {31, 2}, {1, 0}, {30, 0}, {32, 0}, {63, 0}}},
        {"rules continue in the second bitmap", PROFILE_TYPE_RULES, {}, {0}, 1, 1, {{64, 1}, {0, 0}}},
        {"rules in both bitmaps", PROFILE_TYPE_RULES, {5, 63}, {1}, 3, 3, {{5, 1}, {63, 2}, {65, 3}}},
        {"records beyond the bitmaps are dropped", PROFILE_TYPE_MULTICAST, {7}, {}, 3, 3, {{7, 1}, {8, 0}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        cfgcache_clear();
        auto data = update_answer(c.type, c.a, c.b, c.count, c.records);
        EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), c.type, data.data(), data.size()), 0);
        for (auto [entry, mark] : c.marks)
            EXPECT_EQ(entry_mark(c.type, entry), mark) << "entry " << entry;
    }
}

TEST_F(CacheDecode, OtherTablesIgnoreTheSecondBitmap)
{
    // A link table has 64 entries: a record meant for "entry 64 + n" has no
    // place and is dropped rather than written past the table.
    auto data = update_answer(PROFILE_TYPE_LINK, {63}, {0, 1}, 2, 2);
    uint8_t after[PROFILE_SLA_SIZE];
    memcpy(after, cfgcache()->sla[0], sizeof after);
    EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), PROFILE_TYPE_LINK, data.data(), data.size()), 0);
    EXPECT_EQ(entry_mark(PROFILE_TYPE_LINK, 63), 1);
    EXPECT_EQ(memcmp(after, cfgcache()->sla[0], sizeof after), 0);
}

TEST_F(CacheDecode, PathsAndRulesComeInPortions)
{
    const std::vector<unsigned> ten = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    auto paths = update_answer(PROFILE_TYPE_PATHS, ten, {}, 10, 10);
    EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), PROFILE_TYPE_PATHS, paths.data(), paths.size()),
              PROFILE_UPDATE_MORE);
    EXPECT_EQ(entry_mark(PROFILE_TYPE_PATHS, 7), 8);
    EXPECT_EQ(entry_mark(PROFILE_TYPE_PATHS, 8), 0);

    auto rules = update_answer(PROFILE_TYPE_RULES, ten, {}, 8, 8);
    EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), PROFILE_TYPE_RULES, rules.data(), rules.size()),
              PROFILE_UPDATE_MORE);
    EXPECT_EQ(entry_mark(PROFILE_TYPE_RULES, 6), 7);
    EXPECT_EQ(entry_mark(PROFILE_TYPE_RULES, 7), 0);

    auto exact = update_answer(PROFILE_TYPE_PATHS, ten, {}, 8, 8);
    EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), PROFILE_TYPE_PATHS, exact.data(), exact.size()), 0);
}

TEST_F(CacheDecode, RefusesAnswersItCannotTrust)
{
    auto data = update_answer(PROFILE_TYPE_SLA, {0}, {}, 1, 1);
    data[17] = PROFILE_TYPE_LINK;
    EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), PROFILE_TYPE_SLA, data.data(), data.size()), -2);
    EXPECT_EQ(entry_mark(PROFILE_TYPE_SLA, 0), 0);
    EXPECT_EQ(entry_mark(PROFILE_TYPE_LINK, 0), 0);

    EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), PROFILE_TYPE_SLA, data.data(), 17), -1);
    EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), 6, data.data(), data.size()), -1);

    // A count larger than what was sent: only whole records are placed.
    auto short_answer = update_answer(PROFILE_TYPE_SLA, {0, 1, 2}, {}, 3, 2);
    short_answer.resize(short_answer.size() - 1);
    EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), PROFILE_TYPE_SLA, short_answer.data(), short_answer.size()), 0);
    EXPECT_EQ(entry_mark(PROFILE_TYPE_SLA, 0), 1);
    EXPECT_EQ(entry_mark(PROFILE_TYPE_SLA, 1), 0);
}

TEST_F(CacheDecode, ChangeSummaryFlags)
{
    struct Case {
        const char *name;
        size_t offset;   // byte set to `value`
        uint8_t value;
        int flags;
    } cases[] = {
        {"nothing", 0, 0, 0},
        {"system", 0, 1, CFG_CHANGED_SYSTEM},
        {"reload all", 0, 2, CFG_CHANGED_ALL},
        {"reload all 0xFF", 0, 0xFF, CFG_CHANGED_ALL},
        {"link low word", 5, 0x01, CFG_CHANGED_LINK},
        {"link high word", 1, 0x80, CFG_CHANGED_LINK},
        {"sla", 16, 0x10, CFG_CHANGED_SLA},
        {"paths", 17, 0x01, CFG_CHANGED_PATHS},
        {"multicast", 32, 0x40, CFG_CHANGED_MULTICAST},
        {"rules first map", 33, 0x01, CFG_CHANGED_RULES},
        {"rules second map", 48, 0x01, CFG_CHANGED_RULES},
    };
    for (const Case &c : cases) {
        uint8_t data[CHANGE_SUMMARY_SIZE] = {};
        data[c.offset] = c.value;
        EXPECT_EQ(cfgcache_changes_decode(data, sizeof data), c.flags) << c.name;
    }
    uint8_t all[CHANGE_SUMMARY_SIZE];
    memset(all, 0x11, sizeof all);
    all[0] = 2;
    EXPECT_EQ(cfgcache_changes_decode(all, sizeof all), 126);
    EXPECT_EQ(cfgcache_changes_decode(all, CHANGE_SUMMARY_SIZE - 1), -1);
}

TEST_F(CacheDecode, FullFetchLayout)
{
    std::vector<uint8_t> data(FETCH_ANSWER_SIZE);
    // Mark the first byte of every part of both groups.
    size_t at = 0;
    uint8_t mark = 1;
    for (int group = 0; group < 2; group++)
        for (size_t size : {PROFILE_RULES_SIZE, PROFILE_RULES_SIZE, PROFILE_LINK_SIZE, PROFILE_SLA_SIZE,
                            PROFILE_PATHS_SIZE, PROFILE_MULTICAST_SIZE}) {
            data[at] = mark++;
            at += size;
        }
    ASSERT_EQ(at, FETCH_ANSWER_SIZE);
    cfg_cache *c = cfgcache();
    ASSERT_EQ(cfgcache_fetch_apply(c, 6, data.data(), data.size()), 0);
    EXPECT_EQ(c->rules[12][0], 1);
    EXPECT_EQ(c->rules[13][0], 2);
    EXPECT_EQ(c->link[6][0], 3);
    EXPECT_EQ(c->sla[6][0], 4);
    EXPECT_EQ(c->paths[6][0], 5);
    EXPECT_EQ(c->multicast[6][0], 6);
    EXPECT_EQ(c->rules[14][0], 7);
    EXPECT_EQ(c->rules[15][0], 8);
    EXPECT_EQ(c->multicast[7][0], 12);

    EXPECT_EQ(cfgcache_fetch_apply(c, 0, data.data(), data.size() - 1), -1);
    EXPECT_EQ(cfgcache_fetch_apply(c, 64, data.data(), data.size()), -1);
    EXPECT_EQ(c->link[0][0], 0);

    std::vector<uint8_t> settings(FETCH_SETTINGS_SIZE);
    settings[0] = 0xAA;
    settings[SYSTEM_SETTINGS_SIZE + RADIUS_ACCT_ENABLED] = 1;
    ASSERT_EQ(cfgcache_settings_apply(c, settings.data(), settings.size()), 0);
    EXPECT_EQ(c->system[0], 0xAA);
    EXPECT_TRUE(cfgcache_radius_accounting_enabled(c));
    EXPECT_EQ(cfgcache_settings_apply(c, settings.data(), settings.size() - 1), -1);
}

} // namespace
