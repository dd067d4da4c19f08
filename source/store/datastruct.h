// Device data store: the OLT, ONU and ONU summary tables, the state
// numbering, the change counter and the operations that find, allocate,
// release and update records.
//
// Threads: every subsystem reads and writes records directly under the
// records' own locks; tables are allocated once by datastruct_init and live
// for the whole process.
//
// Locks: each OLT record, ONU record and summary slot has its own mutex,
// taken with lock_timed; there is no table-wide lock and scans lock one slot
// at a time. Order: ONU record, then its summary slot, then the change
// counter; the management send lock is taken innermost (state notifications
// are sent while the ONU is held).
//
// The records below go to the management process byte for byte: packed
// layouts with every offset checked at compile time, multi-byte numbers
// little-endian (the board and the build hosts are little-endian; checked).
#pragma once

#include "wire/ids.h"

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    ONU_STATE_FREE = 0,
    ONU_STATE_ALLOCATED = 1,
    ONU_STATE_AUTHINPROGRESS = 2,
    ONU_STATE_CFGINPROGRESS = 3,
    ONU_STATE_AUTHFAILED = 4,
    ONU_STATE_CFGFAILED = 5,
    ONU_STATE_REPORTTIMEOUT = 6,
    ONU_STATE_OK = 7,
    ONU_STATE_AUTHOK = 8,
    ONU_STATE_RESETINPROGRESS = 9,
    ONU_STATE_RESETOK = 10,
    ONU_STATE_DISCOVERED = 11,
    ONU_STATE_BLOCKED = 12,
    ONU_STATE_RESETFWUPGRADE = 13,
    ONU_STATE_UNCONFIGURED = 14,
    ONU_STATE_UNKNOWN = 15,
};

constexpr int OLT_COUNT = 4;
constexpr int ONU_COUNT = 2000;
constexpr int ONU_LINKS = 4;
constexpr int OLT_PATH_SLOTS = 4000;
constexpr int OLT_PATH_ID_BASE = 8320;
constexpr uint8_t PORT_NONE = 255;
// What the trace and the log print in place of an ONU's secret.
constexpr const char *ONU_SECRET_MASK = "****";

// Notification events sent from here.

// Configuration flag word bits (onu_record::cfg_flags).
enum : uint32_t {
    ONU_CFG_LINKS_MASK = 0x0000000F,
    ONU_CFG_PATHS_DONE = 1u << 8,
    ONU_CFG_OK = 1u << 16,
    ONU_CFG_FROM_RADIUS = 1u << 17,
    ONU_CFG_PENDING = 1u << 25,
    ONU_CFG_EGRESS_SWAP = 1u << 31,
};

struct __attribute__((packed)) olt_port {
    char name[64];           // "PON%d" / "NNI%d"
    uint8_t status[8];
    char sfp_vendor[16];     // PON ports: "--" until the transceiver is read
    char sfp_part[16];
    uint16_t base_llid;      // PON ports: as last set on the chip
};

struct __attribute__((packed)) olt_record {
    uint8_t index;
    uint8_t mac[6];
    uint16_t fw_version;
    olt_port ports[4];
    uint16_t onus_total;
    uint16_t onus_on_port[2];
    uint16_t onus_first_group[2];
    uint16_t onus_second_group[2];
    uint8_t config_state[867];
    uint8_t missed_pings;
    uint32_t state;
    uint32_t state_time;
    uint8_t status[8];
    uint8_t path_slots[4096];   // 1 = in use; slots 0..3999
    uint8_t unused1;
    int32_t onus_ok;            // -1: not being counted
    uint8_t unused2[4];
};

struct __attribute__((packed)) uni_port {
    char name[64];
    uint8_t status[8];
    uint8_t blocked;
    uint32_t blocked_time;
    uint8_t learned_macs[64][6];
};

struct __attribute__((packed)) link_record {
    uint8_t mac[6];
    uint16_t llid;
    uint16_t path_id;
    uint16_t dest_index;
    uint16_t index;
    uint32_t state;            // 0: not in use
    uint32_t state_time;
};

