// The ONUs' hardware in oltsim. See onu_ports.h.
#include "oltsim/onu_ports.h"

#include "oltsim/olt_config.h"

#include "base/bytes.h"
#include "wire/ids.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace oltsim {

namespace {

constexpr uint16_t RCODE_OK = 0;
constexpr uint8_t DRSSI_SELECTOR = 0x07;
constexpr size_t RULE_HEADER = 6;
constexpr size_t RULE_CLAUSE = 10;

answer ok(bytes data = bytes(DEFAULT_ANSWER_SIZE)) { return answer{RCODE_OK, std::move(data)}; }
answer bad() { return answer{RCODE_BAD_REQUEST, {}}; }

uint16_t port_of(const request_record &r) { return load_be16(r.data.data() + 6); }
bool uni_port(uint16_t port) { return port == 1 || port == 2; }

} // namespace

void onu_device::set_part_number(const std::string &part)
{
    std::fill(a0.begin() + 40, a0.begin() + 56, ' ');
    std::copy_n(part.begin(), std::min<size_t>(part.size(), 16), a0.begin() + 40);
}

namespace {

// SFF-8472 layout of the two transceiver pages.
constexpr size_t A0_IDENTIFIER = 0, A0_VENDOR = 20, A0_SERIAL = 68, A0_DATE = 84, A0_DIAG_TYPE = 92,
                 A0_ENHANCED = 93, A0_COMPLIANCE = 94, A0_CC_BASE = 63, A0_CC_EXT = 95;
constexpr size_t A2_THRESHOLDS = 0, A2_CC_DMI = 95, A2_TEMPERATURE = 96, A2_VCC = 98, A2_TX_BIAS = 100,
                 A2_TX_POWER = 102, A2_RX_POWER = 104;
constexpr uint8_t SFP_IDENTIFIER = 0x03;
constexpr uint8_t DIAG_INTERNAL_AVERAGE = 0x68;   // monitoring, internally calibrated, average power
constexpr uint8_t ENHANCED_ALARMS = 0xF0;
constexpr uint8_t COMPLIANCE_11_0 = 0x08;
constexpr uint16_t FACTORY_VIDEO_POWER = 5000;    // 0.5 mW: -3 dBm
constexpr uint8_t UNI_LINK = 1;                   // status byte of the link (also the port alarm's)
constexpr uint16_t PHY_100_FULL = 0x0018;

// Alarm high, alarm low, warning high, warning low of temperature (1/256
// degree C: 85, -40, 80, -35), supply (100 uV: 3.6, 3.0, 3.5, 3.1 V), laser
// bias (2 uA: 80, 2, 70, 3 mA), transmit power (0.1 uW: +5, -1, +4, 0 dBm)
// and receive power (0.1 uW: -7, -28, -8, -27 dBm).
const uint16_t factory_thresholds[20] = {0x5500, 0xD800, 0x5000, 0xDD00, 36000, 30000, 35000, 31000,
                                         40000,  1000,   35000,  1500,   31623, 7943,  25119, 10000,
                                         1995,   16,     1585,   20};

uint8_t checksum(const uint8_t *from, size_t count)
{
    unsigned sum = 0;
    for (size_t i = 0; i < count; i++)
        sum += from[i];
    return uint8_t(sum);
}

void put_text(uint8_t *to, size_t size, const std::string &text)
{
    memset(to, ' ', size);
    memcpy(to, text.data(), std::min(size, text.size()));
}

} // namespace

