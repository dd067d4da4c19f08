// What the benchmarks that run the real daemon as a process share: a
// sandbox root, the daemon started in it with its trace in a file, and the
// figures read about it from outside - CPU seconds and peak RSS from /proc,
// the pool's figures from the resource report that ponkernel asks for.
#pragma once

#include "ponkernel/ponkernel.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr uint16_t RESOURCE_REPORT = 0x7002;
constexpr size_t RESOURCE_REPORT_PARAMS = 32;
constexpr int REPORT_SECONDS = 10;

inline std::string read_file(const fs::path &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

template <typename Condition> bool wait_for(Condition condition, int seconds, int poll_ms = 20)
{
    auto deadline = clock_type::now() + std::chrono::seconds(seconds);
    while (clock_type::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
    return condition();
}

inline double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// user + system seconds of process `pid`, from /proc.
inline double cpu_seconds(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; i++)
        fields >> skip;
    unsigned long user = 0, system = 0;
    fields >> user >> system;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

// A "Name:   N kB" figure of /proc/<pid>/status, in KiB; -1 when missing.
inline long status_kib(pid_t pid, const std::string &name)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\n" + name + ":");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + name.size() + 2));
}

// The number after `label` in a report; -1 when the label is missing.
inline long report_figure(const std::string &report, const std::string &label)
{
    size_t at = report.find(label);
    return at == std::string::npos ? -1 : std::stol(report.substr(at + label.size()));
}

// The queues of a report whose peak was above zero, "file:line peak/size"
// each, from lines "Queue %p(file:line): total_size = S, current_size = C,
// peak_size = P".
inline std::string queue_peaks(const std::string &report)
{
    std::string out;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        size_t open = line.find('('), close = line.find("):"), size = line.find("total_size = "),
               peak = line.find("peak_size = ");
        if (line.rfind("Queue ", 0) != 0 || open == std::string::npos || close == std::string::npos ||
            size == std::string::npos || peak == std::string::npos)
            continue;
        long peak_value = std::stol(line.substr(peak + 12));
        if (peak_value > 0)
            out += " " + line.substr(open + 1, close - open - 1) + " " + std::to_string(peak_value) + "/" +
                   std::to_string(std::stol(line.substr(size + 13)));
    }
    return out.empty() ? " none above 0" : out;
}

// What one resource report command leaves: the report's text, and the
// pacing counters the daemon writes beside it - the chip events its event
// thread and the work items its profiler thread handled since it started,
// each followed by its thread's 10 ms pause.
struct daemon_report {
    std::string text;
    unsigned long events = 0, items = 0;
    bool counted = false;   // both counters were there
};

// Asks the daemon for its resource report through ponkernel; empty when it
// did not come.
inline daemon_report resource_report(ponkernel_server &kernel, const fs::path &root)
{
    daemon_report r;
    fs::path report = root / "tmp/system_resources.log", counters = root / "tmp/zandrel_counters";
    fs::remove(report);
    fs::remove(counters);
    std::vector<uint8_t> answer;
    if (kernel.command(RESOURCE_REPORT, std::vector<uint8_t>(RESOURCE_REPORT_PARAMS), &answer, REPORT_SECONDS) != 0)
        return r;
    r.text = read_file(report);
    std::istringstream text(read_file(counters));
    std::string name;
    unsigned long value;
    int found = 0;
    while (text >> name >> value) {
        if (name == "events_handled")
            r.events = value, found++;
        else if (name == "work_items")
            r.items = value, found++;
    }
    r.counted = found == 2;
    return r;
}

// A sandbox root of this process's own with the directories the daemon
// uses, and the sandbox variables pointing at it and at a loopback chip
// net; the chips run the application version `version` the daemon expects.
inline fs::path make_sandbox(const std::string &name, uint16_t version)
{
    fs::path root = fs::temp_directory_path() / ("zandrel_bench_" + name + "_" + std::to_string(getpid()));
    for (const char *dir : {"tmp", "dev", "usr/local/share", "etc/config"})
        fs::create_directories(root / dir);
    {
        std::ofstream image(root / "usr/local/share/tk3723app.tkf", std::ios::binary);
        image << "TK" << char(version & 0xFF) << char(version >> 8) << std::string(60, 'x');
    }
    std::string net = "127.0." + std::to_string(150 + getpid() % 50);
    setenv("ZANDREL_ROOT", root.c_str(), 1);
    setenv("ZANDREL_CHIP_NET", net.c_str(), 1);
    setenv("ZANDREL_CHIP_BIND", (net + ".100").c_str(), 1);
    setenv("ZANDREL_IFACE", "lo", 1);
    setenv("ZANDREL_LOG_STDERR", "1", 1);
    return root;
}

// The daemon built beside this benchmark, started with its trace and log
// in `trace` (ZANDREL_LOG_STDERR keeps its log lines off the machine's
// console); its pid, or -1.
inline pid_t start_daemon(const fs::path &trace)
{
    fs::path self = fs::canonical("/proc/self/exe");
    fs::path daemon_bin = self.parent_path().parent_path() / "zandrel";
    pid_t daemon = fork();
    if (daemon == 0) {
        int fd = open(trace.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        execl(daemon_bin.c_str(), "zandrel", nullptr);
        _exit(127);
    }
    return daemon;
}

inline void stop_daemon(pid_t daemon)
{
    if (daemon <= 0)
        return;
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
}

} // namespace bench
