#include "ponctl/onu_decode.h"

#include "ponctl/decode.h"

#include "base/bytes.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

using nlohmann::json;

namespace {

// ONU summary, as the lists carry it.
constexpr size_t SUM_ONT_ID = 0, SUM_TYPE = 4, SUM_HARDWARE = 5, SUM_MAC = 6, SUM_OLT = 12, SUM_PON = 13,
                 SUM_STATE = 14, SUM_DRSSI = 18, SUM_VIDEO = 20, SUM_FW = 22, SUM_CLASS = 24, SUM_BLOCKED = 25,
                 SUM_LINKS = 26;
constexpr size_t INFO_SIZE = 64;

// ONU record.
constexpr size_t REC_ONT_ID = 0, REC_DESC = 4, REC_DESC_SIZE = 256, REC_TYPE = 260, REC_HARDWARE = 261,
                 REC_CHIP = 262, REC_FW = 264, REC_MAC = 266, REC_OLT = 272, REC_PON = 273, REC_PORT = 274,
                 REC_INFO = 275, REC_PART = 412, REC_PART_SIZE = 16, REC_UNIS = 428, REC_LINKS = 2272,
                 REC_UNI_PATHS = 2360, REC_STATE = 2364, REC_ACTIVITY = 2368, REC_DRSSI = 2372,
                 REC_DRSSI_ACCEPTED = 2374, REC_DRSSI_REJECTED = 2376, REC_VIDEO = 2378, REC_DISCOVERED = 2380,
                 REC_FLAGS = 2384, REC_OK_SINCE = 2388, REC_LINK_COUNT = 18468;
// The three pieces of the record answer, after the echo: record offset and
// length of each, in the order sent.
constexpr struct {
    size_t offset, length;
} RECORD_PIECES[] = {{428, 1972}, {0, 428}, {2400, 16073}};
constexpr size_t UNI_COUNT = 4, UNI_SIZE = 461, UNI_NAME_SIZE = 64, UNI_STATUS = 64, UNI_STATUS_SIZE = 8,
                 UNI_BLOCKED = 72, UNI_BLOCKED_SINCE = 73, UNI_MACS = 77, UNI_MAC_COUNT = 64;
constexpr size_t LINK_COUNT = 4, LINK_SIZE = 22, LINK_LLID = 6, LINK_PATH = 8, LINK_DEST = 10, LINK_INDEX = 12,
                 LINK_STATE = 14, LINK_SINCE = 18;
constexpr uint8_t NO_PORT = 255;

// 0x2015 answer, after the echo.
constexpr size_t FIND_ANSWER = 49, FIND_ONT_ID = 32, FIND_MAC = 36, FIND_STATE = 42, FIND_OLT = 46, FIND_PON = 47,
                 FIND_UNI = 48;
// 0x1013 answer, after the echo: the count, then 8-byte entries.
constexpr size_t IGMP_MAX = 32, IGMP_ENTRY = 8;
// 0x100F/0x1010/0x1011: the record count in the echo, then records of an
// 18-byte head and `count` entries.
constexpr size_t LISTING_COUNT = 4, LISTING_HEAD = 18;
// SFF-8472 diagnostics page (device 0x51), internally calibrated values.
constexpr size_t PAGE_SIZE = 256, PAGE_TEMPERATURE = 96, PAGE_VCC = 98, PAGE_TX_BIAS = 100, PAGE_TX_POWER = 102,
                 PAGE_RX_POWER = 104, PAGE_VIDEO = 106;
// 0x6003 entries: the job's MAC, kind (u16) and status (u32).
constexpr size_t JOB_SIZE = 12, JOB_KIND = 6, JOB_STATUS = 8;

json short_answer(size_t have, size_t need)
{
    return {{"error", ponctl_format("short answer: %zu of %zu bytes", have, need)}};
}

std::string model_name(unsigned type)
{
    return type >= 1 && type <= 40 ? ponctl_format("ONTM-%02u", type) : "";
}

// Optical power in units of 0.1 microwatt as dBm; null for no light.
json dbm(unsigned tenths_uw)
{
    if (tenths_uw == 0)
        return nullptr;
    return std::round(100.0 * 10.0 * std::log10(tenths_uw / 10000.0)) / 100.0;
}

std::string dbm_text(const json &value)
{
    return value.is_null() ? "--" : ponctl_format("%.2f dBm", value.get<double>());
}

std::string firmware_text(unsigned version)
{
    return version == 0 ? "x.x" : ponctl_format("%X.%02X", version >> 8, version & 0xFF);
}

bool all_bytes(const uint8_t *p, size_t n, uint8_t value)
{
    return std::all_of(p, p + n, [value](uint8_t b) { return b == value; });
}

// The fields the summary and the record share.
void summary_fields(json &j, uint32_t ont_id, unsigned type, unsigned hardware, const uint8_t *mac, unsigned olt,
                    unsigned pon, uint32_t state, unsigned firmware, unsigned drssi, int16_t video)
{
    j["mac"] = ponctl_mac_text(mac);
    j["ont_id"] = ont_id;
    j["olt"] = olt;
    j["pon"] = pon;
    j["state"] = state;
    j["state_name"] = ponctl_state_name(state);
    j["firmware"] = firmware;
    j["firmware_text"] = firmware_text(firmware);
    j["type"] = type;
    j["model"] = model_name(type);
    j["hardware"] = hardware;
    j["drssi"] = drssi;
    j["video_power"] = video;
    // The transceiver's raw word is unsigned; the daemon stores it in a
    // signed field.
    j["video_dbm"] = dbm(uint16_t(video));
}

} // namespace

