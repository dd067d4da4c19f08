// Chip message transport. See teklink.h.
#include "chip/teklink.h"

#include "base/balloc.h"
#include "chip/teklink_counters.h"
#include "store/datastruct.h"
#include "base/hextext.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/sandbox.h"
#include "platform/threads.h"
#include "wire/capture.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

std::atomic<uint16_t> teklink_ctag{0};
std::atomic<int> teklink_rx_socket{-1};
pthread_mutex_t teklink_send_lock = PTHREAD_MUTEX_INITIALIZER;
teklink_olt_counters teklink_counters[OLT_COUNT];

namespace {

const char *const rcode_names[] = {
    "OK",
    "Command not supported",
    "ID unknown",
    "Parameter out of range",
    "Command failed",
    "Not enough resources",
    "Not applicable",
    "Unknown error",
    "Command too short",
    "Reserved",
    "No OAM Bandwidth",
    "No ONU Response",
    "Wrong Mode",
    "ONU Returned Error",
    "Multi part more to come",
    "Multi part last",
};

bool queues_created;
// The chips' addresses, fixed when the socket opens (the sandbox variables
// are set before the link starts), so that a send does no text work.
sockaddr_in chip_address[OLT_COUNT];
bool rx_thread_running;
std::atomic<bool> rx_stop{false};
// Raised by teklink_stop_exchanges (and by teklink_close): exchanges end.
std::atomic<bool> exchanges_stop{false};
int rx_wake = -1;   // eventfd that teklink_close raises to end the receive thread's wait
constexpr unsigned SOCKET_RETRY_MS = 1000;
pthread_t rx_thread;
std::atomic<unsigned> unknown_senders;

const char DUMP_CLOSE[] = "=======================================================\n\n";

// Clock ticks (100 a second) of the daemon's clock, for the dump headers:
// the clock that uptime_seconds() reads, so a dump's tick count divided by
// 100 is the uptime second of the records.
unsigned clock_ticks() { return unsigned(clock_now_ms() / 10); }

// The body of a dump after its opening line: the header fields, the optional
// RCODE / SEQN lines, and "DATA:" with the hex text when LEN is above 0.
void dump_fields(uint16_t id, uint16_t ctag, uint16_t len, const char *code_lines, const uint8_t *data,
                 size_t count)
{
    printf("ID:     %u\nCTAG:   %u\nLEN:    %u\n%s", id, ctag, len, code_lines);
    if (len > 0) {
        char hex[TEKLINK_DUMP_HEX_SIZE];
        hex_text(hex, sizeof hex, data, count);
        fputs("DATA:   ", stdout);
        fputs(hex, stdout);
    }
    fputs(DUMP_CLOSE, stdout);
    fflush(stdout);
}

// A datagram from anyone but a chip: the socket listens on every address
// of the card, so an address that merely ends like a chip's is not one.
// Dumped like any datagram, counted, and dropped.
void unknown_sender(uint16_t olt, const sockaddr_in &from, const uint8_t *datagram, size_t length)
{
    teklink_dump_received(olt, datagram, std::min(length, TEKMSG_MAX_DATAGRAM));
    unknown_senders.fetch_add(1, std::memory_order_relaxed);
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    trace("teklink: datagram from %s:%u is not a chip's, dropped\n", address, unsigned(ntohs(from.sin_port)));
}

// While the pool holds anything, runs its ageing once a second on the
// daemon's clock, whatever arrives meanwhile (datagrams of unknown senders
// never reach the pool's own pass). The wait until the next pass in
// milliseconds, or -1 (wait for a datagram) with the pool empty.
int rx_ageing_wait(uint64_t *next)
{
    if (teklink_rxpool_used() == 0)
        return -1;
    uint64_t now = clock_now_ms();
    if (now >= *next)
        teklink_rxpool_freeaged();
    if (now >= *next || *next - now > TEKLINK_RX_AGEING_MS)   // due, or the clock was set back
        *next = now + TEKLINK_RX_AGEING_MS;
    return teklink_rxpool_used() > 0 ? int(*next - now) : -1;
}

// Receive thread body. teklink_close stops it by raising `rx_stop` and
// `rx_wake`, which ends the wait at once whenever it began. While the pool
// holds fragments the wait ends in time for their ageing pass, once a
// second; with the pool empty the thread sleeps until a datagram comes.
// Stopping at a point of its choosing, the thread never dies holding the
// pool, a queue or stdout.
void *teklink_rx_thread(void *)
{
    teklink_rxpool_clear();
    static uint8_t buffer[TEKMSG_MAX_DATAGRAM];
    uint64_t next_ageing = 0;
    while (!rx_stop.load()) {
        if (teklink_create_socket() != 0) {
            int error = errno;
            char address[INET_ADDRSTRLEN] = "?";
            in_addr local = sandbox_chip_bind();
            inet_ntop(AF_INET, &local, address, sizeof address);
            syslog(LOG_ERR, "teklink_create_socket failed: %s:%u: %s", address, unsigned(sandbox_chip_port()),
                   strerror(error));
            clock_delay(SOCKET_RETRY_MS, &rx_stop);
            continue;
        }
        const int fd = teklink_rx_socket.load();
        pollfd wait[2] = {{fd, POLLIN, 0}, {rx_wake, POLLIN, 0}};
        int ready = poll(wait, 2, rx_ageing_wait(&next_ageing));
        if (rx_stop.load())
            break;
        if (ready <= 0 || !wait[0].revents)
            continue;
        sockaddr_in from{};
        socklen_t from_size = sizeof from;
        ssize_t got = recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                               &from_size);
        if (got < 0 || from_size < sizeof from || from.sin_family != AF_INET)
            continue;
        uint16_t olt = uint16_t((ntohl(from.sin_addr.s_addr) & 0xFF) - 1);
        if (olt < OLT_COUNT && from.sin_addr.s_addr == chip_address[olt].sin_addr.s_addr) {
            if (capture_on()) [[unlikely]]
                capture_chip(PCAPNG_IN, from.sin_addr, buffer, size_t(got));
            teklink_rx_datagram(olt, buffer, size_t(got));
        } else
            unknown_sender(olt, from, buffer, size_t(got));
    }
    return nullptr;
}

} // namespace

