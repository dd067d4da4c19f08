// The sweeps and jobs that talk to the chips, against the in-process chip
// simulator (requests recorded, TFTP served) with the management process's
// stand-in receiving the notifications.
#include "maint_fixture.h"

#include "common/hex.h"
#include "common/tftp_kernel_fixture.h"
#include "maint/watchdog.h"
#include "wire/personality.h"

#include <algorithm>
#include <fstream>

namespace {

using bytes = std::vector<uint8_t>;

int drssi_asked;

class ChipSweeps : public WithTftpAndKernel<MaintFixture> {
protected:
    void BeforeStart() override
    {
        drssi_asked = 0;
        // DRSSI on PON port 0 of every OLT only.
        drssi_double = [](int, int pon) { drssi_asked++; return pon == 0; };
        WithTftpAndKernel<MaintFixture>::BeforeStart();
    }

    // The ONU of each request `id`, read from the request's MAC at
    // `mac_at`, as the ONU number n of mac_of.
    std::vector<int> onus_asked(uint16_t id, size_t mac_at)
    {
        std::vector<int> out;
        auto log = sim_->request_log();
        for (auto r = log.begin() + long(since_); r != log.end(); ++r)
            if (r->id == id && r->data.size() >= mac_at + 6)
                out.push_back(r->data[mac_at + 4] << 8 | r->data[mac_at + 5]);
        return out;
    }

    void write_file(const char *board_path, const bytes &content)
    {
        std::ofstream(root_ / (board_path + 1), std::ios::binary)
            .write(reinterpret_cast<const char *>(content.data()), std::streamsize(content.size()));
    }

    // Requests from here on only.
    void forget_requests() { since_ = sim_->request_log().size(); }

