// Service paths: destinations with their links and rules, learning,
// static clients and subscriber identifiers; the learned-address look-ups.
#include "onu/profiler_path.h"

#include "chip/tekrequest.h"
#include "onu/profiler_onu.h"
#include "onu/subscriber_ids.h"

#include "base/bytes.h"
#include "engine/profiler_cache.h"
#include "engine/profiler_olt.h"
#include "platform/log.h"
#include "platform/textconv.h"
#include "store/datastruct.h"
#include "wire/tekmsg.h"

#include <syslog.h>

#include <cstring>
#include <vector>

const uint8_t destination_tail[25] = {0x0A, 0x02, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00, 0x03, 0x02, 0x00, 0x00, 0x01,
                                      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07};

namespace {

constexpr size_t UNI_BLOCK[PATH_COUNT] = {ONU_BLOCK_UNI0, ONU_BLOCK_UNI1};
constexpr int PATH_STATIC_LINK[PATH_COUNT] = {0, 2};   // the link whose MAC the static entries carry
constexpr size_t LEARNED_COUNT = 2;                     // answer offsets after RCODE
constexpr size_t LEARNED_FIRST = 4;

// The links of path `p` in link index order; their number. Only the ONU's
// links count: a profile written for four links would otherwise name link
// records an ONU of fewer links does not use, and fail its every path.
int path_links(const onu_record *onu, const uint8_t *profile, int p, int links[ONU_LINKS])
{
    int n = 0;
    int count = onu->link_count < ONU_LINKS ? onu->link_count : ONU_LINKS;
    for (int k = 0; k < count; k++)
        if (profile[PATHS_LINK_PATH + PATHS_LINK_STRIDE * size_t(k)] == p)
            links[n++] = k;
    return n;
}

// The configuration's static client list of UNI `p`.
const uint8_t *static_clients(const onu_record *onu, int p) { return onu->cfg_block + UNI_BLOCK[p] + UNI_STATIC_CLIENTS; }

} // namespace

uint16_t destination_index(uint16_t path) { return uint16_t((path - OLT_PATH_ID_BASE) / 2 + DEST_INDEX_BASE); }

// ---- payload builders -------------------------------------------------------------

void dest_learning_payload(uint16_t dest, uint8_t limit, uint8_t out[LEARNING_LEN])
{
    store_be16(out, dest);
    out[2] = 0;
    out[3] = 0;
    out[4] = limit == 0 ? 0x20 : 0x00;
    out[5] = limit;
    out[6] = 0;
    out[7] = 4;
}

size_t static_clients_payload(uint16_t dest, const uint8_t link_mac[6], const uint8_t *list, uint8_t *out,
                              size_t capacity)
{
    uint32_t count = load_le32(list);
    if (count > STATIC_CLIENTS_MAX)
        count = STATIC_CLIENTS_MAX;
    size_t n = 2;
    uint16_t entries = 0;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *e = list + 4 + STATIC_CLIENT_SIZE * i;
        if (e[0] != 1)
            continue;
        if (n + STATIC_ENTRY_SIZE > capacity)
            break;
        uint8_t *p = out + n;
        store_be16(p, dest);
        memcpy(p + 2, e + 7, 4);
        memcpy(p + 6, e + 1, 6);
        memcpy(p + 12, link_mac, 6);
        memcpy(p + 18, e + 1, 6);
        memset(p + 24, 0, 8);
        n += STATIC_ENTRY_SIZE;
        entries++;
    }
    if (entries == 0)
        return 0;
    store_be16(out, entries);
    return n;
}

int dest_prepare_rules(uint8_t slots[PATH_RULE_SLOTS][RULE_SLOT_SIZE], const int *links, int link_count,
                       int owner[PATH_RULE_SLOTS])
{
    for (int s = 0; s < PATH_RULE_SLOTS; s++) {
        owner[s] = -1;
        uint8_t *slot = slots[s];
        if (slot[0] == 0)
            continue;
        int position = 0;
        int conditions = slot[2] < RULE_MAX_CONDITIONS ? slot[2] : RULE_MAX_CONDITIONS;
        for (int c = 0; c < conditions; c++) {
            uint8_t *condition = slot + RULE_SLOT_CONDITIONS + RULE_CONDITION_SIZE * size_t(c);
            if (condition[0] != RULE_FIELD_LINK)
                continue;
            uint16_t link;
            memcpy(&link, condition + 3, 2);
            int found = -1;
            for (int i = 0; i < link_count; i++)
                if (links[i] == link)
                    found = i;
            if (found < 0)
                return -(int(link) + 1);
            uint16_t rewritten = uint16_t(found);
            memcpy(condition + 3, &rewritten, 2);
            position = found;
        }
        owner[s] = position;
    }
    return 0;
}

