#include "platform/clock.h"

#include "platform/sandbox.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>

// GCC 12's ThreadSanitizer does not intercept the waits that take a clock
// (sem_clockwait, pthread_mutex_clocklock): it would not see the lock taken
// and report races that are none. Its build waits on the realtime clock in
// the same short steps; there only a wall-clock step could stretch a wait.
#if defined(__SANITIZE_THREAD__)
#define CLOCK_REALTIME_WAITS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CLOCK_REALTIME_WAITS 1
#endif
#endif

namespace {

std::atomic<bool> fake_on{false};
std::atomic<uint64_t> fake_ms{0};
std::atomic<int> fake_waiting{0};

// Delays sleep on this condition; clock_delay_wake and every change of the
// fake clock notify it. A leaf lock.
std::mutex delay_lock;
std::condition_variable delay_changed;

// With the fake clock on, a time-out waits for its event in real steps this
// long and looks at the fake time between them.
constexpr unsigned FAKE_STEP_MS = 1;

uint64_t real_now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

timespec deadline_after(unsigned ms)
{
    timespec at{};
#ifdef CLOCK_REALTIME_WAITS
    clock_gettime(CLOCK_REALTIME, &at);
#else
    clock_gettime(CLOCK_MONOTONIC, &at);
#endif
    at.tv_sec += time_t(ms / 1000);
    at.tv_nsec += long(ms % 1000) * 1000000L;
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec++;
        at.tv_nsec -= 1000000000L;
    }
    return at;
}

bool sem_wait_real(sem_t *sem, unsigned ms)
{
    timespec at = deadline_after(ms);
    for (;;) {
#ifdef CLOCK_REALTIME_WAITS
        int rc = sem_timedwait(sem, &at);
#else
        int rc = sem_clockwait(sem, CLOCK_MONOTONIC, &at);
#endif
        if (rc == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

bool mutex_lock_real(pthread_mutex_t *mutex, unsigned ms)
{
    timespec at = deadline_after(ms);
#ifdef CLOCK_REALTIME_WAITS
    return pthread_mutex_timedlock(mutex, &at) == 0;
#else
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &at) == 0;
#endif
}

bool sem_try(sem_t *sem)
{
    for (;;) {
        if (sem_trywait(sem) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

// Runs `attempt` (one real wait of at most the given milliseconds) until it
// succeeds or the fake clock passes `ms` from now. Without the fake clock one
// attempt spans the whole time.
template <typename Attempt>
bool fake_or_real_wait(unsigned ms, Attempt attempt)
{
    if (!fake_on.load(std::memory_order_acquire))
        return attempt(ms);
    uint64_t deadline = fake_ms.load() + ms;
    fake_waiting++;
    bool got = false;
    while (!got && fake_on.load(std::memory_order_acquire) && fake_ms.load() < deadline)
        got = attempt(FAKE_STEP_MS);
    fake_waiting--;
    return got;
}

void notify_delays()
{
    // Taking the lock orders the change before any delay's next look at it.
    { std::lock_guard<std::mutex> hold(delay_lock); }
    delay_changed.notify_all();
}

} // namespace

uint64_t clock_now_ms()
{
    if (fake_on.load(std::memory_order_acquire))
        return fake_ms.load(std::memory_order_acquire);
    return real_now_ms();
}

uint64_t clock_wall_us()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000 + uint64_t(ts.tv_nsec) / 1000;
}

uint32_t uptime_seconds() { return uint32_t(clock_now_ms() / 1000); }

uint32_t uptime_elapsed(uint32_t since) { return uptime_seconds() - since; }

bool uptime_expired(uint32_t since, uint32_t limit) { return uptime_elapsed(since) > limit; }

bool clock_sem_wait(sem_t *sem, unsigned ms)
{
    if (sem_try(sem))
        return true;
    if (ms == 0)
        return false;
    return fake_or_real_wait(ms, [&](unsigned step) { return sem_wait_real(sem, step); }) || sem_try(sem);
}

bool clock_mutex_lock(pthread_mutex_t *mutex, unsigned ms)
{
    // The common case, an uncontended lock, needs no clock reading.
    if (pthread_mutex_trylock(mutex) == 0)
        return true;
    return fake_or_real_wait(ms, [&](unsigned step) { return mutex_lock_real(mutex, step); });
}

int clock_poll(pollfd *fds, unsigned count, unsigned ms)
{
    int ready = 0;
    auto attempt = [&](unsigned step) {
        uint64_t until = real_now_ms() + step;
        for (;;) {
            uint64_t now = real_now_ms();
            ready = poll(fds, nfds_t(count), int(until > now ? until - now : 0));
            if (ready >= 0 || errno != EINTR)
                return ready != 0;
            if (now >= until) {
                ready = 0;
                return false;
            }
        }
    };
    fake_or_real_wait(ms, attempt);
    return ready;
}

bool clock_delay(unsigned ms, const std::atomic<bool> *stop)
{
    auto stopped = [stop] { return stop && stop->load(); };
    std::unique_lock<std::mutex> hold(delay_lock);
    if (fake_on.load(std::memory_order_acquire)) {
        uint64_t deadline = fake_ms.load() + ms;
        fake_waiting++;
        delay_changed.wait(hold, [&] { return stopped() || !fake_on.load() || fake_ms.load() >= deadline; });
        fake_waiting--;
        return !stopped();
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms / clock_time_scale());
    return !delay_changed.wait_until(hold, until, stopped);
}

void clock_delay_wake() { notify_delays(); }

bool clock_sleep_until(uint64_t at_ms, const std::atomic<bool> *woken, bool on_fake_clock)
{
    auto is_woken = [woken] { return woken->load(); };
    std::unique_lock<std::mutex> hold(delay_lock);
    if (on_fake_clock && fake_on.load(std::memory_order_acquire)) {
        fake_waiting++;
        delay_changed.wait(hold, [&] { return is_woken() || !fake_on.load() || fake_ms.load() >= at_ms; });
        fake_waiting--;
        return !is_woken();
    }
    if (at_ms == UINT64_MAX) {
        delay_changed.wait(hold, is_woken);
        return false;
    }
    uint64_t now = real_now_ms();
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(at_ms > now ? at_ms - now : 0);
    return !delay_changed.wait_until(hold, until, is_woken);
}

uint64_t clock_real_ms() { return real_now_ms(); }

unsigned clock_time_scale()
{
    static const unsigned scale = sandbox_time_scale();
    return scale;
}

void clock_fake_set(uint32_t seconds)
{
    fake_ms.store(uint64_t(seconds) * 1000, std::memory_order_release);
    fake_on.store(true, std::memory_order_release);
    notify_delays();
}

void clock_fake_advance(uint32_t seconds)
{
    fake_ms.fetch_add(uint64_t(seconds) * 1000, std::memory_order_acq_rel);
    notify_delays();
}

void clock_fake_advance_ms(uint32_t ms)
{
    fake_ms.fetch_add(ms, std::memory_order_acq_rel);
    notify_delays();
}

void clock_fake_release()
{
    fake_on.store(false, std::memory_order_release);
    notify_delays();
}

int clock_fake_waiters() { return fake_waiting.load(); }
