#include "maint/watchdog.h"

#include "maint/maint_steps.h"

#include "base/process.h"
#include "engine/onu_optics.h"
#include "engine/profiler_olt.h"
#include "mgmt/kernlink.h"
#include "onu/onu_ports.h"
#include "onu/profiler_link.h"
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/textconv.h"
#include "platform/threads.h"
#include "store/datastruct.h"

#include <pthread.h>
#include <sched.h>
#include <syslog.h>

#include <algorithm>

int wd_drssi_cursor = 0;

namespace {

// Never destroyed: a process that exits while the thread still waits on it
// (an early return of start-up) would block in the condition's destructor.
maint_pause &wd_pause = *new maint_pause;
pthread_t olt_thread, onu_thread;
bool running = false;

// The ONU's description as text, also when its 256 bytes are not
// terminated (it comes from the configuration module as a fixed field).
struct description_text {
    char text[sizeof onu_record::description + 1];
    explicit description_text(const onu_record *onu)
    {
        std::copy(std::begin(onu->description), std::end(onu->description), text);
        text[sizeof onu->description] = '\0';
    }
};

// The discovered-links counter within the link table: a counter above the
// table would send the sweeps past the ONU's record.
int discovered_links(const onu_record *onu) { return std::min<int>(onu->discovered_links, ONU_LINKS); }

// Runs `visit` on every ONU slot in order with that record's lock held.
template <typename Visit> void for_each_onu(Visit visit)
{
    for (int i = 0; i < ONU_COUNT; i++) {
        onu_record *onu = onu_at(i);
        onu_lock(onu);
        visit(onu, i);
        onu_unlock(onu);
    }
}

bool running_flag() { return run_flag.load() != 0 && !wd_pause.stopping(); }

void *olt_thread_main(void *)
{
    while (running_flag()) {
        wd_cleanup_olts();
        wd_pause.wait_ms(WD_PASS_MS);
    }
    return nullptr;
}

void *onu_thread_main(void *)
{
    for (unsigned n = 0; running_flag(); n++) {
        wd_onu_pass(n);
        wd_pause.wait_ms(WD_PASS_MS);
    }
    return nullptr;
}

bool reset_through_board(int olt)
{
    board_device dev;
    if (board_open(&dev) != 0)
        return false;
    board_reset(&dev, uint8_t(olt));
    board_close(&dev);
    return true;
}

// ONU types whose RF output level the watchdog keeps chosen.
bool has_rf_output(uint8_t type)
{
    static constexpr uint8_t types[] = {2, 7, 8, 9, 10, 15, 16, 17, 18, 25, 26, 27, 28, 29, 30, 34, 35, 36};
    return std::find(std::begin(types), std::end(types), type) != std::end(types);
}

} // namespace

int wd_init()
{
    wd_pause.reset();
    if (pthread_create(&olt_thread, nullptr, olt_thread_main, nullptr) != 0)
        return -1;
    if (pthread_create(&onu_thread, nullptr, onu_thread_main, nullptr) != 0) {
        wd_pause.stop();
        pthread_join(olt_thread, nullptr);
        return -1;
    }
    running = true;
    return 0;
}

void wd_stop()
{
    if (!running)
        return;
    wd_pause.stop();
    pthread_join(olt_thread, nullptr);
    pthread_join(onu_thread, nullptr);
    running = false;
}

void wd_onu_pass(unsigned n)
{
    wd_cleanup_discovery_timeout_onus();
    sched_yield();
    wd_cleanup_report_timeout_onus();
    sched_yield();
    wd_cleanup_cfg_timeout_onus();
    sched_yield();
    if (n % WD_DRSSI_PASSES == 0)
        wd_read_drssi();
    if (n % WD_RF_LEVEL_PASSES == 0)
        wd_set_rf_levels();
    if (n % WD_UNBLOCK_PASSES == 0)
        wd_unblock_uni_ports();
}

void wd_cleanup_olts()
{
    for (int i = 0; i < OLT_COUNT; i++) {
        olt_lock(i);
        olt_record *olt = olt_get(i);
        bool stuck = (olt->state == ONU_STATE_RESETINPROGRESS || olt->state == ONU_STATE_RESETOK) &&
                     uptime_expired(olt->state_time, WD_OLT_RESET_TIMEOUT);
        if (stuck && reset_through_board(i)) {
            olt_set_state_locked(i, ONU_STATE_RESETFWUPGRADE);
            trace("%s: OLT[%d] in CHECKNEWFW state\n", __func__, i);
            syslog(LOG_INFO, "%s: OLT[%d] in CHECKNEWFW state\n", __func__, i);
        }
        olt_unlock(i);
    }
}

