// The client's exchanges with scripted peers on loopback addresses: what it
// takes from a peer and what it drops (impostors, bad signatures, truncated
// attributes, strays ahead of the answer), the silent primary with and
// without a secondary, and a device address it cannot bind. A peer whose
// answer is dropped moves the fake clock past the 3-second wait once the
// client waits, so no test waits for real seconds.
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

using bytes = std::vector<uint8_t>;
using datagrams = std::vector<bytes>;

const char SECRET[] = "peer-secret";
const uint8_t MAC[6] = {0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56};

// Once the client waits for the answer that will not come, its wait ends.
void time_out() { advance_when_waiting((RADIUS_ANSWER_SECONDS + 1) * 1000); }

// Acceptance: vendor type 100 (ONU type 9), EAP-Success.
bytes accept(const bytes &request, const char *secret = SECRET, bool sign = true)
{
    return radius_signed_reply(request, RADIUS_ACCESS_ACCEPT, {26, 9, 0, 0, 0xB8, 0x01, 100, 3, 9, 79, 6, 3, 5, 0, 4},
                               secret, sign);
}
// `packet` with its byte `at` changed.
bytes flipped(bytes packet, size_t at)
{
    packet[at] ^= 1;
    return packet;
}
bytes challenge(const bytes &request)
{
    return radius_signed_reply(request, RADIUS_ACCESS_CHALLENGE, {79, 6, 1, 5, 0, 4}, SECRET);
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
        local_ = radius_free_port();
        server_ = radius_free_port();
        radius_test_settings("127.0.0.1", "255.255.255.255", local_, server_, SECRET);
    }
    void TearDown() override
    {
        clock_fake_release();
        radius_use_secondary = 0;
        log_close();
        unsetenv("ZANDREL_LOG_STDERR");
        bclose();
    }

    // Runs `exchange` and returns what was logged meanwhile.
    template <typename F> std::string logged(F exchange)
    {
        testing::internal::CaptureStderr();
        exchange();
        return testing::internal::GetCapturedStderr();
    }

    uint16_t local_ = 0, server_ = 0;
};

// Datagrams that must never authenticate an ONU are dropped each with its
// line, and the wait goes on: to the genuine answer behind them, or to its
// time-out with the configuration and EAP buffer as they were.
TEST_F(Client, OnlyTheServersSignedAnswerIsTaken)
{
    const struct {
        const char *name;
        radius_replies_fn replies;
        const char *answer_from = nullptr;
        const char *line = "";
        uint32_t dropped = 1;
    } cases[] = {
        {"accepted", [](const bytes &r) { return datagrams{accept(r)}; }, nullptr, "", 0},
        {"strays ahead of the Accept",
         [](const bytes &r) {
             bytes bare = accept(r);   // cut to a 20-byte Accept
             bare.resize(RADIUS_HEADER);
             store_be16(&bare[2], RADIUS_HEADER);
             return datagrams{bare, flipped(accept(r), 19), accept(r)};
         },
         nullptr, "", 2},
        {"impostor address", [](const bytes &r) { return datagrams{accept(r)}; }, "127.0.0.3",
         "RADIUS: answer from unknown address 127.0.0.3 port"},
        {"server address, another port", [](const bytes &r) { return datagrams{accept(r)}; }, "127.0.0.1",
         "RADIUS: answer from unknown address 127.0.0.1 port"},
        {"wrong response authenticator", [](const bytes &r) { return datagrams{flipped(accept(r), 19)}; }, nullptr,
         "RADIUS: bad authenticator in response message"},
        {"wrong Message-Authenticator",
         [](const bytes &r) {
             // Signed with another secret, the header signed again with the
             // right one: only the Message-Authenticator is wrong.
             bytes a = accept(r, "other-secret");
             memcpy(&a[4], &r[4], 16);
             radius_md5_authenticator(a.data(), a.size(), SECRET, strlen(SECRET), &a[4]);
             return datagrams{a};
         },
         nullptr, "RADIUS: bad Message-Authenticator in response message"},
        {"truncated attribute",
         [](const bytes &r) {
             // Attribute 26 claims 40 bytes where 9 are left.
             return datagrams{radius_signed_reply(r, RADIUS_ACCESS_ACCEPT, {26, 40, 0, 0, 0xB8, 0x01, 100, 3, 9},
                                                  SECRET, false)};
         },
         nullptr, "RADIUS: malformed attribute in response message"},
    };
    for (const auto &c : cases) {
        bool taken = *c.line == '\0';
        uint32_t dropped = radius_answers_dropped.load();
        auto after = [&] {
            if (taken)
                return;
            eventually([&] { return radius_answers_dropped.load() > dropped; });
            time_out();
        };
        radius_peer peer("127.0.0.1", server_, c.replies, c.answer_from, after);
        auto config = std::make_unique<onu_record>();
        onu_config_defaults(config.get());
        uint8_t eap[RADIUS_EAP_SIZE] = {0x02, 0x05, 0x00, 0x16, 0x04, 0x10};
        uint8_t state[RADIUS_STATE_SIZE];
        memset(state, 0x5A, sizeof state);
        int rc = 0;
        std::string log = logged([&] { rc = radius_eap_response(MAC, eap, state, config.get()); });
        EXPECT_EQ(rc, taken ? int(RADIUS_ACCESS_ACCEPT) : int(RADIUS_ERR_NO_ANSWER)) << c.name;
        EXPECT_NE(log.find(c.line), std::string::npos) << c.name << ": " << log;
        EXPECT_EQ(config->type, taken ? 9 : 0) << c.name;
        EXPECT_EQ(eap[0], taken ? 3 : 2) << c.name;
        EXPECT_EQ(radius_answers_dropped.load(), dropped + c.dropped) << c.name;
    }
}

