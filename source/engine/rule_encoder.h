// Rule encoder: one classification rule as the configuration module stores
// it (a 124-byte slot) into the chip's rule format, as the OLT port rule
// tables and the ONU service paths send it.
//
// Slot: byte 0 in use, 1 precedence, 2 condition count (at most 4), 3..26
// four conditions of 6 bytes (field code, 5 value bytes, numbers
// little-endian), 27 action count (at most 8), 28..123 eight actions of 12
// bytes (3 header bytes, the second the action code; 8 value bytes; one
// final byte).
//
// Output: precedence, condition count, per condition the field code, a
// length byte and the value turned into the chip's byte order (a field code
// the chip gives no value gets neither), then the action count and the
// actions with their value bytes rearranged by action code.
//
// The slot is only read (const: callers with a writable slot pass it as
// before). The chip's byte orders are produced in a copy, so
// a slot from the process-wide configuration cache encodes to the same bytes
// however often it is encoded (a second OLT reconfiguration, a second ONU of
// the same profile); callers may pass cache slots directly. Counts above 4
// conditions or 8 actions are taken as 4 and 8: the slot holds no more.
//
// Pure function; any thread.
#pragma once

#include "wire/olt_config.h"

#include <cstddef>
#include <cstdint>

constexpr size_t RULE_ENCODED_MAX = 127;

// Writes the encoded rule to `out` (room for RULE_ENCODED_MAX bytes) and
// returns its length. `slot` is left as it was.
size_t rule_encode(const uint8_t slot[RULE_SLOT_SIZE], uint8_t *out);
