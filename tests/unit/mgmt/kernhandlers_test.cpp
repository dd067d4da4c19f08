// The dispatch loop against an in-process ponkernel: the ping is served on
// the dispatch thread while every handler slot is busy, a command finding
// no free slot is dropped, and at most two duplicate-MAC commands run.
#include "mgmt/kernhandlers.h"

#include "common/link_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

namespace {

constexpr uint16_t CMD_SLOW = 0x0F01;

// Handlers that run until the test lets them go.
struct gate {
    std::mutex lock;
    std::condition_variable changed;
    int running = 0;
    int finished = 0;
    bool open = false;
    int releases = 0;    // handlers allowed to end while closed
} gate;

void wait_at_gate()
{
    std::unique_lock<std::mutex> hold(gate.lock);
    gate.running++;
    gate.changed.notify_all();
    gate.changed.wait(hold, [] { return gate.open || gate.releases > 0; });
    if (!gate.open)
        gate.releases--;
    gate.running--;
    gate.finished++;
    gate.changed.notify_all();
}

uint8_t *slow_handler(uint8_t *request)
{
    wait_at_gate();
    kernhandlers_reply(request, 0, 0, nullptr);
    return request;
}

uint8_t *mac_duplicate_handler(uint8_t *request)
{
    wait_at_gate();
    kernhandlers_mac_duplicate_done();
    return request;
}

// Answers with rcode 3 and the request's payload reversed.
uint8_t *reversing_handler(uint8_t *request)
{
    kernmsg_header h = kernmsg_header_decode(request);
    std::vector<uint8_t> data(request + KERNMSG_HEADER_SIZE, request + KERNMSG_HEADER_SIZE + h.len);
    std::reverse(data.begin(), data.end());
    kernhandlers_reply(request, 3, uint32_t(data.size()), data.data());
    return request;
}

class Dispatch : public LinkFixture {
protected:
    void SetUp() override
    {
        LinkFixture::SetUp();
        {
            std::lock_guard<std::mutex> hold(gate.lock);
            gate.running = gate.finished = gate.releases = 0;
            gate.open = false;
        }
        kernhandlers_register(CMD_SLOW, slow_handler);
        kernhandlers_register(CMDPSSMACDUPLICATE, mac_duplicate_handler);
        loop_ = std::thread(kernlink_process_loop);
    }
    void TearDown() override
    {
        {
            std::lock_guard<std::mutex> hold(gate.lock);
            gate.open = true;
        }
        gate.changed.notify_all();
        run_flag = 0;
        mqueue_put(kernlink_request_queue(), nullptr);   // ends the loop's wait for a command
        loop_.join();
        LinkFixture::TearDown();
    }

    static bool running(int n)
    {
        std::unique_lock<std::mutex> hold(gate.lock);
        return gate.changed.wait_for(hold, std::chrono::seconds(10), [n] { return gate.running == n; });
    }
    static void release_one()
    {
        std::lock_guard<std::mutex> hold(gate.lock);
        gate.releases++;
        gate.changed.notify_all();
    }

