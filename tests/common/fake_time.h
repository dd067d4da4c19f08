// Driving the daemon's fake clock (platform/clock.h) from a test: time moves
// only when the test says so, not after real seconds.
#pragma once

#include "platform/clock.h"
#include "common/wait.h"

// Advances the fake clock in steps of `step_ms`, a real millisecond apart,
// until `condition` holds; false when it still does not after `seconds`.
inline bool advance_until(const std::function<bool()> &condition, unsigned step_ms = 100, int seconds = 10)
{
    return eventually([&] { return condition() || (clock_fake_advance_ms(step_ms), false); }, seconds, 1);
}

// Once `waiters` threads wait on the fake clock (at most `seconds` of real
// time), advances it by `ms`; false when they never came.
inline bool advance_when_waiting(uint32_t ms, int waiters = 1, int seconds = 10)
{
    return eventually([&] { return clock_fake_waiters() >= waiters; }, seconds, 1) &&
           (clock_fake_advance_ms(ms), true);
}