// ---- destinations --------------------------------------------------------------------

int profiler_onu_destination_create_internal(onu_record *onu, int p, const uint8_t *profile, uint16_t *dest)
{
    static const char *const function = "profiler_onu_destination_create_internal";
    char mac[18];
    convert_to_mac(mac, onu->mac);
    int links[ONU_LINKS];
    int count = path_links(onu, profile, p, links);
    link_record *records[ONU_LINKS];
    for (int i = 0; i < count; i++) {
        uint8_t link_mac[6];
        mac_add(link_mac, onu->mac, uint32_t(links[i]));
        records[i] = onu_find_link(onu, link_mac);
        if (!records[i])
            return TEK_RC_REFUSED;
    }
    uint8_t slots[PATH_RULE_SLOTS][RULE_SLOT_SIZE];
    memcpy(slots, profile + PATHS_RULES + PATHS_RULES_STRIDE * size_t(p), sizeof slots);
    int owner[PATH_RULE_SLOTS];
    int bad = dest_prepare_rules(slots, links, count, owner);
    if (bad != 0) {
        syslog(LOG_INFO, "%s: ONU %s prepare rules for path[%d] failed(%d)", function, mac, p, -bad - 1);
        trace("%s: ONU %s prepare rules for path[%d] failed(%d)\n", function, mac, p, -bad - 1);
        return TEK_RC_REFUSED;
    }
    *dest = destination_index(records[0]->path_id);

    std::vector<uint8_t> payload(5 + size_t(count) * (DEST_LINK_FIXED + PATH_RULE_SLOTS * RULE_ENCODED_MAX));
    uint8_t *w = payload.data();
    store_be16(w, *dest);
    w[2] = 4;
    w[3] = 1;
    w[4] = uint8_t(count);
    w += 5;
    for (int i = 0; i < count; i++) {
        memcpy(w, records[i]->mac, 6);
        memset(w + 6, 0, 8);
        w[14] = 0x30;
        w[15] = 0x01;
        store_be16(w + 16, records[i]->path_id);
        w[18] = 0x10;
        uint8_t *rule_count = w + 19;
        *rule_count = 0;
        w += 20;
        for (int s = 0; s < PATH_RULE_SLOTS; s++) {
            if (owner[s] != i)
                continue;
            (*rule_count)++;
            w += rule_encode(slots[s], w);
        }
        w[0] = 0x10;
        w[1] = 0x01;
        memcpy(w + 2, destination_tail, sizeof destination_tail);
        w += 2 + sizeof destination_tail;
        records[i]->dest_index = *dest;
    }
    size_t len = size_t(w - payload.data());
    uint16_t rcode = 0;
    int rc = tekrequest_result(onu->olt, TEK_REQ_DEST_CREATE, payload.data(), len, TEKREQUEST_TIMEOUT, &rcode);
    if (rc < 0 || rc == TEK_RC_NO_MEMORY) {
        syslog(LOG_INFO, "%s: ONU %s create destination for path[%d] failed(%d)", function, mac, p, rc);
        trace("%s: teklink_message_send ONU %s create destination for path[%d] failed(%d)\n", function, mac, p, rc);
        return rc;
    }
    if (rc == TEK_RC_REFUSED)
        trace("%s: ONU %s create destination for path[%d] failed(response->header.rcode %d)\n", function, mac, p,
              int(rcode));
    return rc;
}

int profiler_onu_destination_delete_internal(onu_record *onu, uint16_t dest)
{
    static const char *const function = "profiler_onu_destination_delete_internal";
    char mac[18];
    convert_to_mac(mac, onu->mac);
    uint8_t payload[2];
    store_be16(payload, dest);
    uint16_t rcode = 0;
    int rc = tekrequest_result(onu->olt, TEK_REQ_DEST_DELETE, payload, 2, TEKREQUEST_TIMEOUT, &rcode);
    if (rc == TEK_RC_REFUSED)
        trace("%s: %s delete destination[%d] failed (response->header.rcode %d)\n", function, mac, int(dest),
              int(rcode));
    else if (rc != 0)
        trace("%s: %s delete destination[%d] failed\n", function, mac, int(dest));
    else
        trace("%s: %s delete destination[%d] OK\n", function, mac, int(dest));
    return rc;
}

