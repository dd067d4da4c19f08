// What the chip link met, per OLT, kept where it happens for field
// debugging: the exchanges and their time-outs and resends, the datagrams
// the receive path dropped and why, the fragments it joined or let age
// out, and the events it handed on. The resource report writes them out
// with the daemon's other counters (events/work_counters.h).
//
// Each counter is one relaxed atomic add on the path it counts, and only
// grows from the process's start. Readers take them without a lock; a
// reading taken while the link works may be a few adds behind.
// Datagrams of unknown senders cannot be put down to an OLT: they are
// counted link-wide (teklink_unknown_senders, teklink.h).
#pragma once

#include "store/datastruct.h"
#include "wire/ids.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>

// Resends are kept by the RCODE of the answer that called for them: RCODEs
// 0..14 each, the last slot for any other.
constexpr int TEKLINK_RCODE_SLOTS = 16;
// The chip events counted by ID; the last slot is for any other ID.
constexpr uint16_t TEKLINK_COUNTED_EVENTS[] = {
    TEK_EVENT_OLT_READY, TEK_EVENT_EAP_FRAME, TEK_EVENT_REGISTRATION,    TEK_EVENT_LINK_DISCOVERY,
    TEK_EVENT_ALARM,     TEK_EVENT_CONSOLE,   TEK_EVENT_DUPLICATE_LINK,
};
constexpr int TEKLINK_EVENT_SLOTS = int(std::size(TEKLINK_COUNTED_EVENTS)) + 1;

using teklink_counter = std::atomic<unsigned long>;

struct teklink_olt_counters {
    teklink_counter exchanges;            // requests sent with their answer awaited (one per exchange)
    teklink_counter timeouts;             // transmissions whose answer did not come in time (or
                                          // came in fragments that could not be joined)
    teklink_counter resends[TEKLINK_RCODE_SLOTS];   // by the RCODE that called for them (10, 11)
    teklink_counter dropped_stale_ctag;   // answers whose CTAG was not the exchange's
    teklink_counter dropped_short;        // datagrams too short for the fields of their kind
    teklink_counter dropped_pool_share;   // datagrams beyond the chip's share of the pool
    teklink_counter fragments_joined;     // fragments joined into whole messages
    teklink_counter fragments_aged;       // entries freed by the ageing, never completed
    teklink_counter events[TEKLINK_EVENT_SLOTS];   // by ID, as TEKLINK_COUNTED_EVENTS, then other
};
extern teklink_olt_counters teklink_counters[OLT_COUNT];

inline void teklink_count(teklink_counter &counter, unsigned long n = 1)
{
    counter.fetch_add(n, std::memory_order_relaxed);
}
inline int teklink_rcode_slot(uint16_t rcode)
{
    return rcode < TEKLINK_RCODE_SLOTS - 1 ? rcode : TEKLINK_RCODE_SLOTS - 1;
}
inline int teklink_event_slot(uint16_t id)
{
    for (int slot = 0; slot < TEKLINK_EVENT_SLOTS - 1; slot++)
        if (TEKLINK_COUNTED_EVENTS[slot] == id)
            return slot;
    return TEKLINK_EVENT_SLOTS - 1;
}
