// oltsim: up to four simulated OLT chips on the chip network.
//
// Chip n listens on ZANDREL_CHIP_NET.(n+1) at ZANDREL_CHIP_PORT, answers
// every request, to its sender, through a table of handlers by request ID,
// and sends its events to the daemon (ZANDREL_CHIP_BIND, or whoever last
// sent a request, or 127.0.0.1, at the same port). It listens on the board-reset socket
// $ZANDREL_ROOT/dev/board: a one-byte datagram n restarts chip n, which then
// sends its OLT ready event.
//
// Threads: one service thread owns the sockets' receive side, runs the
// handlers and sends the answers, late ones included. Any other thread may
// switch faults, install handlers, send events and read the request log;
// one mutex (`lock_`) guards the handlers, the faults and the log, and is
// never held while a handler runs or a datagram is sent.
#pragma once

#include "wire/ids.h"

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace oltsim {

using bytes = std::vector<uint8_t>;

constexpr int MAX_OLTS = 4;
constexpr size_t OLT_READY_SIZE = 32;        // MAC at 0, application version at 15
constexpr size_t DEFAULT_ANSWER_SIZE = 8;    // zero bytes after RCODE 0
constexpr int FAULT_RUN_MAX = 2;             // random faults in a row on one chip

struct request_record {
    int olt;
    uint16_t id, ctag, len;
    size_t size;        // bytes of the datagram
    bytes data;         // LEN bytes, or what arrived
};

struct answer {
    uint16_t rcode = 0;
    bytes data;
    bool silent = false;   // the request is lost: nothing goes back
    int parts = 0;         // fragments it leaves in (0: as fragment_answers set)
};

// A handler sees the request and chooses the answer; it runs on the
// service thread without the simulator's lock.
using handler = std::function<answer(int olt, const request_record &request)>;
// A front sees every request first, with the handler that would answer it
// (a replay answers from a capture and passes on what it does not hold).
using front = std::function<answer(int olt, const request_record &request, const handler &own)>;

struct options {
    int olts = MAX_OLTS;
    uint16_t version = 0x0102;                               // application firmware
    uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x37, 0x23, 0x00};   // chip n: + n
    bool log = true;          // a line per request on standard error
    bool record = true;       // keep every request for request_log()
    bool board = true;        // listen on the board-reset socket
    int boot_ms = 0;          // a chip reset by the board sends its ready event this much later
    bool ready_event = true;  // a restarted chip sends its own ready event (a replay sends the recorded one)
};

class chipset {
public:
    explicit chipset(const options &opts = {});
    ~chipset();
    chipset(const chipset &) = delete;
    chipset &operator=(const chipset &) = delete;

    // Binds the chips (and the board socket) and starts the service thread.
    // 0, or -1 when a chip address cannot be bound.
    int start();
    void stop();

    // The chips played: 0 .. olts() - 1.
    int olts() const { return opts_.olts; }

    void set_handler(uint16_t id, handler fn);
    // The handler that answers `id` now (the default answer when none was
    // set), so that a newcomer can pass on the requests it does not serve.
    handler handler_of(uint16_t id) const;
    // Puts `fn` in front of every handler.
    void set_front(front fn);

    // --- faults, each on until switched off -----------------------------
    void silence_olt(int olt, bool on);
    void silence_id(uint16_t id, bool on);
    // The next `attempts` requests to `olt` are answered with `rcode`.
    void rcode_next(int olt, uint16_t rcode, int attempts);
    // The next `answers` answers of `olt` leave `ms` milliseconds late.
    void delay_next(int olt, int answers, int ms);
    // Answers (and long events) go out as `parts` fragments; 0 or 1: whole.
    void fragment_answers(int parts);
    void fragment_events(int parts);
    // Fragments leave last first.
    void reorder_fragments(bool on);
    // Fragment number `index` is never sent; -1: none lost.
    void lose_fragment(int index);
    // Every datagram leaves twice.
    void duplicate(bool on);
    // Random faults, each hitting about `percent` of the requests (0: off):
    // the request is lost on its way to the chip; it is answered with
    // `rcode` and no data (11 "No ONU Response", say); its fragmented answer
    // (or long event) leaves last fragment first. The draws follow `seed`.
    // A chip lets the next request through after FAULT_RUN_MAX random
    // faults running, as a real chip's trouble passes: the daemon's third
    // transmission of an exchange always arrives and is answered in order,
    // so a soak measures recovery, not the odds of three losses in a row.
    void drop_requests(int percent);
    void rcode_random(uint16_t rcode, int percent);
    void reorder_random(int percent);
    void seed(uint32_t value);
    // Faults back to none (handlers stay).
    void clear_faults();

