// ponctl COMMAND [ARGS]: sends one management command to the daemon through
// ponkernel's control socket ($ZANDREL_ROOT/tmp/ponkernel.ctl, or -s PATH)
// and prints the answer decoded.
//
// Exit status: 0 answered, 1 bad usage, 2 ponkernel unreachable, 3 the
// daemon did not answer.
#include "common/mgmt_conn.h"
#include "platform/sandbox.h"
#include "ponctl/commands.h"

#include <unistd.h>

#include <cstdio>

namespace {

constexpr uint8_t RCODE_NO_ANSWER = 0xFF;

int usage()
{
    fprintf(stderr, "usage: ponctl [-s SOCKET] COMMAND [ARGS]\ncommands:\n");
    for (const auto &command : ponctl_commands())
        fprintf(stderr, "  %s\n", command.usage);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    std::string path = sandbox_path("/tmp/ponkernel.ctl");
    int option;
    while ((option = getopt(argc, argv, "+s:")) != -1) {
        if (option != 's')
            return usage();
        path = optarg;
    }
    if (optind >= argc)
        return usage();
    const ponctl_command *command = ponctl_find(argv[optind]);
    if (!command)
        return usage();
    std::vector<std::string> args(argv + optind + 1, argv + argc);
    uint16_t code = command->code;
    std::vector<uint8_t> payload;
    if (!command->build(args, code, payload))
        return usage();

    int fd = mgmt_connect_unix(path);
    if (fd < 0) {
        fprintf(stderr, "ponctl: cannot reach ponkernel at %s\n", path.c_str());
        return 2;
    }
    kernmsg_header h;
    h.cmd = code;
    h.type = KERNMSG_REQUEST;
    h.src = MODULE_PON_KERNEL;
    h.dst = MODULE_CHIPSET;
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
