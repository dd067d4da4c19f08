#include "platform/threads.h"

#include "platform/clock.h"

namespace {
constexpr unsigned LOCK_ATTEMPT_MS = 10;
}

void lock_timed(pthread_mutex_t *mutex)
{
    while (!clock_mutex_lock(mutex, LOCK_ATTEMPT_MS))
        ;
}
