// zandrel: start-up, serving and stopping.
//
// Start-up runs on the main thread alone, in a fixed order; each step must
// complete before the next. The main thread then becomes the management
// dispatch loop until the run flag is cleared (SIGTERM, SIGINT), and the
// stopping sequence releases the links and the pool.
#include "balloc.h"
#include "datastruct.h"
#include "kernhandlers.h"
#include "kernlink.h"
#include "platform/board.h"
#include "platform/log.h"
#include "platform/sandbox.h"
#include "process.h"
#include "teklink.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr size_t POOL_SIZE = 0x400000;        // 4 MiB, no heap fallback
constexpr long POOL_SEED_SIZE = 100000;       // three 128 KiB blocks for large messages
constexpr unsigned START_DELAY_SECONDS = 4;
constexpr uint16_t CMD_CFG_MODULE_PING = 0x0009;
constexpr int CFG_MODULE_PING_TIMEOUT = 5;
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

// The configuration module's ping: 0 when it answered with result code 0,
// -1 for another code, else the management link's negative code. (The
// configuration cache's module takes this over when it is built.)
int cfg_module_ping()
{
    uint8_t *answer = nullptr;
    int result = kernlink_request(CMD_CFG_MODULE_PING, MODULE_CONFIG, nullptr, 0, &answer, CFG_MODULE_PING_TIMEOUT);
    if (result == 0)
        result = answer[7] == 0 ? 0 : -1;
    BFREE_SAFE(answer);
    return result;
}

// Repeats the ping until the configuration module answers. While the link
// is down every attempt fails at once, so those are paced to spare the CPU;
// a stop request ends the wait.
bool wait_for_cfg_module()
{
    while (run_flag.load()) {
        int result = cfg_module_ping();
        if (result == 0)
            return true;
        if (result == KERNLINK_NOT_CONNECTED || result == KERNLINK_WRITE_FAILED)
            usleep(DISCONNECTED_RETRY_US);
    }
    return false;
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
    if (rc == 0)
        seed_pool();
    if (rc != 0) {
        syslog(LOG_ERR, "bopen failed: %d", rc);
        return -1;
    }

    sleep(START_DELAY_SECONDS);

    rc = datastruct_init();
    if (rc != 0) {
        syslog(LOG_ERR, "datastruct_init failed: %d", rc);
        return -2;
    }

    // Steps 11 to 13 (provisioning engine, watchdog, scheduler) take their
    // places here as they are built.

    // The chip link: its queues, the receive thread (which opens the socket).
    teklink_init();

    kernlink_init();

    if (wait_for_cfg_module()) {
        // Step 17 (configuration cache) and step 18 (RADIUS accounting)
        // join here.
        kernlink_process_loop();
    }

    kernlink_close();
    teklink_close();
    bclose();
    log_close();
    return 0;
}
