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
// Threads: the chipset's service thread runs the handlers; any thread may
// start registrations and read the counts; one mutex guards the links.
#pragma once

#include "oltsim/oltsim.h"

#include <mutex>
#include <string>
#include <vector>

namespace oltsim {

constexpr size_t REGISTRATION_SIZE = 24;
constexpr size_t DISCOVERY_RECORD_SIZE = 130;
constexpr uint16_t FIRST_LLID = 0x0C00;

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
    // Installs the handlers of 0x0127 and 0x0128 on the chipset, and passes
    // 0x0008 on to the handler it finds (see come_back_after_restart).
    void attach();
    // On: the ONUs that had registered on a chip before it restarted
    // register again once it is started again (0x0008), as real ONUs do
    // when their OLT comes back. Off by default: oltsim's own loop registers a
    // restarted chip's ONUs itself.
    void come_back_after_restart(bool on);
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
    struct link_state {
        size_t onu;
        int link;
        uint8_t mac[6];
        uint16_t llid;
    };
    // Queues the attempts of ONU `index`; the lock is held.
    void queue_attempts(size_t index, std::vector<std::pair<int, bytes>> &attempts);
    answer on_accept(int olt, const request_record &request);
    answer on_ack(int olt, const request_record &request);

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
};

} // namespace oltsim
