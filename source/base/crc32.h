// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320, initial value and
// final XOR 0xFFFFFFFF), as the chips compute it over personality images.
//
// Pure function over a constant table; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Continues the CRC `crc` (0 to start) over `size` bytes of `data`, so a CRC
// may be computed in pieces: crc32_update(crc32_update(0, a, n), b, m) equals
// the CRC of a followed by b. crc32_update(0, "123456789", 9) is 0xCBF43926.
uint32_t crc32_update(uint32_t crc, const uint8_t *data, size_t size);
