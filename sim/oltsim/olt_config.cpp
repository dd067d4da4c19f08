// oltsim: the chips' side of the OLT configuration. See olt_config.h.
#include "oltsim/olt_config.h"

#include "base/bytes.h"
#include "wire/ids.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace oltsim {

namespace {

constexpr size_t SETTINGS_REQUEST = 10;
constexpr size_t SFP_REQUEST = 9;
constexpr size_t DRSSI_SWITCH_AT = 9;

// What a chip keeps per port: a VLAN-tagging entry with two TLVs and one
// fixed item, and a policing entry with one TLV and two fixed items. The
// port number stands in a TLV, so each port's entries differ.
bytes port_entries(int port)
{
    bytes e = {2,
               0x01, 2, 0x01, 2, 0x81, 0x00, 0x02, 1, uint8_t(port), 1,
               0, 0, 0, 0, 0, 0x0F, 0xFF, 0, 0, 0, 0, uint8_t(port),
               0x04, 1, 0x07, 4, 0x00, 0x00, 0x03, 0xE8, 2};
    for (int i = 0; i < 2; i++)
        for (int b = 0; b < 12; b++)
            e.push_back(uint8_t(i * 16 + b));
    return e;
}

bytes default_filter()
{
    bytes f(FILTER_SIZE);
    for (size_t i = 0; i < FILTER_SIZE; i++)
        f[i] = uint8_t(0xC0 + i % 32);
    return f;
}

answer ok(bytes data = bytes(DEFAULT_ANSWER_SIZE, 0))
{
    answer a;
    a.data = std::move(data);
    return a;
}

} // namespace

bytes port_state_answer(const bytes &request, const uint8_t status[8])
{
    static const uint8_t status_at[8] = {13, 14, 8, 9, 10, 11, 16, 17};
    bytes data(PORT_STATE_ANSWER);
    std::copy_n(request.begin(), std::min<size_t>(request.size(), 8), data.begin());
    for (int i = 0; i < 8; i++)
        data[status_at[i]] = status[i];
    return data;
}

olt_config_sim::olt_config_sim(chipset &sim) : sim_(sim)
{
    for (int olt = 0; olt < MAX_OLTS; olt++) {
        chips_[olt].filter = default_filter();
        sfp_[olt][0][0] = sfp_[olt][1][0] = "LIGENT";
        sfp_[olt][0][1] = sfp_[olt][1][1] = "LTE4302M-BC+";
    }
}

void olt_config_sim::attach()
{
    sim_.set_handler(TEK_REQ_PORT_SETTINGS_READ, [this](int olt, const request_record &r) {
        return cut(r.id, port_settings(olt, r));
    });
    sim_.set_handler(TEK_REQ_PORT_SETTINGS_WRITE, [this](int olt, const request_record &r) {
        std::lock_guard<std::mutex> hold(lock_);
        if (r.data.size() > 8 && r.data[8] < 4)
            chips_[olt].settings_written[r.data[8]]++;
        return ok();
    });
    sim_.set_handler(TEK_REQ_SFP_INFO, [this](int olt, const request_record &r) { return cut(r.id, sfp_info(olt, r)); });
    sim_.set_handler(TEK_REQ_BASE_LLID_WRITE, [this](int olt, const request_record &r) {
        std::lock_guard<std::mutex> hold(lock_);
        if (r.data.size() >= 10 && load_be16(&r.data[6]) < 2)
            chips_[olt].base_llid[load_be16(&r.data[6])] = load_be16(&r.data[8]);
        return ok();
    });
    sim_.set_handler(TEK_REQ_BASE_LLID_READ, [this](int olt, const request_record &r) {
        bytes out(r.data.begin(), r.data.begin() + std::min<size_t>(r.data.size(), 8));
        out.resize(10, 0);
        uint16_t port = load_be16(&out[6]);
        {
            std::lock_guard<std::mutex> hold(lock_);
            store_be16(&out[8], port < 2 ? chips_[olt].base_llid[port] : 0);
        }
        return cut(r.id, ok(out));
    });
    sim_.set_handler(TEK_REQ_PROTOCOL_FILTER_READ, [this](int olt, const request_record &r) {
        bytes filter;
        {
            std::lock_guard<std::mutex> hold(lock_);
            filter = chips_[olt].filter;
        }
        return cut(r.id, ok(filter));
    });
    sim_.set_handler(TEK_REQ_PROTOCOL_FILTER_WRITE, [this](int olt, const request_record &r) {
        std::lock_guard<std::mutex> hold(lock_);
        if (r.data.size() != FILTER_SIZE) {
            answer refused;
            refused.rcode = 2;
            return refused;
        }
        chips_[olt].filter = r.data;
        return ok();
    });
    for (uint16_t id : {TEK_REQ_PORT_ENABLE, TEK_REQ_PORT_DISABLE}) {
        sim_.set_handler(id, [this, id](int olt, const request_record &r) {
            std::lock_guard<std::mutex> hold(lock_);
            if (r.data.size() >= 8 && load_be16(&r.data[6]) < 4)
                chips_[olt].enabled[load_be16(&r.data[6])] = id == TEK_REQ_PORT_ENABLE;
            return ok();
        });
    }
    sim_.set_handler(TEK_REQ_PORT_STATE, [this](int olt, const request_record &r) {
        if (r.data.size() < 8 || load_be16(&r.data[6]) > 3)
            return answer{1, {}};
        uint8_t status[8];
        std::copy(std::begin(PORT_STATUS_UP), std::end(PORT_STATUS_UP), status);
        std::lock_guard<std::mutex> hold(lock_);
        if (chips_[olt].enabled[load_be16(&r.data[6])] == 0)
            status[PORT_STATUS_LINK] = 0;
        return ok(port_state_answer(r.data, status));
    });
    sim_.set_handler(TEK_REQ_DRSSI, [this](int olt, const request_record &r) {
        std::lock_guard<std::mutex> hold(lock_);
        if (r.data.size() > DRSSI_SWITCH_AT && r.data[8] < 2)
            chips_[olt].drssi[r.data[8]] = r.data[DRSSI_SWITCH_AT] != 0;
        return ok();
    });
    sim_.set_handler(TEK_REQ_PORT_RULES, [this](int olt, const request_record &r) {
        std::lock_guard<std::mutex> hold(lock_);
        if (r.data.size() > 8 && r.data[8] < 4)
            chips_[olt].rules[r.data[8]].push_back(r.data);
        return ok();
    });
    sim_.set_handler(TEK_REQ_DOMAIN_CREATE, [this](int olt, const request_record &r) {
        std::lock_guard<std::mutex> hold(lock_);
        if (r.data.size() >= 2)
            chips_[olt].domains.insert(load_be16(&r.data[0]));
        return ok();
    });
    sim_.set_handler(TEK_REQ_DOMAIN_REMOVE, [this](int olt, const request_record &r) {
        std::lock_guard<std::mutex> hold(lock_);
        if (r.data.size() >= 2)
            chips_[olt].domains.erase(load_be16(&r.data[0]));
        return ok();
    });
    sim_.set_handler(TEK_REQ_ONU_INDICATOR, [this](int olt, const request_record &r) {
        std::lock_guard<std::mutex> hold(lock_);
        if (r.data.size() >= 2 && (r.data[0] == 0xA0 || r.data[0] == 0xA1))
            chips_[olt].indicator[r.data[0] - 0xA0] = r.data[1] != 0;
        return ok();
    });
}

