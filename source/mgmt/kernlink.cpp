#include "mgmt/kernlink.h"

#include "base/hextext.h"

#include "base/balloc.h"
#include "base/bytes.h"
#include "mgmt/kernhandlers.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/sandbox.h"
#include "platform/threads.h"
#include "base/process.h"
#include "wire/capture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t TCP_PIECE = 256;
constexpr unsigned RECONNECT_PAUSE_MS = 1000;
constexpr size_t NOTIFY_BLOCK = 512;

mqueue request_queue;
mqueue reply_queue;
bool queues_open = false;

std::atomic<int> link_socket{-1};
pthread_mutex_t socket_lock = PTHREAD_MUTEX_INITIALIZER;   // leaf, under the send lock
pthread_mutex_t send_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<uint16_t> last_tag{0};
std::atomic<uint8_t> waiting{0};

pthread_t rx_thread;
bool rx_started = false;
std::atomic<bool> rx_stop{false};

// Region bytes held by the messages in the two queues. While they hold more
// than 1/KERNLINK_POOL_SHARE of the pool the receive thread reads nothing
// more; whoever takes a message wakes it. The peer then waits in its
// writes: nothing is dropped, and the pool cannot run dry for the link.
std::atomic<long> queued_bytes{0};
pthread_mutex_t room_lock = PTHREAD_MUTEX_INITIALIZER;   // leaf
pthread_cond_t room = PTHREAD_COND_INITIALIZER;

uint8_t rx_buffer[KERNMSG_RX_BUFFER];   // receive thread only
// A byte of the message being read has come: from now on a silence longer
// than KERNLINK_STALL_SECONDS breaks the connection. Receive thread only.
bool rx_in_message;

struct {
    std::atomic<unsigned long> requests, answers, dropped_dst, dropped_answers, queue_full, connections, stalls,
        paused;
} counters;

long region_bytes(const void *block) { return block ? long(bblock_bytes(long(blength(block)))) : 0; }

bool over_share()
{
    size_t region = bregion_size();
    return region && queued_bytes.load() > long(region / KERNLINK_POOL_SHARE);
}

void wake_receiver()
{
    pthread_mutex_lock(&room_lock);
    pthread_cond_broadcast(&room);
    pthread_mutex_unlock(&room_lock);
}

// Receive thread, between messages: waits while the queued messages hold
// their share of the pool (or until the link closes).
void wait_for_room()
{
    if (!over_share())
        return;
    counters.paused++;
    trace("kernlink: %ld bytes of messages queued, reading paused\n", queued_bytes.load());
    pthread_mutex_lock(&room_lock);
    while (over_share() && !rx_stop.load() && run_flag.load())
        pthread_cond_wait(&room, &room_lock);
    pthread_mutex_unlock(&room_lock);
}

// The oldest message of `queue`, counted out of the queued bytes.
void *take(mqueue *queue, int seconds)
{
    void *msg = seconds < 0 ? mqueue_wait(queue) : mqueue_timedget(queue, seconds);
    if (msg) {
        queued_bytes -= region_bytes(msg);
        wake_receiver();
    }
    return msg;
}

void close_socket()
{
    int fd = link_socket.load();
    if (fd < 0)
        return;
    // Shut down first, without the lock, so a writer blocked in send()
    // returns; then close under the lock so no writer uses a stale number.
    shutdown(fd, SHUT_RDWR);
    lock_timed(&socket_lock);
    if (link_socket.load() == fd) {
        close(fd);
        link_socket.store(-1);
    }
    pthread_mutex_unlock(&socket_lock);
}

