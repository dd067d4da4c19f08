// Firmware and personality transfer: TFTP carried inside chip requests,
// 0x000B to the OLT chip itself and 0x0014 relayed by the OLT to an ONU.
//
// Each block is one teklink_message_send exchange, so a transfer holds the
// chip link's send lock for one block at a time and other chip traffic
// interleaves between blocks. Transfers run on their caller's thread
// (management handlers, the update scheduler, the chip event and
// provisioning threads) and keep no state between calls. The ONU operations
// look the ONU's OLT up in the data store (its record lock, briefly, never
// held across a block). Blocks returned are the caller's, freed with BFREE.
#pragma once

#include "wire/ids.h"

#include "chip/tftpxfer.h"
#include "wire/tftp.h"

#include <cstddef>
#include <cstdint>

// The largest request block: teklink_msg header, ONU MAC, one DATA packet.
constexpr size_t TFTP_REQUEST_BLOCK = 8 + TFTP_ONU_MAC_SIZE + 4 + 512;

// Seconds teklink_message_send waits for each answer.
struct tftp_timeouts {
    int read;      // RRQ and ACK of a read: 20
    int write;     // WRQ and DATA of a write: 60
    int closing;   // the closing ACK of a read: 1
};
// The board's values; tests shorten them before a transfer runs so that a
// dropped block costs them seconds, not minutes.
extern tftp_timeouts tftp_timeout;

// Results of the image operations.
enum : int {
    TFTP_IMAGE_OK = 0,
    TFTP_IMAGE_FAILED = 3,
    TFTP_ONU_NOT_FOUND = -1,
};

// Notification codes of the upgrades.

// --- block operations -------------------------------------------------------
// Each returns TFTP_BLOCK_MORE, TFTP_BLOCK_LAST, TFTP_BLOCK_BAD (non-zero
// RCODE, wrong TFTP opcode, malformed answer, DATA out of order or that does
// not fit), TFTP_BLOCK_REPEAT (a read got the DATA block before again),
// TFTP_BLOCK_NO_MEMORY, or the negative result of teklink_message_send.

// Block n = 0 sends the RRQ for "personality", n > 0 the ACK of DATA n; the
// DATA n + 1 that answers (at most `room` bytes) lands at `dest`, its length
// in *size. After a short DATA the closing ACK n + 1 goes out (result
// ignored).
int tftp_onu_read_block(int olt, const uint8_t mac[6], uint16_t n, uint8_t *dest, size_t room, size_t *size);
int tftp_olt_read_block(int olt, uint16_t n, uint8_t *dest, size_t room, size_t *size);
// Block 0 sends the WRQ for `file`, block k > 0 DATA k with `size` bytes.
// LAST after the ACK of a DATA block shorter than 512 bytes.
int tftp_onu_write_block(int olt, const uint8_t mac[6], const char *file, uint16_t block, const uint8_t *data,
                         size_t size);
int tftp_olt_write_block(int olt, const char *file, uint16_t block, const uint8_t *data, size_t size);

// How the block operations judge a chip's answer; pure, so that answers of
// any content can be thrown at them. `response` is a teklink_msg of
// `length` bytes as received (tekmsg_size; bytes past LEN or past those
// received are never read);
// `onu` says whether a MAC precedes the TFTP packet (request 0x0014).
// A read answer: DATA block number `block` of at most 512 and at most `room`
// bytes, copied to `dest`: TFTP_BLOCK_MORE for a full block, TFTP_BLOCK_LAST
// for a short one. DATA `block` - 1 again is TFTP_BLOCK_REPEAT, any other
// block TFTP_BLOCK_BAD; neither is copied.
int tftp_read_answer(const uint8_t *response, size_t length, bool onu, uint16_t block, uint8_t *dest, size_t room,
                     size_t *size);
// A write answer: an ACK, TFTP_BLOCK_MORE; anything else TFTP_BLOCK_BAD.
int tftp_write_answer(const uint8_t *response, size_t length, bool onu);

// --- image operations ---------------------------------------------------------

// OLT boot and application images ("boot", "app"). Both log their start and
// outcome and notify the management process (133 updated, 139 failed).
// 0, or 3 (also for an image of 65533 blocks or more).
int tftp_olt_boot_upgrade(int olt, const uint8_t *image, size_t size);
int tftp_olt_app_upgrade(int olt, const uint8_t *image, size_t size);
// The OLT's personality in a new 1304-byte block ('N' in byte 1287 for a
// read shorter than the block), or NULL. A chip sending more than 1304
// bytes fails the read.
uint8_t *tftp_olt_pers_read(int olt);
// Sets the board's values and the CRC in the 1288-byte `image` (in place)
// and writes it. 0, or 3.
int tftp_olt_pers_write(int olt, uint8_t *image);

// ONU application image ("app"): 0, 3, or -1 when no ONU has that MAC.
// Notifies 133 or 139.
int tftp_onu_app_upgrade(const uint8_t mac[6], const uint8_t *image, size_t size);
// The ONU's personality in a new 2413-byte block ('M' in byte 2412 for the
// short form), or NULL: ONU unknown, transfer failed, more than 2413 bytes
// sent, or a CRC that does not match.
uint8_t *tftp_onu_pers_read(const uint8_t mac[6]);
// The same for an ONU known to be behind OLT `olt`.
uint8_t *tftp_onu_pers_read_on(const uint8_t mac[6], int olt);
// Pauses 2 seconds, sets the board's values and the CRC in the 2413-byte
// `image` (in place) and writes its 2413 bytes. 0, 3, or -1 (ONU unknown).
int tftp_onu_pers_write(const uint8_t mac[6], uint8_t *image);
