// The RADIUS client against scripted servers on loopback addresses, with an
// in-process configuration module: what it takes from a server and what it
// drops (impostors, bad signatures, truncated attributes, strays ahead of
// the answer), the silent primary with and without a secondary, a device
// address it cannot bind, and what acceptance, refusal and the store's
// answer to the ONU's creation make of the ONU record. A server whose answer
// is dropped moves the fake clock past the 3-second wait once the client
// waits, so no test waits for real seconds.
#include "auth/radius_eap.h"
#include "common/freeradius.h"
#include "common/link_fixture.h"
#include "platform/log.h"
#include "store/datastruct.h"
#include "wire/cfgmsg.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <future>

namespace {

using bytes = std::vector<uint8_t>;
using datagrams = std::vector<bytes>;

const char SECRET[] = "peer-secret";
const uint8_t MAC[6] = {0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56};

int bound(const char *address, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    return fd;
}

// A scripted server on `address`:`port`: it answers each of the `count`
// requests it waits for (5 s at most each) with the datagrams `reply`
// builds, from `answer_from` when given (to play an impostor), then runs
// `after`. The future holds the requests once served.
std::future<datagrams> serve(const char *address, uint16_t port, int count,
                             std::function<datagrams(const bytes &)> reply, const char *answer_from = nullptr,
                             std::function<void()> after = [] {})
{
    int fd = bound(address, port), out = answer_from ? bound(answer_from, 0) : fd;
    return std::async(std::launch::async, [=] {
        datagrams requests;
        bytes packet(RADIUS_BUFFER_SIZE);
        sockaddr_in from{};
        socklen_t size = sizeof from;
        pollfd p{fd, POLLIN, 0};
        auto *to = reinterpret_cast<sockaddr *>(&from);
        for (ssize_t n; int(requests.size()) < count && poll(&p, 1, 5000) == 1 &&
                        (n = recvfrom(fd, packet.data(), packet.size(), 0, to, &size)) > 0;) {
            requests.emplace_back(packet.begin(), packet.begin() + n);
            for (const bytes &answer : reply(requests.back()))
                sendto(out, answer.data(), answer.size(), 0, to, size);
            after();
        }
        close(fd);
        if (out != fd)
            close(out);
        return requests;
    });
}

// A reply of `code` to `request`, signed as a server signs it:
// Message-Authenticator (when `sign`), then the Response Authenticator.
bytes reply(const bytes &request, uint8_t code, const bytes &attributes, const char *secret = SECRET, bool sign = true)
{
    bytes a = {code, request[1], 0, 0};
    a.insert(a.end(), request.begin() + 4, request.begin() + 20);
    a.insert(a.end(), attributes.begin(), attributes.end());
    if (sign)
        a.insert(a.end(), {RADIUS_ATTR_MESSAGE_AUTHENTICATOR, 18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    store_be16(&a[2], uint16_t(a.size()));
    if (sign)
        radius_hmac_md5(a.data(), a.size(), secret, strlen(secret), &a[a.size() - 16]);
    radius_md5_authenticator(a.data(), a.size(), secret, strlen(secret), &a[4]);
    return a;
}
// Acceptance: vendor type 100 (ONU type 9), EAP-Success.
bytes accept(const bytes &r, const char *secret = SECRET)
{
    return reply(r, RADIUS_ACCESS_ACCEPT, {26, 9, 0, 0, 0xB8, 0x01, 100, 3, 9, 79, 6, 3, 5, 0, 4}, secret);
}
bytes flipped(bytes packet, size_t at)
{
    packet[at] ^= 1;
    return packet;
}

class Client : public LinkFixture {
protected:
    void SetUp() override
    {
        LinkFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(datastruct_init(), 0);
        setenv("ZANDREL_LOG_STDERR", "1", 1);
        log_open();
        radius_use_secondary = 0;
        radius_test_settings("127.0.0.1", "255.255.255.255", local_, server_, SECRET);
    }
    void TearDown() override
    {
        radius_use_secondary = 0;
        log_close();
        unsetenv("ZANDREL_LOG_STDERR");
        datastruct_close();
        LinkFixture::TearDown();
    }
    // Runs `exchange` and returns what was logged meanwhile.
    template <typename F> std::string logged(F exchange)
    {
        testing::internal::CaptureStderr();
        exchange();
        return testing::internal::GetCapturedStderr();
    }
    uint16_t local_ = radius_free_port(), server_ = radius_free_port();
};

// Once the client waits for the answer that will not come, its wait ends.
void time_out() { advance_when_waiting((RADIUS_ANSWER_SECONDS + 1) * 1000); }

// Datagrams that must never authenticate an ONU are dropped each with its
// line, and the wait goes on: to the genuine answer behind them, or to its
// time-out with the configuration as it was. (What fails verification is
// the packet codec's table; one such answer stands for all here.)
TEST_F(Client, OnlyTheServersSignedAnswerIsTaken)
{
    const struct {
        const char *name;
        std::function<datagrams(const bytes &)> replies;
        const char *answer_from, *line;
        uint32_t dropped;
    } cases[] = {
        {"accepted", [](const bytes &r) { return datagrams{accept(r)}; }, nullptr, "", 0},
        {"strays ahead of the Accept",
         [](const bytes &r) { return datagrams{flipped(accept(r), 19), flipped(accept(r), 30), accept(r)}; },
         nullptr, "", 2},
        {"impostor address", [](const bytes &r) { return datagrams{accept(r)}; }, "127.0.0.3",
         "RADIUS: answer from unknown address 127.0.0.3 port", 1},
        {"server address, another port", [](const bytes &r) { return datagrams{accept(r)}; }, "127.0.0.1",
         "RADIUS: answer from unknown address 127.0.0.1 port", 1},
        {"wrong response authenticator", [](const bytes &r) { return datagrams{flipped(accept(r), 19)}; }, nullptr,
         "RADIUS: bad authenticator in response message", 1},
    };
    for (const auto &c : cases) {
        bool taken = *c.line == '\0';
        uint32_t dropped = radius_answers_dropped.load();
        auto server = serve("127.0.0.1", server_, 1, c.replies, c.answer_from, [&] {
            if (!taken && eventually([&] { return radius_answers_dropped.load() > dropped; }))
                time_out();
        });
        auto config = std::make_unique<onu_record>();
        onu_config_defaults(config.get());
        uint8_t eap[RADIUS_EAP_SIZE] = {0x02, 0x05, 0x00, 0x16, 0x04, 0x10}, state[RADIUS_STATE_SIZE] = {};
        int rc = 0;
        std::string log = logged([&] { rc = radius_eap_response(MAC, eap, state, config.get()); });
        EXPECT_EQ(rc, taken ? int(RADIUS_ACCESS_ACCEPT) : int(RADIUS_ERR_NO_ANSWER)) << c.name;
        EXPECT_NE(log.find(c.line), std::string::npos) << c.name << ": " << log;
        EXPECT_EQ(config->type, taken ? 9 : 0) << c.name;
        EXPECT_EQ(radius_answers_dropped.load(), dropped + c.dropped) << c.name;
    }
}

// A silent primary is left for a valid secondary: the request goes again
// with the same identifier and a new authenticator, and the choice stays.
// Without a secondary the exchange fails after the one request.
TEST_F(Client, SilentPrimaryIsLeftForTheSecondaryWhenThereIsOne)
{
    for (const char *secondary : {"127.0.0.2", "255.255.255.255"}) {
        bool valid = secondary[0] == '1';
        radius_test_settings("127.0.0.1", secondary, local_, server_, SECRET);
        radius_use_secondary = 0;
        auto primary = serve("127.0.0.1", server_, 1, [](const bytes &) { return datagrams{}; }, nullptr, time_out);
        auto backup = serve("127.0.0.2", server_, valid ? 2 : 0, [](const bytes &r) {
            return datagrams{reply(r, RADIUS_ACCESS_CHALLENGE, {79, 6, 1, 5, 0, 4})};
        });
        uint8_t eap[RADIUS_EAP_SIZE] = {}, state[RADIUS_STATE_SIZE] = {};
        std::string log = logged([&] {
            EXPECT_EQ(radius_eap_identity_request(MAC, eap, state),
                      valid ? int(RADIUS_ACCESS_CHALLENGE) : int(RADIUS_ERR_NO_ANSWER));
        });
        EXPECT_NE(log.find(valid ? "RADIUS: try using secondary server!" : "secondary server have invalid value!"),
                  std::string::npos)
            << log;
        if (valid) {   // the choice stays
            EXPECT_EQ(radius_eap_identity_request(MAC, eap, state), RADIUS_ACCESS_CHALLENGE);
        }
        datagrams first = primary.get(), second = backup.get();
        ASSERT_EQ(first.size(), 1u);
        ASSERT_EQ(second.size(), valid ? 2u : 0u);
        if (valid) {
            EXPECT_EQ(first[0][1], second[0][1]);
            EXPECT_NE(bytes(&first[0][4], &first[0][20]), bytes(&second[0][4], &second[0][20]));
        }
    }
}

TEST_F(Client, BindFailureNamesTheDeviceAddress)
{
    inet_pton(AF_INET, "192.0.2.1", cfgcache()->system + SYSTEM_DEVICE_ADDRESS);   // no address of this host
    uint8_t eap[RADIUS_EAP_SIZE] = {}, state[RADIUS_STATE_SIZE] = {};
    std::string log = logged([&] { EXPECT_EQ(radius_eap_identity_request(MAC, eap, state), RADIUS_ERR_BIND); });
    EXPECT_NE(log.find("192.0.2.1:" + std::to_string(local_) + ", the device address is missing from this host"),
              std::string::npos)
        << log;
}

// A server whose EAP-Message is 40 bytes long, and State 16 × 0x5A.
datagrams long_challenge(const bytes &request)
{
    bytes attributes = {79, 42, 0x01, 0x05, 0x00, 40, 0x04, 0x10};
    for (int i = 0; i < 34; i++)
        attributes.push_back(uint8_t(0xA0 + i));
    attributes.insert(attributes.end(), {24, 18});
    attributes.insert(attributes.end(), 16, 0x5A);
    return {reply(request, RADIUS_ACCESS_CHALLENGE, attributes)};
}

// The ONU gets at most the request its buffer holds; the server's State is
// kept for the answer.
TEST_F(Client, IdentityHandsTheOnuAChallengeOfItsSizeAndKeepsTheState)
{
    auto server = serve("127.0.0.1", server_, 1, long_challenge);
    onu_record *onu = onu_alloc();
    uint8_t eap[RADIUS_ONU_EAP_REQUEST + 1];
    memset(eap, 0xEE, sizeof eap);
    EXPECT_EQ(radius_authorization_identity(onu, eap), RADIUS_ACCESS_CHALLENGE);
    EXPECT_EQ(bytes(eap + RADIUS_ONU_EAP_REQUEST - 1, eap + sizeof eap), (bytes{0xA0 + 15, 0xEE}));
    EXPECT_EQ(bytes(onu->auth, onu->auth + 16), bytes(16, 0x5A));
}

// Acceptance with ONU state `state` in the vendor attributes, ONT id 17.
std::function<datagrams(const bytes &)> accept_with_state(uint8_t state)
{
    return [state](const bytes &r) {
        return datagrams{reply(r, RADIUS_ACCESS_ACCEPT, {26, 9, 0, 0, 0xB8, 0x01, 110, 3, state, 26, 12, 0, 0, 0xB8,
                                                         0x01, 103, 6, 0, 0, 0, 17, 79, 6, 3, 9, 0, 4})};
    };
}

// An ONU created from an earlier Accept registers again after the server
// disconnected it: "already exists" is no failure, or it never comes up.
TEST_F(Client, TheAnswerDecidesTheResultAndTheStoreTheConfiguration)
{
    const bytes OK = {3, 9, 0, 4}, FAILED = {4, 1, 0, 4};
    const struct {
        const char *name;
        std::function<datagrams(const bytes &)> reply;
        uint8_t store_rcode;   // to the creation of the configuration
        int result;
        bytes eap;             // what the ONU is told
        uint32_t ont_id;       // the server's configuration applied
        bool linked = true;    // false: no configuration module to ask
    } cases[] = {
        {"server state: the store is kept", accept_with_state(1), 0, RADIUS_CHECK_OK, OK, 0},
        {"created: the store's ONT id", accept_with_state(0), 0, RADIUS_CHECK_OK, OK, 1},
        {"already in the store", accept_with_state(0), CFG_RC_EXISTS, RADIUS_CHECK_OK, OK, 17},
        {"store out of room", accept_with_state(0), CFG_RC_NO_RESOURCES, RADIUS_CHECK_CONFIG_FAILED, OK, 17},
        {"refused", [](const bytes &r) { return datagrams{reply(r, RADIUS_ACCESS_REJECT, {79, 6, 4, 9, 0, 4})}; }, 0,
         RADIUS_CHECK_FAILED, FAILED, 0},
        {"a Challenge where an answer was due", long_challenge, 0, RADIUS_CHECK_FAILED, FAILED, 0},
        {"no configuration module", accept_with_state(0), 0, RADIUS_CHECK_CONFIG_FAILED, OK, 17, false},
    };
    for (const auto &c : cases) {
        onu_record *onu = onu_alloc();
        memcpy(onu->mac, MAC, 6);
        onu->state = ONU_STATE_AUTHINPROGRESS;
        onu->cfg_flags = ONU_CFG_PENDING;
        kernel_.store().refuse(CFG_CMD_ONT_CREATE, c.store_rcode);
        if (!c.linked)
            kernlink_close();
        auto server = serve("127.0.0.1", server_, 1, c.reply);
        const uint8_t eap[22] = {0x02, 0x05, 0x00, 0x16, 0x04, 0x10};
        uint8_t answer[4] = {};
        logged([&] { EXPECT_EQ(radius_eap_check(onu, eap, sizeof eap, answer, 4), c.result) << c.name; });
        EXPECT_EQ(bytes(answer, answer + 4), c.eap) << c.name;
        EXPECT_EQ(onu->ont_id, c.ont_id) << c.name;
        EXPECT_EQ(bool(onu->cfg_flags & ONU_CFG_RADIUS_AUTH), c.result == RADIUS_CHECK_OK) << c.name;
    }
}

} // namespace
