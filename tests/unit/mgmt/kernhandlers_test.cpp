// The dispatch loop against an in-process ponkernel: the ping is served on
// the dispatch thread while every handler slot is busy, a command finding
// no free slot is dropped, one without a handler is freed, and at most two
// duplicate-MAC commands run.
#include "mgmt/kernhandlers.h"

#include "common/link_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <semaphore>
#include <thread>

namespace {

constexpr uint16_t CMD_SLOW = 0x0F01;

// Handlers that run until the test lets them go.
std::counting_semaphore<> gate(0);
std::atomic<int> running{0};

void hold()
{
    running++;
    gate.acquire();
    running--;
}
uint8_t *slow_handler(uint8_t *request) { return hold(), kernhandlers_reply(request, 0, 0, nullptr), request; }
uint8_t *mac_duplicate_handler(uint8_t *request) { return hold(), kernhandlers_mac_duplicate_done(), request; }

class Dispatch : public LinkFixture {
protected:
    void SetUp() override
    {
        LinkFixture::SetUp();
        kernhandlers_register(CMD_SLOW, slow_handler);
        kernhandlers_register(CMDPSSMACDUPLICATE, mac_duplicate_handler);
        loop_ = std::thread(kernlink_process_loop);
    }
    void TearDown() override
    {
        gate.release(100);
        EXPECT_TRUE(eventually([] { return kernhandlers_busy_slots() == 0; }));
        while (gate.try_acquire())
            ;
        run_flag = 0;
        mqueue_put(kernlink_request_queue(), nullptr);   // ends the loop's wait for a command
        loop_.join();
        LinkFixture::TearDown();
    }
    static bool running_are(int n) { return eventually([n] { return running == n; }, 10); }
    std::thread loop_;
};

TEST_F(Dispatch, PingIsAnsweredWhileThreeHandlersRunAndAFourthCommandIsDropped)
{
    kernhandlers_counters before = kernhandlers_counters_get();
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(kernel_.command_async(CMD_SLOW, {}), 0);
    ASSERT_TRUE(running_are(3));
    std::vector<uint8_t> answer;
    ASSERT_EQ(kernel_.command(CMDPING, {}, &answer, 5), 0);

    ASSERT_EQ(kernel_.command_async(CMD_SLOW, {}), 0);
    ASSERT_TRUE(eventually([&] { return kernhandlers_counters_get().all_busy == before.all_busy + 1; }));
    // Once a slot is free again, commands are served as before.
    gate.release();
    ASSERT_TRUE(eventually([] { return kernhandlers_busy_slots() == 2; }));
    ASSERT_EQ(kernel_.command_async(CMD_SLOW, {}), 0);
    ASSERT_TRUE(running_are(3));
}

// A command without a handler goes back to the pool unanswered.
TEST_F(Dispatch, CommandWithoutHandlerIsFreedUnanswered)
{
    balloc_figures before{}, after{};
    balloc_figures_get(&before);
    EXPECT_EQ(kernel_.command(0x0F7F, {1, 2, 3}, nullptr, 1), -2);
    balloc_figures_get(&after);
    EXPECT_EQ(after.inuse_bytes, before.inuse_bytes);
}

TEST_F(Dispatch, AtMostTwoDuplicateMacCommandsRun)
{
    kernhandlers_counters before = kernhandlers_counters_get();
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(kernel_.command_async(CMDPSSMACDUPLICATE, {}), 0);
    ASSERT_TRUE(eventually([&] { return kernhandlers_counters_get().duplicate_limit == before.duplicate_limit + 1; }));
    EXPECT_TRUE(running_are(2));
    gate.release();
    ASSERT_TRUE(eventually([] { return kernhandlers_mac_duplicate_count() == 1; }));
    ASSERT_EQ(kernel_.command_async(CMDPSSMACDUPLICATE, {}), 0);
    EXPECT_TRUE(running_are(2));
}

} // namespace