int profiler_onu_path_olt_learning_internal(onu_record *onu, uint16_t dest, bool, uint8_t limit)
{
    uint8_t payload[LEARNING_LEN];
    dest_learning_payload(dest, limit, payload);
    return tekrequest_result(onu->olt, TEK_REQ_DEST_LEARNING, payload, sizeof payload);
}

int profiler_onu_path_static_entry_internal(uint16_t dest, int, int olt, const uint8_t link_mac[6],
                                            const uint8_t *clients)
{
    constexpr int NONE_USED = 5;
    std::vector<uint8_t> payload(2 + STATIC_ENTRY_SIZE * STATIC_CLIENTS_MAX);
    size_t len = static_clients_payload(dest, link_mac, clients, payload.data(), payload.size());
    if (len == 0)
        return NONE_USED;
    int rc = tekrequest_result(olt, TEK_REQ_DEST_STATIC_CLIENTS, payload.data(), len);
    if (rc == TEK_RC_NO_MEMORY)
        return rc;
    if (rc < 0)
        syslog(LOG_ERR, "%s: add static IPv4 client's entries for destination failed\n", __func__);
    return rc == 0 ? 0 : TEK_RC_REFUSED;
}

int profiler_onu_path_internal(onu_record *onu, int p, const uint8_t *profile, bool learning, uint8_t limit,
                               const uint8_t *clients)
{
    static const char *const function = "profiler_onu_path_internal";
    char mac[18];
    convert_to_mac(mac, onu->mac);
    onu->uni_path[p] = 0;
    int links[ONU_LINKS];
    if (path_links(onu, profile, p, links) == 0)
        return 0;

    uint16_t dest = 0;
    int rc = 0;
    for (int attempt = 0; attempt < DEST_CREATE_ATTEMPTS; attempt++) {
        if (attempt > 0)
            profiler_onu_destination_delete_internal(onu, dest);
        rc = profiler_onu_destination_create_internal(onu, p, profile, &dest);
        if (rc == 0)
            break;
    }
    if (rc != 0) {
        syslog(LOG_ERR, "%s: create ONT %s (desc: %s) path %d failed", function, mac, onu->description, p);
        trace("%s: create ONT %s (desc: %s) path %d failed\n", function, mac, onu->description, p);
        syslog(LOG_ERR, "%s: critical error occurred in FW. You have to reconfigure OLT%d", function, int(onu->olt));
        return rc;
    }
    onu->uni_path[p] = dest;

    rc = profiler_onu_path_olt_learning_internal(onu, dest, learning, limit);
    if (rc != 0) {
        syslog(LOG_INFO, "%s: set OLT learning for ONT %s (desc: %s) path %d failed", function, mac, onu->description, p);
        trace("%s: set OLT learning for ONT %s (desc: %s) path %d failed", function, mac, onu->description, p);
        return rc;
    }

    olt_lock(onu->olt);
    uint8_t opt82 = profiler_olt_option82_format(olt_get(onu->olt));
    uint8_t pppoe = profiler_olt_pppoe_format(olt_get(onu->olt));
    olt_unlock(onu->olt);
    const crid_pair *templates = subscriber_ids_templates(onu->olt);
    const uint8_t *system = cfgcache()->system;
    char host[257] = {};
    memcpy(host, system + SYSTEM_HOSTNAME, 256);
    subscriber_path sp{};
    sp.dest_index = dest;
    sp.port_index = uint8_t(onu_port_index(onu));
    sp.ont_number = onu->ont_id;
    sp.path_index = uint8_t(p);
    sp.system_word = load_le32(system);
    sp.host_name = host;
    memcpy(sp.onu_mac, onu->mac, 6);
    rc = profiler_onu_path_opt82(onu->olt, opt82, &sp);
    if (rc != 0) {
        syslog(LOG_INFO, "%s: set DHCP option 82 for ONT %s (desc: %s) path %d failed", function, mac, onu->description,
               p);
        trace("%s: set DHCP option 82 for ONT %s (desc: %s) path %d failed", function, mac, onu->description, p);
        return rc;
    }

    rc = profiler_onu_path_static_entry_internal(dest, p, onu->olt, onu->links[PATH_STATIC_LINK[p]].mac, clients);
    if (rc == TEK_RC_REFUSED) {
        syslog(LOG_INFO, "%s: add static client's entries for ONT %s (desc: %s) UNI%d failed", function, mac,
               onu->description, p);
        trace("%s: add static client's entries for ONT %s (desc: %s) UNI%d failed", function, mac, onu->description, p);
    } else if (rc == 0) {
        syslog(LOG_INFO, "%s: static client's entries for ONT %s (desc: %s) UNI%d added", function, mac,
               onu->description, p);
    }

    rc = profiler_onu_path_pppoe_tag(onu->olt, pppoe, &sp, templates);
    if (rc != 0) {
        syslog(LOG_INFO, "%s: set PPPoE+ tag for ONT %s (desc: %s) path %d failed", function, mac, onu->description, p);
        trace("%s: set PPPoE+ tag for ONT %s (desc: %s) path %d failed", function, mac, onu->description, p);
    }
    return rc;
}

