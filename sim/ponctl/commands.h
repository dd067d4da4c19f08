// ponctl's commands: one table entry each, with the builder of the request
// payload and the decoder that prints the answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ponctl_command {
    const char *name;
    uint16_t code;            // 0: taken from the arguments (raw)
    const char *usage;
    // Fills the code (when 0) and the payload from the arguments after the
    // command's name; false on bad arguments.
    bool (*build)(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload);
    // Prints the answer (whole message: header and payload).
    void (*print)(const std::vector<uint8_t> &answer, std::string &out);
};

// Every command, the OLT commands (olt_commands.cpp) among them.
const std::vector<ponctl_command> &ponctl_commands();
const std::vector<ponctl_command> &ponctl_olt_commands();
// The command whose name (one or two words) starts `words`; *used says how
// many words the name took. NULL when none does.
const ponctl_command *ponctl_find(const std::vector<std::string> &words, size_t *used);
// --json: answers printed as JSON for scripts.
extern bool ponctl_json;
