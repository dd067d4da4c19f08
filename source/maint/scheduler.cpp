#include "maint/scheduler.h"

#include "maint/maint_steps.h"

#include "base/balloc.h"
#include "onu/profiler_link.h"
#include "base/process.h"
#include "chip/teklink.h"
#include "chip/tektftp.h"
#include "engine/profiler.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/sandbox.h"
#include "platform/textconv.h"
#include "platform/threads.h"
#include "store/datastruct.h"
#include "wire/personality.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

int scheduler_onu_index = 0;

namespace {

schedule_entry schedule[SCHEDULE_SIZE];
pthread_mutex_t scheduler_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_t scheduler_thread;
bool running = false;

// Raised by scheduler_stop: ends a job's delay and the walk's sleep early.
std::atomic<bool> job_stop{false};

// The walk takes one slot every SCHEDULE_SLOT_MS, but the thread wakes
// only for a slot that holds a waiting job. While it sleeps, the slot it
// has reached follows from the time: it left scheduler_onu_index at
// origin_ms. Guarded by the scheduler lock.
struct {
    bool asleep = false;
    uint64_t origin_ms = 0;
} walk;
// Raised (under the scheduler lock) for the sleeping walk when a job lands
// before the slot it sleeps towards, and by scheduler_stop.
std::atomic<bool> walk_woken{false};

// The delays of the jobs are the daemon's own (scaled in tests of the whole
// daemon, fake under the fake clock).
bool delay_seconds(unsigned seconds) { return clock_delay(seconds * 1000u, &job_stop); }

bool same_job(const schedule_entry &e, const uint8_t mac[6], uint16_t kind)
{
    return e.in_use && e.kind == kind && memcmp(e.mac, mac, 6) == 0;
}

uint64_t walk_now_ms() { return scheduler_walk_on_fake_clock ? clock_now_ms() : clock_real_ms(); }

// Slots from `from` to the next waiting job: 1..SCHEDULE_SIZE (a whole lap
// when the only one is at `from`), or 0 when no job waits. Caller holds the
// lock.
int slots_to_work(int from)
{
    for (int d = 1; d <= SCHEDULE_SIZE; d++) {
        const schedule_entry &e = schedule[(from + d) % SCHEDULE_SIZE];
        if (e.in_use && e.status == SCHEDULE_WAITING)
            return d;
    }
    return 0;
}

// Brings scheduler_onu_index to the slot the sleeping walk has reached by
// now, but never onto a waiting job: that one is the thread's to run.
// Caller holds the lock.
void walk_catch_up()
{
    if (!walk.asleep)
        return;
    uint64_t passed = (walk_now_ms() - walk.origin_ms) / SCHEDULE_SLOT_MS;
    int to_work = slots_to_work(scheduler_onu_index);
    if (to_work > 0 && passed >= uint64_t(to_work))
        passed = uint64_t(to_work) - 1;
    scheduler_onu_index = int((uint64_t(scheduler_onu_index) + passed) % SCHEDULE_SIZE);
    walk.origin_ms += passed * SCHEDULE_SLOT_MS;
}

// Sleeps until the walk reaches the slot before the next waiting job, so
// that the next step lands on it at its time, or until a stop. An added
// job that comes sooner makes it look again.
void walk_to_work()
{
    lock_timed(&scheduler_lock);
    walk.asleep = true;
    walk.origin_ms = walk_now_ms();
    while (!job_stop.load()) {
        walk_catch_up();
        int to_work = slots_to_work(scheduler_onu_index);
        uint64_t due = to_work > 0 ? walk.origin_ms + uint64_t(to_work) * SCHEDULE_SLOT_MS : UINT64_MAX;
        if (to_work > 0 && walk_now_ms() >= due)
            break;
        walk_woken = false;
        pthread_mutex_unlock(&scheduler_lock);
        clock_sleep_until(due, &walk_woken, scheduler_walk_on_fake_clock);
        lock_timed(&scheduler_lock);
    }
    walk.asleep = false;
    pthread_mutex_unlock(&scheduler_lock);
}

// Slot of the in-use job (MAC, kind), or -1. Caller holds the lock.
int find_job(const uint8_t mac[6], uint16_t kind)
{
    for (int i = 0; i < SCHEDULE_SIZE; i++)
        if (same_job(schedule[i], mac, kind))
            return i;
    return -1;
}

// A failed attempt: another lap, unless that was the last try.
void retry(schedule_entry *job)
{
    if (job->tries > 0)
        job->tries--;
    job->status = job->tries == 0 ? SCHEDULE_FAILED : SCHEDULE_WAITING;
}

// The connected ONU with the job's MAC, returned locked; NULL (with the
// "not connected" lines) when there is none.
onu_record *lock_connected_onu(const schedule_entry *job, const char *function, const char *mac)
{
    onu_record *onu = onu_get_by_mac(job->mac);
    if (onu) {
        onu_lock(onu);
        if (onu->state != ONU_STATE_FREE && memcmp(onu->mac, job->mac, 6) == 0)
            return onu;
        onu_unlock(onu);
    }
    trace("%s: onu %s is not currently connected\n", function, mac);
    syslog(LOG_INFO, "%s: ONU %s is not currently connected", function, mac);
    return nullptr;
}

// A copy of the connected ONU, taken under its lock: the transfers that
// follow run without it.
std::unique_ptr<onu_record> connected_onu(const schedule_entry *job, const char *function, const char *mac)
{
    onu_record *onu = lock_connected_onu(job, function, mac);
    if (!onu)
        return nullptr;
    auto copy = std::make_unique<onu_record>(*onu);
    onu_unlock(onu);
    return copy;
}

bool updatable_state(uint32_t state) { return state == ONU_STATE_OK || state == ONU_STATE_AUTHFAILED; }

// After a new image or personality the ONU must start over with the queue
// layout its link count calls for; the results are not looked at, the
// restart shows whether it took.
void restart_with_queue_layout(const onu_record *onu)
{
    maint_onu_queues_clear(onu);
    scheduler_wait(SCHEDULE_QUEUES_PAUSE_S);
    maint_onu_queues_write(onu);
    maint_onu_reset(onu);
}

void close_retrying(int fd)
{
    while (close(fd) != 0 && errno == EINTR) {
    }
}

// The personality defaults file, exactly 2413 bytes; false (with the step's
// line logged) when any step fails.
bool load_pers_defaults(uint8_t out[ONU_PERS_DEFAULTS_SIZE])
{
    std::string path = sandbox_path(ONU_PERS_DEFAULTS);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        syslog(LOG_INFO, "Can't load personality defaults\n");
        return false;
    }
    const char *failure = nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        failure = "Can't stat personality defaults\n";
    } else if (st.st_size != off_t(ONU_PERS_DEFAULTS_SIZE)) {
        failure = "Wrong personality defaults format\n";
    } else {
        size_t done = 0;
        while (done < ONU_PERS_DEFAULTS_SIZE) {
            ssize_t n = read(fd, out + done, ONU_PERS_DEFAULTS_SIZE - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += size_t(n);
        }
        if (done != ONU_PERS_DEFAULTS_SIZE)
            failure = "Can't read personality defaults\n";
    }
    close_retrying(fd);
    if (failure)
        syslog(LOG_INFO, "%s", failure);
    return failure == nullptr;
}

