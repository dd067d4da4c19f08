// The OLT configuration's requests byte for byte, from blocks whose bytes are
// all different, and the decoders of the answers it reads.
#include "engine/profiler_olt_requests.h"
#include "common/hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t MAC[6] = {0x00, 0x0D, 0xB6, 0x37, 0x23, 0x01};

// Block byte n holds n & 0xFF, so every field shows where it came from.
bytes counting_block(size_t size)
{
    bytes b(size);
    for (size_t i = 0; i < size; i++)
        b[i] = uint8_t(i);
    return b;
}

struct request_case {
    const char *name;
    std::function<size_t(uint8_t *)> build;
    const char *data;
};

TEST(OltRequests, EachRequestIsLaidOutByteForByte)
{
    bytes pon = counting_block(PON_BLOCK_SIZE);
    bytes pon_off = pon;
    pon_off[5] = 0;
    pon_off[91] = 0;
    pon_off[74] = 0x00;   // first level: 12 bits zero (0xF000 keeps only the top nibble)
    pon_off[75] = 0xF0;
    bytes global = counting_block(GLOBAL_BLOCK_SIZE);
    bytes option = counting_block(OPTION_BLOCK_SIZE);
    bytes ids = counting_block(IDENTIFIER_BLOCK_SIZE);
    const uint8_t params[4] = {0x04, 0x00, 0x34, 0x12};
    const uint8_t entry[9] = {1, 0x21, 0x64, 0x01, 0x07, 224, 1, 2, 3};   // VLAN 0x164
    const request_case cases[] = {
        {"0x018F port settings read", [&](uint8_t *o) { return olt_req_port_settings_read(MAC, 2, o); },
         "05 | 00 0D B6 37 23 01 | 00 02 00"},
        {"0x0191 port settings write",
         [&](uint8_t *o) {
             const uint8_t e[] = {0x07, 0x01, 0x03, 0x01, 0xAA, 0x00};
             return olt_req_port_settings_write(MAC, 1, e, sizeof e, o);
         },
         "05 | 00 0D B6 37 23 01 | 00 01 00 01 | 07 01 03 01 AA 00"},
        {"0x0083 OLT parameters", [&](uint8_t *o) { return olt_req_olt_params(params, o); }, "00 04 | 00 00 | 12 34"},
        {"0x0016 PON parameters", [&](uint8_t *o) { return olt_req_pon_params(MAC, 1, pon.data(), o); },
         "00 0D B6 37 23 01 | 00 01 | 01 | 01 | 00 00 00 00 | 02 03 04"},
        {"0x0246 PON clear", [&](uint8_t *o) { return olt_req_pon_clear(MAC, 0, o); },
         "00 0D B6 37 23 01 | 00 00 | 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"0x0275 PON timing", [&](uint8_t *o) { return olt_req_pon_timing(MAC, 1, o); },
         "00 0D B6 37 23 01 | 00 01 | 00 | 01 | 03 E8 | 00 00 10 00 | 01 01 01"},
        {"0x01C4 DRSSI off", [&](uint8_t *o) { return olt_req_drssi(MAC, 1, false, o); },
         "05 | 00 0D B6 37 23 01 | 00 01 | 00 | 01 | 32 A2 68 02 |"
         "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"0x01C4 DRSSI on", [&](uint8_t *o) { return olt_req_drssi(MAC, 0, true, o); },
         "05 | 00 0D B6 37 23 01 | 00 00 | 01 | 00 | 32 A2 68 02 |"
         "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"0x0210 SFP information", [&](uint8_t *o) { return olt_req_sfp_info(MAC, 1, o); },
         "05 | 00 0D B6 37 23 01 | 00 01"},
        {"0x019C table on", [&](uint8_t *o) { return olt_req_pon_table(MAC, 0, pon.data(), o); },
         "00 0D B6 37 23 01 | 00 00 | 09 08 07 06 | 0B 0A | 00 |"
         "0F 0E 0D 0C 11 10 | 15 14 13 12 17 16 | 1B 1A 19 18 1D 1C | 21 20 1F 1E 23 22 |"
         "27 26 25 24 29 28 | 2D 2C 2B 2A 2F 2E | 33 32 31 30 35 34 | 39 38 37 36 3B 3A"},
        {"0x019C table off", [&](uint8_t *o) { return olt_req_pon_table(MAC, 1, pon_off.data(), o); },
         "00 0D B6 37 23 01 | 00 01 | 00 00 00 00 00 00 00"},
        {"0x0161 seven values", [&](uint8_t *o) { return olt_req_pon_values(MAC, 0, pon.data(), o); },
         "00 0D B6 37 23 01 | 00 00 | 3D 3C 3F 3E 41 40 43 42 45 44 47 46 49 48"},
        {"0x0163 eight levels", [&](uint8_t *o) { return olt_req_pon_levels(MAC, 0, pon.data(), o); },
         "00 0D B6 37 23 01 | 00 00 | B4 A0 | D4 C0 | F4 E0 | 15 00 | 35 20 | 55 40 | 75 60 | 95 80"},
        {"0x0163 zero level", [&](uint8_t *o) { return olt_req_pon_levels(MAC, 0, pon_off.data(), o); },
         "00 0D B6 37 23 01 | 00 00 | 00 01 | D4 C0 | F4 E0 | 15 00 | 35 20 | 55 40 | 75 60 | 95 80"},
        {"0x0189 switch on", [&](uint8_t *o) { return olt_req_pon_switch(MAC, 1, pon.data(), o); },
         "00 0D B6 37 23 01 | 00 01 | 5B | 5D 5C"},
        {"0x0189 switch off", [&](uint8_t *o) { return olt_req_pon_switch(MAC, 1, pon_off.data(), o); },
         "00 0D B6 37 23 01 | 00 01 | 00 | 00 00"},
        {"0x0018 port", [&](uint8_t *o) { return olt_req_mac_port(MAC, 3, o); }, "00 0D B6 37 23 01 | 00 03"},
        {"0x0121 indicator 0 on", [&](uint8_t *o) { return olt_req_indicator(0, true, o); }, "A0 01"},
        {"0x0121 indicator 1 off", [&](uint8_t *o) { return olt_req_indicator(1, false, o); }, "A1 00"},
        {"0x004C NNI", [&](uint8_t *o) { return olt_req_nni_params(MAC, 2, o); },
         "00 0D B6 37 23 01 | 00 02 | 00 1B B4 87"},
        {"0x0050 global", [&](uint8_t *o) { return olt_req_global_params(global.data(), o); },
         "03 02 01 00 | 00 | 05 06 07 08 | 0A"},
        {"0x02EE global word", [&](uint8_t *o) { return olt_req_global_word(global.data(), o); }, "03 02 01 00"},
        {"0x005A shaping", [&](uint8_t *o) { return olt_req_global_shaping(global.data(), o); },
         "00 00 00 00 00 00 00 00 00 00 | 16 15 18 17 | 19 1A | 08 | 1B 1C 1D 1E 1F 20 21 22 | 08 |"
         "23 24 25 26 27 28 29 2A"},
        {"0x023C switch on", [&](uint8_t *o) { return olt_req_global_switch(9, o); }, "01 00 0F 00"},
        {"0x023C switch off", [&](uint8_t *o) { return olt_req_global_switch(0, o); }, "00 00 0F 00"},
        {"0x01F5 option 82", [&](uint8_t *o) { return olt_req_option82(option.data(), o); },
         "03 02 01 00 | 05 04 | 06 | 07 | 0B 0A 09 08"},
        {"0x01FF identifiers", [&](uint8_t *o) { return olt_req_identifiers(ids.data(), o); },
         "01 00 | 03 02 05 04 | 06 | 07 | 0B 0A 09 08 | 01 05"},
        {"0x014F domain setup", [&](uint8_t *o) { return olt_req_domain_setup(o); }, "00 80 00 0F 42 40 00 00"},
        {"0x0178 first queue", [&](uint8_t *o) { return olt_req_domain_queue(0x2008, 0, o); },
         "20 08 | 00 00 | 00 08 | 01 00 01 00 01 00 01 00 01 00 01 00 01 00 | 01 00 | 00 02 | 00 00"},
        {"0x0178 last queue", [&](uint8_t *o) { return olt_req_domain_queue(0x2008, 3, o); },
         "20 0E | 00 01 | 00 08 | 01 00 01 00 01 00 01 00 01 00 01 00 01 00 | 01 00 | 00 03 | 00 00"},
        {"0x0225 domain", [&](uint8_t *o) { return olt_req_domain_create(0x402, 0x2008, o); },
         "04 02 | 00 00 | 10 10 10 02 | 00 00 02 00 02 00 06 02 | 20 08 | 20 0A |"
         "00 00 02 00 08 00 04 02 | 20 0E | 20 0C"},
        {"0x01F2 domain 0x401", [&](uint8_t *o) { return olt_req_domain_vlan(0x401, entry, o); },
         "04 01 | 00 01 | 00 00 00 00 00 | 00 00 | 00 | 30"},
        {"0x01F2 domain 0x403", [&](uint8_t *o) { return olt_req_domain_vlan(0x403, entry, o); },
         "04 03 | 00 01 | 00 00 00 00 00 | 16 40 | 00 | 0C"},
        {"0x0151 address", [&](uint8_t *o) { return olt_req_domain_address(0x404, entry, o); },
         "04 04 | 00 00 00 | 03 | 00 00 00 | 03 | 00 00 00 00 00 | 0F 42 40 | 00 00 | 27 10 00 64 |"
         "00 00 00 | 02 30 D4 03 E9 00 64 00 02 0C 35 00 02 00 6E 00 0A | 00 00 | 03 E8 00 | 21 |"
         "E0 01 02 03 | FE 80 | 00 00 00 00 00 00 00 00 00 00 00 00 00 | 01"},
        {"0x0152 address removal", [&](uint8_t *o) { return olt_req_domain_address_remove(0x402, o); },
         "04 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
         "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"0x017E removal", [&](uint8_t *o) { return olt_req_domain_remove(0x404, o); }, "04 04"},
        {"0x003D", [&](uint8_t *o) { return olt_req_domain_params(o); }, "11 01 00 0A 00 0A"},
        {"0x028C base LLID", [&](uint8_t *o) { return olt_req_base_llid_write(MAC, 1, 0x1200, o); },
         "00 0D B6 37 23 01 | 00 01 | 12 00 | 00 00"},
    };
    for (const auto &c : cases) {
        bytes out(OLT_RULES_REQUEST_MAX, 0xEE);
        out.resize(c.build(out.data()));
        EXPECT_EQ(out, hex(c.data)) << c.name;
    }
}

// Template B goes out whole for 0x401; template A carries the domain's rule
// parameter at 9 and 29 and its VLAN's low 12 bits at 20 and 40.
TEST(OltRequests, DomainRuleTemplates)
{
    const uint8_t entry[9] = {1, 0, 0x64, 0xF1, 0x07, 0, 0, 0, 0};   // VLAN 0xF164: 12 bits 0x164
    bytes b(200);
    b.resize(olt_req_domain_rules(0x401, entry, b.data()));
    ASSERT_EQ(b.size(), 116u);
    EXPECT_EQ(bytes(b.begin(), b.begin() + 22), hex("04 01 | 00 01 0E 01 0C 00 01 06 00 00 00 00 00 00 00 00 00 00 06 01"));
    bytes a(200);
    a.resize(olt_req_domain_rules(0x403, entry, a.data()));
    ASSERT_EQ(a.size(), 120u);
    EXPECT_EQ(bytes(a.begin(), a.begin() + 42),
              hex("04 03 | 00 01 0E 01 0E 02 01 | 07 | 01 06 34 00 00 00 00 00 00 00 | 01 64 |"
                      "01 01 0E 01 0E 02 01 | 07 | 01 06 34 00 00 00 00 00 00 00 | 01 64"));
    EXPECT_EQ(bytes(a.end() - 4, a.end()), hex("00 00 07 00"));
    EXPECT_TRUE(olt_domain_wanted(0x401, entry));
    const uint8_t no_vlan[9] = {1, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(olt_domain_wanted(0x402, no_vlan));
    EXPECT_TRUE(olt_domain_wanted(0x401, no_vlan));
}

// The rule writer: only slots in use, counted, back to back; a full table of
// the largest rules fits the request.
TEST(OltRequests, RuleTableRequest)
{
    bytes table(RULE_TABLE_SIZE, 0);
    bytes out(OLT_RULES_REQUEST_MAX);
    EXPECT_EQ(olt_req_rules(MAC, 1, table.data(), out.data()), 0u);
    uint8_t *second = &table[RULE_SLOT_SIZE];
    second[0] = 1;
    second[1] = 9;
    second[2] = 1;
    second[3] = 5;
    second[4] = 0x42;
    out.resize(olt_req_rules(MAC, 1, table.data(), out.data()));
    EXPECT_EQ(out, hex("05 | 00 0D B6 37 23 01 | 00 01 00 | 01 | 09 01 05 01 42 00"));

    for (int s = 0; s < RULE_SLOTS; s++) {
        uint8_t *slot = &table[s * RULE_SLOT_SIZE];
        memset(slot, 0, RULE_SLOT_SIZE);
        slot[0] = 1;
        slot[2] = 4;
        for (int c = 0; c < 4; c++)
            slot[3 + 6 * c] = 4;
        slot[27] = 8;
    }
    bytes full(OLT_RULES_REQUEST_MAX + 1, 0xEE);
    EXPECT_EQ(olt_req_rules(MAC, 1, table.data(), full.data()), OLT_RULES_REQUEST_MAX);
    EXPECT_EQ(full[10], RULE_SLOTS);
    EXPECT_EQ(full[OLT_RULES_REQUEST_MAX], 0xEE);
}

TEST(OltAnswers, PortSettingsEntries)
{
    struct entry_case {
        const char *name;
        const char *entry;
        size_t size;
    } cases[] = {
        {"no items", "07 | 00 | 00", 3},
        {"two TLVs, one fixed item", "07 | 02 | 01 02 AA BB | 02 00 | 01 | 00 01 02 03 04 05 06 07 08 09 0A 0B", 21},
        {"TLV cut", "07 | 01 | 01 05 AA", 0},
        {"fixed item cut", "07 | 00 | 01 | 00 01 02", 0},
        {"count missing", "07", 0},
        {"empty", "", 0},
    };
    for (const auto &c : cases) {
        bytes e = hex(c.entry);
        EXPECT_EQ(olt_port_settings_entry_size(e.data(), e.size()), c.size) << c.name;
    }
}

TEST(OltAnswers, PortSettingsWalk)
{
    struct walk_case {
        const char *name;
        const char *answer;
        bool whole;
        std::vector<size_t> sizes;   // of the entries walked
    } cases[] = {
        {"two entries", "05 00 0D B6 37 23 01 00 01 00 | 02 | 07 00 00 | 08 01 01 01 AA 00", true, {3, 6}},
        {"no entries", "05 00 0D B6 37 23 01 00 01 00 | 00", true, {}},
        {"second entry cut", "05 00 0D B6 37 23 01 00 01 00 | 02 | 07 00 00 | 08 01 01 05 AA", false, {3}},
        {"count missing", "05 00 0D B6 37 23 01 00 01 00", false, {}},
        {"count above the entries", "05 00 0D B6 37 23 01 00 01 00 | 03 | 07 00 00", false, {3}},
    };
    for (const auto &c : cases) {
        bytes a = hex(c.answer);
        std::vector<size_t> sizes;
        bool whole = olt_port_settings_walk(a.data(), a.size(), [&](const uint8_t *, size_t size) {
            sizes.push_back(size);
            return true;
        });
        EXPECT_EQ(whole, c.whole) << c.name;
        EXPECT_EQ(sizes, c.sizes) << c.name;
    }
    // The walk stops where the caller says.
    bytes a = hex(cases[0].answer);
    int calls = 0;
    EXPECT_TRUE(olt_port_settings_walk(a.data(), a.size(), [&](const uint8_t *, size_t) { return ++calls < 1; }));
    EXPECT_EQ(calls, 1);
}

TEST(OltAnswers, SfpInformationAndDrssiParts)
{
    bytes answer(SFP_ANSWER_MIN, ' ');
    memcpy(&answer[SFP_VENDOR], "SOURCEPHOTONICSX", 16);
    memcpy(&answer[SFP_PART], "SLG20-D6C-EXTRAY", 16);
    char vendor[SFP_TEXT], part[SFP_TEXT];
    ASSERT_TRUE(olt_sfp_decode(answer.data(), answer.size(), vendor, part));
    EXPECT_STREQ(vendor, "SOURCEPHOTONICS");
    EXPECT_STREQ(part, "SLG20-D6C-EXTRA");
    EXPECT_FALSE(olt_sfp_decode(answer.data(), answer.size() - 1, vendor, part));

    struct {
        const char *part;
        bool supported;
    } parts[] = {
        {"LTE4302", true},          {"XLTE4303M", true}, {"LTE3680-BC", true}, {"PTB38J0", true},
        {"38J0-6537E", true},       {"38J0-6538E", true}, {"SLG20-D6C", true}, {"SLG20-D6C-X", true},
        {"LTE430", false},          {"LTE4304", false},   {"38J0-6539E", false}, {"--", false},
        {"", false},
    };
    for (const auto &p : parts)
        EXPECT_EQ(olt_sfp_drssi_supported(p.part), p.supported) << p.part;
}

TEST(OltAnswers, BaseLlidAndProtocolFilter)
{
    bytes llid = hex("00 0D B6 37 23 01 00 01 | 14 00");
    uint16_t value = 0;
    EXPECT_TRUE(olt_base_llid_decode(llid.data(), llid.size(), &value));
    EXPECT_EQ(value, 0x1400);
    EXPECT_FALSE(olt_base_llid_decode(llid.data(), 9, &value));

    bytes filter = counting_block(PROTOCOL_FILTER_SIZE);
    uint8_t out[PROTOCOL_FILTER_SIZE];
    ASSERT_TRUE(olt_protocol_filter_patch(filter.data(), filter.size(), out));
    EXPECT_EQ(bytes(out, out + 121), bytes(filter.begin(), filter.begin() + 121));
    EXPECT_EQ(bytes(out + 121, out + 139), hex("00 00 08 00 12 06 00 00 05 00 0D 03 00 00 05 01 0D 03"));
    EXPECT_EQ(bytes(out + 139, out + 145), bytes(filter.begin() + 139, filter.end()));
    EXPECT_FALSE(olt_protocol_filter_patch(filter.data(), 144, out));
}

} // namespace
