#include "ponkernel/ponkernel.h"

#include "common/mgmt_conn.h"
#include "base/bytes.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

constexpr uint16_t CMD_PING = 0x0009;
constexpr int ACCEPT_POLL_MS = 100;
constexpr int CONTROL_ANSWER_SECONDS = 10;
constexpr uint8_t RCODE_NO_ANSWER = 0xFF;   // control socket only: the daemon did not answer

// Waits for `fd` to become readable, checking `stop` every poll period.
bool wait_readable(int fd, const std::atomic<bool> &stop)
{
    while (!stop.load()) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, ACCEPT_POLL_MS);
        if (r > 0)
            return true;
    }
    return false;
}

} // namespace

std::string ponkernel_notification_text(const kernmsg_notification &n)
{
    char line[400];
    snprintf(line, sizeof line, "notification: event %u numbers %u %u %u %u text \"%s\"", n.code, n.num[0],
             n.num[1], n.num[2], n.num[3], n.text);
    return line;
}

int ponkernel_server::start(const ponkernel_options &options)
{
    options_ = options;
    stopping_ = false;
    if (!options.board_file.empty()) {
        std::string error;
        if (!store_.load_file(options.board_file, error)) {
            fprintf(stderr, "ponkernel: %s: %s\n", options.board_file.c_str(), error.c_str());
            return -2;
        }
    }
    if (!options.replay_files.empty()) {
        capture_replay capture;
        std::string error;
        if (!capture_replay_load(options.replay_files, capture, error)) {
            fprintf(stderr, "%s\n", error.c_str());
            return -2;
        }
        for (const std::string &note : capture.mgmt_notes)
            fprintf(stderr, "%s\n", note.c_str());
        replay_ = std::make_unique<replay_matcher>();
        replay_->load(std::move(capture.config));
    }
    listener_ = options.tcp_port ? mgmt_listen_tcp(options.tcp_port) : mgmt_listen_unix(options.unix_path);
    if (listener_ < 0)
        return -1;
    if (!options.control_path.empty()) {
        control_listener_ = mgmt_listen_unix(options.control_path);
        if (control_listener_ < 0) {
            close(listener_);
            listener_ = -1;
            return -1;
        }
        control_thread_ = std::thread(&ponkernel_server::serve_control, this);
    }
    daemon_thread_ = std::thread(&ponkernel_server::serve_daemon, this);
    return 0;
}

void ponkernel_server::stop()
{
    if (stopping_.exchange(true))
        return;
    changed_.notify_all();
    drop_connection();
    if (daemon_thread_.joinable())
        daemon_thread_.join();
    if (control_thread_.joinable())
        control_thread_.join();
    if (listener_ >= 0)
        close(listener_);
    if (control_listener_ >= 0)
        close(control_listener_);
    listener_ = control_listener_ = -1;
    if (!options_.unix_path.empty() && !options_.tcp_port)
        unlink(options_.unix_path.c_str());
    if (!options_.control_path.empty())
        unlink(options_.control_path.c_str());
    if (replay_)
        fprintf(stderr, "replay: %u configuration requests answered from the capture, %u not\n", replay_->matched(),
                replay_->unmatched());
}

void ponkernel_server::serve_daemon()
{
    while (wait_readable(listener_, stopping_)) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        {
            std::lock_guard<std::mutex> hold(lock_);
            conn_ = fd;
            connections_++;
        }
        changed_.notify_all();
        std::vector<uint8_t> msg;
        while (!stopping_.load() && mgmt_read_message(fd, msg) == KERNMSG_FRAME_OK)
            on_message(msg);
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (conn_ == fd)
                conn_ = -1;
        }
        shutdown(fd, SHUT_RDWR);
        close(fd);
        changed_.notify_all();
    }
}

void ponkernel_server::on_message(const std::vector<uint8_t> &msg)
{
    kernmsg_header h = mgmt_header(msg);
    if (h.type == KERNMSG_NOTIFICATION && h.cmd == KERNMSG_CMD_NOTIFY) {
        kernmsg_notification n;
        if (!kernmsg_notification_decode(msg.data() + KERNMSG_HEADER_SIZE, h.len, &n))
            return;
        if (options_.print) {
            printf("%s\n", ponkernel_notification_text(n).c_str());
            fflush(stdout);
        }
        std::lock_guard<std::mutex> hold(lock_);
        notifications_.push_back(n);
        changed_.notify_all();
        return;
    }
    if (h.type == KERNMSG_REQUEST && h.dst == MODULE_CONFIG) {
        answer_config(msg);
        return;
    }
    if (h.type == KERNMSG_ANSWER) {
        std::lock_guard<std::mutex> hold(lock_);
        answers_[h.cmd]++;
        if (awaiting_ && h.tag == awaited_tag_) {
            answer_ = msg;
            answered_ = true;
            awaiting_ = false;
            changed_.notify_all();
        }
    }
}

