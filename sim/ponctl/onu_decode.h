// Decoders of the daemon's answers to the ONU and schedule commands, and
// the text tables made of them. A decoder is a pure function of the answer
// payload (the bytes after the 16-byte header) into JSON; the text form is
// rendered from that JSON, so `--json` and the tables always say the same.
// Every decoder checks the length it has before it reads: a short answer
// decodes to an object with "error" set, never to bytes read past its end
// (a listing cut short keeps its whole records and says so in "warning").
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// List entries: the summary's first 27 bytes, in a full list followed by
// the 64-byte information block.
constexpr size_t ONU_LIST_COMPACT = 27;
constexpr size_t ONU_LIST_FULL = 91;
// ONU record answer: echo, record bytes 428..2399, 0..427, 2400..18472.
constexpr size_t ONU_RECORD_ANSWER = 18505;
constexpr size_t ONU_RECORD_SIZE = 18476;

// The used entries of a list answer's entry area (unused ones are all
// 0xFF), in order: an array of ONU objects.
nlohmann::json onu_list_entries(const uint8_t *entries, size_t size, size_t entry_size);
// The list as a table; `full` adds each ONU's information block.
std::string onu_list_table(const nlohmann::json &onus, bool full);
// One line for a redrawn list: `clock` (a time of day) and the number of
// ONUs in each state.
std::string onu_list_header(const nlohmann::json &onus, const std::string &clock);

// 0x2005: the record put back in its own order and decoded: main fields,
// links in use, UNI ports. The secret is left out.
nlohmann::json onu_record_decode(const std::vector<uint8_t> &payload);
std::string onu_record_text(const nlohmann::json &record);

// 0x2015: the ONU behind a learned MAC.
nlohmann::json onu_find_decode(const std::vector<uint8_t> &payload);
// 0x1013: the IGMP groups (at most 32).
nlohmann::json onu_igmp_decode(const std::vector<uint8_t> &payload);
// 0x100F / 0x1011 (entries of 6 bytes, learned MACs) and 0x1010 (entries of
// 20 bytes, address entries): the records per ONU path.
nlohmann::json onu_listing_decode(const std::vector<uint8_t> &payload, size_t entry_size);
std::string onu_listing_text(const nlohmann::json &listing);
// 0x2021: the transceiver's diagnostics page, dumped and its readings
// decoded.
nlohmann::json onu_triplexer_decode(const std::vector<uint8_t> &payload);
std::string onu_triplexer_text(const nlohmann::json &page);

// Update schedule kinds and job states by name.
const char *schedule_kind_name(unsigned kind);
const char *schedule_status_name(unsigned status);
// 0x6003: the jobs of the schedule, {"jobs": [...]}.
nlohmann::json schedule_list_decode(const std::vector<uint8_t> &payload);
std::string schedule_list_text(const nlohmann::json &list);
