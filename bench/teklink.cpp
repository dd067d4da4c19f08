// Exchanges per second of teklink_message_send against a zero-latency
// responder (oltsim with its default answer), next to a raw UDP ping-pong of
// the same threading shape: a receive thread copies each datagram into a
// pool block and hands it to the caller through a queue. The ratio shows
// what the chip link's own work costs (checks, pool, dumps, lock).
//
// The dumps are written to /dev/null during the measurement (standard output
// is redirected there and put back for the figures).
//
// The same exchanges run with the capture of the links on (wire/capture.h,
// the default ring of files in a temporary root on /dev/shm): the ratio of
// the two rates is what capture costs the chip link.
//
// The three alternate in short rounds and each keeps its best round, so that
// load from elsewhere on the machine hurts all alike and the figures come
// from the quietest moments.
//
//   bench_teklink [seconds in all, default 8]
#include "base/balloc.h"
#include "store/datastruct.h"
#include "base/mqueue.h"
#include "oltsim/oltsim.h"
#include "platform/sandbox.h"
#include "chip/teklink.h"
#include "wire/capture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using steady = std::chrono::steady_clock;
constexpr uint16_t BENCH_ID = 0x0101;
constexpr size_t BENCH_DATA = 8;

double teklink_round(double seconds)
{
    uint8_t *req = static_cast<uint8_t *>(BALLOC(long(TEKLINK_MSG_DATA + BENCH_DATA)));
    tekmsg_set_header(req, 0, BENCH_ID, 0, BENCH_DATA);
    memset(req + TEKLINK_MSG_DATA, 0x5A, BENCH_DATA);
    long count = 0;
    auto start = steady::now();
    auto until = start + std::chrono::duration<double>(seconds);
    while (steady::now() < until) {
        uint8_t *resp = nullptr;
        if (teklink_message_send(req, &resp, 2) != 0) {
            fprintf(stderr, "bench_teklink: exchange failed\n");
            exit(1);
        }
        BFREE(resp);
        count++;
    }
    BFREE(req);
    return count / std::chrono::duration<double>(steady::now() - start).count();
}

struct raw_link {
    int fd = -1;
    mqueue queue{};
    std::thread receiver;
    std::atomic<bool> running{true};
};

