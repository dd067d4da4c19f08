// Block memory pool: every message, queue item and work item of the daemon.
//
// One region (4 MiB at start-up) is carved forward into power-of-two blocks
// of 14 size classes (16 .. 131072 bytes of payload, each with an 8-byte
// header in front). Freed blocks go on a LIFO list per class and are never
// given back to the region. Every allocation is tagged with the source file
// and line that asked for it; the statistics report groups by these tags.
//
// A block remembers how many bytes were asked for (blength): a received
// message is allocated for exactly the bytes that arrived, so its decoders
// read within what came, never within the larger class size. A block may
// be charged to an account (balloc_charged) whose bytes the pool counts, so
// that one source of blocks can be held to a share of the region.
//
// Built with ZANDREL_POOL_MALLOC every block is a heap allocation of exactly
// the bytes asked for (the sanitizer and fuzz builds), with the same
// accounting and report: ASan then sees an overrun that a class-sized block
// would hide. Debug builds fill every freed block with BALLOC_POISON, so a
// read of a freed block finds the poison instead of stale data.
//
// Threads: any thread allocates and frees, and a block may be freed by a
// thread other than the one that took it. One mutex guards all pool state
// (taken with lock_timed); it is a leaf lock: nothing else is taken under it,
// and nothing is written while it is held (a failed allocation prints its
// line and the report after letting it go).
#pragma once

#include <cstddef>
#include <cstdint>

enum : int {
    BOPEN_HEAP_FALLBACK = 1,   // serve from the heap when the region cannot
    BOPEN_CALLER_BUFFER = 2,   // the region is the caller's buffer
};

constexpr int BALLOC_CLASSES = 14;
constexpr int BALLOC_TAGS = 512;
constexpr uint32_t BALLOC_MARK = 0x08124000;       // header word 1 of a block in use
constexpr uint32_t BALLOC_HEAP_BIT = 0x80000000;   // ... when it came from the heap
constexpr uint32_t BALLOC_FREE_MARK = 0x77777777;  // header word 1 on a free list
constexpr uint8_t BALLOC_POISON = 0xDB;            // fills freed blocks in debug builds

// What a block may be charged to (see balloc_charged).
enum : int {
    BALLOC_ACCOUNT_NONE = 0,
    // Chip datagrams and what is joined from them, one account per chip:
    // OLT n's are charged to BALLOC_ACCOUNT_CHIP_RX + n.
    BALLOC_ACCOUNT_CHIP_RX = 1,
    BALLOC_ACCOUNTS = BALLOC_ACCOUNT_CHIP_RX + 4,
};

// Opens the pool: `buffer` of `size` bytes, or (buffer NULL) a heap region of
// `size` bytes (64 KiB when 0). Only the first open sets the pool up; later
// ones count. 0, or -1 when the region cannot be allocated.
int bopen(void *buffer, size_t size, int flags);
// Counts an open down; the last gives the region back and forgets all state.
void bclose();

// Payload of at least `size` bytes, or NULL (negative size, region used up
// without heap fallback). Opens a 64 KiB pool first if none is open.
void *balloc(const char *file, int line, long size);
// balloc, and the block is charged to `account` until it is freed (by any
// thread). With `share` above 0 the account may hold at most 1/share of the
// region (counted as baccount_bytes counts): a block that would take it
// further is refused, NULL with nothing printed. NULL also for an unknown
// account.
void *balloc_charged(const char *file, int line, long size, int account, unsigned share);
// Gives a block back. Pointers without the pool's header mark (a second
// free, a foreign pointer) are ignored.
void bfree(const char *file, int line, void *block);
// bfree that ignores NULL.
void bfree_safe(const char *file, int line, void *block);
// NULL block: as balloc. A block whose payload already holds `size`: the
// same block. Else a new block with the old payload copied and the old block
// freed; NULL (old block untouched) when no new block can be had.
void *brealloc(const char *file, int line, void *block, long size);
// A new block holding `size` bytes of `source`, zero-filled when NULL.
void *bmemdup(const char *file, int line, const void *source, long size);
// A new block holding a copy of `text` ("" when NULL).
char *bstrdup(const char *file, int line, const char *text);

// Bytes the payload of a block in use holds (its class size; the bytes asked
// for when mapped onto malloc); 0 for a pointer that is not.
size_t bsize(const void *block);
// Bytes asked for when the block was allocated (or by a later brealloc that
// it served); 0 for a pointer that is not a block in use.
size_t blength(const void *block);
// Region bytes (class size + header) held by blocks charged to `account`.
size_t baccount_bytes(int account);
// Region bytes a block of `size` bytes takes.
size_t bblock_bytes(long size);
// The region's size as opened (0 while no pool is open).
size_t bregion_size();

// Writes the statistics report through `writer(handle, format, ...)`; with a
// NULL writer the report goes to standard output. Suppressed while another
// report is being written.
using bstats_writer = void (*)(void *handle, const char *format, ...);
void bstats(void *handle, bstats_writer writer);
// Writer to syslog; `handle` is the priority, cast to a pointer.
void bstats_syslog_writer(void *handle, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Writer that appends to a caller's text buffer (cut at its size).
struct bstats_text {
    char *text;
    size_t size;
    size_t used;
};
void bstats_text_writer(void *handle, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Figures for tests and benchmarks, read under the pool lock.
struct balloc_figures {
    uint32_t free_blocks[BALLOC_CLASSES];
    uint32_t inuse_blocks[BALLOC_CLASSES];
    uint32_t allocations[BALLOC_CLASSES];
    size_t inuse_bytes;
    size_t region_left;
    size_t heap_fallbacks;
    int blocks_high_water;
};
void balloc_figures_get(balloc_figures *out);

// Test hook: the `nth` balloc from now fails as if the region were used up
// (0 switches the hook off). Proves that callers lose nothing on failure.
void balloc_fail_nth(unsigned nth);

#define BALLOC(size) balloc(__FILE__, __LINE__, (size))
#define BALLOC_CHARGED(size, account, share) balloc_charged(__FILE__, __LINE__, (size), (account), (share))
#define BFREE(block) bfree(__FILE__, __LINE__, (block))
#define BFREE_SAFE(block) bfree_safe(__FILE__, __LINE__, (block))
#define BREALLOC(block, size) brealloc(__FILE__, __LINE__, (block), (size))
#define BMEMDUP(source, size) bmemdup(__FILE__, __LINE__, (source), (size))
#define BSTRDUP(text) bstrdup(__FILE__, __LINE__, (text))
