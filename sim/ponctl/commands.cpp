#include "ponctl/commands.h"

#include "base/hextext.h"
#include "ponctl/decode.h"

#include "common/mgmt_conn.h"
#include "common/textfile.h"
#include "platform/sandbox.h"
#include "wire/ids.h"
#include "ponkernel/config_store.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t PARAMS = 32;

bool no_args(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &)
{
    return ponctl_arity(args, 0, 0, "");
}

bool param_block(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &payload)
{
    payload.assign(PARAMS, 0);
    return ponctl_arity(args, 0, 0, "");
}

// HEX words joined into the payload.
bool hex_payload(const std::vector<std::string> &args, size_t first, std::vector<uint8_t> &payload)
{
    std::string hex;
    for (size_t i = first; i < args.size(); i++)
        hex += args[i];
    return mgmt_parse_hex(hex, payload) ||
           ponctl_refuse("bad HEX '%s' (want whole bytes in hex, such as 00 01 or 0001)", hex.c_str());
}

bool raw_args(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    unsigned long value;
    if (!ponctl_arity(args, 1, args.size(), "CODE [HEX]"))
        return false;
    if (!ponctl_number(args[0], 0xFFFF, &value) || value == 0)
        return ponctl_refuse("bad CODE '%s' (want 0x0001..0xFFFF)", args[0].c_str());
    code = uint16_t(value);
    return hex_payload(args, 1, payload);
}

// The answer's rcode with the words for it: {"rcode", "outcome"}.
void print_rcode(const char *what, const char *outcome, const std::vector<uint8_t> &answer, std::string &out)
{
    unsigned rcode = mgmt_header(answer).rcode;
    ponctl_emit({{"rcode", rcode}, {"outcome", rcode == 0 ? outcome : "failed"}},
                ponctl_format("%s: rcode %u\n", what, rcode), out);
}

void print_ping(const std::vector<uint8_t> &answer, std::string &out)
{
    print_rcode("ping answered", "answered", answer, out);
}
void print_report(const std::vector<uint8_t> &answer, std::string &out)
{
    print_rcode("resource report written", "written", answer, out);
}

// The counters file's lines as one object (--json), or grouped by what
// they count (the daemon, each OLT, the chip link, the management link),
// names and values aligned.
std::string counters_shown(const std::string &file)
{
    std::vector<std::pair<std::string, unsigned long long>> lines;
    std::istringstream in(file);
    std::string name;
    unsigned long long value;
    size_t width = 0;
    while (in >> name >> value) {
        lines.emplace_back(name, value);
        width = std::max(width, name.size());
    }
    nlohmann::json j = nlohmann::json::object();
    std::string text, group;
    for (const auto &[counter, n] : lines) {
        j[counter] = n;
        size_t cut = counter.find('_');
        std::string prefix = counter.substr(0, cut);
        bool grouped = cut != std::string::npos &&
                       (prefix == "chip" || prefix == "mgmt" || (prefix.size() == 4 && prefix.rfind("olt", 0) == 0));
        std::string own = grouped ? prefix : "daemon";
        if (own != group)
            text += (group.empty() ? "" : "\n") + own + "\n";
        group = own;
        text += ponctl_format("  %-*s %12llu\n", int(width), grouped ? counter.c_str() + cut + 1 : counter.c_str(), n);
    }
    std::string out;
    ponctl_emit(j, text, out);
    return out;
}

// The resource report makes the daemon write its counters file, which is
// then read from the board's root.
int run_counters(const std::vector<std::string> &, uint16_t code, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> answer;
    if (int status = ponctl_exchange(code, payload, answer))
        return status;
    if (unsigned rcode = mgmt_header(answer).rcode) {
        fprintf(stderr, "ponctl: counters: the resource report failed: rcode %u\n", rcode);
        return PONCTL_REFUSED;
    }
    std::string file, error;
    if (!read_text_file(sandbox_path(WORK_COUNTERS_FILE), file, error)) {
        fprintf(stderr, "ponctl: counters: %s\n", error.c_str());
        return PONCTL_NO_ANSWER;
    }
    fputs(counters_shown(file).c_str(), stdout);
    return PONCTL_ANSWERED;
}

void print_raw(const std::vector<uint8_t> &answer, std::string &out)
{
    kernmsg_header h = mgmt_header(answer);
    std::vector<uint8_t> payload = mgmt_payload(answer);
    std::vector<char> text(payload.size() * 5 + 64);
    hex_text(text.data(), text.size(), payload.data(), payload.size());
    nlohmann::json j = {{"rcode", h.rcode}, {"cmd", h.cmd}, {"tag", h.tag}, {"type", h.type}, {"src", h.src},
                        {"dst", h.dst},     {"len", h.len}, {"payload", ponctl_hex(payload.data(), payload.size())}};
    ponctl_emit(j,
                ponctl_format("cmd 0x%04X tag %u type %u src %u dst %u rcode %u len %u\n", h.cmd, h.tag, h.type,
                              h.src, h.dst, h.rcode, unsigned(h.len)) +
                    text.data(),
                out);
}

