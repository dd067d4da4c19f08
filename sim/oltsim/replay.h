// oltsim --replay: the chips play a capture's chip side back to a daemon.
//
// Each request the daemon sends takes the recorded answer of the same
// request ID on the same chip, the k-th request the k-th recorded one (a
// recorded request of the same payload first, among the next few; see
// replay_matcher), under the new request's CTAG; a request the chip never
// answered in the capture is lost again. What the capture does not hold is
// said on standard error and answered by the simulator's own handlers (its
// board file). A chip's recorded events leave at their recorded offsets from
// the chip's boot: its first reset by the daemon (or --ready) plus the boot
// time; later resets do not start them again (the capture's own later ready
// events play at their offsets).
//
// The ONUs' EAP-MD5 answers are the exception: they answer the daemon's
// challenge, which is new every run, so the recorded ones are left out and
// the simulator answers the new challenge with its board file's secret.
//
// Threads: the chips' service thread answers (through the chipset's
// front), the restart hook starts a chip, the main loop asks whether the
// capture has played out; one mutex guards the chips' schedule.
#pragma once

#include "common/capture_replay.h"
#include "oltsim/oltsim.h"

#include <chrono>
#include <mutex>

namespace oltsim {

class chip_replay {
public:
    chip_replay(chipset &sim, capture_replay capture, int boot_ms);
    // Answers from the capture from now on, and starts a chip's events at
    // its first restart.
    void attach();
    // Says once, when every chip of the capture has played its part, how
    // many requests were answered from it. true once said.
    bool played_out();
    // The same figures, when the replay stops before that.
    void stopped();

private:
    answer on_request(int olt, const request_record &request, const handler &own);
    void start(int olt);
    void say_counts(const char *what);

    using clock = std::chrono::steady_clock;
    chipset &sim_;
    capture_replay capture_;
    int boot_ms_;
    replay_matcher matchers_[REPLAY_CHIPS];
    std::mutex lock_;
    bool started_[REPLAY_CHIPS] = {};
    clock::time_point ends_[REPLAY_CHIPS];
    bool said_ = false;
};

} // namespace oltsim
