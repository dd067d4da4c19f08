#include "store/datastruct.h"

#include "base/balloc.h"
#include "base/bytes.h"
#include "mgmt/kernlink.h"
#include "wire/kernmsg.h"
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/threads.h"
#include "platform/textconv.h"

#include <pthread.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "records are sent in host order");

#define CHECK_FIELD(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)
CHECK_FIELD(olt_port, status, 64);
CHECK_FIELD(olt_port, sfp_vendor, 72);
CHECK_FIELD(olt_port, sfp_part, 88);
CHECK_FIELD(olt_port, base_llid, 104);
static_assert(sizeof(olt_port) == 106);
CHECK_FIELD(olt_record, mac, 1);
CHECK_FIELD(olt_record, fw_version, 7);
CHECK_FIELD(olt_record, ports, 9);
CHECK_FIELD(olt_record, onus_total, 433);
CHECK_FIELD(olt_record, onus_on_port, 435);
CHECK_FIELD(olt_record, onus_first_group, 439);
CHECK_FIELD(olt_record, onus_second_group, 443);
CHECK_FIELD(olt_record, config_state, 447);
CHECK_FIELD(olt_record, missed_pings, 1314);
CHECK_FIELD(olt_record, state, 1315);
CHECK_FIELD(olt_record, state_time, 1319);
CHECK_FIELD(olt_record, status, 1323);
CHECK_FIELD(olt_record, path_slots, 1331);
CHECK_FIELD(olt_record, unused1, 5427);
CHECK_FIELD(olt_record, onus_ok, 5428);
CHECK_FIELD(olt_record, unused2, 5432);
static_assert(sizeof(olt_record) == OLT_RECORD_SIZE);
CHECK_FIELD(uni_port, status, 64);
CHECK_FIELD(uni_port, blocked, 72);
CHECK_FIELD(uni_port, blocked_time, 73);
CHECK_FIELD(uni_port, learned_macs, 77);
static_assert(sizeof(uni_port) == 461);
CHECK_FIELD(link_record, llid, 6);
CHECK_FIELD(link_record, path_id, 8);
CHECK_FIELD(link_record, dest_index, 10);
CHECK_FIELD(link_record, index, 12);
CHECK_FIELD(link_record, state, 14);
CHECK_FIELD(link_record, state_time, 18);
static_assert(sizeof(link_record) == 22);
CHECK_FIELD(onu_record, description, 4);
CHECK_FIELD(onu_record, type, 260);
CHECK_FIELD(onu_record, hardware, 261);
CHECK_FIELD(onu_record, chip_id, 262);
CHECK_FIELD(onu_record, fw_version, 264);
CHECK_FIELD(onu_record, mac, 266);
CHECK_FIELD(onu_record, olt, 272);
CHECK_FIELD(onu_record, port, 273);
CHECK_FIELD(onu_record, configured_port, 274);
CHECK_FIELD(onu_record, info, 275);
CHECK_FIELD(onu_record, secret, 339);
CHECK_FIELD(onu_record, unused1, 387);
CHECK_FIELD(onu_record, auth, 396);
CHECK_FIELD(onu_record, triplexer, 412);
CHECK_FIELD(onu_record, uni, 428);
CHECK_FIELD(onu_record, links, 2272);
CHECK_FIELD(onu_record, uni_path, 2360);
CHECK_FIELD(onu_record, state, 2364);
CHECK_FIELD(onu_record, last_activity, 2368);
CHECK_FIELD(onu_record, drssi, 2372);
CHECK_FIELD(onu_record, drssi_accepted, 2374);
CHECK_FIELD(onu_record, drssi_jumps, 2376);
CHECK_FIELD(onu_record, video_power, 2378);
CHECK_FIELD(onu_record, discovered_links, 2380);
CHECK_FIELD(onu_record, unused2, 2381);
CHECK_FIELD(onu_record, cfg_flags, 2384);
CHECK_FIELD(onu_record, ok_time, 2388);
CHECK_FIELD(onu_record, accounting, 2392);
CHECK_FIELD(onu_record, unused3, 2396);
CHECK_FIELD(onu_record, profiles, 2400);
CHECK_FIELD(onu_record, cfg_bytes, 2405);
CHECK_FIELD(onu_record, cfg_block, 2409);
CHECK_FIELD(onu_record, link_count, 18468);
CHECK_FIELD(onu_record, cfg_tail, 18469);
CHECK_FIELD(onu_record, unused4, 18473);
static_assert(sizeof(onu_record) == ONU_RECORD_SIZE);
CHECK_FIELD(onu_summary, type, 4);
CHECK_FIELD(onu_summary, hardware, 5);
CHECK_FIELD(onu_summary, mac, 6);
CHECK_FIELD(onu_summary, olt, 12);
CHECK_FIELD(onu_summary, port, 13);
CHECK_FIELD(onu_summary, state, 14);
CHECK_FIELD(onu_summary, drssi, 18);
CHECK_FIELD(onu_summary, video_power, 20);
CHECK_FIELD(onu_summary, fw_version, 22);
CHECK_FIELD(onu_summary, transceiver, 24);
CHECK_FIELD(onu_summary, uni_blocked, 25);
CHECK_FIELD(onu_summary, discovered_links, 26);
CHECK_FIELD(onu_summary, uni_path, 27);
CHECK_FIELD(onu_summary, info, 31);
CHECK_FIELD(onu_summary, zero, 95);
static_assert(sizeof(onu_summary) == ONU_SUMMARY_SIZE);
#undef CHECK_FIELD

