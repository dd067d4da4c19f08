// The block pool. See balloc.h for the contract.
//
// Representation notes:
// - A block is an 8-byte header and its payload. Header word 0 holds the
//   bytes asked for while the block is in use (the class, and so what the
//   block is charged, follows from it; keeping the request rather than the
//   class size lets a message know how many of its bytes are real); on a
//   free list it links to the next free block of the class. The board is
//   32-bit, so there the link could be the pointer itself; to keep one
//   layout on 64-bit hosts the link is stored as (offset in the region + 1),
//   0 ending the list.
// - Header word 1 holds BALLOC_MARK (plus BALLOC_HEAP_BIT for heap blocks,
//   plus the account in the low bits) while in use and BALLOC_FREE_MARK on a
//   free list, so a second free and a foreign pointer are recognised and
//   ignored.
// - Mapped onto malloc (ZANDREL_POOL_MALLOC), every block is its own heap
//   allocation of header + exactly the bytes asked for, so a sanitizer sees
//   a read or write past them. The region is then only a figure: carving
//   and the free lists are counted as the pool would do them (a free list is
//   a count), so the report, the accounting and running out of the region
//   behave as with the real pool.
// - The blocks in use are kept in an open-addressing set keyed by payload
//   address (linear probing, deletion by backward shift), never more than
//   half full and doubled on the heap before it would be: entering and
//   removing a block cost the same whatever the pool has seen. The set only
//   serves the report (its strings, the most blocks in use at once) and the
//   give-back of a malloc-mapped pool; a block it cannot hold (the heap
//   refused to grow it) goes unlisted, nothing else changes.
// - Tags are looked up first in a small cache keyed by the caller's file
//   pointer and line (every allocation site passes the same __FILE__
//   literal), then by text as the report defines them. The cache changes only
//   the cost of the look-up, never which entry is found.
#include "base/balloc.h"

#include "platform/threads.h"

#include <pthread.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t HEADER = 8;
constexpr size_t DEFAULT_REGION = 64 * 1024;
constexpr int TAG_TEXT = 256;
constexpr int TAG_CACHE = 1024;
constexpr uint32_t ACCOUNT_BITS = 0x00000FFF;   // word 1 bits the mark leaves free
constexpr size_t BLOCK_SET_START = 1024;        // entries of the set at its first use

#ifdef ZANDREL_POOL_MALLOC
constexpr bool malloc_mapped = true;
#else
constexpr bool malloc_mapped = false;
#endif
#ifdef NDEBUG
constexpr bool poison_freed = false;
#else
constexpr bool poison_freed = true;
#endif

struct tag_entry {
    char text[TAG_TEXT];
    uint32_t bytes;
    uint32_t blocks;
    uint32_t allocs;
    uint32_t largest;
    int largest_class;
};

struct block_entry {
    uint8_t *block;   // payload address; NULL = empty entry
    int tag;          // tag entry, -1 when the allocation was not tagged
};

struct tag_cache_entry {
    const char *file;
    int line;
    int tag;
};

struct pool_state {
    uint8_t *region;
    uint8_t *carve;
    size_t initial;
    size_t left;
    uint32_t free_head[BALLOC_CLASSES];
    uint32_t free_blocks[BALLOC_CLASSES];   // malloc-mapped: the free lists as counts
    size_t account_bytes[BALLOC_ACCOUNTS];
    int flags;
    int opens;

    uint32_t class_allocs[BALLOC_CLASSES];
    uint32_t class_inuse[BALLOC_CLASSES];
    size_t inuse_bytes, inuse_max;
    size_t balloced, balloced_max;
    size_t malloced;
    size_t heap_fallbacks;
    size_t stack_max;
    uintptr_t stack_base;
    pthread_t opener;

    tag_entry tags[BALLOC_TAGS];
    block_entry *blocks;            // the set of blocks in use, heap, or NULL
    size_t blocks_capacity;         // its entries, a power of two
    int blocks_used;
    int blocks_hwm;                 // the most blocks in use at once
    tag_cache_entry tag_cache[TAG_CACHE];

    unsigned fail_countdown;
};

pool_state pool;
pthread_mutex_t pool_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> reporting{false};

uint32_t header_word(const uint8_t *payload, int word)
{
    uint32_t value;
    memcpy(&value, payload - HEADER + 4 * word, 4);
    return value;
}

