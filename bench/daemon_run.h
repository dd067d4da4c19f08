// What the benchmarks that run the real daemon as a process share: a
// sandbox root, the daemon started in it with its trace in a file, and the
// figures read about it from outside - CPU seconds and peak RSS from /proc,
// the pool's figures from the resource report that ponkernel asks for -
// and the board it runs against: the configuration store and the chips
// with their ONUs, in the benchmark's own process.
#pragma once

#include "oltsim/oltsim.h"
#include "oltsim/onu_ports.h"
#include "oltsim/onu_service.h"
#include "oltsim/onus.h"
#include "ponkernel/ponkernel.h"
#include "wire/ids.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
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
        // Appended piece by piece: GCC 12 at -O3 takes the temporaries of a
        // chain of + for overlapping copies.
        if (peak_value > 0)
            out.append(" ").append(line, open + 1, close - open - 1).append(" ")
                .append(std::to_string(peak_value)).append("/")
                .append(std::to_string(std::stol(line.substr(size + 13))));
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
// net. Its firmware image holds the application version the simulated
// chips run, so the daemon expects the version they report.
inline fs::path make_sandbox(const std::string &name)
{
    const uint16_t version = oltsim::options{}.version;
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

// Waits up to `seconds` until the daemon's trace says each of its `olts`
// OLTs reached OK; false when one did not.
inline bool wait_for_olts_ok(const fs::path &trace, int olts, int seconds)
{
    return wait_for(
        [&] {
            std::string text = read_file(trace);
            int configured = 0;
            for (int olt = 0; olt < olts; olt++)
                configured += text.find("OLT[" + std::to_string(olt) + "] in OK state") != std::string::npos;
            return configured == olts;
        },
        seconds, 200);
}

inline void stop_daemon(pid_t daemon)
{
    if (daemon <= 0)
        return;
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
}

// The MAC of ONU `i`: `group` (the fourth byte) keeps one benchmark's ONUs
// apart from another's; the last two bytes count the ONUs in steps of four.
inline std::string onu_mac(uint8_t group, int i)
{
    char text[18];
    snprintf(text, sizeof text, "00:0D:B6:%02X:%02X:%02X", group, (4 * i) >> 8 & 0xFF, (4 * i) & 0xFF);
    return text;
}

struct onu_place {
    int olt = 0, pon = 0;
};

// The board text both the configuration store and the chips read, so that
// they see the same ONUs: `onus` of them, ONU i of MAC onu_mac(group, i),
// ONT id i + 1, on place(i).
template <typename Place> std::string board_text(const std::string &hostname, uint8_t group, int onus, Place place)
{
    std::string text = R"({"system": {"hostname": ")" + hostname +
                       R"("}, "profiles": {"link": [{"index": 0, "links": 4}],
        "rules": [{"index": 0, "in_use": 1}]}, "onus": [)";
    for (int i = 0; i < onus; i++) {
        onu_place at = place(i);
        text += std::string(i ? "," : "") + R"({"mac": ")" + onu_mac(group, i) + R"(", "secret": "5820", "ont_id": )" +
                std::to_string(i + 1) + R"(, "olt": )" + std::to_string(at.olt) + R"(, "pon": )" +
                std::to_string(at.pon) + R"(, "chip": "0x3714"})";
    }
    return text + "]}";
}

// What the daemon talks to: ponkernel (the configuration store and the
// management link) on the sandbox's chip socket, and the chips with the
// board's ONUs, which answer every request an ONU's provisioning makes.
// A chip the board resets sends its ready event 3 s later. Used from the
// benchmark's main thread; the servers run their own threads.
class simulated_board {
public:
    ponkernel_server kernel;
    std::vector<oltsim::board_onu> onus;   // in the board text's order

    // Loads `board` into both and starts them; false, said on standard
    // error, when one would not.
    bool start(const std::string &board, const fs::path &root)
    {
        std::string error;
        if (!kernel.store().load_text(board, error) || !oltsim::parse_board(board, onus, nullptr, error))
            return failed("board: " + error);
        ponkernel_options options;
        options.unix_path = (root / "tmp/chip.sock").string();
        options.print = false;
        if (kernel.start(options) != 0)
            return failed("ponkernel did not start");
        oltsim::options chip_options;
        chip_options.log = false;
        chip_options.record = false;
        chip_options.boot_ms = 3000;
        sim_ = std::make_unique<oltsim::chipset>(chip_options);
        population_ = std::make_unique<oltsim::onu_population>(*sim_, onus, chip_options.mac);
        population_->attach();
        service_ = std::make_unique<oltsim::onu_service>(*sim_, *population_, onus);
        service_->attach();
        hardware_ = std::make_unique<oltsim::onu_ports>(*sim_);
        for (const auto &onu : onus)
            hardware_->add(onu.mac);
        hardware_->attach();
        if (sim_->start() != 0)
            return failed("the chips could not bind their addresses");
        return true;
    }

    // ONU `i` of the board sends its registrations `delay_ms` from now.
    void register_onu(int i, int delay_ms) { population_->register_onu(onus[size_t(i)].mac, delay_ms); }

    // The ONUs the daemon reported configured so far.
    size_t configured()
    {
        size_t n = 0;
        for (const auto &note : kernel.notifications())
            n += note.code == EVENT_ONU_CONFIGURE_OK;
        return n;
    }

    void stop()
    {
        if (sim_)
            sim_->stop();
        kernel.stop();
    }

private:
    static bool failed(const std::string &why)
    {
        fprintf(stderr, "%s\n", why.c_str());
        return false;
    }

    std::unique_ptr<oltsim::chipset> sim_;
    std::unique_ptr<oltsim::onu_population> population_;
    std::unique_ptr<oltsim::onu_service> service_;
    std::unique_ptr<oltsim::onu_ports> hardware_;
};

} // namespace bench