void fit_out(onu_device &device, const board_onu &onu)
{
    // Readings a healthy ONU reports, set apart per ONU by its MAC's last byte.
    unsigned spread = onu.mac[5] & 0x0F;
    char serial[17];
    snprintf(serial, sizeof serial, "ZS%02X%02X%02X", onu.mac[3], onu.mac[4], onu.mac[5]);

    uint8_t *a0 = device.a0.data();
    a0[A0_IDENTIFIER] = SFP_IDENTIFIER;
    put_text(a0 + A0_VENDOR, 16, "LIGENT");
    device.set_part_number("LTY9775A-CCG1");
    put_text(a0 + A0_SERIAL, 16, serial);
    put_text(a0 + A0_DATE, 8, "260301");
    a0[A0_DIAG_TYPE] = DIAG_INTERNAL_AVERAGE;
    a0[A0_ENHANCED] = ENHANCED_ALARMS;
    a0[A0_COMPLIANCE] = COMPLIANCE_11_0;
    a0[A0_CC_BASE] = checksum(a0, A0_CC_BASE);
    a0[A0_CC_EXT] = checksum(a0 + A0_CC_BASE + 1, A0_CC_EXT - A0_CC_BASE - 1);

    uint8_t *a2 = device.a2.data();
    for (size_t i = 0; i < 20; i++)
        store_be16(a2 + A2_THRESHOLDS + 2 * i, factory_thresholds[i]);
    a2[A2_CC_DMI] = checksum(a2, A2_CC_DMI);
    store_be16(a2 + A2_TEMPERATURE, uint16_t((38 + spread / 2) << 8 | 0x80));   // 38.5 .. 45.5 C
    store_be16(a2 + A2_VCC, uint16_t(32900 + 20 * spread));                      // 3.29 .. 3.32 V
    store_be16(a2 + A2_TX_BIAS, uint16_t(6000 + 100 * spread));                  // 12 .. 15 mA
    store_be16(a2 + A2_TX_POWER, uint16_t(15000 + 200 * spread));                // +1.8 .. +2.6 dBm
    store_be16(a2 + A2_RX_POWER, uint16_t(150 + 4 * spread));                    // -18.2 .. -16.8 dBm
    device.set_video_power(FACTORY_VIDEO_POWER);

    // Both UNI PHYs report 100 Mbit/s full duplex in their register 31
    // (speed indication 110 in bits 4..2). Single-port models (types 3..18)
    // answer for a second port that has nothing behind it: no link, no speed.
    for (int port = 1; port <= 2; port++)
        device.uni[port].phy_reg31 = PHY_100_FULL;
    if (onu.type >= 3 && onu.type <= 18) {
        device.uni[2].status[UNI_LINK] = 0;
        device.uni[2].phy_reg31 = 0;
    }
}

void onu_device::set_video_power(uint16_t raw) { store_be16(a2.data() + 106, raw); }

void onu_device::add_phy(uint8_t address, uint16_t id)
{
    onu_phy phy;
    phy.address = address;
    phy.id = id;
    phys.push_back(phy);
}

onu_device onu_ports::add(const uint8_t mac[6])
{
    std::lock_guard<std::mutex> hold(lock_);
    onu_device *onu = find(mac);
    if (!onu)
        onu = &onus_.emplace_back();
    *onu = onu_device{};
    memcpy(onu->mac, mac, 6);
    for (uint16_t port = 0; port < 3; port++) {
        // A recognisable block: the MAC, the port, then the offset in each byte.
        bytes block(ONU_PORT_CONFIG_SIZE);
        for (size_t i = 0; i < block.size(); i++)
            block[i] = uint8_t(i);
        memcpy(block.data(), mac, 6);
        store_be16(block.data() + 6, port);
        onu->port_config[port] = block;
    }
    return *onu;
}

onu_device onu_ports::add(const board_onu &onu)
{
    add(onu.mac);
    onu_device copy;
    update(onu.mac, [&](onu_device &device) {
        fit_out(device, onu);
        copy = device;
    });
    return copy;
}

bool onu_ports::update(const uint8_t mac[6], const std::function<void(onu_device &)> &change)
{
    std::lock_guard<std::mutex> hold(lock_);
    onu_device *onu = find(mac);
    if (onu)
        change(*onu);
    return onu != nullptr;
}

onu_device onu_ports::get(const uint8_t mac[6]) const
{
    std::lock_guard<std::mutex> hold(lock_);
    for (const onu_device &onu : onus_)
        if (memcmp(onu.mac, mac, 6) == 0)
            return onu;
    return onu_device{};
}

onu_device *onu_ports::find(const uint8_t *mac)
{
    for (onu_device &onu : onus_)
        if (memcmp(onu.mac, mac, 6) == 0)
            return &onu;
    return nullptr;
}