datastruct_hook_table datastruct_hooks;

namespace {

constexpr uint16_t CMD_ONU_DESCRIPTION = 0x2010;
constexpr int DESCRIPTION_TIMEOUT = 3;
constexpr uint8_t RCODE_NOT_CONFIGURED = 8;
constexpr uint32_t DRSSI_JUMP_PERCENT = 30;
constexpr uint16_t DRSSI_JUMPS_BEFORE_BELIEF = 3;   // the fifth consecutive jump is accepted

struct olt_slot {
    olt_record rec;
    pthread_mutex_t lock;
    uint16_t base_llid[2];
    // A copy of rec.state that the chip link reads without the lock: it asks
    // for the state on every transmission, also while the firmware check
    // holds the OLT across its image upgrades.
    uint32_t state_word;
};
struct onu_slot {
    onu_record rec;            // first member: a record pointer is its slot's
    pthread_mutex_t lock;
    // The record's MAC as the locked look-up may read it without the lock:
    // the six bytes and bit 48 while the record is not FREE, else 0. Written
    // under the lock by every state change; the MAC of a record that is not
    // FREE never changes.
    uint64_t key;
};
struct summary_slot {
    onu_summary sum;
    pthread_mutex_t lock;
};

olt_slot *olt_table;
onu_slot *onu_table;
summary_slot *summary_table;
pthread_mutex_t change_counter_lock = PTHREAD_MUTEX_INITIALIZER;
uint32_t change_counter;

const char *const state_names[16] = {
    "FREE", "ALLOCATED", "AUTHINPROGRESS", "CFGINPROGRESS", "AUTHFAILED", "CFGFAILED",
    "REPORTTIMEOUT", "OK", "AUTHOK", "RESETINPROGRESS", "RESETOK", "DISCOVERED",
    "BLOCKED", "RESETFWUPGRADE", "UNCONFIGURED", "UNKNOWN",
};
constexpr uint32_t REPORT_NAMED_STATES = ONU_STATE_BLOCKED + 1;

onu_slot *slot_of(const onu_record *onu)
{
    auto offset = reinterpret_cast<const uint8_t *>(onu) - reinterpret_cast<const uint8_t *>(onu_table);
    return &onu_table[size_t(offset) / sizeof(onu_slot)];
}

summary_slot *summary_of(const onu_record *onu) { return &summary_table[onu_index(onu)]; }

bool valid_olt(int olt) { return olt_table && olt >= 0 && olt < OLT_COUNT; }

// The state word, then the uptime second, then the lock-free copy. The
// caller holds the OLT (or is start-up, alone).
void write_olt_state(olt_slot &slot, uint32_t state)
{
    slot.rec.state = state;
    slot.rec.state_time = uptime_seconds();
    __atomic_store_n(&slot.state_word, state, __ATOMIC_RELEASE);
}

int onu_table_init()
{
    onu_table = static_cast<onu_slot *>(calloc(ONU_COUNT, sizeof(onu_slot)));
    if (!onu_table)
        return -1;
    for (int i = 0; i < ONU_COUNT; i++)
        pthread_mutex_init(&onu_table[i].lock, nullptr);
    lock_timed(&change_counter_lock);
    change_counter = 0;
    pthread_mutex_unlock(&change_counter_lock);
    return 0;
}

int summary_table_init()
{
    summary_table = static_cast<summary_slot *>(calloc(ONU_COUNT, sizeof(summary_slot)));
    if (!summary_table)
        return -1;
    for (int i = 0; i < ONU_COUNT; i++)
        pthread_mutex_init(&summary_table[i].lock, nullptr);
    return 0;
}

bool same_mac(const uint8_t *a, const uint8_t *b) { return memcmp(a, b, 6) == 0; }

uint64_t mac_key(const uint8_t mac[6])
{
    uint64_t key = uint64_t(1) << 48;
    for (int i = 0; i < 6; i++)
        key |= uint64_t(mac[i]) << (8 * i);
    return key;
}

void publish_key(onu_record *onu)
{
    uint64_t key = onu->state != ONU_STATE_FREE ? mac_key(onu->mac) : 0;
    __atomic_store_n(&slot_of(onu)->key, key, __ATOMIC_RELEASE);
}

// The state notification's text, as the management process parses it.
void state_change_text(const onu_record *onu, uint32_t state, char *text, size_t size, uint32_t *port_out)
{
    char mac[18];
    convert_to_mac(mac, onu->mac);
    uint32_t port = uint32_t(onu->olt) * 2 + onu->port;
    char port_text[12] = "x";
    if (port < 8)
        snprintf(port_text, sizeof port_text, "%u", port);
    else
        port = PORT_NONE;
    char id_text[12] = "x";
    if (onu->ont_id != 0)
        snprintf(id_text, sizeof id_text, "%u", unsigned(onu->ont_id));
    char version[24] = "x.x";
    if (onu->fw_version != 0) {
        if (onu->chip_id[0] == 0x86 && onu->chip_id[1] == 0x00)
            snprintf(version, sizeof version, "%.15s", reinterpret_cast<const char *>(onu->info + 1));
        else
            snprintf(version, sizeof version, "%2X.%02X", onu->fw_version >> 8, onu->fw_version & 0xFF);
    }
    snprintf(text, size, "%s %s %s %s \"%s\" \"%s\"", mac, port_text, id_text, onu_state_report_name(state),
             version, ont_model_name(onu->type));
    *port_out = port;
}

void release_record(onu_record *onu)
{
    onu_set_state(onu, ONU_STATE_FREE);
    memset(onu, 0, sizeof *onu);
}

} // namespace

