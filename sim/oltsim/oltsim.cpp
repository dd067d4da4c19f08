// The simulated chips. See oltsim.h.
#include "oltsim/oltsim.h"

#include "platform/sandbox.h"
#include "wire/tekmsg.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace oltsim {

namespace {

int bind_udp(in_addr addr, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = addr;
    local.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

answer default_answer(int, const request_record &) { return answer{TEKLINK_RCODE_OK, bytes(DEFAULT_ANSWER_SIZE)}; }

} // namespace

chipset::chipset(const options &opts) : opts_(opts) { opts_.olts = std::clamp(opts_.olts, 1, MAX_OLTS); }

chipset::~chipset() { stop(); }

int chipset::start()
{
    if (running_)
        return 0;
    for (int olt = 0; olt < opts_.olts; olt++) {
        chip_fd_[olt] = bind_udp(sandbox_chip_addr(olt), sandbox_chip_port());
        if (chip_fd_[olt] < 0) {
            fprintf(stderr, "oltsim: cannot bind chip %d: %s\n", olt, strerror(errno));
            stop();
            return -1;
        }
    }
    if (opts_.board) {
        std::string path = sandbox_path("/dev/board");
        sockaddr_un local{};
        local.sun_family = AF_UNIX;
        if (path.size() < sizeof local.sun_path) {
            memcpy(local.sun_path, path.c_str(), path.size() + 1);
            unlink(path.c_str());
            board_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (board_fd_ >= 0 && bind(board_fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
                close(board_fd_);
                board_fd_ = -1;
            }
        }
        if (board_fd_ < 0)
            fprintf(stderr, "oltsim: no board-reset socket at %s\n", path.c_str());
    }
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        stop();
        return -1;
    }
    running_ = true;
    thread_ = std::thread([this] { serve(); });
    return 0;
}

void chipset::stop()
{
    if (running_.exchange(false)) {
        char byte = 0;
        (void)!write(wake_[1], &byte, 1);
        thread_.join();
    }
    for (int &fd : chip_fd_) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    {
        std::lock_guard<std::mutex> hold(foreign_lock_);
        for (auto &[address, fd] : foreign_fd_)
            if (fd >= 0)
                close(fd);
        foreign_fd_.clear();
    }
    for (int *fd : {&wake_[0], &wake_[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    if (board_fd_ >= 0) {
        close(board_fd_);
        unlink(sandbox_path("/dev/board").c_str());
        board_fd_ = -1;
    }
    pending_.clear();
}

void chipset::set_handler(uint16_t id, handler fn)
{
    std::lock_guard<std::mutex> hold(lock_);
    handlers_[id] = std::move(fn);
}

handler chipset::handler_of(uint16_t id) const
{
    std::lock_guard<std::mutex> hold(lock_);
    auto found = handlers_.find(id);
    return found != handlers_.end() ? found->second : handler(default_answer);
}

void chipset::set_front(front fn)
{
    std::lock_guard<std::mutex> hold(lock_);
    front_ = std::move(fn);
}

void chipset::silence_olt(int olt, bool on)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (olt >= 0 && olt < MAX_OLTS)
        silent_olt_[olt] = on;
}

void chipset::silence_id(uint16_t id, bool on)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (on)
        silent_ids_.insert(id);
    else
        silent_ids_.erase(id);
}

void chipset::rcode_next(int olt, uint16_t rcode, int attempts)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (olt >= 0 && olt < MAX_OLTS)
        forced_[olt] = {rcode, attempts};
}

void chipset::delay_next(int olt, int answers, int ms)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (olt >= 0 && olt < MAX_OLTS)
        delay_[olt] = {answers, ms};
}

void chipset::fragment_answers(int parts)
{
    std::lock_guard<std::mutex> hold(lock_);
    answer_parts_ = std::max(parts, 1);
}

void chipset::fragment_events(int parts)
{
    std::lock_guard<std::mutex> hold(lock_);
    event_parts_ = std::max(parts, 1);
}

void chipset::reorder_fragments(bool on)
{
    std::lock_guard<std::mutex> hold(lock_);
    reorder_ = on;
}

void chipset::lose_fragment(int index)
{
    std::lock_guard<std::mutex> hold(lock_);
    lose_ = index;
}

void chipset::duplicate(bool on)
{
    std::lock_guard<std::mutex> hold(lock_);
    duplicate_ = on;
}

