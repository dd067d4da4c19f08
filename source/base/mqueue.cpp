// Message queues. See mqueue.h for the contract.
//
// The ring's fill level is kept under the lock (`used`) and decides whether a
// put fits. The semaphore only tells consumers that an item is there: a
// consumer that has taken a unit but not yet the lock has not taken its item,
// so judging fullness by the semaphore would let a put overwrite the oldest
// item of a full ring.
//
// `used` and `peak` are changed only under the queue lock, but the resource
// report reads them without it (it must not wait on a busy queue): every
// write is therefore an atomic store and the report's reads atomic loads,
// so the two sides agree. Reads under the lock need nothing more.
#include "base/mqueue.h"

#include "base/balloc.h"
#include "platform/clock.h"

#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int LOCK_LIMIT_SECONDS = 5;

struct queue_entry {
    mqueue *queue;
    const char *file;
    unsigned line;
    queue_entry *next;
};

queue_entry *queue_list;
pthread_mutex_t queue_list_lock = PTHREAD_MUTEX_INITIALIZER;

// The queue lock with a 5-second limit on the daemon's clock. Waiting in the
// mutex itself rather than polling it hands the lock over as soon as it is
// free, which matters when producer and consumer meet on a busy queue.
bool lock_limited(mqueue *queue, const char *who, int line)
{
    if (clock_mutex_lock(&queue->lock, LOCK_LIMIT_SECONDS * 1000))
        return true;
    syslog(LOG_ERR, "%s:%d CANT GET LOCK at 5 seconds!", who, line);
    return false;
}

void unlock(mqueue *queue) { pthread_mutex_unlock(&queue->lock); }

void set_used(mqueue *queue, unsigned used) { __atomic_store_n(&queue->used, used, __ATOMIC_RELAXED); }

unsigned next(const mqueue *queue, unsigned position) { return position + 1 == queue->capacity ? 0 : position + 1; }

// A unit of the item count with no item behind it is a wake-up
// (mqueue_wake): nothing to take.
void *take_oldest(mqueue *queue)
{
    if (queue->used == 0)
        return nullptr;
    void *item = queue->ring[queue->read];
    queue->ring[queue->read] = nullptr;
    queue->read = next(queue, queue->read);
    set_used(queue, queue->used - 1);
    return item;
}

// Waits for a unit of the item count for `seconds` on the daemon's clock
// (0: takes only a unit that is there).
bool wait_item(mqueue *queue, int seconds)
{
    return clock_sem_wait(&queue->count, seconds > 0 ? unsigned(seconds) * 1000 : 0);
}

} // namespace

int mqueue_create(mqueue *queue, int capacity, const char *file, unsigned line)
{
    if (!queue || capacity <= 0)
        return -1;
    memset(queue, 0, sizeof *queue);
    queue->ring = static_cast<void **>(calloc(size_t(capacity), sizeof(void *)));
    if (!queue->ring)
        return -1;
    queue->capacity = unsigned(capacity);
    sem_init(&queue->count, 0, 0);
    pthread_mutex_init(&queue->lock, nullptr);

    queue_entry *entry = new queue_entry{queue, file, line, nullptr};
    pthread_mutex_lock(&queue_list_lock);
    entry->next = queue_list;
    queue_list = entry;
    pthread_mutex_unlock(&queue_list_lock);
    return 0;
}

int mqueue_put(mqueue *queue, void *item)
{
    if (!lock_limited(queue, "mqueue_put", __LINE__))
        return -1;
    if (queue->used > queue->peak)
        __atomic_store_n(&queue->peak, queue->used, __ATOMIC_RELAXED);
    if (queue->used >= queue->capacity) {
        syslog(LOG_ERR, "%s:%d queue overflow (%d elements in queue)", "mqueue_put", __LINE__, int(queue->used));
        unlock(queue);
        return -2;
    }
    // The unit is raised before the lock goes, so that an item a consumer
    // can never be told of does not stay in the ring: the caller frees it on
    // -3, and it must not be handed out as well.
    unsigned at = queue->write;
    queue->ring[at] = item;
    queue->write = next(queue, at);
    set_used(queue, queue->used + 1);
    if (sem_post(&queue->count) != 0) {
        queue->ring[at] = nullptr;
        queue->write = at;
        set_used(queue, queue->used - 1);
        unlock(queue);
        return -3;
    }
    unlock(queue);
    return 0;
}

namespace {

// Takes the item a unit of the item count was taken for.
void *take_after_unit(mqueue *queue, const char *who, int line)
{
    if (!lock_limited(queue, who, line)) {
        sem_post(&queue->count);
        return nullptr;
    }
    void *item = take_oldest(queue);
    unlock(queue);
    return item;
}

} // namespace

