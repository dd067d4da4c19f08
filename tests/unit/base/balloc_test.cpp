// The block pool: size classes, carving, reuse, foreign and second frees,
// heap fallback and the statistics report.
#include "base/balloc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

#ifdef ZANDREL_POOL_MALLOC
constexpr bool mapped = true;    // every block its own heap allocation
#else
constexpr bool mapped = false;
#endif

class Pool : public ::testing::Test {
protected:
    void TearDown() override
    {
        balloc_fail_nth(0);
        bclose();
    }
    void open_pool(size_t size, int flags = 0) { ASSERT_EQ(bopen(nullptr, size, flags), 0); }

    static balloc_figures figures()
    {
        balloc_figures f{};
        balloc_figures_get(&f);
        return f;
    }

    static std::string report()
    {
        std::vector<char> text(1 << 20);
        bstats_text out{text.data(), text.size(), 0};
        bstats(&out, bstats_text_writer);
        return std::string(text.data(), out.used);
    }
};

TEST_F(Pool, RequestsLandInTheSmallestClassThatHoldsThem)
{
    open_pool(1 << 20);
    struct { long size; size_t payload; } cases[] = {
        {0, 16}, {1, 16}, {16, 16}, {17, 32}, {32, 32}, {33, 64}, {4096, 4096}, {4097, 8192}, {131072, 131072},
    };
    for (auto c : cases) {
        void *block = BALLOC(c.size);
        ASSERT_NE(block, nullptr) << c.size;
        // Mapped onto malloc the payload is exactly what was asked for.
        EXPECT_EQ(bsize(block), mapped ? size_t(c.size) : c.payload) << c.size;
        EXPECT_EQ(blength(block), size_t(c.size)) << c.size;
        BFREE(block);
    }
    EXPECT_EQ(BALLOC(-1), nullptr);
}

TEST_F(Pool, HeaderWordsMarkBlocksInUseAndOnTheFreeList)
{
    open_pool(1 << 16);
    uint8_t *block = static_cast<uint8_t *>(BALLOC(20));
    uint32_t word0, word1;
    memcpy(&word0, block - 8, 4);
    memcpy(&word1, block - 4, 4);
    EXPECT_EQ(word0, 20u);   // the bytes asked for; the class follows from them
    EXPECT_EQ(word1, BALLOC_MARK);
    if (mapped) {
        BFREE(block);
        GTEST_SKIP() << "a freed block is the heap's when mapped onto malloc";
    }
    BFREE(block);
    memcpy(&word1, block - 4, 4);
    EXPECT_EQ(word1, BALLOC_FREE_MARK);
}

TEST_F(Pool, RegionIsCarvedOnlyWhileMoreThanTheBlockIsLeft)
{
    // 16 + 8 bytes per class-0 block: a region of exactly two blocks carves
    // the first, then has 24 left, which is not more than 24.
    open_pool(48);
    void *first = BALLOC(16);
    ASSERT_NE(first, nullptr);
    testing::internal::CaptureStdout();
    void *second = BALLOC(16);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(out.find("4B: malloc failed\n"), std::string::npos);
    EXPECT_NE(out.find("Memory Stats"), std::string::npos);
    EXPECT_EQ(figures().region_left, 24u);

    bclose();
    open_pool(49);
    EXPECT_NE(BALLOC(16), nullptr);
    EXPECT_NE(BALLOC(16), nullptr);
}

TEST_F(Pool, FreedBlocksAreReusedLastFreedFirst)
{
    if (mapped)
        GTEST_SKIP() << "block addresses are the heap's when mapped onto malloc";
    open_pool(1 << 16);
    void *a = BALLOC(100);
    void *b = BALLOC(100);
    void *c = BALLOC(100);
    BFREE(a);
    BFREE(c);
    BFREE(b);
    EXPECT_EQ(BALLOC(120), b);
    EXPECT_EQ(BALLOC(128), c);
    EXPECT_EQ(BALLOC(65), a);
    // Another class does not take from this list.
    void *other = BALLOC(64);
    EXPECT_NE(other, a);
}