    std::thread loop_;
};

TEST_F(Dispatch, PingIsAnsweredWhileThreeHandlersRunAndAFourthCommandIsDropped)
{
    kernhandlers_counters before = kernhandlers_counters_get();
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(kernel_.command_async(CMD_SLOW, {}), 0);
    ASSERT_TRUE(running(3));

    std::vector<uint8_t> answer;
    ASSERT_EQ(kernel_.command(CMDPING, {}, &answer, 5), 0);
    kernmsg_header h = kernmsg_header_decode(answer.data());
    EXPECT_EQ(h.type, KERNMSG_ANSWER);
    EXPECT_EQ(h.src, MODULE_CHIPSET);
    EXPECT_EQ(h.dst, MODULE_PON_KERNEL);
    EXPECT_EQ(h.len, 0u);

    ASSERT_EQ(kernel_.command_async(CMD_SLOW, {}), 0);
    ASSERT_TRUE(eventually([&] { return kernhandlers_counters_get().all_busy == before.all_busy + 1; }));
    EXPECT_TRUE(eventually([&] { return kernhandlers_counters_get().started == before.started + 3; }));
    EXPECT_EQ(kernhandlers_counters_get().inline_runs, before.inline_runs + 1);

    // Once a slot is free again, commands are served as before.
    release_one();
    ASSERT_TRUE(eventually([] { return kernhandlers_busy_slots() == 2; }));
    ASSERT_EQ(kernel_.command_async(CMD_SLOW, {}), 0);
    ASSERT_TRUE(running(3));
}

TEST_F(Dispatch, AnswerKeepsCommandAndTagAndSwapsModules)
{
    kernhandlers_register(0x0F02, reversing_handler);
    std::vector<uint8_t> answer;
    ASSERT_EQ(kernel_.command(0x0F02, {1, 2, 3, 4, 5}, &answer, 5), 0);   // ponkernel matched the tag
    ASSERT_EQ(answer.size(), KERNMSG_HEADER_SIZE + 5);
    const std::vector<uint8_t> header = {
        0x02, 0x0F,              // cmd
        answer[2], answer[3],    // tag, as matched above
        0x01,                    // type: answer
        0x01, 0x00,              // src chipset module, dst pon kernel
        0x03,                    // rcode
        0x05, 0x00, 0x00, 0x00,  // len
        0x48, 0xA5, 0x48, 0xA5,  // magic
    };
    EXPECT_EQ(std::vector<uint8_t>(answer.begin(), answer.begin() + 16), header);
    EXPECT_EQ(std::vector<uint8_t>(answer.begin() + 16, answer.end()), (std::vector<uint8_t>{5, 4, 3, 2, 1}));
}

TEST_F(Dispatch, ResourceReportAnswersWith32ZeroBytes)
{
    std::vector<uint8_t> answer;
    ASSERT_EQ(kernel_.command(CMDRESOURCEREPORT, std::vector<uint8_t>(32, 0x11), &answer, 5), 0);
    EXPECT_EQ(answer.size(), KERNMSG_HEADER_SIZE + 32);
    EXPECT_EQ(std::count(answer.begin() + 16, answer.end(), 0), 32);
    std::ifstream file(root_ + "/tmp/system_resources.log");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Memory Stats"), std::string::npos);
    EXPECT_NE(text.find("Queue list:"), std::string::npos);
}

TEST_F(Dispatch, CommandWithoutHandlerIsFreedUnanswered)
{
    balloc_figures before{};
    balloc_figures_get(&before);
    kernhandlers_counters counted = kernhandlers_counters_get();
    std::vector<uint8_t> answer;
    EXPECT_EQ(kernel_.command(0x0F7F, {1, 2, 3}, &answer, 1), -2);
    EXPECT_EQ(kernhandlers_counters_get().no_handler, counted.no_handler + 1);
    balloc_figures after{};
    balloc_figures_get(&after);
    EXPECT_EQ(after.inuse_bytes, before.inuse_bytes) << "the request went back to the pool";
}

TEST_F(Dispatch, AtMostTwoDuplicateMacCommandsRun)
{
    kernhandlers_counters before = kernhandlers_counters_get();
    ASSERT_EQ(kernel_.command_async(CMDPSSMACDUPLICATE, {}), 0);
    ASSERT_EQ(kernel_.command_async(CMDPSSMACDUPLICATE, {}), 0);
    ASSERT_TRUE(running(2));
    EXPECT_EQ(kernhandlers_mac_duplicate_count(), 2);

    ASSERT_EQ(kernel_.command_async(CMDPSSMACDUPLICATE, {}), 0);
    ASSERT_TRUE(eventually([&] { return kernhandlers_counters_get().duplicate_limit == before.duplicate_limit + 1; }));
    EXPECT_EQ(kernhandlers_counters_get().all_busy, before.all_busy) << "a slot was free: the limit dropped it";

    release_one();
    ASSERT_TRUE(eventually([] { return kernhandlers_mac_duplicate_count() == 1; }));
    ASSERT_EQ(kernel_.command_async(CMDPSSMACDUPLICATE, {}), 0);
    ASSERT_TRUE(running(2));
    EXPECT_EQ(kernhandlers_mac_duplicate_count(), 2);
    EXPECT_TRUE(eventually([&] { return kernhandlers_counters_get().started == before.started + 3; }));
}

TEST(CommandTable, RegistrationLookupAndLimit)
{
    kernhandlers_init(kernhandlers_link_table);
    EXPECT_NE(kernhandlers_lookup(CMDPING), nullptr);
    EXPECT_NE(kernhandlers_lookup(CMDRESOURCEREPORT), nullptr);
    EXPECT_EQ(kernhandlers_lookup(0x1003), nullptr) << "registered by the OLT commands";
    EXPECT_EQ(kernhandlers_lookup(0), nullptr) << "code 0 marks a free entry";

    EXPECT_EQ(kernhandlers_unregister(CMDPING), 0);
    EXPECT_EQ(kernhandlers_lookup(CMDPING), nullptr);
    EXPECT_EQ(kernhandlers_unregister(CMDPING), -1);

    int registered = 1;   // the resource report is still in the table
    while (kernhandlers_register(uint16_t(0x8000 + registered), slow_handler) == 0)
        registered++;
    EXPECT_EQ(registered, KERNHANDLERS_TABLE_SIZE);
    kernhandlers_init(kernhandlers_link_table);
    EXPECT_EQ(kernhandlers_lookup(0x8001), nullptr);
}

} // namespace