void set_header_word(uint8_t *payload, int word, uint32_t value) { memcpy(payload - HEADER + 4 * word, &value, 4); }

bool is_marked(const uint8_t *payload) { return (header_word(payload, 1) & 0x0FFFF000) == BALLOC_MARK; }

// Smallest class whose payload holds n: the bit length of (n - 1) >> 4.
int class_of(size_t n) { return n <= 16 ? 0 : int(std::bit_width((n - 1) >> 4)); }

size_t class_size(int q) { return size_t(16) << q; }

// Payload bytes a block of `asked` bytes is charged: its class's size, or
// beyond the largest class exactly what was asked.
size_t charged_size(size_t asked)
{
    int q = class_of(asked);
    return q < BALLOC_CLASSES ? class_size(q) : asked;
}

uint8_t *free_link_target(uint32_t link) { return link ? pool.region + (link - 1) + HEADER : nullptr; }

uint32_t free_link_of(const uint8_t *payload) { return uint32_t(payload - HEADER - pool.region) + 1; }

uint32_t free_count(int q)
{
    if (malloc_mapped)
        return pool.free_blocks[q];
    uint32_t count = 0;
    for (uint32_t link = pool.free_head[q]; link; link = header_word(free_link_target(link), 0))
        count++;
    return count;
}

// ---- statistics report ---------------------------------------------------

struct string_line {
    uintptr_t at;   // the block, for the order of the lines
    char text[TAG_TEXT];
    char tag[TAG_TEXT];
};

// What the report prints, copied under the pool lock so that it can be
// written without it.
struct report_snapshot {
    uint32_t free_blocks[BALLOC_CLASSES];
    uint32_t inuse_blocks[BALLOC_CLASSES];
    uint32_t allocs[BALLOC_CLASSES];
    size_t initial, malloced, inuse_max, balloced_max, inuse_bytes, balloced, left, stack_max;
    int blocks_hwm;
    tag_entry *tags;        // used entries sorted by bytes, or NULL when the copy failed
    int tag_count;
    string_line *strings;
    int string_count;
};

// The report shows the text at the start of each block in use while the
// block's owner may be writing it: a diagnostic peek, racy by design and
// never used for a decision. The thread sanitizer is told to look away, and
// the bytes are copied one by one because its checked library functions
// would not.
__attribute__((no_sanitize("thread"))) bool peek_is_text(const uint8_t *block) { return isalnum(block[0]); }

// Copies the text at `block` up to its NUL or `limit` bytes into `out`.
__attribute__((no_sanitize("thread"))) void peek_text(char *out, const uint8_t *block, size_t limit)
{
    size_t n = 0;
    for (; n < limit && block[n]; n++)
        out[n] = char(block[n]);
    out[n] = '\0';
}

void take_snapshot(report_snapshot *s)
{
    for (int q = 0; q < BALLOC_CLASSES; q++) {
        s->free_blocks[q] = free_count(q);
        s->inuse_blocks[q] = pool.class_inuse[q];
        s->allocs[q] = pool.class_allocs[q];
    }
    s->initial = pool.initial;
    s->malloced = pool.malloced;
    s->inuse_max = pool.inuse_max;
    s->balloced_max = pool.balloced_max;
    s->inuse_bytes = pool.inuse_bytes;
    s->balloced = pool.balloced;
    s->left = pool.left;
    s->stack_max = pool.stack_max;
    s->blocks_hwm = pool.blocks_hwm;

    s->tag_count = 0;
    s->string_count = 0;
    s->strings = nullptr;
    s->tags = static_cast<tag_entry *>(malloc(sizeof(tag_entry) * BALLOC_TAGS));
    if (!s->tags)
        return;
    for (const tag_entry &tag : pool.tags)
        if (tag.text[0])
            s->tags[s->tag_count++] = tag;
    // Insertion sort, ascending by bytes in use; stable, so equal entries keep
    // the table's order.
    for (int i = 1; i < s->tag_count; i++) {
        tag_entry moving = s->tags[i];
        int j = i - 1;
        for (; j >= 0 && s->tags[j].bytes > moving.bytes; j--)
            s->tags[j + 1] = s->tags[j];
        s->tags[j + 1] = moving;
    }

    int wanted = 0;
    for (size_t i = 0; i < pool.blocks_capacity; i++)
        if (pool.blocks[i].block && peek_is_text(pool.blocks[i].block))
            wanted++;
    if (!wanted)
        return;
    s->strings = static_cast<string_line *>(malloc(sizeof(string_line) * size_t(wanted)));
    if (!s->strings)
        return;
    for (size_t i = 0; i < pool.blocks_capacity && s->string_count < wanted; i++) {
        const block_entry &entry = pool.blocks[i];
        if (!entry.block || !peek_is_text(entry.block))
            continue;
        // The payload need not be text: never read past the block or copy
        // more than a line's worth.
        string_line &line = s->strings[s->string_count++];
        line.at = reinterpret_cast<uintptr_t>(entry.block);
        size_t limit = header_word(entry.block, 0);
        if (limit > TAG_TEXT - 1)
            limit = TAG_TEXT - 1;
        peek_text(line.text, entry.block, limit);
        snprintf(line.tag, sizeof line.tag, "%s", entry.tag >= 0 ? pool.tags[entry.tag].text : "");
    }
}

