// Receive pool and multi-part reassembly. See teklink_rxpool.h.
//
// Slots are scanned in index order, as the dispatch order depends on it, but
// only up to the highest slot in use: an idle pool costs nothing per
// datagram. Every length read from the wire is checked against the bytes
// actually received: a datagram too short for the fields of its kind is
// dropped by the check, and reassembly copies no more than a fragment holds.
#include "chip/teklink_rxpool.h"

#include "base/balloc.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "chip/teklink.h"
#include "chip/teklink_counters.h"
#include "wire/ids.h"
#include "wire/tekmsg.h"

#include <syslog.h>

#include <algorithm>
#include <atomic>

mqueue teklink_rx_queue[OLT_COUNT];
mqueue teklink_events_queue;
int32_t teklink_alarm_count;

namespace {

struct rxpool_slot {
    uint8_t *msg;          // teklink_msg block, NULL when free
    uint32_t rxpool_time;  // uptime second of storing
    uint32_t length;       // wire bytes received (block holds length + 2)
    uint16_t olt;          // whose slot it is
};

// Slots one chip may hold: the pool's slots are shared like its blocks, so
// that one chip's fragments that never complete cannot leave the others
// without a slot.
constexpr int CHIP_SLOTS = TEKLINK_RXPOOL_SLOTS / OLT_COUNT;

static_assert(BALLOC_ACCOUNT_CHIP_RX + OLT_COUNT <= BALLOC_ACCOUNTS, "one pool account per chip");

rxpool_slot teklink_rxpool[TEKLINK_RXPOOL_SLOTS];
int rxpool_top;            // one past the highest slot in use
std::atomic<int> rxpool_used;
int chip_used[OLT_COUNT];  // slots in use per chip
bool share_burst[OLT_COUNT];   // the chip's last datagram was dropped for its share

constexpr size_t ALARM_FIELDS = 1 + 6 + 1;   // tag, ONU MAC, alarm ID

void slot_clear(int slot)
{
    chip_used[teklink_rxpool[slot].olt]--;
    teklink_rxpool[slot] = rxpool_slot{};
    rxpool_used--;
    while (rxpool_top > 0 && !teklink_rxpool[rxpool_top - 1].msg)
        rxpool_top--;
}

void slot_free(int slot)
{
    BFREE(teklink_rxpool[slot].msg);
    slot_clear(slot);
}

bool slot_has_seqn(const rxpool_slot &slot) { return slot.length >= TEKMSG_HEADER + 4; }

// Data bytes a fragment contributes: LEN - 4 as announced, but never more
// than the datagram brought.
size_t fragment_data(const rxpool_slot &slot)
{
    size_t announced = tekmsg_len(slot.msg);
    size_t received = slot.length - TEKMSG_HEADER;
    size_t len = std::min(announced, received);
    return len > 4 ? len - 4 : 0;
}

enum class rx_kind { stays, complete, last_fragment };

rx_kind classify(const uint8_t *msg)
{
    uint16_t id = tekmsg_id(msg);
    if (!tekmsg_is_event(id)) {
        uint16_t rcode = tekmsg_rcode(msg);
        if (rcode < TEKLINK_RCODE_MORE)
            return rx_kind::complete;
        return rcode == TEKLINK_RCODE_LAST ? rx_kind::last_fragment : rx_kind::stays;
    }
    if (!tekmsg_is_long_event(id))
        return rx_kind::complete;
    return tekmsg_rcode(msg) == TEKLINK_RCODE_LAST ? rx_kind::last_fragment : rx_kind::stays;
}

// Counts an ONU alarm event; false when it is the thousandth one to drop.
bool alarm_passes(const uint8_t *datagram, size_t length)
{
    const size_t at = TEKMSG_HEADER + 4;
    if (length < at + ALARM_FIELDS)
        return true;   // too short to name an alarm: not counted
    uint8_t tag = datagram[at];
    const uint8_t *mac = datagram + at + 1;
    uint8_t alarm_id = datagram[at + 7];
    if (tag == 2 || tag == 7)
        return true;
    trace("Alarm: tag %d, alarm ID %d, ONU %02X:%02X:%02X:%02X:%02X:%02X\n\n", tag, alarm_id, mac[0], mac[1],
          mac[2], mac[3], mac[4], mac[5]);
    teklink_alarm_count = int32_t(uint32_t(teklink_alarm_count) + 1);
    if (teklink_alarm_count % TEKLINK_ALARM_FLOOD_EVERY == 0) {
        syslog(LOG_ERR, "teklink: alarm flooding detected");
        return false;
    }
    return true;
}

// A datagram of chip `olt` dropped because the chip holds its share of the
// pool's blocks or slots: counted, and logged once per burst of the chip.
void share_drop(uint16_t olt)
{
    teklink_count(teklink_counters[olt].dropped_pool_share);
    if (!share_burst[olt])
        syslog(LOG_WARNING, "teklink: chip messages hold their share of the pool (%u bytes, %d slots), dropping "
                            "datagrams from OLT[%d] on",
               unsigned(bregion_size() / TEKLINK_RX_CHIP_SHARE), CHIP_SLOTS, olt);
    share_burst[olt] = true;
}

// A block of the receive path for `size` bytes, within the share of the
// pool of chip `olt`; NULL when refused for the share (`*over_share` set,
// the drop counted) or when the pool itself cannot serve.
uint8_t *share_block(long size, uint16_t olt, bool *over_share)
{
    *over_share = false;
    const int account = teklink_rx_account(olt);
    auto *msg = static_cast<uint8_t *>(BALLOC_CHARGED(size, account, TEKLINK_RX_CHIP_SHARE));
    if (msg) {
        share_burst[olt] = false;
        return msg;
    }
    if (baccount_bytes(account) + bblock_bytes(size) <= bregion_size() / TEKLINK_RX_CHIP_SHARE)
        return nullptr;
    *over_share = true;
    share_drop(olt);
    return nullptr;
}

} // namespace

