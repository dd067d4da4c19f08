// Bounded FIFO queues of pool blocks between threads.
//
// A put never blocks: when the queue is full it fails and the producer frees
// its item. Consumers wait on the item count with a time-out; whoever takes
// an item from a queue owns it and frees it. Any number of producers and
// consumers may share a queue. The queue lock is held for a few instructions
// only (in the conditional flush, for one pass of the match function) and is
// given up after 5 seconds (logged). Every queue is
// listed with the file and line that created it, for the resource report;
// the list has its own mutex. Both are leaf locks.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <cstddef>

struct mqueue {
    void **ring;
    unsigned read;       // next item to take
    unsigned write;      // next free place
    unsigned capacity;
    unsigned used;       // items in the ring; written under the lock, atomically
    unsigned peak;       // most items found in the ring when a put began; ditto
    sem_t count;         // one unit per item a consumer may take
    pthread_mutex_t lock;
};

// 0, or -1 when `queue` is NULL or the ring cannot be allocated.
int mqueue_create(mqueue *queue, int capacity, const char *file, unsigned line);
#define MQUEUE_CREATE(queue, capacity) mqueue_create((queue), (capacity), __FILE__, __LINE__)

// 0; -1 lock not had within 5 seconds; -2 queue full (logged); -3 the item
// count could not be raised.
int mqueue_put(mqueue *queue, void *item);
// The oldest item, waiting up to `seconds` on the daemon's clock (0: only an
// item that is there); NULL on time-out or when the lock could not be had.
// A NULL item put into a queue wakes its consumer with nothing to do.
void *mqueue_timedget(mqueue *queue, int seconds);
void *mqueue_get(mqueue *queue);    // mqueue_timedget(queue, 1)
// The oldest item, waiting as long as it takes: for a consumer that has
// nothing else to do until an item or a stop comes. NULL when it was woken
// with nothing to take (an empty item, or mqueue_wake).
void *mqueue_wait(mqueue *queue);
// Wakes one waiting consumer with nothing to take; a consumer that is not
// waiting finds the wake-up at its next get. Only raises the item count, so
// a signal handler may call it.
void mqueue_wake(mqueue *queue);
void *mqueue_tryget(mqueue *queue); // never waits for an item
// The oldest item, left in the queue; waits at most 1 second.
void *mqueue_peek(mqueue *queue);
// Takes every item (empty ones included) and frees it to the pool.
void mqueue_flush(mqueue *queue);
// Removes and frees every item for which match(item, key) returns 0; the
// others keep their order.
using mqueue_match = int (*)(void *item, const void *key);
void mQueueCondFlush(mqueue *queue, const void *key, mqueue_match match);
// Flushes, unlists and frees the ring. 0.
int mqueue_destroy(mqueue *queue);

// The queue list for the resource report into `buffer` (cut at `size`);
// the length written.
int mqueue_dump(char *buffer, size_t size);