// ---- edits of ponkernel's configuration store --------------------------------

// The named keys of a section of the board file, as ponkernel reads them.
enum key_kind { NUMBER, TEXT, ADDRESS };
struct key_spec {
    const char *name;
    key_kind kind;
    unsigned long max;   // NUMBER
};
constexpr key_spec SYSTEM_KEYS[] = {{"word", NUMBER, 0xFFFFFFFF}, {"hostname", TEXT, 0}, {"address", ADDRESS, 0}};
constexpr key_spec RADIUS_KEYS[] = {
    {"auth", NUMBER, 1},           {"primary", ADDRESS, 0},          {"secondary", ADDRESS, 0},
    {"auth_local_port", NUMBER, 0xFFFF}, {"auth_port", NUMBER, 0xFFFF}, {"secret", TEXT, 0},
    {"accounting", NUMBER, 1},     {"interim_minutes", NUMBER, 0xFFFF}, {"acct_local_port", NUMBER, 0xFFFF},
    {"acct_port", NUMBER, 0xFFFF}, {"acct_local_port2", NUMBER, 0xFFFF}};
constexpr key_spec PROFILE_KEYS[] = {{"fill", NUMBER, 255}, {"links", NUMBER, 255}, {"in_use", NUMBER, 255}};
struct key_table {
    const key_spec *keys;
    size_t count;
};
template <size_t N> constexpr key_table table_of(const key_spec (&keys)[N]) { return {keys, N}; }

// KEY=VALUE arguments into a JSON object. A key is one of the section's
// names, its value of the key's kind, or an offset ("28=04") with hex bytes
// to patch there.
bool key_values(const std::vector<std::string> &args, size_t first, key_table table, nlohmann::json &object)
{
    std::string names;
    for (size_t k = 0; k < table.count; k++)
        names += std::string(table.keys[k].name) + ", ";
    names += "or a byte OFFSET";
    for (size_t i = first; i < args.size(); i++) {
        size_t eq = args[i].find('=');
        if (eq == std::string::npos || eq == 0)
            return ponctl_refuse("bad setting '%s' (want KEY=VALUE)", args[i].c_str());
        std::string key = args[i].substr(0, eq), value = args[i].substr(eq + 1);
        if (key.find_first_not_of("0123456789") == std::string::npos) {
            std::vector<uint8_t> bytes;
            if (!mgmt_parse_hex(value, bytes) || bytes.empty())
                return ponctl_refuse("bad bytes '%s' for offset %s (want hex, such as 04 or 0A0B)", value.c_str(),
                                     key.c_str());
            object["patch"][key] = value;
            continue;
        }
        const key_spec *wanted = nullptr;
        for (size_t k = 0; k < table.count; k++)
            if (key == table.keys[k].name)
                wanted = &table.keys[k];
        if (!wanted)
            return ponctl_refuse("unknown key '%s' (want %s)", key.c_str(), names.c_str());
        unsigned long n;
        in_addr address;
        switch (wanted->kind) {
        case NUMBER:
            if (!ponctl_number_arg(wanted->name, value, wanted->max, &n))
                return false;
            object[key] = n;
            break;
        case ADDRESS:
            if (inet_pton(AF_INET, value.c_str(), &address) != 1)
                return ponctl_refuse("bad %s '%s' (want an IPv4 address such as 127.0.0.1)", wanted->name,
                                     value.c_str());
            object[key] = value;
            break;
        case TEXT:
            object[key] = value;
            break;
        }
    }
    return true;
}

bool edit_payload(const nlohmann::json &edit, uint16_t &code, std::vector<uint8_t> &payload)
{
    std::string text = edit.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    code = CONFIG_EDIT;
    payload.assign(text.begin(), text.end());
    return true;
}

bool set_profile(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    static const char *const types[] = {"link", "sla", "paths", "multicast", "rules"};
    if (!ponctl_arity(args, 2, args.size(), "TYPE INDEX [KEY=VALUE]..."))
        return false;
    if (std::find(std::begin(types), std::end(types), args[0]) == std::end(types))
        return ponctl_refuse("bad profile type '%s' (want link, sla, paths, multicast or rules)", args[0].c_str());
    nlohmann::json entry = nlohmann::json::object();
    unsigned long index;
    if (!ponctl_number_arg("INDEX", args[1], 255, &index) || !key_values(args, 2, table_of(PROFILE_KEYS), entry))
        return false;
    entry["index"] = index;
    nlohmann::json edit;
    edit["profiles"][args[0]] = nlohmann::json::array({entry});
    return edit_payload(edit, code, payload);
}