void teklink_rx_datagram(uint16_t olt, const uint8_t *datagram, size_t length)
{
    length = std::min(length, TEKMSG_MAX_DATAGRAM);
    teklink_dump_received(olt, datagram, length);
    if (teklink_check_rx_message(datagram, length, olt) != 0)
        return;
    teklink_rxpool_add_entry(datagram, length, olt);
    teklink_rxpool_poccess();
}

int teklink_check_rx_message(const uint8_t *datagram, size_t length, uint16_t olt)
{
    if (olt >= OLT_COUNT)
        return -1;
    tekmsg_header header{};
    if (!tekmsg_parse_header(datagram, length, &header)) {
        teklink_count(teklink_counters[olt].dropped_short);
        return -1;
    }
    if (size_t(header.len) + TEKMSG_HEADER != length)
        trace("teklink: header len %d bytes; received %d bytes\n", int(header.len + TEKMSG_HEADER), int(length));
    // Classification reads RCODE and SEQN from the block: a datagram without
    // the fields of its kind cannot be classified safely.
    uint16_t rcode = length >= TEKMSG_HEADER + 2 ? load_be16(datagram + TEKMSG_HEADER) : 0;
    if (length < tekmsg_min_length(header.id, rcode)) {
        teklink_count(teklink_counters[olt].dropped_short);
        return -1;
    }
    if (!tekmsg_is_event(header.id) && header.ctag != teklink_ctag.load(std::memory_order_relaxed))
        trace("teklink: answer ctag mismatch\n");
    if (header.id == TEK_EVENT_ALARM && !alarm_passes(datagram, length))
        return -1;
    return 0;
}

int teklink_rxpool_add_entry(const uint8_t *datagram, size_t length, uint16_t olt)
{
    if (olt >= OLT_COUNT || rxpool_used.load(std::memory_order_relaxed) >= TEKLINK_RXPOOL_SLOTS)
        return -1;
    if (chip_used[olt] >= CHIP_SLOTS) {
        share_drop(olt);
        return -1;
    }
    int slot = 0;
    while (teklink_rxpool[slot].msg)
        slot++;
    bool over_share;
    uint8_t *msg = share_block(long(length) + 2, olt, &over_share);
    if (!msg) {
        if (over_share)
            return -1;
        tekmsg_header header{};
        tekmsg_parse_header(datagram, length, &header);
        trace("%s: %d: balloc failed, ID: %d CTAG: %d\n", __func__, __LINE__, header.id, header.ctag);
        return -1;
    }
    tekmsg_set_olt(msg, olt);
    std::memcpy(msg + TEKLINK_MSG_ID, datagram, length);
    teklink_rxpool[slot] = rxpool_slot{msg, uptime_seconds(), uint32_t(length), olt};
    rxpool_used++;
    chip_used[olt]++;
    rxpool_top = std::max(rxpool_top, slot + 1);
    return 0;
}

int teklink_rxpool_poccess()
{
    teklink_rxpool_freeaged();
    for (int slot = 0; slot < rxpool_top; slot++) {
        uint8_t *msg = teklink_rxpool[slot].msg;
        if (!msg)
            continue;
        rx_kind kind = classify(msg);
        if (kind == rx_kind::stays)
            continue;
        const uint16_t id = tekmsg_id(msg), olt = tekmsg_olt(msg);
        bool event = tekmsg_is_event(id);
        mqueue *queue = event ? &teklink_events_queue : &teklink_rx_queue[olt];
        uint8_t *out = msg;
        if (kind == rx_kind::complete) {
            slot_clear(slot);
        } else {
            out = extract_mp_message(msg);   // frees the whole set, this slot included
            if (!out)
                trace(event ? "%s: %d: Error: multipart event extracting failed \n"
                            : "* %s: %d: Error: multipart event extracting failed \n",
                      __func__, __LINE__);
        }
        if (event && out)
            teklink_count(teklink_counters[olt].events[teklink_event_slot(id)]);
        int rc = mqueue_put(queue, out);
        if (rc != 0) {
            syslog(LOG_ERR, "%s:%d Error on queue add (%d)\n", __func__, __LINE__, rc);
            if (rc != -3)   // -3: queued, only the wake-up failed
                BFREE_SAFE(out);
        }
    }
    return 0;
}

