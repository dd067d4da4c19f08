#include "onu/epon_rules.h"

#include <cstring>
#include <string>
#include <string_view>

namespace {

// An unsigned number, decimal or 0x hex, no sign, no blanks, at most `max`.
bool parse_number(std::string_view text, uint64_t max, uint64_t *out)
{
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return false;
    uint64_t value = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return false;
        if (value > (max - digit) / base)
            return false;
        value = value * base + digit;
    }
    *out = value;
    return true;
}

// `count` numbers below 256 separated by `sep`, each in `base`.
bool parse_bytes(std::string_view text, char sep, unsigned count, bool hex, uint8_t *out)
{
    for (unsigned i = 0; i < count; i++) {
        size_t end = i + 1 < count ? text.find(sep) : text.size();
        if (end == std::string_view::npos || end == 0)
            return false;
        std::string_view part = text.substr(0, end);
        uint64_t value = 0;
        if (hex) {
            // Two hex digits exactly, as a MAC is written.
            if (part.size() != 2 || !parse_number(std::string("0x").append(part), 255, &value))
                return false;
        } else if (part.size() > 3 || !parse_number(part, 255, &value)) {
            return false;
        }
        out[i] = uint8_t(value);
        text.remove_prefix(i + 1 < count ? end + 1 : end);
    }
    return true;
}

// A clause value by its field code's kind, into the 8 value bytes: an
// address from the first value byte on, as the rule download reads it.
bool parse_value(unsigned field, std::string_view text, uint8_t value[8])
{
    memset(value, 0, 8);
    if (field <= 1)
        return parse_bytes(text, ':', 6, true, value);
    if (field >= 12 && field <= 15)
        return parse_bytes(text, '.', 4, false, value);
    uint64_t number;
    if (!parse_number(text, UINT64_MAX, &number))
        return false;
    for (int i = 0; i < 8; i++)
        value[i] = uint8_t(number >> (8 * i));
    return true;
}

bool parse_param(std::string_view text, uint8_t out[2])
{
    if (text.find('.') != std::string_view::npos)
        return parse_bytes(text, '.', 2, false, out);
    uint64_t number;
    if (!parse_number(text, 0xFFFF, &number))
        return false;
    uint16_t host = uint16_t(number);
    memcpy(out, &host, 2);
    return true;
}

} // namespace

int epon_rule_translate_to_bin(const char *text, uint8_t *entry)
{
    if (!text || !entry)
        return -1;
    uint8_t rule[ONU_RULE_SIZE] = {};
    bool have_a = false, have_action = false, have_param = false;
    bool open_clause = false;   // a field waits for its operator
    unsigned clauses = 0;

    std::string_view rest(text);
    while (true) {
        size_t start = rest.find_first_not_of(" \t");
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        size_t end = rest.find_first_of(" \t");
        std::string_view word = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);

        size_t eq = word.find('=');
        if (eq == std::string_view::npos)
            return -1;
        std::string_view key = word.substr(0, eq);
        std::string_view value = word.substr(eq + 1);
        uint64_t number;

        if (open_clause) {
            // Nothing but the operator may follow a field.
            if (key != "op" || !parse_number(value, 255, &number))
                return -1;
            rule[ONU_RULE_HEADER + ONU_RULE_CLAUSE * (clauses - 1) + 9] = uint8_t(number);
            open_clause = false;
        } else if (key == "a") {
            if (have_a || !parse_number(value, 255, &number))
                return -1;
            rule[1] = uint8_t(number);
            have_a = true;
        } else if (key == "action") {
            if (have_action || !parse_number(value, 255, &number))
                return -1;
            rule[2] = uint8_t(number);
            have_action = true;
        } else if (key == "param") {
            if (have_param || !parse_param(value, rule + 3))
                return -1;
            have_param = true;
        } else if (key.size() > 5 && key.substr(0, 5) == "field") {
            if (clauses == ONU_RULE_CLAUSES_MAX || !parse_number(key.substr(5), 255, &number))
                return -1;
            uint8_t *clause = rule + ONU_RULE_HEADER + ONU_RULE_CLAUSE * clauses;
            clause[0] = uint8_t(number);
            if (!parse_value(unsigned(number), value, clause + 1))
                return -1;
            clauses++;
            open_clause = true;
        } else {
            return -1;
        }
    }
    if (!have_action || open_clause)
        return -1;
    rule[5] = uint8_t(clauses);
    memcpy(entry, rule, ONU_RULE_SIZE);
    return 0;
}