int kernlink_connect()
{
    if (link_socket.load() >= 0)
        return 0;
    int fd;
    sockaddr_storage address{};
    socklen_t length;
    if (flags.r) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        auto *in = reinterpret_cast<sockaddr_in *>(&address);
        in->sin_family = AF_INET;
        in->sin_port = htons(sandbox_kernel_port());
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *in;
    } else {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        auto *un = reinterpret_cast<sockaddr_un *>(&address);
        un->sun_family = AF_UNIX;
        if (sandbox_path(un->sun_path, sizeof un->sun_path, "/tmp/chip.sock") != 0) {
            syslog(LOG_ERR, "kernlink: socket path too long");
            if (fd >= 0)
                close(fd);
            return -1;
        }
        length = socklen_t(offsetof(sockaddr_un, sun_path) + strlen(un->sun_path));
    }
    if (fd < 0) {
        syslog(LOG_ERR, "kernlink: cannot open socket");
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
        int error = errno;
        char where[sizeof(sockaddr_un::sun_path) + 16];
        if (flags.r)
            snprintf(where, sizeof where, "127.0.0.1:%u", unsigned(sandbox_kernel_port()));
        else
            snprintf(where, sizeof where, "%s", reinterpret_cast<sockaddr_un *>(&address)->sun_path);
        syslog(LOG_ERR, "kernlink: connect error: %s (%s)", strerror(error), where);
        close(fd);
        return -1;
    }
    link_socket.store(fd);
    counters.connections++;
    syslog(LOG_INFO, "kernlink: connected to kernel");
    return 0;
}

int socket_reader(void *, uint8_t *buf, size_t n) { return kernlink_socket_read(buf, n); }

void *kernlink_rx_thread(void *)
{
    while (run_flag.load() && !rx_stop.load()) {
        if (!clock_delay(RECONNECT_PAUSE_MS, &rx_stop) || kernlink_connect() != 0)
            continue;
        kernlink_rx_proc(socket_reader, nullptr);
        close_socket();
    }
    return nullptr;
}

[[noreturn]] void pool_exhausted(const kernmsg_header &h)
{
    syslog(LOG_ERR, "balloc failed");
    syslog(LOG_ERR, "INCOMING MESSAGE HEADER DUMP:");
    syslog(LOG_ERR, "cmd = 0x%x", h.cmd);
    syslog(LOG_ERR, "tag = 0x%x", h.tag);
    syslog(LOG_ERR, "type = 0x%x", h.type);
    syslog(LOG_ERR, "src = 0x%x", h.src);
    syslog(LOG_ERR, "dst = 0x%x", h.dst);
    syslog(LOG_ERR, "rcode = 0x%x", h.rcode);
    syslog(LOG_ERR, "len = 0x%x", h.len);
    syslog(LOG_ERR, "magic = 0x%08x", h.magic);
    fflush(stdout);
    _exit(KERNLINK_EXIT_POOL_EXHAUSTED);
}

// Sorts one complete message (in the receive buffer) into its queue.
void rx_sort(const uint8_t *msg)
{
    kernmsg_header h = kernmsg_header_decode(msg);
    if (h.dst != MODULE_CHIPSET) {
        counters.dropped_dst++;
        return;
    }
    bool answer = h.type == KERNMSG_ANSWER;
    if (answer && !(waiting.load() && h.tag == last_tag.load())) {
        counters.dropped_answers++;
        return;
    }
    void *block = BALLOC(long(h.len) + long(KERNMSG_HEADER_SIZE));
    if (!block)
        pool_exhausted(h);
    memcpy(block, msg, KERNMSG_HEADER_SIZE + h.len);
    // Counted before the put: once a consumer holds the message, the counts
    // already say it arrived.
    auto &delivered = answer ? counters.answers : counters.requests;
    delivered++;
    long held = region_bytes(block);
    queued_bytes += held;
    if (mqueue_put(answer ? &reply_queue : &request_queue, block) != 0) {
        delivered--;
        queued_bytes -= held;
        syslog(LOG_ERR, "%s:%d Error on put in queue.", "kernlink_rx_proc", __LINE__);
        counters.queue_full++;
        BFREE(block);
    }
}

void log_header_dump()
{
    char text[128];
    hex_text(text, sizeof text, rx_buffer, KERNMSG_HEADER_SIZE);
    syslog(LOG_INFO, "dump: %s", text);
}

} // namespace

