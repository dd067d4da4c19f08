// Chip message codec: the wire layout of teklink messages and of the
// `teklink_msg` block that carries one inside the daemon.
//
// On the wire: ID, CTAG, LEN (u16 big-endian each), then LEN bytes. A
// response's payload starts with RCODE; a fragment (RCODE 14/15) and a long
// event (ID 0x8011 and up) add SEQN after it. In a `teklink_msg` block the
// OLT index (u16, host order) stands in front of the wire bytes, so every
// wire offset is shifted by two.
//
// The daemon and the chip simulator both encode and decode with these
// helpers. Pure functions over caller buffers; safe from any thread.
#pragma once

#include "base/balloc.h"
#include "base/bytes.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr size_t TEKMSG_HEADER = 6;           // ID, CTAG, LEN
constexpr size_t TEKMSG_MAX_DATAGRAM = 4096;  // receive buffer; longer datagrams are cut
constexpr uint16_t TEKMSG_ID_EVENT = 0x8000;       // first event ID
constexpr uint16_t TEKMSG_ID_LONG_EVENT = 0x8011;  // first event ID with RCODE and SEQN

enum : uint16_t {
    TEKLINK_RCODE_OK = 0,
    TEKLINK_RCODE_NO_OAM_BANDWIDTH = 10,
    TEKLINK_RCODE_NO_ONU_RESPONSE = 11,
    TEKLINK_RCODE_MORE = 14,   // multi part, more to come
    TEKLINK_RCODE_LAST = 15,   // multi part, last
};

// Offsets into a `teklink_msg` block.
constexpr size_t TEKLINK_MSG_OLT = 0;
constexpr size_t TEKLINK_MSG_ID = 2;
constexpr size_t TEKLINK_MSG_CTAG = 4;
constexpr size_t TEKLINK_MSG_LEN = 6;
constexpr size_t TEKLINK_MSG_DATA = 8;    // short event data; RCODE of a response
constexpr size_t TEKLINK_MSG_SEQN = 10;   // fragments and long events; answer data of a response
constexpr size_t TEKLINK_MSG_FRAGMENT_DATA = 12;

inline bool tekmsg_is_event(uint16_t id) { return id >= TEKMSG_ID_EVENT; }
inline bool tekmsg_is_long_event(uint16_t id) { return id >= TEKMSG_ID_LONG_EVENT; }
inline bool tekmsg_is_fragment_rcode(uint16_t rcode)
{
    return rcode == TEKLINK_RCODE_MORE || rcode == TEKLINK_RCODE_LAST;
}

// Wire bytes a datagram of this ID (and RCODE, when it has one) needs before
// its fields can be read: the header, RCODE for responses, SEQN for
// fragments and long events.
inline size_t tekmsg_min_length(uint16_t id, uint16_t rcode)
{
    if (!tekmsg_is_event(id))
        return tekmsg_is_fragment_rcode(rcode) ? TEKMSG_HEADER + 4 : TEKMSG_HEADER + 2;
    return tekmsg_is_long_event(id) ? TEKMSG_HEADER + 4 : TEKMSG_HEADER;
}

// --- teklink_msg blocks --------------------------------------------------
inline uint16_t tekmsg_olt(const uint8_t *msg)
{
    uint16_t olt;
    std::memcpy(&olt, msg + TEKLINK_MSG_OLT, 2);
    return olt;
}
inline void tekmsg_set_olt(uint8_t *msg, uint16_t olt) { std::memcpy(msg + TEKLINK_MSG_OLT, &olt, 2); }
inline uint16_t tekmsg_id(const uint8_t *msg) { return load_be16(msg + TEKLINK_MSG_ID); }
inline uint16_t tekmsg_ctag(const uint8_t *msg) { return load_be16(msg + TEKLINK_MSG_CTAG); }
inline uint16_t tekmsg_len(const uint8_t *msg) { return load_be16(msg + TEKLINK_MSG_LEN); }
// Only for blocks known to hold the field (see tekmsg_min_length).
inline uint16_t tekmsg_rcode(const uint8_t *msg) { return load_be16(msg + TEKLINK_MSG_DATA); }
inline uint16_t tekmsg_seqn(const uint8_t *msg) { return load_be16(msg + TEKLINK_MSG_SEQN); }

// Bytes of a `teklink_msg` pool block that hold data from `offset` on: what
// LEN announces, but never more than the block holds, since a datagram may
// have been shorter than its LEN said.
inline size_t tekmsg_block_data(const uint8_t *msg, size_t offset, size_t announced)
{
    size_t have = bsize(msg);
    have = have > offset ? have - offset : 0;
    return announced < have ? announced : have;
}
// The answer data of a response: the bytes after RCODE.
inline size_t tekmsg_answer_size(const uint8_t *msg)
{
    size_t len = tekmsg_len(msg);
    return tekmsg_block_data(msg, TEKLINK_MSG_SEQN, len >= 2 ? len - 2 : 0);
}

// Fills the header of a `teklink_msg` block; the caller writes `len` bytes of
// data at TEKLINK_MSG_DATA.
inline void tekmsg_set_header(uint8_t *msg, uint16_t olt, uint16_t id, uint16_t ctag, uint16_t len)
{
    tekmsg_set_olt(msg, olt);
    store_be16(msg + TEKLINK_MSG_ID, id);
    store_be16(msg + TEKLINK_MSG_CTAG, ctag);
    store_be16(msg + TEKLINK_MSG_LEN, len);
}

// --- wire datagrams -------------------------------------------------------
struct tekmsg_header {
    uint16_t id;
    uint16_t ctag;
    uint16_t len;
};

// The header of a received datagram; false when it is shorter than one.
inline bool tekmsg_parse_header(const uint8_t *datagram, size_t length, tekmsg_header *out)
{
    byte_reader in(datagram, length);
    out->id = in.be16();
    out->ctag = in.be16();
    out->len = in.be16();
    return in.ok();
}

// Encodes a datagram into `out`: header, then RCODE and SEQN when `rcode` /
// `seqn` are not negative, then `size` bytes of `data`. The length written,
// or 0 when it does not fit in `capacity` or LEN would pass 65535.
inline size_t tekmsg_encode(uint8_t *out, size_t capacity, uint16_t id, uint16_t ctag, int rcode, int seqn,
                            const uint8_t *data, size_t size)
{
    size_t fields = (rcode >= 0 ? 2 : 0) + (seqn >= 0 ? 2 : 0);
    size_t len = fields + size;
    if (len > 0xFFFF || TEKMSG_HEADER + len > capacity)
        return 0;
    store_be16(out, id);
    store_be16(out + 2, ctag);
    store_be16(out + 4, uint16_t(len));
    uint8_t *p = out + TEKMSG_HEADER;
    if (rcode >= 0) {
        store_be16(p, uint16_t(rcode));
        p += 2;
    }
    if (seqn >= 0) {
        store_be16(p, uint16_t(seqn));
        p += 2;
    }
    if (size)
        std::memcpy(p, data, size);
    return TEKMSG_HEADER + len;
}
