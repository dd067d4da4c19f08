// The ONUs' own hardware in oltsim, as the daemon reaches it through the
// OLT chip: the transceiver's SFF-8472 memory (I2C devices 0x50 and 0x51),
// GPIO lines, PHYs on the MDIO bus, the UNI ports (status, PHY register 31,
// enabled or blocked, mode and settings), the RF output, the port
// configuration blocks, the rule tables of ports 0..2 as downloaded, IGMP
// snooping, IPMC domains and groups, and the DRSSI reading at the OLT.
//
// A test (or the program) adds the ONUs it wants with add(); attach()
// installs the handlers of the ONU requests on the chipset. A request that
// names a MAC this model does not hold goes on to the handler that was
// installed before (OLT configuration shares some IDs with a chip MAC in
// place of the ONU's), so attach() comes after the other handlers.
//
// Threads: the chipset's service thread runs the handlers; any thread may
// add ONUs, change them and read them. One mutex guards the devices; a
// reader gets a copy.
#pragma once

#include "oltsim/oltsim.h"
#include "oltsim/onus.h"

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace oltsim {

constexpr size_t ONU_PORT_CONFIG_SIZE = 89;
constexpr uint16_t MDIO_NOTHING = 0xFFFF;   // what an empty MDIO address reads
constexpr uint8_t RCODE_BAD_REQUEST = 1;    // a request the model cannot parse

struct onu_phy {
    uint8_t address = 1;
    uint16_t id = 0xC816;                                   // register 3
    std::map<uint16_t, uint16_t> regs;                      // every register but 3; 0 unless written
    std::vector<std::pair<uint16_t, uint16_t>> writes;      // (register, value) in order
};

struct onu_uni {
    uint8_t status[8] = {1, 1, 2, 1, 0, 1, 0, 0};   // as the daemon stores them
    uint16_t phy_reg31 = 0;
    bool enabled = true;
    bytes mode;        // last 0x0016 data
    bytes settings;    // last 0x0031 data
};

struct onu_device {
    uint8_t mac[6] = {};
    std::array<uint8_t, 256> a0{};   // I2C device 0x50 (serial ID page)
    std::array<uint8_t, 256> a2{};   // I2C device 0x51 (diagnostics page)
    uint32_t gpio = 0;
    std::vector<std::pair<uint32_t, uint32_t>> gpio_writes;   // (mask, value) in order
    std::vector<onu_phy> phys;
    std::vector<uint8_t> mdio_reads;                          // MDIO addresses read, in order
    onu_uni uni[3];                   // 1 and 2 are UNI0 and UNI1
    int rf_output = -1;               // last 0x0067 value: 0 blocked, 8 open; -1 never set
    uint16_t drssi = 0;
    bytes network;                    // last 0x00A4 data after the MAC
    bytes pon_params;                 // last 0x0098 data after the MAC
    std::array<bytes, 3> port_config; // what 0x009B reads (89 bytes), as 0x009C last wrote it
    std::array<unsigned, 3> port_config_writes{};
    std::array<std::vector<bytes>, 3> rules;   // per port, each rule as encoded on the wire
    unsigned rule_messages = 0;
    bytes igmp;                       // last 0x01B1 data after the MAC
    std::map<uint8_t, bytes> ipmc_domains;   // index -> 0x01AE data from the index on
    std::vector<uint8_t> ipmc_deleted;       // 0x01AF indexes in order
    std::vector<std::pair<uint32_t, uint32_t>> groups_6838;

    // Serial ID page: part number at 40 (16 bytes, space padded).
    void set_part_number(const std::string &part);
    // Diagnostics page: received video power at 106 (u16 BE, 0.1 µW).
    void set_video_power(uint16_t raw);
    void add_phy(uint8_t address, uint16_t id);
};

class onu_ports {
public:
    explicit onu_ports(chipset &sim) : sim_(sim) {}
    void attach();

    // Adds (or resets) the ONU of this MAC and returns a copy of its state.
    onu_device add(const uint8_t mac[6]);
    // The same for an ONU of the board file, fitted out as such an ONU
    // leaves the factory (see fit_out).
    onu_device add(const board_onu &onu);
    // Runs `change` on the ONU's state under the lock; false when unknown.
    bool update(const uint8_t mac[6], const std::function<void(onu_device &)> &change);
    // A copy of the ONU's state; an all-zero device when unknown.
    onu_device get(const uint8_t mac[6]) const;

private:
    using serve = answer (onu_ports::*)(onu_device &, const request_record &);
    void install(uint16_t id, serve fn, size_t need);
    onu_device *find(const uint8_t *mac);

    answer i2c(onu_device &onu, const request_record &r);
    answer gpio(onu_device &onu, const request_record &r);
    answer phy_read(onu_device &onu, const request_record &r);
    answer mdio_read(onu_device &onu, const request_record &r);
    answer mdio_write(onu_device &onu, const request_record &r);
    answer port_state(onu_device &onu, const request_record &r);
    answer port_enable(onu_device &onu, const request_record &r);
    answer port_mode(onu_device &onu, const request_record &r);
    answer port_settings(onu_device &onu, const request_record &r);
    answer rf_output(onu_device &onu, const request_record &r);
    answer network(onu_device &onu, const request_record &r);
    answer pon_params(onu_device &onu, const request_record &r);
    answer config_read(onu_device &onu, const request_record &r);
    answer config_write(onu_device &onu, const request_record &r);
    answer rules(onu_device &onu, const request_record &r);
    answer igmp(onu_device &onu, const request_record &r);
    answer domain_count(onu_device &onu, const request_record &r);
    answer domain_delete(onu_device &onu, const request_record &r);
    answer domain_add(onu_device &onu, const request_record &r);
    answer group_6838(onu_device &onu, const request_record &r);

    chipset &sim_;
    mutable std::mutex lock_;
    std::vector<onu_device> onus_;
};

// What a working ONU of this type shows: its transceiver's serial ID and
// diagnostics pages (readings set apart a little by the MAC) and the link
// state of its UNI ports (types 3..18 have one; the others two).
void fit_out(onu_device &device, const board_onu &onu);

// The program's ONU switches, given as input lines "name MAC=VALUE":
// onu-part (part number text), onu-video (raw video power), onu-phy
// (ADDRESS:ID, adds a PHY), onu-drssi (reading), onu-reg31 (PORT:VALUE).
// 1 applied, 0 not an ONU switch, -1 malformed or unknown ONU (`error`).
int onu_control_apply(onu_ports &ports, const std::string &name, const std::string &arg, std::string &error);
const char *onu_control_usage();

} // namespace oltsim
