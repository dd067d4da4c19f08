// Message queues: capacity and overflow, the peak rule, waiting gets and
// wake-ups, conditional flush and the queue list.
#include "base/balloc.h"
#include "base/mqueue.h"
#include "platform/clock.h"

#include "common/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

class Queue : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(bopen(nullptr, 1 << 20, 0), 0); }
    void TearDown() override
    {
        for (mqueue *q : made)
            mqueue_destroy(q);
        for (mqueue *q : made)
            delete q;
        bclose();
    }
    mqueue *make(int capacity)
    {
        mqueue *q = new mqueue;
        EXPECT_EQ(MQUEUE_CREATE(q, capacity), 0);
        made.push_back(q);
        return q;
    }
    // A pool block carrying a number, as the daemon's items are blocks.
    static int *item(int value)
    {
        int *p = static_cast<int *>(BALLOC(sizeof(int)));
        *p = value;
        return p;
    }
    static std::string dump()
    {
        std::vector<char> text(1 << 16);
        int n = mqueue_dump(text.data(), text.size());
        return std::string(text.data(), size_t(n));
    }
    std::vector<mqueue *> made;
};

int match_value(void *item, const void *key) { return *static_cast<int *>(item) == *static_cast<const int *>(key) ? 0 : 1; }
int match_even(void *item, const void *) { return *static_cast<int *>(item) % 2 == 0 ? 0 : 1; }

TEST_F(Queue, HoldsCapacityItemsInOrderAndRefusesOneMore)
{
    mqueue *q = make(4);
    std::vector<int *> items;
    for (int i = 0; i < 4; i++) {
        items.push_back(item(i));
        EXPECT_EQ(mqueue_put(q, items.back()), 0);
    }
    int *extra = item(99);
    EXPECT_EQ(mqueue_put(q, extra), -2);
    BFREE(extra);
    // The peak shows the count found before a put: 4 once a put was refused.
    EXPECT_NE(dump().find("total_size = 4, current_size = 4, peak_size = 4"), std::string::npos);
    for (int i = 0; i < 4; i++) {
        int *got = static_cast<int *>(mqueue_tryget(q));
        ASSERT_EQ(got, items[size_t(i)]);
        BFREE(got);
    }
    EXPECT_EQ(mqueue_tryget(q), nullptr);
    // The ring wraps: a second round keeps order too.
    for (int round = 0; round < 3; round++) {
        int *a = item(1), *b = item(2), *c = item(3);
        mqueue_put(q, a);
        mqueue_put(q, b);
        mqueue_put(q, c);
        EXPECT_EQ(mqueue_get(q), a);
        EXPECT_EQ(mqueue_get(q), b);
        EXPECT_EQ(mqueue_get(q), c);
        BFREE(a), BFREE(b), BFREE(c);
    }
}

// An item whose unit cannot be raised is refused and leaves no trace: the
// producer frees it, so no consumer may find it later.
TEST_F(Queue, ARefusedItemCountLeavesTheRingAsItWas)
{
    mqueue *q = make(4);
    sem_destroy(&q->count);
    sem_init(&q->count, 0, SEM_VALUE_MAX);   // the next post overflows
    int *refused = item(1);
    EXPECT_EQ(mqueue_put(q, refused), -3);
    BFREE(refused);
    EXPECT_EQ(q->used, 0u);
    EXPECT_EQ(q->write, 0u);
    EXPECT_EQ(q->ring[0], nullptr);
    sem_destroy(&q->count);
    sem_init(&q->count, 0, 0);
}

TEST_F(Queue, PeakIsZeroWhileNeverMoreThanOneItemWaits)
{
    mqueue *q = make(8);
    for (int i = 0; i < 5; i++) {
        int *p = item(i);
        mqueue_put(q, p);
        BFREE(mqueue_get(q));
    }
    EXPECT_NE(dump().find("total_size = 8, current_size = 0, peak_size = 0"), std::string::npos);
}

