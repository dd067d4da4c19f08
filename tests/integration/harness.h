// A small harness for running the real programs in a sandbox root: each
// test gets its own temporary root (tmp/, etc/config/, usr/local/share/,
// dev/), spawns zandrel and the simulators as processes with their output
// captured to files in the root, and waits on conditions with generous
// bounds.
#pragma once

#include "common/test_net.h"
#include "common/wait.h"

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

std::string read_file(const std::string &path);
// Occurrences of `needle` in the file at `path`.
int count_in_file(const std::string &path, const std::string &needle);
// A loopback TCP port of this process's own (common/test_net.h).
uint16_t free_tcp_port();

// The daemon's delays (start-up wait, engine start, reconnect and resend
// pauses) run this many times faster in the sandbox; its time-outs do not.
constexpr unsigned TEST_TIME_SCALE = 20;

class sandbox {
public:
    sandbox();
    ~sandbox();
    sandbox(const sandbox &) = delete;
    sandbox &operator=(const sandbox &) = delete;

    const std::string &root() const { return root_; }
    std::string path(const std::string &absolute) const { return root_ + absolute; }
    // The environment of every program started in this root: ZANDREL_ROOT,
    // ZANDREL_LOG_STDERR=1, a loopback chip net of its own with the chip
    // socket bound to NET.100 (so the board's port is shared harmlessly), the board MAC read from "lo", and
    // ZANDREL_TIME_SCALE=TEST_TIME_SCALE.
    std::map<std::string, std::string> environment;

private:
    std::string root_;
};

class process {
public:
    process() = default;
    ~process();
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
    bool running();
    pid_t pid() const { return pid_; }
    std::string out() const { return read_file(out_); }
    std::string err() const { return read_file(err_); }
    const std::string &out_path() const { return out_; }
    const std::string &err_path() const { return err_; }

private:
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
