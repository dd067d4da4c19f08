// A small harness for running the real programs in a sandbox root: each
// test gets its own temporary root (tmp/, etc/config/, usr/local/share/,
// dev/), spawns zandrel and the simulators as processes with their output
// captured to files in the root, and waits on conditions with generous
// bounds.
#pragma once

#include "common/loopback.h"
#include "common/wait.h"
#include "oltsim/olt_config.h"
#include "oltsim/oltsim.h"

#include <sys/types.h>

#include <memory>
#include <optional>
#include <vector>

// The application image version the simulated chips run unless told
// otherwise: an image of it means no upgrade at start-up.
inline constexpr uint16_t FILE_VERSION = 0x0102;

class sandbox {
public:
    sandbox()
    {
        environment = sandbox_env(root_, loopback_chip_net());
        environment.insert({{"ZANDREL_LOG_STDERR", "1"}, {"ZANDREL_IFACE", "lo"}, {"ZANDREL_TIME_SCALE", "20"}});
    }
    ~sandbox() { std::error_code e; std::filesystem::remove_all(root_, e); }
    sandbox(const sandbox &) = delete;
    sandbox &operator=(const sandbox &) = delete;

    const std::string &root() const { return root_; }
    std::string path(const std::string &absolute) const { return root_ + absolute; }
    // The environment of every program started in this root: its root, a
    // loopback chip network of its own with the chip socket bound to
    // NET.100 (so the board's port is shared harmlessly), the trace on
    // standard error too, the board MAC read from "lo", and the daemon's
    // delays (not its time-outs) 20 times shorter.
    std::map<std::string, std::string> environment;

private:
    const std::string root_ = sandbox_root();
};

class process {
public:
    process() = default;
    ~process() { stop(5); }
    process(const process &) = delete;
    process &operator=(const process &) = delete;

    // Starts `binary` with `args` in `box`; standard output and error go to
    // <root>/<name>.out and <root>/<name>.err. false when fork fails.
    bool start(const sandbox &box, const std::string &name, const std::string &binary,
               const std::vector<std::string> &args = {});
    // SIGTERM, then waits up to `seconds` (SIGKILL after that). The exit
    // status, 128 + signal when killed by one, -1 when not running.
    int stop(int seconds = 10);
    // Waits for the process to end by itself, as stop() reports it.
    int wait(int seconds = 20);
    // Takes on `pid`, a child of this process that another one started.
    void adopt(pid_t pid)
    {
        pid_ = pid;
        status_ = -1;
    }
    pid_t pid() const { return pid_; }
    std::string out() const { return read_file(out_); }
    std::string err() const { return read_file(err_); }
    const std::string &out_path() const { return out_; }

private:
    void reap(int options);
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_, err_;
};

// Runs a program to its end (e.g. ponctl); its exit status and output.
struct run_result {
    int status;
    std::string out;
    std::string err;
};
run_result run_program(const sandbox &box, const std::string &name, const std::string &binary,
                       const std::vector<std::string> &args, int seconds = 30);

// The board around one daemon in `box`: the simulated chips (`sim`, made by
// the test) run in this process, so while the board lives this process's
// environment points at the sandbox's chip network and root; ponkernel and
// the daemon run as processes. stop() ends the daemon, ponkernel and then
// the chips; the destructor stops what still runs and puts the environment
// back as it found it.
class board {
public:
    explicit board(const sandbox &box);
    ~board();
    board(const board &) = delete;
    board &operator=(const board &) = delete;

    // The board file ponkernel loads.
    void write_board(const std::string &json);
    // The OLT application image: its version is the u16 LE at byte 2.
    void app_image(uint16_t version = FILE_VERSION);
    // The chips, started with application image `version`, ready `boot_ms`
    // after a reset, answering the OLT configuration as the oltsim program
    // does.
    bool start_chips(uint16_t version = FILE_VERSION, int boot_ms = 3000);
    // ponkernel on the board file, until it says it listens; also how a test
    // brings it back (its output runs on across restarts).
    bool start_kernel();
    bool start_daemon();
    // The daemon's exit status, as process::stop reports it.
    int stop(int daemon_seconds = 15, int kernel_seconds = 10);
    // The operator's command line on this board, run to its end.
    run_result ponctl(const std::vector<std::string> &args, int seconds = 30) const
    {
        return run_program(box_, "ponctl", PONCTL_BIN, args, seconds);
    }

    process kernel, daemon;
    // Declared before the chips: it outlives them, whose handlers call it.
    std::unique_ptr<oltsim::olt_config_sim> olt_config;
    std::unique_ptr<oltsim::chipset> sim;

private:
    const sandbox &box_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};
