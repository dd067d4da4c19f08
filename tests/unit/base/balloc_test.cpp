// The block pool's boundaries: class edges, the region's last block, reuse,
// foreign and second frees, heap fallback, the report and the block table
// past any fixed size (the charged accounts: RxPool in unit_chip).
#include "base/balloc.h"

#include <gtest/gtest.h>

namespace {

#ifdef ZANDREL_POOL_MALLOC
constexpr bool mapped = true;    // every block its own heap allocation
#else
constexpr bool mapped = false;
#endif

class Pool : public ::testing::Test {
protected:
    void TearDown() override { bclose(); }
    void open_pool(size_t size, int flags = 0) { ASSERT_EQ(bopen(nullptr, size, flags), 0); }
    static size_t inuse()
    {
        balloc_figures f{};
        balloc_figures_get(&f);
        return f.inuse_bytes;
    }
    static std::string report()
    {
        std::vector<char> text(1 << 20);
        bstats_text out{text.data(), text.size(), 0};
        bstats(&out, bstats_text_writer);
        return std::string(text.data(), out.used);
    }
    static uint32_t word(const void *block, int n)
    {
        uint32_t w;
        memcpy(&w, static_cast<const uint8_t *>(block) - 8 + 4 * n, 4);
        return w;
    }
    // What a refused request printed (the pool lock is released by then).
    static std::string out_of(void *(*call)())
    {
        testing::internal::CaptureStdout();
        EXPECT_EQ(call(), nullptr);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(Pool, ClassEdgesAndTheHeaderWords)
{
    open_pool(1 << 20);
    struct { long size; size_t payload; } rows[] = {{0, 16}, {17, 32}, {131072, 131072}};
    for (auto r : rows) {
        void *block = BALLOC(r.size);
        ASSERT_NE(block, nullptr) << r.size;
        EXPECT_EQ(bsize(block), mapped ? size_t(r.size) : r.payload) << r.size;
        EXPECT_EQ(word(block, 0) + blength(block), 2 * uint32_t(r.size));   // the bytes asked for; the class follows
        EXPECT_EQ(word(block, 1), BALLOC_MARK);
        BFREE(block);
        EXPECT_TRUE(mapped || word(block, 1) == BALLOC_FREE_MARK);
    }
    balloc_fail_nth(2);   // the tests' fault switch fails exactly the second request
    void *first = BALLOC(10);
    EXPECT_EQ(BALLOC(10), nullptr);
    BFREE(first);
    EXPECT_EQ(BALLOC(-1), nullptr);
    EXPECT_EQ(bsize(nullptr), 0u);
    EXPECT_EQ(out_of([] { return BALLOC(131073); }).rfind("2B: malloc failed\n", 0), 0u);
    // 16 + 8 bytes per class-0 block: 48 carves one, then has 24 left, which
    // is not more than 24; 49 carves two. The failing request prints the report.
    bclose();
    open_pool(48);
    ASSERT_NE(BALLOC(16), nullptr);
    EXPECT_NE(out_of([] { return BALLOC(16); }).find("4B: malloc failed\n\nMemory Stats"), std::string::npos);
    bclose();
    open_pool(49);
    EXPECT_TRUE(BALLOC(16) && BALLOC(16));
}

TEST_F(Pool, FreedBlocksComeBackLastFirstOnceEachWhateverIsFreed)
{
    if (mapped)
        GTEST_SKIP() << "block addresses and double frees are the heap's when mapped onto malloc";
    open_pool(1 << 16);
    void *a = BALLOC(100), *b = BALLOC(100), *c = BALLOC(100);
    BFREE(a);
    BFREE(c);
    BFREE(b);
    size_t before = inuse();
    BFREE(b);   // a second free
    uint64_t foreign[4] = {};
    BFREE(&foreign[2]);
    BFREE_SAFE(nullptr);
    EXPECT_EQ(inuse(), before);
    EXPECT_EQ(BALLOC(120), b);
    EXPECT_EQ(BALLOC(128), c);
    EXPECT_EQ(BALLOC(65), a);
    EXPECT_NE(BALLOC(65), a);
}

// Larger than the region, larger than the largest class: both from the heap;
// a failed realloc keeps the block, one within the class stays in place.
TEST_F(Pool, HeapFallbackAndReallocAtTheirEdges)
{
    open_pool(64, BOPEN_HEAP_FALLBACK);
    testing::internal::CaptureStdout();
    uint8_t *a = static_cast<uint8_t *>(BALLOC(100));
    uint8_t *b = static_cast<uint8_t *>(BALLOC(200000));
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(word(a, 1), BALLOC_MARK | BALLOC_HEAP_BIT);
    memset(b, 0xAB, 200000);
    BFREE(a);
    BFREE(b);
    EXPECT_EQ(inuse(), 0u);
    bclose();

    open_pool(1 << 12);
    char *text = static_cast<char *>(BALLOC(20));
    strcpy(text, "zandrel");
    EXPECT_TRUE(mapped || BREALLOC(text, 30) == text);   // the class holds 32
    char *grown = static_cast<char *>(BREALLOC(text, 100));
    EXPECT_STREQ(grown, "zandrel");
    EXPECT_TRUE(mapped || bsize(text) == 0);   // the old block went back
    testing::internal::CaptureStdout();
    EXPECT_EQ(BREALLOC(grown, 8192), nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(grown, "zandrel");
    EXPECT_EQ(static_cast<uint8_t *>(BMEMDUP(nullptr, 5))[4], 0);
    EXPECT_STREQ(BSTRDUP(nullptr), "");
    EXPECT_STREQ(BSTRDUP("pon"), "pon");
}

// The figures after a known sequence, tags sorted by bytes in use, and a
// block's text cut at its class: 16 blocks without text are walked past.
TEST_F(Pool, ReportFiguresTagsAndStringsStayInsideTheirBlocks)
{
    open_pool(100000);
    void *a = balloc("source/kernlink.c", 10, 16), *b = balloc("source/kernlink.c", 10, 16);
    void *c = balloc("source/teklink.c", 20, 1000);
    for (int i = 0; i < 16; i++)
        BMEMDUP(nullptr, 16);
    memset(balloc("source/teklink.c", 21, 16), 'A', 16);   // no NUL inside the block
    BFREE(b);
    std::string text = report();
    // 100000 - (19 x 16 + 1024 + 20 headers of 8) = 98512 left.
    for (const char *line : {" 0    16      1     16    18   288     19\n", "Max memory ever used         1328\n",
                             "Free list buffer left       98512\n",
                             "AAAAAAAAAAAAAAAA                                   allocated by source/teklink.c:21\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    size_t kern = text.find("source/kernlink.c:10,      16,             1,           2,      16,   0\n");
    size_t large = text.find("source/teklink.c:20,    1024,             1,           1,    1024,   6\n");
    ASSERT_NE(large, std::string::npos) << text;
    EXPECT_LT(kern, large);
    BFREE(a);
    BFREE(c);
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
    EXPECT_EQ(bsize(block), 16u);   // still open
    BFREE(block);
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
