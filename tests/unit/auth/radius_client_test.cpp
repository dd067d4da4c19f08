// The client's exchanges with scripted peers on loopback addresses: the
// retry on the secondary server, the lone primary, and peers that must not
// be believed (impostor address, bad signatures, truncated attributes).
// A silent peer moves the fake clock past the 3-second wait once the client
// waits, so no test waits for real seconds.
#include "auth/radius.h"
#include "base/balloc.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "store/datastruct.h"
#include "common/fake_time.h"
#include "common/wait.h"
#include "unit/auth/radius_peer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>

namespace {

const char SECRET[] = "peer-secret";
const uint8_t MAC[6] = {0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56};
const char MAC_TEXT[] = "00:0D:B6:12:34:56";

std::vector<uint8_t> no_answer(const std::vector<uint8_t> &) { return {}; }

// Once the client waits for the answer that will not come, its wait ends.
void time_out() { advance_when_waiting((RADIUS_ANSWER_SECONDS + 1) * 1000); }

// A peer on `address` that never answers.
struct silent_peer : radius_peer {
    silent_peer(const char *address, uint16_t port) : radius_peer(address, port, no_answer, nullptr, time_out) {}
};

// EAP-Request/MD5 challenge with identifier 5, the State 16 × 0x5A.
std::vector<uint8_t> challenge(const std::vector<uint8_t> &request)
{
    std::vector<uint8_t> attributes = {79, 24, 0x01, 0x05, 0x00, 0x16, 0x04, 0x10};
    for (int i = 0; i < 16; i++)
        attributes.push_back(uint8_t(0xA0 + i));
    attributes.insert(attributes.end(), {24, 18});
    attributes.insert(attributes.end(), 16, 0x5A);
    return radius_signed_reply(request, RADIUS_ACCESS_CHALLENGE, attributes, SECRET);
}

// The value of attribute `type` in a request, empty when absent.
std::vector<uint8_t> attribute(const std::vector<uint8_t> &packet, uint8_t type)
{
    for (size_t at = RADIUS_HEADER; at + 2 <= packet.size() && packet[at + 1] >= 2; at += packet[at + 1])
        if (packet[at] == type)
            return std::vector<uint8_t>(packet.begin() + long(at) + 2, packet.begin() + long(at) + packet[at + 1]);
    return {};
}

class Client : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(bopen(nullptr, 1 << 20, 0), 0);
        setenv("ZANDREL_LOG_STDERR", "1", 1);
        log_open();
        clock_fake_set(1000);
        radius_use_secondary = 0;
        radius_identifier = 7;
        local_ = radius_free_port();
        server_ = radius_free_port();
    }
    void TearDown() override
    {
        clock_fake_release();
        radius_use_secondary = 0;
        log_close();
        unsetenv("ZANDREL_LOG_STDERR");
        bclose();
    }

    // Runs the identity request and returns what was logged meanwhile.
    std::string identity(int *rc)
    {
        testing::internal::CaptureStderr();
        *rc = radius_eap_identity_request(MAC, eap_, state_);
        return testing::internal::GetCapturedStderr();
    }

    uint16_t local_ = 0, server_ = 0;
    uint8_t eap_[RADIUS_EAP_SIZE] = {};
    uint8_t state_[RADIUS_STATE_SIZE] = {};
};

TEST_F(Client, IdentityRequestCarriesTheMacAndGetsTheChallenge)
{
    radius_test_settings("127.0.0.1", "255.255.255.255", local_, server_, SECRET);
    radius_peer primary("127.0.0.1", server_, challenge);
    int rc;
    identity(&rc);
    ASSERT_EQ(rc, RADIUS_ACCESS_CHALLENGE);
    ASSERT_EQ(primary.count(), 1u);
    std::vector<uint8_t> request = primary.requests()[0];
    EXPECT_EQ(request[1], 7);
    EXPECT_EQ(attribute(request, RADIUS_ATTR_USER_NAME), std::vector<uint8_t>(MAC_TEXT, MAC_TEXT + 17));
    // EAP-Response/Identity: code 2, identifier 7, length 22, type 1, the MAC text.
    std::vector<uint8_t> eap = {0x02, 0x07, 0x00, 0x16, 0x01};
    eap.insert(eap.end(), MAC_TEXT, MAC_TEXT + 17);
    EXPECT_EQ(attribute(request, RADIUS_ATTR_EAP_MESSAGE), eap);
    EXPECT_TRUE(attribute(request, RADIUS_ATTR_STATE).empty());
    EXPECT_EQ(attribute(request, RADIUS_ATTR_MESSAGE_AUTHENTICATOR).size(), 16u);
    // The server's EAP request and State are the caller's now.
    EXPECT_EQ(std::vector<uint8_t>(eap_, eap_ + 6), (std::vector<uint8_t>{0x01, 0x05, 0x00, 0x16, 0x04, 0x10}));
    EXPECT_EQ(state_[0], 0x5A);
    EXPECT_EQ(radius_identifier.load(), 8u);
}