void write_snapshot(const report_snapshot &s, void *handle, bstats_writer writer)
{
    writer(handle, "\nMemory Stats\n");
    writer(handle, " Q  Size   Free  Bytes Inuse Bytes Allocs\n");
    size_t free_bytes = 0;
    for (int q = 0; q < BALLOC_CLASSES; q++) {
        size_t size = class_size(q);
        free_bytes += s.free_blocks[q] * size;
        writer(handle, "%2d %5d   %4d %6d  %4d %5d   %4d\n", q, int(size), int(s.free_blocks[q]),
               int(s.free_blocks[q] * size), int(s.inuse_blocks[q]), int(s.inuse_blocks[q] * size),
               int(s.allocs[q]));
    }
    writer(handle, "\n");
    writer(handle, "Initial free list size    %7d\n", int(s.initial));
    writer(handle, "Max memory malloced       %7d\n", int(s.malloced));
    writer(handle, "Max memory ever used      %7d\n", int(s.inuse_max));
    writer(handle, "Max memory ever balloced  %7d\n", int(s.balloced_max));
    writer(handle, "Memory currently in use   %7d\n", int(s.inuse_bytes));
    writer(handle, "Memory currently balloced %7d\n", int(s.balloced));
    writer(handle, "Max blocks allocated      %7d\n", s.blocks_hwm);
    writer(handle, "Maximum stack used        %7d\n", int(s.stack_max));
    writer(handle, "Free memory on all queues %7d\n", int(free_bytes));
    writer(handle, "Free list buffer left     %7d\n", int(s.left));
    writer(handle, "Total free memory         %7d\n", int(free_bytes + s.left));

    if (!s.tags) {
        writer(handle, "Can't allocate stats memory\n");
        return;
    }
    writer(handle, "\nMemory Currently Allocated\n");
    writer(handle, "                      bytes, blocks in use, total times,largest,   q\n");
    long total = 0;
    for (int i = 0; i < s.tag_count; i++) {
        const tag_entry &tag = s.tags[i];
        writer(handle, "%40s, %7d,         %5d,      %6d, %7d,%4d\n", tag.text, int(tag.bytes), int(tag.blocks),
               int(tag.allocs), int(tag.largest), tag.largest_class);
        total += tag.bytes;
    }
    writer(handle, "\nTotal allocated %7d\n\n", int(total));

    writer(handle, "\nStrings\n");
    for (int i = 0; i < s.string_count; i++)
        writer(handle, "%-50s allocated by %s\n", s.strings[i].text, s.strings[i].tag);
}

