#include "oltsim/onus.h"

#include "base/bytes.h"

#include "common/textfile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace oltsim {

namespace {

constexpr size_t RECORD_LLID = 15;
constexpr size_t RECORD_PORT = 19;
constexpr size_t RECORD_INFO = 29;
// ONU information, from its first byte.
constexpr size_t INFO_FW = 7;
constexpr size_t INFO_TYPE = 9;
constexpr size_t INFO_HARDWARE = 10;
constexpr size_t INFO_BASE_MAC = 73;
constexpr size_t INFO_CHIP = 93;
// The 64-byte information block the daemon keeps spans information bytes
// 9..72; 0x8600 and 0x6838 ONUs carry their software version text in it
// from its second byte, in place of the hardware byte.
constexpr size_t INFO_BLOCK_END = 73;
constexpr size_t INFO_VERSION_TEXT = 10;
constexpr uint16_t CHIP_8600 = 0x8600, CHIP_6838 = 0x6838;
constexpr uint8_t VENDOR_OUI[3] = {0x00, 0x0D, 0xB6};

unsigned long number(const nlohmann::json &e, const char *key, unsigned long fallback)
{
    if (!e.contains(key))
        return fallback;
    if (e[key].is_string())
        return strtoul(e[key].get<std::string>().c_str(), nullptr, 0);
    return e[key].get<unsigned long>();
}

} // namespace

// The link MAC: the ONU MAC plus the link index on its low three bytes.
void link_mac(uint8_t out[6], const uint8_t mac[6], int link)
{
    uint32_t low = (uint32_t(mac[3]) << 16 | uint32_t(mac[4]) << 8 | mac[5]) + uint32_t(link);
    memcpy(out, mac, 3);
    out[3] = uint8_t(low >> 16);
    out[4] = uint8_t(low >> 8);
    out[5] = uint8_t(low);
}

bool load_board(const std::string &path, std::vector<board_onu> &onus, uint16_t *version, std::string &error)
{
    std::string text;
    return read_text_file(path, text, error) && parse_board(text, onus, version, error);
}

bool parse_board(const std::string &text, std::vector<board_onu> &onus, uint16_t *version, std::string &error)
{
    try {
        nlohmann::json doc = nlohmann::json::parse(text);
        std::vector<board_onu> out;
        for (const auto &e : doc.value("onus", nlohmann::json::array())) {
            board_onu onu;
            unsigned b[6];
            if (!e.contains("mac") || sscanf(e["mac"].get<std::string>().c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0],
                                             &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
                error = "onus: an entry without a MAC";
                return false;
            }
            for (int i = 0; i < 6; i++)
                onu.mac[i] = uint8_t(b[i]);
            onu.olt = int(number(e, "olt", 0));
            onu.pon = int(number(e, "pon", 0));
            onu.chip = uint16_t(number(e, "chip", 0x3714));
            onu.type = uint8_t(number(e, "type", 1));
            onu.hardware = uint8_t(number(e, "hardware", 0));
            onu.fw = uint16_t(number(e, "fw", 0x0100));
            onu.links = int(number(e, "links", 4));
            onu.secret = e.value("secret", std::string());
            onu.wrong_queues = e.value("queues", std::string("right")) == "wrong";
            onu.info = e.value("info", std::string());
            if (onu.olt < 0 || onu.olt >= MAX_OLTS || onu.pon < 0 || onu.pon > 1 || onu.links < 1 || onu.links > 4) {
                error = "onus: " + e["mac"].get<std::string>() + ": olt 0..3, pon 0..1 and 1..4 links";
                return false;
            }
            out.push_back(onu);
        }
        if (version && doc.contains("oltsim") && doc["oltsim"].contains("version"))
            *version = uint16_t(number(doc["oltsim"], "version", *version));
        onus = std::move(out);
        return true;
    } catch (const std::exception &e) {
        error = e.what();
        return false;
    }
}

bytes registration_data(const board_onu &onu, int link, const uint8_t olt_mac[6], uint16_t llid)
{
    bytes data(REGISTRATION_SIZE);
    memcpy(data.data(), olt_mac, 6);
    data[7] = uint8_t(onu.pon);
    link_mac(&data[8], onu.mac, link);
    store_be16(&data[14], llid);
    return data;
}