TEST_F(Pool, SecondFreeAndForeignPointersChangeNothing)
{
    if (mapped)
        GTEST_SKIP() << "a second free is the heap's double free when mapped onto malloc";
    open_pool(1 << 16);
    void *block = BALLOC(40);
    void *keep = BALLOC(40);
    BFREE(block);
    balloc_figures before = figures();
    BFREE(block);
    uint64_t foreign[4] = {0, 0, 0, 0};
    BFREE(&foreign[2]);
    BFREE_SAFE(nullptr);
    balloc_figures after = figures();
    EXPECT_EQ(memcmp(&before, &after, sizeof before), 0);
    // Only one copy of the block is on the free list.
    EXPECT_EQ(after.free_blocks[2], 1u);
    EXPECT_EQ(BALLOC(40), block);
    EXPECT_NE(BALLOC(40), block);
    BFREE(keep);
}

// The largest class itself is in the class table above.
TEST_F(Pool, BeyondTheLargestClassFails)
{
    open_pool(1 << 20);
    testing::internal::CaptureStdout();
    EXPECT_EQ(BALLOC(131073), nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("2B: malloc failed\n", 0), 0u);
}

TEST_F(Pool, HeapFallbackServesWhatTheRegionCannot)
{
    open_pool(64, BOPEN_HEAP_FALLBACK);
    testing::internal::CaptureStdout();
    uint8_t *a = static_cast<uint8_t *>(BALLOC(100));      // larger than the region
    uint8_t *b = static_cast<uint8_t *>(BALLOC(200000));   // larger than the largest class
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    uint32_t word1;
    memcpy(&word1, a - 4, 4);
    EXPECT_EQ(word1, BALLOC_MARK | BALLOC_HEAP_BIT);
    EXPECT_EQ(figures().heap_fallbacks, 1u);
    memset(b, 0xAB, 200000);
    BFREE(a);
    BFREE(b);
    EXPECT_EQ(figures().inuse_bytes, 0u);
}

