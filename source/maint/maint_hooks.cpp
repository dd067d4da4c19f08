#include "maint/maint_hooks.h"

#include <chrono>

maint_hook_table maint_hooks{};

bool maint_pause::wait_ms(unsigned ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
    return !stop_;
}

void maint_pause::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
}

void maint_pause::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
}

bool maint_pause::stopping()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
}
