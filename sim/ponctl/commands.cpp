#include "ponctl/commands.h"

#include "base/hextext.h"

#include "common/mgmt_conn.h"
#include "ponkernel/config_store.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t PARAMS = 32;

bool no_args(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &)
{
    return args.empty();
}

bool param_block(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &payload)
{
    payload.assign(PARAMS, 0);
    return args.empty();
}

bool raw_args(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    if (args.empty())
        return false;
    char *end = nullptr;
    unsigned long value = strtoul(args[0].c_str(), &end, 0);
    if (*end || value == 0 || value > 0xFFFF)
        return false;
    code = uint16_t(value);
    std::string hex;
    for (size_t i = 1; i < args.size(); i++)
        hex += args[i];
    return mgmt_parse_hex(hex, payload);
}

void append(std::string &out, const char *format, unsigned a, unsigned b = 0)
{
    char line[128];
    snprintf(line, sizeof line, format, a, b);
    out += line;
}

void print_rcode(const char *what, const std::vector<uint8_t> &answer, std::string &out)
{
    out += what;
    append(out, ": rcode %u\n", mgmt_header(answer).rcode);
}

void print_ping(const std::vector<uint8_t> &answer, std::string &out) { print_rcode("ping answered", answer, out); }
void print_report(const std::vector<uint8_t> &answer, std::string &out)
{
    print_rcode("resource report written", answer, out);
}

void print_raw(const std::vector<uint8_t> &answer, std::string &out)
{
    kernmsg_header h = mgmt_header(answer);
    char line[200];
    snprintf(line, sizeof line, "cmd 0x%04X tag %u type %u src %u dst %u rcode %u len %u\n", h.cmd, h.tag, h.type,
             h.src, h.dst, h.rcode, unsigned(h.len));
    out += line;
    std::vector<char> text(answer.size() * 5 + 64);
    hex_text(text.data(), text.size(), answer.data() + KERNMSG_HEADER_SIZE, answer.size() - KERNMSG_HEADER_SIZE);
    out += text.data();
}

// ---- edits of ponkernel's configuration store --------------------------------

// KEY=VALUE arguments into a JSON object: numbers stay numbers, an offset
// key ("28=04") becomes a patch of hex bytes.
bool key_values(const std::vector<std::string> &args, size_t first, nlohmann::json &object)
{
    for (size_t i = first; i < args.size(); i++) {
        size_t eq = args[i].find('=');
        if (eq == std::string::npos || eq == 0)
            return false;
        std::string key = args[i].substr(0, eq), value = args[i].substr(eq + 1);
        if (key.find_first_not_of("0123456789") == std::string::npos) {
            object["patch"][key] = value;
            continue;
        }
        char *end = nullptr;
        unsigned long n = strtoul(value.c_str(), &end, 0);
        if (!value.empty() && *end == '\0')
            object[key] = n;
        else
            object[key] = value;
    }
    return true;
}

bool edit_payload(const nlohmann::json &edit, uint16_t &code, std::vector<uint8_t> &payload)
{
    std::string text = edit.dump();
    code = CONFIG_EDIT;
    payload.assign(text.begin(), text.end());
    return true;
}

bool set_profile(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    if (args.size() < 2)
        return false;
    nlohmann::json entry = nlohmann::json::object();
    char *end = nullptr;
    entry["index"] = strtoul(args[1].c_str(), &end, 0);
    if (*end || !key_values(args, 2, entry))
        return false;
    nlohmann::json edit;
    edit["profiles"][args[0]] = nlohmann::json::array({entry});
    return edit_payload(edit, code, payload);
}

template <const char *Section>
bool set_section(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    nlohmann::json section = nlohmann::json::object();
    if (args.empty() || !key_values(args, 0, section))
        return false;
    nlohmann::json edit;
    edit[Section] = section;
    return edit_payload(edit, code, payload);
}
constexpr char SYSTEM[] = "system";
constexpr char RADIUS[] = "radius";

bool reload_all(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    return args.empty() && edit_payload(nlohmann::json{{"reload_all", true}}, code, payload);
}

bool config_edit(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    if (args.size() != 1)
        return false;
    code = CONFIG_EDIT;
    payload.assign(args[0].begin(), args[0].end());
    return true;
}

