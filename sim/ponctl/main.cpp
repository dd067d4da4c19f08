// ponctl COMMAND [ARGS]: sends one management command to the daemon through
// ponkernel's control socket ($ZANDREL_ROOT/tmp/ponkernel.ctl, or -s PATH)
// and prints the answer decoded.
//
// Exit status: 0 answered, 1 bad usage, 2 ponkernel unreachable, 3 the
// daemon did not answer.
#include "platform/sandbox.h"
#include "ponctl/commands.h"

#include <cstdio>

namespace {

int usage(FILE *to = stderr, int status = 1)
{
    fprintf(to, "usage: ponctl [-s SOCKET] [--json] COMMAND [ARGS]\ncommands:\n");
    for (const auto &command : ponctl_commands())
        fprintf(to, "  %s\n", command.usage);
    return status;
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
        if (arg == "--json")
            ponctl_json = true;
        else if (arg == "-s" && i + 1 < argc)
            ponctl_socket = argv[++i];
        else
            words.push_back(arg);
    }
    if (words.empty())
        return usage();
    size_t used = 0;
    const ponctl_command *command = ponctl_find(words, &used);
    if (!command) {
        fprintf(stderr, "ponctl: unknown command '%s'\n", words[0].c_str());
        return usage();
    }
    std::vector<std::string> args(words.begin() + long(used), words.end());
    uint16_t code = command->code;
    std::vector<uint8_t> payload;
    if (!command->build(args, code, payload)) {
        // One line saying what is wrong, then how the command is used; no
        // request goes out.
        fprintf(stderr, "ponctl: bad arguments for '%s'\nusage: ponctl %s\n", command->name, command->usage);
        return 1;
    }
    if (command->run)
        return command->run(args, code, payload);

    std::vector<uint8_t> answer;
    if (int status = ponctl_exchange(code, payload, answer))
        return status;
    std::string out;
    command->print(answer, out);
    fputs(out.c_str(), stdout);
    return 0;
}