bool set_system(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    nlohmann::json section = nlohmann::json::object();
    if (!ponctl_arity(args, 1, args.size(), "KEY=VALUE...") || !key_values(args, 0, table_of(SYSTEM_KEYS), section))
        return false;
    return edit_payload({{"system", section}}, code, payload);
}

bool set_radius(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    nlohmann::json section = nlohmann::json::object();
    if (!ponctl_arity(args, 1, args.size(), "KEY=VALUE...") || !key_values(args, 0, table_of(RADIUS_KEYS), section))
        return false;
    return edit_payload({{"radius", section}}, code, payload);
}

bool reload_all(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    return ponctl_arity(args, 0, 0, "") && edit_payload(nlohmann::json{{"reload_all", true}}, code, payload);
}

bool config_edit(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    if (!ponctl_arity(args, 1, 1, "JSON"))
        return false;
    if (!nlohmann::json::accept(args[0]))
        return ponctl_refuse("bad JSON '%s' (want one object, such as '{\"reload_all\": true}')", args[0].c_str());
    code = CONFIG_EDIT;
    payload.assign(args[0].begin(), args[0].end());
    return true;
}

// CMD VALUE: the request code (u16 LE) and one byte.
bool fault_args(const std::vector<std::string> &args, const char *names, std::vector<uint8_t> &payload,
                unsigned long value)
{
    unsigned long cmd;
    if (!ponctl_arity(args, 2, 2, names) || !ponctl_number_arg("CMD", args[0], 0xFFFF, &cmd))
        return false;
    payload = {uint8_t(cmd), uint8_t(cmd >> 8), uint8_t(value)};
    return true;
}
bool config_refuse(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    code = CONFIG_REFUSE;
    unsigned long rcode = 0;
    return fault_args(args, "CMD RCODE", payload, 0) && ponctl_number_arg("RCODE", args[1], 255, &rcode) &&
           fault_args(args, "CMD RCODE", payload, rcode);
}
bool config_silence(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    code = CONFIG_SILENCE;
    if (!fault_args(args, "CMD on|off", payload, 0))
        return false;
    if (args[1] != "on" && args[1] != "off")
        return ponctl_refuse("bad switch '%s' (want on or off)", args[1].c_str());
    return fault_args(args, "CMD on|off", payload, args[1] == "on" ? 1 : 0);
}

void print_config(const std::vector<uint8_t> &answer, std::string &out)
{
    unsigned rcode = mgmt_header(answer).rcode;
    if (rcode == 0) {
        ponctl_emit({{"rcode", rcode}, {"outcome", "done"}}, "configuration store: done\n", out);
        return;
    }
    std::vector<uint8_t> why = mgmt_payload(answer);
    std::string reason(why.begin(), why.end());
    ponctl_emit({{"rcode", rcode}, {"outcome", "refused"}, {"reason", reason}},
                "configuration store: refused: " + reason + "\n", out);
}

} // namespace

bool ponctl_json = false;
std::string ponctl_socket;

int ponctl_exchange(uint16_t code, const std::vector<uint8_t> &payload, std::vector<uint8_t> &answer,
                    std::string *why)
{
    // ponkernel answers in the daemon's stead when the daemon did not.
    constexpr uint8_t RCODE_NO_ANSWER = 0xFF;
    auto fail = [why](int status, const std::string &text) {
        if (why)
            *why = text;
        else
            fprintf(stderr, "ponctl: %s\n", text.c_str());
        return status;
    };
    int fd = mgmt_connect_unix(ponctl_socket);
    if (fd < 0)
        return fail(PONCTL_UNREACHABLE, "cannot reach ponkernel at " + ponctl_socket);
    kernmsg_header h;
    h.cmd = code;
    h.type = KERNMSG_REQUEST;
    h.src = MODULE_PON_KERNEL;
    // Edits of the configuration store are for ponkernel's own
    // configuration module; everything else goes on to the daemon.
    h.dst = code >= CONFIG_EDIT && code <= CONFIG_SILENCE ? MODULE_CONFIG : MODULE_CHIPSET;
    bool ok = mgmt_write_all(fd, mgmt_build(h, payload)) == 0 && mgmt_read_message(fd, answer) == KERNMSG_FRAME_OK;
    close(fd);
    if (!ok)
        return fail(PONCTL_UNREACHABLE, "ponkernel at " + ponctl_socket + " closed the connection");
    if (mgmt_header(answer).rcode == RCODE_NO_ANSWER && mgmt_header(answer).src == MODULE_PON_KERNEL)
        return fail(PONCTL_NO_ANSWER, "no answer from the daemon");
    return PONCTL_ANSWERED;
}

