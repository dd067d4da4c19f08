// ONU statistics: one statistics group of an ONU port read from the chip
// (request 0x0138), as the ONU commands and RADIUS accounting use it.
//
// Threads: any; one chip exchange (teklink_send_lock, innermost). The
// decoder is a pure function of bytes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t ONU_STAT_ENTRY_SIZE = 12;     // id (u16), two bytes, value (u64), big-endian
constexpr size_t ONU_STAT_ANSWER_ECHO = 9;     // the answer repeats 02, MAC and port first
constexpr size_t ONU_STAT_MAX_ENTRIES = 64;

struct onu_stat_entry {
    uint16_t id;
    uint64_t value;
};

// The entries of a statistics answer (the answer data after RCODE, `size`
// bytes): at most `max`, only whole entries. Their number.
size_t onu_statistics_decode(const uint8_t *data, size_t size, onu_stat_entry *out, size_t max);

// Reads group `group` of port `port` of the ONU `mac` behind OLT `olt`: 0
// with the entries in `out` (room for ONU_STAT_MAX_ENTRIES) and their number
// in `*count`; 3 when the chip refused (non-zero RCODE), 4 without a pool
// block, or the transport's negative result.
int onu_statistics_request(int olt, const uint8_t mac[6], uint16_t port, uint16_t group, onu_stat_entry *out,
                           size_t *count);