void *mqueue_timedget(mqueue *queue, int seconds)
{
    if (!wait_item(queue, seconds))
        return nullptr;
    return take_after_unit(queue, "mqueue_timedget", __LINE__);
}

void *mqueue_wait(mqueue *queue)
{
    while (sem_wait(&queue->count) != 0)
        if (errno != EINTR)
            return nullptr;
    return take_after_unit(queue, "mqueue_wait", __LINE__);
}

void mqueue_wake(mqueue *queue) { sem_post(&queue->count); }

void *mqueue_get(mqueue *queue) { return mqueue_timedget(queue, 1); }

void *mqueue_tryget(mqueue *queue)
{
    if (sem_trywait(&queue->count) != 0)
        return nullptr;
    if (!lock_limited(queue, "mqueue_tryget", __LINE__)) {
        sem_post(&queue->count);
        return nullptr;
    }
    void *item = take_oldest(queue);
    unlock(queue);
    return item;
}

void *mqueue_peek(mqueue *queue)
{
    if (!wait_item(queue, 1))
        return nullptr;
    if (!lock_limited(queue, "mqueue_peek", __LINE__)) {
        sem_post(&queue->count);
        return nullptr;
    }
    void *item = queue->used ? queue->ring[queue->read] : nullptr;
    unlock(queue);
    sem_post(&queue->count);
    return item;
}

void mqueue_flush(mqueue *queue)
{
    // Counted by units, not ended by the first NULL: a queue may carry empty
    // items (a wake-up with nothing attached).
    while (sem_trywait(&queue->count) == 0) {
        if (!lock_limited(queue, "mqueue_flush", __LINE__)) {
            sem_post(&queue->count);
            return;
        }
        void *item = take_oldest(queue);
        unlock(queue);
        BFREE_SAFE(item);
    }
}

void mQueueCondFlush(mqueue *queue, const void *key, mqueue_match match)
{
    for (;;) {
        // The unit taken pays for the item removed; when no item matches it
        // is given back.
        if (sem_trywait(&queue->count) != 0)
            return;
        if (!lock_limited(queue, "mQueueCondFlush", __LINE__)) {
            sem_post(&queue->count);
            return;
        }
        unsigned position = queue->read;
        unsigned seen = 0;
        for (; seen < queue->used; seen++, position = next(queue, position))
            if (match(queue->ring[position], key) == 0)
                break;
        if (seen == queue->used) {
            unlock(queue);
            sem_post(&queue->count);
            return;
        }
        BFREE(queue->ring[position]);
        if (position == queue->read) {
            queue->ring[position] = nullptr;
            queue->read = next(queue, queue->read);
        } else {
            // Close the gap: every later item moves one place back.
            unsigned to = position;
            for (unsigned from = next(queue, to); from != queue->write; from = next(queue, from)) {
                queue->ring[to] = queue->ring[from];
                to = from;
            }
            queue->ring[to] = nullptr;
            queue->write = to;
        }
        set_used(queue, queue->used - 1);
        unlock(queue);
    }
}

int mqueue_destroy(mqueue *queue)
{
    mqueue_flush(queue);
    pthread_mutex_lock(&queue_list_lock);
    for (queue_entry **link = &queue_list; *link; link = &(*link)->next) {
        if ((*link)->queue == queue) {
            queue_entry *gone = *link;
            *link = gone->next;
            delete gone;
            break;
        }
    }
    pthread_mutex_unlock(&queue_list_lock);
    free(queue->ring);
    queue->ring = nullptr;
    sem_destroy(&queue->count);
    pthread_mutex_destroy(&queue->lock);
    return 0;
}

int mqueue_dump(char *buffer, size_t size)
{
    size_t used = 0;
    auto append = [&](const char *text) {
        size_t n = strlen(text);
        if (used + n + 1 > size)
            n = size > used + 1 ? size - used - 1 : 0;
        memcpy(buffer + used, text, n);
        used += n;
        if (size)
            buffer[used] = '\0';
    };
    append("-------------------\nQueue list:\n");
    pthread_mutex_lock(&queue_list_lock);
    for (const queue_entry *entry = queue_list; entry; entry = entry->next) {
        const mqueue *queue = entry->queue;
        char line[256];
        snprintf(line, sizeof line, "Queue %p(%s:%u): total_size = %d, current_size = %d, peak_size = %d\n",
                 static_cast<const void *>(queue), entry->file, entry->line, int(queue->capacity),
                 int(__atomic_load_n(&queue->used, __ATOMIC_RELAXED)),
                 int(__atomic_load_n(&queue->peak, __ATOMIC_RELAXED)));
        append(line);
    }
    pthread_mutex_unlock(&queue_list_lock);
    append("-------------------\n");
    return int(used);
}
