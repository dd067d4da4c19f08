// ponkernel: the stand-in of the board's management process.
//
// It listens where the daemon connects (a UNIX stream socket or TCP), plays
// the configuration module (its store, config_store.h, answers every
// configuration request), records and prints every notification, and
// forwards operator commands - from ponctl over its control socket, or from
// a test in-process - to the daemon, returning the daemon's answer.
//
// Threads: one serves the daemon's connection (accept, read, answer), one
// accepts on the control socket and gives each ponctl client a thread of
// its own, which lets the client go when it sends nothing for
// PONKERNEL_CONTROL_READ_SECONDS (at most PONKERNEL_CONTROL_CLIENTS at
// once; the daemon still serves their commands one at a time). Any thread may
// call the public operations; one mutex guards the recorded state and the
// connection, and a second serialises operator commands (one outstanding
// command at a time, as the daemon serves them).
#pragma once

#include "wire/kernmsg.h"
#include "common/capture_replay.h"
#include "ponkernel/config_store.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

constexpr int PONKERNEL_CONTROL_READ_SECONDS = 5;
constexpr size_t PONKERNEL_CONTROL_CLIENTS = 16;

struct ponkernel_options {
    std::string unix_path;        // where the daemon connects (-r 0)
    uint16_t tcp_port = 0;        // instead: TCP 127.0.0.1:port (-r 1)
    std::string control_path;     // ponctl's socket; empty: none
    bool print = true;            // print notifications on standard output
    bool answer_ping = true;      // fault knob: a silent configuration module
    std::string board_file;       // the configuration store's content; empty: all zero
    // Captures whose recorded configuration answers are served first (a
    // ring's files oldest first); what they do not hold comes from the store.
    std::vector<std::string> replay_files;
};

class ponkernel_server {
public:
    ponkernel_server() = default;
    ponkernel_server(const ponkernel_server &) = delete;
    ponkernel_server &operator=(const ponkernel_server &) = delete;
    ~ponkernel_server() { stop(); }

    // Loads the board file (and the capture to replay), opens the listening
    // sockets and starts the threads. 0; -2 when a file does not load (said
    // on standard error); -1 when it cannot listen.
    int start(const ponkernel_options &options);
    // The configuration module's store: tests edit it and switch its faults.
    config_store &store() { return store_; }
    void stop();

    bool connected();
    bool wait_connected(int seconds);
    unsigned connections();
    // The configuration-module requests seen, per command code.
    unsigned requests_seen(uint16_t cmd);
    std::vector<kernmsg_notification> notifications();
    bool wait_notifications(size_t count, int seconds);

    // Sends command `cmd` to the daemon (type 0, from the pon kernel) and
    // waits up to `seconds` for the answer with its tag. 0 with the whole
    // answer message in *answer; -1 not connected; -2 no answer in time.
    int command(uint16_t cmd, const std::vector<uint8_t> &payload, std::vector<uint8_t> *answer, int seconds);
    // Sends a command without waiting (its answer is counted, not kept).
    int command_async(uint16_t cmd, const std::vector<uint8_t> &payload);
    // Fault injection: writes raw bytes on the daemon's connection. 0, or -1.
    int send_raw(const std::vector<uint8_t> &bytes);
    // A flooding peer: sends `count` commands `cmd` with `payload_size`
    // bytes each, back to back and without waiting for answers, as fast as
    // the daemon reads them. Returns when all are written: the number
    // written (fewer when the connection broke).
    unsigned flood(uint16_t cmd, unsigned count, size_t payload_size);
    // Answers to our commands seen, per command code, whatever their tag.
    unsigned answers_seen(uint16_t cmd);
    // Closes the daemon's connection; the daemon is expected to come back.
    void drop_connection();

private:
    void serve_daemon();
    void serve_control();
    void serve_control_client(int client);
    // Joins and closes the clients that are done (all of them, shut down
    // first, with `all`); clients_lock_ is held.
    void reap_clients(bool all);
    void on_message(const std::vector<uint8_t> &msg);
    void answer_config(const std::vector<uint8_t> &msg);
    // The recorded answer to a configuration request, its secrets (zero in
    // a capture) taken from the store; false when the capture holds none.
    bool replayed(const kernmsg_header &h, const uint8_t *payload, config_reply &reply);
    // ponctl's requests for the store itself (destination config module).
    std::vector<uint8_t> control_config(const std::vector<uint8_t> &request);
    int write_locked(const std::vector<uint8_t> &bytes);

    ponkernel_options options_;
    int listener_ = -1;
    int control_listener_ = -1;
    int conn_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread daemon_thread_;
    std::thread control_thread_;

    std::mutex lock_;
    std::condition_variable changed_;
    unsigned connections_ = 0;
    std::map<uint16_t, unsigned> requests_;
    std::map<uint16_t, unsigned> answers_;
    std::vector<kernmsg_notification> notifications_;
    uint16_t next_tag_ = 0;
    bool awaiting_ = false;
    uint16_t awaited_tag_ = 0;
    std::vector<uint8_t> answer_;
    bool answered_ = false;

    std::mutex command_lock_;
    config_store store_;
    std::unique_ptr<replay_matcher> replay_;   // daemon thread only
    bool secrets_said_ = false;

    struct control_client {
        int fd;
        std::shared_ptr<std::atomic<bool>> done;
        std::thread thread;
    };
    std::mutex clients_lock_;
    std::list<control_client> clients_;
};

// The text ponkernel prints for a notification.
std::string ponkernel_notification_text(const kernmsg_notification &n);
