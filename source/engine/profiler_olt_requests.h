// OLT configuration: the data of every chip request the OLT configuration
// sends, built from the OLT configuration's blocks, and the decoders of the
// chip answers it reads. Each builder writes the request's data into `out`
// (room for the LEN it returns; the largest is OLT_REQUEST_MAX but for the
// rule writer) and returns LEN. Decoders read within the answer's length and
// report a short answer rather than read past it.
//
// Block offsets are those of the OLT configuration (answer of 0x1004); the
// configuration module writes its numbers little-endian, the chip reads them
// big-endian.
//
// Pure functions over caller buffers; any thread.
#pragma once

#include "engine/rule_encoder.h"
#include "wire/olt_config.h"

#include <cstddef>
#include <cstdint>
#include <functional>

constexpr size_t OLT_REQUEST_MAX = 145;   // the protocol filter write

// ---- requests ------------------------------------------------------------------
// Port settings: the read of port p, and the write-back of one entry of its
// answer (`entry` of `entry_len` bytes).
size_t olt_req_port_settings_read(const uint8_t mac[6], int port, uint8_t *out);
size_t olt_req_port_settings_write(const uint8_t mac[6], int port, const uint8_t *entry, size_t entry_len,
                                   uint8_t *out);
// 0x0083 from the two OLT parameters (u16 LE each).
size_t olt_req_olt_params(const uint8_t params[4], uint8_t *out);
// PON port requests from the port's block.
size_t olt_req_pon_params(const uint8_t mac[6], int port, const uint8_t *block, uint8_t *out);
size_t olt_req_pon_clear(const uint8_t mac[6], int port, uint8_t *out);
size_t olt_req_pon_timing(const uint8_t mac[6], int port, uint8_t *out);
size_t olt_req_drssi(const uint8_t mac[6], int port, bool on, uint8_t *out);
size_t olt_req_sfp_info(const uint8_t mac[6], int port, uint8_t *out);
size_t olt_req_pon_table(const uint8_t mac[6], int port, const uint8_t *block, uint8_t *out);
size_t olt_req_pon_values(const uint8_t mac[6], int port, const uint8_t *block, uint8_t *out);
size_t olt_req_pon_levels(const uint8_t mac[6], int port, const uint8_t *block, uint8_t *out);
size_t olt_req_pon_switch(const uint8_t mac[6], int port, const uint8_t *block, uint8_t *out);
// 0x0017 / 0x0018 and the other requests that carry the MAC and port only
// (0x028B).
size_t olt_req_mac_port(const uint8_t mac[6], int port, uint8_t *out);
// 0x0121: the ONU indicator of PON port 0 or 1.
size_t olt_req_indicator(int port, bool on, uint8_t *out);
size_t olt_req_nni_params(const uint8_t mac[6], int port, uint8_t *out);
// The rule writer's request for one table: 0 when no slot is in use (no
// request). `out` needs room for OLT_RULES_REQUEST_MAX bytes.
constexpr size_t OLT_RULES_REQUEST_MAX = 11 + RULE_SLOTS * RULE_ENCODED_MAX;
size_t olt_req_rules(const uint8_t mac[6], int port, const uint8_t *table, uint8_t *out);
// Global block: 0x0050, 0x02EE, 0x005A, and 0x023C from the global
// parameter byte.
size_t olt_req_global_params(const uint8_t *block, uint8_t *out);
size_t olt_req_global_word(const uint8_t *block, uint8_t *out);
size_t olt_req_global_shaping(const uint8_t *block, uint8_t *out);
size_t olt_req_global_switch(uint8_t global_parameter, uint8_t *out);
size_t olt_req_option82(const uint8_t *block, uint8_t *out);
size_t olt_req_identifiers(const uint8_t *block, uint8_t *out);
// Multicast domains.
size_t olt_req_domain_setup(uint8_t *out);
// One of the four 0x0178 of domain index `index` (0..3 within the domain).
size_t olt_req_domain_queue(uint16_t domain_index, int which, uint8_t *out);
size_t olt_req_domain_create(uint16_t domain, uint16_t domain_index, uint8_t *out);
size_t olt_req_domain_rules(uint16_t domain, const uint8_t *entry, uint8_t *out);
size_t olt_req_domain_vlan(uint16_t domain, const uint8_t *entry, uint8_t *out);
size_t olt_req_domain_address(uint16_t domain, const uint8_t *entry, uint8_t *out);
size_t olt_req_domain_address_remove(uint16_t domain, uint8_t *out);
size_t olt_req_domain_remove(uint16_t domain, uint8_t *out);
size_t olt_req_domain_params(uint8_t *out);
// Whether domain `domain` with entry `entry` is set up at all.
bool olt_domain_wanted(uint16_t domain, const uint8_t *entry);
size_t olt_req_base_llid_write(const uint8_t mac[6], int port, uint16_t llid, uint8_t *out);

// ---- answers -------------------------------------------------------------------
// Port settings read: the entries start after the count at answer byte 10.
constexpr size_t PORT_SETTINGS_COUNT = 10;
constexpr size_t PORT_SETTINGS_ITEM = 12;   // the fixed-size items of an entry
// Length of the entry at `p` (its first byte, its (type, length, value)
// items, its 12-byte items), or 0 when it runs past `avail` bytes.
size_t olt_port_settings_entry_size(const uint8_t *p, size_t avail);
// Walks the entries of a port settings answer in order, calling
// `each(entry, size)` until it returns false. false when the answer is
// shorter than its count and entries say (the entries before the cut were
// walked).
bool olt_port_settings_walk(const uint8_t *answer, size_t len,
                            const std::function<bool(const uint8_t *entry, size_t size)> &each);

// SFP information: vendor name at 29..44, part number at 49..64; each is
// cut to 15 characters.
constexpr size_t SFP_VENDOR = 29;
constexpr size_t SFP_PART = 49;
constexpr size_t SFP_TEXT = 16;
constexpr size_t SFP_ANSWER_MIN = SFP_PART + SFP_TEXT;
// false when the answer is too short; else both texts, NUL-terminated.
bool olt_sfp_decode(const uint8_t *answer, size_t len, char vendor[SFP_TEXT], char part[SFP_TEXT]);
// Whether the transceiver supports DRSSI (part number match).
bool olt_sfp_drssi_supported(const char *part);

// Base LLID read: u16 BE at answer bytes 8..9. false when short.
constexpr size_t BASE_LLID_AT = 8;
bool olt_base_llid_decode(const uint8_t *answer, size_t len, uint16_t *llid);

// Protocol filter: 145 bytes read, written back with bytes 121..138 set.
constexpr size_t PROTOCOL_FILTER_SIZE = 145;
constexpr size_t PROTOCOL_FILTER_PATCH_AT = 121;
constexpr size_t PROTOCOL_FILTER_PATCH_SIZE = 18;
// false when the answer holds fewer than 145 bytes; else `out` is the
// write's data.
bool olt_protocol_filter_patch(const uint8_t *answer, size_t len, uint8_t out[PROTOCOL_FILTER_SIZE]);