// The request goes to the ONU named by its first six bytes when this model
// holds it, else on to whoever answered the ID before.
void onu_ports::install(uint16_t id, serve fn, size_t need)
{
    handler previous = sim_.handler_of(id);
    sim_.set_handler(id, [this, fn, need, previous](int olt, const request_record &r) {
        if (r.data.size() < 6)
            return previous(olt, r);
        std::lock_guard<std::mutex> hold(lock_);
        onu_device *onu = find(r.data.data());
        if (!onu)
            return previous(olt, r);
        if (r.data.size() < need)
            return bad();
        return (this->*fn)(*onu, r);
    });
}

void onu_ports::attach()
{
    install(TEK_REQ_ONU_I2C_READ, &onu_ports::i2c, 11);
    install(TEK_REQ_ONU_GPIO, &onu_ports::gpio, 14);
    install(TEK_REQ_ONU_PHY_READ, &onu_ports::phy_read, 12);
    install(TEK_REQ_ONU_MDIO_READ, &onu_ports::mdio_read, 13);
    install(TEK_REQ_ONU_MDIO_WRITE, &onu_ports::mdio_write, 13);
    install(TEK_REQ_PORT_STATE, &onu_ports::port_state, 8);
    install(TEK_REQ_PORT_DISABLE, &onu_ports::port_enable, 8);
    install(TEK_REQ_PORT_ENABLE, &onu_ports::port_enable, 8);
    install(TEK_REQ_ONU_PORT_MODE, &onu_ports::port_mode, 17);
    install(TEK_REQ_ONU_PORT_SETTINGS, &onu_ports::port_settings, 15);
    install(TEK_REQ_ONU_RF_OUTPUT, &onu_ports::rf_output, 11);
    install(TEK_REQ_ONU_NETWORK, &onu_ports::network, 10);
    install(TEK_REQ_ONU_PON_PARAMS, &onu_ports::pon_params, 9);
    install(TEK_REQ_ONU_PORT_CONFIG_READ, &onu_ports::config_read, 8);
    install(TEK_REQ_ONU_PORT_CONFIG_WRITE, &onu_ports::config_write, ONU_PORT_CONFIG_SIZE);
    install(TEK_REQ_ONU_RULES, &onu_ports::rules, 10);
    install(TEK_REQ_ONU_IGMP_SNOOPING, &onu_ports::igmp, 12);
    install(TEK_REQ_ONU_IPMC_DOMAIN_COUNT, &onu_ports::domain_count, 6);
    install(TEK_REQ_ONU_IPMC_DOMAIN_DELETE, &onu_ports::domain_delete, 8);
    install(TEK_REQ_ONU_IPMC_DOMAIN_ADD, &onu_ports::domain_add, 19);
    install(TEK_REQ_ONU_IPMC_GROUP_6838, &onu_ports::group_6838, 19);

    // The DRSSI reading shares its ID with the statistics requests and
    // carries the ONU's MAC after a selector byte.
    handler previous = sim_.handler_of(TEK_REQ_STATISTICS);
    sim_.set_handler(TEK_REQ_STATISTICS, [this, previous](int olt, const request_record &r) {
        if (r.data.size() < 11 || r.data[0] != DRSSI_SELECTOR)
            return previous(olt, r);
        std::lock_guard<std::mutex> hold(lock_);
        onu_device *onu = find(r.data.data() + 1);
        if (!onu)
            return previous(olt, r);
        bytes data(r.data.begin(), r.data.begin() + 7);
        data.resize(9);
        store_be16(data.data() + 7, onu->drssi);
        return ok(data);
    });
}

answer onu_ports::i2c(onu_device &onu, const request_record &r)
{
    uint8_t device = r.data[6];
    uint16_t length = load_be16(r.data.data() + 7);
    uint8_t offset = r.data[10];
    if (device != 0x50 && device != 0x51)
        return bad();
    const auto &page = device == 0x50 ? onu.a0 : onu.a2;
    if (size_t(offset) + length > page.size())
        return bad();
    bytes data(r.data.begin(), r.data.begin() + 6);
    data.push_back(device);
    data.push_back(offset);
    data.insert(data.end(), page.begin() + offset, page.begin() + offset + length);
    return ok(data);
}

answer onu_ports::gpio(onu_device &onu, const request_record &r)
{
    uint32_t mask = load_be32(r.data.data() + 6);
    uint32_t value = load_be32(r.data.data() + 10);
    onu.gpio = (onu.gpio & ~mask) | (value & mask);
    onu.gpio_writes.emplace_back(mask, value);
    return ok();
}

