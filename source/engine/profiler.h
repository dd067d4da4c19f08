// Provisioning engine: one thread (the profiler thread) that does all the
// configuration of OLTs, links and ONUs, fed through three bounded queues of
// 12-byte work items (on the board), plus a few operations other modules call.
//
// Threads: the chip event thread posts OLT reconfigurations and link
// discoveries; the profiler thread itself posts ONU reconfigurations (ONU
// discovery and its idle sweep) and is the only consumer of all three
// queues. ONU authorization calls profiler_onu_send_eap_request; the data
// store calls profiler_flush_onu_work when it releases an ONU.
//
// Locks, in this order: onu_update_lock (held by the profiler thread across
// each whole ONU reconfiguration), then an ONU record (held from link
// discovery until ONU discovery has returned; in the idle sweep while one
// record's state is read and it is queued), then the queues' own leaf locks.
// The chip link's send lock is taken innermost.
//
// The work itself (OLT configuration, link discovery, ONU discovery and ONU
// configuration) belongs to the layers above, which this one cannot call:
// main.cpp hands their entry points to profiler_init as the handler table,
// and every entry must be there. An item of an unknown kind is logged and
// dropped, its item and record freed. profiler_stop ends the thread.
#pragma once

#include "wire/ids.h"

#include "base/mqueue.h"
#include "engine/link_record.h"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

struct onu_record;

enum : uint8_t {
    PROFILER_OLT_RECONFIGURE = 0,
    PROFILER_ONU_RECONFIGURE = 1,
    PROFILER_LINK_DISCOVERY = 4,
};

// One work item, a pool block. 12 bytes on the 32-bit board.
struct profiler_work_item {
    uint8_t kind;
    uint8_t mac[6];      // ONU reconfigure: the ONU
    uint8_t olt;         // OLT reconfigure, link discovery
    uint8_t *record;     // link discovery: the 130-byte record, owned by the item
};
// The record pointer follows eight bytes of kind, MAC and OLT: 12 bytes on
// the board's 32-bit ARM, 16 on a 64-bit build host.
static_assert(offsetof(profiler_work_item, mac) == 1 && offsetof(profiler_work_item, olt) == 7 &&
              offsetof(profiler_work_item, record) == 8);
static_assert(sizeof(void *) == 4 ? sizeof(profiler_work_item) == 12 : sizeof(profiler_work_item) == 16);

constexpr int PROFILER_OLT_QUEUE_SIZE = 8;
constexpr int PROFILER_ONU_QUEUE_SIZE = 8192;
constexpr int PROFILER_LINK_QUEUE_SIZE = 8192;
constexpr unsigned PROFILER_START_DELAY_SECONDS = 5;
constexpr int PROFILER_ONU_WAIT_SECONDS = 1;   // the only get that waits
constexpr unsigned PROFILER_ITEM_PAUSE_MS = 10;
constexpr unsigned PROFILER_IDLE_PASSES = 5;    // sweeps start when the counter passes this

// Chip requests sent from here.
constexpr int PROFILER_CHIP_TIMEOUT = 2;
constexpr size_t EAP_REQUEST_MAX = 22;

// The work the engine dispatches to. `link_discovery` returns the ONU that
// owns the link with the ONU's lock held, or NULL when there is nothing to
// discover; `onu_discovery` runs under that lock.
struct profiler_handlers {
    int (*olt_reconfigure)(int olt);
    int (*onu_reconfigure)(const uint8_t mac[6]);
    onu_record *(*link_discovery)(int olt, uint8_t *record);
    int (*onu_discovery)(onu_record *onu);
};

// Installs a copy of `handlers` for the passes to dispatch to. 0, or -1
// (nothing changed) when an entry is missing. Before the thread starts, or
// between a test's passes.
int profiler_set_handlers(const profiler_handlers *handlers);

