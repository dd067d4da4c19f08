#include "platform/clock.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<bool> fake_on{false};
std::atomic<uint32_t> fake_now{0};
} // namespace

uint32_t uptime_seconds()
{
    if (fake_on.load(std::memory_order_acquire))
        return fake_now.load(std::memory_order_acquire);
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32_t(ts.tv_sec);
}

uint32_t uptime_elapsed(uint32_t since) { return uptime_seconds() - since; }

bool uptime_expired(uint32_t since, uint32_t limit) { return uptime_elapsed(since) > limit; }

void clock_fake_set(uint32_t seconds)
{
    fake_now.store(seconds, std::memory_order_release);
    fake_on.store(true, std::memory_order_release);
}

void clock_fake_advance(uint32_t seconds) { fake_now.fetch_add(seconds, std::memory_order_acq_rel); }

void clock_fake_release() { fake_on.store(false, std::memory_order_release); }