answer onu_ports::phy_read(onu_device &onu, const request_record &r)
{
    uint16_t port = port_of(r);
    uint16_t reg = load_be16(r.data.data() + 8);
    if (!uni_port(port) || reg != 31)
        return bad();
    bytes data(r.data.begin(), r.data.begin() + 12);
    data.resize(14);
    store_be16(data.data() + 12, onu.uni[port].phy_reg31);
    return ok(data);
}

answer onu_ports::mdio_read(onu_device &onu, const request_record &r)
{
    uint8_t address = r.data[6];
    uint16_t reg = load_be16(r.data.data() + 7);
    onu.mdio_reads.push_back(address);
    uint16_t value = MDIO_NOTHING;
    for (const onu_phy &phy : onu.phys) {
        if (phy.address != address)
            continue;
        auto found = phy.regs.find(reg);
        value = reg == 3 ? phy.id : found != phy.regs.end() ? found->second : 0;
    }
    bytes data(r.data.begin(), r.data.begin() + 11);
    data.resize(13);
    store_be16(data.data() + 11, value);
    return ok(data);
}

answer onu_ports::mdio_write(onu_device &onu, const request_record &r)
{
    uint8_t address = r.data[6];
    uint16_t reg = load_be16(r.data.data() + 7);
    uint16_t value = load_be16(r.data.data() + 11);
    for (onu_phy &phy : onu.phys) {
        if (phy.address == address) {
            phy.regs[reg] = value;
            phy.writes.emplace_back(reg, value);
        }
    }
    return ok();
}

answer onu_ports::port_state(onu_device &onu, const request_record &r)
{
    uint16_t port = port_of(r);
    if (!uni_port(port))
        return bad();
    uint8_t status[8];
    std::copy(std::begin(onu.uni[port].status), std::end(onu.uni[port].status), status);
    // A port switched off has no link, whatever is plugged into it.
    if (!onu.uni[port].enabled)
        status[UNI_LINK] = 0;
    return ok(port_state_answer(r.data, status));
}

answer onu_ports::port_enable(onu_device &onu, const request_record &r)
{
    uint16_t port = port_of(r);
    if (!uni_port(port))
        return bad();
    onu.uni[port].enabled = r.id == TEK_REQ_PORT_ENABLE;
    return ok();
}

answer onu_ports::port_mode(onu_device &onu, const request_record &r)
{
    uint16_t port = port_of(r);
    if (!uni_port(port))
        return bad();
    onu.uni[port].mode.assign(r.data.begin() + 8, r.data.end());
    return ok();
}

answer onu_ports::port_settings(onu_device &onu, const request_record &r)
{
    uint16_t port = port_of(r);
    if (!uni_port(port))
        return bad();
    onu.uni[port].settings.assign(r.data.begin() + 8, r.data.end());
    return ok();
}

answer onu_ports::rf_output(onu_device &onu, const request_record &r)
{
    onu.rf_output = r.data[10];
    return ok();
}

answer onu_ports::network(onu_device &onu, const request_record &r)
{
    onu.network.assign(r.data.begin() + 6, r.data.end());
    return ok();
}

answer onu_ports::pon_params(onu_device &onu, const request_record &r)
{
    onu.pon_params.assign(r.data.begin() + 6, r.data.end());
    return ok();
}

answer onu_ports::config_read(onu_device &onu, const request_record &r)
{
    uint16_t port = port_of(r);
    if (port > 2)
        return bad();
    return ok(onu.port_config[port]);
}

answer onu_ports::config_write(onu_device &onu, const request_record &r)
{
    uint16_t port = port_of(r);
    if (port > 2)
        return bad();
    onu.port_config[port].assign(r.data.begin(), r.data.begin() + ONU_PORT_CONFIG_SIZE);
    onu.port_config_writes[port]++;
    return ok();
}

