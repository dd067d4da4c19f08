// The engine's request builders and the rule encoder against the bytes in
// tests/vectors/engine/requests.hex.
#include "engine/onu_optics.h"
#include "engine/onu_phy.h"
#include "engine/profiler_olt_requests.h"
#include "engine/rule_encoder.h"

#include "common/hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t ONU[6] = {0x00, 0x0D, 0xB6, 0x11, 0x22, 0x33};
const uint8_t OLT[6] = {0x00, 0x0D, 0xB6, 0x37, 0x23, 0x01};

bytes counting_block(size_t size)
{
    bytes b(size);
    for (size_t i = 0; i < size; i++)
        b[i] = uint8_t(i);
    return b;
}

bytes encode(const bytes &slot)
{
    bytes out(RULE_ENCODED_MAX + 16, 0xEE);
    out.resize(rule_encode(slot.data(), out.data()));
    return out;
}

TEST(EngineRequests, EachBuilderWritesItsVector)
{
    auto vectors = hex_vectors("engine/requests.hex");
    bytes pon = counting_block(PON_BLOCK_SIZE), pon_off = pon;
    pon_off[5] = pon_off[91] = 0;
    pon_off[74] = 0x00;   // first level: 12 bits zero (0xF000 keeps only the top nibble)
    pon_off[75] = 0xF0;
    bytes global = counting_block(GLOBAL_BLOCK_SIZE), option = counting_block(OPTION_BLOCK_SIZE);
    bytes ids = counting_block(IDENTIFIER_BLOCK_SIZE);
    const uint8_t params[4] = {0x04, 0x00, 0x34, 0x12};
    const uint8_t entry[9] = {1, 0x21, 0x64, 0x01, 0x07, 224, 1, 2, 3};   // VLAN 0x164
    const uint8_t rule_entry[9] = {1, 0, 0x64, 0xF1, 0x07};
    bytes none(RULE_TABLE_SIZE, 0), one = none;
    memcpy(&one[RULE_SLOT_SIZE], "\x01\x09\x01\x05\x42", 5);
    const std::map<std::string, std::function<size_t(uint8_t *)>> builders = {
        {"0x018F port settings read", [&](uint8_t *o) { return olt_req_port_settings_read(OLT, 2, o); }},
        {"0x0191 port settings write", [&](uint8_t *o) { const uint8_t e[] = {0x07, 0x01, 0x03, 0x01, 0xAA, 0x00}; return olt_req_port_settings_write(OLT, 1, e, sizeof e, o); }},
        {"0x0083 OLT parameters", [&](uint8_t *o) { return olt_req_olt_params(params, o); }},
        {"0x0016 PON parameters", [&](uint8_t *o) { return olt_req_pon_params(OLT, 1, pon.data(), o); }},
        {"0x0246 PON clear", [&](uint8_t *o) { return olt_req_pon_clear(OLT, 0, o); }},
        {"0x0275 PON timing", [&](uint8_t *o) { return olt_req_pon_timing(OLT, 1, o); }},
        {"0x01C4 DRSSI off", [&](uint8_t *o) { return olt_req_drssi(OLT, 1, false, o); }},
        {"0x01C4 DRSSI on", [&](uint8_t *o) { return olt_req_drssi(OLT, 0, true, o); }},
        {"0x0210 SFP information", [&](uint8_t *o) { return olt_req_sfp_info(OLT, 1, o); }},
        {"0x019C table on", [&](uint8_t *o) { return olt_req_pon_table(OLT, 0, pon.data(), o); }},
        {"0x019C table off", [&](uint8_t *o) { return olt_req_pon_table(OLT, 1, pon_off.data(), o); }},
        {"0x0161 seven values", [&](uint8_t *o) { return olt_req_pon_values(OLT, 0, pon.data(), o); }},
        {"0x0163 eight levels", [&](uint8_t *o) { return olt_req_pon_levels(OLT, 0, pon.data(), o); }},
        {"0x0163 zero level", [&](uint8_t *o) { return olt_req_pon_levels(OLT, 0, pon_off.data(), o); }},
        {"0x0189 switch on", [&](uint8_t *o) { return olt_req_pon_switch(OLT, 1, pon.data(), o); }},
        {"0x0189 switch off", [&](uint8_t *o) { return olt_req_pon_switch(OLT, 1, pon_off.data(), o); }},
        {"0x0018 port", [&](uint8_t *o) { return olt_req_mac_port(OLT, 3, o); }},
        {"0x0121 indicator 0 on", [&](uint8_t *o) { return olt_req_indicator(0, true, o); }},
        {"0x0121 indicator 1 off", [&](uint8_t *o) { return olt_req_indicator(1, false, o); }},
        {"0x004C NNI", [&](uint8_t *o) { return olt_req_nni_params(OLT, 2, o); }},
        {"0x0050 global", [&](uint8_t *o) { return olt_req_global_params(global.data(), o); }},
        {"0x02EE global word", [&](uint8_t *o) { return olt_req_global_word(global.data(), o); }},
        {"0x005A shaping", [&](uint8_t *o) { return olt_req_global_shaping(global.data(), o); }},
        {"0x023C switch on", [&](uint8_t *o) { return olt_req_global_switch(9, o); }},
        {"0x023C switch off", [&](uint8_t *o) { return olt_req_global_switch(0, o); }},
        {"0x01F5 option 82", [&](uint8_t *o) { return olt_req_option82(option.data(), o); }},
        {"0x01FF identifiers", [&](uint8_t *o) { return olt_req_identifiers(ids.data(), o); }},
        {"0x014F domain setup", [&](uint8_t *o) { return olt_req_domain_setup(o); }},
        {"0x0178 first queue", [&](uint8_t *o) { return olt_req_domain_queue(0x2008, 0, o); }},
        {"0x0178 last queue", [&](uint8_t *o) { return olt_req_domain_queue(0x2008, 3, o); }},
        {"0x0225 domain", [&](uint8_t *o) { return olt_req_domain_create(0x402, 0x2008, o); }},
        {"0x01F2 domain 0x401", [&](uint8_t *o) { return olt_req_domain_vlan(0x401, entry, o); }},
        {"0x01F2 domain 0x403", [&](uint8_t *o) { return olt_req_domain_vlan(0x403, entry, o); }},
        {"0x0151 address", [&](uint8_t *o) { return olt_req_domain_address(0x404, entry, o); }},
        {"0x0152 address removal", [&](uint8_t *o) { return olt_req_domain_address_remove(0x402, o); }},
        {"0x017E removal", [&](uint8_t *o) { return olt_req_domain_remove(0x404, o); }},
        {"0x003D", [&](uint8_t *o) { return olt_req_domain_params(o); }},
        {"domain rules 0x401", [&](uint8_t *o) { return olt_req_domain_rules(0x401, rule_entry, o); }},
        {"domain rules 0x403", [&](uint8_t *o) { return olt_req_domain_rules(0x403, rule_entry, o); }},
        {"rules: none in use", [&](uint8_t *o) { return olt_req_rules(OLT, 1, none.data(), o); }},
        {"rules: the second slot in use", [&](uint8_t *o) { return olt_req_rules(OLT, 1, one.data(), o); }},
        {"0x028C base LLID", [&](uint8_t *o) { return olt_req_base_llid_write(OLT, 1, 0x1200, o); }},
        {"onu i2c read of the part number", [&](uint8_t *o) { return onu_i2c_read_request(o, ONU, 0x50, 40, 16); }},
        {"onu i2c read of the whole diagnostics page", [&](uint8_t *o) { return onu_i2c_read_request(o, ONU, 0x51, 0, 256); }},
        {"onu gpio set of line 0x200", [&](uint8_t *o) { return onu_gpio_request(o, ONU, 0x200, 0x200); }},
        {"onu phy register 31 of UNI port 2", [&](uint8_t *o) { return onu_phy_read_request(o, ONU, 2, 31); }},
        {"onu drssi reading", [&](uint8_t *o) { return onu_drssi_request(o, ONU); }},
        {"onu port state of UNI 1", [&](uint8_t *o) { return onu_port_request(o, ONU, 1); }},
        {"onu mdio read of register 3 at address 2", [&](uint8_t *o) { return onu_mdio_read_request(o, ONU, 2, 3); }},
        {"onu mdio write of 0x8000 to register 0 at address 1", [&](uint8_t *o) { return onu_mdio_write_request(o, ONU, 1, 0, 0x8000); }},
    };
    for (const auto &[name, build] : builders) {
        bytes out(OLT_RULES_REQUEST_MAX, 0xEE);
        out.resize(build(out.data()));
        EXPECT_TRUE(vectors.count(name)) << name;
        EXPECT_EQ(out, vectors[name]) << name;
    }
    // Every rule slot of the file encodes to its rule, twice alike: the cache
    // slot the encoder reads stays as it was.
    for (const auto &[name, given] : vectors) {
        if (name.rfind("slot: ", 0) != 0)
            continue;
        bytes slot = given;
        slot.resize(RULE_SLOT_SIZE, 0);
        const bytes kept = slot;
        EXPECT_EQ(encode(slot), vectors["rule: " + name.substr(6)]) << name;
        EXPECT_EQ(encode(slot), vectors["rule: " + name.substr(6)]) << name;
        EXPECT_EQ(slot, kept) << name;
    }
}

