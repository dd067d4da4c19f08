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
#include "oltsim/oltsim.h"
#include "oltsim/onu_ports.h"
#include "oltsim/onu_service.h"
#include "oltsim/onus.h"
#include "ponkernel/ponkernel.h"
#include "wire/ids.h"
#include "wire/kernmsg.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

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
// The bulk registers slower than the event thread handles a registration
// (nine paced events, 90 ms), so the chip socket never overflows; the
// measured 250 register as fast as on the road bench.
constexpr int FILL_SPACING_MS = 100;
constexpr int ROAD_SPACING_MS = 40;

std::string onu_mac(int i)
{
    char text[18];
    snprintf(text, sizeof text, "00:0D:B6:21:%02X:%02X", (4 * i) >> 8 & 0xFF, (4 * i) & 0xFF);
    return text;
}

// ONU i sits on PON port i / per_port; the store and the chips agree.
std::string board(int per_port)
{
    std::string text = R"({"system": {"hostname": "bench"}, "profiles": {"link": [{"index": 0, "links": 4}],
        "rules": [{"index": 0, "in_use": 1}]}, "onus": [)";
    for (int i = 0; i < per_port * PON_PORTS; i++) {
        int port = i / per_port;
        text += std::string(i ? "," : "") + R"({"mac": ")" + onu_mac(i) + R"(", "secret": "5820", "ont_id": )" +
                std::to_string(i + 1) + R"(, "olt": )" + std::to_string(port / 2) + R"(, "pon": )" +
                std::to_string(port % 2) + R"(, "chip": "0x3714"})";
    }
    return text + "]}";
}

bool wait_for(const std::function<bool()> &condition, int seconds)
{
    auto deadline = clock_type::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (clock_type::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
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
    f.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
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
    fs::path self = fs::canonical("/proc/self/exe");
    fs::path daemon_bin = self.parent_path().parent_path() / "zandrel";
    fs::path root = fs::temp_directory_path() / ("zandrel_bench_list_" + std::to_string(getpid()));
    for (const char *dir : {"tmp", "dev", "usr/local/share", "etc/config"})
        fs::create_directories(root / dir);
    std::string net = "127.0." + std::to_string(150 + getpid() % 50);
    setenv("ZANDREL_ROOT", root.c_str(), 1);
    setenv("ZANDREL_CHIP_NET", net.c_str(), 1);
    setenv("ZANDREL_CHIP_BIND", (net + ".100").c_str(), 1);
    setenv("ZANDREL_IFACE", "lo", 1);

    ponkernel_server kernel;
    std::string error;
    if (!kernel.store().load_text(board(per_port), error)) {
        fprintf(stderr, "board: %s\n", error.c_str());
        return 1;
    }
    ponkernel_options options;
    options.unix_path = (root / "tmp/chip.sock").string();
    options.print = false;
    if (kernel.start(options) != 0)
        return 1;

    std::vector<oltsim::board_onu> list;
    if (!oltsim::parse_board(board(per_port), list, nullptr, error)) {
        fprintf(stderr, "board: %s\n", error.c_str());
        return 1;
    }
    oltsim::options chip_options;
    chip_options.log = false;
    chip_options.record = false;
    chip_options.boot_ms = 3000;
    oltsim::chipset sim(chip_options);
    oltsim::onu_population population(sim, list, chip_options.mac);
    population.attach();
    oltsim::onu_service service(sim, population, list);
    service.attach();
    oltsim::onu_ports hardware(sim);
    for (const auto &onu : list)
        hardware.add(onu.mac);
    hardware.attach();
    if (sim.start() != 0)
        return 1;

    // The daemon's trace is kept for a look afterwards, not read here.
    pid_t daemon = fork();
    if (daemon == 0) {
        int fd = open((root / "zandrel.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        execl(daemon_bin.c_str(), "zandrel", nullptr);
        _exit(127);
    }
    auto stop = [&](int status) {
        kill(daemon, SIGTERM);
        waitpid(daemon, nullptr, 0);
        sim.stop();
        kernel.stop();
        fs::remove_all(root);
        return status;
    };
    auto configured = [&] {
        size_t n = 0;
        for (const auto &note : kernel.notifications())
            n += note.code == EVENT_ONU_CONFIGURE_OK;
        return n;
    };
    // Up when it answers on the management link; the chips then boot and
    // the profiler starts a few seconds later, which the fill waits out.
    if (!wait_for([&] { return kernel.connected(); }, START_SECONDS)) {
        fprintf(stderr, "the daemon did not come up\n");
        return stop(1);
    }
    std::this_thread::sleep_for(std::chrono::seconds(10));

    auto fill_start = clock_type::now();
    for (int i = 0; i < bulk; i++)
        population.register_onu(list[size_t(i)].mac, i * FILL_SPACING_MS);
    bool filled = wait_for([&] { return configured() >= size_t(bulk); }, FILL_SECONDS);
    printf("fill: %zu of %d ONUs configured on ports 0..6 in %.0f s%s\n", configured(), bulk,
           std::chrono::duration<double>(clock_type::now() - fill_start).count(), filled ? "" : " (timed out)");
    if (!filled)
        return stop(1);

    auto idle = [&] {
        auto end = clock_type::now() + std::chrono::seconds(IDLE_SECONDS);
        return hammer(kernel, [&] { return clock_type::now() > end; });
    };
    print("idle", idle());

    for (int i = bulk; i < total; i++)
        population.register_onu(list[size_t(i)].mac, (i - bulk) * ROAD_SPACING_MS);
    auto road_end = clock_type::now() + std::chrono::seconds(ROAD_SECONDS);
    figures road = hammer(kernel, [&] { return configured() >= size_t(total) || clock_type::now() > road_end; });
    print("provisioning", road);
    printf("provisioned %zu of %d ONUs on port 7 meanwhile\n", configured() - size_t(bulk), per_port);
    // Idle again with every ONU of the table listed.
    print("idle, full", idle());
    return stop(configured() >= size_t(total) ? 0 : 2);
}
