// The rule encoder: every field code's value length and byte order, every
// action class, the forced header byte, and the slot left as it was.
#include "engine/rule_encoder.h"
#include "common/hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

struct condition {
    uint8_t code;
    uint8_t value[5];
};
struct action {
    uint8_t header[3];
    uint8_t value[8];
    uint8_t final;
};

bytes slot(uint8_t precedence, std::vector<condition> conditions, std::vector<action> actions)
{
    bytes s(RULE_SLOT_SIZE, 0);
    s[0] = 1;
    s[1] = precedence;
    s[2] = uint8_t(conditions.size());
    for (size_t i = 0; i < conditions.size() && i < 4; i++) {
        s[3 + 6 * i] = conditions[i].code;
        memcpy(&s[4 + 6 * i], conditions[i].value, 5);
    }
    s[27] = uint8_t(actions.size());
    for (size_t i = 0; i < actions.size() && i < 8; i++) {
        memcpy(&s[28 + 12 * i], actions[i].header, 3);
        memcpy(&s[31 + 12 * i], actions[i].value, 8);
        s[39 + 12 * i] = actions[i].final;
    }
    return s;
}

bytes encode(bytes s)
{
    bytes out(RULE_ENCODED_MAX + 16, 0xEE);
    out.resize(rule_encode(s.data(), out.data()));
    return out;
}

struct condition_case {
    const char *name;
    condition c;
    const char *encoded;   // precedence, count, the condition, action count 0
};

