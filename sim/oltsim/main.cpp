// oltsim: the simulated OLT chips, for people.
//
//   oltsim [--olts N] [--version 0xVVVV] [--quiet] [--no-board] [--ready]
//          [--board FILE] [--register-after SECONDS] [--return-after SECONDS]
//          [--boot-ms MS] [--control FIFO] [--replay FILE ...] [fault switches ...]
//
// Chips, addresses and the board-reset socket follow the sandbox variables
// (ZANDREL_CHIP_NET, ZANDREL_CHIP_PORT, ZANDREL_CHIP_BIND, ZANDREL_ROOT).
// --ready sends every chip's OLT ready event at start. Fault switches can be
// given on the command line and, while it runs, as lines on standard input
// or written to the FIFO that --control names (made if missing), which is
// how a board started in the background is reached. --board reads the ONUs
// (and the chips' version) from a board file; each chip's ONUs register
// SECONDS after it restarted (--register-after, 10 by default), or on the
// input line "register [OLT]"; an ONU whose links the daemon released
// registers again after --return-after SECONDS (3 by default; 0: never).
// --replay plays a capture's chip side back (oltsim/replay.h): the board
// file's ONUs then register only as the capture says; a ring's files are
// given oldest first, one --replay each.
// Runs until SIGINT or SIGTERM (or end of input with --stdin-exit).
#include "oltsim/control.h"
#include "oltsim/olt_config.h"
#include "oltsim/oltsim.h"
#include "oltsim/onus.h"
#include "oltsim/onu_ports.h"
#include "oltsim/onu_service.h"
#include "oltsim/replay.h"
#include "oltsim/statistics.h"
#include "oltsim/tftpserver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <chrono>
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
            "              [--board FILE] [--register-after SECONDS] [--return-after SECONDS] [--boot-ms MS]\n"
            "              [--control FIFO] [--replay FILE ...] [fault switches]\n"
            "  --replay FILE       answer the daemon from a capture and send its chip events (a ring: its files\n"
            "                      oldest first, --replay each); what it does not hold is answered as usual\n"
            "input lines (standard input, or the --control FIFO):\n"
            "  register [OLT]      the ONUs of the board file register\n"
            "  leave MAC           the ONU goes away: its links are reported in report time-out\n"
            "  come-back MAC       the ONU registers its links again\n"
            "  return-after SECONDS  an ONU whose links were released registers again this much later (0: never)\n%s",
            oltsim::control_usage());
    fputs(oltsim::tftp_control_usage(), stderr);
    fputs(oltsim::olt_config_control_usage(), stderr);
    fputs(oltsim::onu_control_usage(), stderr);
}

bool whole_number(const std::string &text, long low, long high, long &out)
{
    char *end = nullptr;
    errno = 0;
    out = strtol(text.c_str(), &end, 0);
    return !text.empty() && *end == '\0' && errno == 0 && out >= low && out <= high;
}

// Lines as they arrive on a descriptor (standard input, the control FIFO).
struct line_source {
    int fd = -1;
    std::string pending;
    // Reads what is there; false at the end of the input.
    bool read_lines(std::vector<std::string> &lines)
    {
        char buffer[512];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0) {
            if (!pending.empty())
                lines.push_back(pending);   // a last line without its newline
            pending.clear();
            return false;
        }
        if (got < 0)
            return errno == EAGAIN || errno == EINTR;
        pending.append(buffer, size_t(got));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            lines.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
        return true;
    }
};

// The FIFO at `path`, made when missing, opened for reading and writing so
// that it never reports an end when a writer closes it. -1 when `path` is
// something else or cannot be opened.
int open_control(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 && mkfifo(path.c_str(), 0600) != 0)
        return -1;
    if (stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode))
        return -1;
    return open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

} // namespace

