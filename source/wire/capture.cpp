#include "wire/capture.h"

#include "platform/clock.h"
#include "platform/sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace capture_detail {
std::atomic<bool> on{false};
std::atomic<bool> radius_on{false};
}  // namespace capture_detail

capture_hooks_t capture_hooks;

namespace {

constexpr uint64_t MIB = 1024 * 1024;
constexpr uint64_t RESERVE_LEAST = MIB;
constexpr unsigned RESERVE_SHARE = 10;   // a tenth of the file system

// Everything below is guarded by `lock`.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
int file = -1;
std::string path;          // PATH as seen in this run
unsigned files = CAPTURE_FILES_DEFAULT;
uint64_t limit = CAPTURE_MIB_DEFAULT * MIB;
uint64_t written = 0;      // bytes of the current file
uint32_t chip_local = 0;   // the daemon's address towards the chips, host order
// The management stream's next sequence number each way (daemon's first).
uint32_t seq_out = 1, seq_in = 1;
std::vector<uint8_t> masked;   // a copy of a message whose secrets are zeroed

std::string ring_name(unsigned index) { return index == 0 ? path : path + "." + std::to_string(index); }

void close_file(const char *why)
{
    capture_detail::on.store(false, std::memory_order_relaxed);
    capture_detail::radius_on.store(false, std::memory_order_relaxed);
    if (file < 0)
        return;
    close(file);
    file = -1;
    syslog(LOG_INFO, "capture: stopped (%s), %s", why, path.c_str());
}

// Whether the folder of PATH has room for one more file and the reserve.
bool room_for_file()
{
    std::string folder = path.substr(0, path.find_last_of('/') + 1);
    struct statvfs fs {};
    if (statvfs(folder.empty() ? "." : folder.c_str(), &fs) != 0) {
        syslog(LOG_ERR, "capture: stopped, the free space of %s cannot be read (%s)", folder.c_str(), strerror(errno));
        return false;
    }
    uint64_t free = uint64_t(fs.f_bavail) * fs.f_frsize;
    uint64_t reserve = std::max(RESERVE_LEAST, uint64_t(fs.f_blocks) * fs.f_frsize / RESERVE_SHARE);
    if (free < limit + reserve) {
        syslog(LOG_ERR, "capture: stopped, %s has %llu KiB free, a file of %llu MiB would leave less than %llu KiB",
               folder.c_str(), (unsigned long long)(free / 1024), (unsigned long long)(limit / MIB),
               (unsigned long long)(reserve / 1024));
        return false;
    }
    return true;
}

// Moves the ring up one (the oldest file goes) and starts a new PATH with
// its section. false (logged, capture off) when it cannot.
bool next_file()
{
    if (file >= 0) {
        close(file);
        file = -1;
    }
    for (unsigned i = files - 1; i > 0; i--)
        rename(ring_name(i - 1).c_str(), ring_name(i).c_str());
    if (!room_for_file()) {
        close_file("no room");
        return false;
    }
    file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0) {
        syslog(LOG_ERR, "capture: stopped, %s cannot be opened (%s)", path.c_str(), strerror(errno));
        close_file("no file");
        return false;
    }
    uint8_t section[PCAPNG_SECTION_SIZE];
    size_t n = pcapng_section(section);
    if (write(file, section, n) != ssize_t(n)) {
        syslog(LOG_ERR, "capture: write error on %s (%s)", path.c_str(), strerror(errno));
        close_file("write error");
        return false;
    }
    written = n;
    seq_out = seq_in = 1;
    return true;
}

// Room in the current file for `need` more bytes, or a new file. false
// when capture stopped.
bool room_for(size_t need)
{
    if (file < 0)
        return false;
    return written + need <= limit || next_file();
}

// One packet: block head, the bytes where they lie, block tail, in one
// writev. false when capture stopped.
bool write_packet(const pcapng_packet &packet, const uint8_t *bytes, size_t length)
{
    uint8_t head[PCAPNG_HEAD_MAX], tail[PCAPNG_TAIL_MAX];
    iovec pieces[3] = {{head, pcapng_head(head, packet, length)},
                       {const_cast<uint8_t *>(bytes), length},
                       {tail, pcapng_tail(tail, packet, length)}};
    size_t total = pieces[0].iov_len + length + pieces[2].iov_len;
    ssize_t n;
    do
        n = writev(file, pieces, 3);
    while (n < 0 && errno == EINTR);
    if (n != ssize_t(total)) {
        syslog(LOG_ERR, "capture: write error on %s (%s)", path.c_str(),
               n < 0 ? strerror(errno) : "short write");
        close_file("write error");
        return false;
    }
    written += total;
    return true;
}

size_t packet_bound(size_t length) { return PCAPNG_HEAD_MAX + length + PCAPNG_TAIL_MAX; }

void write_datagram(pcapng_packet &packet, const uint8_t *datagram, size_t length)
{
    length = std::min(length, PCAPNG_SEGMENT_MAX);
    pthread_mutex_lock(&lock);
    if (room_for(packet_bound(length))) {
        packet.time_us = clock_wall_us();
        if (packet.interface == PCAPNG_CHIP)
            packet.local = chip_local;
        write_packet(packet, datagram, length);
    }
    pthread_mutex_unlock(&lock);
}