// ---- lists --------------------------------------------------------------------

json onu_list_entries(const uint8_t *entries, size_t size, size_t entry_size)
{
    json onus = json::array();
    for (size_t at = 0; at + entry_size <= size; at += entry_size) {
        const uint8_t *e = entries + at;
        if (all_bytes(e, ONU_LIST_COMPACT, 0xFF))
            continue;
        json onu;
        summary_fields(onu, load_le32(e + SUM_ONT_ID), e[SUM_TYPE], e[SUM_HARDWARE], e + SUM_MAC, e[SUM_OLT],
                       e[SUM_PON], load_le32(e + SUM_STATE), load_le16(e + SUM_FW), load_le16(e + SUM_DRSSI),
                       int16_t(load_le16(e + SUM_VIDEO)));
        onu["transceiver_class"] = e[SUM_CLASS];
        onu["uni_blocked"] = e[SUM_BLOCKED];
        onu["discovered_links"] = e[SUM_LINKS];
        if (entry_size >= ONU_LIST_COMPACT + INFO_SIZE)
            onu["info"] = ponctl_hex(e + ONU_LIST_COMPACT, INFO_SIZE);
        onus.push_back(onu);
    }
    return onus;
}

std::string onu_list_table(const json &onus, bool full)
{
    std::string text = "MAC                OLT/PORT  ONT ID  STATE           FIRMWARE  TYPE      DRSSI  VIDEO\n";
    for (const auto &onu : onus) {
        text += ponctl_format("%-17s  %u/%-6u  %6u  %-15s %-9s %-8s %6u  %s\n",
                              onu["mac"].get<std::string>().c_str(), onu["olt"].get<unsigned>(),
                              onu["pon"].get<unsigned>(), onu["ont_id"].get<unsigned>(),
                              onu["state_name"].get<std::string>().c_str(),
                              onu["firmware_text"].get<std::string>().c_str(),
                              onu["model"].get<std::string>().c_str(), onu["drssi"].get<unsigned>(),
                              dbm_text(onu["video_dbm"]).c_str());
        if (full && onu.contains("info"))
            text += "  info " + onu["info"].get<std::string>() + "\n";
    }
    return text;
}

