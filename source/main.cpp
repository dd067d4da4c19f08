// zandrel: start-up, serving and stopping.
//
// Start-up runs on the main thread alone, in a fixed order; each step must
// complete before the next. It installs the hooks through which the lower
// layers reach the higher ones. The main thread then becomes the management
// dispatch loop until the run flag is cleared (SIGTERM, SIGINT), and the
// stopping sequence ends and joins every thread before it closes the pool:
// first the threads that do work (RADIUS accounting, maintenance, chip
// events, engine, command handlers), each before what it uses, then the
// links' receive threads, then the pool they all allocate from.
#include "auth/radius_accounting.h"
#include "auth/radius_eap.h"
#include "base/balloc.h"
#include "store/datastruct.h"
#include "cmd/cmd_olt.h"
#include "cmd/cmd_secrets.h"
#include "mgmt/kernhandlers.h"
#include "mgmt/kernlink.h"
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/sandbox.h"
#include "base/process.h"
#include "engine/profiler.h"
#include "engine/profiler_cache.h"
#include "engine/profiler_olt.h"
#include "onu/profiler_link.h"
#include "onu/profiler_onu.h"
#include "onu/profiler_path.h"
#include "onu/subscriber_ids.h"
#include "engine/onu_optics.h"
#include "events/tekhandlers.h"
#include "events/work_counters.h"
#include "chip/teklink.h"
#include "maint/scheduler.h"
#include "maint/watchdog.h"
#include "wire/capture.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr size_t POOL_SIZE = 0x400000;        // 4 MiB, no heap fallback
constexpr long POOL_SEED_SIZE = 100000;       // three 128 KiB blocks for large messages
constexpr unsigned START_DELAY_MS = 4000;
constexpr useconds_t DISCONNECTED_RETRY_US = 100 * 1000;

// Carves three blocks of the largest class and leaves them on its free list,
// where the management link's large messages find them.
void seed_pool()
{
    void *first = BALLOC(POOL_SEED_SIZE);
    void *second = BALLOC(POOL_SEED_SIZE);
    void *third = BALLOC(POOL_SEED_SIZE);
    BFREE(first);
    BFREE(second);
    BFREE(third);
}

// Repeats the ping until the configuration module answers. While the link
// is down every attempt fails at once, so those are paced to spare the CPU;
// a stop request ends the wait.
bool wait_for_cfg_module()
{
    while (run_flag.load()) {
        int result = profiler_cfg_module_ping();
        if (result == 0)
            return true;
        if (result == KERNLINK_NOT_CONNECTED || result == KERNLINK_WRITE_FAILED)
            usleep(DISCONNECTED_RETRY_US);
    }
    return false;
}

// ONU discovery as the engine runs it.
int onu_discovery(onu_record *onu)
{
    profiler_onu_discovery(onu);
    return 0;
}

// ONU configuration schedules firmware and personality updates here.
int schedule_update(const uint8_t mac[6], int kind) { return scheduler_add(mac, uint16_t(kind)); }

const profiler_handlers engine_work = {
    profiler_olt_reconfigure,
    profiler_onu_reconfigure,
    profiler_link_discovery,
    onu_discovery,
};

// Ends every thread before what it uses, and closes the pool once nothing
// can touch it: RADIUS accounting, which no other thread uses; the
// maintenance threads and the chip event thread, which post to or flush the
// profiler's queues; the profiler; then the links, whose receive threads all
// of them use. The queues are emptied so every block is back.
void stop_all()
{
    // First, so that a thread in the middle of chip exchanges lets go of
    // the records whose locks the stops below wait for.
    teklink_stop_exchanges();
    work_counters_prom_stop();
    radius_accounting_close();
    scheduler_stop();          // a running job's waits are cut short
    wd_stop();
    tekhandlers_stop();
    profiler_stop();
    kernlink_close();          // handler threads, then its receive thread
    teklink_close();           // its receive thread, then the socket
    capture_stop("the daemon stops");
    profiler_queues_drain();
    teklink_queues_drain();
    datastruct_close();
    bclose();
    process_redirect_stop();
    log_close();
}

