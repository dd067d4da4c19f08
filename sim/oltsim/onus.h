// The ONUs' side of registration in oltsim: each ONU registers its links on
// a PON port. A link's registration attempt (event 0x8014) waits for the
// daemon's acceptance (request 0x0127 echoing it); then the chip reports the
// link discovered (event 0x8019 with the 130-byte record carrying the ONU
// information at byte 29), which the daemon acknowledges with 0x0128.
//
// The ONUs come from the board file that ponkernel also reads (its "onus",
// with "olt", "pon", "chip", "fw" and "hardware"), which also sets the
// chips' firmware version ("oltsim": {"version"}).
//
// An ONU whose links the daemon has all released (request 0x0182: after an
// ONU reconfiguration, a scheduled one, a RADIUS Disconnect, a watchdog
// clean-up) goes back to discovery and registers again a few seconds later,
// as a real ONU does; one that left (leave()) stays away until it registers
// again. A chip restart forgets its links' registrations.
//
// Threads: the chipset's service thread runs the handlers; any thread may
// start registrations and read the counts; one mutex guards the links. A
// thread of its own sends the returning ONUs' registrations when they fall
// due.
#pragma once

#include "oltsim/oltsim.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace oltsim {

constexpr size_t REGISTRATION_SIZE = 24;
constexpr size_t DISCOVERY_RECORD_SIZE = 130;
constexpr uint16_t FIRST_LLID = 0x0C00;
constexpr int ONU_RETURN_MS = 3000;   // from the release of an ONU's last link to its new registration

struct board_onu {
    uint8_t mac[6] = {};
    int olt = 0;
    int pon = 0;
    uint16_t chip = 0x3714;
    uint8_t type = 1;
    uint8_t hardware = 0;
    uint16_t fw = 0x0100;
    int links = 4;
    std::string secret;          // what it hashes into its EAP-MD5 answer
    bool wrong_queues = false;   // reports a queue layout other than the expected one
    // 0x8600 and 0x6838 ONUs: the software version text their information
    // block carries from its second byte ("info"; "V<fw>" when not given).
    std::string info;
};

// The ONUs of a board file and, when it names one, the chips' version.
bool load_board(const std::string &path, std::vector<board_onu> &onus, uint16_t *version, std::string &error);
bool parse_board(const std::string &text, std::vector<board_onu> &onus, uint16_t *version, std::string &error);

// The MAC of link `link` of the ONU of MAC `mac`: the index added to its
// low three bytes.
void link_mac(uint8_t out[6], const uint8_t mac[6], int link);

// Event data: a registration attempt (link MAC at 8) and a discovery record.
bytes registration_data(const board_onu &onu, int link, const uint8_t olt_mac[6], uint16_t llid);
bytes discovery_record(const board_onu &onu, int link, uint16_t llid);

class onu_population {
public:
    onu_population(chipset &sim, std::vector<board_onu> onus, const uint8_t chip_mac[6]);
    ~onu_population();
    onu_population(const onu_population &) = delete;
    onu_population &operator=(const onu_population &) = delete;
    // Installs the handlers of 0x0127, 0x0128 and 0x0182 on the chipset
    // (after the handlers it passes 0x0182 and 0x0008 on to) and the
    // reaction to a chip restart.
    void attach();
    // On: the ONUs that had registered on a chip before it restarted
    // register again once it is started again (0x0008), as real ONUs do
    // when their OLT comes back. Off by default: oltsim's own loop registers a
    // restarted chip's ONUs itself.
    void come_back_after_restart(bool on);
    // An ONU whose links were all released registers again `ms` later;
    // 0: it stays away (ONU_RETURN_MS unless set).
    void return_after(int ms);
    // The ONU of MAC `mac` went away: it does not come back by itself until
    // it registered again.
    void leave(const uint8_t mac[6]);
    // Registrations an ONU started by itself after its links were released.
    unsigned returns();
    // Registration attempts for every link of every ONU on OLT `olt` (-1: all).
    void register_all(int olt = -1);
    // Registration attempts for every link of the ONU of MAC `mac`,
    // leaving `delay_ms` from now (an ONU that restarts).
    void register_onu(const uint8_t mac[6], int delay_ms = 0);
    // Registrations the daemon accepted: all, or those of the ONU of MAC
    // `mac` only.
    unsigned accepted(const uint8_t *mac = nullptr);
    unsigned acknowledged();

private:
    using clock = std::chrono::steady_clock;
    struct link_state {
        size_t onu;
        int link;
        uint8_t mac[6];
        uint16_t llid;
    };
    // Where an ONU stands with the chip, by index into onus_.
    struct presence {
        unsigned registered = 0;   // links accepted since its last attempts, one bit each
        bool away = false;         // left: no return of its own
        bool returning = false;    // registers again at `due`
        clock::time_point due;
    };
    // Queues the attempts of ONU `index`; the lock is held.
    void queue_attempts(size_t index, std::vector<std::pair<int, bytes>> &attempts);
    answer on_accept(int olt, const request_record &request);
    answer on_ack(int olt, const request_record &request);
    // A link released by the daemon; the lock is held.
    void on_release(int olt, const uint8_t mac[6]);
    void serve_returns();

    chipset &sim_;
    std::vector<board_onu> onus_;
    uint8_t chip_mac_[6];
    std::mutex lock_;
    std::vector<link_state> links_;
    uint16_t next_llid_[MAX_OLTS] = {FIRST_LLID, FIRST_LLID, FIRST_LLID, FIRST_LLID};
    unsigned accepted_ = 0, acknowledged_ = 0;
    bool come_back_ = false;
    std::vector<size_t> coming_back_[MAX_OLTS];   // registered before the chip restarted
    std::vector<unsigned> accepted_by_onu_;   // by index into onus_
    std::vector<presence> presence_;          // by index into onus_
    int return_ms_ = ONU_RETURN_MS;
    unsigned returns_ = 0;
    std::condition_variable due_;
    bool stopping_ = false;
    std::thread returner_;
};

} // namespace oltsim