std::string onu_list_header(const json &onus, const std::string &clock)
{
    // In the order of the state codes, as the daemon numbers them.
    std::map<uint32_t, unsigned> counts;
    for (const auto &onu : onus)
        counts[onu["state"].get<uint32_t>()]++;
    std::string text = ponctl_format("%s  ONUs %zu", clock.c_str(), onus.size());
    for (const auto &[state, n] : counts)
        text += ponctl_format("  %s %u", ponctl_state_name(state), n);
    return text + "\n";
}

// ---- the ONU record --------------------------------------------------------------

json onu_record_decode(const std::vector<uint8_t> &payload)
{
    if (payload.size() < ONU_RECORD_ANSWER)
        return short_answer(payload.size(), ONU_RECORD_ANSWER);
    std::vector<uint8_t> record(ONU_RECORD_SIZE, 0);
    size_t from = PONCTL_PARAMS;
    for (const auto &piece : RECORD_PIECES) {
        memcpy(record.data() + piece.offset, payload.data() + from, piece.length);
        from += piece.length;
    }
    const uint8_t *r = record.data();
    json j;
    summary_fields(j, load_le32(r + REC_ONT_ID), r[REC_TYPE], r[REC_HARDWARE], r + REC_MAC, r[REC_OLT], r[REC_PON],
                   load_le32(r + REC_STATE), load_le16(r + REC_FW), load_le16(r + REC_DRSSI),
                   int16_t(load_le16(r + REC_VIDEO)));
    j["description"] = ponctl_text_field(r + REC_DESC, REC_DESC_SIZE);
    j["chip"] = ponctl_format("0x%04X", load_be16(r + REC_CHIP));
    j["configured_port"] = r[REC_PORT] == NO_PORT ? json("any") : json(r[REC_PORT]);
    j["info"] = ponctl_hex(r + REC_INFO, INFO_SIZE);
    j["transceiver"] = ponctl_trimmed(ponctl_text_field(r + REC_PART, REC_PART_SIZE));
    j["last_activity"] = load_le32(r + REC_ACTIVITY);
    j["drssi_accepted"] = load_le16(r + REC_DRSSI_ACCEPTED);
    j["drssi_rejected"] = load_le16(r + REC_DRSSI_REJECTED);
    j["discovered_links"] = r[REC_DISCOVERED];
    j["link_count"] = r[REC_LINK_COUNT];
    j["ok_since"] = load_le32(r + REC_OK_SINCE);
    j["uni_paths"] = {load_le16(r + REC_UNI_PATHS), load_le16(r + REC_UNI_PATHS + 2)};
    uint32_t flags = load_le32(r + REC_FLAGS);
    j["flags"] = {{"word", ponctl_format("0x%08X", flags)},
                  {"configured_links", flags & 0xF},
                  {"paths_configured", bool(flags & 1u << 8)},
                  {"configured_ok", bool(flags & 1u << 16)},
                  {"from_radius", bool(flags & 1u << 17)},
                  {"configuration_pending", bool(flags & 1u << 25)},
                  {"egress_swap", bool(flags & 1u << 31)}};

    j["links"] = json::array();
    for (size_t i = 0; i < LINK_COUNT; i++) {
        const uint8_t *l = r + REC_LINKS + i * LINK_SIZE;
        uint32_t state = load_le32(l + LINK_STATE);
        if (state == 0)
            continue;   // not in use
        j["links"].push_back({{"index", load_le16(l + LINK_INDEX)},
                              {"mac", ponctl_mac_text(l)},
                              {"llid", load_le16(l + LINK_LLID)},
                              {"path", load_le16(l + LINK_PATH)},
                              {"destination", load_le16(l + LINK_DEST)},
                              {"state", state},
                              {"state_name", ponctl_state_name(state)},
                              {"since", load_le32(l + LINK_SINCE)}});
    }
    j["uni_ports"] = json::array();
    for (size_t p = 0; p < UNI_COUNT; p++) {
        const uint8_t *u = r + REC_UNIS + p * UNI_SIZE;
        json macs = json::array();
        for (size_t m = 0; m < UNI_MAC_COUNT; m++)
            if (!all_bytes(u + UNI_MACS + 6 * m, 6, 0))
                macs.push_back(ponctl_mac_text(u + UNI_MACS + 6 * m));
        std::string name = ponctl_text_field(u, UNI_NAME_SIZE);
        if (name.empty() && macs.empty() && u[UNI_BLOCKED] == 0)
            continue;   // an entry the ONU does not use
        j["uni_ports"].push_back({{"entry", p},
                                  {"name", name},
                                  {"status", ponctl_hex(u + UNI_STATUS, UNI_STATUS_SIZE)},
                                  {"blocked", u[UNI_BLOCKED] != 0},
                                  {"blocked_since", load_le32(u + UNI_BLOCKED_SINCE)},
                                  {"learned_macs", macs}});
    }
    return j;
}

