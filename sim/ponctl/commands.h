// ponctl's commands: one table entry each, with the builder of the request
// payload and the decoder that prints the answer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct ponctl_command {
    const char *name;
    uint16_t code;            // 0: taken from the arguments (raw)
    const char *usage;
    // Fills the code (when 0) and the payload from the arguments after the
    // command's name; false on bad arguments, with ponctl_error saying which
    // and what is wanted.
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
// many words the name took. NULL when none does, with ponctl_error saying
// why: an unknown command, or a group's (onu, olt, ...) unknown or missing
// sub-command with the group's sub-commands.
const ponctl_command *ponctl_find(const std::vector<std::string> &words, size_t *used);

// ponctl's exit statuses.
enum {
    PONCTL_ANSWERED = 0,      // answered with rcode 0
    PONCTL_USAGE = 1,         // bad usage: nothing was sent
    PONCTL_UNREACHABLE = 2,   // ponkernel not reachable, or the connection lost
    PONCTL_NO_ANSWER = 3,     // the daemon did not answer
    PONCTL_REFUSED = 4,       // answered with an rcode that is not 0 (not found, failed, ...); not raw
};

// ponctl itself: `argv` are its arguments (options, command, the command's
// arguments); prints the answer, and what went wrong on standard error.
// Returns the exit status.
int ponctl_main(const std::vector<std::string> &argv);

// One request to the daemon through ponkernel's control socket and its
// answer (header and payload). The result is PONCTL_ANSWERED, or
// PONCTL_UNREACHABLE or PONCTL_NO_ANSWER, whose line goes to `*why` when
// given, else to standard error.
int ponctl_exchange(uint16_t code, const std::vector<uint8_t> &payload, std::vector<uint8_t> &answer,
                    std::string *why = nullptr);
// The exit status of an answered command: PONCTL_REFUSED unless rcode is 0.
inline int ponctl_status_of(unsigned rcode) { return rcode == 0 ? PONCTL_ANSWERED : PONCTL_REFUSED; }
// `onu list --watch`: the list of `code` redrawn on `to` every `interval`
// seconds, with "waiting for ..." while ponkernel or the daemon does not
// answer, until SIGINT or SIGTERM reaches the calling thread; returns 0
// then.
int ponctl_watch_list(uint16_t code, const std::vector<uint8_t> &payload, double interval, bool full, FILE *to);
// The control socket (-s), $ZANDREL_ROOT/tmp/ponkernel.ctl by default.
extern std::string ponctl_socket;
// --json: answers printed as JSON for scripts.
extern bool ponctl_json;
