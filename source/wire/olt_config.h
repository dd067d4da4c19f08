// The OLT configuration as the configuration module sends it (the data of
// its answer to 0x1004): where each block sits and what its bytes mean.
// The daemon's OLT configuration reads it; the simulated configuration
// module builds it from a board file. Numbers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

// One rule slot of a port's rule tables, as stored.
constexpr size_t RULE_SLOT_SIZE = 124;
constexpr size_t RULE_CONDITIONS_MAX = 4;
constexpr size_t RULE_ACTIONS_MAX = 8;

// ---- the OLT configuration ---------------------------------------------------
constexpr size_t OLT_CONFIG_DATA_SIZE = 32558;
constexpr size_t OLT_CONFIG_PARAMS = 1;            // two u16 LE
constexpr size_t OLT_CONFIG_PON[2] = {5, 8035};
constexpr size_t OLT_CONFIG_NNI[2] = {16065, 24002};
constexpr size_t OLT_CONFIG_GLOBAL = 31939;
constexpr size_t OLT_CONFIG_OPTION = 31982;
constexpr size_t OLT_CONFIG_IDENTIFIERS = 31995;
constexpr size_t OLT_CONFIG_DOMAINS = 32522;
constexpr size_t PON_BLOCK_SIZE = 8030;
constexpr size_t NNI_BLOCK_SIZE = 7937;
constexpr size_t GLOBAL_BLOCK_SIZE = 43;
constexpr size_t OPTION_BLOCK_SIZE = 13;
constexpr size_t IDENTIFIER_BLOCK_SIZE = 527;
constexpr size_t DOMAIN_ENTRY_SIZE = 9;
constexpr int DOMAIN_COUNT = 4;
static_assert(OLT_CONFIG_PON[1] + PON_BLOCK_SIZE == OLT_CONFIG_NNI[0]);
static_assert(OLT_CONFIG_NNI[1] + NNI_BLOCK_SIZE == OLT_CONFIG_GLOBAL);
static_assert(OLT_CONFIG_GLOBAL + GLOBAL_BLOCK_SIZE == OLT_CONFIG_OPTION);
static_assert(OLT_CONFIG_OPTION + OPTION_BLOCK_SIZE == OLT_CONFIG_IDENTIFIERS);
static_assert(OLT_CONFIG_IDENTIFIERS + IDENTIFIER_BLOCK_SIZE == OLT_CONFIG_DOMAINS);
static_assert(OLT_CONFIG_DOMAINS + DOMAIN_COUNT * DOMAIN_ENTRY_SIZE == OLT_CONFIG_DATA_SIZE);

// Inside a PON port block.
constexpr size_t PON_ENABLE = 0;
constexpr size_t PON_RULES = 94;
// Inside an NNI port block.
constexpr size_t NNI_RULES = 1;
// Rule tables.
constexpr int RULE_TABLES = 4;
constexpr int RULE_SLOTS = 16;
constexpr size_t RULE_TABLE_SIZE = RULE_SLOTS * RULE_SLOT_SIZE;   // 1984
static_assert(PON_RULES + RULE_TABLES * RULE_TABLE_SIZE == PON_BLOCK_SIZE);
static_assert(NNI_RULES + RULE_TABLES * RULE_TABLE_SIZE == NNI_BLOCK_SIZE);
// Global block: the byte copied into the OLT's global parameter byte.
constexpr size_t GLOBAL_PARAMETER = 9;
// Option block: the option 82 format.
constexpr size_t OPTION_FORMAT = 12;
// Identifier block: the PPPoE+ tag format and the two templates.
constexpr size_t IDENTIFIER_FORMAT = 14;
constexpr size_t IDENTIFIER_CIRCUIT = 15;
constexpr size_t IDENTIFIER_REMOTE = 271;
constexpr size_t IDENTIFIER_TEMPLATE_SIZE = 256;
// Multicast domain entry.
constexpr size_t DOMAIN_ENABLED = 0;
constexpr size_t DOMAIN_ADDRESS_PARAM = 1;
constexpr size_t DOMAIN_VLAN = 2;            // u16 LE
constexpr size_t DOMAIN_RULE_PARAM = 4;
constexpr size_t DOMAIN_ADDRESS = 5;         // 4 bytes, network order
constexpr uint16_t DOMAIN_FIRST_ID = 0x401;
constexpr uint16_t DOMAIN_FIRST_INDEX = 0x2000;