TEST(RuleEncoder, EachFieldCodeWritesItsValue)
{
    const condition_case cases[] = {
        {"2 copied", {2, {0x34, 0x12, 9, 9, 9}}, "07 01 | 02 02 34 12 | 00"},
        {"3 copied", {3, {0x01, 0x02, 9, 9, 9}}, "07 01 | 03 02 01 02 | 00"},
        {"14 copied", {14, {0xAA, 0xBB, 9, 9, 9}}, "07 01 | 0E 02 AA BB | 00"},
        {"19 copied", {19, {0x81, 0x00, 9, 9, 9}}, "07 01 | 13 02 81 00 | 00"},
        {"4 two u16 turned", {4, {0x34, 0x12, 0x78, 0x56, 0x9A}}, "07 01 | 04 05 12 34 56 78 9A | 00"},
        {"5 one byte", {5, {0x06, 9, 9, 9, 9}}, "07 01 | 05 01 06 | 00"},
        {"7 one byte", {7, {0x11, 9, 9, 9, 9}}, "07 01 | 07 01 11 | 00"},
        {"8 one byte", {8, {0x22, 9, 9, 9, 9}}, "07 01 | 08 01 22 | 00"},
        {"13 one byte", {13, {0x33, 9, 9, 9, 9}}, "07 01 | 0D 01 33 | 00"},
        {"9 zero pad, u16 BE", {9, {0x64, 0x00, 9, 9, 9}}, "07 01 | 09 04 00 00 00 64 | 00"},
        {"10 zero pad, u16 BE", {10, {0x01, 0x02, 9, 9, 9}}, "07 01 | 0A 04 00 00 02 01 | 00"},
        {"12 no value", {12, {9, 9, 9, 9, 9}}, "07 01 | 0C 00 | 00"},
        {"16 times four", {16, {0x2E, 9, 9, 9, 9}}, "07 01 | 10 01 B8 | 00"},
        {"18 u16 turned, one byte", {18, {0x00, 0x08, 0x06, 9, 9}}, "07 01 | 12 03 08 00 06 | 00"},
        {"23 sub-code 5", {23, {5, 0x44, 9, 9, 9}}, "07 01 | 17 02 05 44 | 00"},
        {"23 sub-code 1", {23, {1, 0x45, 9, 9, 9}}, "07 01 | 17 02 01 45 | 00"},
        {"23 sub-code 8 times four", {23, {8, 0x0A, 9, 9, 9}}, "07 01 | 17 02 08 28 | 00"},
        {"23 other sub-code u16", {23, {3, 0x00, 0x08, 9, 9}}, "07 01 | 17 03 03 08 00 | 00"},
        {"unknown code alone", {99, {9, 9, 9, 9, 9}}, "07 01 | 63 | 00"},
        {"code 0 alone", {0, {9, 9, 9, 9, 9}}, "07 01 | 00 | 00"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(encode(slot(7, {c.c}, {})), hex(c.encoded)) << c.name;
}

struct action_case {
    const char *name;
    action a;
    const char *encoded;   // precedence, no conditions, count 1, the action
};

TEST(RuleEncoder, EachActionClassArrangesItsValue)
{
    const action_case cases[] = {
        {"code 3 reversed", {{2, 3, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 03 00 | 08 07 06 05 04 03 02 01 | 05"},
        {"code 11 reversed", {{2, 11, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 0B 00 | 08 07 06 05 04 03 02 01 | 05"},
        {"code 16 reversed", {{2, 16, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 10 00 | 08 07 06 05 04 03 02 01 | 05"},
        {"code 17 reversed", {{2, 17, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 11 00 | 08 07 06 05 04 03 02 01 | 05"},
        {"code 20 reversed", {{2, 20, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 14 00 | 08 07 06 05 04 03 02 01 | 05"},
        {"code 22 reversed", {{2, 22, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 16 00 | 08 07 06 05 04 03 02 01 | 05"},
        {"code 12 moved to 4", {{2, 12, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 0C 00 | 00 00 00 00 01 02 03 04 | 05"},
        {"code 14 moved to 4", {{2, 14, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 0E 00 | 00 00 00 00 01 02 03 04 | 05"},
        {"code 1 moved two on", {{2, 1, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 01 00 | 00 00 01 02 03 04 05 06 | 05"},
        {"code 2 moved two on", {{2, 2, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 02 00 | 00 00 01 02 03 04 05 06 | 05"},
        {"code 0 as is", {{2, 0, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 00 00 | 01 02 03 04 05 06 07 08 | 05"},
        {"code 13 as is", {{2, 13, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 0D 00 | 01 02 03 04 05 06 07 08 | 05"},
        {"code 23 as is", {{2, 23, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
         "01 00 01 | 02 17 00 | 01 02 03 04 05 06 07 08 | 05"},
        {"final 7 forces header 1", {{9, 13, 4}, {1, 2, 3, 4, 5, 6, 7, 8}, 7},
         "01 00 01 | 01 0D 04 | 01 02 03 04 05 06 07 08 | 07"},
        {"final 0 forces header 1", {{9, 3, 4}, {1, 2, 3, 4, 5, 6, 7, 8}, 0},
         "01 00 01 | 01 03 04 | 08 07 06 05 04 03 02 01 | 00"},
        {"final 6 keeps header", {{9, 13, 4}, {1, 2, 3, 4, 5, 6, 7, 8}, 6},
         "01 00 01 | 09 0D 04 | 01 02 03 04 05 06 07 08 | 06"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(encode(slot(1, {}, {c.a})), hex(c.encoded)) << c.name;
}

TEST(RuleEncoder, FullRuleIsTheLargestAndConditionsComeInOrder)
{
    std::vector<condition> four(4, condition{4, {1, 2, 3, 4, 5}});
    four[3] = {12, {}};
    std::vector<action> eight(8, action{{1, 5, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5});
    bytes out = encode(slot(2, four, eight));
    EXPECT_EQ(out.size(), 2 + 3 * 7 + 2 + 1 + 8 * 12u);
    EXPECT_EQ(bytes(out.begin(), out.begin() + 10), hex("02 04 | 04 05 02 01 04 03 05 | 04"));
    EXPECT_EQ(bytes(out.end() - 12, out.end()), hex("01 05 00 | 08 07 06 05 04 03 02 01 | 05"));
    std::vector<condition> full(4, condition{4, {1, 2, 3, 4, 5}});
    EXPECT_EQ(encode(slot(2, full, eight)).size(), RULE_ENCODED_MAX);
}

// A slot claiming more conditions or actions than it holds must not make the
// encoder read past its conditions into the action area, or past the slot.
TEST(RuleEncoder, CountsBeyondTheSlotAreTakenAsItsSize)
{
    bytes s = slot(3, {{5, {1}}}, {{{1, 13, 0}, {}, 5}});
    s[2] = 200;
    s[27] = 255;
    bytes out = encode(s);
    EXPECT_LE(out.size(), RULE_ENCODED_MAX);
    EXPECT_EQ(out[1], 4);
    EXPECT_EQ(out[out.size() - 8 * 12 - 1], 8);
}

// A slot of the process-wide configuration cache is encoded again on every
// OLT reconfiguration and for every ONU of a profile: the same bytes each
// time, and the cache entry itself unchanged.
TEST(RuleEncoder, EncodingTheSameSlotTwiceGivesTheSameBytes)
{
    bytes s = slot(5, {{4, {1, 2, 3, 4, 5}}, {9, {0x64, 0}}},
                   {{{2, 3, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 0}, {{2, 12, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5},
                    {{2, 1, 0}, {1, 2, 3, 4, 5, 6, 7, 8}, 5}});
    bytes cached = s;
    bytes first = encode(s);
    EXPECT_EQ(s, cached);
    EXPECT_EQ(encode(s), first);
}

} // namespace
