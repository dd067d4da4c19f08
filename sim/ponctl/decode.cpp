#include "ponctl/decode.h"

#include "common/mgmt_conn.h"
#include "ponctl/commands.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

bool ponctl_number(const std::string &text, unsigned long max, unsigned long *out)
{
    char *end = nullptr;
    errno = 0;
    *out = strtoul(text.c_str(), &end, 0);
    return !text.empty() && *end == '\0' && text[0] != '-' && text[0] != '+' && errno == 0 && *out <= max;
}

bool ponctl_mac(const std::string &text, uint8_t out[6])
{
    // Exactly six pairs of hex digits with one separator between them.
    if (text.size() != 17)
        return false;
    for (size_t i = 0; i < 6; i++) {
        const char *pair = text.c_str() + 3 * i;
        if (!isxdigit(static_cast<unsigned char>(pair[0])) || !isxdigit(static_cast<unsigned char>(pair[1])))
            return false;
        if (i < 5 && pair[2] != ':' && pair[2] != '-')
            return false;
        char byte[3] = {pair[0], pair[1], '\0'};
        out[i] = uint8_t(strtoul(byte, nullptr, 16));
    }
    return true;
}

std::string ponctl_error;

bool ponctl_refuse(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    char line[512];
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    ponctl_error = line;
    return false;
}

bool ponctl_number_arg(const char *what, const std::string &text, unsigned long max, unsigned long *out)
{
    return ponctl_number(text, max, out) || ponctl_refuse("bad %s '%s' (want 0..%lu)", what, text.c_str(), max);
}

bool ponctl_mac_arg(const std::string &text, uint8_t out[6])
{
    return ponctl_mac(text, out) || ponctl_refuse("bad MAC '%s' (want 00:0D:B6:10:00:00)", text.c_str());
}

bool ponctl_arity(const std::vector<std::string> &args, size_t min, size_t max, const char *names)
{
    if (args.size() > max)
        return ponctl_refuse("unexpected argument '%s' (want %s)", args[max].c_str(), *names ? names : "none");
    if (args.size() < min) {
        // The first argument not given is the usage's word after the ones
        // given (the required arguments come first).
        std::istringstream words(names);
        std::string missing;
        for (size_t i = 0; i <= args.size(); i++)
            words >> missing;
        return missing == names ? ponctl_refuse("missing %s", names)
                                : ponctl_refuse("missing %s (want %s)", missing.c_str(), names);
    }
    return true;
}

std::vector<uint8_t> ponctl_mac_params(const uint8_t mac[6])
{
    std::vector<uint8_t> params(PONCTL_PARAMS, 0);
    memcpy(params.data() + 8, mac, 6);
    return params;
}

std::string ponctl_mac_text(const uint8_t *mac)
{
    return ponctl_format("%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

std::string ponctl_text_field(const uint8_t *p, size_t n)
{
    return std::string(reinterpret_cast<const char *>(p), strnlen(reinterpret_cast<const char *>(p), n));
}

std::string ponctl_hex(const uint8_t *p, size_t n)
{
    std::string text;
    for (size_t i = 0; i < n; i++)
        text += ponctl_format(i ? " %02X" : "%02X", p[i]);
    return text;
}

const char *ponctl_state_name(uint32_t state)
{
    static const char *const names[] = {"FREE",     "ALLOCATED",       "AUTHINPROGRESS", "CFGINPROGRESS",
                                        "AUTHFAILED", "CFGFAILED",     "REPORTTIMEOUT",  "OK",
                                        "AUTHOK",   "RESETINPROGRESS", "RESETOK",        "DISCOVERED",
                                        "BLOCKED",  "RESETFWUPGRADE",  "UNCONFIGURED",   "UNKNOWN"};
    return state < sizeof names / sizeof names[0] ? names[state] : "UNKNOWN";
}

std::string ponctl_trimmed(std::string text)
{
    size_t end = text.find_last_not_of(std::string(" \t\0", 3));
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

void ponctl_emit(const nlohmann::json &j, const std::string &text, std::string &out)
{
    out += ponctl_json ? j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n" : text;
}

std::string ponctl_format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0)
        vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

void ponctl_print_outcome(const std::vector<uint8_t> &answer, const char *what,
                          std::initializer_list<ponctl_outcome> outcomes, std::string &out)
{
    unsigned rcode = mgmt_header(answer).rcode;
    const char *text = "failed";
    for (const auto &o : outcomes)
        if (o.rcode == rcode)
            text = o.text;
    ponctl_emit({{"rcode", rcode}, {"outcome", text}}, ponctl_format("%s: %s (rcode %u)\n", what, text, rcode), out);
}

void ponctl_print_decoded(const std::vector<uint8_t> &answer, const char *what,
                          nlohmann::json (*decode)(const std::vector<uint8_t> &payload),
                          std::string (*render)(const nlohmann::json &decoded), std::string &out)
{
    // The codes the ONU commands share (the daemon's unknown-ONU answer
    // among them).
    static const struct {
        unsigned rcode;
        const char *text;
    } meanings[] = {{3, "failed"}, {8, "not found"}};
    unsigned rcode = mgmt_header(answer).rcode;
    nlohmann::json j = {{"rcode", rcode}};
    if (rcode != 0) {
        const char *text = "failed";
        for (const auto &m : meanings)
            if (m.rcode == rcode)
                text = m.text;
        ponctl_emit(j, ponctl_format("%s: %s (rcode %u)\n", what, text, rcode), out);
        return;
    }
    nlohmann::json decoded = decode(mgmt_payload(answer));
    j.update(decoded);
    if (decoded.contains("error")) {
        ponctl_emit(j, ponctl_format("%s: %s\n", what, decoded["error"].get<std::string>().c_str()), out);
        return;
    }
    ponctl_emit(j, render(decoded), out);
}
