// The daemon's one clock: the monotonic clock, read as whole seconds since
// boot ("uptime seconds") for timestamps and as milliseconds for deadlines.
//
// Every time-out, deadline and delay of the daemon goes through here, so no
// wait follows the wall clock and tests can replace the clock with a fake one
// that they set and advance. Three kinds of wait:
//   - time-outs (a queue get, a lock with a limit): clock_sem_wait and
//     clock_mutex_lock end when the semaphore or lock is had, or at the
//     deadline;
//   - fixed delays of the daemon's behaviour (the start-up wait, the
//     engine's start delay, reconnect, retry and resend pauses):
//     clock_delay. ZANDREL_TIME_SCALE divides them, so tests of the whole
//     daemon need not pay for them; a stop flag cuts them short;
//   - pacing pauses of a few milliseconds, which stay plain sleeps where
//     they pace a thread.
// Time-outs are never scaled: shortened, they would expire before a peer
// that is merely slow (a sanitizer build on a busy machine) answers.
//
// With the fake clock on, time stands still until a test advances it: a
// time-out ends on its event or once the fake time passes its deadline, and
// so does a delay. A test never sleeps through a time-out; it advances the
// clock, if need be once clock_fake_waiters() shows the waiter is there.
//
// Safe from any thread; nothing here is called under a lock of its own
// except the delays' leaf mutex.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>

uint32_t uptime_seconds();
// uptime_seconds() - since (unsigned, so it survives a wrap).
uint32_t uptime_elapsed(uint32_t since);
// uptime_elapsed(since) > limit.
bool uptime_expired(uint32_t since, uint32_t limit);
// Milliseconds on the same clock.
uint64_t clock_now_ms();
// The wall clock in microseconds since the epoch, for the timestamps of
// records read outside the daemon (the capture file). Nothing waits on it
// and the fake clock leaves it alone.
uint64_t clock_wall_us();

// Takes one unit of `sem`, waiting at most `ms` milliseconds (0: only a unit
// that is there now). true when taken. A signal does not end the wait early.
bool clock_sem_wait(sem_t *sem, unsigned ms);
// Takes `mutex`, waiting at most `ms` milliseconds. true when taken.
bool clock_mutex_lock(pthread_mutex_t *mutex, unsigned ms);

// poll() with a time-out of `ms` milliseconds on the daemon's clock: the
// number of ready descriptors, 0 at the time-out, -1 on an error other than
// a signal.
int clock_poll(pollfd *fds, unsigned count, unsigned ms);

// A delay of `ms` milliseconds divided by the time scale. true when it ran
// its course; false when `*stop` was (or became) true, which ends it as soon
// as clock_delay_wake() is called.
bool clock_delay(unsigned ms, const std::atomic<bool> *stop = nullptr);
// Makes every running delay and sleep look at its flag again. Called by
// whoever raises a stop or wake flag.
void clock_delay_wake();

// A thread that paces itself sleeps until its next piece of work is due:
// until `at_ms` (UINT64_MAX: no time, only the flag) on the clock_now_ms()
// scale with `on_fake_clock`, else on clock_real_ms(); never scaled. Ends
// early when `*woken` is (or becomes) true and clock_delay_wake() is
// called. true when the time came; false when woken.
bool clock_sleep_until(uint64_t at_ms, const std::atomic<bool> *woken, bool on_fake_clock);
// The monotonic clock in milliseconds, even while a fake clock is set: the
// clock of pacing, which goes on in tests that stand the fake clock still.
uint64_t clock_real_ms();
// The divisor of delays: ZANDREL_TIME_SCALE when it holds a number from 1
// to 1000, else 1. Read once.
unsigned clock_time_scale();

// Fake clock for tests: once set, the clock reads it until released.
// Advancing or releasing it ends the waits whose deadlines it passes.
void clock_fake_set(uint32_t seconds);
void clock_fake_advance(uint32_t seconds);
void clock_fake_advance_ms(uint32_t ms);
void clock_fake_release();
// Threads waiting for the fake clock to pass a deadline right now.
int clock_fake_waiters();
