// ONU rule tables: the merge of own and profile rules, the chip form of a
// rule (action parameters and clause encodings), the split into messages
// of four, and a download compared with what oltsim's ONU holds.
#include "common/onu_fixture.h"

#include "engine/profiler_cache.h"
#include "onu/onu_ports.h"
#include "onu/onu_rules.h"

namespace {

using table = std::vector<uint8_t>;

table empty_table() { return table(ONU_RULE_TABLE_SIZE, 0); }

// A rule whose byte A is `tag`, action 5, no clauses, in `slot`.
void put_rule(table &t, int slot, uint8_t state, uint8_t tag)
{
    uint8_t *rule = t.data() + ONU_RULE_SIZE * size_t(slot);
    memset(rule, 0, ONU_RULE_SIZE);
    rule[1] = tag;
    rule[2] = 5;
    t[ONU_RULE_STATES + size_t(slot)] = state;
}

// "tag/state" per used slot, in slot order.
std::string layout(const table &t)
{
    std::string out;
    for (int s = 0; s < ONU_RULE_SLOTS; s++)
        if (t[ONU_RULE_STATES + size_t(s)])
            out += std::to_string(s) + ":" + std::to_string(t[ONU_RULE_SIZE * size_t(s) + 1]) + "/" +
                   std::to_string(t[ONU_RULE_STATES + size_t(s)]) + " ";
    return out;
}

TEST(OnuRulesMerge, OwnRulesFirstThenTheProfile)
{
    struct case_ {
        const char *name;
        std::vector<std::tuple<int, uint8_t, uint8_t>> own;       // slot, state, tag
        std::vector<std::pair<int, uint8_t>> profile;             // slot, tag
        const char *expected;
    };
    const case_ cases[] = {
        {"no own rules: profile rules from slot 1 on", {}, {{0, 50}, {7, 51}}, "1:50/1 2:51/1 "},
        {"a stale profile rule in slot 0 is dropped", {{0, 1, 9}}, {{3, 50}}, "1:50/1 "},
        {"own rules move down in order, old profile rules go",
         {{2, 2, 10}, {3, 1, 90}, {5, 2, 11}, {9, 1, 91}},
         {{0, 50}},
         "0:10/2 1:11/2 2:50/1 "},
        {"an empty profile adds nothing", {{0, 2, 10}}, {}, "0:10/2 "},
    };
    for (const auto &c : cases) {
        table t = empty_table(), p = empty_table();
        for (auto [slot, state, tag] : c.own)
            put_rule(t, slot, state, tag);
        for (auto [slot, tag] : c.profile)
            put_rule(p, slot, 1, tag);
        onu_rules_merge_table(t.data(), p.data());
        EXPECT_EQ(layout(t), c.expected) << c.name;
    }

    // 3 own rules and a full profile: slots 3..55 take the first 53.
    table t = empty_table(), p = empty_table();
    for (int s = 0; s < 3; s++)
        put_rule(t, s, 2, uint8_t(s));
    for (int s = 0; s < ONU_RULE_SLOTS; s++)
        put_rule(p, s, 1, uint8_t(100 + s));
    onu_rules_merge_table(t.data(), p.data());
    EXPECT_EQ(t[ONU_RULE_SIZE * 55 + 1], 152);
    EXPECT_EQ(t[ONU_RULE_STATES + 55], 1);
}

TEST(OnuRulesMerge, ADisabledProfileLeavesTheBlockAlone)
{
    std::vector<uint8_t> block(16060, 0), profile(PROFILE_RULES_SIZE, 0);
    block[ONU_BLOCK_PON_RULES + ONU_RULE_STATES + 4] = 1;
    EXPECT_EQ(onu_rules_merge(block.data(), profile.data()), 1);
    EXPECT_EQ(block[ONU_BLOCK_PON_RULES + ONU_RULE_STATES + 4], 1);
    profile[0] = 1;
    profile[RULES_PROFILE_UNI1 + ONU_RULE_STATES] = 1;
    profile[RULES_PROFILE_UNI1 + 1] = 77;
    EXPECT_EQ(onu_rules_merge(block.data(), profile.data()), 0);
    EXPECT_EQ(block[ONU_BLOCK_PON_RULES + ONU_RULE_STATES + 4], 0);
    const uint8_t *uni1 = block.data() + ONU_BLOCK_UNI1 + ONU_UNI_PARAMS_SIZE;
    EXPECT_EQ(uni1[ONU_RULE_SIZE + 1], 77);
    EXPECT_EQ(uni1[ONU_RULE_STATES + 1], 1);
}

TEST(OnuRuleEncoding, ActionParametersAndClauses)
{
    struct case_ {
        const char *name;
        const char *stored;   // the entry's first bytes as kept in the table
        bool pon;
        const char *sent;
    };
    const case_ cases[] = {
        {"0x12 in the PON table: first parameter byte + 1", "00 07 12 05 00 00", true, "01 07 12 06 00 00"},
        {"0x12 in the UNI0 table: as stored", "00 07 12 05 00 00", false, "01 07 12 05 00 00"},
        {"0x02 copied as stored", "00 07 02 FF 01 00", false, "01 07 02 FF 01 00"},
        {"other actions: a 16-bit number written big-endian", "00 07 05 34 12 00", true, "01 07 05 12 34 00"},
        {"MAC clause (field 0): two zero bytes, the six value bytes",
         "00 01 05 00 00 01 | 00 00 0D B6 11 22 33 EE EE 02", false,
         "01 01 05 00 00 01 | 00 00 00 00 0D B6 11 22 33 02"},
        {"MAC clause (field 1)", "00 01 05 00 00 01 | 01 AA BB CC DD EE FF EE EE 05", false,
         "01 01 05 00 00 01 | 01 00 00 AA BB CC DD EE FF 05"},
        {"IPv4 clause (field 12): four zero bytes, the address",
         "00 01 05 00 00 01 | 0C E0 00 01 00 EE EE EE EE 04", false,
         "01 01 05 00 00 01 | 0C 00 00 00 00 E0 00 01 00 04"},
        {"IPv4 clause (field 15)", "00 01 05 00 00 01 | 0F C0 A8 01 02 EE EE EE EE 03", false,
         "01 01 05 00 00 01 | 0F 00 00 00 00 C0 A8 01 02 03"},
        {"64-bit clause: the value bytes reversed", "00 01 05 00 00 01 | 05 01 02 03 04 05 06 07 08 01", false,
         "01 01 05 00 00 01 | 05 08 07 06 05 04 03 02 01 01"},
        {"two clauses", "00 01 05 00 00 02 | 02 64 00 00 00 00 00 00 00 01 | 0D 0A 00 00 01 00 00 00 00 02", false,
         "01 01 05 00 00 02 | 02 00 00 00 00 00 00 00 64 01 | 0D 00 00 00 00 0A 00 00 01 02"},
    };
    for (const auto &c : cases) {
        uint8_t rule[ONU_RULE_SIZE] = {};
        byte_vec stored = hex(c.stored);
        memcpy(rule, stored.data(), stored.size());
        uint8_t out[ONU_RULE_SIZE];
        size_t n = onu_rule_encode(out, rule, c.pon);
        EXPECT_EQ(hex_text(byte_vec(out, out + n)), hex_text(hex(c.sent))) << c.name;
    }
    // A clause count the entry cannot hold is cut to eight clauses.
    uint8_t rule[ONU_RULE_SIZE] = {0, 1, 5, 0, 0, 200};
    uint8_t out[ONU_RULE_SIZE];
    EXPECT_EQ(onu_rule_encode(out, rule, false), 86u);
    EXPECT_EQ(out[5], 8);
}

TEST(OnuRuleMessages, FourRulesToAMessageAndAlwaysAFinalOne)
{
    struct case_ {
        const char *name;
        int rules;
        std::vector<std::pair<int, int>> messages;   // (mark, count)
    };
    const case_ cases[] = {
        {"5 rules: 4 with mark 4, then 1 with mark 0", 5, {{4, 4}, {0, 1}}},
        {"4 rules: 4 with mark 4, then an empty one", 4, {{4, 4}, {0, 0}}},
        {"no rules: one empty message with mark 4", 0, {{4, 0}}},
        {"56 rules: fourteen full, then an empty one", 56, {}},
    };
    for (const auto &c : cases) {
        table t = empty_table();
        for (int r = 0; r < c.rules; r++)
            put_rule(t, r * (c.rules < 10 ? 3 : 1), 2, uint8_t(r));   // gaps are skipped
        onu_rules_message m[ONU_RULES_MESSAGES_MAX];
        int n = onu_rules_messages(t.data(), ONU_MAC, 1, m);
        if (c.rules == 56) {
            ASSERT_EQ(n, 15);
            EXPECT_EQ(m[0].data[8], 4);
            EXPECT_EQ(m[13].data[9], 4);
            EXPECT_EQ(m[14].len, 10u);
            continue;
        }
        ASSERT_EQ(size_t(n), c.messages.size()) << c.name;
        for (int i = 0; i < n; i++) {
            EXPECT_EQ(m[i].data[8], c.messages[size_t(i)].first) << c.name;
            EXPECT_EQ(m[i].data[9], c.messages[size_t(i)].second) << c.name;
            EXPECT_EQ(m[i].len, 10u + 6u * size_t(c.messages[size_t(i)].second)) << c.name;
        }
    }
    // One whole message, byte for byte.
    table t = empty_table();
    put_rule(t, 2, 1, 0x33);
    onu_rules_message m[ONU_RULES_MESSAGES_MAX];
    ASSERT_EQ(onu_rules_messages(t.data(), ONU_MAC, 2, m), 1);
    EXPECT_EQ(hex_text(byte_vec(m[0].data, m[0].data + m[0].len)),
              hex_text(hex("00 0D B6 11 22 33 | 00 02 | 04 | 01 | 01 33 05 00 00 00")));
}

class RuleDownload : public OnuChip {};

TEST_F(RuleDownload, TheOnuHoldsTheMergedTablePerPort)
{
    onu_lock(onu_);
    uint8_t *pon = onu_->cfg_block + ONU_BLOCK_PON_RULES;
    uint8_t *uni0 = onu_->cfg_block + ONU_BLOCK_UNI0 + ONU_UNI_PARAMS_SIZE;
    for (int s = 0; s < 5; s++) {
        uint8_t *rule = pon + ONU_RULE_SIZE * size_t(s);
        rule[1] = uint8_t(s);
        rule[2] = 0x12;
        rule[3] = 5;
        rule[5] = 1;
        rule[6] = 12;
        pon[ONU_RULE_STATES + size_t(s)] = 2;
    }
    uni0[2] = 0x12;
    uni0[3] = 5;
    uni0[ONU_RULE_STATES] = 2;
    EXPECT_EQ(profiler_onu_rules_internal(onu_->olt, onu_->mac, ONU_PORT_PON, onu_->cfg_block), 0);
    EXPECT_EQ(profiler_onu_rules_internal(onu_->olt, onu_->mac, ONU_PORT_UNI0, onu_->cfg_block), 0);
    onu_unlock(onu_);

    auto d = device();
    ASSERT_EQ(d.rules[0].size(), 5u);
    EXPECT_EQ(hex_text(d.rules[0][4]), "01 04 12 06 00 01 0C 00 00 00 00 00 00 00 00 00 ");
    ASSERT_EQ(d.rules[1].size(), 1u);
    EXPECT_EQ(hex_text(d.rules[1][0]), "01 00 12 05 00 00 ");
    EXPECT_EQ(d.rule_messages, 3u);
    auto sent_rules = requests(TEK_REQ_ONU_RULES);
    ASSERT_EQ(sent_rules.size(), 3u);
    EXPECT_EQ(sent_rules[0].len, 10 + 4 * 16);
    EXPECT_EQ(sent_rules[1].len, 10 + 16);
}

TEST_F(RuleDownload, FailuresEndTheDownload)
{
    onu_lock(onu_);
    sim_->rcode_next(1, 6, 1);
    EXPECT_EQ(profiler_onu_rules_internal(onu_->olt, onu_->mac, ONU_PORT_UNI1, onu_->cfg_block), 3);
    EXPECT_EQ(profiler_onu_rules_internal(onu_->olt, onu_->mac, ONU_PORT_RFOUT, onu_->cfg_block), 3);
    balloc_fail_nth(1);
    EXPECT_EQ(profiler_onu_rules_internal(onu_->olt, onu_->mac, ONU_PORT_UNI1, onu_->cfg_block), 4);
    balloc_fail_nth(0);
    onu_unlock(onu_);
    EXPECT_EQ(requests(TEK_REQ_ONU_RULES).size(), 1u);
}

TEST_F(RuleDownload, MergeTakesTheProfileTheRecordNames)
{
    cfgcache_clear();
    uint8_t *profile = cfgcache()->rules[9];
    profile[0] = 1;
    profile[RULES_PROFILE_PON + ONU_RULE_STATES + 3] = 1;
    profile[RULES_PROFILE_PON + 3 * ONU_RULE_SIZE + 1] = 0x42;
    onu_lock(onu_);
    onu_->profiles[0] = 9;
    EXPECT_EQ(profiler_onu_rules_merge(onu_), 0);
    EXPECT_EQ(onu_->cfg_block[ONU_BLOCK_PON_RULES + ONU_RULE_SIZE + 1], 0x42);
    onu_->profiles[0] = 8;
    EXPECT_EQ(profiler_onu_rules_merge(onu_), 1);
    onu_->profiles[0] = 200;   // no such profile
    EXPECT_EQ(profiler_onu_rules_merge(onu_), 1);
    onu_unlock(onu_);
}

} // namespace
