#include "maint/maint_steps.h"

#include "base/bytes.h"
#include "engine/profiler.h"
#include "chip/tekrequest.h"
#include "onu/profiler_onu.h"
#include "store/datastruct.h"

#include <chrono>

namespace {

int mac_request(const onu_record *onu, uint16_t id) { return tekrequest_result(onu->olt, id, onu->mac, 6); }

} // namespace

int maint_onu_config_end(const onu_record *onu) { return mac_request(onu, TEK_REQ_ONU_CONFIG_END); }

int maint_onu_queues_clear(const onu_record *onu) { return mac_request(onu, TEK_REQ_QUEUES_CLEAR); }

int maint_onu_reset(const onu_record *onu) { return mac_request(onu, TEK_REQ_ONU_RESET); }

int maint_onu_queues_write(const onu_record *onu)
{
    uint8_t layout[QUEUES_WRITE_LEN] = {};
    onu_expected_queues(onu->mac, onu->link_count, load_be16(onu->chip_id) == ONU_CHIP_8600, layout);
    return tekrequest_result(onu->olt, TEK_REQ_QUEUES_WRITE, layout, sizeof layout);
}

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
