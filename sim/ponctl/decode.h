// Helpers every ponctl command shares: reading readable arguments into
// request fields, and turning answer bytes into text and JSON. Pure
// functions; nothing here talks to the daemon.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

// Size of the parameter block that begins every request and, as the echo,
// most answers.
constexpr size_t PONCTL_PARAMS = 32;

// A decimal or 0x-hex number no greater than `max` (no sign, nothing after).
bool ponctl_number(const std::string &text, unsigned long max, unsigned long *out);
// "00:0D:B6:10:00:00" (or '-' between the bytes) into six bytes.
bool ponctl_mac(const std::string &text, uint8_t out[6]);

// Why a command's arguments were refused, in one line that names the bad
// argument and what is wanted instead; ponctl prints it with the command's
// usage. Set by the refusals below.
extern std::string ponctl_error;
// Sets ponctl_error from the format and returns false, so that an argument
// reader ends with `return ponctl_refuse(...)`.
bool ponctl_refuse(const char *format, ...) __attribute__((format(printf, 1, 2)));
// ponctl_number that refuses with "bad WHAT 'TEXT' (want 0..MAX)".
bool ponctl_number_arg(const char *what, const std::string &text, unsigned long max, unsigned long *out);
// ponctl_mac that refuses with "bad MAC 'TEXT' (want 00:0D:B6:10:00:00)".
bool ponctl_mac_arg(const std::string &text, uint8_t out[6]);
// `args` holds between `min` and `max` arguments; else refuses naming the
// first missing one (from `names`, the arguments as the usage writes them)
// or the first one too many.
bool ponctl_arity(const std::vector<std::string> &args, size_t min, size_t max, const char *names);
// A parameter block with `mac` at bytes 8..13, as the ONU commands take it.
std::vector<uint8_t> ponctl_mac_params(const uint8_t mac[6]);

std::string ponctl_mac_text(const uint8_t *mac);
// The text of a fixed-size field: up to its first NUL.
std::string ponctl_text_field(const uint8_t *p, size_t n);
// "0A 1B ..." of `n` bytes, on one line.
std::string ponctl_hex(const uint8_t *p, size_t n);
// The name of an ONU, link or OLT state code; "UNKNOWN" above 15.
const char *ponctl_state_name(uint32_t state);

// Trailing blanks and NULs cut from a padded text field.
std::string ponctl_trimmed(std::string text);

// `j` as indented JSON with --json, else `text`. Text that is not valid
// UTF-8 (a field cut mid-character) is printed with the bad bytes replaced.
void ponctl_emit(const nlohmann::json &j, const std::string &text, std::string &out);
// printf into a std::string.
std::string ponctl_format(const char *format, ...) __attribute__((format(printf, 1, 2)));

// What an answer's rcode means to the operator.
struct ponctl_outcome {
    unsigned rcode;
    const char *text;
};
// "WHAT: TEXT (rcode N)", or {"rcode": N, "outcome": TEXT}; an rcode the
// list does not name is "failed".
void ponctl_print_outcome(const std::vector<uint8_t> &answer, const char *what,
                          std::initializer_list<ponctl_outcome> outcomes, std::string &out);
// An answer with data: on rcode 0 its payload decoded by `decode` (JSON
// object) and shown by `render`; else, or when the decoder found the answer
// short, one line "WHAT: ..." (JSON: "rcode", and "error" when short).
void ponctl_print_decoded(const std::vector<uint8_t> &answer, const char *what,
                          nlohmann::json (*decode)(const std::vector<uint8_t> &payload),
                          std::string (*render)(const nlohmann::json &decoded), std::string &out);
