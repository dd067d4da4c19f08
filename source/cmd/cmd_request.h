// What every management command shares: the 32-byte parameter block at the
// head of its payload, the echo of that block in its answer, and the one
// chip exchange most commands make.
//
// Threads: the handler threads of the management link (mgmt/kernhandlers.h)
// call these, several at once; nothing here keeps state. Chip request and
// answer blocks are freed by the function that allocated or was given them.
#pragma once

#include "base/bytes.h"

#include <cstddef>
#include <cstdint>
#include <functional>

constexpr size_t CMD_PARAMS_SIZE = 32;
constexpr int CMD_CHIP_TIMEOUT = 2;

// Result codes of the commands' answers.
enum : uint8_t {
    CMD_RC_OK = 0,
    CMD_RC_UNSUPPORTED = 1,   // sub-command or request kind; also a payload too short to read
    CMD_RC_BAD_OLT = 2,
    CMD_RC_FAILED = 3,
    CMD_RC_LIST_FULL = 4,     // the update schedule
    CMD_RC_TIMEOUT = 6,
    CMD_RC_NOT_FOUND = 8,
    CMD_RC_ALREADY_LISTED = 9,
    CMD_RC_PARTLY_ADDED = 10,
    CMD_RC_CONFIG_FAILED = 12,
    CMD_RC_ALREADY_RUNNING = 255,
};

// A command's payload as received: the parameter block and whatever follows
// it, bounded by the bytes the message holds.
struct cmd_params {
    uint8_t block[CMD_PARAMS_SIZE];   // zero-padded when the payload is shorter
    const uint8_t *payload;
    size_t size;                      // payload bytes actually there

    uint16_t u16(size_t at) const { return load_le16(block + at); }
    uint32_t u32(size_t at) const { return load_le32(block + at); }
    const uint8_t *mac() const { return block + 12; }   // statistics commands
    // The bytes after the parameter block (text, personality).
    const uint8_t *data() const { return payload + CMD_PARAMS_SIZE; }
    size_t data_size() const { return size > CMD_PARAMS_SIZE ? size - CMD_PARAMS_SIZE : 0; }
    bool has_block() const { return size >= CMD_PARAMS_SIZE; }
};

// Reads the payload of `request` (header and payload, a block of `length`
// bytes): never past `length`, nor past the length the header claims.
cmd_params cmd_params_decode(const uint8_t *request, size_t length);
// The same for a received pool block (its length is what arrived).
cmd_params cmd_params_of(const uint8_t *request);
// The handlers' common opening: true with `*p` read; a payload without its
// parameter block cannot be read, and is answered rcode 1 (false) and
// counted as a refused payload.
bool params_or_refuse(uint8_t *request, cmd_params *p);

// Reads a chip answer (the whole response block, any RCODE), lent for the
// length of the call.
using cmd_answer_reader = std::function<void(const uint8_t *answer)>;
// One chip request: `len` bytes of `data` to OLT `olt`. 0 once `read` has
// had the answer, or the chip link's negative result, or -CMD_RC_FAILED when
// no block could be had.
int cmd_chip_exchange(int olt, uint16_t id, const uint8_t *data, size_t len, const cmd_answer_reader &read);
// The answer code of a chip exchange whose answer carries nothing we need:
// 0, CMD_RC_FAILED for a non-zero RCODE, or -r for the transport's failure r.
int cmd_chip_simple(int olt, uint16_t id, const uint8_t *data, size_t len);
// A chip link failure r (negative) as an answer code.
inline uint8_t cmd_rc_of_transport(int r) { return uint8_t(-r); }

// Answers with `rcode` and no data / with the echo / with the echo followed
// by `size` bytes of `extra`.
void cmd_reply(const uint8_t *request, int rcode);
void cmd_reply_echo(const uint8_t *request, const cmd_params &p, int rcode);
void cmd_reply_echo_data(const uint8_t *request, const uint8_t echo[CMD_PARAMS_SIZE], int rcode,
                         const void *extra, size_t size);
