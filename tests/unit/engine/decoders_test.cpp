// The engine's pure decisions: answers read within what arrived, the
// configuration cache's placement of profiles, the automatic base LLIDs, the
// ONU information check and the RF level choice.
#include "common/onu_fixture.h"

#include "engine/link_record.h"
#include "engine/onu_optics.h"
#include "engine/profiler_cache.h"
#include "engine/profiler_olt.h"
#include "engine/profiler_olt_requests.h"

#include <cmath>

namespace {

using bytes = std::vector<uint8_t>;

TEST(OltAnswers, PortSettingsAreWalkedOnlyOverWholeEntries)
{
    // Whole entries, then a TLV cut, a fixed item cut, no count.
    struct { const char *entry; size_t size; } entries[] = {
        {"07 | 00 | 00", 3}, {"07 | 02 | 01 02 AA BB | 02 00 | 01 | 00 01 02 03 04 05 06 07 08 09 0A 0B", 21},
        {"07 | 01 | 01 05 AA", 0}, {"07 | 00 | 01 | 00 01 02", 0}, {"07", 0},
    };
    for (const auto &c : entries) {
        bytes e = hex(c.entry);
        EXPECT_EQ(olt_port_settings_entry_size(e.data(), e.size()), c.size) << c.entry;
    }
    // The walk stops where the caller says; a count past the entries fails.
    for (auto [answer, whole] : {std::pair{"02 | 07 00 00 | 08 01 01 01 AA 00", true}, {"03 | 07 00 00", false}}) {
        bytes a = hex(std::string("05 00 0D B6 37 23 01 00 01 00") + answer);
        size_t walked = 0;
        EXPECT_EQ(olt_port_settings_walk(a.data(), a.size(), [&](const uint8_t *, size_t) { return ++walked < 2; }),
                  whole) << answer;
        EXPECT_EQ(walked, whole ? 2u : 1u) << answer;
    }
}

TEST(OnuRfLevel, ChoosesTheLinesFromThePower)
{
    // The lines set (mask=value) after the two clears; a negative reading is
    // the reading + 65536.
    const struct { int16_t raw; bool correct; double dbm; const char *steps; } cases[] = {
        {10000, true, -6.16, "100=100"}, {15849, false, 2.0, "100=100 200=200"}, {999, false, -10.004, "200=200"},
        {0, true, -INFINITY, "200=200"}, {-1, false, 8.165, "100=100 200=200"},
    };
    for (const auto &c : cases) {
        double dbm = onu_rf_power_dbm(c.raw, c.correct);
        EXPECT_TRUE(dbm == c.dbm || std::fabs(dbm - c.dbm) < 0.001) << c.raw << ": " << dbm;
        onu_gpio_step steps[ONU_RF_STEPS_MAX];
        int n = onu_rf_level_steps(dbm, steps);
        std::string text;
        for (int i = 0; i < n; i++)
            text += (text.empty() ? "" : " ") + std::to_string(steps[i].mask / 0x100 * 100) + "=" +
                    std::to_string(steps[i].value / 0x100 * 100);
        EXPECT_EQ(text, std::string("100=0 200=0 ") + c.steps) << c.raw;
    }
}

TEST(OltBaseLlid, AutomaticValuesSkipTheOtherPortsAndWrap)
{
    uint16_t seed = 27;
    EXPECT_EQ(profiler_olt_auto_llid(&seed, 1, 0), 0x7E00);   // the last value
    // Taken by the other port: the next would be past the last, so the seed skips.
    EXPECT_EQ(profiler_olt_auto_llid(&seed, 1, 0x7E00), 0x1200);
    EXPECT_EQ(seed, LLID_SEED_SKIP);
    EXPECT_EQ(profiler_olt_next_seed(26) * 100 + profiler_olt_next_seed(27) + profiler_olt_next_seed(LLID_SEED_SKIP), 2700);
}

TEST(OnuInfo, OnlyVendorChipsWithABaseMacAreValid)
{
    const struct { uint8_t oui2; uint16_t chip; bool zero_mac; uint32_t result; } cases[] = {
        {0xB6, 0x3714, false, 0}, {0xB6, 0x8600, false, 0}, {0xB6, 0x6838, false, 0},
        {0xB7, 0x3714, false, 3}, {0xB6, 0x3715, false, 3}, {0xB6, 0x6838, true, 3},
    };
    for (const auto &c : cases) {
        uint8_t tlv[ONU_INFO_SIZE] = {0x00, 0x0D, c.oui2};   // base MAC 0 or ...01
        store_be16(tlv + ONU_INFO_CHIP_ID, c.chip);
        tlv[ONU_INFO_BASE_MAC + 5] = !c.zero_mac;
        EXPECT_EQ(check_TkOnuInfoTlv(tlv, "00:00:00:00:00:01"), c.result) << std::hex << c.chip;
    }
}

// An update answer whose records are filled with 1, 2, 3 ... so that each
// placed entry tells which record it received. Its bitmaps as the
// configuration module writes them: the second u32 LE word holds positions
// 0..31, the first positions 32..63.
bytes update_answer(unsigned type, const std::vector<unsigned> &a, const std::vector<unsigned> &b, unsigned count,
                    unsigned records)
{
    cfg_profile_table table;
    EXPECT_TRUE(cfgcache_table(cfgcache(), type, &table));
    bytes data(PROFILE_UPDATE_HEADER + records * table.entry_size);
    for (size_t at : {0, 8}) {
        uint64_t bits = 0;
        for (unsigned n : at ? b : a)
            bits |= uint64_t(1) << n;
        store_le32(&data[at], uint32_t(bits >> 32));
        store_le32(&data[at + 4], uint32_t(bits));
    }
    data[16] = uint8_t(count);
    data[17] = uint8_t(type);
    for (unsigned i = 0; i < records; i++)
        memset(&data[PROFILE_UPDATE_HEADER + i * table.entry_size], int(i + 1), table.entry_size);
    return data;
}

// The record number an entry holds (0: untouched, -1: its ends differ).
int entry_mark(unsigned type, unsigned entry)
{
    cfg_profile_table table;
    cfgcache_table(cfgcache(), type, &table);
    const uint8_t *p = table.base + entry * table.entry_size;
    return p[0] == p[table.entry_size - 1] ? p[0] : -1;
}

TEST(CacheDecode, ProfilesArePlacedAtTheSetBitsWithinTheirTable)
{
    // marks: entry, record it holds
    const struct { const char *name; unsigned type; std::vector<unsigned> a, b; unsigned count, records;
                   std::vector<std::pair<unsigned, int>> marks; } cases[] = {
        {"rules in both bitmaps", PROFILE_TYPE_RULES, {5, 63}, {1}, 3, 3, {{5, 1}, {63, 2}, {65, 3}}},
        {"records beyond the bitmaps", PROFILE_TYPE_MULTICAST, {7}, {}, 3, 3, {{7, 1}, {8, 0}}},
        {"count above what came: whole records only", PROFILE_TYPE_SLA, {0, 1, 2}, {}, 3, 2, {{0, 1}, {1, 0}}},
        // 64 entries: a record for "entry 64 + n" is dropped, not written past the table.
        {"second bitmap of a link table", PROFILE_TYPE_LINK, {63}, {0, 1}, 2, 2, {{63, 1}}},
    };
    for (const auto &c : cases) {
        cfgcache_clear();
        auto data = update_answer(c.type, c.a, c.b, c.count, c.records);
        if (c.count > c.records)
            data.pop_back();
        EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), c.type, data.data(), data.size()), 0) << c.name;
        for (auto [entry, mark] : c.marks)
            EXPECT_EQ(entry_mark(c.type, entry), mark) << c.name << ": entry " << entry;
    }
    EXPECT_EQ(cfgcache()->sla[0][0], 0) << "the link table's overflow reached the next table";
    auto data = update_answer(PROFILE_TYPE_SLA, {0}, {}, 1, 1);
    EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), PROFILE_TYPE_SLA, data.data(), 17), -1);
    EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), 6, data.data(), data.size()), -1);
    data[17] = PROFILE_TYPE_LINK;
    EXPECT_EQ(cfgcache_profiles_apply(cfgcache(), PROFILE_TYPE_SLA, data.data(), data.size()), -2);
    EXPECT_EQ(entry_mark(PROFILE_TYPE_LINK, 0), 0);
}

