#include "platform/threads.h"

#include <ctime>

void lock_timed(pthread_mutex_t *mutex)
{
    // The common case, an uncontended lock, needs no clock reading.
    if (pthread_mutex_trylock(mutex) == 0)
        return;
    for (;;) {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += 10 * 1000 * 1000;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
        if (pthread_mutex_timedlock(mutex, &deadline) == 0)
            return;
    }
}
