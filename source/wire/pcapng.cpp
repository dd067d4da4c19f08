#include "wire/pcapng.h"

#include "base/bytes.h"

#include <cstring>

namespace {

constexpr uint32_t BLOCK_SECTION = 0x0A0D0D0A;
constexpr uint32_t BLOCK_INTERFACE = 1;
constexpr uint32_t BLOCK_PACKET = 6;
constexpr uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;
constexpr uint16_t OPTION_END = 0;
constexpr uint16_t OPTION_NAME = 2;      // if_name in an IDB
constexpr uint16_t OPTION_FLAGS = 2;     // epb_flags in an EPB
constexpr uint16_t OPTION_USERAPPL = 4;  // shb_userappl
constexpr uint8_t PROTOCOL_TCP = 6;
constexpr uint8_t PROTOCOL_UDP = 17;
constexpr uint32_t NO_INTERFACE = 0xFF;
const char *const INTERFACE_NAMES[PCAPNG_INTERFACES] = {"chip", "mgmt", "radius"};

size_t padded(size_t n) { return (n + 3) & ~size_t(3); }

// An option: code, length, the value padded to 4 bytes.
size_t put_option(uint8_t *out, uint16_t code, const void *value, size_t length)
{
    store_le16(out, code);
    store_le16(out + 2, uint16_t(length));
    std::memcpy(out + 4, value, length);
    std::memset(out + 4 + length, 0, padded(length) - length);
    return 4 + padded(length);
}

// Block type, total length at both ends, the body between: returns the
// block's size. `body` was written at out + 8 already.
size_t close_block(uint8_t *out, uint32_t type, size_t body)
{
    size_t total = 8 + body + 4;
    store_le32(out, type);
    store_le32(out + 4, uint32_t(total));
    store_le32(out + 8 + body, uint32_t(total));
    return total;
}

size_t section_header(uint8_t *out)
{
    uint8_t *body = out + 8;
    store_le32(body, BYTE_ORDER_MAGIC);
    store_le16(body + 4, 1);
    store_le16(body + 6, 0);
    std::memset(body + 8, 0xFF, 8);  // section length: not given
    size_t n = 16;
    n += put_option(body + n, OPTION_USERAPPL, "zandrel", 7);
    n += put_option(body + n, OPTION_END, "", 0);
    return close_block(out, BLOCK_SECTION, n);
}

size_t interface_description(uint8_t *out, const char *name)
{
    uint8_t *body = out + 8;
    store_le16(body, PCAPNG_LINKTYPE_IPV4);
    store_le16(body + 2, 0);
    store_le32(body + 4, 0);  // no snapshot length
    size_t n = 8;
    n += put_option(body + n, OPTION_NAME, name, std::strlen(name));
    n += put_option(body + n, OPTION_END, "", 0);
    return close_block(out, BLOCK_INTERFACE, n);
}

uint16_t ipv4_checksum(const uint8_t *header)
{
    uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2)
        sum += load_be16(header + i);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

size_t transport_size(const pcapng_packet &packet) { return packet.interface == PCAPNG_MGMT ? 20 : 8; }

// An EPB of `captured` packet bytes: its head, the padded bytes, the flags
// option, the end of options and the trailing length.
size_t packet_block_size(size_t captured) { return 28 + padded(captured) + 8 + 4 + 4; }

}  // namespace

size_t pcapng_section(uint8_t *out)
{
    size_t n = section_header(out);
    for (const char *name : INTERFACE_NAMES)
        n += interface_description(out + n, name);
    return n;
}

