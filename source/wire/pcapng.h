// The capture file: both links of the daemon, as the daemon saw them, in
// pcapng (little-endian). The daemon writes it (wire/capture); the
// simulators read it back to replay a board's traffic.
//
// A section holds a Section Header Block, three Interface Description
// Blocks of link type IPv4 (228) named "chip", "mgmt" and "radius"
// (interface 0, 1, 2, in that order), then one Enhanced Packet Block per
// packet. Each packet is a synthesised IPv4 header (no options) ahead of a
// UDP or TCP header and the link's own bytes, so that a dissector keyed on
// the board's default ports decodes both links as they are:
//   chip    UDP, both ports 14113, the daemon's and the chip's addresses;
//           one datagram a packet
//   mgmt    TCP between 127.0.0.1:40001 (the daemon) and 127.0.0.1:7001
//           (the management process); the sequence numbers of each
//           direction run on, so the stream of messages reassembles; a
//           message longer than one IPv4 packet holds is cut into segments
//   radius  UDP with the real addresses and ports
// The EPB's flags option holds the direction as the daemon saw it (inbound
// 1, outbound 2: the pcapng epb_flags bits 0-1). Timestamps are
// microseconds since the epoch.
//
// Writing is split around the link's bytes (head, bytes, tail), so that a
// writer copies the bytes once, straight from where they lie. Reading
// checks every length before it reads: a capture file is outside input.
#pragma once

#include <cstddef>
#include <cstdint>

enum pcapng_interface : uint32_t { PCAPNG_CHIP = 0, PCAPNG_MGMT = 1, PCAPNG_RADIUS = 2, PCAPNG_INTERFACES = 3 };
enum pcapng_direction : uint8_t { PCAPNG_IN = 1, PCAPNG_OUT = 2 };

constexpr uint16_t PCAPNG_CHIP_PORT = 14113;
constexpr uint16_t PCAPNG_MGMT_PORT = 7001;
constexpr uint16_t PCAPNG_MGMT_DAEMON_PORT = 40001;
constexpr uint32_t PCAPNG_LOOPBACK = 0x7F000001;
constexpr uint16_t PCAPNG_LINKTYPE_IPV4 = 228;

// The most link bytes one packet holds: an IPv4 packet's 65535 less the
// IPv4 and TCP headers. Longer management messages go as several segments.
constexpr size_t PCAPNG_SEGMENT_MAX = 65535 - 20 - 20;
// The most bytes pcapng_head and pcapng_tail write.
constexpr size_t PCAPNG_HEAD_MAX = 28 + 20 + 20;
constexpr size_t PCAPNG_TAIL_MAX = 3 + 8 + 4 + 4;
// The bytes pcapng_section writes.
constexpr size_t PCAPNG_SECTION_SIZE = 144;

// One packet's addressing, as the daemon saw it. Addresses are IPv4 in
// host order; `seq` and `ack` are for TCP only.
struct pcapng_packet {
    uint32_t interface = PCAPNG_CHIP;
    uint8_t direction = PCAPNG_OUT;
    uint64_t time_us = 0;
    uint32_t local = 0, peer = 0;
    uint16_t local_port = 0, peer_port = 0;
    uint32_t seq = 0, ack = 0;
};

// The section header and the interface descriptions: PCAPNG_SECTION_SIZE
// bytes into `out`.
size_t pcapng_section(uint8_t *out);
// The block's head and its synthesised headers, for `length` link bytes
// (at most PCAPNG_SEGMENT_MAX); then the caller writes the bytes, then
// pcapng_tail. Each returns the bytes it wrote.
size_t pcapng_head(uint8_t *out, const pcapng_packet &packet, size_t length);
size_t pcapng_tail(uint8_t *out, const pcapng_packet &packet, size_t length);

// ---- reading ---------------------------------------------------------------

enum pcapng_result {
    PCAPNG_OK = 0,
    PCAPNG_END = 1,            // no packet left
    PCAPNG_NOT_PCAPNG = -1,    // no section header at the start
    PCAPNG_BIG_ENDIAN = -2,    // a big-endian section: not one the daemon wrote
    PCAPNG_TRUNCATED = -3,     // a block runs past the end of the file
    PCAPNG_BAD_BLOCK = -4,     // a block's lengths disagree or are not multiples of 4
    PCAPNG_BAD_INTERFACE = -5, // a packet of an interface that is not described, or not IPv4
    PCAPNG_BAD_PACKET = -6,    // a packet's IPv4, UDP or TCP header does not hold together
};
const char *pcapng_result_text(int result);

// A packet read back: its addressing, and its link bytes (a chip
// datagram, a management stream segment, a RADIUS datagram) within the
// file's bytes.
struct pcapng_record {
    pcapng_packet packet;
    const uint8_t *data = nullptr;
    size_t length = 0;
};

// A reader over a whole capture held in memory. Sections may follow each
// other (a ring's files concatenated); each brings its interfaces.
struct pcapng_reader {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t offset = 0;
    uint32_t interfaces = 0;  // described in the current section
    uint32_t names[8] = {};   // per interface: its pcapng_interface, by the name it was given
};

// Checks that `data` starts with a little-endian section header.
// PCAPNG_OK or an error.
int pcapng_open(pcapng_reader &reader, const uint8_t *data, size_t size);
// The next packet into `record`: PCAPNG_OK, PCAPNG_END, or an error (the
// reader then stays where the bad block starts, its offset names it).
int pcapng_next(pcapng_reader &reader, pcapng_record &record);