void teklink_queues_drain()
{
    for (auto &queue : teklink_rx_queue)
        mqueue_flush(&queue);
    mqueue_flush(&teklink_events_queue);
}

unsigned teklink_unknown_senders() { return unknown_senders.load(std::memory_order_relaxed); }

const char *teklink_rcode_name(unsigned rcode)
{
    rcode &= 0xFFFF;
    return rcode < std::size(rcode_names) ? rcode_names[rcode] : "Invalid";
}

void teklink_dump_request(const uint8_t *request)
{
    uint16_t len = tekmsg_len(request);
    flockfile(stdout);   // the sender's and the receive thread's dumps never interleave
    printf("== HOST > OLT[%d] ====================== [%10u] ==\n", tekmsg_olt(request), clock_ticks());
    dump_fields(tekmsg_id(request), tekmsg_ctag(request), len, "", request + TEKLINK_MSG_DATA, len);
    funlockfile(stdout);
}

void teklink_dump_received(uint16_t olt, const uint8_t *datagram, size_t length)
{
    byte_reader in(datagram, length);
    uint16_t id = in.be16(), ctag = in.be16(), len = in.be16();
    // The data shown is what LEN announces past the fixed fields of the kind,
    // but never more than the datagram holds.
    size_t fixed = !tekmsg_is_event(id) ? 2 : tekmsg_is_long_event(id) ? 4 : 0;
    char code_lines[128] = "";
    if (fixed) {
        uint16_t rcode = in.be16();
        int n = snprintf(code_lines, sizeof code_lines, "RCODE:  %s (%u)\n", teklink_rcode_name(rcode), rcode);
        if (fixed == 4)
            snprintf(code_lines + n, sizeof code_lines - n, "SEQN:   %u\n", in.be16());
    }
    size_t start = std::min(length, TEKMSG_HEADER + fixed);
    size_t count = std::min<size_t>(len > fixed ? len - fixed : 0, length - start);
    flockfile(stdout);
    printf("== OLT[%d] > HOST ====================== [%10u] ==\n", olt, clock_ticks());
    dump_fields(id, ctag, len, code_lines, datagram + start, count);
    funlockfile(stdout);
}

int teklink_create_socket()
{
    if (teklink_rx_socket.load() >= 0)
        return 0;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int error = errno;
    trace("%s: teklink_rx_socket %d\n", __func__, fd);
    if (fd < 0) {
        errno = error;   // for the caller's log line
        return -1;
    }
    int size = TEKLINK_RCVBUF;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socklen_t optlen = sizeof size;
    size = 0;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &optlen);
    trace("%s: receive buffer size is %d\n", __func__, size);
    for (int olt = 0; olt < OLT_COUNT; olt++) {
        chip_address[olt] = sockaddr_in{};
        chip_address[olt].sin_family = AF_INET;
        chip_address[olt].sin_addr = sandbox_chip_addr(olt);
        chip_address[olt].sin_port = htons(sandbox_chip_port());
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = sandbox_chip_bind();
    local.sin_port = htons(sandbox_chip_port());
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        error = errno;
        close(fd);   // an unbound socket would look open and never receive
        errno = error;
        return -1;
    }
    teklink_rx_socket.store(fd);
    return 0;
}

int teklink_queues_init()
{
    if (!queues_created) {
        for (auto &queue : teklink_rx_queue)
            if (MQUEUE_CREATE(&queue, TEKLINK_RX_QUEUE_SIZE) != 0)
                return -1;
        if (MQUEUE_CREATE(&teklink_events_queue, TEKLINK_EVENTS_QUEUE_SIZE) != 0)
            return -1;
        queues_created = true;
    }
    teklink_queues_drain();
    teklink_alarm_count = 0;
    return 0;
}

