#include "wire/capture.h"

#include "base/bytes.h"
#include "platform/clock.h"
#include "platform/sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/mman.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace capture_detail {
std::atomic<bool> on{false};
std::atomic<bool> radius_on{false};
}  // namespace capture_detail

capture_hooks_t capture_hooks;

namespace {

constexpr size_t MIB = 1024 * 1024;
constexpr uint64_t RESERVE_LEAST = MIB;
constexpr unsigned RESERVE_SHARE = 10;   // a tenth of the file system
// The part of a file not yet written is one block of a type for local use,
// which readers skip; it is cut off when the file is closed.
constexpr uint32_t BLOCK_UNWRITTEN = 0x80000001;
constexpr size_t UNWRITTEN_MIN = 12;

// Everything below is guarded by `lock`.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
int file = -1;
uint8_t *mapped = nullptr; // the current file, `limit` bytes
std::string path;          // PATH as seen in this run
unsigned files = CAPTURE_FILES_DEFAULT;
size_t limit = CAPTURE_MIB_DEFAULT * MIB;
size_t written = 0;        // bytes of the current file
uint32_t chip_local = 0;   // the daemon's address towards the chips, host order
// The management stream's next sequence number each way (daemon's first).
uint32_t seq_out = 1, seq_in = 1;

std::string ring_name(unsigned index) { return index == 0 ? path : path + "." + std::to_string(index); }

// Marks the rest of the file, from `written` on, as not written.
void mark_unwritten()
{
    uint32_t rest = uint32_t(limit - written);
    store_le32(mapped + written, BLOCK_UNWRITTEN);
    store_le32(mapped + written + 4, rest);
    store_le32(mapped + limit - 4, rest);
}

// Cuts the file to what was written and closes it. false on an error
// (logged).
bool close_current()
{
    if (file < 0)
        return true;
    bool ok = true;
    if (mapped) {
        munmap(mapped, limit);
        mapped = nullptr;
        if (ftruncate(file, off_t(written)) != 0) {
            syslog(LOG_ERR, "capture: write error on %s (%s)", path.c_str(), strerror(errno));
            ok = false;
        }
    }
    close(file);
    file = -1;
    return ok;
}

void close_file(const char *why)
{
    capture_detail::on.store(false, std::memory_order_relaxed);
    capture_detail::radius_on.store(false, std::memory_order_relaxed);
    if (file < 0)
        return;
    close_current();
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
// its section. The file's whole size is allocated and mapped at once: a
// packet is then one copy into the page cache, no system call, and the
// kernel keeps what was copied even when the daemon dies. false (logged,
// capture off) when it cannot.
bool next_file()
{
    if (!close_current()) {
        close_file("write error");
        return false;
    }
    for (unsigned i = files - 1; i > 0; i--)
        rename(ring_name(i - 1).c_str(), ring_name(i).c_str());
    if (!room_for_file()) {
        close_file("no room");
        return false;
    }
    file = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0) {
        syslog(LOG_ERR, "capture: stopped, %s cannot be opened (%s)", path.c_str(), strerror(errno));
        close_file("no file");
        return false;
    }
    // Allocated, not merely sized: a page that the file system could not
    // find room for later would kill the daemon (SIGBUS) as it is written.
    int error = posix_fallocate(file, 0, off_t(limit));
    void *at = error == 0 ? mmap(nullptr, limit, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0) : MAP_FAILED;
    if (at == MAP_FAILED) {
        syslog(LOG_ERR, "capture: stopped, %s cannot be given %llu MiB (%s)", path.c_str(),
               (unsigned long long)(limit / MIB), strerror(error ? error : errno));
        written = 0;
        close_file("no room");
        return false;
    }
    mapped = static_cast<uint8_t *>(at);
    written = pcapng_section(mapped);
    mark_unwritten();
    seq_out = seq_in = 1;
    return true;
}

// Room in the current file for `need` more bytes, or a new file. false
// when capture stopped.
bool room_for(size_t need)
{
    if (file < 0)
        return false;
    if (written + need + UNWRITTEN_MIN <= limit)
        return true;
    // What no file can hold (a message near a whole file's size) is left
    // out: a fresh file would not hold it either, and the copy would run
    // past the mapping.
    if (PCAPNG_SECTION_SIZE + need + UNWRITTEN_MIN > limit)
        return false;
    return next_file();
}

// One packet: block head, the bytes (zeros for NULL), block tail, copied
// into the file. Returns where the bytes went.
uint8_t *write_packet(const pcapng_packet &packet, const uint8_t *bytes, size_t length)
{
    uint8_t *at = mapped + written;
    size_t head = pcapng_head(at, packet, length);
    if (bytes)
        std::memcpy(at + head, bytes, length);
    else
        std::memset(at + head, 0, length);
    written += head + length + pcapng_tail(at + head + length, packet, length);
    mark_unwritten();
    return at + head;
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
    if (board_path[0] != '/') {
        syslog(LOG_ERR, "capture: not started, %s is not an absolute path", board_path);
        return -1;
    }
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
    // The whole message goes into one file, so that its segments reassemble.
    size_t segments = length == 0 ? 1 : (length + PCAPNG_SEGMENT_MAX - 1) / PCAPNG_SEGMENT_MAX;
    if (room_for(length + segments * packet_bound(0))) {
        capture_span spans[CAPTURE_SPANS_MAX];
        size_t secrets = capture_hooks.secrets ? std::min(capture_hooks.secrets(msg, length, spans), CAPTURE_SPANS_MAX) : 0;
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
            uint8_t *copy = write_packet(packet, secrets ? nullptr : msg + at, n);
            // With secrets, only the bytes around them are copied.
            for (size_t pos = at, end = at + n; secrets && pos < end;) {
                size_t stop = end, skip = pos;
                for (size_t i = 0; i < secrets; i++) {
                    const capture_span &span = spans[i];
                    if (span.offset <= pos && pos - span.offset < span.length)
                        skip = std::max(skip, span.offset + std::min(span.length, end - span.offset));
                    else if (span.offset > pos)
                        stop = std::min(stop, span.offset);
                }
                if (skip > pos) {
                    pos = skip;
                    continue;
                }
                std::memcpy(copy + (pos - at), msg + pos, stop - pos);
                pos = stop;
            }
            seq += uint32_t(n);
            at += n;
        } while (at < length);
    }
    pthread_mutex_unlock(&lock);
}