// ---- start-up -------------------------------------------------------------

int olt_init()
{
    board_device board;
    bool have_board = board_open(&board) == 0;
    usleep(1000);
    olt_table = static_cast<olt_slot *>(calloc(OLT_COUNT, sizeof(olt_slot)));
    if (!olt_table) {
        board_close(&board);
        return -1;
    }
    for (int i = 0; i < OLT_COUNT; i++) {
        olt_slot &slot = olt_table[i];
        slot.rec.onus_ok = -1;
        pthread_mutex_init(&slot.lock, nullptr);
        if (have_board)
            board_reset(&board, uint8_t(i));
        write_olt_state(slot, ONU_STATE_RESETINPROGRESS);
        for (int port = 0; port < 2; port++) {
            strcpy(slot.rec.ports[port].sfp_vendor, "--");
            strcpy(slot.rec.ports[port].sfp_part, "--");
        }
        trace("%s: OLT[%d] in RESETINPROGRESS state\n", "olt_init", i);
    }
    board_close(&board);
    return 0;
}

int datastruct_init()
{
    int result = olt_init();
    result |= onu_table_init();
    result |= summary_table_init();
    return result ? -1 : 0;
}

void datastruct_close()
{
    if (olt_table)
        for (int i = 0; i < OLT_COUNT; i++)
            pthread_mutex_destroy(&olt_table[i].lock);
    if (onu_table)
        for (int i = 0; i < ONU_COUNT; i++)
            pthread_mutex_destroy(&onu_table[i].lock);
    if (summary_table)
        for (int i = 0; i < ONU_COUNT; i++)
            pthread_mutex_destroy(&summary_table[i].lock);
    free(olt_table);
    free(onu_table);
    free(summary_table);
    olt_table = nullptr;
    onu_table = nullptr;
    summary_table = nullptr;
}