size_t pcapng_head(uint8_t *out, const pcapng_packet &packet, size_t length)
{
    size_t transport = transport_size(packet);
    size_t captured = 20 + transport + length;
    store_le32(out, BLOCK_PACKET);
    store_le32(out + 4, uint32_t(packet_block_size(captured)));
    store_le32(out + 8, packet.interface);
    store_le32(out + 12, uint32_t(packet.time_us >> 32));
    store_le32(out + 16, uint32_t(packet.time_us));
    store_le32(out + 20, uint32_t(captured));
    store_le32(out + 24, uint32_t(captured));

    bool in = packet.direction == PCAPNG_IN;
    uint32_t source = in ? packet.peer : packet.local, destination = in ? packet.local : packet.peer;
    uint16_t source_port = in ? packet.peer_port : packet.local_port;
    uint16_t destination_port = in ? packet.local_port : packet.peer_port;
    uint8_t *ip = out + 28;
    ip[0] = 0x45;
    ip[1] = 0;
    store_be16(ip + 2, uint16_t(captured));
    store_be16(ip + 4, 0);
    store_be16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = packet.interface == PCAPNG_MGMT ? PROTOCOL_TCP : PROTOCOL_UDP;
    store_be16(ip + 10, 0);
    store_be32(ip + 12, source);
    store_be32(ip + 16, destination);
    store_be16(ip + 10, ipv4_checksum(ip));

    uint8_t *t = ip + 20;
    store_be16(t, source_port);
    store_be16(t + 2, destination_port);
    if (packet.interface == PCAPNG_MGMT) {
        store_be32(t + 4, packet.seq);
        store_be32(t + 8, packet.ack);
        t[12] = 5 << 4;
        t[13] = 0x18;  // PSH, ACK
        store_be16(t + 14, 0xFFFF);
        store_be32(t + 16, 0);  // checksum and urgent pointer: not computed
    } else {
        store_be16(t + 4, uint16_t(8 + length));
        store_be16(t + 6, 0);  // no checksum, as UDP allows over IPv4
    }
    return 28 + 20 + transport;
}

size_t pcapng_tail(uint8_t *out, const pcapng_packet &packet, size_t length)
{
    size_t captured = 20 + transport_size(packet) + length;
    size_t pad = padded(captured) - captured;
    std::memset(out, 0, pad);
    size_t n = pad;
    uint8_t flags[4];
    store_le32(flags, packet.direction);
    n += put_option(out + n, OPTION_FLAGS, flags, 4);
    n += put_option(out + n, OPTION_END, "", 0);
    store_le32(out + n, uint32_t(packet_block_size(captured)));
    return n + 4;
}

const char *pcapng_result_text(int result)
{
    switch (result) {
    case PCAPNG_OK: return "ok";
    case PCAPNG_END: return "end of capture";
    case PCAPNG_NOT_PCAPNG: return "not a pcapng capture (no section header block at its start)";
    case PCAPNG_BIG_ENDIAN: return "a big-endian pcapng section (not one this daemon writes)";
    case PCAPNG_TRUNCATED: return "a block runs past the end of the file";
    case PCAPNG_BAD_BLOCK: return "a block's lengths are inconsistent";
    case PCAPNG_BAD_INTERFACE: return "a packet of an interface that is not described, or is not IPv4";
    case PCAPNG_BAD_PACKET: return "a packet's IPv4, UDP or TCP header is inconsistent";
    default: return "unknown result";
    }
}

