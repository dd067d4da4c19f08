// The hex text of the chip and management dumps (its lines and the buffer
// size it needs), and the CRC-32 of the images and personalities.
#include "base/crc32.h"
#include "base/hextext.h"

#include <gtest/gtest.h>

namespace {

// 16 bytes need 16 + 48 + 17 = 81; 17 bytes need 16 + 51 + 17 = 84; none 17.
TEST(HexText, LinesOfSixteenWithAlignedContinuationInTheSizeRule)
{
    char out[128];
    uint8_t data[17];
    for (int i = 0; i < 17; i++)
        data[i] = uint8_t(i * 0x11 - 1);
    EXPECT_EQ(hex_text(out, 17, data, 0), 1);
    EXPECT_STREQ(out, "\n");
    EXPECT_EQ(hex_text(out, 16, data, 0), -1);
    EXPECT_EQ(hex_text(out, 0, data, 0), -1);
    EXPECT_GT(hex_text(out, 81, data, 16), 0);
    EXPECT_STREQ(out, "FF 10 21 32 43 54 65 76 87 98 A9 BA CB DC ED FE \n");
    EXPECT_EQ(hex_text(out, 80, data, 16), -1);
    EXPECT_STREQ(out, "");
    EXPECT_GT(hex_text(out, 84, data, 17), 0);
    EXPECT_STREQ(out, "FF 10 21 32 43 54 65 76 87 98 A9 BA CB DC ED FE \n        0F \n");
    EXPECT_EQ(hex_text(out, 83, data, 17), -1);
}

TEST(Crc32, MatchesTheIeeeCheckValueAndContinuesAcrossPieces)
{
    const auto *check = reinterpret_cast<const uint8_t *>("123456789");
    EXPECT_EQ(crc32_update(0, check, 9), 0xCBF43926u);
    EXPECT_EQ(crc32_update(crc32_update(0, check, 4), check + 4, 5), 0xCBF43926u);
    EXPECT_EQ(crc32_update(0, check, 0), 0u);
    const uint8_t zeros[4] = {};
    EXPECT_EQ(crc32_update(0, zeros, 4), 0x2144DF1Cu);
}

} // namespace
