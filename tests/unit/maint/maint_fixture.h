// Shared by the maintenance tests: a data store under the fake clock, the
// ONU steps replaced by recorders (at link time, fake_steps.cpp), and
// helpers that lay out ONU records the way the sweeps and jobs find them.
#pragma once

#include "common/chip_fixture.h"

#include "maint/maint_steps.h"
#include "maint/scheduler.h"
#include "platform/clock.h"
#include "platform/textconv.h"

#include <string>
#include <vector>

// What the replaced steps were asked to do, as "step MAC".
inline std::vector<std::string> hook_calls;
// What a test puts in place of the replacements: the link teardown, the
// DRSSI switch of each PON port (off without one), and the ONU requests of
// maint_steps.h sent for real.
inline int (*links_cleanup_double)(onu_record *onu);
inline bool (*drssi_double)(int olt, int pon);
inline bool real_onu_requests;

inline std::string mac_text(const uint8_t mac[6])
{
    char text[18];
    convert_to_mac(text, mac);
    return text;
}

inline void record_call(const char *step, const onu_record *onu)
{
    hook_calls.push_back(std::string(step) + " " + mac_text(onu->mac));
}

constexpr uint32_t CLOCK_START = 100000;

// The MAC of test ONU n: 00:0D:B6:00:nn:nn.
inline void test_mac(uint8_t out[6], int n)
{
    const uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x00, uint8_t(n >> 8), uint8_t(n)};
    memcpy(out, mac, 6);
}

class MaintFixture : public ChipFixture {
protected:
    void SetUp() override
    {
        hook_calls.clear();
        links_cleanup_double = nullptr;
        drssi_double = nullptr;
        real_onu_requests = false;
        ChipFixture::SetUp();
        clock_fake_set(CLOCK_START);
        // The schedule lives as long as the process: every test starts
        // with an empty one, walked from slot 0.
        for (uint16_t kind : {SCHEDULE_FIRMWARE, SCHEDULE_PERSONALITY, SCHEDULE_RECONFIGURE})
            scheduler_clear(kind);
        scheduler_onu_index = 0;
    }
    void TearDown() override
    {
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

    // ONU n in slot `slot`, state `state`, `links` discovered links in
    // `link_state`, every stamp now.
    static onu_record *put_onu(int slot, int n, uint32_t state, int links = 0, uint32_t link_state = ONU_STATE_OK)
    {
        uint8_t mac[6];
        test_mac(mac, n);
        onu_record *onu = onu_at(slot);
        onu_lock(onu);
        memset(onu, 0, sizeof *onu);
        memcpy(onu->mac, mac, 6);
        onu->state = state;
        onu->last_activity = uptime_seconds();
        onu->link_count = uint8_t(links);
        onu->discovered_links = uint8_t(links);
        for (int i = 0; i < links; i++) {
            mac_add(onu->links[i].mac, mac, uint32_t(i));
            onu->links[i].state = link_state;
            onu->links[i].state_time = uptime_seconds();
        }
        snprintf(onu->description, sizeof onu->description, "desc-%d", n);
        onu_unlock(onu);
        return onu;
    }
};
