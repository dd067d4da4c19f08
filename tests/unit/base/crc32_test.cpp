// CRC-32 of the images and personalities.
#include "base/crc32.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(Crc32, MatchesTheIeeeCheckValueAndContinuesAcrossPieces)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc32_update(0, check, 9), 0xCBF43926u);
    EXPECT_EQ(crc32_update(crc32_update(0, check, 4), check + 4, 5), 0xCBF43926u);
    EXPECT_EQ(crc32_update(0, check, 0), 0u);
    const uint8_t zeros[4] = {};
    EXPECT_EQ(crc32_update(0, zeros, 4), 0x2144DF1Cu);
}

} // namespace