// Where a lower layer calls up: every hook, installed before the first
// thread starts.
void install_hooks()
{
    // The data store: engine work and counts of a released ONU, the
    // accounting Stop.
    datastruct_hooks.flush_onu_work = profiler_flush_onu_work;
    datastruct_hooks.accounting_stop = radius_accounting_stop_hook;
    datastruct_hooks.onu_count_release = profiler_olt_onucnt_decrement;
    datastruct_hooks.link_count_release = profiler_olt_link_count_sub;
    // The engine: identifier templates, learned MACs.
    profiler_olt_hooks.identifier_templates = subscriber_ids_load_templates;
    onu_optics_hooks.learned_macs = profiler_dest_learned_macs;
    // ONU configuration: RADIUS mode of authorization (the server's
    // challenge for the ONU), and the updates it schedules.
    static_assert(RADIUS_ONU_EAP_REQUEST == EAP_REQUEST_MAX);
    onu_steps.radius_identity_request = radius_authorization_identity;
    onu_steps.schedule_update = schedule_update;
    // The capture of the links: the secrets it must not write (their
    // layouts are the configuration module's and the command table's), and
    // SIGUSR2, which turns it on and off.
    capture_hooks.secrets = cmd_secret_spans;
    process_usr2_work = capture_toggle;
}

} // namespace

int main(int argc, char **argv)
{
    board_iface_mac(sandbox_iface(), board_mac);
    process_install_signals();
    log_open();
    process_parse_options(argc, argv);

    if (flags.b) {
        pid_t child = fork();
        if (child < 0) {
            int error = errno;
            syslog(LOG_ERR, "fork failed");
            return error;
        }
        if (child > 0)
            return 0;
    }
    int rc = bopen(nullptr, POOL_SIZE, 0);
    if (rc != 0) {
        syslog(LOG_ERR, "bopen failed: %d", rc);
        return -1;
    }
    seed_pool();

    clock_delay(START_DELAY_MS);

    install_hooks();
    rc = datastruct_init();
    if (rc != 0) {
        syslog(LOG_ERR, "datastruct_init failed: %d", rc);
        return -2;
    }

    rc = profiler_init(&engine_work);
    if (rc != 0) {
        syslog(LOG_ERR, "profiler_init failed: %d", rc);
        return -3;
    }

    // The watchdog and the update scheduler run before the chip link: their
    // first passes find nothing to do but the OLTs still in reset. Giving up
    // here stops the threads already running, or they would outlive main
    // into the process's exit.
    rc = wd_init();
    if (rc != 0) {
        syslog(LOG_ERR, "wd_init failed: %d", rc);
        profiler_stop();
        return -3;
    }
    rc = scheduler_init();
    if (rc != 0) {
        syslog(LOG_ERR, "scheduler_init failed: %d", rc);
        wd_stop();
        profiler_stop();
        return -3;
    }

    // SIGUSR1's redirect and SIGUSR2's capture toggle run on a thread of
    // their own, woken by the signals (a signal that came earlier is served
    // as it starts). From here on every way out goes through stop_all,
    // which ends it.
    process_redirect_start();

    // ZANDREL_CAPTURE: both links are captured from their first message.
    capture_start_configured();

    // The chip link: its queues and receive thread (which opens the socket),
    // then the thread that handles the chips' events.
    teklink_init();
    tekhandlers_start();

    kernlink_init(cmd_command_table);
    if (work_counters_prom_start() != 0)
        syslog(LOG_ERR, "counters: cannot start the Prometheus file's writer");

    if (wait_for_cfg_module()) {
        rc = profiler_get_cfg_cache();
        if (rc != 0) {
            syslog(LOG_ERR, "get config cache failed: %d", rc);
            stop_all();
            return -4;
        }
        syslog(LOG_ERR, "get config cache success");
        if (cfgcache_radius_accounting_enabled(cfgcache()))
            radius_accounting_start();
        kernlink_process_loop();
    }

    stop_all();
    return 0;
}
