// The whole board at its full size: 4 OLTs x 2 PON ports x 250 ONUs = 2000
// ONUs, from a cold start of the daemon (a process) to every ONU OK, against
// the configuration store and the chips with their ONUs in this program.
//
// Prints, in this order: the wall time from the first registration to the
// last "configure ok"; the pacing floor the event and profiler threads
// impose (the larger of the events and of the work items the daemon
// counted over the road, from its counters file, 10 ms each) and the
// ratio of the two; the daemon's CPU seconds
// over the road; its peak RSS (VmHWM); the pool's and the queues' peaks
// from its resource report; then the daemon's CPU share over an idle spell.
//
// bench_scale [--onus-per-port N] [--spacing-ms MS] [--idle-seconds S]
//   N   ONUs on each of the eight PON ports (250)
//   MS  between one ONU's registration and the next, ports taken in turn
//       (40: the ONUs keep ahead of the daemon's 100 events a second, so
//       its queues, not the spacing, set the pace)
//   S   the idle spell after the road (60)
#include "daemon_run.h"

namespace {

using namespace bench;

constexpr int OLTS = 4;
constexpr int PORTS = 2;
constexpr double PAUSE_SECONDS = 0.010;   // each event, each work item
constexpr int START_SECONDS = 120;
constexpr int ROAD_SECONDS = 1200;
// Each look at the notifications copies them all (six per ONU): seldom
// enough to leave the two cores to the daemon, often enough for the wall
// time's resolution.
constexpr int POLL_MS = 250;

struct settings {
    int per_port = 250;
    int spacing_ms = 40;
    int idle_seconds = 60;
};

bool parse(int argc, char **argv, settings &s)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        int value = atoi(argv[i + 1]);
        if (name == "--onus-per-port" && value > 0 && value <= 250)
            s.per_port = value;
        else if (name == "--spacing-ms" && value >= 0)
            s.spacing_ms = value;
        else if (name == "--idle-seconds" && value >= 0)
            s.idle_seconds = value;
        else
            return false;
    }
    return argc % 2 == 1;
}

// ONU i: OLT i % 4, PON port i / 4 % 2, so that the ports fill in turn.
std::string board(int onus)
{
    return board_text("scale", 0x22, onus, [](int i) { return onu_place{i % OLTS, i / OLTS % PORTS}; });
}

} // namespace

int main(int argc, char **argv)
{
    settings s;
    if (!parse(argc, argv, s)) {
        fprintf(stderr, "usage: bench_scale [--onus-per-port N] [--spacing-ms MS] [--idle-seconds S]\n");
        return 2;
    }
    const int onus = s.per_port * OLTS * PORTS;
    fs::path root = make_sandbox("scale");

    simulated_board board_sim;
    if (!board_sim.start(board(onus), root))
        return 1;
    ponkernel_server &kernel = board_sim.kernel;

    fs::path trace = root / "zandrel.out";
    pid_t daemon = start_daemon(trace);
    // Every OLT configured: the ONUs find their ports ready.
    bool ready = wait_for_olts_ok(trace, OLTS, START_SECONDS);
    if (!ready) {
        fprintf(stderr, "the daemon did not bring its OLTs up\n");
        stop_daemon(daemon);
        return 1;
    }
    daemon_report before = resource_report(kernel, root);
    double cpu_before = cpu_seconds(daemon);
    auto configured = [&] { return board_sim.configured(); };
    auto start = clock_type::now();
    for (int i = 0; i < onus; i++)
        board_sim.register_onu(i, i * s.spacing_ms);
    bool done = wait_for([&] { return configured() >= size_t(onus); }, ROAD_SECONDS, POLL_MS);
    double wall = seconds_since(start);
    double cpu = cpu_seconds(daemon) - cpu_before;
    long hwm_kib = status_kib(daemon, "VmHWM");
    daemon_report after = resource_report(kernel, root);
    if (!before.counted || !after.counted) {
        fprintf(stderr, "the daemon's counters could not be read\n");
        stop_daemon(daemon);
        return 1;
    }
    const std::string &report = after.text;
    double counted_events = double(after.events - before.events), counted_items = double(after.items - before.items);
    double events = counted_events * PAUSE_SECONDS, items = counted_items * PAUSE_SECONDS;
    double floor = std::max(events, items);
    printf("onus %d configured %zu%s\n", onus, configured(), done ? "" : " (timed out)");
    printf("wall %.2f s (first registration to last OK)\n", wall);
    printf("pacing floor %.2f s (%.0f events %.2f s, %.0f work items %.2f s), ratio %.3f (target <= 1.1)\n", floor,
           counted_events, events, counted_items, items, wall / floor);
    printf("daemon cpu %.2f s over the road\n", cpu);
    printf("peak rss %.1f MiB (VmHWM %ld kB, target <= 48 MiB); now anonymous %ld kB, file %ld kB\n",
           double(hwm_kib) / 1024.0, hwm_kib, status_kib(daemon, "RssAnon"), status_kib(daemon, "RssFile"));
    printf("pool peak: max memory ever used %ld, ever balloced %ld, max blocks %ld\n",
           report_figure(report, "Max memory ever used"), report_figure(report, "Max memory ever balloced"),
           report_figure(report, "Max blocks allocated"));
    printf("queue peaks:%s\n", queue_peaks(report).c_str());
    fflush(stdout);

    double idle_before = cpu_seconds(daemon);
    std::this_thread::sleep_for(std::chrono::seconds(s.idle_seconds));
    double idle = cpu_seconds(daemon) - idle_before;
    if (s.idle_seconds > 0)
        printf("idle cpu %.2f s over %d s = %.2f %% (target < 1 %%)\n", idle, s.idle_seconds,
               100.0 * idle / s.idle_seconds);

    stop_daemon(daemon);
    board_sim.stop();
    fs::remove_all(root);
    return done ? 0 : 2;
}
