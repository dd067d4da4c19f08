// Personality images of the OLT and ONU chips: the checks made after a read
// and the settings and checksum written before a write.
//
// ONU personality: 2413 bytes (long form) or 2409 (short form); bytes 4..7
// hold, big-endian, the CRC-32 of the bytes from 16 to the end. In memory it
// lives in a 2413-byte block; a short image carries 'M' in byte 2412.
// OLT personality: 1288 bytes (long form) or 1284 (short form); bytes 4..7
// hold, little-endian, the CRC-32 of the bytes from 16 to the end. In memory
// it lives in a 1304-byte block; a short image carries 'N' in byte 1287.
//
// Pure functions over caller buffers; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t ONU_PERS_SIZE = 2413;
constexpr size_t ONU_PERS_SHORT_SIZE = 2409;
constexpr size_t ONU_PERS_MARK_AT = 2412;
constexpr uint8_t ONU_PERS_SHORT_MARK = 'M';

constexpr size_t OLT_PERS_SIZE = 1288;
constexpr size_t OLT_PERS_SHORT_SIZE = 1284;
constexpr size_t OLT_PERS_BLOCK = 1304;          // a read keeps at most this much
constexpr size_t OLT_PERS_MARK_AT = 1287;
constexpr uint8_t OLT_PERS_SHORT_MARK = 'N';

constexpr size_t PERS_CRC_AT = 4;                // bytes 4..7
constexpr size_t PERS_CRC_FROM = 16;             // the CRC covers bytes 16 .. end

// After a read of `total` bytes into the 2413-byte `image`: true when the
// CRC in bytes 4..7 (big-endian) matches the bytes from 16 to `total`; then a
// short image (total 2412 or less) gets its 'M' mark. An image too short to
// hold its header fails.
bool onu_pers_accept(uint8_t *image, size_t total);
// Before a write of the 2413-byte `image`: the fixed settings, then the CRC
// over 2393 bytes when marked short, else 2397, stored big-endian.
void onu_pers_prepare(uint8_t *image);

// After a read of `total` bytes into the 1304-byte `image`: a read of 1303
// bytes or fewer gets the 'N' mark. No CRC is checked on OLT reads.
void olt_pers_accept(uint8_t *image, size_t total);
// Before a write of the 1288-byte `image`: the fixed settings, then the CRC
// over 1268 bytes when marked short, else 1272, stored little-endian.
void olt_pers_prepare(uint8_t *image);

// The CRC a personality of `size` bytes should carry (bytes 16 .. size).
uint32_t pers_crc(const uint8_t *image, size_t size);