int main(int argc, char **argv)
{
    oltsim::options opts;
    opts.boot_ms = 2000;   // a chip takes a while to come back after a board reset
    bool ready = false, stdin_exit = false;
    std::string board;
    long register_after = 10;
    long return_after = oltsim::ONU_RETURN_MS / 1000;
    std::string control;
    std::vector<std::string> replay_files;
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
        } else if (name == "return-after" && i + 1 < argc) {
            if (!whole_number(argv[++i], 0, 3600, return_after)) {
                fprintf(stderr, "oltsim: --return-after %s: want 0..3600 seconds\n", argv[i]);
                return 2;
            }
        } else if (name == "replay" && i + 1 < argc) {
            replay_files.push_back(argv[++i]);
        } else if (name == "control" && i + 1 < argc) {
            control = argv[++i];
        } else if (name == "olts" && i + 1 < argc) {
            long value;
            if (!whole_number(argv[++i], 1, oltsim::MAX_OLTS, value)) {
                fprintf(stderr, "oltsim: --olts %s: want 1..%d chips\n", argv[i], oltsim::MAX_OLTS);
                return 2;
            }
            opts.olts = int(value);
        } else if (name == "version" && i + 1 < argc) {
            version_given = true;
            opts.version = uint16_t(strtol(argv[++i], nullptr, 0));
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

    capture_replay capture;
    if (!replay_files.empty()) {
        std::string why;
        if (!capture_replay_load(replay_files, capture, why)) {
            fprintf(stderr, "%s\n", why.c_str());
            return 2;
        }
        opts.ready_event = false;   // the capture's own
    }

    oltsim::chipset sim(opts);
    oltsim::tftp_server tftp(sim);   // image writes and personality reads
    oltsim::olt_config_sim olt_config(sim);
    olt_config.attach();
    oltsim::traffic_counters counters(sim);
    counters.attach();
    if (sim.start() != 0)
        return 1;
    oltsim::onu_population population(sim, onus, opts.mac);
    population.attach();
    population.return_after(int(return_after * 1000));
    oltsim::onu_ports hardware(sim);   // the ONUs' optics, PHYs, ports and rules
    for (const auto &onu : onus)
        hardware.add(onu);
    hardware.attach();
    oltsim::onu_service service(sim, population, onus);   // EAP, queues and the OLT's provisioning state
    service.attach();
    std::unique_ptr<oltsim::chip_replay> replay;
    if (!replay_files.empty()) {
        replay = std::make_unique<oltsim::chip_replay>(sim, std::move(capture), opts.boot_ms);
        replay->attach();
    }
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
    line_source input{STDIN_FILENO, {}};
    line_source fifo;
    if (!control.empty() && (fifo.fd = open_control(control)) < 0) {
        fprintf(stderr, "oltsim: --control %s: not a FIFO that can be opened: %s\n", control.c_str(),
                strerror(errno));
        return 2;
    }
    signal(SIGINT, on_stop);
    signal(SIGTERM, on_stop);
    if (ready)
        for (int olt = 0; olt < opts.olts; olt++)
            sim.reset(olt);
    fprintf(stderr, "oltsim: %d chips up\n", opts.olts);

    // The ONU of the board file with MAC text `text`; false (said) when none.
    auto board_mac = [&](const std::string &name, const std::string &text, uint8_t mac[6]) {
        unsigned b[6];
        if (sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
            fprintf(stderr, "oltsim: %s needs an ONU MAC\n", name.c_str());
            return false;
        }
        for (int i = 0; i < 6; i++)
            mac[i] = uint8_t(b[i]);
        for (const auto &onu : onus)
            if (memcmp(onu.mac, mac, 6) == 0)
                return true;
        fprintf(stderr, "oltsim: %s %s: no such ONU on the board\n", name.c_str(), text.c_str());
        return false;
    };
    auto apply = [&](const std::string &line) {
        std::istringstream words(line);
        std::string name, arg;
        words >> name >> arg;
        if (name.empty())
            return;
        if (name == "register") {
            long olt = -1;
            if (!arg.empty() && !whole_number(arg, 0, LONG_MAX, olt)) {
                olt = -1;
                error = "want a chip number";
            }
            if (!arg.empty() && (olt < 0 || !oltsim::control_chip(sim, olt, error))) {
                fprintf(stderr, "oltsim: register %s: %s\n", arg.c_str(), error.c_str());
                return;
            }
            population.register_all(int(olt));
            return;
        }
        if (name == "return-after") {
            long seconds;
            if (!whole_number(arg, 0, 3600, seconds))
                fprintf(stderr, "oltsim: return-after %s: want 0..3600 seconds\n", arg.c_str());
            else
                population.return_after(int(seconds * 1000));
            return;
        }
        if (name == "leave" || name == "come-back") {
            uint8_t mac[6];
            if (!board_mac(name, arg, mac))
                return;
            if (name == "leave")
                service.leave(mac);
            else
                population.register_onu(mac);
            return;
        }
        int config_switch = oltsim::olt_config_control_apply(olt_config, name, arg, error);
        if (config_switch != 0) {
            if (config_switch < 0)
                fprintf(stderr, "oltsim: %s\n", error.c_str());
            return;
        }
        int onu_switch = oltsim::onu_control_apply(hardware, name, arg, error);
        if (onu_switch != 0) {
            if (onu_switch < 0)
                fprintf(stderr, "oltsim: %s\n", error.c_str());
            return;
        }
        int tftp_switch = oltsim::tftp_control_apply(tftp, name, arg, error);
        if (tftp_switch < 0 || (tftp_switch == 0 && !oltsim::control_apply(sim, name, arg, error)))
            fprintf(stderr, "oltsim: %s\n", error.c_str());
    };

    while (!stop_requested) {
        if (replay)
            replay->played_out();
        for (int olt = 0; olt < opts.olts && !onus.empty() && !replay; olt++) {
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
        pollfd fds[2] = {{input.fd, POLLIN, 0}, {fifo.fd, POLLIN, 0}};
        if (poll(fds, 2, 200) <= 0)
            continue;
        std::vector<std::string> lines;
        bool ended = (fds[0].revents & (POLLIN | POLLHUP)) && !input.read_lines(lines);
        if (ended)
            input.fd = -1;   // poll leaves a negative descriptor alone
        if (fds[1].revents & POLLIN)
            fifo.read_lines(lines);
        for (const std::string &line : lines)
            apply(line);
        if (ended && stdin_exit)
            break;
    }
    if (replay)
        replay->stopped();
    sim.stop();
    return 0;
}
