// ponkernel [-t] [-p PORT]: the simulated management process.
//
// Listens on $ZANDREL_ROOT/tmp/chip.sock (or, with -t, on TCP
// 127.0.0.1:ZANDREL_KERNEL_PORT, or -p PORT) for the daemon, and on
// $ZANDREL_ROOT/tmp/ponkernel.ctl for ponctl. Runs until SIGTERM or SIGINT.
#include "platform/sandbox.h"
#include "ponkernel/ponkernel.h"

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
    int option;
    while ((option = getopt(argc, argv, "tp:")) != -1) {
        switch (option) {
        case 't': options.tcp_port = sandbox_kernel_port(); break;
        case 'p': options.tcp_port = uint16_t(atoi(optarg)); break;
        default:
            fprintf(stderr, "usage: ponkernel [-t] [-p PORT]\n");
            return 2;
        }
    }
    signal(SIGTERM, on_stop);
    signal(SIGINT, on_stop);
    signal(SIGPIPE, SIG_IGN);

    ponkernel_server server;
    if (server.start(options) != 0) {
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