// ---- OLTs -------------------------------------------------------------------

olt_record *olt_get(int olt) { return valid_olt(olt) ? &olt_table[olt].rec : nullptr; }
void olt_lock(int olt) { lock_timed(&olt_table[olt].lock); }
void olt_unlock(int olt) { pthread_mutex_unlock(&olt_table[olt].lock); }

uint32_t olt_get_state(int olt)
{
    if (!valid_olt(olt))
        return ONU_STATE_UNKNOWN;
    return __atomic_load_n(&olt_table[olt].state_word, __ATOMIC_ACQUIRE);
}

void olt_set_state(int olt, uint32_t state)
{
    if (!valid_olt(olt))
        return;
    olt_lock(olt);
    write_olt_state(olt_table[olt], state);
    olt_unlock(olt);
}

void olt_set_state_locked(int olt, uint32_t state)
{
    if (valid_olt(olt))
        write_olt_state(olt_table[olt], state);
}

uint16_t olt_base_llid_get(int olt, int port)
{
    if (!valid_olt(olt) || port < 0 || port > 1)
        return 0;
    olt_lock(olt);
    uint16_t llid = olt_table[olt].base_llid[port];
    olt_unlock(olt);
    return llid;
}

void olt_base_llid_set(int olt, int port, uint16_t llid)
{
    if (!valid_olt(olt) || port < 0 || port > 1)
        return;
    olt_lock(olt);
    olt_table[olt].base_llid[port] = llid;
    olt_unlock(olt);
}

int olt_path_id_alloc(int olt)
{
    if (!valid_olt(olt))
        return -1;
    olt_lock(olt);
    uint8_t *slots = olt_table[olt].rec.path_slots;
    int id = -1;
    for (int slot = 0; slot < OLT_PATH_SLOTS; slot++) {
        if (slots[slot] == 0) {
            slots[slot] = 1;
            id = OLT_PATH_ID_BASE + 2 * slot;
            break;
        }
    }
    olt_unlock(olt);
    return id;
}

int olt_path_id_free(int olt, int id)
{
    if (!valid_olt(olt) || id < OLT_PATH_ID_BASE)
        return -1;
    int slot = (id - OLT_PATH_ID_BASE) / 2;
    if (slot >= OLT_PATH_SLOTS)
        return -1;
    olt_lock(olt);
    uint8_t *slots = olt_table[olt].rec.path_slots;
    int result = -1;
    if (slots[slot] == 1) {
        slots[slot] = 0;
        result = 0;
    }
    olt_unlock(olt);
    return result;
}

// ---- ONU records --------------------------------------------------------------

onu_record *onu_at(int index)
{
    return onu_table && index >= 0 && index < ONU_COUNT ? &onu_table[index].rec : nullptr;
}

int onu_index(const onu_record *onu) { return int(slot_of(onu) - onu_table); }
void onu_lock(onu_record *onu) { lock_timed(&slot_of(onu)->lock); }
void onu_unlock(onu_record *onu) { pthread_mutex_unlock(&slot_of(onu)->lock); }

