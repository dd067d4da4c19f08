// zandrel: start-up, serving and stopping.
//
// Start-up runs on the main thread alone, in a fixed order; each step must
// complete before the next. The main thread then becomes the management
// dispatch loop until the run flag is cleared (SIGTERM, SIGINT), and the
// stopping sequence releases the links and the pool.
#include "balloc.h"
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

void serve()
{
    while (run_flag.load())
        usleep(100 * 1000);
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

    // The chip link: its queues, the receive thread (which opens the socket).
    teklink_init();

    serve();

    teklink_close();
    bclose();
    log_close();
    return 0;
}
