// Shared by the maintenance tests: a data store under the fake clock, the
// ONU configuration steps replaced by recorders, and helpers that lay out
// ONU records the way the sweeps and jobs find them.
#pragma once

#include "common/chip_fixture.h"

#include "maint/maint_hooks.h"
#include "maint/scheduler.h"
#include "platform/clock.h"
#include "platform/textconv.h"

#include <string>
#include <vector>

// What the installed maint_hooks were asked to do, as "step MAC".
inline std::vector<std::string> hook_calls;

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

inline maint_hook_table recording_hooks()
{
    maint_hook_table h{};
    h.links_cleanup = [](onu_record *onu) { record_call("cleanup", onu); return 0; };
    h.reconfiguration_init = [](onu_record *onu) { record_call("rediscover", onu); };
    h.config_end = [](const onu_record *onu) { record_call("config_end", onu); return 0; };
    h.queues_clear = [](const onu_record *onu) { record_call("queues_clear", onu); return 0; };
    h.queues_write = [](const onu_record *onu) { record_call("queues_write", onu); return 0; };
    h.onu_reset = [](const onu_record *onu) { record_call("reset", onu); return 0; };
    return h;
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
        ChipFixture::SetUp();
        clock_fake_set(CLOCK_START);
        hook_calls.clear();
        maint_hooks = recording_hooks();
        // The schedule lives as long as the process: every test starts
        // with an empty one, walked from slot 0.
        for (uint16_t kind : {SCHEDULE_FIRMWARE, SCHEDULE_PERSONALITY, SCHEDULE_RECONFIGURE})
            scheduler_clear(kind);
        scheduler_onu_index = 0;
    }
    void TearDown() override
    {
        maint_hooks = maint_hook_table{};
        clock_fake_release();
        ChipFixture::TearDown();
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