void chipset::drop_requests(int percent)
{
    std::lock_guard<std::mutex> hold(lock_);
    drop_percent_ = std::clamp(percent, 0, 100);
}

void chipset::rcode_random(uint16_t rcode, int percent)
{
    std::lock_guard<std::mutex> hold(lock_);
    random_rcode_ = rcode;
    rcode_percent_ = std::clamp(percent, 0, 100);
}

void chipset::reorder_random(int percent)
{
    std::lock_guard<std::mutex> hold(lock_);
    reorder_percent_ = std::clamp(percent, 0, 100);
}

void chipset::seed(uint32_t value)
{
    std::lock_guard<std::mutex> hold(lock_);
    random_.seed(value);
}

chipset::fault_counts chipset::faults_dealt() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return dealt_;
}

int chipset::draw() { return int(random_() % 100); }

void chipset::clear_faults()
{
    std::lock_guard<std::mutex> hold(lock_);
    std::fill(std::begin(silent_olt_), std::end(silent_olt_), false);
    silent_ids_.clear();
    std::fill(std::begin(forced_), std::end(forced_), forced_rcode{});
    std::fill(std::begin(delay_), std::end(delay_), delay{});
    answer_parts_ = event_parts_ = 1;
    reorder_ = duplicate_ = false;
    lose_ = -1;
    drop_percent_ = rcode_percent_ = reorder_percent_ = 0;
    std::fill(std::begin(fault_run_), std::end(fault_run_), 0);
}

std::vector<bytes> chipset::encode(uint16_t id, uint16_t ctag, bool response, uint16_t rcode, const bytes &data,
                                   int parts, bool reorder)
{
    std::vector<bytes> out;
    auto add = [&](int code, int seqn, const uint8_t *p, size_t n) {
        bytes d(TEKMSG_HEADER + 4 + n);
        d.resize(tekmsg_encode(d.data(), d.size(), id, ctag, code, seqn, p, n));
        if (!d.empty())
            out.push_back(std::move(d));
    };
    if (response && parts <= 1) {
        add(rcode, -1, data.data(), data.size());
        return out;
    }
    if (!response && !tekmsg_is_long_event(id)) {
        add(-1, -1, data.data(), data.size());
        return out;
    }
    size_t chunk = (data.size() + size_t(parts) - 1) / size_t(parts);
    for (int s = 0; s < parts; s++) {
        size_t from = std::min(data.size(), size_t(s) * chunk);
        size_t to = std::min(data.size(), from + chunk);
        add(s + 1 == parts ? TEKLINK_RCODE_LAST : TEKLINK_RCODE_MORE, s, data.data() + from, to - from);
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (lose_ >= 0 && size_t(lose_) < out.size())
        out.erase(out.begin() + lose_);
    if (!response && out.size() > 1 && reorder_percent_ > 0 && draw() < reorder_percent_) {
        dealt_.reordered++;
        reorder = true;
    }
    if (reorder_ || reorder)
        std::reverse(out.begin(), out.end());
    return out;
}

sockaddr_in chipset::daemon_address()
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(sandbox_chip_port());
    to.sin_addr = sandbox_chip_bind();
    if (to.sin_addr.s_addr != htonl(INADDR_ANY))
        return to;
    std::lock_guard<std::mutex> hold(lock_);
    if (daemon_known_)
        return daemon_;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return to;
}