// A slot claiming more conditions or actions than it holds is encoded as a
// full one, never read past its conditions or past the slot.
TEST(EngineRequests, RuleCountsAreCappedAtTheSlot)
{
    bytes slot(RULE_SLOT_SIZE, 0);
    slot[0] = 1;
    slot[2] = 200;
    for (int c = 0; c < 4; c++)
        slot[3 + 6 * c] = 4;
    slot[27] = 255;
    for (int a = 0; a < 8; a++)
        slot[29 + 12 * a] = 5;
    bytes out = encode(slot);
    EXPECT_EQ(out.size(), RULE_ENCODED_MAX);
    EXPECT_EQ(out[1], 4);
    EXPECT_EQ(out[out.size() - 8 * 12 - 1], 8);
}

// A full table of the largest rules fits the request; a domain without a
// VLAN wants no rules unless it is 0x401.
TEST(EngineRequests, FullRuleTableFitsItsRequest)
{
    bytes table(RULE_TABLE_SIZE, 0);
    for (int s = 0; s < RULE_SLOTS; s++) {
        uint8_t *slot = &table[s * RULE_SLOT_SIZE];
        slot[0] = 1;
        slot[2] = 4;
        for (int c = 0; c < 4; c++)
            slot[3 + 6 * c] = 4;
        slot[27] = 8;
    }
    bytes full(OLT_RULES_REQUEST_MAX + 1, 0xEE);
    EXPECT_EQ(olt_req_rules(OLT, 1, table.data(), full.data()), OLT_RULES_REQUEST_MAX);
    EXPECT_EQ(full[10], RULE_SLOTS);
    EXPECT_EQ(full[OLT_RULES_REQUEST_MAX], 0xEE);
    const uint8_t no_vlan[9] = {1};
    EXPECT_FALSE(olt_domain_wanted(0x402, no_vlan));
    EXPECT_TRUE(olt_domain_wanted(0x401, no_vlan));
}

} // namespace