int profiler_paths_reconfigure_internal(onu_record *onu)
{
    std::vector<uint8_t> profile(PROFILE_PATHS_SIZE);
    uint8_t index = onu->profiles[ONU_PROFILE_PATHS];
    if (index < PROFILE_ENTRIES)
        memcpy(profile.data(), cfgcache()->paths[index], PROFILE_PATHS_SIZE);
    profiler_onu_update_timestamp_internal(onu);
    if (onu->olt >= OLT_COUNT)
        return 2;
    if (onu->cfg_flags & ONU_CFG_PATHS_DONE) {
        char mac[18];
        convert_to_mac(mac, onu->mac);
        trace(" ===== %s: ONT %s already configured\n", __func__, mac);
        return TEK_RC_REFUSED;
    }
    int rc = 0;
    for (int p = 0; p < PATH_COUNT && rc == 0; p++)
        rc = profiler_onu_path_internal(onu, p, profile.data(), true, onu->cfg_block[UNI_BLOCK[p] + UNI_LEARNING_LIMIT],
                                        static_clients(onu, p));
    onu_summary_set_uni_paths(onu);
    onu->cfg_flags |= ONU_CFG_PATHS_DONE;
    return rc;
}

// ---- learned addresses -----------------------------------------------------------------

namespace {

// The count an answer claims, cut to the entries of `entry` bytes it holds.
int held_entries(const uint8_t *answer, size_t size, size_t entry)
{
    int claimed = size >= LEARNED_FIRST ? load_be16(answer + LEARNED_COUNT) : 0;
    int held = size > LEARNED_FIRST ? int((size - LEARNED_FIRST) / entry) : 0;
    return claimed < held ? claimed : held;
}

// Reads the answer of a per-destination request and hands it to `decode`.
template <typename Decode> int destination_read(int olt, uint16_t id, uint16_t dest, int *count, Decode decode)
{
    *count = 0;
    uint8_t payload[2];
    store_be16(payload, dest);
    return tekrequest_read(olt, id, payload, 2, TEKREQUEST_TIMEOUT, [&](const uint8_t *response) {
        if (tekmsg_rcode(response) != TEKLINK_RCODE_OK)
            return int(TEK_RC_REFUSED);
        *count = decode(response + TEKLINK_MSG_SEQN, tekrequest_answer_size(response));
        return 0;
    });
}

} // namespace

int learned_macs_decode(const uint8_t *answer, size_t size, uint8_t *out, int max)
{
    // The chip may report thousands: the copy is bounded by what the answer
    // holds and by the caller's room.
    int n = held_entries(answer, size, 6);
    if (n > max)
        n = max;
    if (n > 0)
        memcpy(out, answer + LEARNED_FIRST, size_t(n) * 6);
    return n > 0 ? n : 0;
}

int address_entries_decode(const uint8_t *answer, size_t size, uint8_t out[ADDRESS_ENTRIES_KEPT * ADDRESS_ENTRY_SIZE])
{
    int n = held_entries(answer, size, ADDRESS_ENTRY_SIZE);
    if (n > ADDRESS_ENTRIES_KEPT)
        n = ADDRESS_ENTRIES_KEPT;
    for (int i = 0; i < n; i++) {
        uint8_t *e = out + ADDRESS_ENTRY_SIZE * size_t(i);
        memcpy(e, answer + LEARNED_FIRST + ADDRESS_ENTRY_SIZE * size_t(i), ADDRESS_ENTRY_SIZE);
        uint16_t host = load_be16(e + 6);
        memcpy(e + 6, &host, 2);
    }
    return n > 0 ? n : 0;
}

int profiler_dest_learned_macs(int olt, uint16_t dest, uint8_t *out, int max, int *count)
{
    return destination_read(olt, TEK_REQ_DEST_LEARNED_MACS, dest, count, [&](const uint8_t *answer, size_t size) {
        return learned_macs_decode(answer, size, out, max);
    });
}

int profiler_dest_address_entries(int olt, uint16_t dest, uint8_t *out, int *count)
{
    return destination_read(olt, TEK_REQ_DEST_ADDRESS_ENTRIES, dest, count, [&](const uint8_t *answer, size_t size) {
        return address_entries_decode(answer, size, out);
    });
}

