#include "ponctl/commands.h"

#include "common/mgmt_conn.h"

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
    std::vector<char> text(answer.size() * 4 + 64);
    kernmsg_hex_text(text.data(), text.size(), answer.data() + KERNMSG_HEADER_SIZE,
                     answer.size() - KERNMSG_HEADER_SIZE);
    out += text.data();
    out += "\n";
}

} // namespace

const std::vector<ponctl_command> &ponctl_commands()
{
    static const std::vector<ponctl_command> table = {
        {"ping", 0x0009, "ping", no_args, print_ping},
        {"report", 0x7002, "report", param_block, print_report},
        {"raw", 0, "raw CODE [HEX]", raw_args, print_raw},
    };
    return table;
}

const ponctl_command *ponctl_find(const std::string &name)
{
    for (const auto &command : ponctl_commands())
        if (name == command.name)
            return &command;
    return nullptr;
}