int kernlink_rx_proc(kernmsg_read_fn read, void *ctx)
{
    for (;;) {
        rx_in_message = false;   // between messages the link may idle
        memset(rx_buffer, 0, KERNMSG_HEADER_SIZE);
        int result = kernmsg_read_frame(read, ctx, rx_buffer, sizeof rx_buffer);
        switch (result) {
        case KERNMSG_FRAME_OK:
            if (capture_on()) [[unlikely]]
                capture_mgmt(PCAPNG_IN, rx_buffer, KERNMSG_HEADER_SIZE + load_le32(rx_buffer + 8));
            rx_sort(rx_buffer);
            continue;
        case KERNMSG_FRAME_HEADER_LOST:
            syslog(LOG_INFO, "kernlink_socket_read(h) returns -1");
            break;
        case KERNMSG_FRAME_BAD_MAGIC:
            syslog(LOG_INFO, "check_message_header returns -1");
            log_header_dump();
            break;
        case KERNMSG_FRAME_TOO_LONG:
            syslog(LOG_ERR, "kernlink: message length %u exceeds the receive buffer, closing",
                   unsigned(load_le32(rx_buffer + 8)));
            log_header_dump();
            break;
        default:
            syslog(LOG_INFO, "kernlink_socket_read(p) returns -1");
            break;
        }
        return result;
    }
}

int kernlink_queues_open()
{
    if (queues_open)
        return 0;
    if (MQUEUE_CREATE(&request_queue, KERNLINK_QUEUE_CAPACITY) != 0)
        return -1;
    if (MQUEUE_CREATE(&reply_queue, KERNLINK_QUEUE_CAPACITY) != 0) {
        mqueue_destroy(&request_queue);
        return -1;
    }
    queued_bytes.store(0);
    queues_open = true;
    return 0;
}

void kernlink_queues_close()
{
    if (!queues_open)
        return;
    mqueue_destroy(&request_queue);
    mqueue_destroy(&reply_queue);
    queues_open = false;
}

int kernlink_init(const kernhandlers_table &commands)
{
    kernhandlers_init(commands);
    link_socket.store(-1);
    kernlink_queues_open();
    last_tag.store(0);
    waiting.store(0);
    rx_stop.store(false);
    rx_started = pthread_create(&rx_thread, nullptr, kernlink_rx_thread, nullptr) == 0;
    return 0;
}

void kernlink_close()
{
    kernhandlers_close();
    rx_stop.store(true);
    clock_delay_wake();
    wake_receiver();
    int fd = link_socket.load();
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);   // ends a read the receive thread is blocked in
    if (rx_started) {
        pthread_join(rx_thread, nullptr);
        rx_started = false;
    }
    close_socket();
    kernlink_queues_close();
}

bool kernlink_connected() { return link_socket.load() >= 0; }

mqueue *kernlink_request_queue() { return &request_queue; }

uint8_t *kernlink_take_request(int seconds) { return static_cast<uint8_t *>(take(&request_queue, seconds)); }