namespace {

// Visits the ONUs in state OK on `olt` (and `port` when below 2), or the
// one ONU of `onu_mac`, each under its lock, with its service paths.
template <typename Visit> void for_each_ok_onu(int olt, int port, const uint8_t *onu_mac, Visit visit)
{
    for (int i = 0; i < ONU_COUNT; i++) {
        onu_record *onu = onu_at(i);
        onu_lock(onu);
        bool wanted = onu->state == ONU_STATE_OK &&
                      (onu_mac ? memcmp(onu->mac, onu_mac, 6) == 0
                               : onu->olt == olt && (port >= 2 || onu->port == port));
        bool stop = wanted && !visit(onu);
        onu_unlock(onu);
        if (stop)
            return;
    }
}

void put_record_head(uint8_t *p, const onu_record *onu, int path, int n)
{
    store_le32(p, onu->ont_id);
    memcpy(p + 4, onu->mac, 6);
    store_le32(p + 10, onu->state);
    p[14] = onu->olt;
    p[15] = onu->port;
    p[16] = uint8_t(path + 1);
    p[17] = uint8_t(n);
}

} // namespace

int profiler_find_by_learned_mac(int olt, int port, const uint8_t mac[6], uint8_t onu_mac[6], int *path)
{
    std::vector<uint8_t> macs;
    try {
        macs.resize(size_t(LEARNED_MACS_MAX) * 6);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    int result = CFG_RC_NOT_FOUND;
    for_each_ok_onu(olt, port, nullptr, [&](onu_record *onu) {
        for (int p = 0; p < PATH_COUNT; p++) {
            if (onu->uni_path[p] == 0)
                continue;
            int n = 0;
            if (profiler_dest_learned_macs(onu->olt, onu->uni_path[p], macs.data(), LEARNED_MACS_MAX, &n) != 0)
                continue;
            for (int i = 0; i < n; i++)
                if (memcmp(&macs[6 * size_t(i)], mac, 6) == 0) {
                    memcpy(onu_mac, onu->mac, 6);
                    *path = p + 1;
                    result = 0;
                    return false;
                }
        }
        return true;
    });
    return result;
}

int profiler_learned_mac_list(int olt, int port, const uint8_t *onu_mac, uint8_t *out, size_t capacity, size_t *length)
{
    std::vector<uint8_t> macs(size_t(LEARNED_MACS_MAX) * 6);
    int records = 0;
    size_t used = 0;
    for_each_ok_onu(olt, port, onu_mac, [&](onu_record *onu) {
        for (int p = 0; p < PATH_COUNT; p++) {
            int n = 0;
            if (onu->uni_path[p] == 0 ||
                profiler_dest_learned_macs(onu->olt, onu->uni_path[p], macs.data(), LEARNED_MACS_MAX, &n) != 0 ||
                n == 0)
                continue;
            // A record keeps at most 255 MACs (its count is one byte). The
            // listing ends before a record that would not fit whole: a
            // shortened one would pass a path's list off as complete.
            if (n > 255)
                n = 255;
            size_t size = LOOKUP_RECORD_HEAD + size_t(n) * 6;
            if (used + size > capacity)
                return false;
            put_record_head(out + used, onu, p, n);
            memcpy(out + used + LOOKUP_RECORD_HEAD, macs.data(), size_t(n) * 6);
            used += size;
            records++;
        }
        return true;
    });
    *length = used;
    return records;
}

int profiler_address_entry_list(int olt, int port, uint8_t *out, size_t capacity, size_t *length)
{
    uint8_t entries[ADDRESS_ENTRIES_KEPT * ADDRESS_ENTRY_SIZE];
    int records = 0;
    size_t used = 0;
    for_each_ok_onu(olt, port, nullptr, [&](onu_record *onu) {
        for (int p = 0; p < PATH_COUNT; p++) {
            int n = 0;
            if (onu->uni_path[p] == 0 || profiler_dest_address_entries(onu->olt, onu->uni_path[p], entries, &n) != 0 ||
                n == 0)
                continue;
            size_t size = LOOKUP_RECORD_HEAD + size_t(n) * ADDRESS_ENTRY_SIZE;
            if (used + size > capacity)
                return false;
            put_record_head(out + used, onu, p, n);
            memcpy(out + used + LOOKUP_RECORD_HEAD, entries, size_t(n) * ADDRESS_ENTRY_SIZE);
            used += size;
            records++;
        }
        return true;
    });
    *length = used;
    return records;
}
