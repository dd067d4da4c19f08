// The ONU requests the maintenance threads send, and the stoppable pause the
// watchdog paces its loops with.
//
// The sweeps and jobs call the link teardown (profiler_onu_links_cleanup)
// and the rediscovery marking (profiler_onu_reconfiguration_init) of
// onu/profiler_link and the requests below directly, with
// the ONU record's lock held, except the queue and reset requests of the
// update scheduler, which get a copy of the record taken under the lock (the
// transfers they follow run without it). The unit tests replace them at link
// time (tests/unit/maint/maint_fixture.h).
#pragma once

#include <condition_variable>
#include <mutex>

struct onu_record;

// The end-of-configuration marker (request 0x0092); clear the ONU's queue
// layout (0x0088), write the expected one for its link count and chip
// (0x0058), zero-padded to 28 bytes; reset the ONU (0x0053). 0, or the
// request's failure (chip/tekrequest.h).
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
