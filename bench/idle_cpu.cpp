// What a daemon at rest costs: the real daemon (a process) on the simulated
// board brings its ONUs to OK, settles, and is then watched for a spell in
// which nothing changes. Prints, for that spell, the process's wake-ups a
// second (voluntary and involuntary context switches of all its threads,
// from /proc/PID/task/*/status) and its CPU share (their run time, from
// /proc/PID/task/*/schedstat), then the same per thread,
// so a thread that wakes more than it should shows itself. The sweeps' own
// chip exchanges (DRSSI readings, where enabled) are real work and count.
//
// The machine's load average is printed before and after: the figures of a
// shared machine are only comparable side by side.
//
// bench_idle_cpu [--onus N] [--seconds S] [--settle S]
//   N   ONUs in service, spread over the 4 OLTs x 2 PON ports (2000; 1..2000)
//   S   the spell at rest that is measured (60)
//   S   between the last "configure ok" and the spell (15)
#include "daemon_run.h"

#include <map>

namespace {

using namespace bench;

constexpr int OLTS = 4;
constexpr int PORTS = 2;
constexpr int SPACING_MS = 40;
constexpr int START_SECONDS = 120;
constexpr int ROAD_SECONDS = 1500;
constexpr int POLL_MS = 500;

struct settings {
    int onus = 2000;
    int seconds = 60;
    int settle = 15;
};

bool parse(int argc, char **argv, settings &s)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        int value = atoi(argv[i + 1]);
        if (name == "--onus" && value >= 1 && value <= 2000)
            s.onus = value;
        else if (name == "--seconds" && value > 0)
            s.seconds = value;
        else if (name == "--settle" && value >= 0)
            s.settle = value;
        else
            return false;
    }
    return argc % 2 == 1;
}

struct thread_figures {
    unsigned long switches = 0, involuntary = 0;
    double cpu = 0;
};

// "Name: N" of a status text; 0 when missing.
unsigned long status_count(const std::string &status, const std::string &name)
{
    size_t at = status.find("\n" + name + ":");
    return at == std::string::npos ? 0 : std::stoul(status.substr(at + name.size() + 2));
}

// Seconds a task has run, from the nanoseconds of its schedstat (the
// clock ticks of stat are too coarse for a spell at rest).
double run_seconds(const std::string &schedstat)
{
    std::istringstream fields(schedstat);
    unsigned long long ns = 0;
    fields >> ns;
    return double(ns) / 1e9;
}

// Every thread of `pid` by its id.
std::map<int, thread_figures> threads_of(pid_t pid)
{
    std::map<int, thread_figures> out;
    fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto &task : fs::directory_iterator(tasks, error)) {
        std::string status = read_file(task.path() / "status");
        thread_figures t;
        t.involuntary = status_count(status, "nonvoluntary_ctxt_switches");
        t.switches = status_count(status, "voluntary_ctxt_switches") + t.involuntary;
        t.cpu = run_seconds(read_file(task.path() / "schedstat"));
        out[std::stoi(task.path().filename().string())] = t;
    }
    return out;
}

std::string load_average()
{
    std::string text = read_file("/proc/loadavg");
    return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

} // namespace

int main(int argc, char **argv)
{
    settings s;
    if (!parse(argc, argv, s)) {
        fprintf(stderr, "usage: bench_idle_cpu [--onus N] [--seconds S] [--settle S]\n");
        return 2;
    }
    fs::path root = make_sandbox("idle");
    simulated_board board_sim;
    std::string board = board_text("idle", 0x23, s.onus, [](int i) { return onu_place{i % OLTS, i / OLTS % PORTS}; });
    if (!board_sim.start(board, root))
        return 1;

    fs::path trace = root / "zandrel.out";
    pid_t daemon = start_daemon(trace);
    bool ready = wait_for_olts_ok(trace, OLTS, START_SECONDS);
    if (!ready) {
        fprintf(stderr, "the daemon did not bring its OLTs up\n");
        stop_daemon(daemon);
        board_sim.stop();
        return 1;
    }
    for (int i = 0; i < s.onus; i++)
        board_sim.register_onu(i, i * SPACING_MS);
    auto road = clock_type::now();
    bool done = wait_for([&] { return board_sim.configured() >= size_t(s.onus); }, ROAD_SECONDS, POLL_MS);
    printf("onus %d configured %zu in %.0f s%s\n", s.onus, board_sim.configured(), seconds_since(road),
           done ? "" : " (timed out)");
    std::this_thread::sleep_for(std::chrono::seconds(s.settle));

    printf("load average before: %s\n", load_average().c_str());
    fflush(stdout);
    std::map<int, thread_figures> before = threads_of(daemon);
    auto start = clock_type::now();
    std::this_thread::sleep_for(std::chrono::seconds(s.seconds));
    double spell = seconds_since(start);
    std::map<int, thread_figures> after = threads_of(daemon);
    printf("load average after:  %s\n", load_average().c_str());

    unsigned long switches = 0, involuntary = 0;
    double cpu = 0;
    for (const auto &[tid, t] : after) {
        switches += t.switches - (before.count(tid) ? before[tid].switches : 0);
        involuntary += t.involuntary - (before.count(tid) ? before[tid].involuntary : 0);
        cpu += t.cpu - (before.count(tid) ? before[tid].cpu : 0);
    }
    printf("at rest over %.1f s with %d ONUs: %.2f wake-ups/s (%.2f of them involuntary), cpu %.4f s = %.4f %% of "
           "one core\n",
           spell, s.onus, double(switches) / spell, double(involuntary) / spell, cpu, 100.0 * cpu / spell);
    // The daemon's threads in the order it starts them (ids grow with it).
    static const char *const roles[] = {"dispatch (main)", "profiler", "watchdog OLTs", "watchdog ONUs",
                                        "scheduler", "chip receive", "chip events", "mgmt receive"};
    size_t n = 0;
    for (const auto &[tid, t] : after) {
        const thread_figures *was = before.count(tid) ? &before[tid] : nullptr;
        const char *role = n < std::size(roles) ? roles[n] : "other";
        n++;
        printf("  thread %-7d %-16s %7.2f wake-ups/s (%.2f involuntary)  cpu %7.2f ms\n", tid, role,
               double(t.switches - (was ? was->switches : 0)) / spell,
               double(t.involuntary - (was ? was->involuntary : 0)) / spell, 1000.0 * (t.cpu - (was ? was->cpu : 0)));
    }

    stop_daemon(daemon);
    board_sim.stop();
    fs::remove_all(root);
    return done ? 0 : 2;
}
