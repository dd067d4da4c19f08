// RADIUS packets against known vectors: HMAC-MD5 (RFC 2104), answers signed
// as RFC 2865 and RFC 3579 say (the vectors were computed independently of
// this code), the Access-Request's layout and its Message-Authenticator,
// and the identifier's wrap.
#include "auth/radius.h"
#include "base/bytes.h"
#include "common/hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char SECRET[] = "testing123";

// The request the vectors answer: identifier 0x2A, authenticator 10 11 .. 1F.
std::vector<uint8_t> request()
{
    std::vector<uint8_t> r(RADIUS_BUFFER_SIZE, 0);
    r[0] = RADIUS_ACCESS_REQUEST;
    r[1] = 0x2A;
    for (int i = 0; i < 16; i++)
        r[4 + i] = uint8_t(0x10 + i);
    return r;
}

TEST(RadiusCrypto, HmacMd5MatchesRfc2104Vectors)
{
    struct {
        std::string key, data, digest;
    } cases[] = {
        {std::string(16, '\x0b'), "Hi There", "92 94 72 7a 36 38 bb 1c 13 f4 8e f8 15 8b fc 9d"},
        {"Jefe", "what do ya want for nothing?", "75 0c 78 3e 6a b0 b5 03 ea a8 6e 31 0a 5d b7 38"},
    };
    for (const auto &c : cases) {
        uint8_t out[16];
        ASSERT_TRUE(radius_hmac_md5(reinterpret_cast<const uint8_t *>(c.data.data()), c.data.size(), c.key.data(),
                                    c.key.size(), out));
        EXPECT_EQ(std::vector<uint8_t>(out, out + 16), hex(c.digest)) << c.data;
    }
}

TEST(RadiusCrypto, Md5AuthenticatorIsTheDigestOfPacketAndSecret)
{
    // MD5("abc"): the packet "ab" followed by the secret "c".
    uint8_t out[16];
    radius_md5_authenticator(reinterpret_cast<const uint8_t *>("ab"), 2, "c", 1, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), hex("90 01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 72"));
}

struct verify_case {
    const char *name;
    const char *answer;
    int received_cut;   // bytes taken off what "arrived"
    int expected;
};

TEST(RadiusVerify, AnswersAreAcceptedOnlyWhenEverySignatureAndLengthHolds)
{
    const verify_case cases[] = {
        // 0B 2A 0050 | response auth | EAP-Message 01 08 0016 04 10 + challenge | State | Message-Authenticator
        {"challenge", "0b2a00508035d323abf2ed69431a3bfd5918810c4f18010800160410a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"
                      "1812c0c1c2c3c4c5c6c7c8c9cacbcccdcecf50123e5fac71a21067ad6106d2a0b1bd9430",
         0, RADIUS_ACCESS_CHALLENGE},
        // 02 2A 0041 | two vendor attributes (type 3, ONT id 17) | EAP Success | Message-Authenticator
        {"accept", "022a00413ccac13d1541d6a8b4e5c83ae4e26c7d1a090000b8016403031a0c0000b8016706000000114f0603080004"
                   "50129316577eb43557a7a8b5d03417fa17d0",
         0, RADIUS_ACCESS_ACCEPT},
        {"accounting response", "052a001485082e27f2db62caebe99128dd395b1c", 0, RADIUS_ACCOUNTING_RESPONSE},
        // Response authenticator right, Message-Authenticator made with another secret.
        {"wrong message authenticator", "022a002c3114d1f35fa176447ce1eef1cdcb64d34f0603080004"
                                        "50124afa62561af84cba38e3d4e8b11b4828",
         0, RADIUS_ERR_AUTHENTICATOR},
        {"EAP-Message without Message-Authenticator", "022a001ab6c1d8d18ea215a980d0fc18f854d0b74f0603080004", 0,
         RADIUS_ERR_AUTHENTICATOR},
        // Signed correctly, but attribute 18 claims 9 bytes where 4 are left.
        {"attribute past the end", "022a0018cbd3cb6a67e630310842445aa18c28a312094142", 0, RADIUS_ERR_MALFORMED},
        {"attribute length 1", "022a0018ec3c7a40cd63e4f84f41cf93f8f07f9612014142", 0, RADIUS_ERR_MALFORMED},
        {"length field beyond the datagram", "052a001485082e27f2db62caebe99128dd395b1c", 1, RADIUS_ERR_MALFORMED},
        {"shorter than a header", "052a0014", 0, RADIUS_ERR_MALFORMED},
        // The accounting response with one authenticator byte changed.
        {"wrong response authenticator", "052a001485082e27f2db62caebe99128dd395b1d", 0, RADIUS_ERR_AUTHENTICATOR},
        {"another identifier", "052b001485082e27f2db62caebe99128dd395b1c", 0, RADIUS_ERR_IDENTIFIER},
        {"too long for the secret", "052a0ffc85082e27f2db62caebe99128dd395b1c", 0, RADIUS_ERR_TOO_LONG},
    };
    for (const verify_case &c : cases) {
        std::vector<uint8_t> answer = hex(c.answer);
        std::vector<uint8_t> buffer(RADIUS_BUFFER_SIZE, 0);
        memcpy(buffer.data(), answer.data(), answer.size());
        size_t received = answer.size() - size_t(c.received_cut);
        if (std::string(c.name) == "too long for the secret")
            received = RADIUS_BUFFER_SIZE;
        EXPECT_EQ(radius_verify_response(buffer.data(), received, request().data(), SECRET, strlen(SECRET)), c.expected)
            << c.name;
    }
}