// A message of rules: port, first-message mark (4 starts the table
// afresh), count, then the rules, each 6 bytes and 10 per clause.
answer onu_ports::rules(onu_device &onu, const request_record &r)
{
    uint16_t port = port_of(r);
    uint8_t mark = r.data[8];
    uint8_t count = r.data[9];
    if (port > 2)
        return bad();
    std::vector<bytes> got;
    size_t at = 10;
    for (int i = 0; i < count; i++) {
        if (at + RULE_HEADER > r.data.size())
            return bad();
        size_t size = RULE_HEADER + RULE_CLAUSE * r.data[at + 5];
        if (at + size > r.data.size())
            return bad();
        got.emplace_back(r.data.begin() + long(at), r.data.begin() + long(at + size));
        at += size;
    }
    if (at != r.data.size())
        return bad();
    if (mark == 4)
        onu.rules[port].clear();
    onu.rules[port].insert(onu.rules[port].end(), got.begin(), got.end());
    onu.rule_messages++;
    return ok();
}

answer onu_ports::igmp(onu_device &onu, const request_record &r)
{
    onu.igmp.assign(r.data.begin() + 6, r.data.end());
    return ok();
}

answer onu_ports::domain_count(onu_device &onu, const request_record &r)
{
    bytes data(r.data.begin(), r.data.begin() + 6);
    data.push_back(uint8_t(onu.ipmc_domains.size()));
    return ok(data);
}

answer onu_ports::domain_delete(onu_device &onu, const request_record &r)
{
    onu.ipmc_deleted.push_back(r.data[7]);
    onu.ipmc_domains.erase(r.data[7]);
    return ok();
}

answer onu_ports::domain_add(onu_device &onu, const request_record &r)
{
    size_t slots = r.data[18];
    if (r.data.size() != 19 + 11 * slots)
        return bad();
    onu.ipmc_domains[r.data[7]].assign(r.data.begin() + 7, r.data.end());
    return ok();
}

answer onu_ports::group_6838(onu_device &onu, const request_record &r)
{
    onu.groups_6838.emplace_back(load_be32(r.data.data() + 11), load_be32(r.data.data() + 15));
    return ok();
}

const char *onu_control_usage()
{
    return "  onu-part MAC=TEXT    the ONU's transceiver part number\n"
           "  onu-video MAC=RAW    its received video power (0.1 uW)\n"
           "  onu-phy MAC=ADDR:ID  a PHY on its MDIO bus\n"
           "  onu-drssi MAC=VALUE  its DRSSI reading\n"
           "  onu-reg31 MAC=PORT:VALUE  PHY register 31 of UNI port 1 or 2\n";
}

int onu_control_apply(onu_ports &ports, const std::string &name, const std::string &arg, std::string &error)
{
    if (name.rfind("onu-", 0) != 0)
        return 0;
    unsigned b[6];
    size_t eq = arg.find('=');
    if (eq == std::string::npos ||
        sscanf(arg.substr(0, eq).c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
        error = name + ": expected MAC=VALUE, got \"" + arg + "\"";
        return -1;
    }
    uint8_t mac[6];
    for (int i = 0; i < 6; i++)
        mac[i] = uint8_t(b[i]);
    std::string value = arg.substr(eq + 1);
    unsigned long first = strtoul(value.c_str(), nullptr, 0);
    size_t colon = value.find(':');
    unsigned long second = colon == std::string::npos ? 0 : strtoul(value.c_str() + colon + 1, nullptr, 0);
    std::function<void(onu_device &)> change;
    if (name == "onu-part")
        change = [&](onu_device &d) { d.set_part_number(value); };
    else if (name == "onu-video")
        change = [&](onu_device &d) { d.set_video_power(uint16_t(first)); };
    else if (name == "onu-phy" && colon != std::string::npos)
        change = [&](onu_device &d) { d.add_phy(uint8_t(first), uint16_t(second)); };
    else if (name == "onu-drssi")
        change = [&](onu_device &d) { d.drssi = uint16_t(first); };
    else if (name == "onu-reg31" && colon != std::string::npos && (first == 1 || first == 2))
        change = [&](onu_device &d) { d.uni[first].phy_reg31 = uint16_t(second); };
    if (!change) {
        error = name + ": unknown switch or malformed value \"" + value + "\"";
        return -1;
    }
    if (!ports.update(mac, change)) {
        error = name + ": no ONU " + arg.substr(0, eq);
        return -1;
    }
    return 1;
}

} // namespace oltsim
