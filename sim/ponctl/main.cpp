// ponctl COMMAND [ARGS]: sends one management command to the daemon through
// ponkernel's control socket ($ZANDREL_ROOT/tmp/ponkernel.ctl, or -s PATH)
// and prints the answer decoded.
//
// Exit status: 0 answered, 1 bad usage, 2 ponkernel unreachable, 3 the
// daemon did not answer.
#include "common/mgmt_conn.h"
#include "platform/sandbox.h"
#include "ponctl/commands.h"
#include "ponkernel/config_store.h"

#include <unistd.h>

#include <cstdio>

namespace {

constexpr uint8_t RCODE_NO_ANSWER = 0xFF;

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
    std::string path = sandbox_path("/tmp/ponkernel.ctl");
    std::vector<std::string> words;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return usage(stdout, 0);
        if (arg == "--json")
            ponctl_json = true;
        else if (arg == "-s" && i + 1 < argc)
            path = argv[++i];
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

    int fd = mgmt_connect_unix(path);
    if (fd < 0) {
        fprintf(stderr, "ponctl: cannot reach ponkernel at %s\n", path.c_str());
        return 2;
    }
    kernmsg_header h;
    h.cmd = code;
    h.type = KERNMSG_REQUEST;
    h.src = MODULE_PON_KERNEL;
    // Edits of the configuration store are for ponkernel's own
    // configuration module; everything else goes on to the daemon.
    h.dst = code >= CONFIG_EDIT && code <= CONFIG_SILENCE ? MODULE_CONFIG : MODULE_CHIPSET;
    std::vector<uint8_t> answer;
    bool ok = mgmt_write_all(fd, mgmt_build(h, payload)) == 0 && mgmt_read_message(fd, answer) == KERNMSG_FRAME_OK;
    close(fd);
    if (!ok) {
        fprintf(stderr, "ponctl: ponkernel closed the connection\n");
        return 2;
    }
    if (mgmt_header(answer).rcode == RCODE_NO_ANSWER && mgmt_header(answer).src == MODULE_PON_KERNEL) {
        fprintf(stderr, "ponctl: no answer from the daemon\n");
        return 3;
    }
    std::string out;
    command->print(answer, out);
    fputs(out.c_str(), stdout);
    return 0;
}