TEST_F(Client, SilentPrimaryWithSecondaryRetriesThereWithTheSameIdentifier)
{
    radius_test_settings("127.0.0.1", "127.0.0.2", local_, server_, SECRET);
    silent_peer primary("127.0.0.1", server_);
    radius_peer secondary("127.0.0.2", server_, challenge);
    int rc;
    std::string log = identity(&rc);
    EXPECT_EQ(rc, RADIUS_ACCESS_CHALLENGE);
    EXPECT_NE(log.find("RADIUS: no answer from primary RADIUS-server in 3 seconds"), std::string::npos) << log;
    EXPECT_NE(log.find("RADIUS: try using secondary server!"), std::string::npos);
    EXPECT_NE(log.find("radius_eap_identity_request retry"), std::string::npos);
    ASSERT_EQ(primary.count(), 1u);
    ASSERT_EQ(secondary.count(), 1u);
    std::vector<uint8_t> first = primary.requests()[0], second = secondary.requests()[0];
    EXPECT_EQ(first[1], second[1]);
    EXPECT_NE(std::vector<uint8_t>(first.begin() + 4, first.begin() + 20),
              std::vector<uint8_t>(second.begin() + 4, second.begin() + 20));
    // The choice stays: the next request goes to the secondary at once.
    EXPECT_EQ(radius_use_secondary.load(), 1);
    identity(&rc);
    EXPECT_EQ(rc, RADIUS_ACCESS_CHALLENGE);
    EXPECT_EQ(primary.count(), 1u);
    EXPECT_EQ(secondary.count(), 2u);
}

TEST_F(Client, SilentPrimaryWithoutSecondaryFailsAfterOneRequest)
{
    radius_test_settings("127.0.0.1", "255.255.255.255", local_, server_, SECRET);
    silent_peer primary("127.0.0.1", server_);
    int rc;
    std::string log = identity(&rc);
    EXPECT_EQ(rc, RADIUS_ERR_NO_ANSWER);
    EXPECT_EQ(primary.count(), 1u);
    EXPECT_NE(log.find("RADIUS: no answer from primary RADIUS-server in 3 seconds"), std::string::npos) << log;
    EXPECT_NE(log.find("RADIUS: secondary server have invalid value!"), std::string::npos);
    EXPECT_EQ(log.find("retry"), std::string::npos);
}

std::vector<uint8_t> accept_type_9(const std::vector<uint8_t> &request)
{
    return radius_signed_reply(request, RADIUS_ACCESS_ACCEPT, {26, 9, 0, 0, 0xB8, 0x01, 100, 3, 9, 79, 6, 3, 5, 0, 4},
                               SECRET);
}

TEST_F(Client, BindFailureNamesTheDeviceAddress)
{
    radius_test_settings("127.0.0.1", "255.255.255.255", local_, server_, SECRET);
    inet_pton(AF_INET, "192.0.2.1", cfgcache()->system + SYSTEM_DEVICE_ADDRESS);   // no address of this host
    int rc;
    std::string log = identity(&rc);
    EXPECT_EQ(rc, RADIUS_ERR_BIND);
    EXPECT_NE(log.find("RADIUS: can't bind socket on port " + std::to_string(local_) + " errno("), std::string::npos);
    EXPECT_NE(log.find("192.0.2.1:" + std::to_string(local_) + ", the device address is missing from this host"),
              std::string::npos)
        << log;
}