TEST_F(Queue, ZeroSecondGetReturnsAtOnceAndPeekLeavesTheItem)
{
    mqueue *q = make(2);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mqueue_timedget(q, 0), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

    int *p = item(7);
    mqueue_put(q, p);
    EXPECT_EQ(mqueue_peek(q), p);
    EXPECT_EQ(mqueue_peek(q), p);
    EXPECT_EQ(mqueue_timedget(q, 0), p);
    BFREE(p);
}

TEST_F(Queue, WaitingConsumerWakesForAnItemFromAnotherThread)
{
    // With the clock standing still, only the put can end the wait.
    mqueue *q = make(2);
    int *p = item(5);
    clock_fake_set(100);
    void *got = nullptr;
    std::thread consumer([&] { got = mqueue_timedget(q, 10); });
    ASSERT_TRUE(eventually([] { return clock_fake_waiters() == 1; }));
    mqueue_put(q, p);
    consumer.join();
    clock_fake_release();
    EXPECT_EQ(got, p);
    BFREE(p);
}

// The stop signal wakes a consumer that waits without a time-out: the
// wake-up ends the wait with nothing, takes no item, and one that finds no
// waiter costs the next get a NULL, never an item out of order.
TEST_F(Queue, AWakeUpEndsAWaitWithNothingAndTakesNoItem)
{
    mqueue *q = make(2);
    void *got = q;
    std::thread consumer([&] { got = mqueue_wait(q); });
    mqueue_wake(q);
    consumer.join();
    EXPECT_EQ(got, nullptr);

    int *a = item(1), *b = item(2);
    mqueue_put(q, a);
    mqueue_wake(q);
    mqueue_put(q, b);
    EXPECT_EQ(mqueue_wait(q), a);
    EXPECT_EQ(mqueue_wait(q), b);
    EXPECT_EQ(mqueue_wait(q), nullptr);
    EXPECT_EQ(mqueue_tryget(q), nullptr);
    mqueue_put(q, a);
    mqueue_wake(q);
    mqueue_flush(q);   // frees a, takes the wake-up
    EXPECT_EQ(mqueue_tryget(q), nullptr);
    BFREE(b);
}

TEST_F(Queue, ConditionalFlushRemovesFirstMiddleAndLastKeepingOrder)
{
    mqueue *q = make(8);
    // Start the ring part-way so the walk crosses its end.
    for (int i = 0; i < 5; i++) {
        mqueue_put(q, item(-1));
        BFREE(mqueue_tryget(q));
    }
    int values[] = {0, 1, 2, 3, 4, 5, 6};
    for (int v : values)
        mqueue_put(q, item(v));
    mQueueCondFlush(q, nullptr, match_even);   // 0 first, 2 and 4 middle, 6 last
    std::vector<int> left;
    while (int *p = static_cast<int *>(mqueue_tryget(q))) {
        left.push_back(*p);
        BFREE(p);
    }
    EXPECT_EQ(left, (std::vector<int>{1, 3, 5}));
    balloc_figures f{};
    balloc_figures_get(&f);
    EXPECT_EQ(f.inuse_blocks[0], 0u);   // the flushed items went back to the pool

    // The queue still works after the flush, and a key selects single items.
    for (int v : {10, 11, 12})
        mqueue_put(q, item(v));
    int key = 11;
    mQueueCondFlush(q, &key, match_value);
    std::vector<int> rest;
    while (int *p = static_cast<int *>(mqueue_tryget(q))) {
        rest.push_back(*p);
        BFREE(p);
    }
    EXPECT_EQ(rest, (std::vector<int>{10, 12}));
}

