// ponkernel [-t] [-p PORT] [-c BOARDFILE] [--replay FILE ...]: the simulated
// management process.
//
// Listens on $ZANDREL_ROOT/tmp/chip.sock (or, with -t, on TCP
// 127.0.0.1:ZANDREL_KERNEL_PORT, or -p PORT) for the daemon, and on
// $ZANDREL_ROOT/tmp/ponkernel.ctl for ponctl. The configuration module's
// store is loaded from BOARDFILE (docs/board-file.md). --replay serves the
// configuration answers a capture recorded first (a ring: its files oldest
// first, --replay each). Runs until SIGTERM or SIGINT.
#include "platform/sandbox.h"
#include "ponkernel/ponkernel.h"

#include <getopt.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {
volatile sig_atomic_t stop_requested = 0;
void on_stop(int) { stop_requested = 1; }
} // namespace

int main(int argc, char **argv)
{
    ponkernel_options options;
    options.unix_path = sandbox_path("/tmp/chip.sock");
    options.control_path = sandbox_path("/tmp/ponkernel.ctl");
    int opt;
    const struct option long_options[] = {{"replay", required_argument, nullptr, 'R'}, {nullptr, 0, nullptr, 0}};
    while ((opt = getopt_long(argc, argv, "tp:c:", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'c': options.board_file = optarg; break;
        case 'R': options.replay_files.push_back(optarg); break;
        case 't': options.tcp_port = sandbox_kernel_port(); break;
        case 'p': options.tcp_port = uint16_t(atoi(optarg)); break;
        default:
            fprintf(stderr, "usage: ponkernel [-t] [-p PORT] [-c BOARDFILE] [--replay FILE ...]\n"
                            "  --replay FILE  answer the configuration requests as the capture recorded, the\n"
                            "                 rest from BOARDFILE (a ring: its files oldest first, --replay each)\n");
            return 2;
        }
    }
    signal(SIGTERM, on_stop);
    signal(SIGINT, on_stop);
    signal(SIGPIPE, SIG_IGN);

    ponkernel_server server;
    int started = server.start(options);
    if (started == -2)
        return 2;
    if (started != 0) {
        fprintf(stderr, "ponkernel: cannot listen\n");
        return 1;
    }
    printf("ponkernel: listening\n");
    fflush(stdout);
    bool was_connected = false;
    while (!stop_requested) {
        usleep(100 * 1000);
        bool now = server.connected();
        if (now != was_connected) {
            printf("ponkernel: daemon %s\n", now ? "connected" : "disconnected");
            fflush(stdout);
            was_connected = now;
        }
    }
    server.stop();
    return 0;
}
