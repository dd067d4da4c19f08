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

TEST(TftpPacket, RequestsCarryNameAndOctetMode)
{
    uint8_t out[64];
    size_t n = tftp_encode_request(out, sizeof out, TFTP_WRQ, "personality");
    const uint8_t want[] = {0, 2, 'p', 'e', 'r', 's', 'o', 'n', 'a', 'l', 'i', 't', 'y', 0, 'o', 'c', 't', 'e', 't', 0};
    ASSERT_EQ(n, sizeof want);
    EXPECT_EQ(memcmp(out, want, n), 0);

    tftp_packet p;
    ASSERT_TRUE(tftp_decode(out, n, &p));
    EXPECT_EQ(p.opcode, TFTP_WRQ);
    EXPECT_STREQ(p.file, "personality");
    EXPECT_STREQ(p.mode, "octet");

    EXPECT_EQ(tftp_encode_request(out, 10, TFTP_RRQ, "boot"), 0u);   // 2 + 5 + 6 = 13 > 10
    EXPECT_EQ(tftp_encode_request(out, 13, TFTP_RRQ, "boot"), 13u);
}

TEST(TftpPacket, DataAndAckRoundTrip)
{
    uint8_t out[TFTP_MAX_PACKET + 8];
    bytes data = byte_pattern(512);
    ASSERT_EQ(tftp_encode_data(out, sizeof out, 0x1234, data.data(), 512), 516u);
    EXPECT_EQ(load_be16(out), TFTP_DATA);
    EXPECT_EQ(load_be16(out + 2), 0x1234);
    tftp_packet p;
    ASSERT_TRUE(tftp_decode(out, 516, &p));
    EXPECT_EQ(p.block, 0x1234);
    EXPECT_EQ(p.size, 512u);
    EXPECT_EQ(memcmp(p.data, data.data(), 512), 0);

    EXPECT_EQ(tftp_encode_data(out, sizeof out, 1, data.data(), 513), 0u);   // more than a block
    EXPECT_EQ(tftp_encode_data(out, 100, 1, data.data(), 200), 0u);
    ASSERT_EQ(tftp_encode_data(out, sizeof out, 9, nullptr, 0), 4u);         // empty final block
    ASSERT_TRUE(tftp_decode(out, 4, &p));
    EXPECT_EQ(p.size, 0u);

    ASSERT_EQ(tftp_encode_ack(out, sizeof out, 5), 4u);
    const uint8_t ack[] = {0, 4, 0, 5};
    EXPECT_EQ(memcmp(out, ack, 4), 0);
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

TEST(Personality, OnuReadChecksItsBigEndianCrcAndMarksTheShortForm)
{
    bytes full = onu_image(2413);
    EXPECT_TRUE(onu_pers_accept(full.data(), 2413));
    EXPECT_NE(full[2412], 'M');

    bytes short_form = onu_image(2409);
    EXPECT_TRUE(onu_pers_accept(short_form.data(), 2409));
    EXPECT_EQ(short_form[2412], 'M');

    bytes bad = onu_image(2413);
    bad[2000] ^= 1;
    EXPECT_FALSE(onu_pers_accept(bad.data(), 2413));
    bytes crc_le = onu_image(2413);
    std::reverse(crc_le.begin() + 4, crc_le.begin() + 8);
    EXPECT_FALSE(onu_pers_accept(crc_le.data(), 2413));

    bytes tiny(ONU_PERS_SIZE, 0);   // shorter than its own header
    EXPECT_FALSE(onu_pers_accept(tiny.data(), 10));
}

TEST(Personality, OnuWriteSetsTheBoardValuesAndTheCrcOfItsForm)
{
    bytes image = onu_image(2409);
    image[2412] = 'M';
    onu_pers_prepare(image.data());
    EXPECT_EQ(image[2369], 8);
    EXPECT_EQ(image[1185], 0);
    EXPECT_EQ(image[1186], 0);
    EXPECT_EQ(image[1187], 0);
    EXPECT_EQ(image[1188], 1);
    EXPECT_EQ(image[128], 1);
    EXPECT_EQ(image[135], 1);
    EXPECT_EQ(load_be32(image.data() + 4), crc32_update(0, image.data() + 16, 2393));

    bytes full = onu_image(2413);
    onu_pers_prepare(full.data());
    EXPECT_EQ(load_be32(full.data() + 4), crc32_update(0, full.data() + 16, 2397));
}

TEST(Personality, OltWriteSetsTheBoardValuesAndALittleEndianCrc)
{
    bytes image = byte_pattern(OLT_PERS_BLOCK, 5);
    image[1287] = 0;
    olt_pers_prepare(image.data());
    const uint8_t thousand[] = {0xE8, 0x03};
    EXPECT_EQ(memcmp(image.data() + 258, thousand, 2), 0);
    EXPECT_EQ(memcmp(image.data() + 378, thousand, 2), 0);
    EXPECT_EQ(image[1085], 0x5F);
    EXPECT_EQ(image[1086], 0x5E);
    EXPECT_EQ(image[1092], 0x5D);
    EXPECT_EQ(image[1093], 0x5C);
    for (size_t at : {1172, 1173, 1232, 1233})
        EXPECT_EQ(image[at], 16) << at;
    EXPECT_EQ(load_le32(image.data() + 4), crc32_update(0, image.data() + 16, 1272));

    image[1287] = 'N';
    olt_pers_prepare(image.data());
    EXPECT_EQ(load_le32(image.data() + 4), crc32_update(0, image.data() + 16, 1268));
}

TEST(Personality, OltReadMarksEveryReadShorterThanItsBlock)
{
    bytes image(OLT_PERS_BLOCK, 0x11);
    olt_pers_accept(image.data(), OLT_PERS_BLOCK);
    EXPECT_EQ(image[1287], 0x11);
    olt_pers_accept(image.data(), 1284);
    EXPECT_EQ(image[1287], 'N');
}

} // namespace