void chipset::transmit(int olt, const bytes &datagram, const sockaddr_in &to)
{
    int fd = olt >= 0 && olt < MAX_OLTS ? chip_fd_[olt] : -1;
    if (fd < 0)
        return;
    bool twice;
    {
        std::lock_guard<std::mutex> hold(lock_);
        twice = duplicate_;
    }
    for (int i = 0; i < (twice ? 2 : 1); i++)
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

void chipset::schedule(int olt, std::vector<bytes> datagrams, const sockaddr_in &to, int delay_ms)
{
    if (delay_ms <= 0) {
        for (const bytes &d : datagrams)
            transmit(olt, d, to);
        return;
    }
    clock::time_point due = clock::now() + std::chrono::milliseconds(delay_ms);
    {
        std::lock_guard<std::mutex> hold(pending_lock_);
        for (bytes &d : datagrams)
            pending_.push_back({due, olt, to, std::move(d)});
    }
    char byte = 0;
    (void)!write(wake_[1], &byte, 1);
}

void chipset::on_request(int olt, const uint8_t *datagram, size_t size, const sockaddr_in &from)
{
    tekmsg_header header{};
    if (!tekmsg_parse_header(datagram, size, &header))
        return;
    request_record req{olt, header.id, header.ctag, header.len, size, {}};
    req.data.assign(datagram + TEKMSG_HEADER, datagram + std::min(size, TEKMSG_HEADER + header.len));
    if (opts_.log)
        fprintf(stderr, "oltsim: OLT[%d] request ID 0x%04X CTAG %u LEN %u\n", olt, header.id, header.ctag,
                header.len);

    handler fn = default_answer;
    front first;
    int parts, delay_ms = 0;
    int forced = -1;
    bool silent, reorder = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        random_fault fault = deal(olt);
        if (fault == random_fault::lost)
            return;
        if (fault == random_fault::rcode)
            forced = random_rcode_;
        reorder = fault == random_fault::reorder;
        daemon_ = from;
        daemon_known_ = true;
        if (opts_.record)
            log_.push_back(req);
        requests_++;
        changed_.notify_all();
        silent = silent_olt_[olt] || silent_ids_.count(header.id);
        if (!silent && forced_[olt].left > 0) {
            forced_[olt].left--;
            forced = forced_[olt].rcode;
        }
        if (!silent && delay_[olt].answers > 0) {
            delay_[olt].answers--;
            delay_ms = delay_[olt].ms;
        }
        auto found = handlers_.find(header.id);
        if (found != handlers_.end())
            fn = found->second;
        first = front_;
        parts = answer_parts_;
    }
    if (silent || tekmsg_is_event(header.id))
        return;
    answer reply = forced >= 0 ? answer{uint16_t(forced), {}} : first ? first(olt, req, fn) : fn(olt, req);
    if (reply.silent)
        return;
    if (reply.parts > 0)
        parts = reply.parts;
    // Fragments carry RCODE 14 and 15 in place of the answer's own: an
    // error answer leaves whole, or the daemon would read success.
    if (reply.rcode != TEKLINK_RCODE_OK)
        parts = 1;
    if (reorder && parts > 1) {
        std::lock_guard<std::mutex> hold(lock_);
        dealt_.reordered++;
    }
    schedule(olt, encode(header.id, header.ctag, true, reply.rcode, reply.data, parts, reorder), from, delay_ms);
}

// One draw per request decides its random fault, if any: the shares of
// the three kinds lie side by side on the hundred. Reordering needs an
// answer in fragments to act on.
chipset::random_fault chipset::deal(int olt)
{
    int total = drop_percent_ + rcode_percent_ + (answer_parts_ > 1 ? reorder_percent_ : 0);
    if (total == 0)
        return random_fault::none;
    if (fault_run_[olt] >= FAULT_RUN_MAX) {
        fault_run_[olt] = 0;
        return random_fault::none;
    }
    int at = draw();
    random_fault fault = at < drop_percent_                   ? random_fault::lost
                         : at < drop_percent_ + rcode_percent_ ? random_fault::rcode
                         : at < total                          ? random_fault::reorder
                                                               : random_fault::none;
    switch (fault) {
    case random_fault::lost:
        dealt_.dropped++;
        break;
    case random_fault::rcode:
        dealt_.rcodes++;
        break;
    case random_fault::reorder:   // counted when the answer goes out in fragments
        break;
    case random_fault::none:
        fault_run_[olt] = 0;
        return fault;
    }
    fault_run_[olt]++;
    return fault;
}

void chipset::on_board()
{
    uint8_t byte[8];
    ssize_t got = recv(board_fd_, byte, sizeof byte, 0);
    if (got == 1 && byte[0] < opts_.olts)
        reset(byte[0], opts_.boot_ms);
}

void chipset::reset(int olt, int boot_ms)
{
    if (olt < 0 || olt >= opts_.olts)
        return;
    std::vector<std::function<void(int)>> hooks;
    {
        std::lock_guard<std::mutex> hold(lock_);
        resets_[olt]++;
        changed_.notify_all();
        hooks = restart_hooks_;
    }
    for (const auto &hook : hooks)
        hook(olt);
    if (opts_.log)
        fprintf(stderr, "oltsim: OLT[%d] restarted\n", olt);
    if (!opts_.ready_event)
        return;
    bytes ready(OLT_READY_SIZE);
    memcpy(ready.data(), opts_.mac, 6);
    ready[5] = uint8_t(ready[5] + olt);
    store_be16(ready.data() + 15, opts_.version);
    send_event(olt, TEK_EVENT_OLT_READY, ready, boot_ms);
}

