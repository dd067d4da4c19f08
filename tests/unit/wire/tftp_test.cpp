// TFTP packets, and the personality checks and settings.
#include "base/bytes.h"
#include "base/crc32.h"
#include "wire/personality.h"
#include "wire/tftp.h"

#include "common/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// ---- TFTP packets ---------------------------------------------------------

TEST(TftpPacket, EncodedPacketsDecodeAndOversizedOnesAreRefused)
{
    uint8_t out[TFTP_MAX_PACKET + 8];
    size_t n = tftp_encode_request(out, sizeof out, TFTP_WRQ, "personality");
    EXPECT_EQ(bytes(out, out + n), hex("00 02 | 70 65 72 73 6F 6E 61 6C 69 74 79 00 | 6F 63 74 65 74 00"));
    tftp_packet p;
    ASSERT_TRUE(tftp_decode(out, n, &p));
    EXPECT_EQ(p.opcode, TFTP_WRQ);
    EXPECT_STREQ(p.file, "personality");
    EXPECT_STREQ(p.mode, "octet");
    EXPECT_EQ(tftp_encode_request(out, 12, TFTP_RRQ, "boot"), 0u);   // 2 + 5 + 6 = 13
    EXPECT_EQ(tftp_encode_request(out, 13, TFTP_RRQ, "boot"), 13u);

    bytes data = byte_pattern(512);
    ASSERT_EQ(tftp_encode_data(out, sizeof out, 0x1234, data.data(), 512), 516u);
    ASSERT_TRUE(tftp_decode(out, 516, &p));
    EXPECT_EQ(bytes(out, out + 4), hex("00 03 12 34"));
    EXPECT_EQ(p.block, 0x1234);
    EXPECT_EQ(bytes(p.data, p.data + p.size), data);
    EXPECT_EQ(tftp_encode_data(out, sizeof out, 1, data.data(), 513), 0u);   // more than a block
    EXPECT_EQ(tftp_encode_data(out, 100, 1, data.data(), 200), 0u);
    ASSERT_EQ(tftp_encode_data(out, sizeof out, 9, nullptr, 0), 4u);         // empty final block
    ASSERT_TRUE(tftp_decode(out, 4, &p));
    EXPECT_EQ(p.size, 0u);
    ASSERT_EQ(tftp_encode_ack(out, sizeof out, 5), 4u);
    EXPECT_EQ(bytes(out, out + 4), hex("00 04 00 05"));
    EXPECT_EQ(tftp_encode_ack(out, 3, 5), 0u);
}

TEST(TftpPacket, TruncatedOrUnterminatedPacketsAreRefused)
{
    struct {
        const char *name;
        bytes packet;
        bool ok;
    } cases[] = {
        {"empty", {}, false},
        {"half an opcode", {0}, false},
        {"DATA without block", {0, 3, 0}, false},
        {"ACK without block", {0, 4}, false},
        {"RRQ name not terminated", {0, 1, 'a', 'p', 'p'}, false},
        {"RRQ mode not terminated", {0, 1, 'a', 0, 'o', 'c'}, false},
        {"RRQ complete", {0, 1, 'a', 0, 'o', 0}, true},
        {"unknown opcode", {0, 9, 1, 2}, true},
    };
    for (const auto &c : cases) {
        tftp_packet p;
        EXPECT_EQ(tftp_decode(c.packet.data(), c.packet.size(), &p), c.ok) << c.name;
    }
}

// ---- personalities --------------------------------------------------------

bytes onu_image(size_t size)
{
    bytes image = byte_pattern(ONU_PERS_SIZE, 3);
    std::fill(image.begin() + long(size), image.end(), 0);
    store_be32(image.data() + 4, pers_crc(image.data(), size));
    return image;
}

TEST(Personality, OnuReadChecksItsBigEndianCrcAndTheWriteSetsTheBoardValues)
{
    bytes full = onu_image(2413), short_form = onu_image(2409);
    EXPECT_TRUE(onu_pers_accept(full.data(), 2413));
    EXPECT_NE(full[2412], 'M');
    EXPECT_TRUE(onu_pers_accept(short_form.data(), 2409));
    EXPECT_EQ(short_form[2412], 'M');
    bytes bad = onu_image(2413), crc_le = onu_image(2413);
    bad[2000] ^= 1;
    EXPECT_FALSE(onu_pers_accept(bad.data(), 2413));
    std::reverse(crc_le.begin() + 4, crc_le.begin() + 8);
    EXPECT_FALSE(onu_pers_accept(crc_le.data(), 2413));
    bytes tiny(ONU_PERS_SIZE, 0);   // shorter than its own header
    EXPECT_FALSE(onu_pers_accept(tiny.data(), 10));

    onu_pers_prepare(short_form.data());
    for (size_t at : {2369, 1188, 128, 135})
        EXPECT_EQ(short_form[at], at == 2369 ? 8 : 1) << at;
    EXPECT_EQ(bytes(short_form.begin() + 1185, short_form.begin() + 1188), bytes(3, 0));
    EXPECT_EQ(load_be32(short_form.data() + 4), crc32_update(0, short_form.data() + 16, 2393));
    onu_pers_prepare(full.data());
    EXPECT_EQ(load_be32(full.data() + 4), crc32_update(0, full.data() + 16, 2397));
}

TEST(Personality, OltReadMarksShortReadsAndTheWriteSetsTheBoardValues)
{
    bytes image(OLT_PERS_BLOCK, 0x11);
    olt_pers_accept(image.data(), OLT_PERS_BLOCK);
    EXPECT_EQ(image[1287], 0x11);
    olt_pers_accept(image.data(), 1284);
    EXPECT_EQ(image[1287], 'N');
    olt_pers_prepare(image.data());
    EXPECT_EQ(load_le32(image.data() + 4), crc32_update(0, image.data() + 16, 1268));

    image = byte_pattern(OLT_PERS_BLOCK, 5);
    image[1287] = 0;
    olt_pers_prepare(image.data());
    EXPECT_EQ(bytes(image.begin() + 258, image.begin() + 260), hex("E8 03"));
    EXPECT_EQ(bytes(image.begin() + 378, image.begin() + 380), hex("E8 03"));
    EXPECT_EQ(bytes(image.begin() + 1085, image.begin() + 1087), hex("5F 5E"));
    EXPECT_EQ(bytes(image.begin() + 1092, image.begin() + 1094), hex("5D 5C"));
    for (size_t at : {1172, 1173, 1232, 1233})
        EXPECT_EQ(image[at], 16) << at;
    EXPECT_EQ(load_le32(image.data() + 4), crc32_update(0, image.data() + 16, 1272));
}

} // namespace