onu_record *onu_get_by_mac(const uint8_t mac[6])
{
    for (int i = 0; i < ONU_COUNT; i++) {
        onu_slot &slot = onu_table[i];
        lock_timed(&slot.lock);
        bool match = slot.rec.state != ONU_STATE_FREE && same_mac(slot.rec.mac, mac);
        pthread_mutex_unlock(&slot.lock);
        if (match)
            return &slot.rec;
    }
    return nullptr;
}

// One pass. A slot that is free to take is checked under its lock; a busy
// one only when its published MAC is the one looked for, and then it is
// waited for: a record held elsewhere for seconds (an accounting sweep, a
// queue rewrite) holds up only the look-ups of its own MAC.
onu_record *onu_get_by_mac_locked(const uint8_t mac[6])
{
    const uint64_t wanted = mac_key(mac);
    for (int i = 0; i < ONU_COUNT; i++) {
        onu_slot &slot = onu_table[i];
        if (pthread_mutex_trylock(&slot.lock) != 0) {
            if (__atomic_load_n(&slot.key, __ATOMIC_ACQUIRE) != wanted)
                continue;
            lock_timed(&slot.lock);
        }
        if (slot.rec.state != ONU_STATE_FREE && same_mac(slot.rec.mac, mac))
            return &slot.rec;
        pthread_mutex_unlock(&slot.lock);
    }
    return nullptr;
}

link_record *onu_find_link(onu_record *onu, const uint8_t mac[6])
{
    int count = onu->link_count < ONU_LINKS ? onu->link_count : ONU_LINKS;
    for (int i = 0; i < count; i++)
        if (onu->links[i].state != 0 && same_mac(onu->links[i].mac, mac))
            return &onu->links[i];
    return nullptr;
}

onu_record *onu_get_by_link_mac(const uint8_t mac[6])
{
    for (int i = 0; i < ONU_COUNT; i++) {
        onu_slot &slot = onu_table[i];
        lock_timed(&slot.lock);
        bool match = slot.rec.state != ONU_STATE_FREE && onu_find_link(&slot.rec, mac);
        pthread_mutex_unlock(&slot.lock);
        if (match)
            return &slot.rec;
    }
    return nullptr;
}

onu_record *onu_alloc()
{
    for (int i = 0; i < ONU_COUNT; i++) {
        onu_slot &slot = onu_table[i];
        lock_timed(&slot.lock);
        if (slot.rec.state == ONU_STATE_FREE) {
            memset(&slot.rec, 0, sizeof slot.rec);
            pthread_mutex_unlock(&slot.lock);
            return &slot.rec;
        }
        pthread_mutex_unlock(&slot.lock);
    }
    return nullptr;
}

void onu_release(onu_record *onu)
{
    if (datastruct_hooks.flush_onu_work)
        datastruct_hooks.flush_onu_work(onu);
    // The registration group is the one the egress port swap flag records.
    if (datastruct_hooks.onu_count_release)
        datastruct_hooks.onu_count_release(onu->olt, onu->port, (onu->cfg_flags & ONU_CFG_EGRESS_SWAP) ? 1 : 0);
    if (datastruct_hooks.link_count_release)
        datastruct_hooks.link_count_release(onu->olt, onu->port, onu->discovered_links);
    release_record(onu);
}

int onu_release_locked(onu_record *onu)
{
    onu_lock(onu);
    onu_release(onu);
    onu_unlock(onu);
    return 0;
}

void onu_release_all_on_olt(int olt)
{
    for (int i = 0; i < ONU_COUNT; i++) {
        onu_slot &slot = onu_table[i];
        lock_timed(&slot.lock);
        if (slot.rec.state != ONU_STATE_FREE && slot.rec.olt == olt) {
            if (datastruct_hooks.flush_onu_work)
                datastruct_hooks.flush_onu_work(&slot.rec);
            release_record(&slot.rec);
        }
        pthread_mutex_unlock(&slot.lock);
    }
}

