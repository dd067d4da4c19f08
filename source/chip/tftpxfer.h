// Whole-image TFTP transfers, block by block, over a block step.
//
// A transfer is a loop of block exchanges: for a write, block 0 is the WRQ
// and block k > 0 is DATA k with bytes (k - 1) x 512 of the image; for a
// read, block 0 is the RRQ and block k > 0 the ACK of DATA k (each fetching
// DATA k + 1). Each block is tried up to four times with a one-second pause
// after every failed try; the first block that reports "last" ends the
// transfer. A read step that gets the previous DATA block again (the peer
// missed our ACK) reports a repeat: as TFTP does, the ACK goes out again at
// once, without the pause, and the repeat counts as a try. The step that exchanges one block is given by the caller: the
// chip link (tektftp) on the board, a test double in tests.
//
// Threads: a transfer runs on its caller's thread and keeps no state between
// calls; `tftp_pause` is set once, by tests, before any transfer runs.
#pragma once

#include <cstddef>
#include <cstdint>

// Results of one block step.
enum : int {
    TFTP_BLOCK_MORE = 0,      // block done, more to come
    TFTP_BLOCK_LAST = 13,     // last block done
    TFTP_BLOCK_BAD = 3,       // non-zero RCODE, wrong TFTP opcode or block, or a malformed answer
    TFTP_BLOCK_REPEAT = 1,    // read: the peer sent the DATA block before again; nothing kept
    TFTP_BLOCK_NO_MEMORY = -1,
    // or the negative result of teklink_message_send
};

constexpr int TFTP_BLOCK_TRIES = 4;
constexpr unsigned TFTP_RETRY_PAUSE_SECONDS = 1;
// DATA blocks are numbered in 16 bits; an image needing this many blocks or
// more (counting the final short or empty one) is refused before it starts.
constexpr uint32_t TFTP_MAX_DATA_BLOCKS = 65533;
// Result of a transfer refused before its first block.
constexpr int TFTP_IMAGE_TOO_LARGE = -100;

// Sleeps between tries and before an ONU personality write: a delay of the
// daemon's clock (clock_delay) on the board; tests point it at a recorder so
// that no test waits real seconds.
extern void (*tftp_pause)(unsigned seconds);

// Block step of a write: block 0 sends the request (no data), block k > 0
// sends DATA k with `size` (0..512) bytes.
using tftp_write_step = int (*)(void *ctx, uint16_t block, const uint8_t *data, size_t size);
// Block step of a read: block 0 sends the request, block k > 0 acknowledges
// DATA k; the DATA that answers lands at `dest`, which has room for `room`
// bytes, and its length goes to *size. A peer sending more than `room` makes
// the step fail.
using tftp_read_step = int (*)(void *ctx, uint16_t block, uint8_t *dest, size_t room, size_t *size);

// DATA blocks an image of `size` bytes needs: one per 512 bytes plus the
// final short (possibly empty) one.
inline uint32_t tftp_data_blocks(size_t size) { return uint32_t(size / 512 + 1); }

// Writes `size` bytes of `image`. 0 when the last block was acknowledged;
// TFTP_IMAGE_TOO_LARGE; or the result of the last failed try of the block
// that failed four times.
int tftp_write_image(tftp_write_step step, void *ctx, const uint8_t *image, size_t size);

// Reads into `buffer` (room for `capacity` bytes). 0 with *total set when
// the last block arrived, or the result of the last failed try. *total
// counts the bytes received either way; it never exceeds `capacity`.
int tftp_read_image(tftp_read_step step, void *ctx, uint8_t *buffer, size_t capacity, size_t *total);
