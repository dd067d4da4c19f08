// Rule texts into 86-byte rule entries: every field's encoding, and texts
// that must be refused without touching the entry.
#include "onu/epon_rules.h"
#include "onu/onu_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> entry_of(const char *text, int *rc)
{
    std::vector<uint8_t> e(ONU_RULE_SIZE, 0xEE);
    *rc = epon_rule_translate_to_bin(text, e.data());
    return e;
}

std::vector<uint8_t> bytes(const std::vector<uint8_t> &e, size_t from, size_t n)
{
    return std::vector<uint8_t>(e.begin() + long(from), e.begin() + long(from + n));
}

TEST(RuleText, FieldsLandWhereTheRuleDownloadReadsThem)
{
    int rc;
    auto e = entry_of("a=0x21 action=14 param=300 field12=224.0.0.1 op=4 field0=00:0D:B6:01:02:03 op=1 "
                      "field7=0x0102030405060708 op=255",
                      &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(e[0], 0);      // not sent
    EXPECT_EQ(e[1], 0x21);   // rule byte A
    EXPECT_EQ(e[2], 14);     // action
    uint16_t param;
    memcpy(&param, &e[3], 2);
    EXPECT_EQ(param, 300);   // host order: the download writes it big-endian
    EXPECT_EQ(e[5], 3);      // clauses
    // field code, 8 value bytes, operator
    EXPECT_EQ(bytes(e, 6, 10), (std::vector<uint8_t>{12, 224, 0, 0, 1, 0, 0, 0, 0, 4}));
    EXPECT_EQ(bytes(e, 16, 10), (std::vector<uint8_t>{0, 0x00, 0x0D, 0xB6, 0x01, 0x02, 0x03, 0, 0, 1}));
    EXPECT_EQ(bytes(e, 26, 10), (std::vector<uint8_t>{7, 8, 7, 6, 5, 4, 3, 2, 1, 255}));
    // The unused clauses are zero.
    EXPECT_EQ(bytes(e, 36, 50), std::vector<uint8_t>(50, 0));
}

// What the ONU receives for translated texts: the rule download's encoding
// of the entries, byte for byte.
TEST(RuleText, RuleDownloadSendsTheTextsAsWritten)
{
    struct {
        const char *text;
        bool pon;
        const char *wire;
    } cases[] = {
        {"a=0x21 action=14 param=300 field12=224.0.0.1 op=4", false,
         "01 21 0e 012c 01 | 0c 00000000 e0000001 04"},
        {"action=0x12 param=3.4 field0=00:0D:B6:01:02:03 op=1", true,   // PON: first byte + 1
         "01 00 12 0404 01 | 00 0000 000db6010203 01"},
        {"action=7 field5=0x0102030405060708 op=2", false, "01 00 07 0000 01 | 05 0102030405060708 02"},
    };
    for (const auto &c : cases) {
        int rc;
        auto e = entry_of(c.text, &rc);
        ASSERT_EQ(rc, 0) << c.text;
        uint8_t out[ONU_RULE_HEADER + ONU_RULE_CLAUSES_MAX * ONU_RULE_CLAUSE];
        size_t n = onu_rule_encode(out, e.data(), c.pon);
        std::vector<uint8_t> expected;
        std::string hex = c.wire;
        for (size_t i = 0; i < hex.size();) {
            if (hex[i] == ' ' || hex[i] == '|') {
                i++;
                continue;
            }
            expected.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
            i += 2;
        }
        EXPECT_EQ(std::vector<uint8_t>(out, out + n), expected) << c.text;
    }
}

TEST(RuleText, ParameterAsTwoBytesAndDefaults)
{
    int rc;
    auto e = entry_of("  action=0x12\tparam=1.200 ", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(bytes(e, 1, 5), (std::vector<uint8_t>{0, 0x12, 1, 200, 0}));
}

TEST(RuleText, EightClausesFitANinthDoesNot)
{
    std::string text = "action=1";
    for (int i = 0; i < 8; i++)
        text += " field20=" + std::to_string(i) + " op=1";
    int rc;
    auto e = entry_of(text.c_str(), &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(e[5], 8);
    EXPECT_EQ(e[6 + 70 + 1], 7);
    text += " field20=9 op=1";
    entry_of(text.c_str(), &rc);
    EXPECT_EQ(rc, -1);
}

TEST(RuleText, UnparsableTextsAreRefusedAndLeaveTheEntry)
{
    const char *bad[] = {
        "",                                   // no action
        "a=1",                                // no action
        "action=256",                         // out of range
        "action=1 action=2",                  // twice
        "action=-1",
        "action=1x",
        "action=",
        "action",
        "action=1 colour=red",
        "action=1 field12=224.0.0.1",         // field without its operator
        "action=1 op=1",                      // operator without a field
        "action=1 field12=224.0.0.1 field13=1.2.3.4 op=1",
        "action=1 field12=224.0.0 op=1",
        "action=1 field12=224.0.0.1.5 op=1",
        "action=1 field12=256.0.0.1 op=1",
        "action=1 field1=00:0D:B6:01:02 op=1",
        "action=1 field1=00:0D:B6:01:02:0G op=1",
        "action=1 field1=000:D:B6:01:02:03 op=1",
        "action=1 field5=18446744073709551616 op=1",   // 2^64
        "action=1 field256=1 op=1",
        "action=1 fieldx=1 op=1",
        "action=1 param=65536",
        "action=1 param=1.256",
        "action=1 param=1.2.3",
        "action=1 field5=1 op=256",
        "action=0x",
    };
    for (const char *text : bad) {
        int rc;
        auto e = entry_of(text, &rc);
        EXPECT_EQ(rc, -1) << text;
        EXPECT_EQ(e, std::vector<uint8_t>(ONU_RULE_SIZE, 0xEE)) << text;
    }
    uint8_t entry[ONU_RULE_SIZE];
    EXPECT_EQ(epon_rule_translate_to_bin(nullptr, entry), -1);
}

} // namespace
