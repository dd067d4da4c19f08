// RADIUS packets: answers verified against vectors signed independently of
// this code (so HMAC-MD5 and the MD5 authenticator are proven with them),
// the Access-Request as built, and the identifier's wrap.
#include "auth/radius.h"
#include "base/bytes.h"
#include "common/hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char SECRET[] = "testing123";

TEST(RadiusVerify, AnswersAreAcceptedOnlyWhenEverySignatureAndLengthHolds)
{
    // The request the vectors answer: identifier 0x2A, authenticator 10 11 .. 1F.
    std::vector<uint8_t> request(RADIUS_BUFFER_SIZE, 0);
    request[0] = RADIUS_ACCESS_REQUEST;
    request[1] = 0x2A;
    for (int i = 0; i < 16; i++)
        request[4 + i] = uint8_t(0x10 + i);
    auto answers = hex_vectors("auth/radius_answers.hex");
    const struct {
        const char *name;
        size_t received;   // what arrived when not the vector's bytes
        int expected;
    } cases[] = {
        {"challenge", 0, RADIUS_ACCESS_CHALLENGE},
        {"accept", 0, RADIUS_ACCESS_ACCEPT},
        {"accounting response", 0, RADIUS_ACCOUNTING_RESPONSE},
        {"wrong message authenticator", 0, RADIUS_ERR_AUTHENTICATOR},
        {"EAP-Message without Message-Authenticator", 0, RADIUS_ERR_AUTHENTICATOR},
        {"attribute past the end", 0, RADIUS_ERR_MALFORMED},
        {"attribute length 1", 0, RADIUS_ERR_MALFORMED},
        {"accounting response", 19, RADIUS_ERR_MALFORMED},   // length field beyond the datagram
        {"shorter than a header", 0, RADIUS_ERR_MALFORMED},
        {"wrong response authenticator", 0, RADIUS_ERR_AUTHENTICATOR},
        {"another identifier", 0, RADIUS_ERR_IDENTIFIER},
        {"too long for the secret", RADIUS_BUFFER_SIZE, RADIUS_ERR_TOO_LONG},
    };
    for (const auto &c : cases) {
        const std::vector<uint8_t> &answer = answers[c.name];
        std::vector<uint8_t> buffer(RADIUS_BUFFER_SIZE, 0);
        memcpy(buffer.data(), answer.data(), answer.size());
        size_t received = c.received ? c.received : answer.size();
        EXPECT_EQ(radius_verify_response(buffer.data(), received, request.data(), SECRET, strlen(SECRET)), c.expected)
            << c.name << " " << received;
    }
}

TEST(RadiusRequest, AccessRequestCarriesItsAttributesInOrderAndAValidMessageAuthenticator)
{
    const uint8_t eap[] = {0x02, 0x07, 0x00, 0x06, 0x04, 0x41};   // length low byte 6
    uint8_t state[16];
    for (int i = 0; i < 16; i++)
        state[i] = uint8_t(0xF0 + i);
    std::vector<uint8_t> first(RADIUS_BUFFER_SIZE), second(RADIUS_BUFFER_SIZE);
    size_t length = radius_build_access_request(first.data(), 0x2A, "00:0D:B6:12:34:56", eap, state, true, SECRET,
                                                strlen(SECRET));
    const std::vector<uint8_t> packet = hex(
        "01 2a 0053"                                        // Access-Request 0x2A, 83 bytes
        "01 13 30303a30443a42363a31323a33343a3536"          // User-Name "00:0D:B6:12:34:56"
        "18 12 f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"            // State
        "4f 08 020700060441"                                // EAP-Message, 6 bytes
        "50 12");                                           // Message-Authenticator
    ASSERT_EQ(length, 83u);
    std::vector<uint8_t> layout(first.begin(), first.begin() + 4);   // all but the authenticator and the MAC
    layout.insert(layout.end(), first.begin() + 20, first.begin() + long(length) - 16);
    EXPECT_EQ(layout, packet);
    // HMAC-MD5 over the packet with the Message-Authenticator zeroed.
    std::vector<uint8_t> zeroed(first.begin(), first.begin() + long(length));
    memset(&zeroed[length - 16], 0, 16);
    uint8_t mac[16];
    ASSERT_TRUE(radius_hmac_md5(zeroed.data(), length, SECRET, strlen(SECRET), mac));
    EXPECT_EQ(memcmp(mac, &first[length - 16], 16), 0);

    // Without the flag no State; the authenticator is new every time.
    EXPECT_EQ(radius_build_access_request(second.data(), 0x2A, "00:0D:B6:12:34:56", eap, state, false, SECRET,
                                          strlen(SECRET)),
              length - 18);
    EXPECT_EQ(second[39], RADIUS_ATTR_EAP_MESSAGE);
    EXPECT_NE(memcmp(&first[4], &second[4], 16), 0);
}

TEST(RadiusIdentifier, WrapsWithTheCounter)
{
    for (auto [from, to] : {std::pair<uint32_t, uint32_t>{255, 256}, {0xFFFFFFFE, 0}, {0xFFFFFFFD, 0xFFFFFFFE}}) {
        radius_identifier = from;
        radius_next_identifier();
        EXPECT_EQ(radius_identifier.load(), to) << from;
    }
    radius_identifier = 0;
}

} // namespace
