// TFTP packets the buffers refuse and the reader's length checks, and the
// personality checks and board values; the transfers themselves are the chip
// tests' against oltsim.
#include "base/bytes.h"
#include "base/crc32.h"
#include "wire/personality.h"
#include "wire/tftp.h"

#include "common/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

TEST(TftpPacket, WhatDoesNotFitIsRefused)
{
    uint8_t out[TFTP_MAX_PACKET + 8];
    bytes data(513, 1);
    EXPECT_EQ(tftp_encode_request(out, 12, TFTP_RRQ, "boot"), 0u);   // 2 + 5 + 6 = 13
    EXPECT_EQ(tftp_encode_request(out, 13, TFTP_RRQ, "boot"), 13u);
    EXPECT_EQ(tftp_encode_data(out, sizeof out, 1, data.data(), 513), 0u);   // more than a block
    EXPECT_EQ(tftp_encode_data(out, 100, 1, data.data(), 200), 0u);
    EXPECT_EQ(tftp_encode_ack(out, 3, 5), 0u);
    ASSERT_EQ(tftp_encode_data(out, sizeof out, 9, nullptr, 0), 4u);   // empty final block
    tftp_packet p;
    ASSERT_TRUE(tftp_decode(out, 4, &p));
    EXPECT_EQ(p.size, 0u);
}

TEST(TftpPacket, TruncatedOrUnterminatedPacketsAreRefused)
{
    struct { const char *name; bytes packet; bool ok; } cases[] = {
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

// The chip tests read both forms and refuse a bad CRC; left here: the CRC's
// byte order, a read shorter than its own header, and the board values.
TEST(Personality, OnuCrcIsBigEndianAndTheWriteSetsTheBoardValues)
{
    bytes full = byte_pattern(ONU_PERS_SIZE, 3);
    store_be32(full.data() + 4, pers_crc(full.data(), ONU_PERS_SIZE));
    bytes crc_le = full;
    std::reverse(crc_le.begin() + 4, crc_le.begin() + 8);
    EXPECT_FALSE(onu_pers_accept(crc_le.data(), 2413));
    bytes tiny(ONU_PERS_SIZE, 0);
    EXPECT_FALSE(onu_pers_accept(tiny.data(), 10));
    onu_pers_prepare(full.data());
    for (auto [at, value] : {std::pair{2369, 8}, {1185, 0}, {1186, 0}, {1187, 0}, {1188, 1}, {128, 1}, {135, 1}})
        EXPECT_EQ(full[at], value) << at;
    EXPECT_EQ(load_be32(full.data() + 4), crc32_update(0, full.data() + 16, 2397)) << "the long form's CRC";
}

TEST(Personality, OltWriteSetsTheBoardValuesAndTheShortFormsCrc)
{
    bytes image = byte_pattern(OLT_PERS_BLOCK, 5);
    image[1287] = 0;
    olt_pers_prepare(image.data());
    for (auto [at, value] : {std::pair{258, "E8 03"}, {378, "E8 03"}, {1085, "5F 5E"}, {1092, "5D 5C"}, {1172, "10 10"},
                             {1232, "10 10"}})
        EXPECT_EQ(bytes(image.begin() + at, image.begin() + at + 2), hex(value)) << at;
    EXPECT_EQ(load_le32(image.data() + 4), crc32_update(0, image.data() + 16, 1272)) << "the long form's CRC";
    olt_pers_accept(image.data(), 1284);   // a short read
    olt_pers_prepare(image.data());
    EXPECT_EQ(load_le32(image.data() + 4), crc32_update(0, image.data() + 16, 1268));
}

} // namespace