// Datagrams that must never authenticate an ONU: each is dropped with its
// line and the wait goes on to its time-out; the configuration stays as it
// was.
TEST_F(Client, BadPeersAreDroppedWithALogLine)
{
    struct bad_peer {
        const char *name;
        radius_reply_fn reply;
        const char *answer_from;
        const char *line;
    };
    const bad_peer cases[] = {
        {"impostor address", accept_type_9, "127.0.0.3", "RADIUS: answer from unknown address 127.0.0.3 port"},
        {"server address, another port", accept_type_9, "127.0.0.1", "RADIUS: answer from unknown address 127.0.0.1 port"},
        {"wrong response authenticator",
         [&](const std::vector<uint8_t> &request) {
             auto answer = accept_type_9(request);
             answer[19] ^= 1;
             return answer;
         },
         nullptr, "RADIUS: bad authenticator in response message"},
        {"wrong Message-Authenticator",
         [&](const std::vector<uint8_t> &request) {
             auto answer = radius_signed_reply(request, RADIUS_ACCESS_ACCEPT, {79, 6, 3, 5, 0, 4}, "other-secret");
             // Re-sign the header with the right secret: only the
             // Message-Authenticator is wrong.
             memcpy(&answer[4], &request[4], 16);
             uint8_t digest[16];
             radius_md5_authenticator(answer.data(), answer.size(), SECRET, strlen(SECRET), digest);
             memcpy(&answer[4], digest, 16);
             return answer;
         },
         nullptr, "RADIUS: bad Message-Authenticator in response message"},
        {"truncated attribute",
         [&](const std::vector<uint8_t> &request) {
             // Attribute 26 claims 40 bytes where 9 are left.
             return radius_signed_reply(request, RADIUS_ACCESS_ACCEPT, {26, 40, 0, 0, 0xB8, 0x01, 100, 3, 9}, SECRET,
                                        false);
         },
         nullptr, "RADIUS: malformed attribute in response message"},
    };
    for (const bad_peer &c : cases) {
        radius_test_settings("127.0.0.1", "255.255.255.255", local_, server_, SECRET);
        uint32_t dropped = radius_answers_dropped.load();
        auto after = [dropped] {
            eventually([dropped] { return radius_answers_dropped.load() > dropped; });
            time_out();
        };
        radius_peer peer("127.0.0.1", server_, c.reply, c.answer_from, after);
        auto config = std::make_unique<onu_record>();
        onu_config_defaults(config.get());
        uint8_t eap[RADIUS_EAP_SIZE] = {0x02, 0x05, 0x00, 0x16, 0x04, 0x10};
        uint8_t state[RADIUS_STATE_SIZE] = {};
        testing::internal::CaptureStderr();
        int rc = radius_eap_response(MAC, eap, state, config.get());
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, RADIUS_ERR_NO_ANSWER) << c.name;
        EXPECT_NE(log.find(c.line), std::string::npos) << c.name << ": " << log;
        EXPECT_EQ(config->type, 0) << c.name;
        EXPECT_EQ(eap[0], 0x02) << c.name;
        EXPECT_EQ(radius_answers_dropped.load(), dropped + 1) << c.name;
    }
}

// A stray datagram ahead of the server's answer costs nothing: a 20-byte
// datagram and a forged Accept are dropped, the genuine Accept is taken.
TEST_F(Client, StraysAheadOfTheAcceptAreDroppedAndTheAcceptWins)
{
    radius_test_settings("127.0.0.1", "255.255.255.255", local_, server_, SECRET);
    radius_peer peer("127.0.0.1", server_, radius_replies_fn([](const std::vector<uint8_t> &request) {
                         std::vector<uint8_t> bare(RADIUS_HEADER, 0);
                         bare[0] = RADIUS_ACCESS_ACCEPT;
                         bare[1] = request[1];
                         store_be16(&bare[2], RADIUS_HEADER);
                         auto forged = accept_type_9(request);
                         forged[19] ^= 1;
                         return std::vector<std::vector<uint8_t>>{bare, forged, accept_type_9(request)};
                     }));
    uint32_t dropped = radius_answers_dropped.load();
    auto config = std::make_unique<onu_record>();
    onu_config_defaults(config.get());
    uint8_t eap[RADIUS_EAP_SIZE] = {0x02, 0x05, 0x00, 0x16, 0x04, 0x10};
    uint8_t state[RADIUS_STATE_SIZE] = {};
    EXPECT_EQ(radius_eap_response(MAC, eap, state, config.get()), RADIUS_ACCESS_ACCEPT);
    EXPECT_EQ(config->type, 9);
    EXPECT_EQ(radius_answers_dropped.load(), dropped + 2);
}

TEST_F(Client, AcceptFillsTheConfigurationAndAnswersWithState)
{
    radius_test_settings("127.0.0.1", "255.255.255.255", local_, server_, SECRET);
    radius_peer peer("127.0.0.1", server_, [](const std::vector<uint8_t> &request) {
        return radius_signed_reply(request, RADIUS_ACCESS_ACCEPT,
                                   {26, 9, 0, 0, 0xB8, 0x01, 100, 3, 9, 79, 6, 3, 5, 0, 4}, SECRET);
    });
    auto config = std::make_unique<onu_record>();
    onu_config_defaults(config.get());
    uint8_t eap[RADIUS_EAP_SIZE] = {0x02, 0x05, 0x00, 0x16, 0x04, 0x10};
    uint8_t state[RADIUS_STATE_SIZE];
    memset(state, 0x5A, sizeof state);
    EXPECT_EQ(radius_eap_response(MAC, eap, state, config.get()), RADIUS_ACCESS_ACCEPT);
    EXPECT_EQ(config->type, 9);
    EXPECT_EQ(std::vector<uint8_t>(eap, eap + 4), (std::vector<uint8_t>{3, 5, 0, 4}));
    ASSERT_EQ(peer.count(), 1u);
    EXPECT_EQ(attribute(peer.requests()[0], RADIUS_ATTR_STATE), std::vector<uint8_t>(16, 0x5A));
    EXPECT_EQ(attribute(peer.requests()[0], RADIUS_ATTR_EAP_MESSAGE).size(), 22u);
}

} // namespace
