#include "wire/tftp.h"

#include "base/bytes.h"

#include <cstring>

size_t tftp_encode_request(uint8_t *out, size_t capacity, uint16_t opcode, const char *file)
{
    size_t name = strlen(file);
    size_t mode = strlen(TFTP_MODE);
    size_t size = 2 + name + 1 + mode + 1;
    if (size > capacity)
        return 0;
    store_be16(out, opcode);
    memcpy(out + 2, file, name + 1);
    memcpy(out + 2 + name + 1, TFTP_MODE, mode + 1);
    return size;
}

size_t tftp_encode_data(uint8_t *out, size_t capacity, uint16_t block, const uint8_t *data, size_t size)
{
    if (size > TFTP_BLOCK_SIZE || TFTP_DATA_HEADER + size > capacity)
        return 0;
    store_be16(out, TFTP_DATA);
    store_be16(out + 2, block);
    if (size)
        memcpy(out + TFTP_DATA_HEADER, data, size);
    return TFTP_DATA_HEADER + size;
}

size_t tftp_encode_ack(uint8_t *out, size_t capacity, uint16_t block)
{
    if (capacity < 4)
        return 0;
    store_be16(out, TFTP_ACK);
    store_be16(out + 2, block);
    return 4;
}

namespace {

// The NUL-terminated text at the reader's position, or NULL when no NUL
// follows inside the packet.
const char *take_text(byte_reader &in)
{
    const uint8_t *start = in.position();
    const void *nul = memchr(start, 0, in.left());
    if (!nul)
        return nullptr;
    in.skip(size_t(static_cast<const uint8_t *>(nul) - start) + 1);
    return reinterpret_cast<const char *>(start);
}

} // namespace

bool tftp_decode(const uint8_t *packet, size_t size, tftp_packet *out)
{
    *out = tftp_packet{};
    byte_reader in(packet, size);
    out->opcode = in.be16();
    switch (out->opcode) {
    case TFTP_RRQ:
    case TFTP_WRQ:
        out->file = take_text(in);
        out->mode = out->file ? take_text(in) : nullptr;
        return in.ok() && out->file && out->mode;
    case TFTP_DATA:
        out->block = in.be16();
        out->data = in.position();
        out->size = in.left();
        return in.ok();
    case TFTP_ACK:
    case TFTP_ERROR:
        out->block = in.be16();
        return in.ok();
    default:
        return in.ok();
    }
}