void stdout_writer(void *, const char *format, ...) __attribute__((format(printf, 2, 3)));
void stdout_writer(void *, const char *format, ...)
{
    char piece[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    fputs(piece, stdout);
    fflush(stdout);
}

// ---- tags and the block set --------------------------------------------

int find_or_add_tag(const char *file, int line)
{
    size_t slot = (reinterpret_cast<uintptr_t>(file) / 8 + size_t(line) * 31) % TAG_CACHE;
    tag_cache_entry &cached = pool.tag_cache[slot];
    if (cached.file == file && cached.line == line && file)
        return cached.tag;

    char text[TAG_TEXT];
    snprintf(text, sizeof text - 1, "%s:%d", file ? file : "", line);
    int empty = -1;
    for (int i = 0; i < BALLOC_TAGS; i++) {
        const tag_entry &tag = pool.tags[i];
        if (!tag.text[0]) {
            empty = i;
            break;  // entries fill from the front and are never removed
        }
        if (tag.text[0] == text[0] && strcmp(tag.text, text) == 0) {
            cached = {file, line, i};
            return i;
        }
    }
    if (empty < 0)
        return -1;
    tag_entry &tag = pool.tags[empty];
    memset(&tag, 0, sizeof tag);
    size_t n = strnlen(text, TAG_TEXT - 2);   // at most 254 characters are kept
    memcpy(tag.text, text, n);
    tag.text[n] = '\0';
    cached = {file, line, empty};
    return empty;
}

size_t block_home(const uint8_t *payload, size_t capacity)
{
    uintptr_t h = (reinterpret_cast<uintptr_t>(payload) >> 3) * uintptr_t(0x9E3779B97F4A7C15ull);
    h ^= h >> 15;
    return size_t(h) & (capacity - 1);
}

// Puts an entry that is not in `table` yet into its first free place.
void place_block(block_entry *table, size_t capacity, block_entry entry)
{
    size_t i = block_home(entry.block, capacity);
    while (table[i].block)
        i = (i + 1) & (capacity - 1);
    table[i] = entry;
}

bool grow_block_set()
{
    size_t capacity = pool.blocks_capacity ? pool.blocks_capacity * 2 : BLOCK_SET_START;
    auto *table = static_cast<block_entry *>(calloc(capacity, sizeof(block_entry)));
    if (!table)
        return false;
    for (size_t i = 0; i < pool.blocks_capacity; i++)
        if (pool.blocks[i].block)
            place_block(table, capacity, pool.blocks[i]);
    free(pool.blocks);
    pool.blocks = table;
    pool.blocks_capacity = capacity;
    return true;
}

void enter_block(uint8_t *payload, int tag)
{
    size_t wanted = size_t(pool.blocks_used) + 1;
    // One entry always stays free, so that every probe ends.
    if (wanted * 2 > pool.blocks_capacity && !grow_block_set() && wanted >= pool.blocks_capacity)
        return;
    place_block(pool.blocks, pool.blocks_capacity, {payload, tag});
    if (++pool.blocks_used > pool.blocks_hwm)
        pool.blocks_hwm = pool.blocks_used;
}

// `size`: what the block is charged.
void remove_block(const uint8_t *payload, size_t size)
{
    if (!pool.blocks_capacity)
        return;
    size_t mask = pool.blocks_capacity - 1;
    size_t i = block_home(payload, pool.blocks_capacity);
    for (; pool.blocks[i].block != payload; i = (i + 1) & mask)
        if (!pool.blocks[i].block)
            return;   // never listed
    if (pool.blocks[i].tag >= 0) {
        tag_entry &tag = pool.tags[pool.blocks[i].tag];
        tag.bytes -= uint32_t(size);
        tag.blocks--;
    }
    pool.blocks_used--;
    // Later entries of the same probe run move up into the gap when their
    // home lies at or before it.
    size_t gap = i;
    for (size_t j = (gap + 1) & mask; pool.blocks[j].block; j = (j + 1) & mask) {
        size_t home = block_home(pool.blocks[j].block, pool.blocks_capacity);
        if (((j - home) & mask) >= ((j - gap) & mask)) {
            pool.blocks[gap] = pool.blocks[j];
            gap = j;
        }
    }
    pool.blocks[gap] = {nullptr, -1};
}

void reset_state()
{
    free(pool.blocks);
    memset(&pool, 0, sizeof pool);
}

// Header and exactly `asked` bytes from the heap, for a block that stands
// for a region block when the pool is mapped onto malloc.
uint8_t *mapped_block(size_t asked)
{
    uint8_t *raw = static_cast<uint8_t *>(malloc(HEADER + asked));
    return raw ? raw + HEADER : nullptr;
}

// What a failed or fallen-back allocation prints once the pool lock is
// released: a line (or NULL), then the report when `report` is set.
struct alloc_notice {
    const char *line;
    bool report;
};

// Region or heap block for class q (q < 14) holding `asked` bytes, or NULL.
// Caller holds the lock.
uint8_t *take_block(int q, size_t asked, bool *heap, alloc_notice *notice)
{
    size_t size = class_size(q);
    *heap = false;
    if (malloc_mapped && pool.free_blocks[q]) {
        uint8_t *payload = mapped_block(asked);
        if (payload)
            pool.free_blocks[q]--;
        return payload;
    }
    if (pool.free_head[q]) {
        uint8_t *payload = free_link_target(pool.free_head[q]);
        pool.free_head[q] = header_word(payload, 0);
        return payload;
    }
    if (pool.left > size + HEADER) {
        uint8_t *payload = malloc_mapped ? mapped_block(asked) : pool.carve + HEADER;
        if (!payload)
            return nullptr;
        if (!malloc_mapped)
            pool.carve += size + HEADER;
        pool.left -= size + HEADER;
        return payload;
    }
    if (!(pool.flags & BOPEN_HEAP_FALLBACK)) {
        *notice = {"4B: malloc failed", true};
        return nullptr;
    }
    if (pool.heap_fallbacks++ == 0)
        notice->report = true;
    uint8_t *raw = static_cast<uint8_t *>(malloc((malloc_mapped ? asked : size) + HEADER));
    if (!raw) {
        *notice = {"3B: malloc failed", true};
        return nullptr;
    }
    pool.malloced += size + HEADER;
    *heap = true;
    return raw + HEADER;
}

// Frees every block still in use that stands for a region block, as giving
// the region back would. Caller holds the lock; only when malloc-mapped.
void release_mapped_blocks()
{
    for (size_t i = 0; i < pool.blocks_capacity; i++) {
        uint8_t *payload = pool.blocks[i].block;
        if (payload && is_marked(payload) && !(header_word(payload, 1) & BALLOC_HEAP_BIT))
            free(payload - HEADER);
    }
}

// Written with no lock held: the report takes the pool lock itself, and
// standard output may be slow (a terminal, a full pipe).
void announce(const alloc_notice &notice)
{
    if (notice.line)
        puts(notice.line);
    if (notice.report)
        bstats(nullptr, nullptr);
}

} // namespace

