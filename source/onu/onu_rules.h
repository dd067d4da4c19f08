// An ONU's classification rule tables: the merge of the ONU's own rules
// with those of its rules profile, and the download of a table to the ONU
// in messages of four rules (request 0x00B7).
//
// Threads: the profiler thread (ONU configuration), holding the ONU
// record; the chip link's send lock is taken innermost. The configuration
// cache is read without a lock (see profiler_cache.h). No pool block
// outlives a call.
//
// A rule table is 56 rule entries of 86 bytes, then 56 state bytes (0
// empty, 1 from the rules profile, 2 the ONU's own). The messages are built
// by a pure function of the table, so their bytes are checked without a
// chip.
#pragma once

#include <cstddef>
#include <cstdint>

struct onu_record;

constexpr int ONU_RULE_SLOTS = 56;
constexpr size_t ONU_RULE_SIZE = 86;
constexpr size_t ONU_RULE_STATES = ONU_RULE_SLOTS * ONU_RULE_SIZE;   // state bytes follow the entries
constexpr size_t ONU_RULE_TABLE_SIZE = ONU_RULE_STATES + ONU_RULE_SLOTS;
constexpr uint8_t ONU_RULE_EMPTY = 0;
constexpr uint8_t ONU_RULE_FROM_PROFILE = 1;
constexpr uint8_t ONU_RULE_OWN = 2;
constexpr int ONU_RULE_CLAUSES_MAX = 8;
constexpr size_t ONU_RULE_HEADER = 6;
constexpr size_t ONU_RULE_CLAUSE = 10;

// Rules profile (one entry of the cache's rules table): enabled byte, then
// the PON, UNI0 and UNI1 tables.
constexpr size_t RULES_PROFILE_ENABLED = 0;
constexpr size_t RULES_PROFILE_PON = 1;
constexpr size_t RULES_PROFILE_UNI0 = 4873;
constexpr size_t RULES_PROFILE_UNI1 = 9745;
constexpr int RULES_MERGE_DISABLED = 1;

// ---- merge ---------------------------------------------------------------------
// One table: own rules moved down in order, everything after the last own
// rule emptied, then the profile table's taken rules appended from the
// slot after it (slot 1 on when there is no own rule). Pure.
void onu_rules_merge_table(uint8_t *table, const uint8_t *profile_table);
// The three tables of a configuration block (16060 bytes) with a rules
// profile: 0, or 1 (nothing touched) when the profile is disabled. Pure.
int onu_rules_merge(uint8_t *block, const uint8_t *profile);
// The ONU's own block with the rules profile its record names. 0, or 1
// when that profile is disabled or does not exist.
int profiler_onu_rules_merge(onu_record *onu);

// ---- download --------------------------------------------------------------------
constexpr int ONU_RULES_PER_MESSAGE = 4;
constexpr size_t ONU_RULES_MESSAGE_HEADER = 10;   // MAC, port, first-message mark, count
constexpr size_t ONU_RULES_MESSAGE_MAX =
    ONU_RULES_MESSAGE_HEADER + ONU_RULES_PER_MESSAGE * (ONU_RULE_HEADER + ONU_RULE_CLAUSES_MAX * ONU_RULE_CLAUSE);
constexpr int ONU_RULES_MESSAGES_MAX = ONU_RULE_SLOTS / ONU_RULES_PER_MESSAGE + 1;
constexpr uint8_t ONU_RULES_FIRST_MARK = 4;

// One rule in the chip's form: 1, byte A, action, parameter, clause count,
// the clauses. The PON table's 0x02/0x12 parameters are one higher in their
// first byte. Returns the bytes written (6 + 10 per clause).
size_t onu_rule_encode(uint8_t *out, const uint8_t *rule, bool pon);
struct onu_rules_message {
    uint8_t data[ONU_RULES_MESSAGE_MAX];
    size_t len;
};
// The messages that download `table` to port `port`: full ones of four
// rules, then always a final one with the 0..3 left; the first carries
// mark 4. Returns their number. Pure.
int onu_rules_messages(const uint8_t *table, const uint8_t mac[6], uint16_t port,
                       onu_rules_message out[ONU_RULES_MESSAGES_MAX]);
// The table of `port` (0 PON, 1 UNI0, 2 UNI1) within a configuration block;
// NULL for another port.
const uint8_t *onu_block_rule_table(const uint8_t *block, uint16_t port);
// Downloads the table of `port` from the configuration block `block`.
// 0; 3 when a message is refused; 4; the transport's code (both logged);
// TEK_RC_REFUSED for a port without table.
int profiler_onu_rules_internal(int olt, const uint8_t mac[6], uint16_t port, const uint8_t *block);
