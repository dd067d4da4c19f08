// Provisioning engine: the queues, the profiler thread and its dispatch, the
// idle sweep, and the EAP request of ONU authorization.
#include "engine/profiler.h"

#include "base/balloc.h"
#include "base/bytes.h"
#include "store/datastruct.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/textconv.h"
#include "platform/threads.h"
#include "base/process.h"
#include "chip/teklink.h"
#include "chip/tekrequest.h"
#include "wire/tekmsg.h"

#include <openssl/rand.h>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

const uint8_t profiler_default_eap_request[EAP_REQUEST_MAX] = {0x01, 0x01, 0x00, 0x16, 0x04, 0x10};
pthread_mutex_t onu_update_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

mqueue olt_queue;
mqueue onu_queue;
mqueue link_queue;
bool queues_made;

profiler_handlers handlers;   // complete once installed

pthread_t thread;
bool thread_running;          // start-up and stopping thread only
std::atomic<bool> stop{false};

struct {
    std::atomic<unsigned long> olt_reconfigure, onu_reconfigure, link_discovery, unknown;
} counters;

profiler_work_item *new_item(uint8_t kind)
{
    auto *item = static_cast<profiler_work_item *>(BALLOC(sizeof(profiler_work_item)));
    if (item) {
        memset(item, 0, sizeof *item);
        item->kind = kind;
    }
    return item;
}

// Frees an item and the discovery record it may own.
void free_item(profiler_work_item *item)
{
    if (item->kind == PROFILER_LINK_DISCOVERY)
        BFREE_SAFE(item->record);
    BFREE(item);
}

void drain(mqueue *queue)
{
    while (void *item = mqueue_tryget(queue))
        free_item(static_cast<profiler_work_item *>(item));
}

// The queue may hold the NULL that wakes a stopping thread.
int match_onu(void *item, const void *mac)
{
    if (!item)
        return 1;
    return memcmp(static_cast<profiler_work_item *>(item)->mac, mac, 6);
}

// The conditional flush frees the item; the record is ours to free first.
int match_link(void *item, const void *mac)
{
    auto *work = static_cast<profiler_work_item *>(item);
    if (!work->record || memcmp(work->record + LINK_RECORD_MAC, mac, 6) != 0)
        return 1;
    BFREE(work->record);
    work->record = nullptr;
    return 0;
}

// Discoveries reported by one OLT; the record goes with the item.
int match_olt(void *item, const void *olt)
{
    auto *work = static_cast<profiler_work_item *>(item);
    if (!work || work->olt != *static_cast<const uint8_t *>(olt))
        return 1;
    BFREE_SAFE(work->record);
    return 0;
}

void handle_link_discovery(const profiler_work_item *item)
{
    char link[18];
    convert_to_mac(link, item->record + LINK_RECORD_MAC);
    if (check_TkOnuInfoTlv(item->record + LINK_RECORD_ONU_INFO, link) != 0)
        return;
    onu_record *onu = handlers.link_discovery(item->olt, item->record);
    if (!onu)
        return;
    handlers.onu_discovery(onu);
    onu_unlock(onu);
}

void dispatch(profiler_engine *engine, profiler_work_item *item)
{
    switch (item->kind) {
    case PROFILER_OLT_RECONFIGURE:
        counters.olt_reconfigure++;
        engine->idle = 0;
        handlers.olt_reconfigure(item->olt);
        break;
    case PROFILER_ONU_RECONFIGURE:
        counters.onu_reconfigure++;
        lock_timed(&onu_update_lock);
        handlers.onu_reconfigure(item->mac);
        pthread_mutex_unlock(&onu_update_lock);
        break;
    case PROFILER_LINK_DISCOVERY:
        counters.link_discovery++;
        engine->idle = 0;
        handle_link_discovery(item);
        break;
    default:
        counters.unknown++;
        syslog(LOG_ERR, "%s: unknown work kind %u dropped", "profiler_thread", unsigned(item->kind));
        break;
    }
}

void *profiler_thread(void *)
{
    if (!clock_delay(PROFILER_START_DELAY_SECONDS * 1000, &stop))
        return nullptr;
    profiler_engine engine;
    while (run_flag.load() && !stop.load()) {
        if (profiler_engine_pass(&engine, PROFILER_ONU_WAIT_SECONDS))
            usleep(PROFILER_ITEM_PAUSE_MS * 1000);
    }
    return nullptr;
}