// The same shape without the chip link: one socket, a receive thread that
// copies each datagram into a pool block and queues it, the caller waiting
// on the queue and matching the tag.
double raw_round(double seconds, in_addr local, in_addr chip)
{
    raw_link link;
    link.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in me{AF_INET, htons(sandbox_chip_port()), local, {}};
    if (link.fd < 0 || bind(link.fd, reinterpret_cast<sockaddr *>(&me), sizeof me) != 0) {
        perror("bench_teklink: raw socket");
        exit(1);
    }
    timeval tick{0, 100000};
    setsockopt(link.fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    MQUEUE_CREATE(&link.queue, TEKLINK_RX_QUEUE_SIZE);
    link.receiver = std::thread([&link] {
        uint8_t buffer[TEKMSG_MAX_DATAGRAM];
        while (link.running) {
            ssize_t got = recv(link.fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                continue;
            auto *msg = static_cast<uint8_t *>(BALLOC(got + 2));
            tekmsg_set_olt(msg, 0);
            memcpy(msg + 2, buffer, size_t(got));
            if (mqueue_put(&link.queue, msg) != 0)
                BFREE(msg);
        }
    });

    sockaddr_in to{AF_INET, htons(sandbox_chip_port()), chip, {}};
    uint8_t datagram[TEKMSG_HEADER + BENCH_DATA];
    uint8_t data[BENCH_DATA];
    memset(data, 0x5A, sizeof data);
    uint16_t tag = 0;
    long count = 0;
    auto start = steady::now();
    auto until = start + std::chrono::duration<double>(seconds);
    while (steady::now() < until) {
        size_t n = tekmsg_encode(datagram, sizeof datagram, BENCH_ID, ++tag, -1, -1, data, sizeof data);
        sendto(link.fd, datagram, n, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        for (;;) {
            auto *resp = static_cast<uint8_t *>(mqueue_timedget(&link.queue, 2));
            if (!resp) {
                fprintf(stderr, "bench_teklink: raw exchange failed\n");
                exit(1);
            }
            bool match = tekmsg_ctag(resp) == tag;
            BFREE(resp);
            if (match)
                break;
        }
        count++;
    }
    double rate = count / std::chrono::duration<double>(steady::now() - start).count();
    link.running = false;
    link.receiver.join();
    close(link.fd);
    mqueue_destroy(&link.queue);
    return rate;
}

} // namespace

int main(int argc, char **argv)
{
    constexpr int ROUNDS = 8;   // of each kind
    double total = argc > 1 ? atof(argv[1]) : 8.0;
    if (!(total > 0))
        total = 8.0;
    double seconds = total / (2 * ROUNDS);
    // On a RAM disk, like the board's "/tmp": a disk's journal, shared with
    // whatever else the machine does, would time the disk, not the capture.
    char root[] = "/dev/shm/bench_teklink.XXXXXX", disk_root[] = "/tmp/bench_teklink.XXXXXX";
    const char *made = mkdtemp(root) ? root : mkdtemp(disk_root);
    if (!made)
        return 1;
    setenv("ZANDREL_ROOT", made, 1);
    std::string net = "127.77." + std::to_string(getpid() & 0xFF);
    setenv("ZANDREL_CHIP_NET", net.c_str(), 1);
    setenv("ZANDREL_CHIP_BIND", (net + ".100").c_str(), 1);
    in_addr raw_local{}, chip = sandbox_chip_addr(0);
    inet_pton(AF_INET, (net + ".101").c_str(), &raw_local);

    if (bopen(nullptr, 0x400000, 0) != 0)
        return 1;
    oltsim::options opts;
    opts.log = opts.record = opts.board = false;
    oltsim::chipset sim(opts);
    if (sim.start() != 0)
        return 1;
    if (olt_init() != 0)
        return 1;
    olt_set_state(0, ONU_STATE_OK);

    fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);

    teklink_init();
    while (teklink_rx_socket.load() < 0)
        usleep(1000);
    teklink_round(0.2);   // warm the pool, the caches and the chips
    raw_round(0.2, raw_local, chip);
    double best_teklink = 0, best_captured = 0, best_raw = 0;
    for (int round = 0; round < ROUNDS; round++) {
        best_teklink = std::max(best_teklink, teklink_round(seconds));
        if (capture_start("/links.pcapng") != 0)
            return 1;
        best_captured = std::max(best_captured, teklink_round(seconds));
        capture_stop("the round ends");
        best_raw = std::max(best_raw, raw_round(seconds, raw_local, chip));
    }
    // What one captured datagram costs its sender, alone: the figure
    // behind the ratio, steadier than rates on a busy machine.
    constexpr long CAPTURED = 400000;
    uint8_t datagram[TEKMSG_HEADER + BENCH_DATA] = {};
    if (capture_start("/links.pcapng") != 0)
        return 1;
    auto start = steady::now();
    for (long i = 0; i < CAPTURED; i++)
        capture_chip(i % 2 ? PCAPNG_IN : PCAPNG_OUT, chip, datagram, sizeof datagram);
    double per_datagram = std::chrono::duration<double>(steady::now() - start).count() / CAPTURED;
    capture_stop("the bench ends");
    teklink_close();
    sim.stop();

    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    printf("teklink_message_send: %.0f exchanges/s (dumps written to /dev/null)\n", best_teklink);
    printf("raw UDP ping-pong:    %.0f exchanges/s (receive thread + queue)\n", best_raw);
    printf("ratio:                %.2f (target >= 0.80)\n", best_teklink / best_raw);
    printf("capture on:           %.0f exchanges/s (both ways written to the default ring)\n", best_captured);
    printf("capture ratio:        %.2f (on / off, target >= 0.95)\n", best_captured / best_teklink);
    printf("capture cost:         %.2f us a datagram (%.1f%% of an exchange off, two datagrams)\n",
           per_datagram * 1e6, 200 * per_datagram * best_teklink);
    for (unsigned i = 0; i < CAPTURE_FILES_MAX; i++) {
        char path[PATH_MAX];
        if (i)
            snprintf(path, sizeof path, "%s/links.pcapng.%u", made, i);
        else
            snprintf(path, sizeof path, "%s/links.pcapng", made);
        unlink(path);
    }
    rmdir(made);
    bclose();
    return 0;
}