TEST(RadiusRequest, AccessRequestCarriesItsAttributesInOrderAndAValidMessageAuthenticator)
{
    const uint8_t eap[] = {0x02, 0x07, 0x00, 0x06, 0x04, 0x41};   // length low byte 6
    const uint8_t state[16] = {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7,
                               0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};
    std::vector<uint8_t> first(RADIUS_BUFFER_SIZE), second(RADIUS_BUFFER_SIZE);
    size_t length = radius_build_access_request(first.data(), 0x2A, "00:0D:B6:12:34:56", eap, state, true, SECRET,
                                                strlen(SECRET));
    ASSERT_EQ(length, 20u + 19 + 18 + 8 + 18);
    EXPECT_EQ(first[0], RADIUS_ACCESS_REQUEST);
    EXPECT_EQ(first[1], 0x2A);
    EXPECT_EQ(load_be16(&first[2]), length);
    const std::vector<uint8_t> attributes = hex(
        "01 13 30303a30443a42363a31323a33343a3536"          // User-Name "00:0D:B6:12:34:56"
        "18 12 f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"            // State
        "4f 08 020700060441"                                // EAP-Message, 6 bytes
        "50 12");                                           // Message-Authenticator
    EXPECT_EQ(std::vector<uint8_t>(first.begin() + 20, first.begin() + 20 + long(attributes.size())), attributes);

    // HMAC-MD5 over the packet with the Message-Authenticator zeroed.
    std::vector<uint8_t> zeroed(first.begin(), first.begin() + long(length));
    memset(&zeroed[length - 16], 0, 16);
    uint8_t mac[16];
    ASSERT_TRUE(radius_hmac_md5(zeroed.data(), length, SECRET, strlen(SECRET), mac));
    EXPECT_EQ(memcmp(mac, &first[length - 16], 16), 0);

    // Without the flag no State; the authenticator is new every time.
    size_t short_length = radius_build_access_request(second.data(), 0x2A, "00:0D:B6:12:34:56", eap, state, false,
                                                      SECRET, strlen(SECRET));
    EXPECT_EQ(short_length, length - 18);
    EXPECT_EQ(second[39], RADIUS_ATTR_EAP_MESSAGE);
    EXPECT_NE(memcmp(&first[4], &second[4], 16), 0);
}

TEST(RadiusRequest, VendorAttributeWrapsItsSubAttribute)
{
    uint8_t packet[64] = {};
    size_t length = 20;
    uint8_t *end = radius_add_vsa(130, "12345", 5, &length, packet + 20);
    EXPECT_EQ(end - packet, 20 + 13);
    EXPECT_EQ(length, 33u);
    EXPECT_EQ(std::vector<uint8_t>(packet + 20, packet + 33), hex("1a 0d 0000b801 82 07 3132333435"));
    // NULL value: zeros of the length asked for.
    end = radius_add_attribute(RADIUS_ATTR_MESSAGE_AUTHENTICATOR, nullptr, 16, &length, end);
    EXPECT_EQ(length, 51u);
    EXPECT_EQ(std::vector<uint8_t>(packet + 33, packet + 51), hex("50 12 00000000000000000000000000000000"));
}

TEST(RadiusIdentifier, WrapsWithTheCounter)
{
    struct {
        uint32_t from, to;
    } cases[] = {{0, 1}, {254, 255}, {255, 256}, {0xFFFFFFFE, 0}, {0xFFFFFFFD, 0xFFFFFFFE}};
    for (const auto &c : cases) {
        radius_identifier = c.from;
        radius_next_identifier();
        EXPECT_EQ(radius_identifier.load(), c.to) << c.from;
    }
    radius_identifier = 0;
}

} // namespace
