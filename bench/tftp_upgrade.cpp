// OLT application upgrade of a 1 MiB image against oltsim on loopback.
//
// Prints, from one run: the upgrade's blocks per second and MB/s, and the
// chip link's plain exchange rate over the same number of exchanges, with
// an empty request and with a request as large as a DATA block. Every
// block of a transfer is one exchange, so the ratio of the two rates is
// what the TFTP layer itself costs. The chip link's dumps go to /dev/null
// while measuring, as the daemon's would when its trace is redirected.
//
//   bench_tftp_upgrade [rounds]     (default 3; the best round is quoted)
#include "base/balloc.h"
#include "store/datastruct.h"
#include "oltsim/oltsim.h"
#include "oltsim/tftpserver.h"
#include "chip/teklink.h"
#include "chip/tektftp.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr size_t IMAGE_SIZE = 1 << 20;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// Standard output to /dev/null and back, around the measured parts.
struct quiet_stdout {
    int saved;
    quiet_stdout()
    {
        fflush(stdout);
        saved = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~quiet_stdout()
    {
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

// `count` exchanges of request `id` with `size` data bytes; exchanges/s.
double exchange_rate(int count, uint16_t id, size_t size)
{
    auto *request = static_cast<uint8_t *>(BALLOC(long(TEKLINK_MSG_DATA + size)));
    memset(request, 0x5A, TEKLINK_MSG_DATA + size);
    tekmsg_set_header(request, 0, id, 0, uint16_t(size));
    auto start = clock_type::now();
    for (int i = 0; i < count; i++) {
        uint8_t *response = nullptr;
        if (teklink_message_send(request, &response, 2) != 0) {
            fprintf(stderr, "exchange %d failed\n", i);
            exit(1);
        }
        BFREE(response);
    }
    double elapsed = seconds_since(start);
    BFREE(request);
    return count / elapsed;
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 3;
    std::string net = "127.201." + std::to_string(getpid() & 0xFF);
    setenv("ZANDREL_CHIP_NET", net.c_str(), 1);
    setenv("ZANDREL_CHIP_BIND", (net + ".100").c_str(), 1);
    setenv("ZANDREL_CHIP_PORT", std::to_string(20000 + getpid() % 10000).c_str(), 1);

    oltsim::options opts;
    opts.log = false;
    opts.record = false;
    opts.board = false;
    oltsim::chipset sim(opts);
    oltsim::tftp_server tftp(sim);
    {
        quiet_stdout quiet;   // the start-up lines of the data store and the link
        if (bopen(nullptr, 0x400000, 0) != 0 || datastruct_init() != 0)
            return 1;
        for (int olt = 0; olt < OLT_COUNT; olt++)
            olt_set_state(olt, ONU_STATE_OK);
        if (sim.start() != 0 || teklink_init() != 0)
            return 1;
        while (teklink_rx_socket.load() < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::vector<uint8_t> image(IMAGE_SIZE);
    std::mt19937 random(7);
    for (uint8_t &b : image)
        b = uint8_t(random());
    const int exchanges = int(tftp_data_blocks(IMAGE_SIZE)) + 1;   // the WRQ and every DATA block

    double best_upgrade = 0, best_empty = 0, best_block = 0;
    for (int round = 0; round < rounds; round++) {
        double upgrade, empty, block;
        {
            quiet_stdout quiet;
            auto start = clock_type::now();
            if (tftp_olt_app_upgrade(0, image.data(), image.size()) != 0) {
                fprintf(stderr, "upgrade failed\n");
                return 1;
            }
            upgrade = exchanges / seconds_since(start);
            empty = exchange_rate(exchanges, 0x0001, 0);
            block = exchange_rate(exchanges, 0x0001, 4 + TFTP_BLOCK_SIZE);
        }
        if (tftp.olt_file(0, "app") != image) {
            fprintf(stderr, "the chip kept other bytes than were sent\n");
            return 1;
        }
        printf("round %d: upgrade %.0f blocks/s (%.2f MB/s); exchanges %.0f/s empty, %.0f/s with 516 bytes\n",
               round + 1, upgrade, upgrade * TFTP_BLOCK_SIZE / 1e6, empty, block);
        best_upgrade = std::max(best_upgrade, upgrade);
        best_empty = std::max(best_empty, empty);
        best_block = std::max(best_block, block);
    }
    printf("1 MiB OLT application upgrade: %d exchanges\n", exchanges);
    printf("  upgrade      %8.0f blocks/s  %6.2f MB/s\n", best_upgrade, best_upgrade * TFTP_BLOCK_SIZE / 1e6);
    printf("  chip link    %8.0f exchanges/s empty, %8.0f with a DATA-sized request\n", best_empty, best_block);
    printf("  ratio        %8.2f of the empty exchange rate, %.2f of the DATA-sized one\n", best_upgrade / best_empty,
           best_upgrade / best_block);

    teklink_close();
    sim.stop();
    teklink_queues_drain();
    datastruct_close();
    bclose();
    return 0;
}
