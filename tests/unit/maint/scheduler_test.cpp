// The update schedule's walk and the jobs' rules that need no chip: jobs
// that wait without a try, a job deleted while it runs, the reconfiguration
// watch, the sleeping walk's timing, and the thread's stop.
#include "maint_fixture.h"

#include <future>
#include <thread>

namespace {

class Schedule : public MaintFixture {
protected:
    bool with_chips() const override { return false; }
    void TearDown() override
    {
        scheduler_stop();
        scheduler_walk_on_fake_clock = false;
        MaintFixture::TearDown();
    }
};

// ---- jobs -------------------------------------------------------------------------------

// Jobs for an ONU not connected wait; a firmware job for an ONU type without
// an image waits too, after the pause that follows a look at an ONU; none
// uses a try. A job deleted while it runs (in its pause) stays deleted.
TEST_F(Schedule, JobsThatCannotRunYetWaitWithoutUsingATryAndADeletedOneStaysDeleted)
{
    put_onu(0, 2, ONU_STATE_OK, 1)->type = 20;
    put_onu(1, 3, ONU_STATE_OK, 1)->type = 20;
    scheduler_add(mac_of(1).data(), SCHEDULE_FIRMWARE);
    scheduler_add(mac_of(1).data(), SCHEDULE_RECONFIGURE);
    scheduler_add(mac_of(2).data(), SCHEDULE_FIRMWARE);
    scheduler_add(mac_of(3).data(), SCHEDULE_FIRMWARE);
    on_wait = [](unsigned) {
        if (scheduler_entry(4).status == SCHEDULE_RUNNING) {
            EXPECT_EQ(scheduler_del(mac_of(3).data(), SCHEDULE_FIRMWARE), SCHEDULE_OK);
        }
    };
    lap();
    for (int slot : {1, 2, 3}) {
        EXPECT_EQ(scheduler_entry(slot).status, SCHEDULE_WAITING);
        EXPECT_EQ(scheduler_entry(slot).tries, SCHEDULE_TRIES);
    }
    EXPECT_EQ(scheduler_entry(4).in_use, 0);
    EXPECT_EQ(waited, 2 * SCHEDULE_IMAGE_PAUSE_S);
}

// ---- reconfiguration ----------------------------------------------------------------------

// The ONU's links are marked timed out before the teardown, and the ONU is
// released; then its return is watched for a minute.
TEST_F(Schedule, AReconfigurationReleasesTheOnuAndWatchesItComeBack)
{
    // When it comes back (seconds; 0: never), in which state, with how many
    // of its two links OK; then the job's status, its tries and the seconds
    // watched.
    struct { const char *name; unsigned back_after, state; int ok_links, status, tries; unsigned watched; } rows[] = {
        {"never back", 0, 0, 0, SCHEDULE_WAITING, 4, 60},
        {"back OK with every link", 5, ONU_STATE_OK, 2, SCHEDULE_DONE, 5, 5},
        {"back with one link of two", 5, ONU_STATE_CFGINPROGRESS, 1, SCHEDULE_WAITING, 4, 60},
        {"back, no link OK yet", 5, ONU_STATE_CFGINPROGRESS, 0, SCHEDULE_DONE, 5, 60},
        {"back and failing authorization", 7, ONU_STATE_AUTHFAILED, 0, SCHEDULE_DONE, 5, 7},
    };
    static uint32_t changes;
    links_cleanup_double = [](onu_record *o) {
        EXPECT_EQ(o->state, ONU_STATE_ALLOCATED);
        for (int i = 0; i < 2; i++)
            EXPECT_EQ(o->links[i].state, ONU_STATE_REPORTTIMEOUT);
        EXPECT_EQ(onu_change_counter_get() - changes, 3u) << "ALLOCATED, two links";
        return 0;
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        scheduler_clear(SCHEDULE_RECONFIGURE);
        waited = 0;
        hook_calls.clear();
        onu_record *onu = put_onu(0, 1, ONU_STATE_OK, 2);
        scheduler_add(mac_of(1).data(), SCHEDULE_RECONFIGURE);
        on_wait = [&r](unsigned) {
            if (r.back_after == 0 || waited != r.back_after)
                return;
            onu_record *again = put_onu(3, 1, r.state, 2, ONU_STATE_CFGINPROGRESS);
            for (int i = 0; i < r.ok_links; i++)
                again->links[i].state = ONU_STATE_OK;
        };
        changes = onu_change_counter_get();
        scheduler_step();
        on_wait = nullptr;
        EXPECT_EQ(onu->state, ONU_STATE_FREE);
        EXPECT_EQ(hook_calls, std::vector<std::string>{"cleanup 00:0D:B6:00:00:01"});
        schedule_entry job = scheduler_entry(scheduler_onu_index);
        EXPECT_EQ(job.status, r.status);
        EXPECT_EQ(job.tries, r.tries);
        EXPECT_EQ(waited, r.watched);
        onu_at(3)->state = ONU_STATE_FREE;
    }
}

// ---- threads ------------------------------------------------------------------------------------

// Between jobs the thread sleeps; a job still runs at the time the walk
// of one slot every 10 ms reaches its slot, whether it was added while the
// thread slept or waits a whole lap ahead, and one added ahead of the slot
// the thread sleeps towards wakes it.
TEST_F(Schedule, TheSleepingWalkRunsEachJobAtItsSlotsTime)
{
    scheduler_wait = saved_wait_;   // the stoppable wait, on the fake clock
    scheduler_walk_on_fake_clock = true;
    put_onu(0, 1, ONU_STATE_OK, 1)->type = 20;   // a look at the job, then a 60 s pause
    auto status = [](int slot) { return scheduler_entry(slot).status; };
    // A job that must not have started: nothing may run it before its time.
    auto still_waiting = [&](int slot) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return status(slot) == SCHEDULE_WAITING;
    };
    ASSERT_EQ(scheduler_init(), 0);
    ASSERT_TRUE(eventually([] { return clock_fake_waiters() == 1; })) << "asleep on slot 1, nothing to do";

