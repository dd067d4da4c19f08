// zandrel: start-up, serving and stopping.
//
// Start-up runs on the main thread alone, in a fixed order; each step must
// complete before the next. It installs the hooks through which the lower
// layers reach the higher ones. The main thread then becomes the management
// dispatch loop until the run flag is cleared (SIGTERM, SIGINT), and the
// stopping sequence ends and joins every thread before it closes the pool:
// first the threads that do work (engine, chip events, command handlers),
// then the links' receive threads, then the pool they all allocate from.
#include "base/balloc.h"
#include "store/datastruct.h"
#include "cmd/cmd_olt.h"
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
#include "onu/l3agents/CircuitAndRemoteIds.h"
#include "engine/onu_phy.h"
#include "events/tekhandlers.h"
#include "chip/teklink.h"

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

// The subscriber identifier templates of each OLT, loaded by its
// configuration and read by the service paths of its ONUs.
crid_pair olt_identifier_templates[OLT_COUNT];

void load_identifier_templates(int olt, const char *circuit, const char *remote, const char *host, const char *slot,
                               const char *address)
{
    crid_pair *pair = &olt_identifier_templates[olt];
    crid_Init(pair, OLT_IDENTIFIER_CAPACITY);
    crid_Update(pair, circuit, remote, host, slot, address);
}

// The engine's work. Placeholders stand where the ONU configuration does
// not exist yet: each says which kind of work went undone. Each is replaced by the
// real entry point as it is built.
void work_not_handled(unsigned kind) { trace("%s: no handler for work kind %u\n", "profiler_thread", kind); }

int onu_reconfigure_not_handled(const uint8_t *)
{
    work_not_handled(PROFILER_ONU_RECONFIGURE);
    return 0;
}

onu_record *link_discovery_not_handled(int, uint8_t *)
{
    work_not_handled(PROFILER_LINK_DISCOVERY);
    return nullptr;   // no ONU, so no ONU discovery either
}

int onu_discovery_not_handled(onu_record *) { return 0; }

const profiler_handlers engine_work = {
    profiler_olt_reconfigure,
    onu_reconfigure_not_handled,
    link_discovery_not_handled,
    onu_discovery_not_handled,
};

// Ends every thread, users of the links first, and closes the pool once
// nothing can touch it. The queues are emptied so every block is back.
void stop_all()
{
    profiler_stop();
    tekhandlers_stop();
    kernlink_close();          // handler threads, then its receive thread
    teklink_close();           // its receive thread, then the socket
    profiler_queues_drain();
    teklink_queues_drain();
    datastruct_close();
    bclose();
    log_close();
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

    datastruct_hooks.flush_onu_work = profiler_flush_onu_work;
    datastruct_hooks.onu_count_release = profiler_olt_onucnt_decrement;
    datastruct_hooks.link_count_release = profiler_olt_link_count_sub;
    profiler_olt_hooks.identifier_templates = load_identifier_templates;
    datastruct_hooks.phy_read = onu_mdio_read;
    datastruct_hooks.phy_write = onu_mdio_write;
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

    // The watchdog and the update scheduler take their places here as they
    // are built.

    // The chip link: its queues and receive thread (which opens the socket),
    // then the thread that handles the chips' events.
    teklink_init();
    tekhandlers_start();

    kernlink_init(cmd_command_table);

    if (wait_for_cfg_module()) {
        rc = profiler_get_cfg_cache();
        if (rc != 0) {
            syslog(LOG_ERR, "get config cache failed: %d", rc);
            stop_all();
            return -4;
        }
        syslog(LOG_ERR, "get config cache success");
        // RADIUS accounting starts here, when the settings just fetched
        // enable it, once it is built.
        kernlink_process_loop();
    }

    stop_all();
    return 0;
}
