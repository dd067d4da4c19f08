// The RADIUS client and accounting against a real RADIUS server (FreeRADIUS
// on loopback ports of its own), for what the board's RADIUS road does not
// show: the type code and ONT id of the Access-Accept, a client with another
// shared secret, and an accounting session with its Interim-Update (the
// board's minute is too long to show it). The ONU's side of EAP-MD5 is
// computed here.
#include "auth/radius.h"
#include "auth/radius_accounting.h"
#include "common/freeradius.h"
#include "common/link_fixture.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "store/datastruct.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

namespace {

const char SECRET[] = "zandrel-radius-test";
const uint8_t ONU1[6] = {0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56};   // users file: onu1secret, vendor attributes

class RealServer : public LinkFixture {
protected:
    void SetUp() override
    {
        if (!freeradius_installed())
            GTEST_SKIP() << FREERADIUS_MISSING;
        LinkFixture::SetUp();
        if (HasFatalFailure())
            return;
        clock_fake_release();   // a real server answers in real time
        ASSERT_TRUE(server_.start(root_ + "/radius", SECRET)) << "FreeRADIUS did not start; see " << root_
                                                              << "/radius/radius.log";
        ASSERT_EQ(datastruct_init(), 0);
        setenv("ZANDREL_LOG_STDERR", "1", 1);
        log_open();
        radius_use_secondary = 0;
        radius_test_settings("127.0.0.1", "255.255.255.255", radius_free_port(), server_.auth_port, SECRET);
        strcpy(reinterpret_cast<char *>(cfgcache()->system + SYSTEM_HOSTNAME), "olt-test");
    }
    void TearDown() override
    {
        if (IsSkipped())
            return;
        radius_accounting_close();
        datastruct_hooks.accounting_stop = nullptr;
        radius_accounting_statistics = saved_statistics_;
        log_close();
        unsetenv("ZANDREL_LOG_STDERR");
        server_.stop();
        datastruct_close();
        LinkFixture::TearDown();
    }

    // Identity, challenge, the ONU's answer with `secret`: the answer's code.
    int authenticate(const char *secret, onu_record *config, uint8_t eap[RADIUS_EAP_SIZE])
    {
        uint8_t state[RADIUS_STATE_SIZE] = {};
        int rc = radius_eap_identity_request(ONU1, eap, state);
        if (rc != RADIUS_ACCESS_CHALLENGE)
            return rc;
        uint8_t answer[RADIUS_EAP_SIZE] = {};
        radius_md5_answer(eap, secret, answer);
        memcpy(eap, answer, sizeof answer);
        return radius_eap_response(ONU1, eap, state, config);
    }

    freeradius_server server_;
    radius_statistics_fn saved_statistics_ = radius_accounting_statistics;
};

// The users file's type code and ONT id reach the configuration; a wrong
// ONU secret is refused, and a client with another shared secret gets no
// answer at all (the server drops it for its Message-Authenticator).
TEST_F(RealServer, OnlyTheRightSecretsAreAccepted)
{
    auto config = std::make_unique<onu_record>();
    onu_config_defaults(config.get());
    uint8_t eap[RADIUS_EAP_SIZE] = {};
    ASSERT_EQ(authenticate("onu1secret", config.get(), eap), RADIUS_ACCESS_ACCEPT) << server_.log();
    EXPECT_EQ(config->type, 3);
    EXPECT_EQ(config->ont_id, 17u);
    EXPECT_EQ(authenticate("not-the-secret", config.get(), eap), RADIUS_ACCESS_REJECT);
    strcpy(reinterpret_cast<char *>(cfgcache()->radius + RADIUS_SECRET), "another-secret");
    EXPECT_EQ(authenticate("onu1secret", config.get(), eap), RADIUS_ERR_NO_ANSWER);
}

int fake_statistics(const onu_record *, uint16_t set, onu_stat_entry *out, size_t *count)
{
    out[0] = {1, set == 20 ? 12345u : 777u};
    out[1] = {9, 1};   // not a counter that is sent
    *count = 2;
    return 0;
}

// Start, Interim-Update and Stop of one session, with its counters as the
// dictionary names them and the minute the session was aged by.
TEST_F(RealServer, AccountingSessionReachesTheDetailFile)
{
    uint8_t *r = cfgcache()->radius;
    r[RADIUS_ACCT_ENABLED] = 1;
    store_le16(r + RADIUS_INTERIM_MINUTES, 1);
    store_le16(r + RADIUS_ACCT_LOCAL_PORT, radius_free_port());
    store_le16(r + RADIUS_ACCT_SERVER_PORT, server_.acct_port);
    store_le16(r + RADIUS_DISCONNECT_LOCAL_PORT, radius_free_port());
    radius_accounting_statistics = fake_statistics;
    datastruct_hooks.accounting_stop = radius_accounting_stop_hook;
    onu_record *onu = onu_alloc();
    onu_lock(onu);
    memcpy(onu->mac, ONU1, 6);
    onu->link_count = ONU_LINKS;
    onu->state = ONU_STATE_ALLOCATED;
    onu_links_init(onu);
    onu_set_state(onu, ONU_STATE_OK);
    onu_unlock(onu);
    ASSERT_EQ(radius_accounting_start(), 0);
    auto reported = [&](const char *type) {
        return eventually([&] { return count_of(server_.detail(), std::string("Acct-Status-Type = ") + type); }, 20);
    };
    ASSERT_TRUE(reported("Start")) << server_.log();
    onu_lock(onu);   // a minute on: the session and its last report a minute old
    onu->ok_time -= 61;
    onu->accounting -= 61;
    onu_unlock(onu);
    ASSERT_TRUE(reported("Interim-Update"));
    onu_lock(onu);   // released straight from OK: its session ends with a Stop
    onu_set_state(onu, ONU_STATE_FREE);
    onu_unlock(onu);
    std::string detail = server_.detail();
    EXPECT_EQ(count_of(detail, "Acct-Session-Id = \"\\000\\000\\001\""), 3) << detail;
    EXPECT_EQ(count_of(detail, "Pon-Set20-Counter-1 = \"12345\""), 2) << detail;
    EXPECT_EQ(count_of(detail, "Pon-Set21-Counter-1 = \"777\""), 2) << detail;
    std::smatch time;
    int reports = 0;
    for (std::string rest = detail; std::regex_search(rest, time, std::regex("Acct-Session-Time = ([0-9]+)"));
         rest = time.suffix(), reports++)
        EXPECT_GE(std::stoi(time[1]), 61);
    EXPECT_EQ(reports, 2) << "Interim-Update and Stop";
}

} // namespace
