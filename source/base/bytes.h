// Byte-order helpers and a bounds-checked reader for wire data.
//
// Chip messages are big-endian, management messages little-endian. Every
// multi-byte field is read and written byte by byte: on the 32-bit ARM
// board an unaligned wider access is undefined behaviour, and a buffer is
// never reinterpreted as a wider integer or a packed struct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline uint16_t load_be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t load_be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint16_t load_le16(const uint8_t *p) { return uint16_t(p[1] << 8 | p[0]); }
inline uint32_t load_le32(const uint8_t *p)
{
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

inline void store_be16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void store_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void store_le16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void store_le32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// A cursor over received bytes. Every get checks the bytes left first; the
// first short read marks the reader failed and later gets return zeroes, so
// a decoder tests ok() once at its end instead of after every field.
class byte_reader {
public:
    byte_reader(const uint8_t *data, size_t size) : pos_(data), end_(data + size) {}

    size_t left() const { return size_t(end_ - pos_); }
    bool ok() const { return ok_; }
    const uint8_t *position() const { return pos_; }

    uint8_t u8() { return take(1) ? pos_[-1] : 0; }
    uint16_t be16() { return take(2) ? load_be16(pos_ - 2) : 0; }
    uint32_t be32() { return take(4) ? load_be32(pos_ - 4) : 0; }
    uint16_t le16() { return take(2) ? load_le16(pos_ - 2) : 0; }
    uint32_t le32() { return take(4) ? load_le32(pos_ - 4) : 0; }
    bool bytes(void *out, size_t n)
    {
        if (!take(n))
            return false;
        std::memcpy(out, pos_ - n, n);
        return true;
    }
    bool skip(size_t n) { return take(n); }

private:
    bool take(size_t n)
    {
        if (!ok_ || left() < n) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }

    const uint8_t *pos_;
    const uint8_t *end_;
    bool ok_ = true;
};