int teklink_rxpool_freeaged()
{
    int freed = 0;
    for (int slot = 0; slot < rxpool_top; slot++) {
        const rxpool_slot &entry = teklink_rxpool[slot];
        if (!entry.msg || !uptime_expired(entry.rxpool_time, TEKLINK_RXPOOL_MAX_AGE))
            continue;
        const uint8_t *msg = entry.msg;
        const char *format = "%s: bfree: OLT%d (ID: %d CTAG: %d LEN: %d, rxpool_time: %d, timestamp: %d) \n";
        int olt = tekmsg_olt(msg), id = tekmsg_id(msg), ctag = tekmsg_ctag(msg), len = tekmsg_len(msg);
        int stored = int(entry.rxpool_time), now = int(uptime_seconds());
        syslog(LOG_ERR, format, __func__, olt, id, ctag, len, stored, now);
        trace(format, __func__, olt, id, ctag, len, stored, now);
        teklink_count(teklink_counters[entry.olt].fragments_aged);
        slot_free(slot);
        freed++;
    }
    return freed;
}

uint8_t *extract_mp_message(const uint8_t *last)
{
    const uint16_t key = tekmsg_ctag(last);
    const uint16_t id = tekmsg_id(last);
    const int fragments = int(tekmsg_seqn(last)) + 1;
    uint8_t *joined = nullptr;

    // A last fragment announcing more parts than the table holds is treated
    // like a message with a missing part: nothing is searched or written.
    int parts[TEKLINK_MAX_FRAGMENTS];
    int found = 0;
    if (fragments <= TEKLINK_MAX_FRAGMENTS) {
        std::fill_n(parts, fragments, -1);
        for (int slot = 0; slot < rxpool_top; slot++) {
            const rxpool_slot &entry = teklink_rxpool[slot];
            if (!entry.msg || !slot_has_seqn(entry) || tekmsg_ctag(entry.msg) != key)
                continue;
            int seqn = tekmsg_seqn(entry.msg);
            if (seqn < fragments && parts[seqn] < 0) {
                parts[seqn] = slot;
                found++;
            }
        }
    }
    if (found < fragments)
        syslog(LOG_INFO, "!!!ERROR: ipacket = %d fragments = %d", found, fragments);

    if (found < fragments) {
        trace("%s: %d: calc total len error, ID %d, CTAG %d \n", __func__, __LINE__, id, key);
    } else {
        size_t total = 0;
        for (int s = 0; s < fragments; s++)
            total += fragment_data(teklink_rxpool[parts[s]]);
        // Charged but not refused: it replaces the fragments freed below.
        joined = static_cast<uint8_t *>(
            BALLOC_CHARGED(long(total) + 10, teklink_rx_account(teklink_rxpool[parts[0]].olt), 0));
        if (!joined) {
            trace("%s: %d: balloc failed (defragmented), ID %d, CTAG %d\n", __func__, __LINE__, id, key);
        } else {
            std::memcpy(joined, teklink_rxpool[parts[0]].msg, 10);
            store_be16(joined + TEKLINK_MSG_DATA, TEKLINK_RCODE_OK);
            // LEN describes the joined data, counted as each kind counts it
            // (an event's LEN includes RCODE and SEQN, a response's only
            // RCODE): with the first fragment's LEN the consumers would read
            // only the first fragment's worth of the data.
            size_t len = total + (tekmsg_is_event(id) ? 4 : 2);
            store_be16(joined + TEKLINK_MSG_LEN, uint16_t(len > 0xFFFF ? 0xFFFF : len));
            uint8_t *p = joined + 10;
            for (int s = 0; s < fragments; s++) {
                const rxpool_slot &entry = teklink_rxpool[parts[s]];
                size_t n = fragment_data(entry);
                std::memcpy(p, entry.msg + TEKLINK_MSG_FRAGMENT_DATA, n);
                p += n;
            }
            teklink_count(teklink_counters[teklink_rxpool[parts[0]].olt].fragments_joined, unsigned(fragments));
        }
    }

    for (int slot = 0; slot < rxpool_top; slot++)
        if (teklink_rxpool[slot].msg && tekmsg_ctag(teklink_rxpool[slot].msg) == key)
            slot_free(slot);
    return joined;
}

void teklink_rxpool_clear()
{
    for (int slot = 0; slot < rxpool_top; slot++)
        if (teklink_rxpool[slot].msg)
            slot_free(slot);
    rxpool_top = 0;
    rxpool_used = 0;
    std::fill_n(chip_used, OLT_COUNT, 0);
}

int teklink_rxpool_used() { return rxpool_used.load(std::memory_order_relaxed); }

unsigned teklink_rx_share_drops()
{
    unsigned long drops = 0;
    for (const auto &count : teklink_counters)
        drops += count.dropped_pool_share.load(std::memory_order_relaxed);
    return unsigned(drops);
}
