// The RADIUS client and accounting with an in-process configuration module.
// Against scripted servers on loopback addresses: what the client takes from
// a server and what it drops (impostors, spoiled answers, strays ahead of the
// answer), the silent primary with and without a secondary, a device address
// it cannot bind, and what acceptance, refusal and the store's answer to the
// ONU's creation make of the ONU record; a server whose answer is dropped
// moves the fake clock past the 3-second wait once the client waits. Then
// the sweep's Start and Interim-Update (the board's RADIUS road, against a
// real server, shows Start and Stop with their counters but not the
// Interim-Update: its minute is too long), Disconnect-Requests as handled
// against the data store, and the accounting thread's restarts and stops.
#include "auth/radius_accounting.h"
#include "auth/radius_eap.h"
#include "common/freeradius.h"
#include "common/hex.h"
#include "common/link_fixture.h"
#include "common/mgmt_conn.h"
#include "platform/log.h"
#include "store/datastruct.h"
#include "wire/cfgmsg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <future>

namespace {

using testing::HasSubstr;
using bytes = std::vector<uint8_t>;
using datagrams = std::vector<bytes>;

const char SECRET[] = "acct-secret";
const uint8_t MAC[6] = {0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56};

int bound(const char *address, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{AF_INET, htons(port), {inet_addr(address)}, {}};
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    return fd;
}

// A scripted server on `address`:`port`: it answers each of the `count`
// requests it waits for (20 s at most each) with the datagrams `reply`
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
        for (ssize_t n; int(requests.size()) < count && poll(&p, 1, 20000) == 1 &&
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

enum signature { NO_SIGNATURE, SIGNED, BADLY_SIGNED };
// A packet of `code` and `identifier` with `attributes`, signed with `secret`
// over `authenticator` (the request's, or zeros for a request): first a
// Message-Authenticator if asked (spoiled if so asked), then the header.
bytes signed_packet(uint8_t code, uint8_t identifier, const uint8_t *authenticator, const bytes &attributes,
                    const char *secret = SECRET, signature sign = SIGNED)
{
    bytes p = {code, identifier, 0, 0};
    p.insert(p.end(), authenticator, authenticator + 16);
    p.insert(p.end(), attributes.begin(), attributes.end());
    if (sign != NO_SIGNATURE)
        p.insert(p.end(), {RADIUS_ATTR_MESSAGE_AUTHENTICATOR, 18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    store_be16(&p[2], uint16_t(p.size()));
    if (sign != NO_SIGNATURE) {
        radius_hmac_md5(p.data(), p.size(), secret, strlen(secret), &p[p.size() - 16]);
        p.back() ^= sign == BADLY_SIGNED;
    }
    radius_md5_authenticator(p.data(), p.size(), secret, strlen(secret), &p[4]);
    return p;
}
// A server's reply of `code` to `request`.
bytes reply(const bytes &request, uint8_t code, const bytes &attributes)
{
    return signed_packet(code, request[1], &request[4], attributes);
}
// Acceptance: vendor type 100 (ONU type 9), EAP-Success.
bytes accept(const bytes &r) { return reply(r, RADIUS_ACCESS_ACCEPT, hex("1a 09 0000b801 64 03 09  4f 06 03050004")); }
// A Challenge: EAP-Request/Identity.
datagrams challenge(const bytes &r) { return {reply(r, RADIUS_ACCESS_CHALLENGE, {79, 6, 1, 5, 0, 4})}; }
bytes flipped(bytes packet, size_t at)
{
    packet[at] ^= 1;
    return packet;
}

// The link to an in-process configuration module, the data store, the log
// on standard error, RADIUS settings pointing at 127.0.0.1, and an ONU of
// MAC on PON port 1 of the OLT "olt-test" that has no session yet.
class Radius : public LinkFixture {
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
        strcpy(reinterpret_cast<char *>(cfgcache()->system + SYSTEM_HOSTNAME), "olt-test");
        onu_ = onu_alloc();
        memcpy(onu_->mac, MAC, 6);
        onu_->port = 1;
        onu_->state = ONU_STATE_ALLOCATED;
        onu_->link_count = ONU_LINKS;
        onu_links_init(onu_);
    }
    void TearDown() override
    {
        radius_accounting_close();
        radius_accounting_statistics = saved_statistics_;
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
    onu_record *onu_ = nullptr;
    uint8_t eap_[RADIUS_EAP_SIZE] = {0x02, 0x05, 0x00, 0x16, 0x04, 0x10}, state_[RADIUS_STATE_SIZE] = {};
    radius_statistics_fn saved_statistics_ = radius_accounting_statistics;
};
using Client = Radius;
using Accounting = Radius;


// Once the client waits for the answer that will not come, its wait ends.
void time_out() { advance_when_waiting((RADIUS_ANSWER_SECONDS + 1) * 1000); }

// Datagrams that must never authenticate an ONU are dropped each with its
// line, and the wait goes on: to the genuine answer behind them, or to its
// time-out with the configuration as it was. (What fails verification is
// the packet codec's table; one such answer stands for all here.)
TEST_F(Client, OnlyTheServersSignedAnswerIsTaken)
{
    // Name; the Accepts sent, each with the byte at that offset spoiled (0: none); the address they come
    // from when not the server's; the line logged ("": the Accept is taken); the answers dropped.
    using row = std::tuple<const char *, std::vector<size_t>, const char *, const char *, uint32_t>;
    const row cases[] = {
        {"strays ahead of the Accept", {19, 30, 0}, nullptr, "", 2},
        {"impostor address", {0}, "127.0.0.3", "RADIUS: answer from unknown address 127.0.0.3 port", 1},
        {"server address, another port", {0}, "127.0.0.1", "RADIUS: answer from unknown address 127.0.0.1 port", 1},
        {"wrong response authenticator", {19}, nullptr, "RADIUS: bad authenticator in response message", 1},
    };
    for (const auto &[name, spoiled, answer_from, line, dropped] : cases) {
        bool taken = *line == '\0';
        uint32_t before = radius_answers_dropped.load();
        auto replies = [&](const bytes &r) {
            datagrams sent;
            for (size_t at : spoiled)
                sent.push_back(at ? flipped(accept(r), at) : accept(r));
            return sent;
        };
        auto server = serve("127.0.0.1", server_, 1, replies, answer_from, [&] {
            if (!taken && eventually([&] { return radius_answers_dropped.load() > before; }))
                time_out();
        });
        auto config = std::make_unique<onu_record>();
        onu_config_defaults(config.get());
        int rc = 0;
        EXPECT_THAT(logged([&] { rc = radius_eap_response(MAC, eap_, state_, config.get()); }), HasSubstr(line));
        EXPECT_EQ(rc, taken ? int(RADIUS_ACCESS_ACCEPT) : int(RADIUS_ERR_NO_ANSWER)) << name;
        EXPECT_EQ(config->type, taken ? 9 : 0) << name;
        EXPECT_EQ(radius_answers_dropped.load(), before + dropped) << name;
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
        auto backup = serve("127.0.0.2", server_, valid ? 2 : 0, challenge);
        int expected = valid ? int(RADIUS_ACCESS_CHALLENGE) : int(RADIUS_ERR_NO_ANSWER);
        EXPECT_THAT(logged([&] { EXPECT_EQ(radius_eap_identity_request(MAC, eap_, state_), expected); }),
                    HasSubstr(valid ? "RADIUS: try using secondary server!" : "secondary server have invalid value!"));
        EXPECT_EQ(valid ? radius_eap_identity_request(MAC, eap_, state_) : expected, expected);   // the choice stays
        datagrams first = primary.get(), second = backup.get();
        ASSERT_EQ(first.size(), 1u);
        ASSERT_EQ(second.size(), valid ? 2u : 0u);
        EXPECT_TRUE(!valid || (first[0][1] == second[0][1] && !std::equal(&first[0][4], &first[0][20], &second[0][4])));
    }
}

TEST_F(Client, BindFailureNamesTheDeviceAddress)
{
    inet_pton(AF_INET, "192.0.2.1", cfgcache()->system + SYSTEM_DEVICE_ADDRESS);   // no address of this host
    EXPECT_THAT(logged([&] { EXPECT_EQ(radius_eap_identity_request(MAC, eap_, state_), RADIUS_ERR_BIND); }),
                HasSubstr("192.0.2.1:" + std::to_string(local_) + ", the device address is missing from this host"));
}

// Acceptance with ONU state `state` in the vendor attributes, ONT id 17.
std::function<datagrams(const bytes &)> accept_with_state(uint8_t state)
{
    return [state](const bytes &r) {
        bytes a = hex("1a 09 0000b801 6e 03 00  1a 0c 0000b801 67 06 00000011  4f 06 03090004");
        a[8] = state;
        return datagrams{reply(r, RADIUS_ACCESS_ACCEPT, a)};
    };
}

// An ONU created from an earlier Accept registers again after the server
// disconnected it: "already exists" is no failure, or it never comes up.
TEST_F(Client, TheAnswerDecidesTheResultAndTheStoreTheConfiguration)
{
    const bytes OK = {3, 9, 0, 4}, FAILED = {4, 1, 0, 4};
    // Name, the server's answer, the store's to the creation of the configuration, the result, what the ONU
    // is told, the ONT id of the configuration applied, whether there is a configuration module to ask.
    using row = std::tuple<const char *, std::function<datagrams(const bytes &)>, uint8_t, int, bytes, uint32_t, bool>;
    const row cases[] = {
        {"server state: the store is kept", accept_with_state(1), 0, RADIUS_CHECK_OK, OK, 0, true},
        {"created: the store's ONT id", accept_with_state(0), 0, RADIUS_CHECK_OK, OK, 1, true},
        {"already in the store", accept_with_state(0), CFG_RC_EXISTS, RADIUS_CHECK_OK, OK, 17, true},
        {"store out of room", accept_with_state(0), CFG_RC_NO_RESOURCES, RADIUS_CHECK_CONFIG_FAILED, OK, 17, true},
        {"a Challenge where an answer was due", challenge, 0, RADIUS_CHECK_FAILED, FAILED, 0, true},
        {"no configuration module", accept_with_state(0), 0, RADIUS_CHECK_CONFIG_FAILED, OK, 17, false},
    };
    for (const auto &[name, answers, store_rcode, result, told, ont_id, linked] : cases) {
        onu_->state = ONU_STATE_AUTHINPROGRESS;
        onu_->cfg_flags = ONU_CFG_PENDING;
        onu_->ont_id = 0;
        kernel_.store().refuse(CFG_CMD_ONT_CREATE, store_rcode);
        if (!linked)
            kernlink_close();
        auto server = serve("127.0.0.1", server_, 1, answers);
        uint8_t answer[4] = {};
        logged([&] { EXPECT_EQ(radius_eap_check(onu_, eap_, 22, answer, 4), result) << name; });
        EXPECT_EQ(bytes(answer, answer + 4), told) << name;
        EXPECT_EQ(onu_->ont_id, ont_id) << name;
        EXPECT_EQ(bool(onu_->cfg_flags & ONU_CFG_RADIUS_AUTH), result == RADIUS_CHECK_OK) << name;
    }
}

// Accounting enabled, with its two local ports free on 127.0.0.1.
void accounting_settings()
{
    store_le16(cfgcache()->radius + RADIUS_ACCT_LOCAL_PORT, radius_free_port());
    store_le16(cfgcache()->radius + RADIUS_DISCONNECT_LOCAL_PORT, radius_free_port());
    cfgcache()->radius[RADIUS_ACCT_ENABLED] = 1;
}

// With the thread's sockets open, the sweep starts a session for an ONU in
// OK, then sends its Interim-Update once the last report is older than the
// interval.
TEST_F(Accounting, TheSweepStartsASessionAndUpdatesItAfterItsInterval)
{
    accounting_settings();
    store_le16(cfgcache()->radius + RADIUS_INTERIM_MINUTES, 1);
    store_le16(cfgcache()->radius + RADIUS_ACCT_SERVER_PORT, server_);
    radius_accounting_statistics = [](const onu_record *, uint16_t, onu_stat_entry *, size_t *n) { return int(*n = 0); };
    auto server = serve("127.0.0.1", server_, 2, [](const bytes &r) {
        return datagrams{reply(r, RADIUS_ACCOUNTING_RESPONSE, {})};
    });
    int waiters = clock_fake_waiters();
    ASSERT_EQ(radius_accounting_start(), 0);
    ASSERT_TRUE(eventually([&] { return clock_fake_waiters() > waiters; }));   // its first pause
    onu_lock(onu_), onu_set_state(onu_, ONU_STATE_OK), onu_unlock(onu_);
    radius_accounting_sweep();
    onu_->accounting -= 61;
    radius_accounting_sweep();
    datagrams sent = server.get();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][44], RADIUS_ACCT_START);   // Acct-Status-Type behind the User-Name
    EXPECT_EQ(sent[1][44], RADIUS_ACCT_INTERIM);
}

// A Disconnect-Request signed with `secret`: `extra` attributes after
// User-Name and Acct-Session-Id, then a Message-Authenticator if asked.
bytes disconnect(const std::string &user, const bytes &session, const char *secret = SECRET, const bytes &extra = {},
                 signature sign = NO_SIGNATURE)
{
    static const uint8_t zeros[16] = {};
    bytes a = {RADIUS_ATTR_USER_NAME, uint8_t(user.size() + 2)};
    a.insert(a.end(), user.begin(), user.end());
    a.insert(a.end(), {RADIUS_ATTR_ACCT_SESSION_ID, 6, session[0], session[1], session[2], session[3]});
    a.insert(a.end(), extra.begin(), extra.end());
    return signed_packet(RADIUS_DISCONNECT_REQUEST, 0x33, zeros, a, secret, sign);
}
// Event-Timestamp `offset` seconds from now.
bytes timestamp(long offset)
{
    bytes a = {RADIUS_ATTR_EVENT_TIMESTAMP, 6, 0, 0, 0, 0};
    store_be32(&a[2], uint32_t(time(nullptr) + offset));
    return a;
}

// In turn, against one ONU whose links are put back before each request:
// what a request names decides its answer, once it has passed the checks
// that keep out forged, stale and replayed ones. Datagrams that are no
// Disconnect-Request get no answer (nor, as the fuzz target checks, any
// from an address that is no configured server).
TEST_F(Accounting, DisconnectRequestsAreAnsweredByWhatTheyName)
{
    radius_disconnect_forget();
    memcpy(radius_acct_session_id(onu_), "\x00\x00\x01\x00", 4);
    const std::string ONU = "00:0D:B6:12:34:56";
    const bytes SESSION = {0, 0, 1, 0}, known = disconnect(ONU, SESSION);
    bytes truncated = known, short_length = known;
    truncated[RADIUS_HEADER + 1] = 60;   // User-Name runs past the packet
    store_be16(&short_length[2], 19);
    constexpr uint32_t KEPT = ONU_STATE_ALLOCATED, TORN_DOWN = ONU_STATE_REPORTTIMEOUT;
    constexpr int ACK = RADIUS_DISCONNECT_ACK, NAK = RADIUS_DISCONNECT_NAK;
    const char *RECONFIGURED = "RADIUS: ONT 00:0D:B6:12:34:56 reconfigure inited";
    auto with = [&](const bytes &extra, signature sign) { return disconnect(ONU, SESSION, SECRET, extra, sign); };
    const struct {
        const char *name;
        bytes packet;
        int code;
        const char *line;
        uint32_t advance = 0;   // seconds on the daemon's clock before it comes
    } cases[] = {
        {"unknown ONU", disconnect("00:0D:B6:AB:CD:EF", SESSION), NAK, "ONT 00:0D:B6:AB:CD:EF not found"},
        {"bad secret", disconnect(ONU, SESSION, "wrong"), NAK, "RADIUS: bad shared secret, check it"},
        {"the NAS's own name saves", disconnect("olt-test", {0, 0, 0, 0}), ACK, "RADIUS: config saved"},
        {"host name with a session is an ONU name", disconnect("olt-test", SESSION), NAK, "ONT olt-test not found"},
        {"known session", known, ACK, RECONFIGURED},
        {"the same request again", known, NAK, "RADIUS: replayed Disconnect-Request", 299},
        {"the same request after the window", known, ACK, RECONFIGURED, 2},
        {"bad Message-Authenticator", with(timestamp(0), BADLY_SIGNED), NAK, "bad Message-Authenticator in Disconnect"},
        {"stale Event-Timestamp", with(timestamp(-400), SIGNED), NAK, "RADIUS: stale Event-Timestamp"},
        {"Event-Timestamp ahead", with(timestamp(400), NO_SIGNATURE), NAK, "RADIUS: stale Event-Timestamp"},
        {"signed and timely", with(timestamp(-10), SIGNED), ACK, RECONFIGURED},
        {"truncated attribute", truncated, 0, "dropped"},
        {"another code (Disconnect-ACK)", flipped(known, 0), 0, "dropped"},
        {"length field below a header", short_length, 0, "dropped"},
        {"shorter than a header", bytes(19, 40), 0, "dropped"},
    };
    for (const auto &c : cases) {
        for (link_record &link : onu_->links)
            link.state = KEPT;
        clock_fake_advance(c.advance);
        uint8_t answer[20];
        EXPECT_THAT(logged([&] {
            EXPECT_EQ(radius_disconnect_handle(c.packet.data(), c.packet.size(), inet_addr("127.0.0.1"), answer), c.code)
                << c.name;
        }), HasSubstr(c.line)) << c.name;
        EXPECT_EQ(onu_->links[ONU_LINKS - 1].state, c.line == RECONFIGURED ? TORN_DOWN : KEPT) << c.name;
        // The answer: the request's header with the new code and length 20,
        // signed over itself with the request's authenticator.
        if (c.code != 0) {
            EXPECT_EQ(bytes(answer, answer + 20), signed_packet(uint8_t(c.code), 0x33, &c.packet[4], {}, SECRET,
                                                                NO_SIGNATURE)) << c.name;
        }
    }
}

TEST_F(Accounting, ChangedSettingsRestartOrEndTheThread)
{
    accounting_settings();
    ASSERT_EQ(radius_accounting_start(), 0);
    // Still enabled: the thread takes the new settings and goes on.
    radius_cfg_changed = 1;
    EXPECT_TRUE(advance_until([] { return radius_cfg_changed.load() == 0; }));
    EXPECT_EQ(radius_accounting_running.load(), 1);
    // Disabled: it ends, and can be started again.
    cfgcache()->radius[RADIUS_ACCT_ENABLED] = 0;
    radius_cfg_changed = 1;
    EXPECT_TRUE(advance_until([] { return radius_accounting_running.load() == 0; }));
    EXPECT_EQ(radius_accounting_start(), 0);
}

// A stop that comes while the thread fetches changed settings: the fetch's
// answer, which still enables accounting, must not start the thread again,
// or it spins on its cut-short pause and the join never returns.
TEST_F(Accounting, StopDuringTheSettingsFetchEndsTheThread)
{
    accounting_settings();
    kernel_.store().silence(CFG_CMD_RADIUS, true);
    const std::string flag = root_ + RADIUS_CHANGED_FLAG;
    fclose(fopen(flag.c_str(), "w"));
    ASSERT_EQ(radius_accounting_start(), 0);
    ASSERT_TRUE(eventually([&] { return kernel_.requests_seen(CFG_CMD_RADIUS) == 1; }));
    radius_accounting_stop();
    std::filesystem::remove(flag);

    // The held fetch (the link's first request, tag 1) is answered now.
    bytes payload(CFG_PARAMS_SIZE, 0);
    payload.insert(payload.end(), cfgcache()->radius, cfgcache()->radius + RADIUS_SETTINGS_SIZE);
    kernmsg_header h{.cmd = CFG_CMD_RADIUS, .tag = 1, .type = KERNMSG_ANSWER, .src = MODULE_CONFIG, .dst = MODULE_CHIPSET};
    ASSERT_EQ(kernel_.send_raw(mgmt_build(h, payload)), 0);

    std::atomic<bool> closed{false};
    std::thread closer([&] { radius_accounting_close(), closed = true; });
    bool ended = eventually([&] { return closed.load(); }, 5);
    if (!ended)
        radius_accounting_running = 0;   // frees the spinning thread, so the test can end
    closer.join();
    EXPECT_TRUE(ended) << "the accounting thread did not end after its stop";
}

} // namespace