void ponkernel_server::answer_config(const std::vector<uint8_t> &msg)
{
    kernmsg_header h = mgmt_header(msg);
    {
        std::lock_guard<std::mutex> hold(lock_);
        requests_[h.cmd]++;
    }
    if (h.cmd == CMD_PING && !options_.answer_ping)
        return;
    config_reply reply;
    if (!replayed(h, msg.data() + KERNMSG_HEADER_SIZE, reply))
        reply = store_.answer(h.cmd, msg.data() + KERNMSG_HEADER_SIZE, h.len);
    if (options_.print) {
        // One line per request: the command and the first two parameter words.
        const uint8_t *p = msg.data() + KERNMSG_HEADER_SIZE;
        unsigned first = h.len >= 4 ? unsigned(p[0] | p[1] << 8 | p[2] << 16 | unsigned(p[3]) << 24) : 0;
        unsigned second = h.len >= 8 ? unsigned(p[4] | p[5] << 8 | p[6] << 16 | unsigned(p[7]) << 24) : 0;
        printf("config request 0x%04X %u %u: %s %u\n", h.cmd, first, second, reply.silent ? "silent" : "rcode",
               reply.rcode);
        fflush(stdout);
    }
    if (reply.silent)
        return;
    kernmsg_header a = h;
    a.type = KERNMSG_ANSWER;
    a.src = h.dst;
    a.dst = h.src;
    a.rcode = reply.rcode;
    std::lock_guard<std::mutex> hold(lock_);
    if (conn_ >= 0)
        mgmt_write_message(conn_, a, reply.payload);
}

bool ponkernel_server::replayed(const kernmsg_header &h, const uint8_t *payload, config_reply &reply)
{
    if (!replay_)
        return false;
    unsigned nth = 0;
    const replay_exchange *recorded = replay_->take(h.cmd, payload, h.len, &nth);
    if (!recorded || !recorded->answered) {
        fprintf(stderr, "replay: no recorded answer for configuration request 0x%04X (#%u), answered from the board file\n",
                h.cmd, nth);
        return false;
    }
    reply.rcode = uint8_t(recorded->rcode);
    reply.payload = recorded->answer;
    // The capture holds the secrets zeroed: the store has them.
    cfg_span secret = cfgmsg_answer_secret(h.cmd, reply.payload.data(), reply.payload.size());
    size_t at = secret.at, size = secret.size;
    std::vector<uint8_t> &p = reply.payload;
    if (size && p.size() >= at + size &&
        std::all_of(p.begin() + ptrdiff_t(at), p.begin() + ptrdiff_t(at + size), [](uint8_t b) { return b == 0; })) {
        config_reply board = store_.answer(h.cmd, payload, h.len);
        if (board.payload.size() >= at + size)
            std::copy_n(board.payload.begin() + ptrdiff_t(at), size, p.begin() + ptrdiff_t(at));
        if (!secrets_said_)
            fprintf(stderr, "replay: the capture's secrets are zero: they come from the board file\n");
        secrets_said_ = true;
    }
    return true;
}

std::vector<uint8_t> ponkernel_server::control_config(const std::vector<uint8_t> &request)
{
    kernmsg_header h = mgmt_header(request);
    std::vector<uint8_t> payload = mgmt_payload(request);
    kernmsg_header a = h;
    a.type = KERNMSG_ANSWER;
    a.src = MODULE_CONFIG;
    a.dst = h.src;
    std::string text;
    if (h.cmd == CONFIG_EDIT) {
        std::string error;
        if (!store_.edit(std::string(payload.begin(), payload.end()), error)) {
            a.rcode = CFG_RC_INCORRECT;
            text = error;
        }
    } else if ((h.cmd == CONFIG_REFUSE || h.cmd == CONFIG_SILENCE) && payload.size() >= 3) {
        uint16_t cmd = uint16_t(payload[0] | payload[1] << 8);
        if (h.cmd == CONFIG_REFUSE)
            store_.refuse(cmd, payload[2]);
        else
            store_.silence(cmd, payload[2] != 0);
    } else {
        a.rcode = CFG_RC_INCORRECT;
        text = "unknown configuration command";
    }
    return mgmt_build(a, std::vector<uint8_t>(text.begin(), text.end()));
}

int ponkernel_server::write_locked(const std::vector<uint8_t> &bytes)
{
    return conn_ < 0 ? -1 : mgmt_write_all(conn_, bytes);
}

bool ponkernel_server::connected()
{
    std::lock_guard<std::mutex> hold(lock_);
    return conn_ >= 0;
}

bool ponkernel_server::wait_connected(int seconds)
{
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::seconds(seconds), [&] { return conn_ >= 0; });
}