int teklink_init()
{
    if (teklink_queues_init() != 0)
        return -1;
    if (rx_thread_running)
        return 0;
    rx_stop = false;
    exchanges_stop = false;
    rx_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (rx_wake < 0)
        return -1;
    if (pthread_create(&rx_thread, nullptr, teklink_rx_thread, nullptr) != 0) {
        close(rx_wake);
        rx_wake = -1;
        return -1;
    }
    rx_thread_running = true;
    return 0;
}

void teklink_close()
{
    if (rx_thread_running) {
        rx_stop = true;
        exchanges_stop = true;
        clock_delay_wake();
        uint64_t one = 1;
        (void)!write(rx_wake, &one, sizeof one);
        pthread_join(rx_thread, nullptr);
        rx_thread_running = false;
        close(rx_wake);
        rx_wake = -1;
    }
    int fd = teklink_rx_socket.exchange(-1);
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
    teklink_rxpool_clear();
}

void teklink_stop_exchanges()
{
    exchanges_stop = true;
    // A waiting exchange wakes with nothing and sees the flag; a resend
    // pause is cut short.
    for (mqueue &queue : teklink_rx_queue)
        mqueue_wake(&queue);
    clock_delay_wake();
}

int teklink_message_send(uint8_t *request, uint8_t **response, int timeout)
{
    // Cleared before any early return, so that a caller never frees what
    // its own variable held before the call.
    if (response)
        *response = nullptr;
    if (teklink_rx_socket.load() < 0)
        return TEKLINK_ERR_CLOSED;
    if (!request || !response)
        return TEKLINK_ERR_ARGUMENT;
    uint16_t olt = tekmsg_olt(request);
    if (olt >= OLT_COUNT)
        return TEKLINK_ERR_ARGUMENT;

    const sockaddr_in &chip = chip_address[olt];

    lock_timed(&teklink_send_lock);
    *response = nullptr;
    teklink_olt_counters &count = teklink_counters[olt];
    for (int left = TEKLINK_SEND_ATTEMPTS; left > 0;) {
        if (exchanges_stop.load() || olt_get_state(olt) == ONU_STATE_RESETINPROGRESS) {
            // A resend may still hold the RCODE 10/11 answer; the caller sees
            // a failure and would never free it.
            BFREE_SAFE(*response);
            *response = nullptr;
            pthread_mutex_unlock(&teklink_send_lock);
            return TEKLINK_ERR_CLOSED;
        }
        uint16_t ctag = uint16_t(teklink_ctag.load(std::memory_order_relaxed) + 1);
        teklink_ctag.store(ctag, std::memory_order_relaxed);
        store_be16(request + TEKLINK_MSG_CTAG, ctag);
        if (*response) {
            trace("teklink: error (%s) accured while sending msg ID:%u (CTAG:%u) to OLT[%u]\n",
                  teklink_rcode_name(tekmsg_rcode(*response)), tekmsg_id(request), ctag, olt);
            trace("teklink: have to resend msg (%d)\n", left);
            teklink_count(count.resends[teklink_rcode_slot(tekmsg_rcode(*response))]);
            BFREE(*response);
            *response = nullptr;
        }
        teklink_dump_request(request);
        size_t size = TEKMSG_HEADER + tekmsg_len(request);
        // Captured before it goes, so that its answer never comes first.
        if (capture_on()) [[unlikely]]
            capture_chip(PCAPNG_OUT, chip.sin_addr, request + TEKLINK_MSG_ID, size);
        if (sendto(teklink_rx_socket.load(), request + TEKLINK_MSG_ID, size, 0, reinterpret_cast<const sockaddr *>(&chip),
                   sizeof chip) != ssize_t(size)) {
            trace("teklink: send failed to OLT[%d]\n", olt);
            pthread_mutex_unlock(&teklink_send_lock);
            return TEKLINK_ERR_SEND;
        }
        if (left == TEKLINK_SEND_ATTEMPTS)
            teklink_count(count.exchanges);

        uint8_t *answer;
        for (;;) {
            answer = static_cast<uint8_t *>(mqueue_timedget(&teklink_rx_queue[olt], timeout));
            if (!answer || tekmsg_ctag(answer) == ctag)
                break;
            trace("Mismatch CTAG: request->header.ctag = %u, response->header.ctag=%u\n", ctag, tekmsg_ctag(answer));
            teklink_count(count.dropped_stale_ctag);
            BFREE(answer);
        }
        left--;
        if (!answer) {
            trace("teklink: response timeout for msg ID:%u (CTAG:%u) to OLT[%u]\n", tekmsg_id(request), ctag, olt);
            teklink_count(count.timeouts);
            continue;
        }
        *response = answer;
        uint16_t rcode = tekmsg_rcode(answer);
        if (rcode != TEKLINK_RCODE_NO_OAM_BANDWIDTH && rcode != TEKLINK_RCODE_NO_ONU_RESPONSE)
            break;
        // A closing link cuts the pause short; the next attempt then fails.
        clock_delay(TEKLINK_RESEND_PAUSE_SECONDS * 1000, &exchanges_stop);
    }
    pthread_mutex_unlock(&teklink_send_lock);
    return *response ? TEKLINK_OK : TEKLINK_ERR_TIMEOUT;
}
