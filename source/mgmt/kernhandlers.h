// Command dispatch: the command table, the dispatch loop and the three
// handler threads that run the management process's commands.
//
// Threads: the dispatch loop runs on the main thread once start-up is done;
// it takes commands from the management link's request queue, runs the ping
// itself and every other command on one of three handler threads. Handlers
// run concurrently with each other and with every other thread; they take
// the data-store locks themselves and answer through kernhandlers_reply.
//
// The commands themselves live in the layer above (cmd/), which this one
// cannot call: main.cpp hands the whole table to kernlink_init. This layer
// serves the link's own two commands, ping and resource report, which that
// table names in their places.
//
// Locks: the command table is filled before the receive thread starts and
// only read afterwards. A slot's busy flag is set by the dispatch thread and
// cleared by its handler thread (atomic); a slot's previous thread is joined
// before the slot is reused. The duplicate-MAC counter has its own mutex, a
// leaf lock.
#pragma once

#include <cstddef>
#include <cstdint>

// A handler gets the request (a pool block of wire bytes) and returns the
// block its caller frees, in practice the request itself. It never frees
// the request.
using kernhandler = uint8_t *(*)(uint8_t *request);

constexpr int KERNHANDLERS_TABLE_SIZE = 1024;
constexpr int KERNHANDLERS_SLOTS = 3;
constexpr int KERNHANDLERS_MAC_DUPLICATE_LIMIT = 2;

enum : uint16_t {
    CMDPING = 0x0009,
    CMDRESOURCEREPORT = 0x7002,
    CMDPSSMACDUPLICATE = 0x5040,
};

// One entry of a command table.
struct kernhandlers_command {
    uint16_t code;
    kernhandler handler;
};
struct kernhandlers_table {
    const kernhandlers_command *entries;
    size_t count;
};
// The link's own commands, the whole table until the OLT and ONU commands
// join: ping, then resource report.
extern const kernhandlers_table kernhandlers_link_table;

// The ping: answers with rcode 0 and no data.
uint8_t *kernhandlers_ping(uint8_t *request);
// The resource report: pool statistics, then the queue list, into one text
// written to "/tmp/system_resources.log"; answers with 32 zero bytes.
uint8_t *kernhandlers_resource_report(uint8_t *request);

// Clears the table and registers `commands` in their order (the order fixes
// the table's slots); clears the duplicate-MAC counter. kernlink_init calls
// it.
void kernhandlers_init(const kernhandlers_table &commands);
// Waits for running handler threads to end. kernlink_close calls it.
void kernhandlers_close();

// 0 (the code the entry had), or -1 when all 1024 entries are used.
int kernhandlers_register(uint16_t code, kernhandler handler);
// The first handler registered for `code`, or NULL.
kernhandler kernhandlers_lookup(uint16_t code);

// Answers `request`: cmd and tag copied, type 1, source and destination
// swapped, then `len` bytes of `data`. 0, or -4 when no block is available.
int kernhandlers_reply(const uint8_t *request, uint8_t rcode, uint32_t len, const void *data);

// The dispatch loop; returns when the run flag is 0. Main thread.
void kernlink_process_loop();

// What became of one command; the loop's outcome per request.
enum kernhandlers_outcome {
    KERNHANDLERS_RAN_INLINE,       // the ping, run on the dispatch thread
    KERNHANDLERS_STARTED,          // on a handler thread
    KERNHANDLERS_NO_HANDLER,       // freed, no answer
    KERNHANDLERS_ALL_BUSY,         // freed, no answer
    KERNHANDLERS_DUPLICATE_LIMIT,  // third concurrent duplicate-MAC command
    KERNHANDLERS_THREAD_FAILED,
};
// Runs one request as the dispatch loop does (the loop's body). Takes
// ownership of `request`. Dispatch thread only.
kernhandlers_outcome kernhandlers_dispatch(uint8_t *request);

// The duplicate-MAC handler's last step: counts its run out, under the
// counter's lock.
void kernhandlers_mac_duplicate_done();
int kernhandlers_mac_duplicate_count();

// Handler slots busy right now (read without a lock).
int kernhandlers_busy_slots();

struct kernhandlers_counters {
    unsigned long inline_runs, started, no_handler, all_busy, duplicate_limit, thread_failed;
    unsigned long refused_payloads;   // commands answered as refused for a payload they could not be read from
};
kernhandlers_counters kernhandlers_counters_get();
// A handler refused its command for a payload it cannot read. Any thread.
void kernhandlers_count_refused();
