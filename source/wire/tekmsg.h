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

// Bytes of a `teklink_msg` block that hold the message, OLT index included:
// a received block is allocated for exactly the bytes that arrived (plus
// the index), a reassembled one for the joined message. LEN is what the
// chip claims; this is what is there.
inline size_t tekmsg_size(const uint8_t *msg) { return blength(msg); }

// A reader over a `teklink_msg` of `size` bytes from `offset`: as many bytes
// as `announced` says, never more than the message holds. Decoders read
// every field through it and test ok() once.
inline byte_reader tekmsg_reader(const uint8_t *msg, size_t size, size_t offset, size_t announced)
{
    size_t have = size > offset ? size - offset : 0;
    return byte_reader(msg + (have ? offset : 0), announced < have ? announced : have);
}
// The LEN bytes after the header (a response's RCODE first). Empty (and
// failing at the first read) when the message is too short to hold LEN.
inline byte_reader tekmsg_payload(const uint8_t *msg, size_t size)
{
    if (size < TEKLINK_MSG_DATA)
        return byte_reader(msg, 0);
    return tekmsg_reader(msg, size, TEKLINK_MSG_DATA, tekmsg_len(msg));
}
inline byte_reader tekmsg_payload(const uint8_t *msg) { return tekmsg_payload(msg, tekmsg_size(msg)); }
// The data of an event: a short event's follows LEN, a long (reassembled)
// one's follows RCODE, LEN counting RCODE and SEQN.
inline byte_reader tekmsg_event_data(const uint8_t *msg)
{
    size_t size = tekmsg_size(msg);
    if (size < TEKLINK_MSG_DATA)
        return byte_reader(msg, 0);
    size_t len = tekmsg_len(msg);
    if (tekmsg_is_long_event(tekmsg_id(msg)))
        return tekmsg_reader(msg, size, TEKLINK_MSG_SEQN, len >= 4 ? len - 4 : 0);
    return tekmsg_reader(msg, size, TEKLINK_MSG_DATA, len);
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
