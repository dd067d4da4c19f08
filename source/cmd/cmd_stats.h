// Statistics commands: the read (0x1002) and the clear (0x1006) of port and
// ONU counter groups. The chip's answer to a read is a list of 12-byte
// entries (id u16, two bytes, value u64, big-endian) that the management
// process reads little-endian.
//
// Threads: the handler threads; the pure functions below from any thread.
#pragma once

#include "cmd/cmd_request.h"

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t STATS_REQUEST_LEN = 13;
constexpr size_t STATS_ENTRY_SIZE = 12;
constexpr size_t STATS_ANSWER_DATA = 19;   // wire offset of the entries in the chip's answer
constexpr size_t STATS_ANSWER_SKIP = 9;    // LEN less this is the answer's data size
constexpr size_t STATS_COUNT_AT = 10;      // in the echo
constexpr uint8_t STATS_SELECT_PORT = 0x05;
constexpr uint8_t STATS_SELECT_ONU = 0x02;

enum : uint16_t {
    STATS_CLEAR_OLT = 27,
    STATS_CLEAR_ONU = 28,
};

// The counter group of a read's sub-command, or -1 when there is none.
int stats_group(uint16_t subcommand);
// The ONU groups (sub-commands 15..18); the rest are port groups.
bool stats_is_onu_group(uint16_t subcommand);
// The port groups a clear knows (sub-commands 2, 3, 6..9), or -1.
int stats_clear_group(uint16_t subcommand);
// Whether an ONU of type `type` has port `port` to count: types 1 and 2 have
// no ports 3 and 4, types 3..18 no ports 2..4.
bool stats_onu_port_allowed(uint8_t type, uint32_t port);
// The 13 data bytes of request 0x0138: selector, MAC, port, group, FF, then
// 01 to clear or 00 to read.
size_t stats_request(uint8_t selector, const uint8_t mac[6], uint16_t port, uint16_t group, bool clear,
                     uint8_t out[STATS_REQUEST_LEN]);
// The answer of a read from the chip's answer `response` (a teklink_msg):
// the echo with the entry count at bytes 10..11, then LEN - 9 bytes holding
// the entries converted to little-endian. Only whole entries within the
// bytes received are converted and counted; the rest stays zero. False when
// the answer is too short to hold any data.
bool stats_answer(const uint8_t *response, const uint8_t echo[CMD_PARAMS_SIZE], std::vector<uint8_t> *out);

// The handlers.
uint8_t *cmd_stats_read(uint8_t *request);    // 0x1002
uint8_t *cmd_stats_clear(uint8_t *request);   // 0x1006