    // --- traffic the tests cause ----------------------------------------
    // An event from chip `olt`: short below 0x8011, else fragmented as set;
    // it leaves `delay_ms` from now.
    void send_event(int olt, uint16_t id, const bytes &data, int delay_ms = 0);
    void send_raw(int olt, const bytes &datagram);
    // A datagram from a sender that is not a chip, sent at once from the
    // chips' port: from ZANDREL_CHIP_NET.5, outside the chip range, or from
    // any loopback address `from` (another network's x.1, say, which ends
    // like a chip's address). Nothing leaves for an address outside 127/8.
    // Any thread.
    void send_foreign(const bytes &datagram);
    void send_foreign(const bytes &datagram, in_addr from);
    // Restarts chip `olt` as a board reset would; its ready event leaves
    // after `boot_ms`.
    void reset(int olt, int boot_ms = 0);
    // `fn(olt)` runs at every restart of a chip, before its ready event is
    // scheduled, without the simulator's lock: what a chip keeps for its
    // ONUs (oltsim::onu_service) is gone after a restart, as in a real one.
    void on_restart(std::function<void(int olt)> fn);

    // The random faults dealt so far.
    struct fault_counts {
        unsigned dropped = 0, rcodes = 0, reordered = 0;
    };
    fault_counts faults_dealt() const;

    std::vector<request_record> request_log() const;
    size_t request_count() const { return requests_.load(); }
    int reset_count(int olt) const;
    // Waits until `count` requests have arrived; false after `ms`.
    bool wait_requests(size_t count, int ms) const;

private:
    using clock = std::chrono::steady_clock;
    struct pending {
        clock::time_point due;
        int olt;
        sockaddr_in to;
        bytes datagram;
    };

    void serve();
    void on_request(int olt, const uint8_t *datagram, size_t size, const sockaddr_in &from);
    void on_board();
    // The datagrams of one message (fragmented as set), in sending order.
    std::vector<bytes> encode(uint16_t id, uint16_t ctag, bool response, uint16_t rcode, const bytes &data,
                              int parts, bool reorder = false);
    enum class random_fault { none, lost, rcode, reorder };
    // The random fault the request just come to `olt` meets; the lock is held.
    random_fault deal(int olt);
    // 0..99 from the seeded generator; the lock is held.
    int draw();
    void transmit(int olt, const bytes &datagram, const sockaddr_in &to);
    // Sends now, or after `delay_ms` from the service thread.
    void schedule(int olt, std::vector<bytes> datagrams, const sockaddr_in &to, int delay_ms);
    sockaddr_in daemon_address();

    options opts_;
    int chip_fd_[MAX_OLTS] = {-1, -1, -1, -1};
    std::map<in_addr_t, int> foreign_fd_;   // by sender address, under foreign_lock_
    std::mutex foreign_lock_;
    int board_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> running_{false};

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::map<uint16_t, handler> handlers_;
    front front_;
    bool silent_olt_[MAX_OLTS] = {};
    std::set<uint16_t> silent_ids_;
    struct forced_rcode {
        uint16_t rcode;
        int left;
    } forced_[MAX_OLTS] = {};
    struct delay {
        int answers, ms;
    } delay_[MAX_OLTS] = {};
    int answer_parts_ = 1, event_parts_ = 1;
    bool reorder_ = false, duplicate_ = false;
    int lose_ = -1;
    int drop_percent_ = 0, rcode_percent_ = 0, reorder_percent_ = 0;
    uint16_t random_rcode_ = 0;
    std::mt19937 random_{1};
    int fault_run_[MAX_OLTS] = {};
    fault_counts dealt_;
    std::vector<request_record> log_;
    std::atomic<size_t> requests_{0};
    int resets_[MAX_OLTS] = {};
    std::vector<std::function<void(int)>> restart_hooks_;
    uint16_t event_ctag_[MAX_OLTS] = {};
    bool daemon_known_ = false;
    sockaddr_in daemon_{};
    std::vector<pending> pending_;   // service thread only
    std::mutex pending_lock_;        // ... and schedule() from other threads
};

} // namespace oltsim
