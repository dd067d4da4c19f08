// CPU the maintenance threads cost an idle daemon with every ONU slot in
// use: the watchdog's per-second passes over 2000 records and the update
// scheduler's walk of an empty schedule at 100 slots a second.
//
// Runs the passes back to back on this thread and divides the thread's CPU
// time by the seconds of daemon time they stand for, so the figure does not
// depend on this machine's load. The ONUs are OK with four OK links and
// nothing blocked, as in a quiet network; no chip is attached, so DRSSI and
// RF level passes find nothing to read (their chip exchanges are not part
// of the idle cost).
#include "base/balloc.h"
#include "maint/scheduler.h"
#include "maint/watchdog.h"
#include "platform/clock.h"
#include "store/datastruct.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

double thread_cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void fill_onus()
{
    for (int i = 0; i < ONU_COUNT; i++) {
        onu_record *onu = onu_at(i);
        onu_lock(onu);
        const uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x00, uint8_t(i >> 8), uint8_t(i)};
        memcpy(onu->mac, mac, 6);
        onu->state = ONU_STATE_OK;
        onu->type = 3;
        onu->link_count = ONU_LINKS;
        onu->discovered_links = ONU_LINKS;
        onu->last_activity = uptime_seconds();
        for (int l = 0; l < ONU_LINKS; l++) {
            onu->links[l].state = ONU_STATE_OK;
            onu->links[l].state_time = uptime_seconds();
        }
        onu_unlock(onu);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const unsigned seconds = argc > 1 ? unsigned(atoi(argv[1])) : 600;
    std::string root = (std::filesystem::temp_directory_path() / ("zandrel_idle_" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(root + "/dev");
    setenv("ZANDREL_ROOT", root.c_str(), 1);
    if (bopen(nullptr, 0x400000, 0) != 0 || datastruct_init() != 0) {
        fprintf(stderr, "idle_cpu: the data store did not start\n");
        return 1;
    }
    for (int olt = 0; olt < OLT_COUNT; olt++)
        olt_set_state(olt, ONU_STATE_OK);
    clock_fake_set(1000);
    fill_onus();

    // Pass 0 runs every periodic sweep at once; the steady state starts at 1.
    double start = thread_cpu_seconds();
    for (unsigned n = 1; n <= seconds; n++) {
        wd_cleanup_olts();
        wd_onu_pass(n);
        clock_fake_advance(1);
    }
    double watchdog = thread_cpu_seconds() - start;

    start = thread_cpu_seconds();
    const unsigned steps = seconds * (1000 / SCHEDULE_SLOT_MS);
    for (unsigned i = 0; i < steps; i++)
        scheduler_step();
    double scheduler = thread_cpu_seconds() - start;

    printf("idle_cpu: %u s of daemon time, %d ONUs in use\n", seconds, ONU_COUNT);
    printf("  watchdog passes:  %.3f ms CPU per second  = %.3f %% of one core\n", 1000 * watchdog / seconds,
           100 * watchdog / seconds);
    printf("  scheduler walk:   %.3f ms CPU per second  = %.3f %% of one core\n", 1000 * scheduler / seconds,
           100 * scheduler / seconds);
    printf("  together:         %.3f %% of one core\n", 100 * (watchdog + scheduler) / seconds);

    clock_fake_release();
    datastruct_close();
    bclose();
    std::filesystem::remove_all(root);
    return 0;
}