int kernlink_socket_read(uint8_t *buf, size_t n)
{
    if (!rx_in_message)
        wait_for_room();
    size_t got = 0;
    while (got < n) {
        int fd = link_socket.load();
        if (fd < 0)
            return -1;
        if (rx_in_message) {
            pollfd wait{fd, POLLIN, 0};
            int ready = clock_poll(&wait, 1, KERNLINK_STALL_SECONDS * 1000);
            if (ready == 0) {
                counters.stalls++;
                syslog(LOG_ERR, "kernlink: message stalled for %u seconds, reconnecting", KERNLINK_STALL_SECONDS);
                return -1;
            }
            if (ready < 0)
                return -1;
        }
        ssize_t r = recv(fd, buf + got, n - got, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        got += size_t(r);
        rx_in_message = true;
    }
    return int(n);
}

int kernlink_write(const uint8_t *msg)
{
    size_t total = KERNMSG_HEADER_SIZE + load_le32(msg + 8);
    // One write on the local socket; over TCP the board's peer reads pieces
    // of at most 256 bytes. Either way a short write is continued, so a
    // signal never leaves half a message in the stream.
    size_t piece = flags.r ? TCP_PIECE : total;
    lock_timed(&socket_lock);
    int fd = link_socket.load();
    if (fd < 0) {
        pthread_mutex_unlock(&socket_lock);
        trace("kernlink: kernlink_socket is invalid(%d)\n", fd);
        return -1;
    }
    // Captured before it goes, so that its answer never comes first.
    if (capture_on()) [[unlikely]]
        capture_mgmt(PCAPNG_OUT, msg, total);
    size_t sent = 0;
    while (sent < total) {
        size_t n = total - sent < piece ? total - sent : piece;
        ssize_t r = send(fd, msg + sent, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            pthread_mutex_unlock(&socket_lock);
            trace("kernlink: write returns %d\n", int(r));
            return r < 0 ? int(r) : -1;
        }
        sent += size_t(r);
    }
    pthread_mutex_unlock(&socket_lock);
    return int(total);
}

int kernlink_send_message(uint8_t *msg, uint8_t **answer, int timeout)
{
    if (!msg)
        return KERNLINK_NO_MESSAGE;
    if (link_socket.load() < 0)
        return KERNLINK_NOT_CONNECTED;
    uint8_t type = msg[4];
    if (type == KERNMSG_REQUEST && !answer)
        return KERNLINK_NO_ANSWER_POINTER;

    lock_timed(&send_lock);
    while (void *stale = take(&reply_queue, 0))   // answers of earlier exchanges
        BFREE(stale);
    if (type == KERNMSG_REQUEST || type == KERNMSG_NOTIFICATION) {
        uint16_t tag = uint16_t(last_tag.load() + 1);
        last_tag.store(tag);
        kernmsg_set_tag(msg, tag);
        if (type == KERNMSG_REQUEST)
            waiting.store(1);   // before the write: the answer may beat us back
    }
    if (kernlink_write(msg) < 0) {
        waiting.store(0);
        pthread_mutex_unlock(&send_lock);
        return KERNLINK_WRITE_FAILED;
    }
    bool answered = true;
    if (type == KERNMSG_REQUEST) {
        *answer = static_cast<uint8_t *>(take(&reply_queue, timeout));
        waiting.store(0);
        answered = *answer != nullptr;
    }
    pthread_mutex_unlock(&send_lock);
    return answered ? 0 : KERNLINK_TIMEOUT;
}

int kernlink_request(uint16_t cmd, uint8_t dst, const void *payload, uint32_t len, uint8_t **answer,
                     int timeout)
{
    *answer = nullptr;
    uint8_t *msg = static_cast<uint8_t *>(BALLOC(long(KERNMSG_HEADER_SIZE) + long(len)));
    if (!msg)
        return -1;
    kernmsg_header h;
    h.cmd = cmd;
    h.type = KERNMSG_REQUEST;
    h.src = MODULE_CHIPSET;
    h.dst = dst;
    h.len = len;
    kernmsg_header_encode(msg, h);
    if (len)
        memcpy(msg + KERNMSG_HEADER_SIZE, payload, len);
    int result = kernlink_send_message(msg, answer, timeout);
    BFREE(msg);
    return result;
}

int kernlink_notify(uint8_t code, uint32_t num1, uint32_t num2, uint32_t num3, uint32_t num4, const char *text)
{
    uint8_t *msg = static_cast<uint8_t *>(BALLOC(NOTIFY_BLOCK));
    if (!msg)
        return -1;
    kernmsg_header h;
    h.cmd = KERNMSG_CMD_NOTIFY;
    h.type = KERNMSG_NOTIFICATION;
    h.src = MODULE_CHIPSET;
    h.dst = MODULE_SNMP;
    h.len = KERNMSG_NOTIFY_LEN;
    kernmsg_header_encode(msg, h);
    const uint32_t numbers[4] = {num1, num2, num3, num4};
    kernmsg_notification_encode(msg + KERNMSG_HEADER_SIZE, code, numbers, text);
    int result = kernlink_send_message(msg, nullptr, KERNLINK_NOTIFY_TIMEOUT);
    BFREE(msg);
    return result;
}

int kernlink_notify_fmt(uint8_t code, uint32_t num1, uint32_t num2, uint32_t num3, uint32_t num4,
                        const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return kernlink_notify(code, num1, num2, num3, num4, text);
}

kernlink_counters kernlink_counters_get()
{
    return {counters.requests.load(), counters.answers.load(), counters.dropped_dst.load(),
            counters.dropped_answers.load(), counters.queue_full.load(), counters.connections.load(),
            counters.stalls.load(), counters.paused.load()};
}
