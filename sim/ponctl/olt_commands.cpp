// ponctl's OLT commands: the OLT record, the OLT reset and the port
// statistics, each with its request built from readable arguments and its
// answer printed decoded (or as JSON with --json).
#include "ponctl/commands.h"

#include "base/bytes.h"
#include "common/mgmt_conn.h"
#include "ponctl/decode.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The OLT record as the daemon sends it: index, MAC, firmware, then four
// ports of name, status, transceiver vendor and part, base LLID; further on
// the OLT's state and the uptime second it was entered.
constexpr size_t OLT_MAC = 1, OLT_FW = 7, OLT_PORTS = 9, PORT_SIZE = 106, OLT_STATE = 1315, OLT_STATE_SINCE = 1319;
constexpr size_t PORT_NAME = 0, PORT_STATUS = 64, PORT_STATUS_SIZE = 8, PORT_VENDOR = 72, PORT_PART = 88,
                 PORT_LLID = 104;
constexpr size_t OLT_RECORD_SENT = 1331;
constexpr size_t STATS_COUNT = 10, STATS_ENTRY = 12;
constexpr uint16_t STATS_READ = 0x1002;

// The OLT index argument: 0..3.
bool olt_index(const std::vector<std::string> &args, std::vector<uint8_t> &payload)
{
    unsigned long olt;
    if (!ponctl_arity(args, 1, 1, "OLT") || !ponctl_number_arg("OLT", args[0], 3, &olt))
        return false;
    payload.assign(PONCTL_PARAMS, 0);
    store_le32(payload.data(), uint32_t(olt));
    return true;
}
bool olt_show(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &payload)
{
    return olt_index(args, payload);
}
bool olt_reset(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &payload)
{
    return olt_index(args, payload);
}

// OLT PORT GROUP, the group being the sub-command of a port group.
bool stats_port(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &payload)
{
    static const unsigned groups[] = {2, 3, 6, 7, 8, 9};
    unsigned long olt, port, group;
    if (!ponctl_arity(args, 3, 3, "OLT PORT GROUP") || !ponctl_number_arg("OLT", args[0], 3, &olt) ||
        !ponctl_number_arg("PORT", args[1], 0xFFFF, &port))
        return false;
    if (!ponctl_number(args[2], 0xFFFF, &group) ||
        std::find(std::begin(groups), std::end(groups), group) == std::end(groups))
        return ponctl_refuse("bad GROUP '%s' (want 2, 3, 6, 7, 8 or 9)", args[2].c_str());
    payload.assign(PONCTL_PARAMS, 0);
    store_le16(payload.data(), uint16_t(olt));
    store_le16(payload.data() + 4, uint16_t(port));
    store_le16(payload.data() + 8, uint16_t(group));
    return true;
}

void print_olt(const std::vector<uint8_t> &answer, std::string &out)
{
    std::vector<uint8_t> data = mgmt_payload(answer);
    uint8_t rcode = mgmt_header(answer).rcode;
    nlohmann::json j = {{"rcode", rcode}};
    if (rcode != 0) {
        ponctl_emit(j, ponctl_format("OLT record: rcode %u\n", rcode), out);
        return;
    }
    if (data.size() < PONCTL_PARAMS + OLT_RECORD_SENT) {
        j["error"] = ponctl_format("short answer: %zu of %zu bytes", data.size(), PONCTL_PARAMS + OLT_RECORD_SENT);
        ponctl_emit(j, "OLT record: " + j["error"].get<std::string>() + "\n", out);
        return;
    }
    const uint8_t *r = data.data() + PONCTL_PARAMS;
    uint32_t state = load_le32(r + OLT_STATE), since = load_le32(r + OLT_STATE_SINCE);
    std::string text = ponctl_format("OLT %u  MAC %s  firmware %04X  state %s since %u\n", r[0],
                                     ponctl_mac_text(r + OLT_MAC).c_str(), load_le16(r + OLT_FW),
                                     ponctl_state_name(state), since);
    text += "PORT      STATUS                   SFP VENDOR        SFP PART          BASE LLID\n";
    j["olt"] = r[0];
    j["mac"] = ponctl_mac_text(r + OLT_MAC);
    j["firmware"] = load_le16(r + OLT_FW);
    j["state"] = state;
    j["state_name"] = ponctl_state_name(state);
    j["state_since"] = since;
    j["ports"] = nlohmann::json::array();
    for (size_t i = 0; i < 4; i++) {
        const uint8_t *port = r + OLT_PORTS + i * PORT_SIZE;
        // The transceiver's texts come padded with blanks to their 16 bytes.
        std::string name = ponctl_text_field(port + PORT_NAME, 64),
                    status = ponctl_hex(port + PORT_STATUS, PORT_STATUS_SIZE),
                    vendor = ponctl_trimmed(ponctl_text_field(port + PORT_VENDOR, 16)),
                    part = ponctl_trimmed(ponctl_text_field(port + PORT_PART, 16));
        uint16_t llid = load_le16(port + PORT_LLID);
        text += ponctl_format("%-9s %-24s %-17s %-17s 0x%04X\n", name.c_str(), status.c_str(), vendor.c_str(),
                              part.c_str(), llid);
        j["ports"].push_back({{"name", name},
                              {"status", status},
                              {"sfp_vendor", vendor},
                              {"sfp_part", part},
                              {"base_llid", llid}});
    }
    ponctl_emit(j, text, out);
}

void print_reset(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_outcome(answer, "OLT reset",
                         {{0, "configured"}, {2, "no such OLT"}, {6, "did not come back in time"},
                          {12, "configuration failed"}},
                         out);
}

void print_stats(const std::vector<uint8_t> &answer, std::string &out)
{
    std::vector<uint8_t> data = mgmt_payload(answer);
    uint8_t rcode = mgmt_header(answer).rcode;
    nlohmann::json j = {{"rcode", rcode}, {"counters", nlohmann::json::array()}};
    char line[96];
    snprintf(line, sizeof line, "statistics: rcode %u\n", rcode);
    std::string text = line;
    if (rcode == 0 && data.size() >= PONCTL_PARAMS) {
        size_t count = load_le16(data.data() + STATS_COUNT);
        text += "COUNTER  VALUE\n";
        for (size_t i = 0; i < count && PONCTL_PARAMS + (i + 1) * STATS_ENTRY <= data.size(); i++) {
            const uint8_t *e = data.data() + PONCTL_PARAMS + i * STATS_ENTRY;
            uint16_t id = load_le16(e);
            uint64_t value = uint64_t(load_le32(e + 8)) << 32 | load_le32(e + 4);
            snprintf(line, sizeof line, "%7u  %llu\n", id, static_cast<unsigned long long>(value));
            text += line;
            j["counters"].push_back({{"id", id}, {"value", value}});
        }
    }
    ponctl_emit(j, text, out);
}

} // namespace

const std::vector<ponctl_command> &ponctl_olt_commands()
{
    static const std::vector<ponctl_command> table = {
        {"olt show", 0x1005, "olt show OLT (0..3)", olt_show, print_olt},
        {"olt reset", 0x1003, "olt reset OLT (0..3)", olt_reset, print_reset},
        {"stats port", STATS_READ, "stats port OLT PORT GROUP (group 2, 3, 6, 7, 8 or 9)", stats_port, print_stats},
    };
    return table;
}