struct __attribute__((packed)) onu_record {
    uint32_t ont_id;
    char description[256];
    uint8_t type;
    uint8_t hardware;
    uint8_t chip_id[2];
    uint16_t fw_version;
    uint8_t mac[6];
    uint8_t olt;
    uint8_t port;
    uint8_t configured_port;   // OLT × 2 + port, 255 = any
    uint8_t info[64];
    char secret[48];
    uint8_t unused1[9];
    uint8_t auth[16];
    char triplexer[16];
    uni_port uni[4];
    link_record links[ONU_LINKS];
    uint16_t uni_path[2];
    uint32_t state;            // 0: the slot is free
    uint32_t last_activity;
    uint16_t drssi;
    uint16_t drssi_accepted;
    uint16_t drssi_jumps;
    int16_t video_power;
    uint8_t discovered_links;
    uint8_t unused2[3];
    uint32_t cfg_flags;
    uint32_t ok_time;
    int32_t accounting;
    uint8_t unused3[4];
    uint8_t profiles[5];
    uint8_t cfg_bytes[4];
    uint8_t cfg_block[16059];  // the configuration block ends in link_count
    uint8_t link_count;
    uint8_t cfg_tail[4];
    uint8_t unused4[3];
};

struct __attribute__((packed)) onu_summary {
    uint32_t ont_id;
    uint8_t type;
    uint8_t hardware;
    uint8_t mac[6];
    uint8_t olt;
    uint8_t port;
    uint32_t state;
    uint16_t drssi;
    int16_t video_power;
    uint16_t fw_version;
    uint8_t transceiver;
    uint8_t uni_blocked;
    uint8_t discovered_links;
    uint8_t uni_path[4];
    uint8_t info[64];
    uint8_t zero;
};

constexpr size_t OLT_RECORD_SIZE = 5436;
constexpr size_t OLT_RECORD_SENT = 1331;   // bytes 0..1330 go to the management process
constexpr size_t ONU_RECORD_SIZE = 18476;
constexpr size_t ONU_SUMMARY_SIZE = 96;
constexpr size_t ONU_LIST_ENTRY_SIZE = 91;  // first 27 summary bytes + information block

// ---- start-up ---------------------------------------------------------
// olt_init, then the ONU and summary tables: 0, or -1 when any failed.
// What the data store calls in the layers above it; main.cpp installs the
// entries before datastruct_init. An empty entry is skipped.
struct datastruct_hook_table {
    // An ONU record is being released (its lock held): drop the engine work
    // still queued for it and its links.
    void (*flush_onu_work)(const onu_record *onu);
    // An ONU leaves OK (its lock held): RADIUS accounting's Stop of its
    // session.
    void (*accounting_stop)(onu_record *onu);
    // The ONU leaves its OLT's registration counts: PON port `port` (0, 1),
    // registration group `choice` (1 first, 0 second). Takes the OLT's lock.
    void (*onu_count_release)(int olt, int port, int choice);
    // Its discovered links leave the port's link count. Takes the OLT's lock.
    void (*link_count_release)(int olt, int port, int links);
};
extern datastruct_hook_table datastruct_hooks;

int datastruct_init();
// Gives the tables back (tests, and the end of a run under a leak checker).
void datastruct_close();
// Allocates the OLT table and resets every OLT through the board device
// (tolerated when the device cannot be opened). 0, or -1.
int olt_init();

// ---- OLTs ---------------------------------------------------------------
// The record of OLT `olt` (0..3) or NULL. Callers lock it for every access.
olt_record *olt_get(int olt);
void olt_lock(int olt);
void olt_unlock(int olt);
// The OLT's state word; UNKNOWN for a bad index. Takes no lock, so the chip
// link may ask while another thread holds the OLT.
uint32_t olt_get_state(int olt);
// State word, then the uptime second, under the OLT's lock. The state is
// written only through these two.
void olt_set_state(int olt, uint32_t state);
// The same for a caller that holds the OLT's lock.
void olt_set_state_locked(int olt, uint32_t state);
// Configured base LLID of PON port 0 or 1 (0 = not set), under the OLT lock.
uint16_t olt_base_llid_get(int olt, int port);
void olt_base_llid_set(int olt, int port, uint16_t llid);
// Lowest free path slot as identifier 8320 + 2 × slot, or -1 (OLT lock).
int olt_path_id_alloc(int olt);
// 0, or -1 when `id` is not an allocated identifier (OLT lock).
int olt_path_id_free(int olt, int id);