// Installs the handlers, creates the three queues (8, 8192, 8192) and starts
// the profiler thread. 0; -1 an entry of `handlers` is missing (logged, no
// thread started); -2 the thread could not be started. Start-up, once.
int profiler_init(const profiler_handlers *handlers);
// Stops the profiler thread and waits for it: a pause or a wait for work is
// cut short, an item being handled is finished. The queues keep what they
// hold. Safe to call when no thread runs.
void profiler_stop();
// The queues only, for tests that run passes on their own thread: creates
// them on the first call and empties them on later ones.
int profiler_queues_init();
// Empties the queues, freeing items and discovery records.
void profiler_queues_drain();

// Items the passes took, by kind, since the start of the process; `unknown`
// counts items of no known kind. Read without a lock; each only grows.
struct profiler_counters {
    unsigned long olt_reconfigure;
    unsigned long onu_reconfigure;
    unsigned long link_discovery;
    unsigned long unknown;
};
profiler_counters profiler_counters_get();

// Posting work; never waits. A failed post is logged and the work dropped.
void profiler_init_olt_reconfigure(int olt);
void profiler_init_onu_reconfigure(const uint8_t mac[6]);
// Takes ownership of `record` (a pool block of 130 bytes) in every case:
// it is queued, or freed when the item cannot be allocated or queued.
void profiler_init_link_discovery(int olt, uint8_t *record);

// Removes the ONU's pending reconfigurations and the pending discoveries of
// its links; the other items keep their order. The caller holds the ONU.
void profiler_flush_onu_work(const onu_record *onu);

// The ONUs of OLT `olt` are gone with its chip (a reset, or a restart the
// chip reports with a new ready event): drops the link discoveries still
// queued for the OLT, releases every ONU record of the OLT (their queued
// work flushed, FREE notified, an OK one's accounting Stop sent) and clears
// the OLT's ONU counts. Takes each ONU's lock, then the OLT's; the caller
// holds neither.
void profiler_olt_release_onus(int olt);

// Sends an EAP packet (or, with NULL, the default MD5-Challenge request) to
// the ONU through its OLT. The send result; -1 without pool memory or
// randomness; TEKLINK_ERR_ARGUMENT when the packet says it is longer than 22
// bytes. The caller holds the ONU.
int profiler_onu_send_eap_request(const onu_record *onu, const uint8_t *eap);
// The default request: Request, Identifier 1, Length 22, MD5-Challenge;
// its 16-byte value is drawn afresh (RAND_bytes) for every request sent.
extern const uint8_t profiler_default_eap_request[EAP_REQUEST_MAX];
constexpr size_t EAP_CHALLENGE_AT = 6;
constexpr size_t EAP_CHALLENGE_SIZE = 16;
// The challenge of the ONU's pending default request, handed over once:
// true with it in `out`, and it is forgotten; false when none is pending
// (never sent, already checked, or the slot was reused). It is kept beside
// the ONU record, whose bytes go to the management process as they are.
// The caller holds the ONU.
bool profiler_eap_challenge_take(const onu_record *onu, uint8_t out[EAP_CHALLENGE_SIZE]);

// Keeps ONU configuration and ONU firmware updates apart: held by the
// profiler thread across each whole ONU reconfiguration and by the update
// scheduler (maint/scheduler.h) across each update job. Taken before any ONU
// record.
extern pthread_mutex_t onu_update_lock;

// ---- the thread's loop, exposed for tests ---------------------------------
struct profiler_engine {
    unsigned idle = 0;   // passes since the last OLT or link item
    // The ONU change counter when an idle sweep last found no DISCOVERED
    // ONU: every way into DISCOVERED bumps it, so while it stands still
    // the next sweep would find nothing either and is skipped.
    bool quiet = false;
    uint32_t quiet_at = 0;
};
// One pass: takes at most one item in priority order (link, OLT, then ONU
// waiting up to `onu_wait_seconds`; 0 does not wait), dispatches it to the
// installed handlers, or sweeps for a DISCOVERED ONU when idle. true when an item was
// handled (the thread then pauses 10 ms).
bool profiler_engine_pass(profiler_engine *engine, int onu_wait_seconds);
// The idle sweep: queues the first DISCOVERED ONU of the table, if any.
// true when one was queued.
bool profiler_idle_sweep();

// The queues, for tests and the resource report.
mqueue *profiler_olt_queue();
mqueue *profiler_onu_queue();
mqueue *profiler_link_queue();