// The address the daemon's chip datagrams leave from: the chip socket's
// own when it is bound to one, else the one the routes choose towards OLT 0.
uint32_t chip_source()
{
    in_addr bound = sandbox_chip_bind();
    if (bound.s_addr != htonl(INADDR_ANY))
        return ntohl(bound.s_addr);
    uint32_t local = 0;
    int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in chip{};
    chip.sin_family = AF_INET;
    chip.sin_addr = sandbox_chip_addr(0);
    chip.sin_port = htons(sandbox_chip_port());
    sockaddr_in me{};
    socklen_t size = sizeof me;
    if (probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&chip), sizeof chip) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr *>(&me), &size) == 0)
        local = ntohl(me.sin_addr.s_addr);
    if (probe >= 0)
        close(probe);
    return local;
}

} // namespace

int capture_start(const char *board_path)
{
    pthread_mutex_lock(&lock);
    if (file >= 0) {
        pthread_mutex_unlock(&lock);
        return 0;
    }
    path = sandbox_path(board_path);
    files = sandbox_capture_files(CAPTURE_FILES_MIN, CAPTURE_FILES_MAX, CAPTURE_FILES_DEFAULT);
    limit = sandbox_capture_mib(1, CAPTURE_MIB_MAX, CAPTURE_MIB_DEFAULT) * MIB;
    chip_local = chip_source();
    bool radius = sandbox_capture_radius();
    int rc = -1;
    if (next_file()) {
        syslog(LOG_INFO, "capture: writing %s, %u files of %llu MiB, RADIUS %s", path.c_str(), files,
               (unsigned long long)(limit / MIB), radius ? "included" : "left out");
        capture_detail::radius_on.store(radius, std::memory_order_relaxed);
        capture_detail::on.store(true, std::memory_order_relaxed);
        rc = 0;
    }
    pthread_mutex_unlock(&lock);
    return rc;
}

void capture_start_configured()
{
    const char *configured = sandbox_capture_path();
    if (*configured)
        capture_start(configured);
}

void capture_stop(const char *why)
{
    pthread_mutex_lock(&lock);
    close_file(why);
    pthread_mutex_unlock(&lock);
}

void capture_toggle()
{
    pthread_mutex_lock(&lock);
    bool running = file >= 0;
    pthread_mutex_unlock(&lock);
    if (running) {
        capture_stop("SIGUSR2");
        return;
    }
    const char *configured = sandbox_capture_path();
    capture_start(*configured ? configured : CAPTURE_DEFAULT_PATH);
}

void capture_chip(uint8_t direction, in_addr chip, const uint8_t *datagram, size_t length)
{
    pcapng_packet packet;
    packet.interface = PCAPNG_CHIP;
    packet.direction = direction;
    packet.peer = ntohl(chip.s_addr);
    packet.local_port = packet.peer_port = PCAPNG_CHIP_PORT;
    write_datagram(packet, datagram, length);
}

void capture_radius(uint8_t direction, int fd, const sockaddr_in &peer, const uint8_t *datagram, size_t length)
{
    sockaddr_in me{};
    socklen_t size = sizeof me;
    getsockname(fd, reinterpret_cast<sockaddr *>(&me), &size);
    pcapng_packet packet;
    packet.interface = PCAPNG_RADIUS;
    packet.direction = direction;
    packet.local = ntohl(me.sin_addr.s_addr);
    packet.local_port = ntohs(me.sin_port);
    packet.peer = ntohl(peer.sin_addr.s_addr);
    packet.peer_port = ntohs(peer.sin_port);
    write_datagram(packet, datagram, length);
}

void capture_mgmt(uint8_t direction, const uint8_t *msg, size_t length)
{
    pthread_mutex_lock(&lock);
    capture_span spans[CAPTURE_SPANS_MAX];
    size_t count = capture_hooks.secrets && file >= 0 ? capture_hooks.secrets(msg, length, spans) : 0;
    if (count > 0) {
        masked.assign(msg, msg + length);
        for (size_t i = 0; i < std::min(count, CAPTURE_SPANS_MAX); i++)
            if (spans[i].offset < length)
                std::memset(masked.data() + spans[i].offset, 0, std::min(spans[i].length, length - spans[i].offset));
        msg = masked.data();
    }
    // The whole message goes into one file, so that its segments reassemble.
    size_t segments = length == 0 ? 1 : (length + PCAPNG_SEGMENT_MAX - 1) / PCAPNG_SEGMENT_MAX;
    if (room_for(length + segments * packet_bound(0))) {
        pcapng_packet packet;
        packet.interface = PCAPNG_MGMT;
        packet.direction = direction;
        packet.time_us = clock_wall_us();
        packet.local = packet.peer = PCAPNG_LOOPBACK;
        packet.local_port = PCAPNG_MGMT_DAEMON_PORT;
        packet.peer_port = PCAPNG_MGMT_PORT;
        bool out = direction == PCAPNG_OUT;
        uint32_t &seq = out ? seq_out : seq_in;
        size_t at = 0;
        do {
            size_t n = std::min(length - at, PCAPNG_SEGMENT_MAX);
            packet.seq = seq;
            packet.ack = out ? seq_in : seq_out;
            if (!write_packet(packet, msg + at, n))
                break;
            seq += uint32_t(n);
            at += n;
        } while (at < length);
    }
    pthread_mutex_unlock(&lock);
}