void wd_cleanup_discovery_timeout_onus()
{
    for_each_onu([](onu_record *onu, int slot) {
        int count = discovered_links(onu);
        if (count == 0 || onu->state == ONU_STATE_DISCOVERED || onu->state == ONU_STATE_UNCONFIGURED)
            return;
        int lost = -1;
        for (int j = 0; j < count && lost < 0; j++) {
            const link_record &link = onu->links[j];
            bool waiting = link.state == ONU_STATE_DISCOVERED || link.state == ONU_STATE_ALLOCATED ||
                           link.state == ONU_STATE_REPORTTIMEOUT;
            if (waiting && uptime_expired(link.state_time, WD_LINK_LOST_TIMEOUT))
                lost = j;
        }
        if (lost < 0)
            return;
        char mac[18];
        convert_to_mac(mac, onu->mac);
        trace("%s: %s[%d] lost link[%d] found\n", "wd_cleanup_discovery_timeout_onus", mac, slot, lost);
        syslog(LOG_ERR, "ONT %s lost link found", mac);
        uint32_t now = uptime_seconds();
        for (int j = 0; j < count; j++) {
            onu->links[j].state = ONU_STATE_REPORTTIMEOUT;
            onu->links[j].state_time = now;
            onu_change_counter_bump();
        }
        onu->discovered_links = 0;
        onu_summary_update(onu);
    });
}

void wd_cleanup_report_timeout_onus()
{
    for_each_onu([](onu_record *onu, int) {
        if (onu->state == ONU_STATE_FREE)
            return;
        int count = discovered_links(onu);
        int timed_out = 0;
        for (int j = 0; j < count; j++)
            if (onu->links[j].state == ONU_STATE_REPORTTIMEOUT)
                timed_out++;
        if (timed_out != count)
            return;
        char mac[18];
        convert_to_mac(mac, onu->mac);
        description_text desc(onu);
        trace("%s: ONT %s (desc: %s) disconnected\n", "wd_cleanup_report_timeout_onus", mac, desc.text);
        syslog(LOG_INFO, "ONT %s (desc: %s) disconnected (OLT%d[%d])", mac, desc.text, onu->olt, onu->port);
        profiler_onu_links_cleanup(onu);
        onu_release(onu);
    });
}

void wd_cleanup_cfg_timeout_onus()
{
    for_each_onu([](onu_record *onu, int) {
        bool stuck = (onu->state == ONU_STATE_CFGFAILED || onu->state == ONU_STATE_AUTHINPROGRESS ||
                      onu->state == ONU_STATE_AUTHFAILED) &&
                     uptime_expired(onu->last_activity, WD_CFG_TIMEOUT);
        bool radius_unconfigured = onu->state == ONU_STATE_UNCONFIGURED && (onu->cfg_flags & ONU_CFG_FROM_RADIUS) &&
                                   uptime_expired(onu->last_activity, WD_RADIUS_UNCONFIGURED_TIMEOUT);
        if (!stuck && !radius_unconfigured)
            return;
        char mac[18];
        convert_to_mac(mac, onu->mac);
        trace("%s: %s cfg timeout. force rediscovery started\n", "wd_cleanup_cfg_timeout_onus", mac);
        syslog(LOG_INFO, "ONT-%s in state (%s) force rediscovery by timeout started", mac,
               onu_state_name(onu->state));
        profiler_onu_reconfiguration_init(onu);
    });
}

void wd_unblock_uni_ports()
{
    for_each_onu([](onu_record *onu, int) {
        if (onu->state != ONU_STATE_OK)
            return;
        for (uint16_t p = ONU_PORT_UNI0; p <= ONU_PORT_UNI1; p++) {
            uni_port &uni = onu->uni[p];
            if (uni.blocked == 0 || uni.blocked_time == 0 || !uptime_expired(uni.blocked_time, WD_UNI_BLOCK_TIMEOUT))
                continue;
            // What reopens a port depends on how the ONU's chip blocked it.
            if (onu->type == 1 || onu->type == 2) {
                profiler_onu_port_block(onu->olt, onu->mac, p, true);
            } else if (onu->type >= 3 && onu->type <= 36) {
                maint_onu_config_end(onu);
                profiler_onu_pon_port_params(onu->olt, onu->mac, 1);
            }
            char mac[18];
            convert_to_mac(mac, onu->mac);
            kernlink_notify_fmt(EVENT_UNI_UNBLOCKED, onu->olt, 0, 0, 0, "%s UNI port %d not blocked", mac, p);
            uni.blocked = 0;
            uni.blocked_time = 0;
        }
    });
}

void wd_read_drssi()
{
    // Whether each PON port reads DRSSI, asked once per cycle and with no
    // ONU held: the answer lives with the OLT records.
    bool enabled[OLT_COUNT][2] = {};
    for (int olt = 0; olt < OLT_COUNT; olt++)
        for (int pon = 0; pon < 2; pon++)
            enabled[olt][pon] = olt_port_drssi_enabled(olt, pon);

    int begin = wd_drssi_cursor;
    int readings = 0;
    do {
        onu_record *onu = onu_at(wd_drssi_cursor);
        onu_lock(onu);
        if (onu->state != ONU_STATE_FREE && onu->olt < OLT_COUNT && onu->port < 2 && enabled[onu->olt][onu->port]) {
            profiler_onu_read_drssi(onu);
            readings++;
        }
        onu_unlock(onu);
        wd_drssi_cursor = (wd_drssi_cursor + 1) % ONU_COUNT;
    } while (readings < WD_DRSSI_PER_CYCLE && wd_drssi_cursor != begin);
}

void wd_set_rf_levels()
{
    for_each_onu([](onu_record *onu, int) {
        if (onu->state != ONU_STATE_FREE && has_rf_output(onu->type))
            profiler_onu_set_rf_level(onu);
    });
}