int bopen(void *buffer, size_t size, int flags)
{
    lock_timed(&pool_lock);
    if (pool.opens++ > 0) {
        pthread_mutex_unlock(&pool_lock);
        return 0;
    }
    reset_state();
    pool.opens = 1;
    if (buffer) {
        // Mapped onto malloc the caller's buffer only sets the size: blocks
        // come from the heap so that a sanitizer sees their bounds.
        pool.region = malloc_mapped ? nullptr : static_cast<uint8_t *>(buffer);
        flags |= BOPEN_CALLER_BUFFER;
    } else if (malloc_mapped) {
        if (size == 0)
            size = DEFAULT_REGION;
        pool.malloced = size;
    } else {
        if (size == 0)
            size = DEFAULT_REGION;
        pool.region = static_cast<uint8_t *>(malloc(size));
        if (!pool.region) {
            pool.opens = 0;
            pthread_mutex_unlock(&pool_lock);
            return -1;
        }
        pool.malloced = size;
    }
    pool.carve = pool.region;
    pool.initial = pool.left = size;
    pool.flags = flags;
    int here;
    pool.stack_base = reinterpret_cast<uintptr_t>(&here);
    pool.opener = pthread_self();
    pthread_mutex_unlock(&pool_lock);
    return 0;
}

void bclose()
{
    lock_timed(&pool_lock);
    if (pool.opens == 0 || --pool.opens > 0) {
        pthread_mutex_unlock(&pool_lock);
        return;
    }
    // Heap blocks still in use are the callers' to lose; they are not tracked
    // once the pool is gone.
    if (malloc_mapped)
        release_mapped_blocks();
    else if (!(pool.flags & BOPEN_CALLER_BUFFER))
        free(pool.region);
    reset_state();
    pthread_mutex_unlock(&pool_lock);
}

void *balloc(const char *file, int line, long size) { return balloc_charged(file, line, size, BALLOC_ACCOUNT_NONE, 0); }