bytes discovery_record(const board_onu &onu, int link, uint16_t llid)
{
    bytes record(DISCOVERY_RECORD_SIZE);
    link_mac(record.data(), onu.mac, link);
    store_be16(&record[RECORD_LLID], llid);
    record[RECORD_PORT] = uint8_t(onu.pon);
    uint8_t *info = &record[RECORD_INFO];
    memcpy(info, VENDOR_OUI, 3);
    store_be16(info + INFO_FW, onu.fw);
    info[INFO_TYPE] = onu.type;
    info[INFO_HARDWARE] = onu.hardware;
    if (onu.chip == CHIP_8600 || onu.chip == CHIP_6838) {
        std::string text = onu.info;
        if (text.empty()) {
            char version[16];
            snprintf(version, sizeof version, "V%X.%02X", onu.fw >> 8, onu.fw & 0xFF);
            text = version;
        }
        // NUL-terminated within the block.
        size_t room = INFO_BLOCK_END - INFO_VERSION_TEXT - 1;
        memset(info + INFO_VERSION_TEXT, 0, INFO_BLOCK_END - INFO_VERSION_TEXT);
        memcpy(info + INFO_VERSION_TEXT, text.data(), std::min(room, text.size()));
    }
    memcpy(info + INFO_BASE_MAC, onu.mac, 6);
    store_be16(info + INFO_CHIP, onu.chip);
    return record;
}

onu_population::onu_population(chipset &sim, std::vector<board_onu> onus, const uint8_t chip_mac[6])
    : sim_(sim), onus_(std::move(onus)), accepted_by_onu_(onus_.size()), presence_(onus_.size())
{
    memcpy(chip_mac_, chip_mac, 6);
}

onu_population::~onu_population()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    due_.notify_all();
    if (returner_.joinable())
        returner_.join();
}

void onu_population::attach()
{
    sim_.set_handler(TEK_REQ_REGISTRATION_ACCEPT, [this](int olt, const request_record &r) { return on_accept(olt, r); });
    sim_.set_handler(TEK_REQ_DISCOVERY_ACK, [this](int olt, const request_record &r) { return on_ack(olt, r); });
    handler previous = sim_.handler_of(TEK_REQ_LINK_RELEASE);
    sim_.set_handler(TEK_REQ_LINK_RELEASE, [this, previous](int olt, const request_record &r) {
        if (r.data.size() >= 6) {
            std::lock_guard<std::mutex> hold(lock_);
            on_release(olt, r.data.data());
        }
        return previous(olt, r);
    });
    // A restarted chip has forgotten every link; the daemon's clean-up of
    // its old records is no deregistration.
    // With come_back_after_restart, those that had registered register
    // again once the daemon starts the chip.
    sim_.on_restart([this](int olt) {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<size_t> &onus = coming_back_[olt];
        for (const link_state &l : links_)
            if (come_back_ && onus_[l.onu].olt == olt && std::find(onus.begin(), onus.end(), l.onu) == onus.end())
                onus.push_back(l.onu);
        for (size_t i = 0; i < onus_.size(); i++)
            if (onus_[i].olt == olt) {
                presence_[i].registered = 0;
                presence_[i].returning = false;
            }
    });
    handler start = sim_.handler_of(TEK_REQ_OLT_START);
    sim_.set_handler(TEK_REQ_OLT_START, [this, start](int olt, const request_record &r) {
        answer reply = start(olt, r);
        std::vector<std::pair<int, bytes>> attempts;
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (size_t index : coming_back_[olt])
                queue_attempts(index, attempts);
            coming_back_[olt].clear();
        }
        for (auto &[chip, data] : attempts)
            sim_.send_event(chip, TEK_EVENT_REGISTRATION, data);
        return reply;
    });
    if (!returner_.joinable())
        returner_ = std::thread([this] { serve_returns(); });
}

void onu_population::come_back_after_restart(bool on)
{
    std::lock_guard<std::mutex> hold(lock_);
    come_back_ = on;
}

void onu_population::return_after(int ms)
{
    std::lock_guard<std::mutex> hold(lock_);
    return_ms_ = std::max(ms, 0);
}

void onu_population::leave(const uint8_t mac[6])
{
    std::lock_guard<std::mutex> hold(lock_);
    for (size_t i = 0; i < onus_.size(); i++)
        if (memcmp(onus_[i].mac, mac, 6) == 0) {
            presence_[i].away = true;
            presence_[i].returning = false;
        }
}

unsigned onu_population::returns()
{
    std::lock_guard<std::mutex> hold(lock_);
    return returns_;
}