// ---- ONU records ----------------------------------------------------------
onu_record *onu_at(int index);        // NULL outside 0..1999
int onu_index(const onu_record *onu);
void onu_lock(onu_record *onu);
void onu_unlock(onu_record *onu);

// Look-ups scan slots 0..1999 and see only records that are not FREE.
// Returned unlocked: lock, then check MAC and state again.
onu_record *onu_get_by_mac(const uint8_t mac[6]);
// Returned locked. One pass: a busy slot is waited for only when the MAC
// its record published is `mac`, so records held elsewhere never hold up
// the look-up of another MAC, nor of one that is not there.
onu_record *onu_get_by_mac_locked(const uint8_t mac[6]);
// The ONU with a link in use of MAC `mac`; returned unlocked.
onu_record *onu_get_by_link_mac(const uint8_t mac[6]);
// Within one ONU (caller holds it): the link in use of MAC `mac`, or NULL.
link_record *onu_find_link(onu_record *onu, const uint8_t mac[6]);
// The first FREE slot, zeroed, returned unlocked; NULL when the table is full.
onu_record *onu_alloc();
// Caller holds the ONU: state FREE (notified), record zeroed.
void onu_release(onu_record *onu);
int onu_release_locked(onu_record *onu);
// Every ONU of OLT `olt` to FREE and zeroed; the OLT's counts stay.
void onu_release_all_on_olt(int olt);
// Caller holds the ONU. Notifies the management process as the state rules
// say, refreshes the summary, bumps the change counter, stamps the record.
void onu_set_state(onu_record *onu, uint32_t state);
// Link records 0..link_count-1: MAC = ONU MAC + i, ALLOCATED, now. 0.
int onu_links_init(onu_record *onu);
// Asks the configuration module for the ONU's description (0x2010); `out`
// (256 bytes) is "none" unless an answer other than rcode 8 arrives.
void onu_get_description(const uint8_t mac[6], char *out);
// A record-shaped configuration with the defaults RADIUS fills in.
void onu_config_defaults(onu_record *config);
constexpr int ONU_PROFILE_LINK = 3;   // rules, SLA, multicast, link, paths
// Caller holds the ONU. The DRSSI jump filter over the latest reading.
void onu_drssi_filter(onu_record *onu);

// ---- summaries ------------------------------------------------------------
// Each takes the summary slot's lock; the caller holds the ONU's.
void onu_summary_update(const onu_record *onu);
void onu_summary_set_drssi(const onu_record *onu);
void onu_summary_set_video_power(const onu_record *onu);
void onu_summary_set_uni_paths(const onu_record *onu);
void onu_summary_set_info(const onu_record *onu);
void onu_summary_set_transceiver(const onu_record *onu);
// Copies summary `index` (96 bytes) under its lock. 0, or -1.
int onu_summary_read(int index, uint8_t out[ONU_SUMMARY_SIZE]);
uint8_t onu_transceiver_class(const char part[16]);

// ---- change counter ---------------------------------------------------------
void onu_change_counter_bump();
uint32_t onu_change_counter_get();

// ---- names and MACs -------------------------------------------------------
const char *onu_state_name(uint32_t state);         // "FREE" .. "UNKNOWN"
const char *onu_state_report_name(uint32_t state);  // codes above 12: "UNKNOWN"
const char *ont_model_name(uint32_t type);           // "" when unknown
// `out` = `mac` + n on the low three bytes as one 24-bit number, no carry
// into the first three. `out` may be `mac`.
void mac_add(uint8_t out[6], const uint8_t mac[6], uint32_t n);
