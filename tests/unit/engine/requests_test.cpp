// The engine's request builders the board's configuration leaves unsent, and
// the rule encoder, against the bytes in tests/vectors/engine/requests.hex.
#include "engine/profiler_olt_requests.h"
#include "engine/rule_encoder.h"

#include "common/hex.h"

#include <functional>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t OLT[6] = {0x00, 0x0D, 0xB6, 0x37, 0x23, 0x01};

// The PON block's switched parts, on and off (the first level zero); the
// rule slots; a full table of capped rules.
TEST(EngineRequests, EachBuilderWritesItsVector)
{
    auto vectors = hex_vectors("engine/requests.hex");
    bytes pon(PON_BLOCK_SIZE);
    for (size_t i = 0; i < pon.size(); i++)
        pon[i] = uint8_t(i);
    bytes pon_off = pon;
    pon_off[5] = pon_off[91] = pon_off[74] = 0;
    pon_off[75] = 0xF0;   // 0xF000 keeps only the top nibble: 12 bits zero
    const std::map<std::string, std::function<size_t(uint8_t *)>> builders = {
        {"0x019C table on", [&](uint8_t *o) { return olt_req_pon_table(OLT, 0, pon.data(), o); }},
        {"0x019C table off", [&](uint8_t *o) { return olt_req_pon_table(OLT, 1, pon_off.data(), o); }},
        {"0x0163 eight levels", [&](uint8_t *o) { return olt_req_pon_levels(OLT, 0, pon.data(), o); }},
        {"0x0163 zero level", [&](uint8_t *o) { return olt_req_pon_levels(OLT, 0, pon_off.data(), o); }},
        {"0x0189 switch on", [&](uint8_t *o) { return olt_req_pon_switch(OLT, 1, pon.data(), o); }},
        {"0x0189 switch off", [&](uint8_t *o) { return olt_req_pon_switch(OLT, 1, pon_off.data(), o); }},
    };
    for (const auto &[name, build] : builders) {
        bytes out(OLT_RULES_REQUEST_MAX, 0xEE);
        out.resize(build(out.data()));
        EXPECT_EQ(out, vectors[name]) << name;
    }
    // Every rule slot of the file encodes to its rule within the largest
    // size; the cache slot the encoder reads stays as it was.
    for (const auto &[name, given] : vectors) {
        if (name.rfind("slot: ", 0) != 0)
            continue;
        bytes slot = given, out(RULE_ENCODED_MAX);
        slot.resize(RULE_SLOT_SIZE, 0);
        const bytes kept = slot;
        out.resize(rule_encode(slot.data(), out.data()));
        EXPECT_EQ(out, vectors["rule: " + name.substr(6)]) << name;
        EXPECT_EQ(slot, kept) << name;
    }
    // A full table of the largest rules fits the request.
    bytes slot = vectors["slot: counts capped"], table(RULE_TABLE_SIZE, 0);
    slot.resize(RULE_SLOT_SIZE, 0);
    for (int s = 0; s < RULE_SLOTS; s++)
        std::copy(slot.begin(), slot.end(), table.begin() + s * RULE_SLOT_SIZE);
    bytes full(OLT_RULES_REQUEST_MAX + 1, 0xEE);
    EXPECT_EQ(olt_req_rules(OLT, 1, table.data(), full.data()), OLT_RULES_REQUEST_MAX);
    EXPECT_EQ(full[OLT_RULES_REQUEST_MAX], 0xEE);
    const uint8_t no_vlan[9] = {1};
    EXPECT_FALSE(olt_domain_wanted(0x402, no_vlan));
    EXPECT_TRUE(olt_domain_wanted(0x401, no_vlan));
}

} // namespace