void run_job(schedule_entry *job)
{
    int result = 0;
    switch (job->kind) {
    case SCHEDULE_FIRMWARE:
        lock_timed(&onu_update_lock);
        result = scheduler_update_onu_app(job);
        pthread_mutex_unlock(&onu_update_lock);
        break;
    case SCHEDULE_PERSONALITY:
        lock_timed(&onu_update_lock);
        result = scheduler_update_onu_pers(job);
        pthread_mutex_unlock(&onu_update_lock);
        break;
    case SCHEDULE_RECONFIGURE:
        scheduler_reconfigure_onu(job);
        return;
    default:
        return;
    }
    // An ONU that has just taken an image restarts; the next job waits for
    // it (and for the chip link) to settle.
    if (result == 0)
        scheduler_wait(SCHEDULE_IMAGE_PAUSE_S);
}

void *scheduler_main(void *)
{
    while (run_flag.load() != 0 && !job_stop.load()) {
        scheduler_step();
        walk_to_work();
    }
    return nullptr;
}

} // namespace

bool (*scheduler_wait)(unsigned seconds) = delay_seconds;
bool scheduler_walk_on_fake_clock = false;

const char *onu_app_image_for(uint8_t type)
{
    if (type >= 1 && type <= 18)
        return ONU_APP_IMAGE;
    if (type == 40)
        return ONU_APP_IMAGE_TYPE40;
    return nullptr;
}

