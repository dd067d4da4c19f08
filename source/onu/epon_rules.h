// ONU classification rules as text: the layer that stands where the chip
// vendor's rule library would. A RADIUS server hands an ONU its own rules
// as readable texts; `epon_rule_translate_to_bin` turns one text into the
// 86-byte rule entry of the ONU rule tables, which the rule download sends
// to the ONU.
//
// Text syntax (docs/radius-rules.md): blank-separated `key=value` words.
//   a=N            rule byte A (0..255), default 0
//   action=N       action code (0..255), required
//   param=N        action parameter, a 16-bit number (default 0), or
//   param=X.Y      the parameter's two bytes as such (actions 0x02, 0x12)
//   fieldF=V op=O  one clause: field code F (0..255), value V, operator O
//                  (0..255); up to eight clauses, `op` right after its field
// V is a MAC address ("00:0D:B6:01:02:03") for field codes 0 and 1, an IPv4
// address ("224.0.0.1") for field codes 12..15, and an unsigned 64-bit
// number (decimal or 0x hex) for every other field code. Numbers are
// decimal or 0x hex.
//
// Rule entry (86 bytes): 0 not sent; 1 rule byte A; 2 action code; 3..4 the
// action parameter (host order for a number, the two bytes as given for
// X.Y); 5 clause count; clause c at 6 + 10c: field code, 8 value bytes,
// operator. A MAC fills the first six value bytes, an IPv4 address the
// first four, a number is a 64-bit little-endian value.
//
// The rule tables themselves, their places and states: onu/onu_rules.h.
//
// Pure functions over caller buffers; safe from any thread.
#pragma once

#include "onu/onu_rules.h"

#include <cstddef>
#include <cstdint>

// One rule text into one 86-byte entry. 0 on success; -1 for a text that
// does not follow the syntax, with `entry` untouched.
int epon_rule_translate_to_bin(const char *text, uint8_t *entry);
