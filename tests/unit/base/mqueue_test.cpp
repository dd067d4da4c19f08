// Message queues at their edges: a full ring, a refused count, conditional
// flush across the ring's end, empty items and the queue list.
#include "base/balloc.h"
#include "base/mqueue.h"

#include <gtest/gtest.h>

namespace {

class Queue : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(bopen(nullptr, 1 << 20, 0), 0);
        ASSERT_EQ(MQUEUE_CREATE(q, 8), 0);
        snprintf(name, sizeof name, "Queue %p(", static_cast<void *>(q));
    }
    void TearDown() override
    {
        if (q->ring)
            mqueue_destroy(q);
        delete q;
        bclose();
    }
    // A pool block carrying a number, as the daemon's items are blocks.
    static int *item(int value) { return &(*static_cast<int *>(BALLOC(sizeof(int))) = value); }
    std::vector<int> drain()
    {
        std::vector<int> left;
        while (int *p = static_cast<int *>(mqueue_tryget(q))) {
            left.push_back(*p);
            BFREE(p);
        }
        return left;
    }
    // This queue's line of the queue list.
    std::string line()
    {
        std::vector<char> text(1 << 16);
        std::string all(text.data(), size_t(mqueue_dump(text.data(), text.size())));
        size_t at = all.find(name);
        if (at == std::string::npos)
            return "";
        at = all.find("): ", at) + 3;
        return all.substr(at, all.find('\n', at) - at);
    }
    static size_t blocks_in_use()
    {
        balloc_figures f{};
        balloc_figures_get(&f);
        return f.inuse_blocks[0];
    }
    mqueue *q = new mqueue;
    char name[64];
};

// The ring starts part-way so its walks cross the end: a full ring refuses
// one more, also while a consumer's unit is taken but its item is not, and a
// conditional flush takes first, middle and last items.
TEST_F(Queue, AFullRingRefusesOneMoreAndFlushesAcrossItsEnd)
{
    for (int i = 0; i < 5; i++) {   // never more than one waiting: the peak stays 0
        mqueue_put(q, item(-1));
        BFREE(mqueue_get(q));
    }
    for (int v : {0, 1, 2, 3, 4, 5, 6, 8})   // the flush below takes 0 first, 2..6 middle, 8 last
        EXPECT_EQ(mqueue_put(q, item(v)), 0);
    int *extra = item(99);
    ASSERT_EQ(sem_trywait(&q->count), 0);   // a consumer holds its unit, not yet its item
    EXPECT_EQ(mqueue_put(q, extra), -2);
    sem_post(&q->count);
    BFREE(extra);
    // The peak shows the count found before a put: 8 once a put was refused.
    EXPECT_EQ(line(), "total_size = 8, current_size = 8, peak_size = 8");
    mQueueCondFlush(q, nullptr, [](void *item, const void *) { return *static_cast<int *>(item) % 2; });
    EXPECT_EQ(drain(), (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(blocks_in_use(), 0u);   // the flushed items went back to the pool
}

// An item whose unit cannot be raised is refused and leaves no trace: the
// producer frees it, so no consumer may find it later.
TEST_F(Queue, ARefusedItemCountLeavesTheRingAsItWas)
{
    sem_destroy(&q->count);
    sem_init(&q->count, 0, SEM_VALUE_MAX);   // the next post overflows
    int *refused = item(1);
    EXPECT_EQ(mqueue_put(q, refused), -3);
    BFREE(refused);
    EXPECT_TRUE(q->used == 0 && q->write == 0 && q->ring[0] == nullptr);
    sem_destroy(&q->count);
    sem_init(&q->count, 0, 0);
}

// An empty item (the chip link's wake-up) does not end a flush; the list is
// cut to the caller's buffer, and the queue leaves it when destroyed.
TEST_F(Queue, FlushPassesEmptyItemsAndDestroyUnlists)
{
    mqueue_put(q, item(0));
    mqueue_put(q, nullptr);
    mqueue_put(q, item(1));
    mqueue_wake(q);
    mqueue_flush(q);
    EXPECT_EQ(mqueue_tryget(q), nullptr);
    EXPECT_EQ(blocks_in_use(), 0u);

    char small[40];
    EXPECT_EQ(mqueue_dump(small, sizeof small), 39);
    EXPECT_EQ(strlen(small), 39u);
    mqueue_destroy(q);
    EXPECT_EQ(line(), "");
    EXPECT_EQ(mqueue_create(nullptr, 4, "x", 1), -1);
}

} // namespace