// A silent primary is left for a valid secondary: the request goes again
// with the same identifier and a new authenticator, and the choice stays.
// Without a secondary the exchange fails after the one request.
TEST_F(Client, SilentPrimaryIsLeftForTheSecondaryWhenThereIsOne)
{
    for (const char *secondary_address : {"127.0.0.2", "255.255.255.255"}) {
        bool secondary_valid = secondary_address[0] == '1';
        radius_test_settings("127.0.0.1", secondary_address, local_, server_, SECRET);
        radius_use_secondary = 0;
        radius_peer primary("127.0.0.1", server_, [](const bytes &) { return bytes(); }, nullptr, time_out);
        radius_peer secondary("127.0.0.2", server_, challenge);
        uint8_t eap[RADIUS_EAP_SIZE] = {}, state[RADIUS_STATE_SIZE] = {};
        int rc = 0;
        std::string log = logged([&] { rc = radius_eap_identity_request(MAC, eap, state); });
        EXPECT_NE(log.find("RADIUS: no answer from primary RADIUS-server in 3 seconds"), std::string::npos) << log;
        ASSERT_EQ(primary.count(), 1u);
        if (!secondary_valid) {
            EXPECT_EQ(rc, RADIUS_ERR_NO_ANSWER);
            EXPECT_NE(log.find("RADIUS: secondary server have invalid value!"), std::string::npos);
            EXPECT_EQ(log.find("retry"), std::string::npos);
            continue;
        }
        EXPECT_EQ(rc, RADIUS_ACCESS_CHALLENGE);
        EXPECT_NE(log.find("RADIUS: try using secondary server!"), std::string::npos);
        EXPECT_NE(log.find("radius_eap_identity_request retry"), std::string::npos);
        ASSERT_EQ(secondary.count(), 1u);
        bytes first = primary.requests()[0], second = secondary.requests()[0];
        EXPECT_EQ(first[1], second[1]);
        EXPECT_NE(bytes(first.begin() + 4, first.begin() + 20), bytes(second.begin() + 4, second.begin() + 20));
        EXPECT_EQ(radius_eap_identity_request(MAC, eap, state), RADIUS_ACCESS_CHALLENGE);
        EXPECT_EQ(primary.count(), 1u);
        EXPECT_EQ(secondary.count(), 2u);
    }
}

TEST_F(Client, BindFailureNamesTheDeviceAddress)
{
    inet_pton(AF_INET, "192.0.2.1", cfgcache()->system + SYSTEM_DEVICE_ADDRESS);   // no address of this host
    uint8_t eap[RADIUS_EAP_SIZE] = {}, state[RADIUS_STATE_SIZE] = {};
    int rc = 0;
    std::string log = logged([&] { rc = radius_eap_identity_request(MAC, eap, state); });
    EXPECT_EQ(rc, RADIUS_ERR_BIND);
    EXPECT_NE(log.find("RADIUS: can't bind socket on port " + std::to_string(local_) + " errno("), std::string::npos);
    EXPECT_NE(log.find("192.0.2.1:" + std::to_string(local_) + ", the device address is missing from this host"),
              std::string::npos)
        << log;
}

} // namespace
