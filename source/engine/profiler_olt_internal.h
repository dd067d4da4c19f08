// What the OLT configuration's files share: the chip request sender, the
// configuration fetch, the domain set-up and the layout of the module's
// configuration state bytes in the OLT record. Not for other modules.
#pragma once

#include "engine/profiler_olt.h"

#include <cstddef>
#include <cstdint>
#include <functional>

// Offsets in olt_record::config_state.
constexpr size_t OLT_STATE_GLOBAL_PARAMETER = 0;
constexpr size_t OLT_STATE_OPTION82_FORMAT = 1;
constexpr size_t OLT_STATE_PPPOE_FORMAT = 2;
constexpr size_t OLT_STATE_DRSSI = 3;          // one byte per PON port
constexpr size_t OLT_STATE_LINK_COUNT = 5;     // one byte per PON port
constexpr size_t OLT_STATE_PERS_VERSION = 7;   // u16 LE

uint8_t *olt_state(olt_record *olt);
// The OLT's index from its record (the table position).
int olt_record_index(const olt_record *olt);

// The answer data of an RCODE-0 answer (the bytes after RCODE) and their
// count, lent to a reader for the length of the call.
using olt_reader = std::function<int(const uint8_t *answer, size_t len)>;
// One chip request with `len` data bytes to OLT `olt`: 0, 3 (non-zero
// RCODE), 4 (no pool block) or the transport's negative result. With `read`,
// an RCODE-0 answer goes to it and its result is the request's.
int olt_send(int olt, uint16_t id, const uint8_t *data, size_t len, int timeout, const olt_reader &read = nullptr);
// Reports an answer shorter than its layout: prints
// "%s: OLT[%d] short answer to 0x%04X (%u bytes)\n" and returns 3.
int olt_short_answer(const char *who, int olt, uint16_t id, size_t len);
// The ONU indicator of PON port `port` (0x0121).
int olt_indicator(int olt, int port, bool on);

// Fetches the OLT configuration (0x1004) with up to three attempts while the
// link fails. 0 with `*msg` (free it) and `*data` (OLT_CONFIG_DATA_SIZE
// bytes); the configuration module's non-zero result code; -1 for an answer
// shorter than the configuration; or the link's negative code. Prints and
// logs the outcome at `failure_level` (success at LOG_INFO) with `who`.
int olt_fetch_config(const char *who, int olt, int failure_level, uint8_t **msg, const uint8_t **data);
// The multicast domains from the four entries; the OR of the steps' results.
// Sets the domains-created flag. Caller holds the OLT.
int olt_apply_domains(int olt, const uint8_t *entries);
