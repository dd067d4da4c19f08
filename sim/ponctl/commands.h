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
    // A command of more than one exchange (both halves of a list, a table
    // redrawn until Ctrl-C) runs them itself through ponctl_exchange, given
    // its arguments and what build made of them, and returns the exit
    // status. NULL: one request, its answer printed.
    int (*run)(const std::vector<std::string> &args, uint16_t code, const std::vector<uint8_t> &payload) = nullptr;
};

// Every command, the OLT commands (olt_commands.cpp), the ONU commands
// (onu_commands.cpp) and the schedule commands (schedule_commands.cpp)
// among them.
const std::vector<ponctl_command> &ponctl_commands();
const std::vector<ponctl_command> &ponctl_olt_commands();
const std::vector<ponctl_command> &ponctl_onu_commands();
const std::vector<ponctl_command> &ponctl_schedule_commands();
// The command whose name (one or two words) starts `words`; *used says how
// many words the name took. NULL when none does.
const ponctl_command *ponctl_find(const std::vector<std::string> &words, size_t *used);

// One request to the daemon through ponkernel's control socket and its
// answer (header and payload). 0 answered; 2 ponkernel unreachable or the
// connection lost; 3 the daemon did not answer. The failures print their
// line on standard error; the result is ponctl's exit status.
int ponctl_exchange(uint16_t code, const std::vector<uint8_t> &payload, std::vector<uint8_t> &answer);
// The control socket (-s), $ZANDREL_ROOT/tmp/ponkernel.ctl by default.
extern std::string ponctl_socket;
// --json: answers printed as JSON for scripts.
extern bool ponctl_json;