answer olt_config_sim::port_settings(int, const request_record &r)
{
    bytes out(r.data.begin(), r.data.begin() + std::min(r.data.size(), SETTINGS_REQUEST));
    out.resize(SETTINGS_REQUEST, 0);
    bytes entries = port_entries(r.data.size() > 8 ? r.data[8] : 0);
    out.insert(out.end(), entries.begin(), entries.end());
    return ok(out);
}

answer olt_config_sim::sfp_info(int olt, const request_record &r)
{
    int port = r.data.size() > 8 ? r.data[8] : 0;
    // The request echoed (zero-padded to its full size), then the page, in
    // one buffer sized once.
    bytes out(SFP_REQUEST + SFP_PAGE_SIZE, 0);
    std::copy_n(r.data.begin(), std::min(r.data.size(), SFP_REQUEST), out.begin());
    uint8_t *page = out.data() + SFP_REQUEST;
    page[0] = 0x03;   // SFP
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (port < 2) {
            // Transceiver texts are padded with spaces.
            memset(page + SFP_PAGE_VENDOR, ' ', 16);
            memset(page + SFP_PAGE_PART, ' ', 16);
            const std::string &vendor = sfp_[olt][port][0], &part = sfp_[olt][port][1];
            memcpy(page + SFP_PAGE_VENDOR, vendor.data(), std::min<size_t>(vendor.size(), 16));
            memcpy(page + SFP_PAGE_PART, part.data(), std::min<size_t>(part.size(), 16));
        }
    }
    return ok(out);
}

// Takes the lock itself: callers must not hold it.
answer olt_config_sim::cut(uint16_t id, answer a)
{
    std::lock_guard<std::mutex> hold(lock_);
    auto it = cut_.find(id);
    if (it != cut_.end() && a.data.size() > it->second)
        a.data.resize(it->second);
    return a;
}

void olt_config_sim::set_sfp(int olt, int port, const std::string &vendor, const std::string &part)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (olt >= 0 && olt < MAX_OLTS && port >= 0 && port < 2) {
        sfp_[olt][port][0] = vendor.substr(0, 16);
        sfp_[olt][port][1] = part.substr(0, 16);
    }
}

void olt_config_sim::set_base_llid(int olt, int port, uint16_t llid)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (olt >= 0 && olt < MAX_OLTS && port >= 0 && port < 2)
        chips_[olt].base_llid[port] = llid;
}

void olt_config_sim::cut_answer(uint16_t id, int size)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (size < 0)
        cut_.erase(id);
    else
        cut_[id] = size_t(size);
}

olt_chip_state olt_config_sim::state(int olt)
{
    std::lock_guard<std::mutex> hold(lock_);
    return chips_[olt];
}

// ---- the program's switches ---------------------------------------------------

bool olt_config_control_is_switch(const std::string &name) { return name == "sfp" || name == "cut-answer"; }

const char *olt_config_control_usage()
{
    return "  sfp OLT:PORT:VENDOR:PART  the transceiver a PON port reports (SFP information)\n"
           "  cut-answer ID:BYTES       answers to request ID carry BYTES of data (-1: whole)\n";
}

int olt_config_control_apply(olt_config_sim &sim, const std::string &name, const std::string &arg,
                             std::string &error)
{
    if (!olt_config_control_is_switch(name))
        return 0;
    std::vector<std::string> parts;
    std::istringstream in(arg);
    for (std::string part; std::getline(in, part, ':');)
        parts.push_back(part);
    if (name == "sfp" && parts.size() == 4) {
        sim.set_sfp(atoi(parts[0].c_str()), atoi(parts[1].c_str()), parts[2], parts[3]);
        return 1;
    }
    if (name == "cut-answer" && parts.size() == 2) {
        sim.cut_answer(uint16_t(strtol(parts[0].c_str(), nullptr, 0)), atoi(parts[1].c_str()));
        return 1;
    }
    error = name + ": malformed argument \"" + arg + "\"";
    return -1;
}

} // namespace oltsim
