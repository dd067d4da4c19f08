// Management link: the one stream connection to the board's management
// process ("/tmp/chip.sock", or TCP 127.0.0.1:ZANDREL_KERNEL_PORT with -r 1).
//
// Threads: the receive thread (kernlink_rx_thread) owns the connection's
// read side and the 128 KiB receive buffer; it connects, reconnects once a
// second for ever, and sorts messages into the request queue (commands for
// the dispatch loop, kernhandlers.h) and the reply queue (answers to our own
// requests). While the messages in the two queues hold more than
// 1/KERNLINK_POOL_SHARE of the block pool, the receive thread reads no
// further until a consumer has taken some: a peer that sends faster than
// the dispatcher serves waits in its writes, and the pool never runs dry
// for the link. A link may idle between messages for ever, but a message whose
// first byte has come must not pause for more than KERNLINK_STALL_SECONDS:
// a peer that stops half-way would otherwise hold the link for ever, so the
// connection is closed (logged) and made anew. Any thread sends.
//
// Locks: the send lock serialises all sends and spans a whole exchange, the
// wait for the answer included, so the daemon has at most one request
// outstanding. It is taken innermost: record locks may be held around a send.
// Under it a leaf lock guards the socket descriptor against being closed
// while a write uses it. The last tag and the waiting flag are written under
// the send lock and read by the receive thread without it (atomics).
//
// Messages are pool blocks holding the wire bytes (kernmsg.h): header first.
#pragma once

#include "wire/kernmsg.h"
#include "base/mqueue.h"
#include "mgmt/kernhandlers.h"

#include <cstdint>

// kernlink_send_message results.
enum : int {
    KERNLINK_NO_MESSAGE = -1000,
    KERNLINK_NOT_CONNECTED = -1001,
    KERNLINK_NO_ANSWER_POINTER = -1002,
    KERNLINK_WRITE_FAILED = -1003,
    KERNLINK_TIMEOUT = -1004,
};

// Exit status of the process when the pool cannot take a received message:
// a daemon without pool blocks can do nothing useful, and the board's
// supervisor restarts it.
constexpr int KERNLINK_EXIT_POOL_EXHAUSTED = 70;

constexpr int KERNLINK_QUEUE_CAPACITY = 64;
constexpr unsigned KERNLINK_POOL_SHARE = 4;
constexpr int KERNLINK_NOTIFY_TIMEOUT = 3;
constexpr unsigned KERNLINK_STALL_SECONDS = 5;

// Registers the command table (`commands`, in its order; see kernhandlers.h),
// creates the queues and the locks, and starts the receive thread. 0.
// Called once by start-up (or a test).
int kernlink_init(const kernhandlers_table &commands = kernhandlers_link_table);
// Waits for running handlers, stops the receive thread (cutting its pause or
// read short), closes the socket and frees the queues. Safe to call when
// kernlink_init did not run.
void kernlink_close();
bool kernlink_connected();

// Sends `msg` (wire bytes; the tag is set here for requests and
// notifications) and, for a request (type 0), waits up to `timeout` seconds
// for its answer, returned in *answer as a pool block the caller frees.
// 0, or KERNLINK_NO_MESSAGE .. KERNLINK_TIMEOUT. Any thread.
int kernlink_send_message(uint8_t *msg, uint8_t **answer, int timeout);
// Writes one whole message (pieces of 256 bytes over TCP). 16 + len, or a
// negative value. Callers hold the send lock.
int kernlink_write(const uint8_t *msg);
// Reads exactly `n` bytes from the connection: n, or -1 (not connected, end
// of stream, read error, or a message stalled past KERNLINK_STALL_SECONDS).
// Receive thread only.
int kernlink_socket_read(uint8_t *buf, size_t n);

// One request from this daemon to module `dst` (type 0, src 1) with `len`
// payload bytes, waiting up to `timeout` seconds: the kernlink_send_message
// result, or -1 when no pool block is available. On 0 *answer is the answer,
// a pool block the caller frees.
int kernlink_request(uint16_t cmd, uint8_t dst, const void *payload, uint32_t len, uint8_t **answer,
                     int timeout);

// Notification to the SNMP module (cmd 10, type 2, src 1, dst 5): the send
// result, or -1 when no pool block is available. Any thread.
int kernlink_notify(uint8_t code, uint32_t num1, uint32_t num2, uint32_t num3, uint32_t num4, const char *text);
int kernlink_notify_fmt(uint8_t code, uint32_t num1, uint32_t num2, uint32_t num3, uint32_t num4,
                        const char *format, ...) __attribute__((format(printf, 6, 7)));

// The queue of commands for the dispatch loop; a NULL put into it wakes
// the loop.
mqueue *kernlink_request_queue();
// The next command, waiting up to `seconds` (0: only one that is there; a
// negative value: until one comes or the queue is woken), or NULL; the
// caller owns it. Taking it makes room for the receive thread.
uint8_t *kernlink_take_request(int seconds);

// The receive path as a function of bytes: reads messages through `read`
// until the stream ends or breaks, and sorts them into the queues. Returns
// the kernmsg_frame_result that ended it. The receive thread feeds it the
// socket; the fuzz target feeds it memory. Needs the queues
// (kernlink_queues_open) and an open pool.
int kernlink_rx_proc(kernmsg_read_fn read, void *ctx);
int kernlink_queues_open();
void kernlink_queues_close();

// What the receive path did with what it was given, for tests and the
// resource report. Read without a lock; each counter only grows.
struct kernlink_counters {
    unsigned long requests;       // put into the request queue
    unsigned long answers;        // put into the reply queue
    unsigned long dropped_dst;    // not for module 1
    unsigned long dropped_answers;  // nobody waiting, or a stale tag
    unsigned long queue_full;
    unsigned long connections;
    unsigned long stalls;         // connections closed on a stalled message
    unsigned long paused;         // times reading waited for the queues to empty
    unsigned long answers_sent;   // answers to the management process's commands written
};
kernlink_counters kernlink_counters_get();

// The commands received for this daemon (every message but answers), by
// command code: a table of KERNLINK_COUNTED_CODES codes, filled as codes
// first come; the messages of codes that find it full are counted as
// `other`. One relaxed add per message once its code has its entry.
constexpr int KERNLINK_COUNTED_CODES = 64;
struct kernlink_code_count {
    uint16_t code;
    unsigned long count;
};
// Fills `out` (room for KERNLINK_COUNTED_CODES) with the codes counted so
// far, by ascending code, and `*other`; the number of codes. Any thread.
int kernlink_command_counts(kernlink_code_count *out, unsigned long *other);