// The cache tests over the management link prove system, paths, links and
// "reload all"; these are the range ends they leave. The whole fetch is the
// board's start-up; refused here: a short answer and an index past the tables.
TEST(CacheDecode, ChangeSummaryFlagsAndFetchRefusals)
{
    const struct { size_t offset; /* byte set to `value` */ uint8_t value; int flags; } cases[] = {
        {0, 0xFF, CFG_CHANGED_ALL},          {1, 0x80, CFG_CHANGED_LINK},   {16, 0x10, CFG_CHANGED_SLA},
        {32, 0x40, CFG_CHANGED_MULTICAST}, {33, 0x01, CFG_CHANGED_RULES}, {48, 0x01, CFG_CHANGED_RULES},
    };
    for (const auto &c : cases) {
        uint8_t data[CHANGE_SUMMARY_SIZE] = {};
        data[c.offset] = c.value;
        EXPECT_EQ(cfgcache_changes_decode(data, sizeof data), c.flags) << c.offset << " " << int(c.value);
    }
    bytes data(FETCH_ANSWER_SIZE);
    EXPECT_EQ(cfgcache_changes_decode(data.data(), CHANGE_SUMMARY_SIZE - 1), -1);
    EXPECT_EQ(cfgcache_fetch_apply(cfgcache(), 0, data.data(), data.size() - 1), -1);
    EXPECT_EQ(cfgcache_fetch_apply(cfgcache(), 64, data.data(), data.size()), -1);
}

} // namespace