void *balloc_charged(const char *file, int line, long size, int account, unsigned share)
{
    if (size < 0 || account < 0 || account >= BALLOC_ACCOUNTS)
        return nullptr;
    lock_timed(&pool_lock);
    if (pool.opens == 0) {
        pthread_mutex_unlock(&pool_lock);
        if (bopen(nullptr, 0, 0) != 0)
            return nullptr;
        lock_timed(&pool_lock);
    }
    if (pool.fail_countdown && --pool.fail_countdown == 0) {
        pthread_mutex_unlock(&pool_lock);
        return nullptr;
    }
    if (share && pool.account_bytes[account] + charged_size(size_t(size)) + HEADER > pool.initial / share) {
        pthread_mutex_unlock(&pool_lock);
        return nullptr;
    }

    int q = class_of(size_t(size));
    uint8_t *payload = nullptr;
    bool heap = true;
    size_t size_word;
    size_t asked = size_t(size);
    alloc_notice notice{nullptr, false};
    if (q < BALLOC_CLASSES) {
        payload = take_block(q, asked, &heap, &notice);
        size_word = class_size(q);
    } else if (!(pool.flags & BOPEN_HEAP_FALLBACK)) {
        notice = {"2B: malloc failed", true};
        size_word = 0;
    } else {
        notice.report = true;
        // Beyond the largest class the block is exactly as large as asked.
        size_word = size_t(size);
        uint8_t *raw = static_cast<uint8_t *>(malloc(size_word + HEADER));
        if (!raw)
            notice = {"1B: malloc failed", true};
        else
            pool.malloced += size_word + HEADER;
        payload = raw ? raw + HEADER : nullptr;
    }
    if (!payload) {
        pthread_mutex_unlock(&pool_lock);
        announce(notice);
        return nullptr;
    }

    set_header_word(payload, 0, uint32_t(asked));
    set_header_word(payload, 1, BALLOC_MARK | (heap ? BALLOC_HEAP_BIT : 0) | uint32_t(account));
    pool.account_bytes[account] += size_word + HEADER;
    if (q < BALLOC_CLASSES) {
        pool.class_allocs[q]++;
        pool.class_inuse[q]++;
    }
    pool.inuse_bytes += size_word;
    if (pool.inuse_bytes > pool.inuse_max)
        pool.inuse_max = pool.inuse_bytes;
    if (!heap) {
        pool.balloced += size_word;
        if (pool.balloced > pool.balloced_max)
            pool.balloced_max = pool.balloced;
    }
    // Stack depth is only meaningful on the thread whose stack bopen saw.
    if (pthread_equal(pthread_self(), pool.opener)) {
        int here;
        uintptr_t sp = reinterpret_cast<uintptr_t>(&here);
        size_t depth = sp < pool.stack_base ? pool.stack_base - sp : 0;
        if (depth > pool.stack_max)
            pool.stack_max = depth;
    }

    int tag = find_or_add_tag(file, line);
    if (tag >= 0) {
        tag_entry &entry = pool.tags[tag];
        entry.bytes += uint32_t(size_word);
        entry.blocks++;
        entry.allocs++;
        if (size_word > entry.largest) {
            entry.largest = uint32_t(size_word);
            entry.largest_class = q;
        }
    }
    enter_block(payload, tag);
    pthread_mutex_unlock(&pool_lock);
    announce(notice);
    return payload;
}

void bfree(const char *, int, void *block)
{
    if (!block)
        return;
    uint8_t *payload = static_cast<uint8_t *>(block);
    lock_timed(&pool_lock);
    if (!is_marked(payload)) {
        pthread_mutex_unlock(&pool_lock);
        return;
    }
    size_t asked = header_word(payload, 0);
    int q = class_of(asked);
    size_t size = q < BALLOC_CLASSES ? class_size(q) : asked;
    uint32_t word1 = header_word(payload, 1);
    bool heap = word1 & BALLOC_HEAP_BIT;
    if (q < BALLOC_CLASSES && pool.class_inuse[q])
        pool.class_inuse[q]--;
    pool.inuse_bytes -= size;
    if (!heap)
        pool.balloced -= size;
    pool.account_bytes[word1 & ACCOUNT_BITS] -= size + HEADER;
    remove_block(payload, size);

    // A reader of a freed block finds the poison, not the old contents.
    if (poison_freed)
        memset(payload, BALLOC_POISON, heap || malloc_mapped ? asked : size);
    if (heap || malloc_mapped) {
        set_header_word(payload, 1, 0);
        free(payload - HEADER);
        if (!heap)
            pool.free_blocks[q]++;
    } else {
        set_header_word(payload, 0, pool.free_head[q]);
        set_header_word(payload, 1, BALLOC_FREE_MARK);
        pool.free_head[q] = free_link_of(payload);
    }
    pthread_mutex_unlock(&pool_lock);
}