const std::vector<ponctl_command> &ponctl_commands()
{
    static const std::vector<ponctl_command> table = [] {
        std::vector<ponctl_command> all = {
        {"ping", 0x0009, "ping", no_args, print_ping},
        {"report", 0x7002, "report", param_block, print_report},
        {"counters", 0x7002, "counters  (a resource report, then the counters it wrote to ROOT/tmp/zandrel_counters)",
         param_block, print_report, run_counters},
        {"raw", 0, "raw CODE [HEX]", raw_args, print_raw},
        {"set-profile", 0, "set-profile link|sla|paths|multicast|rules INDEX [fill=N] [links=N] [in_use=N] [OFFSET=HEX]...",
         set_profile, print_config},
        {"set-system", 0, "set-system [hostname=NAME] [address=IP] [word=N] [OFFSET=HEX]...", set_system,
         print_config},
        {"set-radius", 0,
         "set-radius KEY=VALUE... (auth, primary, secondary, auth_local_port, auth_port, secret, accounting, "
         "interim_minutes, acct_local_port, acct_port, acct_local_port2, or OFFSET=HEX)",
         set_radius, print_config},
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
    // A group's name (the first word of two-word commands) with a wrong or
    // no second word: say which, and the group's sub-commands.
    std::string subs;
    for (const auto &command : ponctl_commands()) {
        std::string name = command.name;
        if (!words.empty() && name.compare(0, words[0].size() + 1, words[0] + " ") == 0)
            subs += (subs.empty() ? "" : ", ") + name.substr(words[0].size() + 1);
    }
    if (words.empty())
        ponctl_refuse("missing COMMAND (ponctl --help lists them)");
    else if (subs.empty())
        ponctl_refuse("unknown command '%s' (ponctl --help lists the commands)", words[0].c_str());
    else if (words.size() < 2)
        ponctl_refuse("'%s' wants a sub-command: %s", words[0].c_str(), subs.c_str());
    else
        ponctl_refuse("unknown sub-command '%s' for '%s' (want %s)", words[1].c_str(), words[0].c_str(),
                      subs.c_str());
    return nullptr;
}

namespace {

int usage(FILE *to = stderr, int status = PONCTL_USAGE)
{
    fprintf(to, "usage: ponctl [-s SOCKET] [--json] COMMAND [ARGS]\ncommands:\n");
    for (const auto &command : ponctl_commands())
        fprintf(to, "  %s\n", command.usage);
    return status;
}

int refuse(const std::string &what)
{
    fprintf(stderr, "ponctl: %s\n", what.c_str());
    return PONCTL_USAGE;
}

} // namespace

int ponctl_main(const std::vector<std::string> &argv)
{
    std::vector<std::string> words;
    for (size_t i = 0; i < argv.size(); i++) {
        const std::string &arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return usage(stdout, 0);
        if (arg == "--json") {
            ponctl_json = true;
        } else if (arg == "-s") {
            if (i + 1 >= argv.size() || argv[i + 1].empty())
                return refuse("-s wants the path of ponkernel's control socket (-s ROOT/tmp/ponkernel.ctl)");
            ponctl_socket = argv[++i];
        } else if (words.empty() && arg.size() > 1 && arg[0] == '-') {
            // Options after the command's name are the command's own.
            return refuse("unknown option '" + arg + "' (want -s SOCKET, --json or --help)");
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty())
        return usage();
    size_t used = 0;
    const ponctl_command *command = ponctl_find(words, &used);
    if (!command)
        return refuse(ponctl_error);
    std::vector<std::string> args(words.begin() + long(used), words.end());
    uint16_t code = command->code;
    std::vector<uint8_t> payload;
    ponctl_error.clear();
    if (!command->build(args, code, payload)) {
        // One line saying what is wrong, then how the command is used; no
        // request goes out.
        fprintf(stderr, "ponctl: %s: %s\nusage: ponctl %s\n", command->name,
                ponctl_error.empty() ? "bad arguments" : ponctl_error.c_str(), command->usage);
        return PONCTL_USAGE;
    }
    if (command->run)
        return command->run(args, code, payload);

    std::vector<uint8_t> answer;
    if (int status = ponctl_exchange(code, payload, answer))
        return status;
    std::string out;
    command->print(answer, out);
    fputs(out.c_str(), stdout);
    // raw shows any answer as it came, its rcode among the rest: answered
    // is all it can say of it.
    return command->print == print_raw ? PONCTL_ANSWERED : ponctl_status_of(mgmt_header(answer).rcode);
}
