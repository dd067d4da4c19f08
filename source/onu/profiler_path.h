// Service paths and destinations: an ONU's links are grouped by its paths
// profile into up to two service paths (one per UNI); each path with links
// gets a destination in the OLT chip with its links' classification rules,
// a MAC learning limit, static IPv4 clients and the subscriber identifiers.
// Also the management look-ups over what the destinations learned.
//
// Threads: the profiler thread configures paths with the ONU record's lock
// held; the management handlers run the look-ups, which lock one ONU record
// at a time. The chip link's send lock is taken innermost. Requests and
// answers are pool blocks freed on every path; the look-ups' buffers belong
// to their callers.
#pragma once

#include "engine/rule_encoder.h"
#include "wire/ids.h"

#include <cstddef>
#include <cstdint>

struct onu_record;

constexpr size_t PATHS_LINK_PATH = 4;            // + 1985 × link
constexpr size_t PATHS_LINK_STRIDE = 1985;
constexpr size_t PATHS_RULES = 7944;              // + 1984 × path
constexpr size_t PATHS_RULES_STRIDE = 1984;
constexpr int PATH_RULE_SLOTS = 16;
constexpr size_t RULE_SLOT_CONDITIONS = 3;        // count at byte 2, 6 bytes each
constexpr size_t RULE_CONDITION_SIZE = 6;
constexpr int RULE_MAX_CONDITIONS = 4;
constexpr uint8_t RULE_FIELD_LINK = 10;
constexpr int PATH_COUNT = 2;
constexpr uint16_t DEST_INDEX_BASE = 1024;
constexpr int DEST_CREATE_ATTEMPTS = 3;
constexpr size_t DEST_LINK_FIXED = 47;            // a link part without its rules
constexpr size_t UNI_LEARNING_LIMIT = 4;          // UNI port parameter byte
constexpr size_t UNI_STATIC_CLIENTS = 4884;       // from the UNI port block
constexpr int STATIC_CLIENTS_MAX = 64;
constexpr size_t STATIC_CLIENT_SIZE = 11;
constexpr size_t STATIC_ENTRY_SIZE = 32;
constexpr size_t LEARNING_LEN = 8;
constexpr int LEARNED_MACS_MAX = 16384;
constexpr size_t ADDRESS_ENTRY_SIZE = 20;
constexpr int ADDRESS_ENTRIES_KEPT = 4;
constexpr size_t LOOKUP_RECORD_HEAD = 18;

extern const uint8_t destination_tail[25];

// The destination index of a path whose first link has path identifier `path`.
uint16_t destination_index(uint16_t path);

// ---- payload builders --------------------------------------------------------
void dest_learning_payload(uint16_t dest, uint8_t limit, uint8_t out[LEARNING_LEN]);
// 0x01FD: the used entries of `list` (count LE32, then 11-byte entries; the
// first `count` looked at, at most 64). Returns LEN, 0 when none is used.
size_t static_clients_payload(uint16_t dest, const uint8_t link_mac[6], const uint8_t *list, uint8_t *out,
                              size_t capacity);
// Rewrites the field-10 conditions of the path's rule slots to link
// positions and assigns each slot to a position (`owner`, −1 for an unused
// slot). 0, or the link index that no link of the path has (its value + 1
// is returned negated, so 0 stays success).
int dest_prepare_rules(uint8_t slots[PATH_RULE_SLOTS][RULE_SLOT_SIZE], const int *links, int link_count,
                       int owner[PATH_RULE_SLOTS]);

// ---- answer decoders (bytes after RCODE) -------------------------------------
// Learned MACs (count at 2, MACs from 4): up to `max` copied to `out`, never
// more than the answer holds. The number copied.
int learned_macs_decode(const uint8_t *answer, size_t size, uint8_t *out, int max);
// Address entries (count at 2, 20-byte entries from 4): at most 4 kept, the
// u16 at entry offset 6 turned to host order. The number kept.
int address_entries_decode(const uint8_t *answer, size_t size, uint8_t out[ADDRESS_ENTRIES_KEPT * ADDRESS_ENTRY_SIZE]);

// ---- operations ---------------------------------------------------------------
int profiler_paths_reconfigure_internal(onu_record *onu);
int profiler_onu_path_internal(onu_record *onu, int path, const uint8_t *profile, bool learning, uint8_t limit,
                               const uint8_t *clients);
int profiler_onu_destination_create_internal(onu_record *onu, int path, const uint8_t *profile, uint16_t *dest);
int profiler_onu_destination_delete_internal(onu_record *onu, uint16_t dest);
int profiler_onu_path_static_entry_internal(uint16_t dest, int path, int olt, const uint8_t link_mac[6],
                                            const uint8_t *clients);
int profiler_onu_path_olt_learning_internal(onu_record *onu, uint16_t dest, bool on, uint8_t limit);
// Up to `max` learned MACs into `out` (6 bytes each); `*count` the number
// copied. 0, 3 refused, 4/-1 no memory, or the transport code.
int profiler_dest_learned_macs(int olt, uint16_t dest, uint8_t *out, int max, int *count);
// Up to 4 address entries of 20 bytes, the u16 at entry offset 6 in host order.
int profiler_dest_address_entries(int olt, uint16_t dest, uint8_t *out, int *count);

// ---- management look-ups (ONUs in state OK only) ----------------------------------
// 0 with the ONU MAC and the path number (1 or 2); 8 no match; -1 no memory.
int profiler_find_by_learned_mac(int olt, int port, const uint8_t mac[6], uint8_t onu_mac[6], int *path);
// Records of 18 + 6n bytes (ONT number LE32, ONU MAC, state LE32, OLT, PON
// port, path number, n, n MACs) appended within `capacity`; an ONU given by
// `onu_mac` (non-NULL) instead of OLT and port. The number of records;
// `*length` the bytes written.
int profiler_learned_mac_list(int olt, int port, const uint8_t *onu_mac, uint8_t *out, size_t capacity,
                              size_t *length);
// The same with address entries (18 + 20n bytes).
int profiler_address_entry_list(int olt, int port, uint8_t *out, size_t capacity, size_t *length);