std::string onu_record_text(const json &j)
{
    const json &port = j["configured_port"];
    std::string configured_port = port.is_string() ? port.get<std::string>() : std::to_string(port.get<unsigned>());
    std::string text = ponctl_format(
        "ONU %s  ONT id %u  state %s\n"
        "description   %s\n"
        "OLT %u port %u  configured port %s\n"
        "type %u %s  hardware %u  chip %s  firmware %s\n"
        "transceiver   %s  DRSSI %u (accepted %u, rejected %u)  video %s\n"
        "links %u (discovered %u)  flags %s  last activity %u  OK since %u\n",
        j["mac"].get<std::string>().c_str(), j["ont_id"].get<unsigned>(), j["state_name"].get<std::string>().c_str(),
        j["description"].get<std::string>().c_str(), j["olt"].get<unsigned>(), j["pon"].get<unsigned>(),
        configured_port.c_str(), j["type"].get<unsigned>(), j["model"].get<std::string>().c_str(),
        j["hardware"].get<unsigned>(), j["chip"].get<std::string>().c_str(),
        j["firmware_text"].get<std::string>().c_str(), j["transceiver"].get<std::string>().c_str(),
        j["drssi"].get<unsigned>(), j["drssi_accepted"].get<unsigned>(), j["drssi_rejected"].get<unsigned>(),
        dbm_text(j["video_dbm"]).c_str(), j["link_count"].get<unsigned>(), j["discovered_links"].get<unsigned>(),
        j["flags"]["word"].get<std::string>().c_str(), j["last_activity"].get<unsigned>(),
        j["ok_since"].get<unsigned>());
    text += "info          " + j["info"].get<std::string>() + "\n";
    text += "LINK  MAC                LLID    PATH  DEST   STATE           SINCE\n";
    for (const auto &l : j["links"])
        text += ponctl_format("%4u  %-17s  0x%04X  %5u %5u  %-15s %u\n", l["index"].get<unsigned>(),
                              l["mac"].get<std::string>().c_str(), l["llid"].get<unsigned>(),
                              l["path"].get<unsigned>(), l["destination"].get<unsigned>(),
                              l["state_name"].get<std::string>().c_str(), l["since"].get<unsigned>());
    text += "UNI     STATUS                   BLOCKED  LEARNED MACS\n";
    for (const auto &u : j["uni_ports"]) {
        text += ponctl_format("%-7s %-24s %-7s  %zu\n", u["name"].get<std::string>().c_str(),
                              u["status"].get<std::string>().c_str(), u["blocked"].get<bool>() ? "yes" : "no",
                              u["learned_macs"].size());
        for (const auto &mac : u["learned_macs"])
            text += "        " + mac.get<std::string>() + "\n";
    }
    return text;
}

// ---- look-ups ---------------------------------------------------------------------

