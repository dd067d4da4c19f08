// Update scheduler: ONU firmware upgrades, personality updates and forced
// reconfigurations, queued as jobs in a fixed table of 2048 entries and run
// one at a time by the scheduler thread, off the provisioning engine's
// thread (each takes minutes).
//
// Threads: ONU configuration and the management handlers add, delete and
// clear jobs and read the table; the scheduler thread walks the table as a
// ring, one slot every 10 ms, and runs the waiting job it lands on. It
// wakes only for those: between them it sleeps until the walk would reach
// the next one, and the slot it has reached meanwhile follows from the
// clock (a job added meanwhile is placed after it, as ever, and wakes the
// thread when it comes first).
//
// Locks: the scheduler lock guards the table and scheduler_onu_index; it is
// a leaf, never held while a job runs. A firmware or personality job runs
// with onu_update_lock held (taken before any ONU record, as everywhere),
// so the engine never configures an ONU during one; a runner holds an ONU
// record's lock only to copy it and, for a reconfiguration, to tear it down.
// The TFTP transfers run without it. No pool block outlives a job.
//
// The runners' waits (the pause after an image job, the 3 s before the
// queue layout is written, the reconfiguration watch) go through
// scheduler_wait: the daemon's delay (platform/clock.h) unless a test
// installs its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int SCHEDULE_SIZE = 2048;
constexpr uint16_t SCHEDULE_TRIES = 5;
constexpr unsigned SCHEDULE_SLOT_MS = 10;
constexpr unsigned SCHEDULE_IMAGE_PAUSE_S = 60;
constexpr unsigned SCHEDULE_QUEUES_PAUSE_S = 3;
constexpr unsigned SCHEDULE_RECONFIGURE_WATCH_S = 60;
constexpr size_t ONU_PERS_DEFAULTS_SIZE = 2413;

// Job kinds.
enum : uint16_t {
    SCHEDULE_FIRMWARE = 1,
    SCHEDULE_PERSONALITY = 2,
    SCHEDULE_RECONFIGURE = 3,
};
// Job states.
enum : uint32_t {
    SCHEDULE_WAITING = 1,
    SCHEDULE_RUNNING = 2,
    SCHEDULE_FAILED = 3,
    SCHEDULE_DONE = 4,
};
// Results of the table operations.
enum : int {
    SCHEDULE_OK = 0,
    SCHEDULE_FULL = 4,
    SCHEDULE_NOT_FOUND = 8,
    SCHEDULE_DUPLICATE = 9,
};

// One entry, 19 bytes; numbers in host order.
struct __attribute__((packed)) schedule_entry {
    uint8_t in_use;
    uint8_t mac[6];
    uint16_t kind;
    uint32_t status;
    uint8_t unused[4];
    uint16_t tries;
};
static_assert(sizeof(schedule_entry) == 19);
static_assert(offsetof(schedule_entry, mac) == 1 && offsetof(schedule_entry, kind) == 7 &&
              offsetof(schedule_entry, status) == 9 && offsetof(schedule_entry, tries) == 17);

// Files of the jobs (board paths, under ZANDREL_ROOT in a sandbox).
constexpr const char *ONU_APP_IMAGE = "/usr/local/share/tk3714app.tkf";
constexpr const char *ONU_APP_IMAGE_TYPE40 = "/usr/local/share/ontm40.fw.bin";
constexpr const char *ONU_PERS_DEFAULTS = "/usr/local/share/tk3714pers.tkf";

// The application image for an ONU of type code `type` (1..18, 40), or NULL
// when none may be sent to it.
const char *onu_app_image_for(uint8_t type);
// Results of onu_app_image_read.
enum : int {
    ONU_IMAGE_OK = 0,
    ONU_IMAGE_NO_MEMORY = -2,
    ONU_IMAGE_UNREADABLE = -3,   // missing, empty, or not read whole
};
// The whole file at board path `path` into `out`, on the heap: images run
// to megabytes, far beyond the pool's largest block. Firmware jobs and the
// upgrade command both read through here.
int onu_app_image_read(const char *path, std::vector<uint8_t> *out);

// Clears the table and starts the thread. 0, or -1 when the thread could
// not be started. Start-up, once; again only after scheduler_stop.
int scheduler_init();
// Ends the thread after its current slot (a running job finishes first;
// its waits are cut short) and joins it.
void scheduler_stop();

// 0 added; 9 the same MAC and kind is in the table; 4 the table is full.
int scheduler_add(const uint8_t mac[6], uint16_t kind);
// 0 deleted; 8 not in the table.
int scheduler_del(const uint8_t mac[6], uint16_t kind);
// Frees every entry of `kind`. 0.
int scheduler_clear(uint16_t kind);
// Copies the in-use entries of `kind` (every kind for 0), in slot order, up
// to `max`; returns how many were copied.
int scheduler_list(uint16_t kind, schedule_entry *out, int max);

// ---- the thread's work, exposed for tests -------------------------------------
// One step of the walk: advance scheduler_onu_index, run the job there if
// it is waiting, write its copy back if the job still exists.
void scheduler_step();
// The job runners, given a copy of the job's entry that they update
// (status, tries left). 0 on success or when the job simply waits; < 0 for
// a failed attempt.
int scheduler_update_onu_app(schedule_entry *job);
int scheduler_update_onu_pers(schedule_entry *job);
int scheduler_reconfigure_onu(schedule_entry *job);
// The table slot `slot` (a copy).
schedule_entry scheduler_entry(int slot);
// The slot the walk stands on, under the scheduler lock. While the thread
// sleeps it is brought up to the clock when a job is added, so it is read
// directly only while the thread is not running (tests).
extern int scheduler_onu_index;

// Waits `seconds` for a job runner; false when the scheduler is stopping.
// Tests install a wait that advances the fake clock instead.
extern bool (*scheduler_wait)(unsigned seconds);
// The walk's time is the real clock, so the thread keeps walking under a
// test's standing fake clock; true makes it follow the fake clock. Set
// only while the thread is not running.
extern bool scheduler_walk_on_fake_clock;
// The personality defaults over the ONU's `personality`, keeping the
// ONU's own bytes 16 and 87..98 (its identity and calibration).
void scheduler_pers_merge(uint8_t *personality, const uint8_t defaults[ONU_PERS_DEFAULTS_SIZE]);
