// Shared by the maintenance tests: a data store under the fake clock, the
// ONU steps replaced by recorders (at link time, fake_steps.cpp), the jobs'
// pauses taken on the fake clock and counted, and helpers that lay out ONU
// records the way the sweeps and jobs find them.
#pragma once

#include "common/chip_fixture.h"

#include "maint/maint_steps.h"
#include "maint/scheduler.h"
#include "platform/clock.h"
#include "platform/textconv.h"

#include <functional>
#include <string>
#include <vector>

// What the replaced steps were asked to do, as "step MAC".
inline std::vector<std::string> hook_calls;
// What a test puts in place of the replacements: the link teardown and the
// DRSSI switch of each PON port (off without one).
inline int (*links_cleanup_double)(onu_record *onu);
inline bool (*drssi_double)(int olt, int pon);

inline int record_call(const char *step, const onu_record *onu)
{
    char mac[18];
    convert_to_mac(mac, onu->mac);
    hook_calls.push_back(std::string(step) + " " + mac);
    return 0;
}

// The seconds the jobs paused; on_wait runs after each pause.
inline unsigned waited;
inline std::function<void(unsigned)> on_wait;

// The MAC of test ONU n: 00:0D:B6:00:nn:nn.
inline std::vector<uint8_t> mac_of(int n) { return {0x00, 0x0D, 0xB6, 0x00, uint8_t(n >> 8), uint8_t(n)}; }

class MaintFixture : public ChipFixture {
protected:
    void SetUp() override
    {
        hook_calls.clear();
        links_cleanup_double = nullptr;
        drssi_double = nullptr;
        waited = 0;
        on_wait = nullptr;
        scheduler_wait = [](unsigned seconds) {
            waited += seconds;
            clock_fake_advance(seconds);
            if (on_wait)
                on_wait(seconds);
            return true;
        };
        ChipFixture::SetUp();
        clock_fake_set(100000);   // far enough from 0 for every age a test gives
        // The schedule lives as long as the process: every test starts
        // with an empty one, walked from slot 0.
        for (uint16_t kind : {SCHEDULE_FIRMWARE, SCHEDULE_PERSONALITY, SCHEDULE_RECONFIGURE})
            scheduler_clear(kind);
        scheduler_onu_index = 0;
    }
    void TearDown() override
    {
        on_wait = nullptr;
        scheduler_wait = saved_wait_;
        clock_fake_release();
        ChipFixture::TearDown();
    }

    // The trace lines a sweep wrote.
    std::string trace_of(void (*sweep)())
    {
        size_t before = trace().size();
        sweep();
        return trace().substr(before);
    }

    // One whole lap of the scheduler's walk.
    static void lap()
    {
        for (int i = 0; i < SCHEDULE_SIZE; i++)
            scheduler_step();
    }

    // ONU n in slot `slot`, state `state`, `links` discovered links in
    // `link_state`, every stamp now.
    static onu_record *put_onu(int slot, int n, uint32_t state, int links = 0, uint32_t link_state = ONU_STATE_OK)
    {
        const std::vector<uint8_t> mac = mac_of(n);
        onu_record *onu = onu_at(slot);
        onu_lock(onu);
        memset(onu, 0, sizeof *onu);
        memcpy(onu->mac, mac.data(), 6);
        onu->state = state;
        onu->last_activity = uptime_seconds();
        onu->link_count = uint8_t(links);
        onu->discovered_links = uint8_t(links);
        for (int i = 0; i < links; i++) {
            mac_add(onu->links[i].mac, mac.data(), uint32_t(i));
            onu->links[i].state = link_state;
            onu->links[i].state_time = uptime_seconds();
        }
        onu_unlock(onu);
        return onu;
    }

    // The daemon's own wait, for the tests of the scheduler's thread.
    bool (*const saved_wait_)(unsigned) = scheduler_wait;
};
