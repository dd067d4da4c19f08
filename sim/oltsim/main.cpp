// oltsim: the simulated OLT chips, for people.
//
//   oltsim [--olts N] [--version 0xVVVV] [--quiet] [--no-board] [--ready]
//          [--board FILE] [--register-after SECONDS] [--boot-ms MS]
//          [fault switches ...]
//
// Chips, addresses and the board-reset socket follow the sandbox variables
// (ZANDREL_CHIP_NET, ZANDREL_CHIP_PORT, ZANDREL_CHIP_BIND, ZANDREL_ROOT).
// --ready sends every chip's OLT ready event at start. Fault switches can be
// given on the command line and, while it runs, as lines on standard input.
// --board reads the ONUs (and the chips' version) from a board file; each
// chip's ONUs register SECONDS after it restarted (--register-after, 10 by
// default), or on the input line "register [OLT]".
// Runs until SIGINT or SIGTERM (or end of input with --stdin-exit).
#include "oltsim/control.h"
#include "oltsim/olt_config.h"
#include "oltsim/oltsim.h"
#include "oltsim/onus.h"
#include "oltsim/onu_ports.h"
#include "oltsim/onu_service.h"
#include "oltsim/tftpserver.h"

#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

namespace {

volatile sig_atomic_t stop_requested;

void on_stop(int) { stop_requested = 1; }

void usage()
{
    fprintf(stderr,
            "usage: oltsim [--olts N] [--version 0xVVVV] [--quiet] [--no-board] [--ready] [--stdin-exit]\n"
            "              [--board FILE] [--register-after SECONDS] [--boot-ms MS] [fault switches]\n"
            "  register [OLT]      the ONUs of the board file register (on standard input)\n"
            "  leave MAC           the ONU goes away: its links are reported in report time-out\n"
            "  come-back MAC       the ONU registers its links again\n%s",
            oltsim::control_usage());
    fputs(oltsim::tftp_control_usage(), stderr);
    fputs(oltsim::olt_config_control_usage(), stderr);
    fputs(oltsim::onu_control_usage(), stderr);
}

} // namespace

int main(int argc, char **argv)
{
    oltsim::options opts;
    opts.boot_ms = 2000;   // a chip takes a while to come back after a board reset
    bool ready = false, stdin_exit = false;
    std::string board;
    long register_after = 10;
    bool version_given = false;
    std::vector<std::pair<std::string, std::string>> switches, tftp_switches, config_switches;
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
        } else if (name == "boot-ms" && i + 1 < argc) {
            opts.boot_ms = int(strtol(argv[++i], nullptr, 0));
        } else if (name == "board" && i + 1 < argc) {
            board = argv[++i];
        } else if (name == "register-after" && i + 1 < argc) {
            register_after = strtol(argv[++i], nullptr, 0);
        } else if ((name == "olts" || name == "version") && i + 1 < argc) {
            version_given = version_given || name == "version";
            long value = strtol(argv[++i], nullptr, 0);
            if (name == "olts")
                opts.olts = int(value);
            else
                opts.version = uint16_t(value);
        } else if (oltsim::olt_config_control_is_switch(name) && i + 1 < argc) {
            config_switches.emplace_back(name, argv[++i]);
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
    std::vector<oltsim::board_onu> onus;
    if (!board.empty()) {
        std::string why;
        uint16_t version = opts.version;
        if (!oltsim::load_board(board, onus, &version, why)) {
            fprintf(stderr, "oltsim: %s: %s\n", board.c_str(), why.c_str());
            return 2;
        }
        if (!version_given)
            opts.version = version;
    }

    oltsim::chipset sim(opts);
    oltsim::tftp_server tftp(sim);   // image writes and personality reads
    oltsim::olt_config_sim olt_config(sim);
    olt_config.attach();
    if (sim.start() != 0)
        return 1;
    oltsim::onu_population population(sim, onus, opts.mac);
    population.attach();
    oltsim::onu_ports hardware(sim);   // the ONUs' optics, PHYs, ports and rules
    for (const auto &onu : onus)
        hardware.add(onu);
    hardware.attach();
    oltsim::onu_service service(sim, population, onus);   // EAP, queues and the OLT's provisioning state
    service.attach();
    // Each chip's ONUs register a while after the chip restarted, when the
    // daemon has had time to take the chip out of reset.
    using clock = std::chrono::steady_clock;
    int seen_resets[oltsim::MAX_OLTS] = {};
    clock::time_point register_at[oltsim::MAX_OLTS];
    bool pending[oltsim::MAX_OLTS] = {};
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
    for (auto &[name, arg] : config_switches) {
        if (oltsim::olt_config_control_apply(olt_config, name, arg, error) != 1) {
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
        for (int olt = 0; olt < opts.olts && !onus.empty(); olt++) {
            int resets = sim.reset_count(olt);
            if (resets != seen_resets[olt]) {
                seen_resets[olt] = resets;
                pending[olt] = true;
                register_at[olt] = clock::now() + std::chrono::seconds(register_after);
            }
            if (pending[olt] && clock::now() >= register_at[olt]) {
                pending[olt] = false;
                population.register_all(olt);
            }
        }
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
        if (name == "register") {
            population.register_all(arg.empty() ? -1 : atoi(arg.c_str()));
            continue;
        }
        if (name == "leave" || name == "come-back") {
            unsigned b[6];
            uint8_t mac[6];
            if (sscanf(arg.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
                fprintf(stderr, "oltsim: %s needs an ONU MAC\n", name.c_str());
                continue;
            }
            for (int i = 0; i < 6; i++)
                mac[i] = uint8_t(b[i]);
            if (name == "leave")
                service.leave(mac);
            else
                population.register_onu(mac);
            continue;
        }
        int config_switch = oltsim::olt_config_control_apply(olt_config, name, arg, error);
        if (config_switch != 0) {
            if (config_switch < 0)
                fprintf(stderr, "oltsim: %s\n", error.c_str());
            continue;
        }
        int onu_switch = oltsim::onu_control_apply(hardware, name, arg, error);
        if (onu_switch != 0) {
            if (onu_switch < 0)
                fprintf(stderr, "oltsim: %s\n", error.c_str());
            continue;
        }
        int tftp_switch = oltsim::tftp_control_apply(tftp, name, arg, error);
        if (tftp_switch < 0 || (tftp_switch == 0 && !oltsim::control_apply(sim, name, arg, error)))
            fprintf(stderr, "oltsim: %s\n", error.c_str());
    }
    sim.stop();
    return 0;
}