void onu_set_state(onu_record *onu, uint32_t state)
{
    uint32_t old = onu->state;
    onu->state = state;
    publish_key(onu);
    if (state == old)
        return;

    bool notify;
    if (state == ONU_STATE_FREE || state == ONU_STATE_AUTHFAILED || state == ONU_STATE_CFGFAILED ||
        (state == ONU_STATE_ALLOCATED && old == ONU_STATE_FREE)) {
        notify = true;
    } else if (state == ONU_STATE_OK) {
        onu->ok_time = uptime_seconds();
        onu->accounting = -1;
        notify = true;
    } else if (old == ONU_STATE_OK) {
        notify = true;
    } else {
        notify = state == ONU_STATE_BLOCKED || old == ONU_STATE_BLOCKED;
    }
    // Every way out of OK ends the accounting session, the release (FREE)
    // and the failed states included, so the server never keeps a session
    // open for an ONU that is gone.
    if (old == ONU_STATE_OK && datastruct_hooks.accounting_stop)
        datastruct_hooks.accounting_stop(onu);

    if (notify) {
        char text[256];
        uint32_t port;
        state_change_text(onu, state, text, sizeof text, &port);
        kernlink_notify(EVENT_ONU_STATE, port, onu->ont_id, 0, 0, text);
    }

    onu_summary_update(onu);
    onu_change_counter_bump();
    onu->last_activity = uptime_seconds();
    char mac[18];
    convert_to_mac(mac, onu->mac);
    trace("ONU %s, change state from %s to %s\n", mac, onu_state_name(old), onu_state_name(state));
}

int onu_links_init(onu_record *onu)
{
    int count = onu->link_count < ONU_LINKS ? onu->link_count : ONU_LINKS;
    for (int i = 0; i < count; i++) {
        link_record &link = onu->links[i];
        mac_add(link.mac, onu->mac, uint32_t(i));
        link.state = ONU_STATE_ALLOCATED;
        link.index = uint16_t(i);
        link.state_time = uptime_seconds();
        onu_change_counter_bump();
    }
    return 0;
}

void onu_get_description(const uint8_t mac[6], char *out)
{
    constexpr uint32_t PARAMS = 32;
    constexpr size_t TEXT_MAX = 255;
    strcpy(out, "none");
    uint8_t params[PARAMS] = {};
    memcpy(params + 8, mac, 6);
    uint8_t *answer = nullptr;
    if (kernlink_request(CMD_ONU_DESCRIPTION, MODULE_CONFIG, params, PARAMS, &answer, DESCRIPTION_TIMEOUT) == 0) {
        kernmsg_header a = kernmsg_header_decode(answer);
        // The text is taken only as far as the answer carries it.
        if (a.rcode != RCODE_NOT_CONFIGURED && a.len > PARAMS) {
            size_t avail = a.len - PARAMS < TEXT_MAX ? a.len - PARAMS : TEXT_MAX;
            const char *text = reinterpret_cast<const char *>(answer + KERNMSG_HEADER_SIZE + PARAMS);
            size_t n = strnlen(text, avail);
            memcpy(out, text, n);
            out[n] = '\0';
        }
    }
    BFREE_SAFE(answer);
}

void onu_config_defaults(onu_record *config)
{
    memset(config, 0, sizeof *config);
    config->configured_port = PORT_NONE;
    config->link_count = ONU_LINKS;
    // The defaults of the neighbouring configuration bytes and of the two
    // per-direction sub-blocks of the configuration block join with the
    // ONU configuration step, which defines them.
}

void onu_drssi_filter(onu_record *onu)
{
    uint32_t accepted = onu->drssi_accepted;
    uint32_t latest = onu->drssi;
    uint32_t change = 0;
    if (accepted != 0)
        change = (latest > accepted ? latest - accepted : accepted - latest) * 100 / accepted;
    if (change <= DRSSI_JUMP_PERCENT || onu->drssi_jumps > DRSSI_JUMPS_BEFORE_BELIEF) {
        onu->drssi_accepted = onu->drssi;
        onu->drssi_jumps = 0;
    } else {
        onu->drssi_jumps++;
        onu->drssi = onu->drssi_accepted;
    }
    onu_summary_set_drssi(onu);
}

// ---- summaries ----------------------------------------------------------------

