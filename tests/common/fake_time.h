// Driving the daemon's fake clock (platform/clock.h) from a test: time moves
// only when the test says so, and a time-out ends when the test advances
// past it, not after real seconds.
#pragma once

#include "platform/clock.h"

#include <chrono>
#include <functional>
#include <thread>

// Advances the fake clock in steps of `step_ms` until `condition` holds,
// giving the other threads a moment of real time between steps. false when
// it still does not hold after `seconds` of real time.
inline bool advance_until(const std::function<bool()> &condition, unsigned step_ms = 100, int seconds = 10)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        clock_fake_advance_ms(step_ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits (at most `seconds` of real time) until `waiters` threads wait on the
// fake clock, then advances it by `ms`. false when they never came.
inline bool advance_when_waiting(uint32_t ms, int waiters = 1, int seconds = 10)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (clock_fake_waiters() < waiters) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    clock_fake_advance_ms(ms);
    return true;
}
