// The daemon's one clock: whole seconds since boot ("uptime seconds").
//
// Every time-out and record timestamp reads uptime_seconds(). Tests replace
// it with a fake clock that they set and advance; the real clock is the
// monotonic clock. Safe from any thread.
#pragma once

#include <cstdint>

uint32_t uptime_seconds();
// uptime_seconds() - since (unsigned, so it survives a wrap).
uint32_t uptime_elapsed(uint32_t since);
// uptime_elapsed(since) > limit.
bool uptime_expired(uint32_t since, uint32_t limit);

// Fake clock for tests: once set, uptime_seconds() returns it until released.
void clock_fake_set(uint32_t seconds);
void clock_fake_advance(uint32_t seconds);
void clock_fake_release();