    size_t since_ = 0;
};

// ---- UNI ports ----------------------------------------------------------------------

TEST_F(ChipSweeps, BlockedUniPortsAreReopenedByTheOnusTypeAfterFiveMinutes)
{
    // The ONU, its type and state, and the age of the blocks of UNI 1 and 2
    // (0: no time, the block of ONU configuration, not the duplicate-MAC one).
    struct { int n; uint8_t type; uint32_t state, blocked_age; } rows[] = {
        {1, 1, ONU_STATE_OK, 301},            // port enable for both ports
        {2, 5, ONU_STATE_OK, 301},            // end marker and PON parameters, per port
        {3, 40, ONU_STATE_OK, 301},           // no request, still unblocked
        {4, 1, ONU_STATE_OK, 300},            // too early
        {5, 1, ONU_STATE_CFGINPROGRESS, 301}, // only OK ONUs
        {6, 1, ONU_STATE_OK, 0},              // it stays
    };
    for (const auto &r : rows) {
        onu_record *onu = put_onu(r.n, r.n, r.state);
        onu->type = r.type;
        onu->olt = 1;
        for (int p = 1; p <= 2; p++) {
            onu->uni[p].blocked = 1;
            onu->uni[p].blocked_time = r.blocked_age ? uptime_seconds() - r.blocked_age : 0;
        }
    }

    wd_unblock_uni_ports();

    EXPECT_EQ(onus_asked(TEK_REQ_PORT_ENABLE, 0), (std::vector<int>{1, 1}));
    EXPECT_EQ(onus_asked(TEK_REQ_ONU_CONFIG_END, 0), (std::vector<int>{2, 2}));
    EXPECT_EQ(onus_asked(TEK_REQ_ONU_PON_PARAMS, 0), (std::vector<int>{2, 2}));
    EXPECT_EQ(reports(6).back(), "152 1 0 00:0D:B6:00:00:03 UNI port 2 not blocked");
    for (int n : {1, 2, 3})
        EXPECT_EQ(onu_at(n)->uni[1].blocked + onu_at(n)->uni[2].blocked_time, 0u);
    for (int n : {4, 5, 6})
        EXPECT_EQ(onu_at(n)->uni[1].blocked, 1);
}

// ---- the pass ---------------------------------------------------------------------------

// Which periodic sweeps a pass runs: unblocking every 10th, DRSSI every
// 60th, RF levels (for ONU types with an RF output) every 3600th, all three
// on pass 0.
TEST_F(ChipSweeps, PassesRunThePeriodicSweepsOnTheirMultiples)
{
    struct { unsigned n; bool unblock, drssi, rf; } rows[] = {
        {0, true, true, true}, {1, false, false, false}, {10, true, false, false},
        {60, true, true, false}, {3600, true, true, true}, {3601, false, false, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.n);
        onu_record *onu = put_onu(0, 1, ONU_STATE_OK, 1);   // a link, so the report sweep keeps it
        onu->type = 2;   // an RF output, unblocked by port enable
        onu->uni[1].blocked = 1;
        onu->uni[1].blocked_time = uptime_seconds() - 301;
        put_onu(1, 2, ONU_STATE_OK, 1)->type = 1;   // no RF output
        put_onu(2, 3, ONU_STATE_OK, 1)->olt = 7;    // no such OLT: its DRSSI switch is never looked up
        forget_requests();
        drssi_asked = 0;
        wd_onu_pass(r.n);
        EXPECT_EQ(onu->uni[1].blocked == 0, r.unblock);
        EXPECT_EQ(drssi_asked > 0, r.drssi);
        EXPECT_EQ(onus_asked(TEK_REQ_ONU_I2C_READ, 0), r.rf ? std::vector<int>{1} : std::vector<int>{}) << "type 1: none";
    }
}

// ---- scheduler jobs through TFTP ------------------------------------------------------

// A real image runs to megabytes, far past any pool block.
TEST_F(ChipSweeps, AFirmwareJobUpgradesTheOnuAndRestartsIt)
{
    const bytes image = byte_pattern((16u << 20) - 100);
    write_file(ONU_APP_IMAGE, image);
    onu_record *onu = put_onu(0, 1, ONU_STATE_OK);
    onu->type = 3;
    onu->olt = 2;
    EXPECT_EQ(scheduler_add(onu->mac, SCHEDULE_FIRMWARE), 0);
    lap();
    EXPECT_EQ(tftp_->onu_file({0x00, 0x0D, 0xB6, 0x00, 0x00, 0x01}, "app"), image);
    EXPECT_EQ(scheduler_entry(1).status, SCHEDULE_DONE);
    EXPECT_EQ(hook_calls, (std::vector<std::string>{"queues_clear 00:0D:B6:00:00:01", "queues_write 00:0D:B6:00:00:01",
                                                    "reset 00:0D:B6:00:00:01"}));
    EXPECT_EQ(waited, SCHEDULE_QUEUES_PAUSE_S + SCHEDULE_IMAGE_PAUSE_S);
}

TEST_F(ChipSweeps, AFirmwareJobThatFailsFiveTimesEndsFailed)
{
    write_file(ONU_APP_IMAGE, bytes(600, 0x5A));
    onu_record *onu = put_onu(0, 1, ONU_STATE_AUTHFAILED);
    onu->type = 40;
    write_file(ONU_APP_IMAGE_TYPE40, bytes(700, 0xA5));
    tftp_->fault_block(oltsim::tftp_server::fault::rcode, 0, 1000);   // the WRQ never passes
    ASSERT_EQ(scheduler_add(onu->mac, SCHEDULE_FIRMWARE), 0);
    for (int laps = 1; laps <= SCHEDULE_TRIES + 1; laps++)
        lap();
    EXPECT_EQ(scheduler_entry(1).status, SCHEDULE_FAILED);
    EXPECT_EQ(count_of(trace(), "app updated failed\n"), 5) << "one try a lap, and a failed job is not run again";
    EXPECT_EQ(waited, 0u) << "no pause after a failure";
    EXPECT_EQ(count_of(trace(), "scheduler_update_onu_app: 700 bytes read\n"), 5) << "type 40 has its own image";
}

// No other lap can find the image that is not there: the job ends failed
// and is not run again, not even once the image is there.
TEST_F(ChipSweeps, AFirmwareJobWithoutItsImageEndsFailed)
{
    onu_record *onu = put_onu(0, 1, ONU_STATE_OK);
    onu->type = 40;
    ASSERT_EQ(scheduler_add(onu->mac, SCHEDULE_FIRMWARE), 0);
    lap();
    write_file(ONU_APP_IMAGE_TYPE40, bytes(700, 0xA5));
    lap();
    schedule_entry job = scheduler_entry(1);
    EXPECT_EQ(job.status, SCHEDULE_FAILED);
    EXPECT_EQ(job.tries, 0);
    EXPECT_TRUE(tftp_->packets().empty());
}

// The defaults replace all but the ONU's own bytes (16 and 87..98); without
// usable defaults the ONU's personality is written back as it was read; an
// ONU of a type outside 1..18 or not configured fails the job at once.
TEST_F(ChipSweeps, APersonalityJobWritesTheDefaultsKeepingTheOnusOwnBytes)
{
    const bytes own = oltsim::tftp_server::make_onu_personality(ONU_PERS_SIZE, 9),
                defaults = oltsim::tftp_server::make_onu_personality(ONU_PERS_SIZE, 77);
    bytes merged = defaults;
    merged[16] = own[16];
    std::copy(own.begin() + 87, own.begin() + 99, merged.begin() + 87);
    // The size of the defaults file (0: none), the ONU's state and type, and
    // what is written before the board's values and the CRC (null: nothing).
    struct { const char *name; size_t defaults; uint32_t state; uint8_t type; const bytes *written; } rows[] = {
        {"defaults", ONU_PERS_SIZE, ONU_STATE_OK, 18, &merged},
        {"no defaults", 0, ONU_STATE_AUTHFAILED, 1, &own},
        {"short defaults", ONU_PERS_SIZE - 1, ONU_STATE_OK, 1, &own},
        {"unconfigured", ONU_PERS_SIZE, ONU_STATE_UNCONFIGURED, 3, nullptr},
        {"type 19", ONU_PERS_SIZE, ONU_STATE_OK, 19, nullptr},
    };
    int n = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const oltsim::mac_address mac = {0x00, 0x0D, 0xB6, 0x00, 0x00, uint8_t(++n)};
        tftp_->set_onu_personality(mac, own);
        std::filesystem::remove(root_ / (ONU_PERS_DEFAULTS + 1));
        if (r.defaults)
            write_file(ONU_PERS_DEFAULTS, bytes(defaults.begin(), defaults.begin() + long(r.defaults)));
        onu_record *onu = put_onu(0, n, r.state);
        onu->type = r.type;
        hook_calls.clear();
        pauses.clear();
        ASSERT_EQ(scheduler_add(onu->mac, SCHEDULE_PERSONALITY), 0);
        scheduler_step();   // the job of each row lands where the walk steps next: slot n
        schedule_entry job = scheduler_entry(n);
        if (r.written) {
            bytes expected = *r.written;
            onu_pers_prepare(expected.data());
            EXPECT_EQ(tftp_->onu_file(mac, "personality"), expected);
            EXPECT_EQ(pauses, std::vector<unsigned>{2}) << "a pause before the write, none after";
            EXPECT_EQ(job.status, SCHEDULE_DONE);
        } else {
            EXPECT_TRUE(tftp_->onu_file(mac, "personality").empty());
            EXPECT_EQ(job.status, SCHEDULE_FAILED);
            EXPECT_EQ(job.tries, 0);
            EXPECT_TRUE(hook_calls.empty());
        }
    }
}

} // namespace
