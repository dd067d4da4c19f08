// Traffic counters in oltsim, as the statistics request 0x0138 reads them:
// selector 05 names a port of the chip (its MAC, the port, the group),
// selector 02 a port of an ONU behind it (the ONU's MAC). Every port and
// every ONU carries a steady subscriber load from the moment the chip came
// up, so its counters grow with time at rates set apart by group, port and
// MAC; a read gives what has passed since the counters were last cleared
// (0x0138 with clear byte 01, 0x0086 for the chip's ports, 0x0087 for an
// ONU) or since the chip restarted.
//
// The answer: RCODE 0, the request's selector, MAC and port (and, for a
// port of the chip, its group) echoed, then one 12-byte entry per counter:
// the counter number (u16), the counter number again and a zero byte, the
// value (u64), big-endian. Counters 1..5, 17 and 18.
//
// Threads: the chipset's service thread runs the handlers; tests may read
// counters from their own thread; one mutex guards the clearing times.
#pragma once

#include "oltsim/oltsim.h"

#include <array>
#include <chrono>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

namespace oltsim {

constexpr uint8_t STATS_OBJECT_PORT = 0x05;
constexpr uint8_t STATS_OBJECT_ONU = 0x02;
constexpr size_t STATS_REQUEST_SIZE = 13;
constexpr size_t STATS_ENTRY = 12;
constexpr uint16_t STATS_COUNTERS[] = {1, 2, 3, 4, 5, 17, 18};

class traffic_counters {
public:
    explicit traffic_counters(chipset &sim);
    // Installs the handlers of 0x0138 (selectors 05 and 02; others go on to
    // the handler installed before), 0x0086 and 0x0087 and the reaction to a
    // chip restart. Attach it before onu_ports, which takes the DRSSI
    // readings (selector 07) of 0x0138 and passes the rest on.
    void attach();
    // The counters (number, value) a read of this object would give now.
    std::vector<std::pair<uint16_t, uint64_t>> read(int olt, uint8_t object, const uint8_t mac[6], uint16_t port,
                                                    uint16_t group);

private:
    using clock = std::chrono::steady_clock;
    using key = std::tuple<int, uint8_t, std::array<uint8_t, 6>, uint16_t, uint16_t>;
    answer statistics(int olt, const request_record &r);
    // When the object's counters started from zero; the lock is held.
    clock::time_point since(const key &k) const;

    chipset &sim_;
    std::mutex lock_;
    clock::time_point up_[MAX_OLTS];
    std::map<key, clock::time_point> cleared_;
    std::map<std::array<uint8_t, 6>, clock::time_point> onu_cleared_;
};

} // namespace oltsim
