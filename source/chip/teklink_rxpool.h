// Chip link receive pool: checks every datagram the chips send, keeps it in
// a fixed pool of 16384 slots, joins multi-part messages and hands each
// complete message to its OLT's response queue or to the events queue.
//
// Every block of the receive path (stored datagrams, fragments, joined
// messages, and so the answers and events waiting in the queues until their
// consumer frees them) is charged to the pool account of the chip it came
// from. The chips together may hold at most 1/TEKLINK_RX_POOL_SHARE of the
// pool's region, each chip a quarter of that: a datagram beyond its chip's
// share is dropped and counted, with one log line per burst of drops. So a
// chip can never starve the management link of blocks, nor the other chips.
// Only datagrams from a chip's own address get this far (teklink.h).
//
// Fragments that never complete age out after a minute; the receive thread
// runs the ageing once a second while the pool holds any, whether or not
// datagrams come.
//
// Threads: only the chip receive thread calls these (tests and the fuzz
// target call them on their own thread while no receive thread runs). The
// pool, the alarm count and the reassembly therefore take no lock; the
// queues carry their own. `teklink_ctag` is read without the send lock: a
// mismatch found here only prints a line.
#pragma once

#include "base/balloc.h"
#include "base/mqueue.h"
#include "store/datastruct.h"

#include <cstddef>
#include <cstdint>

constexpr int TEKLINK_RXPOOL_SLOTS = 16384;
constexpr uint32_t TEKLINK_RXPOOL_MAX_AGE = 60;        // seconds a fragment may wait
constexpr int TEKLINK_MAX_FRAGMENTS = 256;             // parts of one multi-part message
constexpr int TEKLINK_RX_QUEUE_SIZE = 1024;
constexpr int TEKLINK_EVENTS_QUEUE_SIZE = 8192;
constexpr int32_t TEKLINK_ALARM_FLOOD_EVERY = 1000;    // every thousandth counted alarm is dropped
constexpr unsigned TEKLINK_RX_POOL_SHARE = 2;           // the receive path holds at most half the region
constexpr unsigned TEKLINK_RX_CHIP_SHARE = TEKLINK_RX_POOL_SHARE * OLT_COUNT;   // ... a quarter of it per chip
constexpr unsigned TEKLINK_RX_AGEING_MS = 1000;         // ageing pace while fragments are held

// Complete responses, one queue per OLT, emptied by the holder of the send
// lock; complete events, emptied by the chip event thread. An empty (NULL)
// item stands for a multi-part message that could not be joined.
extern mqueue teklink_rx_queue[OLT_COUNT];
extern mqueue teklink_events_queue;
// ONU alarm events counted for flooding detection; reset by teklink_init.
extern int32_t teklink_alarm_count;

// One received datagram from the chip whose index is `olt` (last octet of
// the sender's address minus one): dump, check, store, process. Datagrams
// longer than the receive buffer are cut as the socket would cut them.
void teklink_rx_datagram(uint16_t olt, const uint8_t *datagram, size_t length);

// 0 to keep the datagram, -1 to drop it.
int teklink_check_rx_message(const uint8_t *datagram, size_t length, uint16_t olt);
// Copies the datagram into a pool block behind the OLT index and stores it in
// the lowest free slot. 0, or -1 (pool full, the receive path's share of
// the region used up, or no block).
int teklink_rxpool_add_entry(const uint8_t *datagram, size_t length, uint16_t olt);
// Frees aged entries, then dispatches every complete message in slot order,
// joining multi-part messages on their last fragment. 0.
int teklink_rxpool_poccess();
// Frees every entry stored more than 60 seconds ago; the number freed.
int teklink_rxpool_freeaged();
// Joins the multi-part message whose last fragment is `last` (a block in the
// pool) into a new block: the first fragment's header with RCODE 0, then
// every fragment's data in SEQN order from offset 10. Every entry with the
// same CTAG is freed, joined or not. The new block, or NULL.
uint8_t *extract_mp_message(const uint8_t *last);

// Frees every entry and empties the pool (receive thread start, shut-down).
void teklink_rxpool_clear();
// Entries in use, for tests and the resource report; any thread may read it.
int teklink_rxpool_used();
// Datagrams dropped because their chip held its whole share of the pool,
// since start-up; any thread may read it.
unsigned teklink_rx_share_drops();
// The pool account that blocks received from OLT `olt` (0..3) are charged to.
inline int teklink_rx_account(uint16_t olt) { return BALLOC_ACCOUNT_CHIP_RX + olt; }
