// 250 ONUs on one PON port, from their first registration to state OK: the
// real daemon (a process) against the configuration store and the chips
// with their ONUs in this program. Prints the wall time, the daemon's CPU
// seconds and the pacing floor: the larger of the chip events the event
// thread handled (10 ms each) and the work items the profiler handled
// (10 ms each), both as the daemon counted them (its counters file, written
// with the resource report) over the run. The ONUs register 40 ms apart.
//
// bench_onu_road [ONUS]   (default 250)
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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr double PAUSE_SECONDS = 0.010;
constexpr int COMMAND_SECONDS = 5;
constexpr int START_SECONDS = 60;
constexpr int ROAD_SECONDS = 300;
constexpr int REGISTRATION_SPACING_MS = 40;   // well under the 90 ms of events each ONU brings

std::string onu_mac(int i)
{
    char text[18];
    snprintf(text, sizeof text, "00:0D:B6:21:%02X:%02X", (4 * i) >> 8 & 0xFF, (4 * i) & 0xFF);
    return text;
}

// The configuration store and the chips see the same ONUs.
std::string board(int onus)
{
    std::string text = R"({"system": {"hostname": "bench"}, "profiles": {"link": [{"index": 0, "links": 4}],
        "rules": [{"index": 0, "in_use": 1}]}, "onus": [)";
    for (int i = 0; i < onus; i++)
        text += std::string(i ? "," : "") + R"({"mac": ")" + onu_mac(i) + R"(", "secret": "5820", "ont_id": )" +
                std::to_string(i + 1) + R"(, "olt": 0, "pon": 0, "chip": "0x3714"})";
    return text + "]}";
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

template <typename Condition> bool wait_for(Condition condition, int seconds)
{
    auto deadline = clock_type::now() + std::chrono::seconds(seconds);
    while (clock_type::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

// user + system seconds of process `pid`, from /proc.
double cpu_seconds(pid_t pid)
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

struct pacing {
    unsigned long events = 0, items = 0;
    bool ok = false;
};

// The daemon's counters: the resource report command writes them first.
pacing counters(ponkernel_server &kernel, const fs::path &root)
{
    pacing p;
    if (kernel.command(0x7002, std::vector<uint8_t>(32, 0), nullptr, COMMAND_SECONDS) != 0)
        return p;
    std::istringstream text(read_file(root / "tmp/zandrel_counters"));
    std::string name;
    unsigned long value;
    int found = 0;
    while (text >> name >> value) {
        if (name == "events_handled")
            p.events = value, found++;
        else if (name == "work_items")
            p.items = value, found++;
    }
    p.ok = found == 2;
    return p;
}

} // namespace

int main(int argc, char **argv)
{
    int onus = argc > 1 ? atoi(argv[1]) : 250;
    fs::path self = fs::canonical("/proc/self/exe");
    fs::path daemon_bin = self.parent_path().parent_path() / "zandrel";
    fs::path root = fs::temp_directory_path() / ("zandrel_bench_road_" + std::to_string(getpid()));
    for (const char *dir : {"tmp", "dev", "usr/local/share", "etc/config"})
        fs::create_directories(root / dir);
    {
        std::ofstream image(root / "usr/local/share/tk3723app.tkf", std::ios::binary);
        image << "TK" << char(0x02) << char(0x01) << std::string(60, 'x');
    }
    std::string net = "127.0." + std::to_string(150 + getpid() % 50);
    setenv("ZANDREL_ROOT", root.c_str(), 1);
    setenv("ZANDREL_CHIP_NET", net.c_str(), 1);
    setenv("ZANDREL_CHIP_BIND", (net + ".100").c_str(), 1);
    setenv("ZANDREL_IFACE", "lo", 1);
    setenv("ZANDREL_LOG_STDERR", "1", 1);

    ponkernel_server kernel;
    std::string error;
    if (!kernel.store().load_text(board(onus), error)) {
        fprintf(stderr, "board: %s\n", error.c_str());
        return 1;
    }
    ponkernel_options options;
    options.unix_path = (root / "tmp/chip.sock").string();
    options.print = false;
    if (kernel.start(options) != 0)
        return 1;

    std::vector<oltsim::board_onu> list;
    if (!oltsim::parse_board(board(onus), list, nullptr, error)) {
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

    fs::path trace = root / "zandrel.out";
    pid_t daemon = fork();
    if (daemon == 0) {
        int fd = open(trace.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        execl(daemon_bin.c_str(), "zandrel", nullptr);
        _exit(127);
    }
    bool ready = wait_for([&] { return read_file(trace).find("get config cache success") != std::string::npos &&
                                       read_file(trace).find("oltready_handler: OLT[0] in RESETOK") != std::string::npos; },
                          START_SECONDS);
    if (!ready) {
        fprintf(stderr, "the daemon did not come up\n");
        kill(daemon, SIGKILL);
        waitpid(daemon, nullptr, 0);
        return 1;
    }
    // The profiler thread starts five seconds after the engine.
    std::this_thread::sleep_for(std::chrono::seconds(6));
    pacing before = counters(kernel, root);
    double cpu_before = cpu_seconds(daemon);
    auto configured = [&] {
        size_t n = 0;
        for (const auto &note : kernel.notifications())
            n += note.code == EVENT_ONU_CONFIGURE_OK;
        return n;
    };
    auto start = clock_type::now();
    // ONUs register one after another, as they do through a PON port's
    // discovery windows; a thousand attempts in one instant overrun the
    // chip socket's receive buffer (its size is the board's: 262144 bytes
    // asked for) before the receive thread drains it, and a third of them
    // are lost, which would measure the simulator's burst, not the daemon.
    // The event thread's backlog still grows from the first ONU on: 40 ms
    // of arrivals bring 90 ms of events, so the spacing adds no wall time.
    for (int i = 0; i < onus; i++)
        population.register_onu(list[size_t(i)].mac, i * REGISTRATION_SPACING_MS);
    bool done = wait_for([&] { return configured() >= size_t(onus); }, ROAD_SECONDS);
    double wall = std::chrono::duration<double>(clock_type::now() - start).count();
    double cpu = cpu_seconds(daemon) - cpu_before;
    pacing after = counters(kernel, root);
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);

    if (!before.ok || !after.ok) {
        fprintf(stderr, "the daemon's counters could not be read\n");
        return 1;
    }
    unsigned long events = after.events - before.events;
    unsigned long items = after.items - before.items;
    double floor = double(events > items ? events : items) * PAUSE_SECONDS;
    printf("onus %d configured %zu%s\n", onus, configured(), done ? "" : " (timed out)");
    printf("wall %.2f s, pacing floor %.2f s (events %lu, work items %lu, 10 ms each), ratio %.2f\n", wall, floor,
           events, items, wall / floor);
    printf("daemon cpu %.2f s\n", cpu);
    sim.stop();
    kernel.stop();
    fs::remove_all(root);
    return done ? 0 : 2;
}