void bfree_safe(const char *file, int line, void *block)
{
    if (block)
        bfree(file, line, block);
}

size_t bsize(const void *block)
{
    const uint8_t *payload = static_cast<const uint8_t *>(block);
    if (!payload || !is_marked(payload))
        return 0;
    size_t asked = header_word(payload, 0);
    return malloc_mapped ? asked : charged_size(asked);
}

size_t blength(const void *block)
{
    const uint8_t *payload = static_cast<const uint8_t *>(block);
    if (!payload || !is_marked(payload))
        return 0;
    return header_word(payload, 0);
}

size_t baccount_bytes(int account)
{
    if (account < 0 || account >= BALLOC_ACCOUNTS)
        return 0;
    lock_timed(&pool_lock);
    size_t bytes = pool.account_bytes[account];
    pthread_mutex_unlock(&pool_lock);
    return bytes;
}

size_t bblock_bytes(long size)
{
    return size < 0 ? 0 : charged_size(size_t(size)) + HEADER;
}

size_t bregion_size()
{
    lock_timed(&pool_lock);
    size_t size = pool.initial;
    pthread_mutex_unlock(&pool_lock);
    return size;
}

void *brealloc(const char *file, int line, void *block, long size)
{
    if (!block)
        return balloc(file, line, size);
    size_t have = bsize(block);
    if (size >= 0 && have >= size_t(size)) {
        // The block now holds what this request asked for.
        uint8_t *payload = static_cast<uint8_t *>(block);
        lock_timed(&pool_lock);
        if (is_marked(payload) && header_word(payload, 0) < size_t(size))
            set_header_word(payload, 0, uint32_t(size));
        pthread_mutex_unlock(&pool_lock);
        return block;
    }
    void *fresh = balloc(file, line, size);
    if (!fresh)
        return nullptr;
    memcpy(fresh, block, have);
    bfree(file, line, block);
    return fresh;
}

void *bmemdup(const char *file, int line, const void *source, long size)
{
    void *block = balloc(file, line, size);
    if (!block)
        return nullptr;
    if (source)
        memcpy(block, source, size_t(size));
    else
        memset(block, 0, size_t(size));
    return block;
}

char *bstrdup(const char *file, int line, const char *text)
{
    if (!text)
        text = "";
    return static_cast<char *>(bmemdup(file, line, text, long(strlen(text) + 1)));
}

void bstats(void *handle, bstats_writer writer)
{
    if (reporting.exchange(true))
        return;
    report_snapshot snap{};
    lock_timed(&pool_lock);
    take_snapshot(&snap);
    pthread_mutex_unlock(&pool_lock);
    // Newest carved first, as the blocks came from the region.
    if (snap.strings)
        std::sort(snap.strings, snap.strings + snap.string_count,
                  [](const string_line &a, const string_line &b) { return a.at > b.at; });
    write_snapshot(snap, handle, writer ? writer : stdout_writer);
    free(snap.tags);
    free(snap.strings);
    reporting.store(false);
}

void bstats_syslog_writer(void *handle, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsyslog(int(reinterpret_cast<intptr_t>(handle)), format, args);
    va_end(args);
}

void bstats_text_writer(void *handle, const char *format, ...)
{
    bstats_text *out = static_cast<bstats_text *>(handle);
    if (out->used + 1 >= out->size)
        return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(out->text + out->used, out->size - out->used, format, args);
    va_end(args);
    if (n > 0)
        out->used += size_t(n) < out->size - out->used ? size_t(n) : out->size - out->used - 1;
}

void balloc_figures_get(balloc_figures *out)
{
    lock_timed(&pool_lock);
    for (int q = 0; q < BALLOC_CLASSES; q++) {
        out->free_blocks[q] = free_count(q);
        out->inuse_blocks[q] = pool.class_inuse[q];
        out->allocations[q] = pool.class_allocs[q];
    }
    out->inuse_bytes = pool.inuse_bytes;
    out->region_left = pool.left;
    out->heap_fallbacks = pool.heap_fallbacks;
    out->blocks_high_water = pool.blocks_hwm;
    pthread_mutex_unlock(&pool_lock);
}

void balloc_fail_nth(unsigned nth)
{
    lock_timed(&pool_lock);
    pool.fail_countdown = nth;
    pthread_mutex_unlock(&pool_lock);
}