int onu_app_image_read(const char *path, std::vector<uint8_t> *out)
{
    std::string real = sandbox_path(path);
    int fd = open(real.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size <= 0) {
        syslog(LOG_ERR, "%s: image %s unreadable (%s)", __func__, path,
               fd < 0 ? strerror(errno) : "empty");
        if (fd >= 0)
            close_retrying(fd);
        return ONU_IMAGE_UNREADABLE;
    }
    try {
        out->resize(size_t(st.st_size));
    } catch (const std::bad_alloc &) {
        close_retrying(fd);
        out->clear();
        return ONU_IMAGE_NO_MEMORY;
    }
    size_t done = 0;
    while (done < out->size()) {
        ssize_t n = read(fd, out->data() + done, out->size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    close_retrying(fd);
    if (done != out->size()) {
        syslog(LOG_ERR, "%s: image %s unreadable (%zu of %zu bytes)", __func__, path, done, out->size());
        out->clear();
        return ONU_IMAGE_UNREADABLE;
    }
    return ONU_IMAGE_OK;
}

int scheduler_init()
{
    lock_timed(&scheduler_lock);
    memset(schedule, 0, sizeof schedule);
    scheduler_onu_index = 0;
    walk.asleep = false;
    pthread_mutex_unlock(&scheduler_lock);
    job_stop = false;
    if (pthread_create(&scheduler_thread, nullptr, scheduler_main, nullptr) != 0)
        return -1;
    running = true;
    return 0;
}

void scheduler_stop()
{
    if (!running)
        return;
    job_stop = true;
    walk_woken = true;
    clock_delay_wake();
    pthread_join(scheduler_thread, nullptr);
    running = false;
}

int scheduler_add(const uint8_t mac[6], uint16_t kind)
{
    char text[18];
    convert_to_mac(text, mac);
    lock_timed(&scheduler_lock);
    if (find_job(mac, kind) >= 0) {
        pthread_mutex_unlock(&scheduler_lock);
        return SCHEDULE_DUPLICATE;
    }
    walk_catch_up();
    int start = (scheduler_onu_index + 1) % SCHEDULE_SIZE;
    int slot = -1;
    for (int n = 0; n < SCHEDULE_SIZE && slot < 0; n++) {
        int i = (start + n) % SCHEDULE_SIZE;
        if (!schedule[i].in_use)
            slot = i;
    }
    if (slot >= 0) {
        schedule_entry &e = schedule[slot];
        memset(&e, 0, sizeof e);
        e.in_use = 1;
        memcpy(e.mac, mac, 6);
        e.kind = kind;
        e.status = SCHEDULE_WAITING;
        e.tries = SCHEDULE_TRIES;
    }
    // The first job ahead of the sleeping walk: it must wake for this slot.
    int ahead = (slot - scheduler_onu_index + SCHEDULE_SIZE - 1) % SCHEDULE_SIZE + 1;
    bool sooner = slot >= 0 && walk.asleep && slots_to_work(scheduler_onu_index) == ahead;
    if (sooner)
        walk_woken = true;
    pthread_mutex_unlock(&scheduler_lock);
    if (sooner)
        clock_delay_wake();
    if (slot < 0) {
        syslog(LOG_ALERT, "%s: %s - %d added %d %s\n", "scheduler_add", text, kind, start, "failed");
        return SCHEDULE_FULL;
    }
    syslog(LOG_ALERT, "%s: %s - %d added %d %s\n", "scheduler_add", text, kind, slot, "ok");
    return SCHEDULE_OK;
}

int scheduler_del(const uint8_t mac[6], uint16_t kind)
{
    char text[18];
    convert_to_mac(text, mac);
    lock_timed(&scheduler_lock);
    int slot = find_job(mac, kind);
    if (slot >= 0)
        memset(&schedule[slot], 0, sizeof schedule[slot]);
    pthread_mutex_unlock(&scheduler_lock);
    trace("%s: %s - %d deleted %s\n", "scheduler_del", text, kind, slot >= 0 ? "ok" : "failed");
    return slot >= 0 ? SCHEDULE_OK : SCHEDULE_NOT_FOUND;
}

int scheduler_clear(uint16_t kind)
{
    lock_timed(&scheduler_lock);
    for (schedule_entry &e : schedule) {
        if (!e.in_use || e.kind != kind)
            continue;
        char text[18];
        convert_to_mac(text, e.mac);
        trace("%s: %s - %d deleted ok\n", "scheduler_clear", text, kind);
        memset(&e, 0, sizeof e);
    }
    pthread_mutex_unlock(&scheduler_lock);
    return SCHEDULE_OK;
}

int scheduler_list(uint16_t kind, schedule_entry *out, int max)
{
    int count = 0;
    lock_timed(&scheduler_lock);
    for (int i = 0; i < SCHEDULE_SIZE && count < max; i++)
        if (schedule[i].in_use && (kind == 0 || schedule[i].kind == kind))
            out[count++] = schedule[i];
    pthread_mutex_unlock(&scheduler_lock);
    return count;
}

schedule_entry scheduler_entry(int slot)
{
    lock_timed(&scheduler_lock);
    schedule_entry copy = schedule[unsigned(slot) % SCHEDULE_SIZE];
    pthread_mutex_unlock(&scheduler_lock);
    return copy;
}

void scheduler_step()
{
    lock_timed(&scheduler_lock);
    scheduler_onu_index = (scheduler_onu_index + 1) % SCHEDULE_SIZE;
    int slot = scheduler_onu_index;
    schedule_entry &entry = schedule[slot];
    if (!entry.in_use || entry.status != SCHEDULE_WAITING) {
        pthread_mutex_unlock(&scheduler_lock);
        return;
    }
    schedule_entry job = entry;
    entry.status = SCHEDULE_RUNNING;
    pthread_mutex_unlock(&scheduler_lock);

    syslog(LOG_ALERT, "scheduler_onu_index %d OK", slot);
    run_job(&job);

    // A job deleted while it ran stays deleted.
    lock_timed(&scheduler_lock);
    int now = find_job(job.mac, job.kind);
    if (now >= 0)
        schedule[now] = job;
    pthread_mutex_unlock(&scheduler_lock);
}

int scheduler_update_onu_app(schedule_entry *job)
{
    static const char *const function = "scheduler_update_onu_app";
    char mac[18];
    convert_to_mac(mac, job->mac);
    std::unique_ptr<onu_record> onu = connected_onu(job, function, mac);
    if (!onu)
        return -1;
    const char *path = onu_app_image_for(onu->type);
    if (!path || !updatable_state(onu->state))
        return 0;

    std::vector<uint8_t> image;
    int rc = onu_app_image_read(path, &image);
    if (rc == ONU_IMAGE_UNREADABLE) {
        // Another lap would read the same file: the job ends here.
        job->status = SCHEDULE_FAILED;
        job->tries = 0;
        return rc;
    }
    if (rc != ONU_IMAGE_OK) {
        retry(job);
        return rc;
    }
    trace("%s: malloc ok\n", function);
    trace("%s: %d bytes read\n", function, int(image.size()));
    bool ok = tftp_onu_app_upgrade(job->mac, image.data(), image.size()) == TFTP_IMAGE_OK;
    std::vector<uint8_t>().swap(image);   // megabytes, not kept through the restart
    trace("%s: ONU %s app updated %s\n", function, mac, ok ? "ok" : "failed");
    syslog(LOG_INFO, "%s: ONU %s app updated %s\n", function, mac, ok ? "ok" : "failed");
    if (!ok) {
        retry(job);
        return -4;
    }
    restart_with_queue_layout(onu.get());
    job->status = SCHEDULE_DONE;
    return 0;
}

void scheduler_pers_merge(uint8_t *personality, const uint8_t defaults[ONU_PERS_DEFAULTS_SIZE])
{
    constexpr size_t OWN_BYTE = 16, OWN_FIRST = 87, OWN_END = 99;
    uint8_t own[1 + OWN_END - OWN_FIRST];
    own[0] = personality[OWN_BYTE];
    memcpy(own + 1, personality + OWN_FIRST, OWN_END - OWN_FIRST);
    memcpy(personality, defaults, ONU_PERS_DEFAULTS_SIZE);
    personality[OWN_BYTE] = own[0];
    memcpy(personality + OWN_FIRST, own + 1, OWN_END - OWN_FIRST);
}

int scheduler_update_onu_pers(schedule_entry *job)
{
    static const char *const function = "scheduler_update_onu_pers";
    char mac[18];
    convert_to_mac(mac, job->mac);
    std::unique_ptr<onu_record> onu = connected_onu(job, function, mac);
    if (!onu)
        return -1;
    uint8_t *personality = tftp_onu_pers_read(job->mac);
    if (!personality) {
        syslog(LOG_INFO, "%s: can't ger personality for ONU %s", function, mac);
        return -2;
    }
    int result = 0;
    if (onu->type >= 1 && onu->type <= 18 && updatable_state(onu->state)) {
        auto defaults = std::make_unique<uint8_t[]>(ONU_PERS_DEFAULTS_SIZE);
        if (load_pers_defaults(defaults.get())) {
            scheduler_pers_merge(personality, defaults.get());
            syslog(LOG_INFO, "ONT-%s personality initialized successfully\n", mac);
        }
        bool ok = tftp_onu_pers_write(job->mac, personality) == TFTP_IMAGE_OK;
        trace("%s: ONU %s personality updated %s\n", function, mac, ok ? "ok" : "failed");
        syslog(LOG_INFO, "%s: ONU %s personality updated %s\n", function, mac, ok ? "ok" : "failed");
        if (ok) {
            restart_with_queue_layout(onu.get());
            job->status = SCHEDULE_DONE;
        } else {
            retry(job);
            result = -4;
        }
    } else {
        syslog(LOG_INFO, "%s: ONU %s personality update failed (unknown ONU type)\n", function, mac);
        job->status = SCHEDULE_FAILED;
        job->tries = 0;
    }
    BFREE(personality);
    return result;
}

int scheduler_reconfigure_onu(schedule_entry *job)
{
    static const char *const function = "scheduler_reconfigure_onu";
    char mac[18];
    convert_to_mac(mac, job->mac);
    onu_record *onu = lock_connected_onu(job, function, mac);
    if (!onu)
        return -1;
    onu_set_state(onu, ONU_STATE_ALLOCATED);
    uint32_t now = uptime_seconds();
    int count = std::min<int>(onu->discovered_links, ONU_LINKS);
    for (int i = 0; i < count; i++) {
        onu->links[i].state = ONU_STATE_REPORTTIMEOUT;
        onu->links[i].state_time = now;
        onu_change_counter_bump();
    }
    profiler_onu_links_cleanup(onu);
    onu_release(onu);
    onu_unlock(onu);
    syslog(LOG_INFO, "%s: ONU %s reconfiguring in progress", function, mac);

    // The ONU registers afresh; watch it come back.
    int last_ok = -1;   // never found
    for (unsigned second = 0; second < SCHEDULE_RECONFIGURE_WATCH_S; second++) {
        if (!scheduler_wait(1))
            break;
        onu = onu_get_by_mac(job->mac);
        if (!onu) {
            trace("%s: onu not found\n", function);
            continue;
        }
        onu_lock(onu);
        bool same = onu->state != ONU_STATE_FREE && memcmp(onu->mac, job->mac, 6) == 0;
        uint32_t state = onu->state;
        int links = std::min<int>(onu->link_count, ONU_LINKS);
        int ok = 0;
        for (int i = 0; same && i < links; i++)
            if (onu->links[i].state == ONU_STATE_OK)
                ok++;
        onu_unlock(onu);
        if (!same) {
            trace("%s: onu not found\n", function);
            continue;
        }
        last_ok = ok;
        if ((state == ONU_STATE_OK && ok == links) || state == ONU_STATE_AUTHFAILED ||
            state == ONU_STATE_CFGFAILED) {
            job->status = SCHEDULE_DONE;
            return 0;
        }
    }
    if (last_ok == 0) {
        job->status = SCHEDULE_DONE;
        return 0;
    }
    retry(job);
    return -4;
}
