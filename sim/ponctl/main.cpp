// ponctl COMMAND [ARGS]: sends one management command to the daemon through
// ponkernel's control socket ($ZANDREL_ROOT/tmp/ponkernel.ctl, or -s PATH)
// and prints the answer decoded.
//
// Exit status: 0 answered, 1 bad usage, 2 ponkernel unreachable, 3 the
// daemon did not answer, 4 the daemon answered that the command failed
// (an rcode other than 0: not found, refused, ...).
#include "common/mgmt_conn.h"
#include "platform/sandbox.h"
#include "ponctl/commands.h"
#include "ponctl/decode.h"

#include <cstdio>

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

int main(int argc, char **argv)
{
    ponctl_socket = sandbox_path("/tmp/ponkernel.ctl");
    std::vector<std::string> words;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return usage(stdout, 0);
        if (arg == "--json") {
            ponctl_json = true;
        } else if (arg == "-s") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
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
    return ponctl_status_of(mgmt_header(answer).rcode);
}