uint8_t onu_transceiver_class(const char part[16])
{
    if (strncmp(part, "LTY9775A-CCG1", 13) == 0)
        return 2;
    if (strncmp(part, "LTY9775A-CCG", 16) == 0)
        return 1;
    return 0;
}

void onu_summary_update(const onu_record *onu)
{
    summary_slot *slot = summary_of(onu);
    lock_timed(&slot->lock);
    onu_summary &s = slot->sum;
    if (onu->state == ONU_STATE_FREE) {
        memset(&s, 0, sizeof s);
    } else {
        s.ont_id = onu->ont_id;
        s.type = onu->type;
        s.hardware = onu->hardware;
        memcpy(s.mac, onu->mac, 6);
        s.olt = onu->olt;
        s.port = onu->port;
        s.state = onu->state;
        s.fw_version = onu->fw_version;
        s.uni_blocked = onu->uni[0].blocked | onu->uni[1].blocked | onu->uni[2].blocked;
        s.discovered_links = onu->discovered_links;
    }
    pthread_mutex_unlock(&slot->lock);
}

#define SUMMARY_FIELD(name, statement)        \
    void name(const onu_record *onu)          \
    {                                         \
        summary_slot *slot = summary_of(onu); \
        lock_timed(&slot->lock);              \
        onu_summary &s = slot->sum;           \
        statement;                            \
        pthread_mutex_unlock(&slot->lock);    \
    }
SUMMARY_FIELD(onu_summary_set_drssi, s.drssi = onu->drssi)
SUMMARY_FIELD(onu_summary_set_video_power, s.video_power = onu->video_power)
SUMMARY_FIELD(onu_summary_set_uni_paths, store_le16(s.uni_path, onu->uni_path[0]); store_le16(s.uni_path + 2, onu->uni_path[1]))
SUMMARY_FIELD(onu_summary_set_info, memcpy(s.info, onu->info, sizeof s.info))
SUMMARY_FIELD(onu_summary_set_transceiver, s.transceiver = onu_transceiver_class(onu->triplexer))
#undef SUMMARY_FIELD

int onu_summary_read(int index, uint8_t out[ONU_SUMMARY_SIZE])
{
    if (!summary_table || index < 0 || index >= ONU_COUNT)
        return -1;
    summary_slot &slot = summary_table[index];
    lock_timed(&slot.lock);
    memcpy(out, &slot.sum, ONU_SUMMARY_SIZE);
    pthread_mutex_unlock(&slot.lock);
    return 0;
}

// ---- change counter -------------------------------------------------------------

void onu_change_counter_bump()
{
    lock_timed(&change_counter_lock);
    change_counter++;
    pthread_mutex_unlock(&change_counter_lock);
}

uint32_t onu_change_counter_get()
{
    lock_timed(&change_counter_lock);
    uint32_t value = change_counter;
    pthread_mutex_unlock(&change_counter_lock);
    return value;
}

// ---- names and MACs ---------------------------------------------------------------

const char *onu_state_name(uint32_t state) { return state < 16 ? state_names[state] : "UNKNOWN"; }

const char *onu_state_report_name(uint32_t state)
{
    return state < REPORT_NAMED_STATES ? state_names[state] : "UNKNOWN";
}

const char *ont_model_name(uint32_t type)
{
    // Row N names type code N: "ONTM-01" .. "ONTM-40"; row 0 is the empty name.
    static char names[41][8];
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] {
        for (int i = 1; i <= 40; i++)
            snprintf(names[i], sizeof names[i], "ONTM-%02d", i);
    });
    return type <= 40 ? names[type] : "";
}

void mac_add(uint8_t out[6], const uint8_t mac[6], uint32_t n)
{
    uint32_t low = (uint32_t(mac[3]) << 16 | uint32_t(mac[4]) << 8 | mac[5]) + n;
    if (out != mac)
        memcpy(out, mac, 3);
    out[3] = uint8_t(low >> 16);
    out[4] = uint8_t(low >> 8);
    out[5] = uint8_t(low);
}