// CMD VALUE: the request code (u16 LE) and one byte.
bool fault_args(const std::vector<std::string> &args, std::vector<uint8_t> &payload, unsigned value)
{
    char *end = nullptr;
    unsigned long cmd = args.empty() ? 0 : strtoul(args[0].c_str(), &end, 0);
    if (args.size() != 2 || *end || cmd > 0xFFFF || value > 255)
        return false;
    payload = {uint8_t(cmd), uint8_t(cmd >> 8), uint8_t(value)};
    return true;
}
bool config_refuse(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    code = CONFIG_REFUSE;
    return args.size() == 2 && fault_args(args, payload, unsigned(strtoul(args[1].c_str(), nullptr, 0)));
}
bool config_silence(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    code = CONFIG_SILENCE;
    return args.size() == 2 && (args[1] == "on" || args[1] == "off") &&
           fault_args(args, payload, args[1] == "on" ? 1 : 0);
}

void print_config(const std::vector<uint8_t> &answer, std::string &out)
{
    if (mgmt_header(answer).rcode == 0) {
        out += "configuration store: done\n";
        return;
    }
    std::vector<uint8_t> why = mgmt_payload(answer);
    out += "configuration store: refused: " + std::string(why.begin(), why.end()) + "\n";
}

} // namespace

bool ponctl_json = false;
std::string ponctl_socket;

int ponctl_exchange(uint16_t code, const std::vector<uint8_t> &payload, std::vector<uint8_t> &answer)
{
    // ponkernel answers in the daemon's stead when the daemon did not.
    constexpr uint8_t RCODE_NO_ANSWER = 0xFF;
    int fd = mgmt_connect_unix(ponctl_socket);
    if (fd < 0) {
        fprintf(stderr, "ponctl: cannot reach ponkernel at %s\n", ponctl_socket.c_str());
        return 2;
    }
    kernmsg_header h;
    h.cmd = code;
    h.type = KERNMSG_REQUEST;
    h.src = MODULE_PON_KERNEL;
    // Edits of the configuration store are for ponkernel's own
    // configuration module; everything else goes on to the daemon.
    h.dst = code >= CONFIG_EDIT && code <= CONFIG_SILENCE ? MODULE_CONFIG : MODULE_CHIPSET;
    bool ok = mgmt_write_all(fd, mgmt_build(h, payload)) == 0 && mgmt_read_message(fd, answer) == KERNMSG_FRAME_OK;
    close(fd);
    if (!ok) {
        fprintf(stderr, "ponctl: ponkernel closed the connection\n");
        return 2;
    }
    if (mgmt_header(answer).rcode == RCODE_NO_ANSWER && mgmt_header(answer).src == MODULE_PON_KERNEL) {
        fprintf(stderr, "ponctl: no answer from the daemon\n");
        return 3;
    }
    return 0;
}

const std::vector<ponctl_command> &ponctl_commands()
{
    static const std::vector<ponctl_command> table = [] {
        std::vector<ponctl_command> all = {
        {"ping", 0x0009, "ping", no_args, print_ping},
        {"report", 0x7002, "report", param_block, print_report},
        {"raw", 0, "raw CODE [HEX]", raw_args, print_raw},
        {"set-profile", 0, "set-profile link|sla|paths|multicast|rules INDEX [fill=N] [links=N] [in_use=N] [OFFSET=HEX]...",
         set_profile, print_config},
        {"set-system", 0, "set-system [hostname=NAME] [address=IP] [word=N] [OFFSET=HEX]...", set_section<SYSTEM>,
         print_config},
        {"set-radius", 0, "set-radius KEY=VALUE... (as in the board file)", set_section<RADIUS>, print_config},
        {"reload-all", 0, "reload-all", reload_all, print_config},
        {"config-edit", 0, "config-edit JSON", config_edit, print_config},
        {"config-refuse", 0, "config-refuse CMD RCODE (0: answer again)", config_refuse, print_config},
        {"config-silence", 0, "config-silence CMD on|off", config_silence, print_config},
        };
        for (const auto *more : {&ponctl_olt_commands(), &ponctl_onu_commands(), &ponctl_schedule_commands()})
            all.insert(all.end(), more->begin(), more->end());
        return all;
    }();
    return table;
}

const ponctl_command *ponctl_find(const std::vector<std::string> &words, size_t *used)
{
    for (const auto &command : ponctl_commands()) {
        std::string name;
        for (size_t n = 0; n < words.size() && n < 2; n++) {
            name += (n ? " " : "") + words[n];
            if (name == command.name) {
                *used = n + 1;
                return &command;
            }
        }
    }
    return nullptr;
}
