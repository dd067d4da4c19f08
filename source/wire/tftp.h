// TFTP packets (RFC 1350, "octet" mode, 512-byte blocks) as they travel
// inside chip requests 0x000B and 0x0014: RRQ, WRQ, DATA and ACK.
//
// The daemon never opens a TFTP socket; it encodes a packet into a chip
// request and decodes the chip's answer. The chip simulator uses the same
// codec for its side. Pure functions over caller buffers; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

enum : uint16_t {
    TFTP_RRQ = 1,
    TFTP_WRQ = 2,
    TFTP_DATA = 3,
    TFTP_ACK = 4,
    TFTP_ERROR = 5,
};

constexpr size_t TFTP_BLOCK_SIZE = 512;
constexpr size_t TFTP_DATA_HEADER = 4;                          // opcode, block number
constexpr size_t TFTP_MAX_PACKET = TFTP_DATA_HEADER + TFTP_BLOCK_SIZE;
constexpr const char *TFTP_MODE = "octet";

// The names the chips know.
constexpr const char *TFTP_FILE_BOOT = "boot";
constexpr const char *TFTP_FILE_APP = "app";
constexpr const char *TFTP_FILE_PERSONALITY = "personality";

// A packet relayed to an ONU (request 0x0014) follows the ONU's MAC.
constexpr size_t TFTP_ONU_MAC_SIZE = 6;

// Encoders: the packet's length, or 0 when it does not fit in `capacity`
// (or, for DATA, when more than one block of data is given).
// RRQ or WRQ: opcode, file name, 0, "octet", 0.
size_t tftp_encode_request(uint8_t *out, size_t capacity, uint16_t opcode, const char *file);
size_t tftp_encode_data(uint8_t *out, size_t capacity, uint16_t block, const uint8_t *data, size_t size);
size_t tftp_encode_ack(uint8_t *out, size_t capacity, uint16_t block);

// A decoded packet; pointers point into the decoded bytes.
struct tftp_packet {
    uint16_t opcode;
    uint16_t block;          // DATA, ACK (ERROR: the error code)
    const uint8_t *data;     // DATA: the data bytes
    size_t size;             // DATA: their number (may exceed a block; callers check)
    const char *file;        // RRQ, WRQ: NUL-terminated inside the packet
    const char *mode;
};

// Decodes `size` bytes. false when they are too short for the opcode they
// carry, or a request's name or mode is not NUL-terminated inside them.
// Unknown opcodes decode with only the opcode set.
bool tftp_decode(const uint8_t *packet, size_t size, tftp_packet *out);