// Puts an item in its queue; on failure logs with the poster's name and line
// and frees the item (and the record it owns).
void post(mqueue *queue, profiler_work_item *item, const char *poster, int line)
{
    if (!queues_made) {
        trace("%s: %d: no profiler queues\n", poster, line);
        free_item(item);
        return;
    }
    int rc = mqueue_put(queue, item);
    if (rc != 0) {
        syslog(LOG_ERR, "%s:%d Error on queue add (%d)\n", poster, line, rc);
        free_item(item);
    }
}

} // namespace

int profiler_queues_init()
{
    if (queues_made) {
        profiler_queues_drain();
        return 0;
    }
    int rc = MQUEUE_CREATE(&olt_queue, PROFILER_OLT_QUEUE_SIZE);
    rc |= MQUEUE_CREATE(&onu_queue, PROFILER_ONU_QUEUE_SIZE);
    rc |= MQUEUE_CREATE(&link_queue, PROFILER_LINK_QUEUE_SIZE);
    queues_made = true;
    return rc;
}

void profiler_queues_drain()
{
    if (!queues_made)
        return;
    drain(&link_queue);
    // Their items own nothing, and a flush also takes the NULL that may have
    // woken a stopping thread, where drain would end.
    mqueue_flush(&olt_queue);
    mqueue_flush(&onu_queue);
}

int profiler_set_handlers(const profiler_handlers *table)
{
    if (!table || !table->olt_reconfigure || !table->onu_reconfigure || !table->link_discovery ||
        !table->onu_discovery)
        return -1;
    handlers = *table;
    return 0;
}

int profiler_init(const profiler_handlers *table)
{
    if (profiler_set_handlers(table) != 0) {
        syslog(LOG_ERR, "%s: a work handler is missing", __func__);
        return -1;
    }
    profiler_queues_init();
    stop.store(false);
    if (pthread_create(&thread, nullptr, profiler_thread, nullptr) != 0)
        return -2;
    thread_running = true;
    return 0;
}

void profiler_stop()
{
    if (!thread_running)
        return;
    stop.store(true);
    clock_delay_wake();
    // An empty item ends the wait for ONU work at once; should the queue be
    // full, the wait ends by itself within its second.
    mqueue_put(&onu_queue, nullptr);
    pthread_join(thread, nullptr);
    thread_running = false;
}

profiler_counters profiler_counters_get()
{
    return {counters.olt_reconfigure.load(), counters.onu_reconfigure.load(), counters.link_discovery.load(),
            counters.unknown.load()};
}

mqueue *profiler_olt_queue() { return &olt_queue; }
mqueue *profiler_onu_queue() { return &onu_queue; }
mqueue *profiler_link_queue() { return &link_queue; }

void profiler_init_olt_reconfigure(int olt)
{
    profiler_work_item *item = new_item(PROFILER_OLT_RECONFIGURE);
    if (!item)
        return;
    item->olt = uint8_t(olt);
    post(&olt_queue, item, __func__, __LINE__);
}

void profiler_init_onu_reconfigure(const uint8_t mac[6])
{
    profiler_work_item *item = new_item(PROFILER_ONU_RECONFIGURE);
    if (!item)
        return;
    memcpy(item->mac, mac, 6);
    post(&onu_queue, item, __func__, __LINE__);
}

void profiler_init_link_discovery(int olt, uint8_t *record)
{
    profiler_work_item *item = new_item(PROFILER_LINK_DISCOVERY);
    if (!item) {
        trace("%s: %d: balloc failed\n", __func__, __LINE__);
        BFREE_SAFE(record);
        return;
    }
    item->olt = uint8_t(olt);
    item->record = record;
    post(&link_queue, item, __func__, __LINE__);
}

void profiler_flush_onu_work(const onu_record *onu)
{
    if (!queues_made)
        return;
    mQueueCondFlush(&onu_queue, onu->mac, match_onu);
    unsigned links = onu->link_count < ONU_LINKS ? onu->link_count : ONU_LINKS;
    for (unsigned i = 0; i < links; i++)
        mQueueCondFlush(&link_queue, onu->links[i].mac, match_link);
}

