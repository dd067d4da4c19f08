// ONU commands that read the ONU tables or act on one ONU's registration:
// the change counter, the compact and full ONU lists, the ONU record and
// description, reconfiguration, the queue layout rewrite, the learned-MAC
// look-up and listings, and the IGMP groups joined behind an ONU.
//
// Threads: each handler runs on a handler thread of the management link,
// several at once and beside the provisioning engine. The lists read only
// the summaries, one slot lock at a time; the record, description,
// reconfiguration and queue commands hold one ONU record's lock (the queue
// rewrite for its whole 3-second wait, so that the engine cannot configure
// the ONU halfway through); the look-ups and listings lock one ONU at a time
// inside profiler_path. Chip answers are freed where they are read; answer
// buffers are the handler's own. Each handler returns its request, which
// the caller frees.
#pragma once

#include "cmd/cmd_request.h"
#include "mgmt/kernhandlers.h"

#include <cstddef>
#include <cstdint>

constexpr size_t ONU_MAC_AT = 8;                 // in the parameter block
constexpr size_t ONU_LIST_COMPACT_SIZE = 27;     // the summary's first bytes
constexpr size_t ONU_LIST_SUMMARY_INFO = 31;     // the information block in a summary
constexpr size_t ONU_LIST_INFO_SIZE = 64;
constexpr int ONU_LIST_HALF = 1000;
constexpr uint8_t ONU_LIST_FILLER = 0xFF;

// The ONU record goes out in three pieces: the UNI port table first, then
// the head of the record, then its configuration.
constexpr size_t ONU_RECORD_UNI_AT = 428, ONU_RECORD_UNI_SIZE = 1972;
constexpr size_t ONU_RECORD_HEAD_SIZE = 428;
constexpr size_t ONU_RECORD_CFG_AT = 2400, ONU_RECORD_CFG_SIZE = 16073;
constexpr size_t ONU_RECORD_ANSWER = ONU_RECORD_UNI_SIZE + ONU_RECORD_HEAD_SIZE + ONU_RECORD_CFG_SIZE;
constexpr size_t ONU_DESCRIPTION_SIZE = 256;
constexpr size_t CHANGE_COUNTER_ANSWER = 32;
constexpr unsigned ONU_QUEUES_PAUSE_MS = 3000;   // between clearing and writing the layout

// The learned-MAC look-up's answer after the echo: ONT id (u32), ONU MAC,
// state (u32), OLT index, PON port, UNI port.
constexpr size_t FIND_MAC_ANSWER = 17;
constexpr uint32_t FIND_MAC_ALL_PORTS = 8;       // this port number and above: all eight

// IGMP groups: chip answer (after RCODE) with the count at 6 and 13-byte
// records from 11; our answer is the count and 32 entries of 8 bytes.
constexpr size_t IGMP_ANSWER_COUNT = 6;
constexpr size_t IGMP_ANSWER_RECORDS = 11;
constexpr size_t IGMP_RECORD_SIZE = 13;
constexpr size_t IGMP_RECORD_LENGTH = 3;         // 4 when an IPv4 group follows
constexpr size_t IGMP_RECORD_ADDRESS = 4;
constexpr size_t IGMP_RECORD_END = 8;            // always 0xFF
constexpr int IGMP_GROUPS_MAX = 32;
constexpr size_t IGMP_ENTRY_SIZE = 8;
constexpr size_t IGMP_RESULT_SIZE = 1 + IGMP_GROUPS_MAX * IGMP_ENTRY_SIZE;   // 257

// The listings' answer blocks, echo included.
constexpr size_t LEARNED_MAC_LIST_BLOCK = 102836;   // 0x100F
constexpr size_t ADDRESS_LIST_BLOCK = 24532;        // 0x1010
constexpr size_t ONU_MAC_LIST_BLOCK = 98372;        // 0x1011

// Fills `out` with the entries of summary slots first..first+count-1 whose
// ONU is not FREE (and, unless `olt` is negative, whose OLT index is `olt`), packed from
// the start; every entry left is 0xFF. An entry is the summary's first 27
// bytes, followed by its information block when `full`. The number listed.
int onu_list_fill(uint8_t *out, int first, int count, int64_t olt, bool full);

// The IGMP answer of the chip (`data`, `size` bytes after RCODE) as our
// 257-byte result. 0, or CMD_RC_FAILED for a record of an unknown kind, a
// record without its 0xFF, or a count the answer does not hold.
int igmp_groups_decode(const uint8_t *data, size_t size, uint8_t out[IGMP_RESULT_SIZE]);

uint8_t *cmd_onu_change_counter(uint8_t *request);   // 0x0018
uint8_t *cmd_onu_reconfigure(uint8_t *request);      // 0x2002
uint8_t *cmd_onu_list(uint8_t *request);             // 0x2003
uint8_t *cmd_onu_list_olt(uint8_t *request);         // 0x2004
uint8_t *cmd_onu_list_full(uint8_t *request);        // 0x2026
uint8_t *cmd_onu_list_full_olt(uint8_t *request);    // 0x2027
uint8_t *cmd_onu_record(uint8_t *request);           // 0x2005
uint8_t *cmd_onu_description(uint8_t *request);      // 0x200F
uint8_t *cmd_onu_queues_reset(uint8_t *request);     // 0x200E
uint8_t *cmd_onu_find_mac(uint8_t *request);         // 0x2015
uint8_t *handler_onu_get_igmp_groups(uint8_t *request);   // 0x1013
uint8_t *cmd_port_learned_macs(uint8_t *request);    // 0x100F
uint8_t *cmd_port_address_entries(uint8_t *request); // 0x1010
uint8_t *cmd_onu_learned_macs(uint8_t *request);     // 0x1011