json onu_find_decode(const std::vector<uint8_t> &payload)
{
    if (payload.size() < FIND_ANSWER)
        return short_answer(payload.size(), FIND_ANSWER);
    const uint8_t *p = payload.data();
    uint32_t state = load_le32(p + FIND_STATE);
    return {{"mac", ponctl_mac_text(p + FIND_MAC)}, {"ont_id", load_le32(p + FIND_ONT_ID)},
            {"state", state},                       {"state_name", ponctl_state_name(state)},
            {"olt", p[FIND_OLT]},                   {"pon", p[FIND_PON]},
            {"uni", p[FIND_UNI]}};
}

json onu_igmp_decode(const std::vector<uint8_t> &payload)
{
    byte_reader in(payload.data(), payload.size());
    in.skip(PONCTL_PARAMS);
    size_t count = in.u8();
    json groups = json::array();
    for (size_t i = 0; i < std::min(count, IGMP_MAX); i++) {
        uint8_t entry[IGMP_ENTRY];
        if (!in.bytes(entry, sizeof entry))
            break;
        groups.push_back({{"group", ponctl_format("%u.%u.%u.%u", entry[0], entry[1], entry[2], entry[3])},
                          {"kind", entry[4]}});
    }
    if (!in.ok())
        return short_answer(payload.size(), PONCTL_PARAMS + 1 + IGMP_ENTRY * std::min(count, IGMP_MAX));
    return {{"count", count}, {"groups", groups}};
}

json onu_listing_decode(const std::vector<uint8_t> &payload, size_t entry_size)
{
    if (payload.size() < PONCTL_PARAMS)
        return short_answer(payload.size(), PONCTL_PARAMS);
    uint32_t count = load_le32(payload.data() + LISTING_COUNT);
    byte_reader in(payload.data() + PONCTL_PARAMS, payload.size() - PONCTL_PARAMS);
    json records = json::array();
    for (uint32_t i = 0; i < count; i++) {
        uint8_t head[LISTING_HEAD];
        if (!in.bytes(head, sizeof head))
            break;
        uint32_t state = load_le32(head + 10);
        json record = {{"ont_id", load_le32(head)},       {"mac", ponctl_mac_text(head + 4)},
                       {"state", state},                  {"state_name", ponctl_state_name(state)},
                       {"olt", head[14]},                 {"pon", head[15]},
                       {"path", head[16]},                {"entries", json::array()}};
        std::vector<uint8_t> entry(entry_size);
        for (unsigned n = 0; n < head[17] && in.bytes(entry.data(), entry.size()); n++) {
            if (entry_size == 6)
                record["entries"].push_back(ponctl_mac_text(entry.data()));
            else
                // Address entries: the daemon turned the word at 6 into
                // host order, which is little-endian on the board.
                record["entries"].push_back(
                    {{"bytes", ponctl_hex(entry.data(), entry.size())}, {"value", load_le16(entry.data() + 6)}});
        }
        if (!in.ok())
            break;
        records.push_back(record);
    }
    json j = {{"count", count}, {"records", records}};
    if (!in.ok())
        j["warning"] = ponctl_format("short answer: %zu of %u records", records.size(), count);
    return j;
}

std::string onu_listing_text(const json &listing)
{
    std::string text = "MAC                ONT ID  STATE           OLT/PORT  PATH  ENTRIES\n";
    for (const auto &r : listing["records"]) {
        text += ponctl_format("%-17s  %6u  %-15s %u/%-6u  %4u  %zu\n", r["mac"].get<std::string>().c_str(),
                              r["ont_id"].get<unsigned>(), r["state_name"].get<std::string>().c_str(),
                              r["olt"].get<unsigned>(), r["pon"].get<unsigned>(), r["path"].get<unsigned>(),
                              r["entries"].size());
        for (const auto &e : r["entries"])
            text += "    " + (e.is_string() ? e.get<std::string>() : e["bytes"].get<std::string>()) + "\n";
    }
    if (listing.contains("warning"))
        text += listing["warning"].get<std::string>() + "\n";
    return text;
}

