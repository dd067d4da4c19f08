// The compact ONU list (0x2003) with the ONU table full: answers per second
// and latency (p50, p99, max) as the management process sees them: idle
// with 1750 ONUs, while 250 more are being provisioned, and idle again with
// all 2000.
//
// The real daemon (a process) runs against the configuration store and the
// chips with their ONUs in this program. The table is filled honestly:
// 1750 ONUs register and are provisioned on PON ports 0..6 (250 each),
// which takes minutes because every chip event is paced; then the list is
// asked for back to back over the management link, idle, and again while
// the last 250 ONUs register on PON port 7 (OLT 3, PON 1), until all of
// them are configured. One command is outstanding at a time, as the
// management process sends them; the list is as long with 1750 ONUs as
// with 2000, only the rows copied differ.
//
// bench_cmd_onu_list [PER_PORT]   (default 250: 8 ports, 2000 ONUs)
#include "daemon_run.h"

#include "wire/kernmsg.h"

#include <algorithm>
#include <functional>

namespace {

using namespace bench;

constexpr int PON_PORTS = 8;
constexpr uint16_t CMD_ONU_LIST = 0x2003;
constexpr size_t LIST_ENTRY = 27;
constexpr size_t LIST_ENTRIES = 2000;
constexpr int START_SECONDS = 60;
constexpr int FILL_SECONDS = 900;
constexpr int ROAD_SECONDS = 300;
constexpr int IDLE_SECONDS = 10;
constexpr int ANSWER_SECONDS = 10;
constexpr int DONE_CHECK_MS = 100;
constexpr int POLL_MS = 50;
// The bulk registers slower than the event thread handles a registration
// (nine paced events, 90 ms), so the chip socket never overflows; the
// measured 250 register as fast as on the road bench.
constexpr int FILL_SPACING_MS = 100;
constexpr int ROAD_SPACING_MS = 40;

// ONU i sits on PON port i / per_port; the store and the chips agree.
std::string board(int per_port)
{
    return board_text("bench", 0x21, per_port * PON_PORTS, [per_port](int i) {
        int port = i / per_port;
        return onu_place{port / 2, port % 2};
    });
}

struct figures {
    size_t answers = 0, failures = 0, rows = 0;
    double seconds = 0, p50_ms = 0, p99_ms = 0, max_ms = 0;
};

// Asks for the list back to back until `done` holds. `done` may copy the
// notifications received, so it is asked only every DONE_CHECK_MS, not
// between every two commands. `rows`: the ONUs the last answer listed.
figures hammer(ponkernel_server &kernel, const std::function<bool()> &done)
{
    figures f;
    std::vector<double> ms;
    auto start = clock_type::now();
    auto checked = start;
    std::vector<uint8_t> answer;
    for (;;) {
        if (clock_type::now() - checked > std::chrono::milliseconds(DONE_CHECK_MS)) {
            if (done())
                break;
            checked = clock_type::now();
        }
        auto sent = clock_type::now();
        int rc = kernel.command(CMD_ONU_LIST, {}, &answer, ANSWER_SECONDS);
        ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - sent).count());
        size_t want = KERNMSG_HEADER_SIZE + 32 + LIST_ENTRIES * LIST_ENTRY;
        if (rc != 0 || answer.size() != want || kernmsg_header_decode(answer.data()).rcode != 0) {
            f.failures++;
            continue;
        }
        f.answers++;
        f.rows = 0;
        for (size_t e = 0; e < LIST_ENTRIES; e++) {
            const uint8_t *entry = answer.data() + KERNMSG_HEADER_SIZE + 32 + e * LIST_ENTRY;
            f.rows += !std::all_of(entry, entry + LIST_ENTRY, [](uint8_t b) { return b == 0xFF; });
        }
    }
    f.seconds = seconds_since(start);
    if (!ms.empty()) {
        std::sort(ms.begin(), ms.end());
        f.p50_ms = ms[ms.size() / 2];
        f.p99_ms = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
        f.max_ms = ms.back();
    }
    return f;
}

void print(const char *phase, const figures &f)
{
    printf("%-13s %6zu answers in %6.2f s: %7.1f /s, p50 %6.2f ms, p99 %6.2f ms, max %7.2f ms, %zu failed, "
           "%zu ONUs listed\n",
           phase, f.answers, f.seconds, f.seconds > 0 ? double(f.answers) / f.seconds : 0.0, f.p50_ms, f.p99_ms,
           f.max_ms, f.failures, f.rows);
}

} // namespace

int main(int argc, char **argv)
{
    int per_port = argc > 1 ? atoi(argv[1]) : 250;
    if (per_port < 1 || per_port * PON_PORTS > int(LIST_ENTRIES)) {
        fprintf(stderr, "usage: bench_cmd_onu_list [PER_PORT 1..250]\n");
        return 2;
    }
    int total = per_port * PON_PORTS, bulk = total - per_port;
    fs::path root = make_sandbox("list");

    simulated_board board_sim;
    if (!board_sim.start(board(per_port), root))
        return 1;
    ponkernel_server &kernel = board_sim.kernel;

    // The daemon's trace is kept for a look afterwards, not read here.
    pid_t daemon = start_daemon(root / "zandrel.out");
    auto stop = [&](int status) {
        stop_daemon(daemon);
        board_sim.stop();
        fs::remove_all(root);
        return status;
    };
    auto configured = [&] { return board_sim.configured(); };
    // Up when it answers on the management link; the chips then boot and
    // the profiler starts a few seconds later, which the fill waits out.
    if (!wait_for([&] { return kernel.connected(); }, START_SECONDS, POLL_MS)) {
        fprintf(stderr, "the daemon did not come up\n");
        return stop(1);
    }
    std::this_thread::sleep_for(std::chrono::seconds(10));

    auto fill_start = clock_type::now();
    for (int i = 0; i < bulk; i++)
        board_sim.register_onu(i, i * FILL_SPACING_MS);
    bool filled = wait_for([&] { return configured() >= size_t(bulk); }, FILL_SECONDS, POLL_MS);
    printf("fill: %zu of %d ONUs configured on ports 0..6 in %.0f s%s\n", configured(), bulk,
           seconds_since(fill_start), filled ? "" : " (timed out)");
    if (!filled)
        return stop(1);

    auto idle = [&] {
        auto end = clock_type::now() + std::chrono::seconds(IDLE_SECONDS);
        return hammer(kernel, [&] { return clock_type::now() > end; });
    };
    print("idle", idle());

    for (int i = bulk; i < total; i++)
        board_sim.register_onu(i, (i - bulk) * ROAD_SPACING_MS);
    auto road_end = clock_type::now() + std::chrono::seconds(ROAD_SECONDS);
    figures road = hammer(kernel, [&] { return configured() >= size_t(total) || clock_type::now() > road_end; });
    print("provisioning", road);
    printf("provisioned %zu of %d ONUs on port 7 meanwhile\n", configured() - size_t(bulk), per_port);
    // Idle again with every ONU of the table listed.
    print("idle, full", idle());
    return stop(configured() >= size_t(total) ? 0 : 2);
}
