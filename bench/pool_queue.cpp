// Block pool against malloc/free, and queue hand-over between two threads.
//
// Prints, from one run: balloc+bfree pairs per second and malloc+free pairs
// per second over the same sequence of sizes (16 .. 4096 bytes), both with
// one block at a time and with 64 blocks live; balloc+bfree pairs per
// millisecond before and after a burst of 16,000 blocks in use at once (the
// pool's bookkeeping must not slow down for good after one); and items per
// second moved through an mqueue from a producer thread to a consumer thread.
#include "base/balloc.h"
#include "base/mqueue.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

std::vector<long> sizes(size_t n)
{
    std::mt19937 random(12345);
    std::uniform_int_distribution<long> pick(16, 4096);
    std::vector<long> out(n);
    for (long &s : out)
        s = pick(random);
    return out;
}

// Pairs per second with `live` blocks kept allocated in a ring.
template <typename Alloc, typename Free>
double pairs_per_second(const std::vector<long> &seq, size_t live, Alloc alloc, Free release)
{
    std::vector<void *> ring(live, nullptr);
    auto start = clock_type::now();
    for (size_t i = 0; i < seq.size(); i++) {
        void *&slot = ring[i % live];
        if (slot)
            release(slot);
        slot = alloc(seq[i]);
        static_cast<volatile char *>(slot)[0] = 1;
    }
    for (void *p : ring)
        if (p)
            release(p);
    return double(seq.size()) / seconds_since(start);
}

// One block at a time, 64 bytes, `pairs` times: pairs per millisecond.
double pairs_per_ms(int pairs)
{
    auto start = clock_type::now();
    for (int i = 0; i < pairs; i++) {
        void *p = balloc(__FILE__, __LINE__, 64);
        static_cast<volatile char *>(p)[0] = 1;
        bfree(__FILE__, __LINE__, p);
    }
    return pairs / (seconds_since(start) * 1000);
}

// 16,000 blocks in use at once, then all given back.
void burst()
{
    std::vector<void *> held(16000);
    for (void *&p : held)
        p = balloc(__FILE__, __LINE__, 64);
    for (void *p : held)
        bfree(__FILE__, __LINE__, p);
}

double queue_items_per_second(int items)
{
    mqueue queue;
    MQUEUE_CREATE(&queue, 1024);
    std::vector<int> values(static_cast<size_t>(items));
    auto start = clock_type::now();
    std::thread consumer([&] {
        for (int got = 0; got < items;)
            if (mqueue_timedget(&queue, 1))
                got++;
    });
    for (int i = 0; i < items; i++)
        while (mqueue_put(&queue, &values[size_t(i)]) == -2)
            std::this_thread::yield();
    consumer.join();
    double rate = items / seconds_since(start);
    mqueue_destroy(&queue);
    return rate;
}

} // namespace

int main()
{
    bopen(nullptr, 0x400000, 0);
    const std::vector<long> seq = sizes(2000000);
    auto pool_alloc = [](long n) { return balloc(__FILE__, __LINE__, n); };
    auto pool_free = [](void *p) { bfree(__FILE__, __LINE__, p); };
    auto heap_alloc = [](long n) { return malloc(size_t(n)); };
    auto heap_free = [](void *p) { free(p); };

    printf("pool vs heap, sizes 16..4096, %zu pairs each\n", seq.size());
    for (size_t live : {size_t(1), size_t(64)}) {
        double heap = pairs_per_second(seq, live, heap_alloc, heap_free);
        double pool = pairs_per_second(seq, live, pool_alloc, pool_free);
        printf("  %2zu live: balloc+bfree %10.0f pairs/s, malloc+free %10.0f pairs/s, ratio %.2f\n", live, pool,
               heap, pool / heap);
    }
    double before = pairs_per_ms(200000);
    burst();
    double after = pairs_per_ms(200000);
    printf("pool after a burst: %.0f pairs/ms before a 16,000-block burst, %.0f pairs/ms after\n", before, after);
    int items = 1000000;
    printf("queue: %.0f items/s from one thread to another (%d items, capacity 1024)\n",
           queue_items_per_second(items), items);
    bclose();
    return 0;
}
