// oltsim: the simulated OLT chips, for people.
//
//   oltsim [--olts N] [--version 0xVVVV] [--quiet] [--no-board] [--ready]
//          [fault switches ...]
//
// Chips, addresses and the board-reset socket follow the sandbox variables
// (ZANDREL_CHIP_NET, ZANDREL_CHIP_PORT, ZANDREL_CHIP_BIND, ZANDREL_ROOT).
// --ready sends every chip's OLT ready event at start. Fault switches can be
// given on the command line and, while it runs, as lines on standard input.
// Runs until SIGINT or SIGTERM (or end of input with --stdin-exit).
#include "oltsim/control.h"
#include "oltsim/oltsim.h"
#include "oltsim/tftpserver.h"

#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

namespace {

volatile sig_atomic_t stop_requested;

void on_stop(int) { stop_requested = 1; }

void usage()
{
    fprintf(stderr,
            "usage: oltsim [--olts N] [--version 0xVVVV] [--quiet] [--no-board] [--ready] [--stdin-exit]\n"
            "              [fault switches]\n%s",
            oltsim::control_usage());
    fputs(oltsim::tftp_control_usage(), stderr);
}

} // namespace

int main(int argc, char **argv)
{
    oltsim::options opts;
    bool ready = false, stdin_exit = false;
    std::vector<std::pair<std::string, std::string>> switches, tftp_switches;
    for (int i = 1; i < argc; i++) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0) {
            usage();
            return 2;
        }
        std::string name = word.substr(2);
        if (name == "quiet")
            opts.log = false;
        else if (name == "no-board")
            opts.board = false;
        else if (name == "ready")
            ready = true;
        else if (name == "stdin-exit")
            stdin_exit = true;
        else if (name == "help") {
            usage();
            return 0;
        } else if ((name == "olts" || name == "version") && i + 1 < argc) {
            long value = strtol(argv[++i], nullptr, 0);
            if (name == "olts")
                opts.olts = int(value);
            else
                opts.version = uint16_t(value);
        } else if (oltsim::tftp_control_is_switch(name)) {
            bool takes = oltsim::tftp_control_takes_argument(name) && i + 1 < argc;
            tftp_switches.emplace_back(name, takes ? argv[++i] : "");
        } else if (oltsim::control_takes_argument(name) && i + 1 < argc) {
            switches.emplace_back(name, argv[++i]);
        } else {
            switches.emplace_back(name, "");
        }
    }
    opts.record = false;   // nobody reads the log in a long run

    oltsim::chipset sim(opts);
    oltsim::tftp_server tftp(sim);   // image writes and personality reads
    if (sim.start() != 0)
        return 1;
    std::string error;
    for (auto &[name, arg] : switches) {
        if (!oltsim::control_apply(sim, name, arg, error)) {
            fprintf(stderr, "oltsim: %s\n", error.c_str());
            usage();
            return 2;
        }
    }
    for (auto &[name, arg] : tftp_switches) {
        if (oltsim::tftp_control_apply(tftp, name, arg, error) != 1) {
            fprintf(stderr, "oltsim: %s\n", error.c_str());
            usage();
            return 2;
        }
    }
    signal(SIGINT, on_stop);
    signal(SIGTERM, on_stop);
    if (ready)
        for (int olt = 0; olt < opts.olts; olt++)
            sim.reset(olt);
    fprintf(stderr, "oltsim: %d chips up\n", opts.olts);

    std::string line;
    bool input = true;
    while (!stop_requested) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (!input) {
            usleep(200 * 1000);
            continue;
        }
        if (poll(&in, 1, 200) <= 0)
            continue;
        if (!std::getline(std::cin, line)) {
            if (stdin_exit)
                break;
            input = false;
            continue;
        }
        std::istringstream words(line);
        std::string name, arg;
        words >> name >> arg;
        if (name.empty())
            continue;
        int tftp_switch = oltsim::tftp_control_apply(tftp, name, arg, error);
        if (tftp_switch < 0 || (tftp_switch == 0 && !oltsim::control_apply(sim, name, arg, error)))
            fprintf(stderr, "oltsim: %s\n", error.c_str());
    }
    sim.stop();
    return 0;
}
