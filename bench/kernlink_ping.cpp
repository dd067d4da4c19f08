// Ping round trips per second through the management link - ponkernel's
// command, the daemon's receive thread, request queue, dispatch loop, ping
// handler and answer - against a bare 16-byte ping-pong over a UNIX stream
// socket pair in the same run. The daemon's trace lines (standard output)
// go to /dev/null while the link is measured; their cost is included.
//
// bench_kernlink_ping [SECONDS]   (default 3 per measurement)
#include "base/balloc.h"
#include "mgmt/kernhandlers.h"
#include "mgmt/kernlink.h"
#include "ponkernel/ponkernel.h"
#include "base/process.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double raw_ping_pong(double seconds)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return 0;
    std::thread echo([fd = pair[1]] {
        uint8_t msg[16];
        while (recv(fd, msg, sizeof msg, MSG_WAITALL) == sizeof msg)
            send(fd, msg, sizeof msg, 0);
    });
    uint8_t msg[16] = {9};
    unsigned long trips = 0;
    auto start = clock_type::now();
    while (seconds_since(start) < seconds) {
        send(pair[0], msg, sizeof msg, 0);
        if (recv(pair[0], msg, sizeof msg, MSG_WAITALL) != sizeof msg)
            break;
        trips++;
    }
    double rate = double(trips) / seconds_since(start);
    shutdown(pair[0], SHUT_RDWR);
    echo.join();
    close(pair[0]);
    close(pair[1]);
    return rate;
}

double link_ping(double seconds)
{
    char pattern[] = "/tmp/zandrel-bench-XXXXXX";
    if (!mkdtemp(pattern))
        return 0;
    std::string root = pattern;
    std::filesystem::create_directories(root + "/tmp");
    setenv("ZANDREL_ROOT", root.c_str(), 1);
    bopen(nullptr, 1 << 22, 0);

    ponkernel_server kernel;
    ponkernel_options options;
    options.unix_path = root + "/tmp/chip.sock";
    options.print = false;
    kernel.start(options);
    kernlink_init();
    std::thread loop(kernlink_process_loop);
    double rate = 0;
    if (kernel.wait_connected(10)) {
        fflush(stdout);
        int saved = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        unsigned long trips = 0;
        auto start = clock_type::now();
        while (seconds_since(start) < seconds && kernel.command(CMDPING, {}, nullptr, 5) == 0)
            trips++;
        rate = double(trips) / seconds_since(start);
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        close(null);
    }
    run_flag = 0;
    loop.join();
    kernlink_close();
    kernel.stop();
    bclose();
    std::filesystem::remove_all(root);
    return rate;
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    if (seconds <= 0)
        seconds = 3.0;
    double raw = raw_ping_pong(seconds);
    double link = link_ping(seconds);
    printf("raw UNIX socket ping-pong:   %10.0f round trips/s\n", raw);
    printf("management link ping:        %10.0f round trips/s\n", link);
    printf("ratio (link / raw):          %10.3f\n", raw > 0 ? link / raw : 0.0);
    return link > 0 && raw > 0 ? 0 : 1;
}