void profiler_olt_release_onus(int olt)
{
    if (olt < 0 || olt >= OLT_COUNT)
        return;
    // Discoveries first: one taken after the release would build a record
    // for a link the chip no longer holds.
    const uint8_t index = uint8_t(olt);
    if (queues_made)
        mQueueCondFlush(&link_queue, &index, match_olt);
    onu_release_all_on_olt(olt);
    olt_lock(olt);
    olt_record *record = olt_get(olt);
    record->onus_total = 0;
    memset(record->onus_on_port, 0, sizeof record->onus_on_port);
    memset(record->onus_first_group, 0, sizeof record->onus_first_group);
    memset(record->onus_second_group, 0, sizeof record->onus_second_group);
    olt_unlock(olt);
}

bool profiler_idle_sweep()
{
    for (int i = 0; i < ONU_COUNT; i++) {
        onu_record *onu = onu_at(i);
        if (!onu)
            break;
        onu_lock(onu);
        if (onu->state == ONU_STATE_DISCOVERED) {
            profiler_init_onu_reconfigure(onu->mac);
            onu_unlock(onu);
            return true;
        }
        onu_unlock(onu);
    }
    return false;
}

bool profiler_engine_pass(profiler_engine *engine, int onu_wait_seconds)
{
    void *got = mqueue_timedget(&link_queue, 0);
    if (!got)
        got = mqueue_timedget(&olt_queue, 0);
    if (!got)
        got = mqueue_timedget(&onu_queue, onu_wait_seconds);
    if (!got) {
        if (engine->idle > PROFILER_IDLE_PASSES) {
            uint32_t changes = onu_change_counter_get();
            if (!engine->quiet || changes != engine->quiet_at) {
                engine->quiet = !profiler_idle_sweep();
                engine->quiet_at = changes;
            }
        }
        engine->idle++;
        return false;
    }
    auto *item = static_cast<profiler_work_item *>(got);
    dispatch(engine, item);
    free_item(item);
    return true;
}

namespace {

// The challenge each ONU slot was last sent, until its answer takes it.
// Under the ONU's lock.
struct eap_challenge {
    bool pending;
    uint8_t value[EAP_CHALLENGE_SIZE];
};
eap_challenge challenges[ONU_COUNT];

} // namespace

bool profiler_eap_challenge_take(const onu_record *onu, uint8_t out[EAP_CHALLENGE_SIZE])
{
    int index = onu_index(onu);
    if (index < 0 || index >= ONU_COUNT || !challenges[index].pending)
        return false;
    memcpy(out, challenges[index].value, EAP_CHALLENGE_SIZE);
    challenges[index] = {};
    return true;
}

int profiler_onu_send_eap_request(const onu_record *onu, const uint8_t *eap)
{
    constexpr uint16_t LEN = 6 + EAP_REQUEST_MAX;
    size_t size = EAP_REQUEST_MAX;
    uint8_t own[EAP_REQUEST_MAX];
    if (eap) {
        size = load_be16(eap + 2);
        if (size > EAP_REQUEST_MAX) {
            trace("%s: failed(%d)\n", __func__, TEKLINK_ERR_ARGUMENT);
            return TEKLINK_ERR_ARGUMENT;
        }
    } else {
        // A fresh challenge for every authentication, so that an answer
        // overheard once authenticates nobody later.
        int index = onu_index(onu);
        if (index < 0 || index >= ONU_COUNT)
            return TEKLINK_ERR_ARGUMENT;
        memcpy(own, profiler_default_eap_request, sizeof own);
        if (RAND_bytes(own + EAP_CHALLENGE_AT, EAP_CHALLENGE_SIZE) != 1) {
            challenges[index] = {};
            trace("%s: failed(%d)\n", __func__, -1);
            return -1;
        }
        challenges[index].pending = true;
        memcpy(challenges[index].value, own + EAP_CHALLENGE_AT, EAP_CHALLENGE_SIZE);
        eap = own;
    }
    uint8_t request[LEN] = {};
    memcpy(request, onu->mac, 6);
    memcpy(request + 6, eap ? eap : profiler_default_eap_request, size);
    int rc = tekrequest_send(onu->olt, TEK_REQ_EAP_FRAME, request, LEN, nullptr, PROFILER_CHIP_TIMEOUT);
    if (rc == TEK_RC_NO_MEMORY)
        return -1;
    if (rc != 0)
        trace("%s: failed(%d)\n", __func__, rc);
    return rc;
}
