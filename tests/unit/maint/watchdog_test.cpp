// The watchdog's sweeps, one pass at a time under the fake clock: which
// records each one acts on at the edges of its time-outs, and what it
// leaves behind.
#include "maint_fixture.h"

#include "maint/watchdog.h"

#include <sys/socket.h>
#include <sys/un.h>

namespace {

class Sweeps : public MaintFixture {
protected:
    bool with_chips() const override { return false; }
};

// ---- OLTs ---------------------------------------------------------------------

TEST_F(Sweeps, OltsStuckInResetAreResetAgainAfterThirtySeconds)
{
    struct { const char *name; uint32_t state, age; bool reset; } rows[] = {
        {"RESETOK 31 s", ONU_STATE_RESETOK, 31, true},
        {"RESETOK 30 s", ONU_STATE_RESETOK, 30, false},
        {"RESETINPROGRESS 31 s", ONU_STATE_RESETINPROGRESS, 31, true},
        {"CFGINPROGRESS", ONU_STATE_CFGINPROGRESS, 1000, false},   // any other state
        {"no board device to reset it", ONU_STATE_RESETOK, 100, false},   // the last row: no socket
    };
    // A socket in place of the board device, as in the sandbox: one datagram
    // per reset, holding the OLT index.
    int board = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un addr{AF_UNIX, {}};
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", (root_ / "dev/board").c_str());
    ASSERT_EQ(bind(board, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        if (&r == std::end(rows) - 1)
            std::filesystem::remove(root_ / "dev/board");
        for (int olt = 0; olt < OLT_COUNT; olt++)
            olt_set_state(olt, ONU_STATE_OK);
        olt_set_state(2, r.state);
        clock_fake_advance(r.age);
        std::string lines = trace_of(wd_cleanup_olts);
        uint8_t reset[2];
        EXPECT_EQ(recv(board, reset, 2, 0), r.reset ? 1 : -1);
        if (r.reset) {
            EXPECT_EQ(reset[0], 2);
            EXPECT_EQ(olt_get_state(2), ONU_STATE_RESETFWUPGRADE);
            EXPECT_EQ(olt_get(2)->state_time, uptime_seconds());
            EXPECT_EQ(lines, "wd_cleanup_olts: OLT[2] in CHECKNEWFW state\n");
        } else {
            EXPECT_EQ(olt_get_state(2), r.state);
            EXPECT_EQ(lines, "");
        }
    }
    close(board);
}

// ---- lost links and released ONUs ------------------------------------------------

TEST_F(Sweeps, ALinkWithoutProgressForMoreThanTenMinutesRetiresTheOnusLinks)
{
    // The ONU's state, and the state and age of link 1 of its three; the others are OK.
    struct { const char *name; uint32_t onu_state, stuck_state, age; bool lost; } rows[] = {
        {"DISCOVERED link, 601 s", ONU_STATE_OK, ONU_STATE_DISCOVERED, 601, true},
        {"DISCOVERED link, 600 s", ONU_STATE_OK, ONU_STATE_DISCOVERED, 600, false},
        {"ALLOCATED link, 601 s", ONU_STATE_CFGINPROGRESS, ONU_STATE_ALLOCATED, 601, true},
        {"REPORTTIMEOUT link, 601 s", ONU_STATE_AUTHINPROGRESS, ONU_STATE_REPORTTIMEOUT, 601, true},
        {"OK link, 700 s", ONU_STATE_OK, ONU_STATE_OK, 700, false},
        {"ONU DISCOVERED, link 700 s", ONU_STATE_DISCOVERED, ONU_STATE_DISCOVERED, 700, false},
        {"ONU UNCONFIGURED, link 700 s", ONU_STATE_UNCONFIGURED, ONU_STATE_DISCOVERED, 700, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        onu_record *onu = put_onu(7, 1, r.onu_state, 3);
        onu->links[1].state = r.stuck_state;
        clock_fake_advance(r.age);
        // A fresh OK link keeps nothing alive: the stuck one decides.
        onu->links[0].state_time = uptime_seconds();
        uint32_t counter = onu_change_counter_get();
        wd_cleanup_report_timeout_onus();   // one timed-out link of three releases nothing
        std::string lines = trace_of(wd_cleanup_discovery_timeout_onus);
        if (r.lost) {
            EXPECT_EQ(lines, "wd_cleanup_discovery_timeout_onus: 00:0D:B6:00:00:01[7] lost link[1] found\n");
            EXPECT_EQ(onu->discovered_links, 0);
            for (int i = 0; i < 3; i++)
                EXPECT_EQ(onu->links[i].state, ONU_STATE_REPORTTIMEOUT);
            EXPECT_EQ(onu->links[3].state, 0u) << "only the discovered links";
            EXPECT_EQ(onu_change_counter_get() - counter, 3u);
            EXPECT_EQ(onu->state, r.onu_state) << "the report sweep releases it, not this one";
        } else {
            EXPECT_EQ(onu->links[1].state, r.stuck_state);
            EXPECT_EQ(onu_change_counter_get(), counter);
        }
    }
    // A counter past the link table: its four links go, not the bytes behind them.
    onu_record *onu = put_onu(3, 2, ONU_STATE_OK, 4, ONU_STATE_DISCOVERED);
    onu->discovered_links = 200;
    clock_fake_advance(601);
    wd_cleanup_discovery_timeout_onus();
    EXPECT_TRUE(onu->discovered_links == 0 && onu->drssi_accepted == 0 && onu->video_power == 0);
}

// ---- stuck configuration ------------------------------------------------------------

TEST_F(Sweeps, OnusStuckInAuthorizationOrConfigurationAreRediscovered)
{
    struct { const char *name; uint32_t state; bool radius; uint32_t age; bool rediscovered; } rows[] = {
        {"CFGFAILED 301 s", ONU_STATE_CFGFAILED, false, 301, true},
        {"CFGFAILED 300 s", ONU_STATE_CFGFAILED, false, 300, false},
        {"AUTHINPROGRESS 301 s", ONU_STATE_AUTHINPROGRESS, false, 301, true},
        {"AUTHFAILED 301 s", ONU_STATE_AUTHFAILED, true, 301, true},
        {"UNCONFIGURED from RADIUS 61 s", ONU_STATE_UNCONFIGURED, true, 61, true},
        {"UNCONFIGURED from RADIUS 60 s", ONU_STATE_UNCONFIGURED, true, 60, false},
        {"UNCONFIGURED locally 1000 s", ONU_STATE_UNCONFIGURED, false, 1000, false},
        {"OK 1000 s", ONU_STATE_OK, true, 1000, false},   // any other state
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        hook_calls.clear();
        onu_record *onu = put_onu(40, 3, r.state, 1);
        if (r.radius)
            onu->cfg_flags |= ONU_CFG_FROM_RADIUS;
        clock_fake_advance(r.age);
        std::string lines = trace_of(wd_cleanup_cfg_timeout_onus);
        if (r.rediscovered) {
            EXPECT_EQ(hook_calls, std::vector<std::string>{"rediscover 00:0D:B6:00:00:03"});
            EXPECT_EQ(lines, "wd_cleanup_cfg_timeout_onus: 00:0D:B6:00:00:03 cfg timeout. force rediscovery started\n");
        } else {
            EXPECT_TRUE(hook_calls.empty());
            EXPECT_EQ(lines, "");
        }
        EXPECT_EQ(onu->state, r.state) << "the state is left to the teardown";
    }
}

} // namespace