TEST_F(Queue, FlushFreesEveryItemAndDestroyUnlists)
{
    mqueue *q = make(4);
    mqueue_put(q, item(0));
    mqueue_put(q, nullptr);   // an empty item does not end the flush
    mqueue_put(q, item(1));
    mqueue_put(q, item(2));
    mqueue_flush(q);
    EXPECT_EQ(mqueue_tryget(q), nullptr);
    balloc_figures f{};
    balloc_figures_get(&f);
    EXPECT_EQ(f.inuse_blocks[0], 0u);

    std::string before = dump();
    char name[64];
    snprintf(name, sizeof name, "Queue %p(", static_cast<void *>(q));
    EXPECT_NE(before.find(name), std::string::npos);
    EXPECT_NE(before.find("unit/base/mqueue_test.cpp:"), std::string::npos);
    mqueue_destroy(q);
    made.erase(made.begin());
    delete q;
    EXPECT_EQ(dump().find(name), std::string::npos);
    EXPECT_EQ(mqueue_create(nullptr, 4, "x", 1), -1);
}

TEST_F(Queue, ListFramesItsLinesAndIsCutToTheBuffer)
{
    make(16);
    std::string text = dump();
    EXPECT_EQ(text.rfind("-------------------\nQueue list:\n", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 20), "-------------------\n");
    char small[40];
    int n = mqueue_dump(small, sizeof small);
    EXPECT_EQ(n, 39);
    EXPECT_EQ(strlen(small), 39u);
}

TEST_F(Queue, ManyProducersAndConsumersLoseNothing)
{
    mqueue *q = make(64);
    constexpr int PER_PRODUCER = 5000;
    std::atomic<long> sum{0}, taken{0}, refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++)
        threads.emplace_back([&, t] {
            for (int i = 1; i <= PER_PRODUCER; i++) {
                int *p = item(t * PER_PRODUCER + i);
                while (mqueue_put(q, p) == -2) {
                    refused++;
                    std::this_thread::yield();
                }
            }
        });
    for (int t = 0; t < 2; t++)
        threads.emplace_back([&] {
            while (taken.load() < 2 * PER_PRODUCER) {
                int *p = static_cast<int *>(mqueue_timedget(q, 0));
                if (!p) {
                    std::this_thread::yield();   // a get of 0 seconds does not wait
                    continue;
                }
                sum += *p;
                taken++;
                BFREE(p);
            }
        });
    for (auto &t : threads)
        t.join();
    long n = 2 * PER_PRODUCER;
    EXPECT_EQ(sum.load(), n * (n + 1) / 2);
    EXPECT_EQ(mqueue_tryget(q), nullptr);
}

// The resource report reads the fill level and the peak without the queue
// lock while producer and consumers change them under it (TSan checks the
// two sides agree). What it prints stays within the capacity, and the peak
// never goes back.
TEST_F(Queue, ReportReadsABusyQueueConsistently)
{
    mqueue *q = make(8);
    char address[32];
    snprintf(address, sizeof address, "Queue %p(", static_cast<void *>(q));
    constexpr int ITEMS = 20000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 0; i < ITEMS; i++) {
            int *p = item(i);
            if (mqueue_put(q, p) != 0)
                BFREE(p);
        }
        done = true;
    });
    std::thread consumer([&] {
        for (;;) {
            bool last = done.load();   // read before the take: nothing comes after it
            void *p = mqueue_tryget(q);
            if (p)
                BFREE(p);
            else if (last)
                break;
        }
    });
    int reports = 0, last_peak = 0;
    bool in_range = true, peak_monotonic = true;
    while (!done.load() || reports < 10) {
        std::string text = dump();
        size_t at = text.find(address);
        ASSERT_NE(at, std::string::npos) << text;
        int total = -1, current = -1, peak = -1;
        ASSERT_EQ(sscanf(text.c_str() + text.find("): ", at), "): total_size = %d, current_size = %d, peak_size = %d",
                         &total, &current, &peak),
                  3);
        in_range = in_range && total == 8 && current >= 0 && current <= 8 && peak >= 0 && peak <= 8;
        peak_monotonic = peak_monotonic && peak >= last_peak;
        last_peak = peak;
        reports++;
    }
    producer.join();
    consumer.join();
    while (void *p = mqueue_tryget(q))
        BFREE(p);
    EXPECT_TRUE(in_range);
    EXPECT_TRUE(peak_monotonic);
}

} // namespace
