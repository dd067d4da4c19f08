// oltsim's traffic counters. See statistics.h.
#include "oltsim/statistics.h"

#include "base/bytes.h"
#include "wire/ids.h"
#include "wire/tekmsg.h"

#include <algorithm>
#include <cstring>

namespace oltsim {

namespace {

constexpr size_t PORT_ECHO = 11;   // selector, chip MAC, port, group
constexpr size_t ONU_ECHO = 9;     // selector, ONU MAC, port
constexpr size_t CLEAR_AT = 12;
constexpr uint64_t FRAME_OCTETS = 512;
constexpr uint16_t RCODE_BAD = 1;   // a request the model cannot parse

std::array<uint8_t, 6> mac_of(const uint8_t *mac)
{
    std::array<uint8_t, 6> out;
    memcpy(out.data(), mac, 6);
    return out;
}

// Frames a second on the object: a chip's ports carry more than an ONU,
// downstream (ONU group 20) more than upstream; the MAC's last byte sets
// ONUs apart.
uint64_t frame_rate(uint8_t object, const uint8_t mac[6], uint16_t port, uint16_t group)
{
    if (object == STATS_OBJECT_PORT)
        return 2000 + 500u * (port & 3) + 100u * (group & 0x0F);
    uint64_t base = group == 20 ? 800 : group == 21 ? 300 : 100;
    return base + 20u * (mac[5] & 0x0F) + 10u * (port & 7);
}

uint64_t counter(uint16_t number, uint64_t frames)
{
    switch (number) {
    case 1: return frames * FRAME_OCTETS;
    case 2: return frames;
    case 3: return frames * 85 / 100;
    case 4: return frames / 10;
    case 5: return frames / 20;
    case 17: return frames / 1000;
    default: return frames * FRAME_OCTETS / 1000;
    }
}

} // namespace

traffic_counters::traffic_counters(chipset &sim) : sim_(sim) { std::fill(std::begin(up_), std::end(up_), clock::now()); }

void traffic_counters::attach()
{
    // Other selectors (the DRSSI reading) go on to whoever answered before.
    handler previous = sim_.handler_of(TEK_REQ_STATISTICS);
    sim_.set_handler(TEK_REQ_STATISTICS, [this, previous](int olt, const request_record &r) {
        if (r.data.empty() || (r.data[0] != STATS_OBJECT_PORT && r.data[0] != STATS_OBJECT_ONU))
            return previous(olt, r);
        return statistics(olt, r);
    });
    sim_.set_handler(TEK_REQ_STATISTICS_CLEAR_OLT, [this](int olt, const request_record &) {
        std::lock_guard<std::mutex> hold(lock_);
        up_[olt] = clock::now();
        return answer{};
    });
    sim_.set_handler(TEK_REQ_STATISTICS_CLEAR_ONU, [this](int, const request_record &r) {
        if (r.data.size() < 6)
            return answer{RCODE_BAD, {}};
        std::lock_guard<std::mutex> hold(lock_);
        onu_cleared_[mac_of(r.data.data())] = clock::now();
        return answer{};
    });
    sim_.on_restart([this](int olt) {
        std::lock_guard<std::mutex> hold(lock_);
        up_[olt] = clock::now();
    });
}

traffic_counters::clock::time_point traffic_counters::since(const key &k) const
{
    int olt = std::get<0>(k);
    clock::time_point from = olt >= 0 ? up_[olt] : clock::time_point{};
    auto cleared = cleared_.find(k);
    if (cleared != cleared_.end())
        from = std::max(from, cleared->second);
    auto onu = onu_cleared_.find(std::get<2>(k));
    if (olt < 0 && onu != onu_cleared_.end())
        from = std::max(from, onu->second);
    return from;
}

std::vector<std::pair<uint16_t, uint64_t>> traffic_counters::read(int olt, uint8_t object, const uint8_t mac[6],
                                                                  uint16_t port, uint16_t group)
{
    // An ONU's counters go with the ONU, whichever chip asks.
    key k{object == STATS_OBJECT_PORT ? olt : -1, object, mac_of(mac), port, group};
    clock::time_point from;
    {
        std::lock_guard<std::mutex> hold(lock_);
        from = since(k);
        if (from == clock::time_point{})
            from = up_[olt];
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - from).count();
    uint64_t frames = frame_rate(object, mac, port, group) * uint64_t(std::max<long long>(ms, 0)) / 1000;
    std::vector<std::pair<uint16_t, uint64_t>> out;
    for (uint16_t number : STATS_COUNTERS)
        out.emplace_back(number, counter(number, frames));
    return out;
}

answer traffic_counters::statistics(int olt, const request_record &r)
{
    const bytes &d = r.data;
    if (d.size() < STATS_REQUEST_SIZE)
        return answer{RCODE_BAD, {}};
    uint8_t object = d[0];
    uint16_t port = load_be16(&d[7]);
    uint16_t group = load_be16(&d[9]);
    if (d[CLEAR_AT] == 0x01) {
        std::lock_guard<std::mutex> hold(lock_);
        cleared_[key{object == STATS_OBJECT_PORT ? olt : -1, object, mac_of(&d[1]), port, group}] = clock::now();
        return answer{};
    }
    bytes out(d.begin(), d.begin() + long(object == STATS_OBJECT_PORT ? PORT_ECHO : ONU_ECHO));
    for (const auto &[number, value] : read(olt, object, &d[1], port, group)) {
        size_t at = out.size();
        out.resize(at + STATS_ENTRY);
        store_be16(&out[at], number);
        out[at + 2] = uint8_t(number);
        store_be32(&out[at + 4], uint32_t(value >> 32));
        store_be32(&out[at + 8], uint32_t(value));
    }
    return answer{TEKLINK_RCODE_OK, out};
}

} // namespace oltsim
