// The chips' side of the OLT configuration in oltsim: the answers the
// daemon reads while it configures an OLT, and the state it leaves on the
// chip, kept for tests to inspect.
//
//   0x018F port settings read   the request's 10 bytes, a count and the
//                               port's entries (first byte, TLV items,
//                               12-byte items), which 0x0191 writes back
//   0x0210 SFP information      the request's 9 bytes and the 128-byte
//                               transceiver page: vendor name at page byte
//                               20, part number at 40 (answer bytes 29, 49)
//   0x028C / 0x028B base LLID   remembered per port; read back as MAC, port,
//                               u16 BE
//   0x01CB / 0x01CC filter      145 bytes, read back as last written
//   0x0018 / 0x0017             port enabled / disabled
//   0x01C4                      the PON port's DRSSI switch (data byte 9)
//   0x0190                      the rule tables written, per port
//   0x0225 / 0x017E             domains created / removed
//   0x0121                      the PON ports' ONU indicators
//   0x0015 port state           for the chip's own ports 0..3 (any MAC the
//                               ONU models do not hold): the request's 8
//                               bytes and the port's eight status bytes
//                               (link down while the port is disabled)
//
// Threads: the chipset's service thread runs the handlers; tests and the
// program's control thread set the knobs and read the state; one mutex
// guards everything.
#pragma once

#include "oltsim/oltsim.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace oltsim {

constexpr size_t SFP_PAGE_SIZE = 128;
constexpr size_t SFP_PAGE_VENDOR = 20;
constexpr size_t SFP_PAGE_PART = 40;
constexpr size_t FILTER_SIZE = 145;
constexpr size_t PORT_STATE_ANSWER = 18;
constexpr size_t PORT_STATUS_LINK = 1;   // the status byte of the link
// A working port: enabled, link up, and the rest as a chip reports them.
constexpr uint8_t PORT_STATUS_UP[8] = {1, 1, 2, 1, 0, 1, 0, 0};

// The answer to a port state request (0x0015) for one port, OLT or UNI: the
// request's first 8 bytes, then the eight status bytes in the order the
// daemon stores them at answer bytes 13, 14, 8, 9, 10, 11, 16, 17.
bytes port_state_answer(const bytes &request, const uint8_t status[8]);

struct olt_chip_state {
    uint16_t base_llid[2] = {};
    bool drssi[2] = {};
    bool indicator[2] = {};
    int enabled[4] = {-1, -1, -1, -1};   // -1 never set, 0 disabled, 1 enabled
    std::vector<bytes> rules[4];           // 0x0190 data per port, in order
    std::set<uint16_t> domains;
    bytes filter;
    unsigned settings_written[4] = {};     // 0x0191 per port
};

class olt_config_sim {
public:
    explicit olt_config_sim(chipset &sim);
    // Installs the handlers on the chipset. Attach it before the ONU models
    // (onu_ports), which pass the requests that are not theirs (0x0017,
    // 0x0018 to the chip's own ports) on to these.
    void attach();

    // --- knobs ------------------------------------------------------------
    // The transceiver of PON port `port` of chip `olt` (at most 16 characters each).
    void set_sfp(int olt, int port, const std::string &vendor, const std::string &part);
    // The base LLID the chip reports for a port, as if set behind the daemon's back.
    void set_base_llid(int olt, int port, uint16_t llid);
    // Answers to request `id` carry only the first `size` bytes of their
    // data; -1: whole again.
    void cut_answer(uint16_t id, int size);

    // --- state ----------------------------------------------------------------
    olt_chip_state state(int olt);

private:
    answer port_settings(int olt, const request_record &r);
    answer sfp_info(int olt, const request_record &r);
    answer cut(uint16_t id, answer a);

    chipset &sim_;
    std::mutex lock_;
    olt_chip_state chips_[MAX_OLTS];
    std::string sfp_[MAX_OLTS][2][2];   // vendor, part
    std::map<uint16_t, size_t> cut_;
};

// The switches of the oltsim program: "sfp OLT:PORT:VENDOR:PART",
// "cut-answer ID:BYTES" (-1 restores). 1 applied, 0 not one of these, -1
// malformed (`error` says why).
int olt_config_control_apply(olt_config_sim &sim, const std::string &name, const std::string &arg,
                             std::string &error);
bool olt_config_control_is_switch(const std::string &name);
const char *olt_config_control_usage();

} // namespace oltsim
