// ONU configuration: from the discovery of an ONU's first link to a
// configured ONU. Authorization (the secret, the EAP challenge, or the
// 0x6838 shortcut), the ONU's configuration record stored in its ONU
// record, the queue layout check and repair, the firmware and personality
// checks, and the configuration sequence (links, paths, then the ONU's own
// settings) with its notifications.
//
// Threads: the profiler thread (authorization start from link discovery,
// ONU discovery, reconfiguration under onu_update_lock) and the chip event
// thread (the steps after a successful EAP answer). Every operation but
// profiler_onu_reconfigure runs with the ONU record's lock held by the
// caller; profiler_onu_reconfigure takes it. The OLT's configured-ONU count
// is changed under the OLT record's lock. The queue repair sleeps (5 s,
// 1 s, 3 s) with the ONU held.
//
// The update scheduler and the RADIUS exchange are reached through
// `onu_steps`, which main.cpp fills. An empty entry is a step that does not
// exist on this build: an update cannot be scheduled (logged as such), and
// the RADIUS branch fails the authorization.
#pragma once

#include "onu/onu_ports.h"
#include "wire/ids.h"

#include <cstddef>
#include <cstdint>

struct onu_record;

// Flag word bits used here besides the data store's.
constexpr uint32_t ONU_CFG_QUEUES_OK = 1u << 26;


// Places in the ONU record's configuration bytes and block.
constexpr size_t ONU_CFG_BYTE_BLOCKED = 0;
constexpr size_t ONU_CFG_BYTE_BLOCK_UNI0 = 1;
constexpr size_t ONU_CFG_BYTE_BLOCK_UNI1 = 2;
constexpr size_t ONU_CFG_BYTE_BLOCK_RFOUT = 3;
constexpr size_t ONU_PROFILE_SLA = 1, ONU_PROFILE_PATHS = 4;
constexpr size_t MULTICAST_IGMP_MODE = 4;
constexpr uint8_t IGMP_MODE_OFF = 7;

constexpr int QUEUES_READ_ATTEMPTS = 5;
constexpr unsigned QUEUES_RESEND_PAUSE_MS = 50;
constexpr int QUEUES_WRITE_ATTEMPTS = 3;
constexpr unsigned QUEUES_CLEAR_PAUSE_S = 5;
constexpr unsigned QUEUES_WRITE_PAUSE_S = 1;
constexpr unsigned QUEUES_RESET_PAUSE_S = 3;
constexpr size_t QUEUES_WRITE_LEN = 28;
constexpr size_t QUEUES_LAYOUT_MAX = 28;
constexpr size_t BLOCKED_LIST_COUNT = 8;   // answer offsets after RCODE
constexpr size_t BLOCKED_LIST_MACS = 12;
constexpr const char *ONT_AUTOUPDATE_FLAG = "/etc/config/ontautoupdate";
constexpr const char *ONT_PERS_AUTOUPDATE_FLAG = "/etc/config/ontpersautoupdate";
constexpr size_t ONU_PERSONALITY_VERSION = 11;

// Update kinds of the scheduler.
enum : int { ONU_UPDATE_FIRMWARE = 1, ONU_UPDATE_PERSONALITY = 2 };

struct onu_steps_table {
    // ---- other subsystems ----
    // The update scheduler's add: 0, 4 full, 9 already listed, else failed.
    int (*schedule_update)(const uint8_t mac[6], int kind);
    // RADIUS mode of authorization: the identity request; 11 with the EAP
    // packet to send in `eap`.
    int (*radius_identity_request)(onu_record *onu, uint8_t *eap);
};
extern onu_steps_table onu_steps;

// ---- authorization --------------------------------------------------------
// ALLOCATED ONUs only: refresh the cache entry, then local or RADIUS mode.
void profiler_onu_authorization_start(onu_record *onu);
// Local mode: the secret, then the challenge (0x6838: AUTHOK at once).
void profiler_olt_authorize(onu_record *onu);
// The one road of an authenticated ONU, in either mode: AUTHOK, its
// configuration stored in the record, its queue layout checked, then
// discovery. With `reporter` each step's outcome is logged under that name;
// nullptr logs nothing. Called with the record locked.
void profiler_onu_authenticated(onu_record *onu, const char *reporter);
// 0 stored (or already stored); -1 request failed (ONU reset, record
// released); 8 unconfigured; 10 incorrect.
int profiler_set_ont_config(onu_record *onu);
// 0 layout right; 10 invalid: repaired or not, the record is released.
int profiler_check_ont_queues(onu_record *onu);
// 0 accepted; 3 not.
int profiler_onu_queues_check_internal(onu_record *onu);
int profiler_onu_queues_check_6838_internal(onu_record *onu);
// The layout record the ONU must report; its length (21..28).
size_t onu_expected_queues(const uint8_t mac[6], unsigned links, bool is_8600, uint8_t out[QUEUES_LAYOUT_MAX]);
// The blocked list (answer after RCODE: count LE32 at 8, MACs from 12): the
// count cut to the MACs the answer holds; `*macs` the first of them.
uint32_t blocked_links_decode(const uint8_t *answer, size_t size, const uint8_t **macs);
// Unblocks the ONU's links the OLT lists as blocked.
int profiler_onu_unblock_links(onu_record *onu);
// AUTHOK with every link discovered: DISCOVERED, update checks, then the
// ONU is queued for reconfiguration.
void profiler_onu_discovery(onu_record *onu);
void profiler_onu_schedule_fw_update(const uint8_t mac[6], const char *description);
// The log line of one addition to the update schedule, on behalf of
// `function`, by the scheduler's result: 0 added, 4 list full, 9 already
// listed, anything else could not be added.
void profiler_onu_schedule_log(const char *function, const uint8_t mac[6], const char *description, int rc);
void profiler_onu_schedule_pers_update(const uint8_t mac[6], const char *description);
// true when this firmware version must be replaced.
bool onu_firmware_outdated(uint16_t version);

// ---- configuration --------------------------------------------------------
// Engine work item (onu_update_lock held): 0, 1 not connected, or the
// failing step's code.
int profiler_onu_reconfigure(const uint8_t mac[6]);
int profiler_onu_reconfigure_internal(onu_record *onu);
// Stamps the ONU's last-activity time.
void profiler_onu_update_timestamp_internal(onu_record *onu);
// The ONU's port index, OLT × 2 + PON port.
uint32_t onu_port_index(const onu_record *onu);
