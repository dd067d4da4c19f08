// The ONUs' and the OLT's provisioning side in oltsim: EAP-MD5 answers
// computed from each ONU's own secret, queue layouts (right or wrong per
// ONU, repaired by a write, kept across the restart that follows), ONU
// resets that make the ONU register again, and the OLT objects the daemon
// builds for an ONU (paths, queue and link SLAs, destinations with their
// rules, learning limits, identifiers and static clients) kept as state
// that tests read and the teardown requests remove; a restart of the chip
// clears it. Learned MACs and the IGMP groups joined behind an ONU are
// seeded by tests; a reset ONU has joined none.
//
// Threads: the chipset's service thread runs the handlers; tests read the
// state and switch faults from their own thread; one mutex guards it all
// and is never held while an event is sent.
#pragma once

#include "oltsim/oltsim.h"
#include "oltsim/onus.h"

#include <array>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace oltsim {

constexpr uint16_t ID_EAP_EVENT = 0x8003;
constexpr uint16_t ID_ALARM_EVENT = 0x801A;
constexpr uint8_t ALARM_TAG_LINK = 7;
constexpr uint8_t ALARM_LINK_REPORT_TIMEOUT = 23;
constexpr int ONU_RESTART_MS = 1500;   // from reset to the first new registration attempt
constexpr int QUIET_ALARM_MS = 200;    // from a quiet reset to the chip's link alarms
constexpr uint16_t RCODE_COMMAND_FAILED = 4;
constexpr uint16_t RCODE_NOT_FOUND = 1;
constexpr uint16_t LINK_PATH_FIRST = 8320;

using mac_key = std::array<uint8_t, 6>;

// Event 0x801A's data when link `link` of the ONU of MAC `mac` stopped
// reporting: which alarm (link), the link's MAC, which condition (23).
bytes report_timeout_alarm(const uint8_t mac[6], int link);

// The layout an ONU of `links` links reports when nobody changed it.
bytes factory_queue_layout(const uint8_t mac[6], int links, bool is_8600);

struct destination_state {
    bytes create;     // the 0x0196 payload
    bytes learning;   // 0x019A
    bytes opt82;      // 0x01F7
    bytes pppoe;      // 0x0203
    bytes statics;    // 0x01FD
};

class onu_service {
public:
    onu_service(chipset &sim, onu_population &population, std::vector<board_onu> onus);
    // Installs the handlers and the reaction to a chip restart.
    void attach();

    // --- faults and seeds ------------------------------------------------
    // Request `id` is answered with `rcode` (0: normal again).
    void fail_id(uint16_t id, uint16_t rcode);
    void set_secret(const uint8_t mac[6], const std::string &secret);
    void add_learned(int olt, uint16_t dest, const uint8_t mac[6]);
    // A group joined behind the ONU: `kind` 1..3 (the IGMP version), the
    // IPv4 group address. Any other kind is answered as given.
    void join_group(const uint8_t mac[6], uint8_t kind, const uint8_t group[4]);
    // 0 (the default): a reset ONU registers again 1.5 s later, before the
    // chip notices its links went quiet. Otherwise it stays away `ms` and
    // the chip reports every link of it in report time-out (link alarm 23)
    // 200 ms after the reset, as with a real ONU rebooting.
    void quiet_restart(int ms);
    // The ONU of MAC `mac` goes away (powered off, fibre pulled): its chip
    // reports every link of it in report time-out QUIET_ALARM_MS later. It
    // comes back when it registers again (onu_population::register_onu), not
    // by itself when the daemon releases its links.
    void leave(const uint8_t mac[6]);
    // On: the ONUs keep their EAP answers, as a supplicant that is slow to
    // answer; off: the answers kept meanwhile leave, in their order.
    void hold_eap(bool on);

    // --- state ------------------------------------------------------------
    // Links' paths: identifiers from 8320 on (the OLT's own domains use
    // lower ones through the same request).
    size_t paths(int olt);
    size_t queue_slas(int olt);
    size_t link_slas(int olt);
    std::map<uint16_t, destination_state> destinations(int olt);
    // Path identifiers and destination indexes that more than one ONU holds
    // on OLT `olt`, ascending. What an ONU holds comes from the destinations
    // built for it: each create (0x0196) names the ONU's links, each with
    // its path; a deleted path or destination is held by nobody.
    std::vector<uint16_t> shared_ids(int olt);
    // The EAP code last sent to the ONU (3 Success, 4 Failure; 0 none).
    int eap_result(const uint8_t mac[6]);
    int resets(const uint8_t mac[6]);
    bytes queue_layout(const uint8_t mac[6]);

private:
    struct onu_state {
        const board_onu *board = nullptr;
        bytes layout;
        int eap = 0;
        int resets = 0;
        std::vector<std::array<uint8_t, 5>> groups;   // kind, then the group address
    };
    struct olt_state {
        std::map<uint16_t, bytes> paths;
        std::map<uint16_t, bytes> queue_slas;
        std::map<mac_key, bytes> link_slas;
        std::map<uint16_t, destination_state> destinations;
        std::map<uint16_t, std::vector<mac_key>> learned;
        // Destination index -> the ONUs that built it -> their links' paths.
        std::map<uint16_t, std::map<mac_key, std::set<uint16_t>>> holders;
    };
    // The ONU of the first link a destination create names, with the paths
    // of its links found in it; false when no board ONU owns that link.
    bool destination_holder(const bytes &create, mac_key *onu, std::set<uint16_t> *paths) const;

    answer handle(int olt, const request_record &request);
    // The chip's link alarms for every link of the ONU, `delay_ms` from now.
    void report_links_gone(const uint8_t mac[6], int delay_ms);
    answer onu_request(int olt, const request_record &request, bool *restart, bytes *eap_event);

    chipset &sim_;
    onu_population &population_;
    std::vector<board_onu> onus_;
    std::mutex lock_;
    std::map<mac_key, onu_state> state_;
    olt_state olts_[MAX_OLTS];
    std::map<uint16_t, uint16_t> failing_;
    int quiet_restart_ms_ = 0;
    bool hold_eap_ = false;
    std::vector<std::pair<int, bytes>> held_eap_;   // (OLT, event data)
};

} // namespace oltsim