// ---- transceiver diagnostics ----------------------------------------------------

json onu_triplexer_decode(const std::vector<uint8_t> &payload)
{
    if (payload.size() < PONCTL_PARAMS + PAGE_SIZE)
        return short_answer(payload.size(), PONCTL_PARAMS + PAGE_SIZE);
    const uint8_t *page = payload.data() + PONCTL_PARAMS;
    auto word = [page](size_t at) { return unsigned(load_be16(page + at)); };
    auto round2 = [](double v) { return std::round(v * 100.0) / 100.0; };
    return {{"page", ponctl_hex(page, PAGE_SIZE)},
            {"temperature_c", round2(int16_t(word(PAGE_TEMPERATURE)) / 256.0)},
            {"vcc_v", round2(word(PAGE_VCC) / 10000.0)},
            {"tx_bias_ma", round2(word(PAGE_TX_BIAS) * 0.002)},
            {"tx_power_dbm", dbm(word(PAGE_TX_POWER))},
            {"rx_power_dbm", dbm(word(PAGE_RX_POWER))},
            {"video_power_dbm", dbm(word(PAGE_VIDEO))}};
}

std::string onu_triplexer_text(const json &j)
{
    std::string text = ponctl_format("temperature %.2f C  supply %.2f V  TX bias %.2f mA\n",
                                     j["temperature_c"].get<double>(), j["vcc_v"].get<double>(),
                                     j["tx_bias_ma"].get<double>());
    text += "TX power " + dbm_text(j["tx_power_dbm"]) + "  RX power " + dbm_text(j["rx_power_dbm"]) +
            "  video power " + dbm_text(j["video_power_dbm"]) + "\n";
    // Sixteen bytes to a line, each line led by its offset.
    std::string page = j["page"].get<std::string>();
    for (size_t line = 0; line * 48 < page.size(); line++)
        text += ponctl_format("%02zX: ", line * 16) + page.substr(line * 48, 47) + "\n";
    return text;
}

// ---- update schedule ------------------------------------------------------------

const char *schedule_kind_name(unsigned kind)
{
    switch (kind) {
    case 1: return "firmware";
    case 2: return "personality";
    case 3: return "reconfiguration";
    default: return "";
    }
}

const char *schedule_status_name(unsigned status)
{
    switch (status) {
    case 1: return "waiting";
    case 2: return "running";
    case 3: return "failed";
    case 4: return "done";
    default: return "unknown";
    }
}

json schedule_list_decode(const std::vector<uint8_t> &payload)
{
    json jobs = json::array();
    for (size_t at = PONCTL_PARAMS; at + JOB_SIZE <= payload.size(); at += JOB_SIZE) {
        const uint8_t *e = payload.data() + at;
        // A job always has a kind: an all-zero entry closes the list.
        if (all_bytes(e, JOB_SIZE, 0))
            continue;
        unsigned kind = load_le16(e + JOB_KIND), status = unsigned(load_le32(e + JOB_STATUS));
        jobs.push_back({{"mac", ponctl_mac_text(e)},
                        {"kind", kind},
                        {"kind_name", schedule_kind_name(kind)},
                        {"status", status},
                        {"status_name", schedule_status_name(status)}});
    }
    return {{"jobs", jobs}};
}

std::string schedule_list_text(const json &list)
{
    std::string text = "MAC                KIND             STATUS\n";
    for (const auto &job : list["jobs"]) {
        std::string kind = job["kind_name"].get<std::string>();
        if (kind.empty())
            kind = std::to_string(job["kind"].get<unsigned>());
        text += ponctl_format("%-17s  %-16s %s\n", job["mac"].get<std::string>().c_str(), kind.c_str(),
                              job["status_name"].get<std::string>().c_str());
    }
    return text;
}