TEST_F(Pool, ReallocKeepsPayloadAndFailsWithoutLosingTheBlock)
{
    open_pool(1 << 12);
    char *text = static_cast<char *>(BALLOC(20));
    strcpy(text, "zandrel");
    if (!mapped) {
        EXPECT_EQ(BREALLOC(text, 30), text);   // the class holds 32
        EXPECT_EQ(blength(text), 30u);
    }
    char *grown = static_cast<char *>(BREALLOC(text, 100));
    ASSERT_NE(grown, text);
    EXPECT_STREQ(grown, "zandrel");
    EXPECT_EQ(blength(grown), 100u);
    if (!mapped) {
        EXPECT_EQ(bsize(text), 0u);   // the old block went back
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(BREALLOC(grown, 8192), nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(grown, "zandrel");
    BFREE(grown);

    uint8_t bytes[5] = {1, 2, 3, 4, 5};
    uint8_t *copy = static_cast<uint8_t *>(BMEMDUP(bytes, 5));
    EXPECT_EQ(memcmp(copy, bytes, 5), 0);
    uint8_t *zeros = static_cast<uint8_t *>(BMEMDUP(nullptr, 5));
    EXPECT_EQ(zeros[0] | zeros[4], 0);
    EXPECT_STREQ(BSTRDUP(nullptr), "");
    EXPECT_STREQ(BSTRDUP("pon"), "pon");
}

TEST_F(Pool, ReportFiguresAfterAKnownSequence)
{
    open_pool(100000);
    void *a = balloc("source/kernlink.c", 10, 16);
    void *b = balloc("source/kernlink.c", 10, 16);
    void *c = balloc("source/teklink.c", 20, 1000);
    void *d = balloc("source/teklink.c", 21, 20);
    strcpy(static_cast<char *>(d), "OLT0");
    BFREE(b);

    std::string text = report();
    EXPECT_EQ(text.rfind("\nMemory Stats\n Q  Size   Free  Bytes Inuse Bytes Allocs\n", 0), 0u);
    EXPECT_NE(text.find(" 0    16      1     16     1    16      2\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" 1    32      0      0     1    32      1\n"), std::string::npos);
    EXPECT_NE(text.find(" 6  1024      0      0     1  1024      1\n"), std::string::npos);
    EXPECT_NE(text.find("Initial free list size     100000\n"), std::string::npos);
    EXPECT_NE(text.find("Memory currently in use      1072\n"), std::string::npos);
    EXPECT_NE(text.find("Max memory ever used         1088\n"), std::string::npos);
    EXPECT_NE(text.find("Max blocks allocated            4\n"), std::string::npos);
    // 100000 - (2 x 16 + 32 + 1024 + 4 headers of 8) = 98880.
    EXPECT_NE(text.find("Free list buffer left       98880\n"), std::string::npos);
    EXPECT_NE(text.find("Free memory on all queues      16\n"), std::string::npos);
    EXPECT_NE(text.find("Total free memory           98896\n"), std::string::npos);

    // Tags sorted ascending by bytes in use.
    auto tag_line = [](const char *tag, const char *figures) {
        return std::string(40 - strlen(tag), ' ') + tag + figures;
    };
    size_t kern = text.find(tag_line("source/kernlink.c:10", ",      16,             1,           2,      16,   0\n"));
    size_t small = text.find(tag_line("source/teklink.c:21", ",      32,             1,           1,      32,   1\n"));
    size_t large = text.find(tag_line("source/teklink.c:20", ",    1024,             1,           1,    1024,   6\n"));
    ASSERT_NE(kern, std::string::npos) << text;
    ASSERT_NE(small, std::string::npos);
    ASSERT_NE(large, std::string::npos);
    EXPECT_LT(kern, small);
    EXPECT_LT(small, large);
    EXPECT_NE(text.find("\nTotal allocated    1072\n\n"), std::string::npos);
    std::string strings_line = std::string("OLT0") + std::string(46, ' ') + " allocated by source/teklink.c:21\n";
    EXPECT_NE(text.find("\nStrings\n"), std::string::npos);
    EXPECT_NE(text.find(strings_line), std::string::npos);
    BFREE(a);
    BFREE(c);
    BFREE(d);
}

TEST_F(Pool, StringsOfTheReportStayInsideTheirBlock)
{
    open_pool(1 << 16);
    char *block = static_cast<char *>(BALLOC(16));
    memset(block, 'A', 16);   // no terminating NUL inside the block
    std::string text = report();
    EXPECT_NE(text.find(std::string(16, 'A') + std::string(34, ' ') + " allocated by"), std::string::npos);
    BFREE(block);
}

// Every block is listed however many are in use: once they are all back
// the tag holds nothing, and the report counts the most there were.
TEST_F(Pool, BlocksPastAnyFixedTableAreTrackedAndComeOff)
{
    constexpr int many = 70000;
    open_pool(size_t(many) * 24 + 64);
    std::vector<void *> held(many);
    for (void *&p : held)
        ASSERT_NE(p = balloc("burst", 1, 16), nullptr);
    for (void *p : held)
        BFREE(p);
    std::string text = report();
    EXPECT_NE(text.find("Max blocks allocated        70000\n"), std::string::npos);
    EXPECT_NE(text.find("\nTotal allocated       0\n"), std::string::npos) << text.substr(0, 2000);
}

TEST_F(Pool, AllocationFailureHookFailsExactlyTheNthRequest)
{
    open_pool(1 << 16);
    balloc_fail_nth(2);
    void *first = BALLOC(10);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(BALLOC(10), nullptr);
    void *third = BALLOC(10);
    EXPECT_NE(third, nullptr);
    BFREE(first);
    BFREE(third);
}

TEST_F(Pool, OpensAreCountedAndOnlyTheLastCloseReleases)
{
    if (mapped)
        GTEST_SKIP() << "blocks never come from the caller's buffer when mapped onto malloc";
    std::vector<uint8_t> buffer(4096);
    ASSERT_EQ(bopen(buffer.data(), buffer.size(), 0), 0);
    ASSERT_EQ(bopen(nullptr, 1 << 20, 0), 0);   // only counts
    uint8_t *block = static_cast<uint8_t *>(BALLOC(16));
    EXPECT_EQ(block, buffer.data() + 8);
    bclose();
    EXPECT_EQ(bsize(block), 16u);               // still open
    BFREE(block);
}

TEST_F(Pool, ChargedBlocksCountToTheirAccountUntilFreedByAnyThread)
{
    open_pool(1 << 16);
    EXPECT_EQ(bregion_size(), size_t(1 << 16));
    void *fragment = BALLOC_CHARGED(1402, BALLOC_ACCOUNT_CHIP_RX, 0);   // class 2048
    void *joined = BALLOC_CHARGED(20, BALLOC_ACCOUNT_CHIP_RX, 0);       // class 32
    void *other = BALLOC(1402);
    ASSERT_NE(fragment, nullptr);
    ASSERT_NE(joined, nullptr);
    EXPECT_EQ(bblock_bytes(1402), 2048u + 8);
    EXPECT_EQ(baccount_bytes(BALLOC_ACCOUNT_CHIP_RX), 2048u + 8 + 32 + 8);
    EXPECT_EQ(BALLOC_CHARGED(10, BALLOC_ACCOUNTS, 0), nullptr);
    EXPECT_EQ(BALLOC_CHARGED(10, -1, 0), nullptr);

    std::thread consumer([&] { BFREE(fragment); });
    consumer.join();
    EXPECT_EQ(baccount_bytes(BALLOC_ACCOUNT_CHIP_RX), 32u + 8);
    BFREE(joined);
    BFREE(other);
    EXPECT_EQ(baccount_bytes(BALLOC_ACCOUNT_CHIP_RX), 0u);

    // Held to half the region: seven blocks of 4096 + 8 fit in 32768, the
    // eighth is refused without a word, and the other half is still there.
    std::vector<void *> held;
    testing::internal::CaptureStdout();
    while (void *block = BALLOC_CHARGED(4000, BALLOC_ACCOUNT_CHIP_RX, 2))
        held.push_back(block);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(held.size(), 7u);
    EXPECT_EQ(baccount_bytes(BALLOC_ACCOUNT_CHIP_RX), 7u * 4104);
    void *unlimited = BALLOC(4000);
    EXPECT_NE(unlimited, nullptr);
    BFREE_SAFE(unlimited);
    for (void *block : held)
        BFREE(block);
    EXPECT_EQ(figures().inuse_bytes, 0u);
}

TEST_F(Pool, FreedBlocksArePoisonedInDebugBuilds)
{
#ifdef NDEBUG
    GTEST_SKIP() << "only debug builds poison";
#endif
    if (mapped)
        GTEST_SKIP() << "a freed block is the heap's when mapped onto malloc";
    open_pool(1 << 16);
    uint8_t *block = static_cast<uint8_t *>(BALLOC(40));   // class 64
    memset(block, 0x11, 40);
    BFREE(block);
    // The pool still owns the memory: every payload byte holds the poison.
    std::vector<uint8_t> poison(64, BALLOC_POISON);
    EXPECT_EQ(memcmp(block, poison.data(), poison.size()), 0);
    uint8_t *again = static_cast<uint8_t *>(BALLOC(50));
    EXPECT_EQ(again, block);
    EXPECT_EQ(again[0], BALLOC_POISON);   // no stale data handed out either
    BFREE(again);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define POOL_ASAN 1
#endif

#if defined(POOL_ASAN) && defined(ZANDREL_POOL_MALLOC)
// The point of the malloc mapping: a write one byte past what was asked for
// (still inside the 16-byte class) is an overflow ASan reports.
TEST(PoolDeathTest, AsanReportsAnOverrunOfAPoolBlock)
{
    ASSERT_EQ(bopen(nullptr, 1 << 16, 0), 0);
    EXPECT_DEATH(
        {
            volatile uint8_t *block = static_cast<uint8_t *>(BALLOC(10));
            block[10] = 1;
        },
        "heap-buffer-overflow");
    bclose();
}
#endif

} // namespace