void onu_population::on_release(int olt, const uint8_t mac[6])
{
    for (auto it = links_.rbegin(); it != links_.rend(); ++it) {
        const link_state &l = *it;
        if (memcmp(l.mac, mac, 6) != 0 || onus_[l.onu].olt != olt)
            continue;
        presence &p = presence_[l.onu];
        unsigned bit = 1u << l.link;
        if (!(p.registered & bit))
            return;
        p.registered &= ~bit;
        if (p.registered == 0 && !p.away && return_ms_ > 0) {
            p.returning = true;
            p.due = clock::now() + std::chrono::milliseconds(return_ms_);
            due_.notify_all();
        }
        return;
    }
}

void onu_population::serve_returns()
{
    std::unique_lock<std::mutex> hold(lock_);
    while (!stopping_) {
        auto next = clock::time_point::max();
        size_t due_onu = onus_.size();
        for (size_t i = 0; i < onus_.size(); i++)
            if (presence_[i].returning && presence_[i].due < next) {
                next = presence_[i].due;
                due_onu = i;
            }
        if (due_onu == onus_.size()) {
            due_.wait(hold);
            continue;
        }
        if (clock::now() < next) {
            due_.wait_until(hold, next);
            continue;
        }
        std::vector<std::pair<int, bytes>> attempts;
        queue_attempts(due_onu, attempts);
        returns_++;
        hold.unlock();
        for (auto &[chip, data] : attempts)
            sim_.send_event(chip, TEK_EVENT_REGISTRATION, data);
        hold.lock();
    }
}

void onu_population::queue_attempts(size_t index, std::vector<std::pair<int, bytes>> &attempts)
{
    const board_onu &onu = onus_[index];
    // A new registration: whatever return was due is this one.
    presence_[index] = presence{};
    uint8_t chip_mac[6];
    memcpy(chip_mac, chip_mac_, 6);
    chip_mac[5] = uint8_t(chip_mac[5] + onu.olt);
    for (int link = 0; link < onu.links; link++) {
        link_state state{index, link, {}, next_llid_[onu.olt]++};
        link_mac(state.mac, onu.mac, link);
        links_.push_back(state);
        attempts.emplace_back(onu.olt, registration_data(onu, link, chip_mac, state.llid));
    }
}

void onu_population::register_all(int olt)
{
    std::vector<std::pair<int, bytes>> attempts;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (size_t i = 0; i < onus_.size(); i++)
            if (olt < 0 || onus_[i].olt == olt)
                queue_attempts(i, attempts);
    }
    for (auto &[chip, data] : attempts)
        sim_.send_event(chip, TEK_EVENT_REGISTRATION, data);
}

void onu_population::register_onu(const uint8_t mac[6], int delay_ms)
{
    std::vector<std::pair<int, bytes>> attempts;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (size_t i = 0; i < onus_.size(); i++)
            if (memcmp(onus_[i].mac, mac, 6) == 0)
                queue_attempts(i, attempts);
    }
    for (auto &[chip, data] : attempts)
        sim_.send_event(chip, TEK_EVENT_REGISTRATION, data, delay_ms);
}

answer onu_population::on_accept(int olt, const request_record &request)
{
    bytes record;
    if (request.data.size() >= 14) {
        std::lock_guard<std::mutex> hold(lock_);
        // The latest registration of the link: an ONU that restarted
        // registers again with new LLIDs.
        for (auto it = links_.rbegin(); it != links_.rend(); ++it)
            if (const link_state &l = *it; memcmp(l.mac, &request.data[8], 6) == 0 && onus_[l.onu].olt == olt) {
                record = discovery_record(onus_[l.onu], l.link, l.llid);
                accepted_++;
                accepted_by_onu_[l.onu]++;
                presence_[l.onu].registered |= 1u << l.link;
                break;
            }
    }
    if (!record.empty())
        sim_.send_event(olt, TEK_EVENT_LINK_DISCOVERY, record);
    return answer{};
}

answer onu_population::on_ack(int, const request_record &)
{
    std::lock_guard<std::mutex> hold(lock_);
    acknowledged_++;
    return answer{};
}

unsigned onu_population::accepted(const uint8_t *mac)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (!mac)
        return accepted_;
    unsigned count = 0;
    for (size_t i = 0; i < onus_.size(); i++)
        if (memcmp(onus_[i].mac, mac, 6) == 0)
            count += accepted_by_onu_[i];
    return count;
}

unsigned onu_population::acknowledged()
{
    std::lock_guard<std::mutex> hold(lock_);
    return acknowledged_;
}

} // namespace oltsim