void chipset::on_restart(std::function<void(int)> fn)
{
    std::lock_guard<std::mutex> hold(lock_);
    restart_hooks_.push_back(std::move(fn));
}

void chipset::send_event(int olt, uint16_t id, const bytes &data, int delay_ms)
{
    if (olt < 0 || olt >= opts_.olts)
        return;
    int parts;
    uint16_t ctag;
    {
        std::lock_guard<std::mutex> hold(lock_);
        parts = event_parts_;
        ctag = event_ctag_[olt]++;
    }
    schedule(olt, encode(id, ctag, false, 0, data, parts), daemon_address(), delay_ms);
}

void chipset::send_raw(int olt, const bytes &datagram) { schedule(olt, {datagram}, daemon_address(), 0); }

void chipset::send_foreign(const bytes &datagram) { send_foreign(datagram, sandbox_chip_addr(MAX_OLTS)); }

void chipset::send_foreign(const bytes &datagram, in_addr from)
{
    if (ntohl(from.s_addr) >> 24 != 127)
        return;
    sockaddr_in to = daemon_address();
    std::lock_guard<std::mutex> hold(foreign_lock_);
    auto found = foreign_fd_.find(from.s_addr);
    if (found == foreign_fd_.end())
        found = foreign_fd_.emplace(from.s_addr, bind_udp(from, sandbox_chip_port())).first;
    if (found->second >= 0)
        sendto(found->second, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

std::vector<request_record> chipset::request_log() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return log_;
}

int chipset::reset_count(int olt) const
{
    std::lock_guard<std::mutex> hold(lock_);
    return olt >= 0 && olt < MAX_OLTS ? resets_[olt] : 0;
}

bool chipset::wait_requests(size_t count, int ms) const
{
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(ms), [&] { return requests_.load() >= count; });
}

void chipset::serve()
{
    uint8_t buffer[65536];
    while (running_) {
        pollfd fds[MAX_OLTS + 2];
        int n = 0;
        for (int olt = 0; olt < opts_.olts; olt++)
            fds[n++] = {chip_fd_[olt], POLLIN, 0};
        fds[n++] = {wake_[0], POLLIN, 0};
        if (board_fd_ >= 0)
            fds[n++] = {board_fd_, POLLIN, 0};

        int wait_ms = -1;   // no late answer waiting: until a datagram comes
        {
            std::lock_guard<std::mutex> hold(pending_lock_);
            if (!pending_.empty()) {
                auto first = std::min_element(pending_.begin(), pending_.end(),
                                              [](const pending &a, const pending &b) { return a.due < b.due; });
                auto left = std::chrono::ceil<std::chrono::milliseconds>(first->due - clock::now()).count();
                wait_ms = int(std::max<long>(left, 0));
            }
        }
        if (poll(fds, nfds_t(n), wait_ms) < 0 && errno != EINTR)
            break;

        for (int olt = 0; olt < opts_.olts; olt++) {
            if (!(fds[olt].revents & POLLIN))
                continue;
            sockaddr_in from{};
            socklen_t from_size = sizeof from;
            ssize_t got = recvfrom(chip_fd_[olt], buffer, sizeof buffer, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr *>(&from), &from_size);
            if (got >= 0)
                on_request(olt, buffer, size_t(got), from);
        }
        if (fds[opts_.olts].revents & POLLIN)
            while (read(wake_[0], buffer, sizeof buffer) > 0) {
            }
        if (board_fd_ >= 0 && (fds[opts_.olts + 1].revents & POLLIN))
            on_board();

        std::vector<pending> due;
        {
            std::lock_guard<std::mutex> hold(pending_lock_);
            auto now = clock::now();
            auto split = std::stable_partition(pending_.begin(), pending_.end(),
                                               [&](const pending &p) { return p.due > now; });
            due.assign(std::make_move_iterator(split), std::make_move_iterator(pending_.end()));
            pending_.erase(split, pending_.end());
        }
        for (const pending &p : due)
            transmit(p.olt, p.datagram, p.to);
    }
}

} // namespace oltsim