    clock_fake_advance_ms(15000);   // the walk has gone on to slot 1501
    ASSERT_EQ(scheduler_add(mac_of(1).data(), SCHEDULE_FIRMWARE), SCHEDULE_OK);   // in slot 1502
    clock_fake_advance_ms(9);
    EXPECT_TRUE(still_waiting(1502));
    clock_fake_advance_ms(1);
    // Running, and in its pause: the pause must hold before the clock moves.
    ASSERT_TRUE(eventually([&] { return status(1502) == SCHEDULE_RUNNING && clock_fake_waiters() == 1; }));

    // After its pause the job waits again, a lap (20.48 s) ahead.
    clock_fake_advance(SCHEDULE_IMAGE_PAUSE_S);
    ASSERT_TRUE(eventually([&] { return status(1502) == SCHEDULE_WAITING && clock_fake_waiters() == 1; }));
    clock_fake_advance_ms(5000);   // slot 2002
    ASSERT_EQ(scheduler_add(mac_of(2).data(), SCHEDULE_RECONFIGURE), SCHEDULE_OK);
    ASSERT_EQ(scheduler_entry(2003).in_use, 1);
    clock_fake_advance_ms(10);
    ASSERT_TRUE(eventually([this] {
        return count_of(trace(), "onu 00:0D:B6:00:00:02 is not currently connected") == 1 &&
               clock_fake_waiters() == 1;
    })) << "the job added ahead of the sleep woke the thread at its slot";
    clock_fake_advance_ms(SCHEDULE_SIZE * SCHEDULE_SLOT_MS - 5000 - 10 - 1);
    EXPECT_TRUE(still_waiting(1502));
    clock_fake_advance_ms(1);
    EXPECT_TRUE(eventually([&] { return status(1502) == SCHEDULE_RUNNING; })) << "a lap after its pause";
    scheduler_stop();
    EXPECT_EQ(status(1502), SCHEDULE_WAITING) << "the job's copy went back when its pause was cut short";
}

TEST_F(Schedule, AStopEndsTheLongSleepAtOnce)
{
    ASSERT_EQ(scheduler_init(), 0);
    // Looked at at once (the ONU is not there), then a lap ahead.
    ASSERT_EQ(scheduler_add(mac_of(1).data(), SCHEDULE_RECONFIGURE), SCHEDULE_OK);
    ASSERT_TRUE(eventually([this] { return count_of(trace(), "is not currently connected") == 1; }));
    auto stopped = std::async(std::launch::async, scheduler_stop);
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "it sleeps 20 s towards the job";
}

} // namespace
