// Locking helpers shared by every module.
#pragma once

#include <pthread.h>

// Takes `mutex`, retrying a 10-millisecond timed lock (on the daemon's
// clock, platform/clock.h) until it succeeds. Never gives up and never
// reports: most locks of the daemon are taken so.
void lock_timed(pthread_mutex_t *mutex);
