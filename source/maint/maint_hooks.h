// The ONU steps the maintenance threads take, and the stoppable pause the
// watchdog paces its loops with.
//
// The steps (link teardown, rediscovery marking, the end-of-configuration
// marker, the queue layout and the ONU reset) are reached through a table so
// that the sweeps and jobs can be run without chips: main.cpp installs ONU
// configuration's teardown and rediscovery and the requests declared below.
// An empty entry is skipped and counts as failed where a result is looked at.
//
// Each entry is called with the ONU record's lock held by the caller, except
// the queue and reset requests of the update scheduler, which get a copy of
// the record taken under the lock (the transfers they follow run without it).
#pragma once

#include <condition_variable>
#include <mutex>

struct onu_record;

struct maint_hook_table {
    // Releases and clears every link of the ONU in the chip, with its
    // destinations, queues and paths. The OR of the step results.
    int (*links_cleanup)(onu_record *onu);
    // All four links to REPORTTIMEOUT, so the ONU is torn down and
    // registers afresh.
    void (*reconfiguration_init)(onu_record *onu);
    // The end-of-configuration marker (request 0x0092).
    int (*config_end)(const onu_record *onu);
    // Clear the ONU's queue layout (0x0088), write the expected one for its
    // link count and chip (0x0058), reset the ONU (0x0053).
    int (*queues_clear)(const onu_record *onu);
    int (*queues_write)(const onu_record *onu);
    int (*onu_reset)(const onu_record *onu);
};
extern maint_hook_table maint_hooks;

// The chip requests behind the last four entries, as main.cpp installs
// them: 0, or the request's failure (chip/tekrequest.h). The queue layout
// is the one ONU configuration expects for the ONU's link count and chip,
// zero-padded to 28 bytes.
int maint_onu_config_end(const onu_record *onu);
int maint_onu_queues_clear(const onu_record *onu);
int maint_onu_queues_write(const onu_record *onu);
int maint_onu_reset(const onu_record *onu);

// A pause that ends early once stop() is called; the watchdog's loops wait
// on one of these between passes so that the stopping sequence never waits
// a whole period.
class maint_pause {
public:
    // false when stopping (at once, or during the pause).
    bool wait_ms(unsigned ms);
    void stop();
    // Arms it again for the next start.
    void reset();
    bool stopping();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
};
