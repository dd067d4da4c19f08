// Chip link transport: the one UDP socket to the OLT chips and the
// synchronous request/response exchange with CTAG matching, time-outs and
// resends.
//
// Threads: teklink_message_send is called from any thread (provisioning,
// management handlers, chip events, scheduler, watchdog, transfers).
// `teklink_send_lock` spans a whole exchange, waits and pauses included, so
// at most one request is outstanding; only its holder increments
// `teklink_ctag` and empties the response queues. It is taken innermost,
// after any record lock, and nothing is taken under it except the queue and
// pool leaf locks. The receive thread (teklink_rxpool.h) owns the receive
// side of the socket.
#pragma once

#include "chip/teklink_rxpool.h"
#include "wire/tekmsg.h"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr int TEKLINK_SEND_ATTEMPTS = 3;
constexpr unsigned TEKLINK_RESEND_PAUSE_SECONDS = 1;   // after RCODE 10 or 11
constexpr int TEKLINK_RCVBUF = 262144;
constexpr size_t TEKLINK_DUMP_HEX_SIZE = 32768;

enum : int {
    TEKLINK_OK = 0,
    TEKLINK_ERR_ARGUMENT = -2,   // NULL pointer or OLT index above 3
    TEKLINK_ERR_SEND = -3,       // sendto failed
    TEKLINK_ERR_CLOSED = -4,     // socket not open, or the OLT is being reset
    TEKLINK_ERR_TIMEOUT = -6,    // no answer after three attempts
};

// CTAG of the most recent transmission, to any OLT; wraps 65535 -> 0.
extern std::atomic<uint16_t> teklink_ctag;
// Descriptor of the chip socket, -1 while none is open.
extern std::atomic<int> teklink_rx_socket;
extern pthread_mutex_t teklink_send_lock;

// Creates the response and events queues (on the first call; later calls
// empty them), resets the alarm count and starts the receive thread, which
// opens the socket. 0, or -1 when a queue or the thread cannot be created.
int teklink_init();
// The queue half of teklink_init, for tests that drive the receive path on
// their own thread: creates or empties the queues, resets the alarm count.
int teklink_queues_init();
// Frees whatever the queues hold; only while no receive thread runs.
void teklink_queues_drain();
// Opens, sizes and binds the chip socket unless it is open. 0 or -1 (errno
// says why); after a failure no descriptor is left open, so the next call
// starts afresh.
int teklink_create_socket();
// Stops the receive thread, closes the socket and frees what the receive
// pool still holds. Safe to call when nothing is open.
void teklink_close();
// The daemon is stopping: an exchange waiting for its answer, or pausing
// before a resend, ends at once with TEKLINK_ERR_CLOSED, and so does every
// later one, so that no thread holds a record's lock through minutes of
// attempts at chips that no longer answer while the stop joins the threads.
// teklink_init undoes it.
void teklink_stop_exchanges();

// Sends `request` (a teklink_msg block the caller owns: OLT index, ID, LEN,
// data; the CTAG is written here) and waits up to `timeout` seconds per
// attempt for the answer with its CTAG. 0 with `*response` set (any RCODE;
// the caller frees it), or TEKLINK_ERR_* with `*response` NULL.
int teklink_message_send(uint8_t *request, uint8_t **response, int timeout);

// Datagrams dropped since start-up because their sender was not a chip: a
// datagram is a chip's only when it comes from exactly that chip's address
// (ZANDREL_CHIP_NET.n+1 for OLT n). Any thread may read it.
unsigned teklink_unknown_senders();

// Name of an RCODE (low 16 bits); "Invalid" above 15.
const char *teklink_rcode_name(unsigned rcode);

// The traffic dumps on standard output, flushed: a request block just before
// it is sent, and a datagram as received from OLT index `olt`.
void teklink_dump_request(const uint8_t *request);
void teklink_dump_received(uint16_t olt, const uint8_t *datagram, size_t length);