unsigned ponkernel_server::connections()
{
    std::lock_guard<std::mutex> hold(lock_);
    return connections_;
}

unsigned ponkernel_server::requests_seen(uint16_t cmd)
{
    std::lock_guard<std::mutex> hold(lock_);
    auto it = requests_.find(cmd);
    return it == requests_.end() ? 0 : it->second;
}

std::vector<kernmsg_notification> ponkernel_server::notifications()
{
    std::lock_guard<std::mutex> hold(lock_);
    return notifications_;
}

bool ponkernel_server::wait_notifications(size_t count, int seconds)
{
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::seconds(seconds), [&] { return notifications_.size() >= count; });
}

int ponkernel_server::command(uint16_t cmd, const std::vector<uint8_t> &payload, std::vector<uint8_t> *answer,
                              int seconds)
{
    std::lock_guard<std::mutex> one_at_a_time(command_lock_);
    std::unique_lock<std::mutex> hold(lock_);
    kernmsg_header h;
    h.cmd = cmd;
    h.tag = ++next_tag_;
    h.type = KERNMSG_REQUEST;
    h.src = MODULE_PON_KERNEL;
    h.dst = MODULE_CHIPSET;
    awaiting_ = true;
    awaited_tag_ = h.tag;
    answered_ = false;
    if (write_locked(mgmt_build(h, payload)) != 0) {
        awaiting_ = false;
        return -1;
    }
    bool got = changed_.wait_for(hold, std::chrono::seconds(seconds), [&] { return answered_ || stopping_.load(); });
    awaiting_ = false;
    if (!got || !answered_)
        return -2;
    if (answer)
        *answer = answer_;
    return 0;
}

int ponkernel_server::command_async(uint16_t cmd, const std::vector<uint8_t> &payload)
{
    std::lock_guard<std::mutex> hold(lock_);
    kernmsg_header h;
    h.cmd = cmd;
    h.tag = ++next_tag_;
    h.type = KERNMSG_REQUEST;
    h.src = MODULE_PON_KERNEL;
    h.dst = MODULE_CHIPSET;
    return write_locked(mgmt_build(h, payload));
}

unsigned ponkernel_server::flood(uint16_t cmd, unsigned count, size_t payload_size)
{
    const std::vector<uint8_t> payload(payload_size, 0xA5);
    unsigned sent = 0;
    // One message at a time under the lock, so the daemon's answers are
    // taken in between.
    for (; sent < count; sent++)
        if (command_async(cmd, payload) != 0)
            break;
    return sent;
}

unsigned ponkernel_server::answers_seen(uint16_t cmd)
{
    std::lock_guard<std::mutex> hold(lock_);
    auto it = answers_.find(cmd);
    return it == answers_.end() ? 0 : it->second;
}

int ponkernel_server::send_raw(const std::vector<uint8_t> &bytes)
{
    std::lock_guard<std::mutex> hold(lock_);
    return write_locked(bytes);
}

void ponkernel_server::drop_connection()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (conn_ >= 0)
        shutdown(conn_, SHUT_RDWR);   // the serving thread sees the end and closes
}

void ponkernel_server::serve_control()
{
    while (wait_readable(control_listener_, stopping_)) {
        int client = accept4(control_listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        // A client that says nothing, or reads nothing, is let go.
        timeval limit{PONKERNEL_CONTROL_READ_SECONDS, 0};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        std::lock_guard<std::mutex> hold(clients_lock_);
        reap_clients(false);
        if (clients_.size() >= PONKERNEL_CONTROL_CLIENTS) {
            close(client);
            continue;
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        clients_.push_back({client, done, std::thread([this, client, done] {
                                serve_control_client(client);
                                *done = true;
                            })});
    }
    std::lock_guard<std::mutex> hold(clients_lock_);
    reap_clients(true);
}

void ponkernel_server::reap_clients(bool all)
{
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (!all && !it->done->load()) {
            ++it;
            continue;
        }
        if (all)
            shutdown(it->fd, SHUT_RDWR);
        it->thread.join();
        close(it->fd);
        it = clients_.erase(it);
    }
}

void ponkernel_server::serve_control_client(int client)
{
    std::vector<uint8_t> request;
    if (mgmt_read_message(client, request) != KERNMSG_FRAME_OK)
        return;
    kernmsg_header h = mgmt_header(request);
    std::vector<uint8_t> answer;
    if (h.dst == MODULE_CONFIG)
        answer = control_config(request);
    else if (command(h.cmd, mgmt_payload(request), &answer, CONTROL_ANSWER_SECONDS) != 0) {
        kernmsg_header none = h;
        none.type = KERNMSG_ANSWER;
        none.rcode = RCODE_NO_ANSWER;
        answer = mgmt_build(none);
    }
    mgmt_write_all(client, answer);
}
