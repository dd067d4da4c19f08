// Links and their SLAs: link discovery turns registrations into ONU records
// and discovered links; link configuration gives each link its OAM rate, an
// OLT path with its downstream and upstream queues, and three SLAs from the
// ONU's SLA profile; teardown removes all of it again in a fixed order.
//
// Threads: the profiler thread (discovery, configuration), the watchdog and
// the update scheduler (teardown, reconfiguration initialisation), the
// management handlers (reconfiguration initialisation). The caller holds
// the ONU record's lock for everything but profiler_link_discovery, which
// takes it itself and returns with it held. The OLT's path pool and its
// counters are changed under the OLT record's lock (inside the data store
// and the OLT module); the chip link's send lock is taken innermost.
//
// Request and answer blocks come from the pool and go back to it on every
// path. The payload builders are pure functions, shared by the requests
// and the tests.
#pragma once

#include "wire/ids.h"

#include <cstddef>
#include <cstdint>

struct onu_record;

constexpr int LINK_PATH_QUERY_TIMEOUT = 4;
// Fields of the registration's ONU information used here, from its first byte.
constexpr size_t ONU_INFO_FW = 7;       // u16 BE
constexpr size_t ONU_INFO_TYPE = 9;
constexpr size_t ONU_INFO_HARDWARE = 10;
constexpr size_t ONU_INFO_BLOCK = 9;    // 64 bytes
constexpr uint8_t SLA_CLASS_UNUSED = 255;
constexpr size_t SHAPING_RECORD_SIZE = 9;
constexpr size_t SLA_ENTRY_SIZE = 37;
// Link SLA entry offsets of the four shaping records.
constexpr size_t SLA_DOWN_FIRST = 1;
constexpr size_t SLA_DOWN_SECOND = 10;
constexpr size_t SLA_UP_FIRST = 19;
constexpr size_t SLA_UP_SECOND = 28;
constexpr size_t SLA_PROFILE_ENTRY = 1;   // entry i at 1 + 37 × i
constexpr uint16_t PATH_CREATE_FIXED_RCODE = 4;   // "Command failed": the path may exist already

// Payload lengths (the chip header's LEN).
constexpr size_t OAM_RATE_LEN = 8;
constexpr size_t PATH_CREATE_LEN = 14;
constexpr size_t PATH_QUERY_LEN = 16;
constexpr size_t QUEUE_SLA_LEN = 22;
constexpr size_t LINK_SLA_LEN = 34;

// ---- payload builders --------------------------------------------------
void link_oam_rate_payload(const uint8_t link_mac[6], uint8_t out[OAM_RATE_LEN]);
// Egress port: with the swap flag, PON 0 → 2 and PON 1 → 3; without, the
// other way round.
uint16_t link_egress_port(int pon, bool swap);
void link_create_path_payload(uint16_t path, int pon, bool swap, uint8_t out[PATH_CREATE_LEN]);
void link_path_query_payload(uint16_t path, uint8_t out[PATH_QUERY_LEN]);
// Queue SLA for `queue` from two shaping records (as stored, host order).
// false when both records are unused (nothing to send).
bool link_queue_sla_payload(uint16_t queue, const uint8_t *first, const uint8_t *second,
                            uint8_t out[QUEUE_SLA_LEN]);
// Link SLA from the upstream records; false when both are unused.
bool link_sla_payload(const uint8_t link_mac[6], const uint8_t *up_first, const uint8_t *up_second,
                      uint8_t out[LINK_SLA_LEN]);

// ---- operations ------------------------------------------------------
// The ONU owning the registered link, locked; NULL when the registration
// was not processed (no free ONU record). Engine thread.
onu_record *profiler_link_discovery(int olt, uint8_t *registration);
// One link: 0; 2 index not below the link count; 3 refused or already
// configured; 4 no memory or no path identifier; a negative transport code.
int profiler_link_reconfigure_internal(onu_record *onu, int index);
// Links 0 .. link count − 1 in order: 0, or 3 at the first failure.
int profiler_links_reconfigure_internal(onu_record *onu);
int profiler_onu_link_set_oam_rate_internal(int olt, const uint8_t link_mac[6]);
// Allocates the path identifier into `*path` (kept there whatever follows)
// and creates the path.
int profiler_onu_link_create_path_internal(int olt, uint16_t chip, const uint8_t link_mac[6], int pon, uint16_t *path,
                                           bool swap);
// 0 with the answer's value; 3 refused; -1 no memory; the transport code.
int profiler_onu_link_path_query_internal(int olt, uint16_t path, uint16_t *value);
// DSQ, USQ and link SLA from one 37-byte link SLA entry. `pon` is not sent.
int profiler_onu_link_set_sla_internal(int olt, const uint8_t link_mac[6], int pon, uint16_t path,
                                       const uint8_t *entry);
// All four links to REPORTTIMEOUT with LLID 65535, so their registrations
// are ignored until the ONU is gone.
void profiler_onu_reconfiguration_init(onu_record *onu);
// Teardown: release and clear every link, then each link's destination,
// queues and path. The OR of all results.
int profiler_onu_links_cleanup(onu_record *onu);
int profiler_onu_link_release_internal(int olt, const uint8_t link_mac[6]);
int profiler_onu_link_clear_internal(int olt, const uint8_t link_mac[6]);
int profiler_onu_link_cleanup_internal(int olt, onu_record *onu, int index);
