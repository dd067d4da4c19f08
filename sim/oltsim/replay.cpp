// The chips' replay of a capture. See replay.h.
#include "oltsim/replay.h"

#include "oltsim/onu_service.h"
#include "wire/ids.h"

#include <algorithm>
#include <cstdio>

namespace oltsim {

namespace {

// An ONU's EAP-Response/MD5-Challenge: its MAC, then EAP code 2, type 4.
bool eap_md5_answer(const replay_event &event)
{
    return event.id == ID_EAP_EVENT && event.data.size() > 10 && event.data[6] == 2 && event.data[10] == 4;
}

} // namespace

chip_replay::chip_replay(chipset &sim, capture_replay capture, int boot_ms)
    : sim_(sim), capture_(std::move(capture)), boot_ms_(boot_ms)
{
    for (int olt = 0; olt < REPLAY_CHIPS; olt++)
        matchers_[olt].load(std::move(capture_.chips[olt].requests));
}

void chip_replay::attach()
{
    for (const std::string &note : capture_.chip_notes)
        fprintf(stderr, "%s\n", note.c_str());
    for (const replay_chip &chip : capture_.chips)
        if (std::any_of(chip.events.begin(), chip.events.end(), eap_md5_answer)) {
            fprintf(stderr, "replay: the ONUs' EAP-MD5 answers are the simulator's (its board file's "
                            "secrets): the recorded ones answer another challenge\n");
            break;
        }
    sim_.set_front([this](int olt, const request_record &r, const handler &own) { return on_request(olt, r, own); });
    sim_.on_restart([this](int olt) { start(olt); });
}

answer chip_replay::on_request(int olt, const request_record &r, const handler &own)
{
    unsigned nth = 0;
    const replay_exchange *recorded =
        olt < REPLAY_CHIPS ? matchers_[olt].take(r.id, r.data.data(), r.data.size(), &nth) : nullptr;
    // The simulated ONU answers a challenge with an event of its own.
    answer simulated = r.id == TEK_REQ_EAP_FRAME || !recorded ? own(olt, r) : answer{};
    if (!recorded) {
        fprintf(stderr, "replay: chip %d: no recorded answer for request 0x%04X (#%u), answered as the simulator would\n",
                olt, r.id, nth);
        return simulated;
    }
    if (!recorded->answered)
        return answer{0, {}, true};
    // In as many fragments as it came: a long answer does not fit one datagram.
    return answer{recorded->rcode, recorded->answer, false, int(recorded->fragments)};
}

void chip_replay::start(int olt)
{
    if (olt < 0 || olt >= REPLAY_CHIPS)
        return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (started_[olt])
            return;
        started_[olt] = true;
        ends_[olt] = clock::now() + std::chrono::milliseconds(boot_ms_) +
                     std::chrono::microseconds(capture_.chips[olt].last_offset_us);
    }
    for (const replay_event &event : capture_.chips[olt].events)
        if (!eap_md5_answer(event))
            sim_.send_event(olt, event.id, event.data, boot_ms_ + int(event.offset_us / 1000));
}

bool chip_replay::played_out()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (said_)
        return true;
    auto now = clock::now();
    for (int olt = 0; olt < REPLAY_CHIPS; olt++)
        if (capture_.chips[olt].seen && (!started_[olt] || now < ends_[olt]))
            return false;
    said_ = true;
    say_counts("capture played out");
    return true;
}

void chip_replay::stopped()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (!said_)
        say_counts("stopped before the capture played out");
    said_ = true;
}

void chip_replay::say_counts(const char *what)
{
    unsigned matched = 0, unmatched = 0;
    for (const replay_matcher &m : matchers_) {
        matched += m.matched();
        unmatched += m.unmatched();
    }
    fprintf(stderr, "replay: %s: %u requests answered from the capture, %u not\n", what, matched, unmatched);
}

} // namespace oltsim
