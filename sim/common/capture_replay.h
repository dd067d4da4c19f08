// Reading a capture of the daemon's links back, for the simulators to
// replay (oltsim --replay, ponkernel --replay).
//
// The capture (wire/pcapng.h) is walked packet by packet. Chip datagrams
// are sorted by chip - the chip's address NET.(n+1) gives its index n -
// into the requests the daemon sent, each with the answer the chip gave
// (the datagram whose ID and CTAG are the request's; an answer in
// fragments joined again), and the events the chip sent, with their
// offsets from that chip's first recorded packet (a long event's
// fragments joined again). The management stream of each direction is
// put together again from its segments in sequence order, cut into whole
// messages, and the daemon's requests to the configuration module are
// paired with their answers by tag. A gap in a direction's sequence, or a
// message header that does not hold together, ends that direction's
// stream (what came before it stays) and is said in `mgmt_notes`. A file that
// is not a sound capture is refused whole.
//
// A ring's files are read one after the other, oldest first, into one
// capture; each file starts its management stream afresh (the daemon starts
// a file at a message boundary, its sequence numbers from 1 again).
//
// Plain data and pure functions, except replay_matcher, which locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

constexpr int REPLAY_CHIPS = 4;

// One request the daemon sent and what came back for it.
struct replay_exchange {
    uint16_t id = 0;               // chip request ID, or management command code
    std::vector<uint8_t> request;  // the request's payload (after the header)
    bool answered = false;         // nothing came back: the request was lost
    uint16_t rcode = 0;
    std::vector<uint8_t> answer;   // chip: the data after RCODE; management: the payload
    unsigned fragments = 0;        // chip: the fragments it came in (0: whole)
};

struct replay_event {
    uint64_t offset_us = 0;        // from the chip's first recorded packet
    uint16_t id = 0;
    std::vector<uint8_t> data;     // a short event's LEN bytes; a long one's data after RCODE and SEQN
};

struct replay_chip {
    bool seen = false;
    uint64_t first_us = 0;         // time of its first recorded packet
    uint64_t last_offset_us = 0;   // of its last recorded packet
    std::vector<replay_exchange> requests;   // in the order they were sent
    std::vector<replay_event> events;        // in offset order
};

struct capture_replay {
    replay_chip chips[REPLAY_CHIPS];
    std::vector<replay_exchange> config;   // the daemon's configuration requests, in order
    // What was left out, and why: of the chip side, of the management side.
    std::vector<std::string> chip_notes, mgmt_notes;
};

// Reads the files in order into `out`. false, with "replay: FILE: REASON
// at byte N" in `error`, when a file cannot be read or is not a sound
// capture.
bool capture_replay_load(const std::vector<std::string> &paths, capture_replay &out, std::string &error);

// The same over files held in memory, for tests and the fuzz target: one
// reader, fed file after file, then finished.
class capture_replay_reader {
public:
    explicit capture_replay_reader(capture_replay &out) : out_(out) {}
    bool read(const std::string &name, const uint8_t *data, size_t size, std::string &error);
    // Notes what was left half-way (a message cut by the end of the capture).
    void finish();

private:
    struct stream {
        bool started = false, ended = false;
        uint32_t next = 0;
        std::vector<uint8_t> bytes;
    };
    struct partial {   // an answer or a long event in fragments
        size_t exchange = 0;
        uint64_t offset_us = 0;
        int last = -1;   // SEQN of the last fragment, once it came
        std::map<uint16_t, std::vector<uint8_t>> parts;
    };
    void chip_packet(const uint8_t *data, size_t size, uint32_t peer, bool in, uint64_t time_us);
    void mgmt_segment(const std::string &name, size_t at, const uint8_t *data, size_t size, bool from_daemon,
                      uint32_t seq);
    void mgmt_message(const std::vector<uint8_t> &message, bool from_daemon);
    void end_streams();   // notes a message the file's end cut short

    capture_replay &out_;
    stream streams_[2];   // 0: from the management process, 1: from the daemon
    std::map<uint32_t, size_t> waiting_[REPLAY_CHIPS];     // (ID, CTAG) -> exchange
    std::map<uint32_t, partial> fragments_[REPLAY_CHIPS];  // (ID, CTAG) -> parts so far
    std::map<uint16_t, size_t> config_waiting_;            // tag -> exchange
    bool strangers_ = false;
};

// Hands out the recorded exchanges to the requests of a new run: a request
// takes the earliest recorded request of its ID not yet taken, preferring
// (among the next few) one with the same payload, so that the requests of
// several ONUs that interleave differently this time still find their own
// answers. Any thread.
class replay_matcher {
public:
    void load(std::vector<replay_exchange> exchanges);
    bool empty() const { return exchanges_.empty(); }
    // The exchange for this request, or nullptr when the capture holds no
    // more of its ID; `nth` is the request's number among those of its ID
    // (from 1). Counted as matched or not.
    const replay_exchange *take(uint16_t id, const uint8_t *payload, size_t size, unsigned *nth);
    unsigned matched() const;
    unsigned unmatched() const;

private:
    mutable std::mutex lock_;
    std::vector<replay_exchange> exchanges_;
    std::map<uint16_t, std::deque<size_t>> by_id_;   // indices not taken yet, in order
    std::map<uint16_t, unsigned> asked_;
    unsigned matched_ = 0, unmatched_ = 0;
};
