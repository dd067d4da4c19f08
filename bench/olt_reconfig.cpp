// OLT reconfiguration time against a zero-latency oltsim (with the chips'
// configuration side) and an in-process ponkernel serving the lab board:
// milliseconds per reconfiguration, chip exchanges per reconfiguration, and
// the exchanges per second it reaches as a ratio of plain
// teklink_message_send exchanges measured in the same run. The 500 ms port
// settle pause is left out (the pause seam does nothing here); the one
// configuration request to ponkernel is counted in the time.
//
// The two kinds alternate in rounds and each keeps its best round, so load
// from elsewhere on the machine hurts both alike. The daemon's dumps go to
// /dev/null during the measurement.
//
//   bench_olt_reconfig [rounds, default 10] [board file, default sim/boards/lab.json]
#include "base/balloc.h"
#include "base/process.h"
#include "chip/teklink.h"
#include "engine/profiler_olt.h"
#include "mgmt/kernlink.h"
#include "oltsim/olt_config.h"
#include "oltsim/oltsim.h"
#include "ponkernel/ponkernel.h"
#include "store/datastruct.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

using steady = std::chrono::steady_clock;
// Both kinds of round last about as long, so neither is favoured by a
// quiet moment.
constexpr double ROUND_SECONDS = 0.5;

double seconds_since(steady::time_point start)
{
    return std::chrono::duration<double>(steady::now() - start).count();
}

// Plain exchanges per second: one small request after the other.
double plain_round()
{
    uint8_t *req = static_cast<uint8_t *>(BALLOC(TEKLINK_MSG_DATA + 8));
    tekmsg_set_header(req, 0, TEK_REQ_PORT_STATE, 0, 8);
    memset(req + TEKLINK_MSG_DATA, 0, 8);
    long count = 0;
    auto start = steady::now();
    while (seconds_since(start) < ROUND_SECONDS) {
        uint8_t *resp = nullptr;
        if (teklink_message_send(req, &resp, 2) != 0) {
            fprintf(stderr, "bench_olt_reconfig: exchange failed\n");
            exit(1);
        }
        BFREE(resp);
        count++;
    }
    BFREE(req);
    return count / seconds_since(start);
}

struct reconfig_figures {
    double ms = 1e9;         // per reconfiguration
    double exchanges = 0;    // chip exchanges per reconfiguration
};

reconfig_figures reconfig_round(oltsim::chipset &sim)
{
    size_t before = sim.request_count();
    auto start = steady::now();
    int done = 0;
    do {
        if (profiler_olt_reconfigure(0) != 0 || olt_get_state(0) != ONU_STATE_OK) {
            fprintf(stderr, "bench_olt_reconfig: reconfiguration failed\n");
            exit(1);
        }
        done++;
    } while (seconds_since(start) < ROUND_SECONDS);
    reconfig_figures f;
    f.ms = seconds_since(start) * 1000 / done;
    f.exchanges = double(sim.request_count() - before) / done;
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 10;
    if (rounds < 1)
        rounds = 10;
    std::string board = argc > 2 ? argv[2] : "sim/boards/lab.json";
    std::string net = "127.78." + std::to_string(getpid() & 0xFF);
    auto root = std::filesystem::temp_directory_path() / ("zandrel_bench_olt_" + std::to_string(getpid()));
    std::filesystem::create_directories(root / "tmp");
    setenv("ZANDREL_CHIP_NET", net.c_str(), 1);
    setenv("ZANDREL_CHIP_BIND", (net + ".100").c_str(), 1);
    setenv("ZANDREL_ROOT", root.c_str(), 1);
    flags.r = 0;
    run_flag = 1;
    profiler_olt_sleep_ms = [](unsigned) {};

    fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);

    if (bopen(nullptr, 0x400000, 0) != 0 || olt_init() != 0)
        return 1;
    oltsim::options opts;
    opts.log = opts.record = opts.board = false;
    oltsim::chipset sim(opts);
    oltsim::olt_config_sim chips(sim);
    chips.attach();
    if (sim.start() != 0)
        return 1;
    ponkernel_server kernel;
    ponkernel_options ko;
    ko.unix_path = (root / "tmp/chip.sock").string();
    ko.print = false;
    ko.board_file = board;
    if (kernel.start(ko) != 0)
        return 1;
    kernlink_init();
    while (!kernlink_connected())
        usleep(1000);
    olt_record *record = olt_get(0);
    memcpy(record->mac, opts.mac, 6);
    olt_set_state(0, ONU_STATE_RESETOK);

    teklink_init();
    while (teklink_rx_socket.load() < 0)
        usleep(1000);
    reconfig_round(sim);   // the first configuration, and warm everything
    plain_round();
    reconfig_figures best;
    double best_plain = 0;
    for (int round = 0; round < rounds; round++) {
        reconfig_figures f = reconfig_round(sim);
        if (f.ms < best.ms)
            best = f;
        best_plain = std::max(best_plain, plain_round());
    }
    teklink_close();
    kernlink_close();
    kernel.stop();
    sim.stop();

    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    double rate = best.exchanges * 1000 / best.ms;
    printf("OLT reconfiguration:   %.1f ms (port settle pause excluded)\n", best.ms);
    printf("chip exchanges:        %.0f per reconfiguration, %.0f exchanges/s\n", best.exchanges, rate);
    printf("chip link alone:       %.0f exchanges/s\n", best_plain);
    printf("ratio:                 %.2f (target >= 0.80)\n", rate / best_plain);
    bclose();
    std::filesystem::remove_all(root);
    return 0;
}