namespace {

// A section header at `reader.offset`: checks its byte order and forgets
// the previous section's interfaces.
int read_section(pcapng_reader &reader, const uint8_t *block, size_t total)
{
    if (total < 28)
        return PCAPNG_BAD_BLOCK;
    uint32_t magic = load_le32(block + 8);
    if (magic == 0x4D3C2B1A)
        return PCAPNG_BIG_ENDIAN;
    if (magic != BYTE_ORDER_MAGIC)
        return PCAPNG_NOT_PCAPNG;
    reader.interfaces = 0;
    return PCAPNG_OK;
}

int read_interface(pcapng_reader &reader, const uint8_t *block, size_t total)
{
    if (total < 20 || reader.interfaces >= sizeof reader.names / sizeof reader.names[0])
        return PCAPNG_BAD_BLOCK;
    uint32_t name = NO_INTERFACE;
    if (load_le16(block + 8) == PCAPNG_LINKTYPE_IPV4) {
        // Options from body offset 8 to the trailing length.
        size_t at = 16, end = total - 4;
        while (at + 4 <= end) {
            uint16_t code = load_le16(block + at), length = load_le16(block + at + 2);
            if (code == OPTION_END || at + 4 + padded(length) > end)
                break;
            for (uint32_t i = 0; i < PCAPNG_INTERFACES; i++)
                if (code == OPTION_NAME && length == std::strlen(INTERFACE_NAMES[i]) &&
                    std::memcmp(block + at + 4, INTERFACE_NAMES[i], length) == 0)
                    name = i;
            at += 4 + padded(length);
        }
    }
    reader.names[reader.interfaces++] = name;
    return PCAPNG_OK;
}

int read_packet(pcapng_reader &reader, const uint8_t *block, size_t total, pcapng_record &record)
{
    if (total < 32)
        return PCAPNG_BAD_BLOCK;
    uint32_t interface = load_le32(block + 8);
    if (interface >= reader.interfaces || reader.names[interface] == NO_INTERFACE)
        return PCAPNG_BAD_INTERFACE;
    size_t captured = load_le32(block + 20);
    if (captured > total - 32 || padded(captured) > total - 32)
        return PCAPNG_BAD_BLOCK;

    pcapng_packet &packet = record.packet;
    packet = pcapng_packet{};
    packet.interface = reader.names[interface];
    packet.time_us = uint64_t(load_le32(block + 12)) << 32 | load_le32(block + 16);
    size_t at = 28 + padded(captured), end = total - 4;
    while (at + 4 <= end) {
        uint16_t code = load_le16(block + at), length = load_le16(block + at + 2);
        if (code == OPTION_END || at + 4 + padded(length) > end)
            break;
        if (code == OPTION_FLAGS && length == 4)
            packet.direction = uint8_t(load_le32(block + at + 4) & 3);
        at += 4 + padded(length);
    }

    const uint8_t *ip = block + 28;
    if (captured < 20 || ip[0] >> 4 != 4)
        return PCAPNG_BAD_PACKET;
    size_t header = size_t(ip[0] & 0x0F) * 4, ip_length = load_be16(ip + 2);
    if (header < 20 || ip_length < header || ip_length > captured)
        return PCAPNG_BAD_PACKET;
    bool tcp = ip[9] == PROTOCOL_TCP;
    if (!tcp && ip[9] != PROTOCOL_UDP)
        return PCAPNG_BAD_PACKET;
    const uint8_t *t = ip + header;
    size_t left = ip_length - header, transport = 8;
    if (tcp) {
        if (left < 20)
            return PCAPNG_BAD_PACKET;
        transport = size_t(t[12] >> 4) * 4;
        packet.seq = load_be32(t + 4);
        packet.ack = load_be32(t + 8);
    }
    if (transport < 8 || transport > left)
        return PCAPNG_BAD_PACKET;
    bool in = packet.direction == PCAPNG_IN;
    uint32_t source = load_be32(ip + 12), destination = load_be32(ip + 16);
    packet.local = in ? destination : source;
    packet.peer = in ? source : destination;
    packet.local_port = load_be16(t + (in ? 2 : 0));
    packet.peer_port = load_be16(t + (in ? 0 : 2));
    record.data = t + transport;
    record.length = left - transport;
    return PCAPNG_OK;
}

}  // namespace

int pcapng_open(pcapng_reader &reader, const uint8_t *data, size_t size)
{
    reader = pcapng_reader{};
    reader.data = data;
    reader.size = size;
    if (size < 12 || load_le32(data) != BLOCK_SECTION)
        return PCAPNG_NOT_PCAPNG;
    if (load_le32(data + 8) == 0x4D3C2B1A)
        return PCAPNG_BIG_ENDIAN;
    if (load_le32(data + 8) != BYTE_ORDER_MAGIC)
        return PCAPNG_NOT_PCAPNG;
    return PCAPNG_OK;
}

int pcapng_next(pcapng_reader &reader, pcapng_record &record)
{
    while (reader.offset < reader.size) {
        const uint8_t *block = reader.data + reader.offset;
        size_t left = reader.size - reader.offset;
        if (left < 12)
            return PCAPNG_TRUNCATED;
        uint32_t type = load_le32(block);
        size_t total = load_le32(block + 4);
        if (total < 12 || total % 4 != 0)
            return PCAPNG_BAD_BLOCK;
        if (total > left)
            return PCAPNG_TRUNCATED;
        if (load_le32(block + total - 4) != total)
            return PCAPNG_BAD_BLOCK;
        int result = PCAPNG_OK;
        bool packet = false;
        if (type == BLOCK_SECTION)
            result = read_section(reader, block, total);
        else if (type == BLOCK_INTERFACE)
            result = read_interface(reader, block, total);
        else if (type == BLOCK_PACKET) {
            result = read_packet(reader, block, total, record);
            packet = true;
        }
        // Other blocks (statistics, name resolution, comments) are skipped.
        if (result != PCAPNG_OK)
            return result;
        reader.offset += total;
        if (packet)
            return PCAPNG_OK;
    }
    return PCAPNG_END;
}
