#include "oltsim/onu_service.h"

#include "base/bytes.h"
#include "wire/ids.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace oltsim {

namespace {

constexpr uint16_t PATH_ID_FIRST = 8320;   // the daemon's first path identifier


constexpr uint16_t SERVICE_IDS[] = {
    TEK_REQ_EAP_FRAME,        TEK_REQ_QUEUES_READ,     TEK_REQ_QUEUES_WRITE,      TEK_REQ_QUEUES_CLEAR,
    TEK_REQ_ONU_RESET,        TEK_REQ_BLOCKED_LINKS,   TEK_REQ_PATH_CREATE,       TEK_REQ_PATH_QUERY,
    TEK_REQ_PATH_DELETE,      TEK_REQ_QUEUE_SLA,       TEK_REQ_QUEUE_SLA_DELETE,  TEK_REQ_LINK_SLA,
    TEK_REQ_DEST_CREATE,      TEK_REQ_DEST_QUERY,      TEK_REQ_DEST_DELETE,       TEK_REQ_DEST_LEARNING,
    TEK_REQ_DEST_LEARNING_DELETE, TEK_REQ_DEST_STATIC_CLIENTS, TEK_REQ_DEST_LEARNED_MACS,
    TEK_REQ_DEST_ADDRESS_ENTRIES, TEK_REQ_OPT82,       TEK_REQ_PPPOE_TAG,         TEK_REQ_IGMP_GROUPS,
};
constexpr uint16_t CHIP_8600 = 0x8600;
constexpr uint16_t CHIP_6838 = 0x6838;
constexpr size_t WRITTEN_LAYOUT_LINKS = 6;
// The IGMP group answer: the ONU MAC, the count at 6, four reserved bytes,
// then per group its kind, two reserved bytes, the address length (4), the
// address, an 0xFF end mark and four reserved bytes.
constexpr size_t GROUP_RECORDS_AT = 11;
constexpr size_t GROUP_RECORD_SIZE = 13;
constexpr size_t GROUP_COUNT_MAX = 255;

mac_key key(const uint8_t *mac)
{
    mac_key k;
    memcpy(k.data(), mac, 6);
    return k;
}

void q(bytes &out, uint8_t a)
{
    out.push_back(4);
    for (int i = 0; i < 4; i++)
        out.push_back(a);
}

// The ONU's answer to an MD5 challenge: the hash of the identifier, the
// secret and the challenge value, as an EAP-Response/MD5-Challenge.
bytes eap_md5_answer(const uint8_t *mac, const std::string &secret, uint8_t identifier, const uint8_t *challenge)
{
    bytes text;
    text.push_back(identifier);
    text.insert(text.end(), secret.begin(), secret.end());
    text.insert(text.end(), challenge, challenge + 16);
    uint8_t digest[16];
    unsigned size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr);
    bytes event(mac, mac + 6);
    const uint8_t head[6] = {2, identifier, 0, 22, 4, 16};
    event.insert(event.end(), head, head + 6);
    event.insert(event.end(), digest, digest + 16);
    return event;
}

uint16_t be16(const bytes &data, size_t at) { return data.size() >= at + 2 ? load_be16(&data[at]) : 0; }

} // namespace

bytes factory_queue_layout(const uint8_t mac[6], int links, bool is_8600)
{
    bytes out(mac, mac + 6);
    out.push_back(uint8_t(links));
    if (links <= 1) {
        q(out, 27);
    } else {
        for (int i = 0; i < links; i++) {
            if (links == 2) {
                out.insert(out.end(), {2, 27, 27});
            } else {
                out.push_back(1);
                out.push_back(uint8_t(110 / links));
            }
        }
    }
    out.push_back(2);
    if (is_8600 || links <= 1) {
        q(out, 30);
        out.push_back(0);
    } else {
        q(out, 15);
        q(out, 15);
    }
    out.push_back(1);
    out.push_back(0);
    return out;
}

onu_service::onu_service(chipset &sim, onu_population &population, std::vector<board_onu> onus)
    : sim_(sim), population_(population), onus_(std::move(onus))
{
    for (const board_onu &board : onus_) {
        onu_state &s = state_[key(board.mac)];
        s.board = &board;
        s.layout = factory_queue_layout(board.mac, board.links, board.chip == CHIP_8600);
        if (board.wrong_queues)
            s.layout.back() ^= 0x01;
    }
}

void onu_service::attach()
{
    for (uint16_t id : SERVICE_IDS)
        sim_.set_handler(id, [this](int olt, const request_record &r) { return handle(olt, r); });
    // A restarted chip comes up empty: the daemon builds its ONUs' paths,
    // SLAs and destinations again, under the same identifiers.
    sim_.on_restart([this](int olt) {
        std::lock_guard<std::mutex> hold(lock_);
        olts_[olt] = olt_state{};
    });
}

bytes report_timeout_alarm(const uint8_t mac[6], int link)
{
    bytes alarm(8);
    alarm[0] = ALARM_TAG_LINK;
    link_mac(&alarm[1], mac, link);
    alarm[7] = ALARM_LINK_REPORT_TIMEOUT;
    return alarm;
}

void onu_service::quiet_restart(int ms)
{
    std::lock_guard<std::mutex> hold(lock_);
    quiet_restart_ms_ = ms;
}

void onu_service::leave(const uint8_t mac[6])
{
    population_.leave(mac);
    report_links_gone(mac, QUIET_ALARM_MS);
}

void onu_service::report_links_gone(const uint8_t mac[6], int delay_ms)
{
    const board_onu *board = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto found = state_.find(key(mac));
        if (found != state_.end())
            board = found->second.board;
    }
    for (int link = 0; board && link < board->links; link++)
        sim_.send_event(board->olt, ID_ALARM_EVENT, report_timeout_alarm(mac, link), delay_ms);
}

void onu_service::hold_eap(bool on)
{
    std::vector<std::pair<int, bytes>> kept;
    {
        std::lock_guard<std::mutex> hold(lock_);
        hold_eap_ = on;
        if (!on)
            kept.swap(held_eap_);
    }
    for (auto &[olt, event] : kept)
        sim_.send_event(olt, ID_EAP_EVENT, event);
}

void onu_service::fail_id(uint16_t id, uint16_t rcode)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (rcode)
        failing_[id] = rcode;
    else
        failing_.erase(id);
}

void onu_service::set_secret(const uint8_t mac[6], const std::string &secret)
{
    std::lock_guard<std::mutex> hold(lock_);
    for (board_onu &board : onus_)
        if (memcmp(board.mac, mac, 6) == 0)
            board.secret = secret;
}

void onu_service::add_learned(int olt, uint16_t dest, const uint8_t mac[6])
{
    std::lock_guard<std::mutex> hold(lock_);
    olts_[olt].learned[dest].push_back(key(mac));
}

void onu_service::join_group(const uint8_t mac[6], uint8_t kind, const uint8_t group[4])
{
    std::lock_guard<std::mutex> hold(lock_);
    auto found = state_.find(key(mac));
    if (found != state_.end())
        found->second.groups.push_back({kind, group[0], group[1], group[2], group[3]});
}

size_t onu_service::paths(int olt)
{
    std::lock_guard<std::mutex> hold(lock_);
    size_t n = 0;
    for (const auto &path : olts_[olt].paths)
        n += path.first >= LINK_PATH_FIRST;
    return n;
}

size_t onu_service::queue_slas(int olt)
{
    std::lock_guard<std::mutex> hold(lock_);
    return olts_[olt].queue_slas.size();
}

size_t onu_service::link_slas(int olt)
{
    std::lock_guard<std::mutex> hold(lock_);
    return olts_[olt].link_slas.size();
}

std::map<uint16_t, destination_state> onu_service::destinations(int olt)
{
    std::lock_guard<std::mutex> hold(lock_);
    return olts_[olt].destinations;
}

bool onu_service::destination_holder(const bytes &create, mac_key *onu, std::set<uint16_t> *paths) const
{
    // Destination index, 4, 1, the link count, then per link: its MAC, eight
    // zero bytes, 30 01 and its path, followed by rules of any length.
    constexpr size_t FIRST_LINK = 5, PATH_AFTER_MAC = 16;
    static const uint8_t marker[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0x30, 0x01};
    if (create.size() < FIRST_LINK + 6)
        return false;
    for (const board_onu &board : onus_) {
        bool owner = false;
        for (int link = 0; link < board.links; link++) {
            uint8_t mac[6];
            link_mac(mac, board.mac, link);
            if (memcmp(mac, &create[FIRST_LINK], 6) == 0)
                owner = true;
        }
        if (!owner)
            continue;
        *onu = key(board.mac);
        for (int link = 0; link < board.links; link++) {
            uint8_t part[16];
            link_mac(part, board.mac, link);
            memcpy(part + 6, marker, sizeof marker);
            auto at = std::search(create.begin(), create.end(), part, part + sizeof part);
            if (at != create.end() && size_t(create.end() - at) >= PATH_AFTER_MAC + 2)
                paths->insert(load_be16(&*(at + PATH_AFTER_MAC)));
        }
        return true;
    }
    return false;
}

std::vector<uint16_t> onu_service::shared_ids(int olt)
{
    std::lock_guard<std::mutex> hold(lock_);
    std::map<uint16_t, std::set<mac_key>> path_holders;
    std::set<uint16_t> shared;
    for (const auto &[dest, onus] : olts_[olt].holders) {
        if (onus.size() > 1)
            shared.insert(dest);
        for (const auto &[onu, paths] : onus)
            for (uint16_t path : paths)
                path_holders[path].insert(onu);
    }
    for (const auto &[path, onus] : path_holders)
        if (onus.size() > 1)
            shared.insert(path);
    return std::vector<uint16_t>(shared.begin(), shared.end());
}

int onu_service::eap_result(const uint8_t mac[6])
{
    std::lock_guard<std::mutex> hold(lock_);
    auto found = state_.find(key(mac));
    return found == state_.end() ? 0 : found->second.eap;
}

int onu_service::resets(const uint8_t mac[6])
{
    std::lock_guard<std::mutex> hold(lock_);
    auto found = state_.find(key(mac));
    return found == state_.end() ? 0 : found->second.resets;
}

bytes onu_service::queue_layout(const uint8_t mac[6])
{
    std::lock_guard<std::mutex> hold(lock_);
    auto found = state_.find(key(mac));
    return found == state_.end() ? bytes() : found->second.layout;
}

// Requests addressed to one ONU (payload starting with its MAC).
answer onu_service::onu_request(int, const request_record &r, bool *restart, bytes *eap_event)
{
    auto found = r.data.size() >= 6 ? state_.find(key(r.data.data())) : state_.end();
    if (found == state_.end())
        return answer{RCODE_NOT_FOUND, {}};
    onu_state &onu = found->second;
    switch (r.id) {
    case TEK_REQ_EAP_FRAME: {
        const uint8_t *eap = r.data.data() + 6;
        size_t size = r.data.size() - 6;
        if (size >= 22 && eap[0] == 1 && eap[4] == 4) {
            // The 0x6838 ONUs are authorized without an answer.
            if (onu.board->chip != CHIP_6838)
                *eap_event = eap_md5_answer(onu.board->mac, onu.board->secret, eap[1], eap + 6);
        } else if (size >= 4 && (eap[0] == 3 || eap[0] == 4)) {
            onu.eap = eap[0];
        }
        return answer{};
    }
    case TEK_REQ_QUEUES_READ:
        return answer{0, onu.layout};
    case TEK_REQ_QUEUES_CLEAR:
        onu.layout.assign(onu.board->mac, onu.board->mac + 6);
        onu.layout.push_back(0);
        return answer{};
    case TEK_REQ_ONU_RESET:
        onu.resets++;
        onu.groups.clear();
        *restart = true;
        return answer{};
    case TEK_REQ_IGMP_GROUPS: {
        size_t count = std::min(onu.groups.size(), GROUP_COUNT_MAX);
        bytes out(GROUP_RECORDS_AT + GROUP_RECORD_SIZE * count);
        memcpy(out.data(), onu.board->mac, 6);
        out[6] = uint8_t(count);
        for (size_t i = 0; i < count; i++) {
            uint8_t *record = &out[GROUP_RECORDS_AT + GROUP_RECORD_SIZE * i];
            record[0] = onu.groups[i][0];
            record[3] = 4;
            memcpy(record + 4, &onu.groups[i][1], 4);
            record[8] = 0xFF;
        }
        return answer{0, out};
    }
    default:
        return answer{};
    }
}

answer onu_service::handle(int olt, const request_record &r)
{
    bool restart = false;
    bytes eap_event;
    uint8_t mac[6] = {};
    answer reply;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto failing = failing_.find(r.id);
        if (failing != failing_.end())
            return answer{failing->second, {}};
        olt_state &o = olts_[olt];
        const bytes &d = r.data;
        uint16_t first = be16(d, 0);
        switch (r.id) {
        case TEK_REQ_QUEUES_WRITE: {
            if (d.size() < 7)
                return answer{RCODE_NOT_FOUND, {}};
            auto found = state_.find(key(d.data()));
            if (found == state_.end())
                return answer{RCODE_NOT_FOUND, {}};
            const board_onu &board = *found->second.board;
            // The written record is zero-padded; the ONU keeps the layout it describes.
            bytes layout = factory_queue_layout(board.mac, d[WRITTEN_LAYOUT_LINKS], board.chip == CHIP_8600);
            bool same = layout.size() <= d.size() && std::equal(layout.begin(), layout.end(), d.begin());
            found->second.layout = same ? layout : d;
            return answer{};
        }
        case TEK_REQ_EAP_FRAME:
        case TEK_REQ_QUEUES_READ:
        case TEK_REQ_QUEUES_CLEAR:
        case TEK_REQ_ONU_RESET:
        case TEK_REQ_IGMP_GROUPS:
            reply = onu_request(olt, r, &restart, &eap_event);
            if (d.size() >= 6)
                memcpy(mac, d.data(), 6);
            break;
        case TEK_REQ_BLOCKED_LINKS:
            return answer{0, bytes(12)};
        case TEK_REQ_PATH_CREATE:
            // The same request creates the multicast domains' queues, below
            // the first path identifier: those belong to the OLT's own state.
            if (first < PATH_ID_FIRST)
                return answer{};
            if (o.paths.count(first))
                return answer{RCODE_COMMAND_FAILED, {}};
            o.paths[first] = d;
            return answer{};
        case TEK_REQ_PATH_QUERY: {
            if (!o.paths.count(first))
                return answer{RCODE_NOT_FOUND, {}};
            return answer{0, bytes(16)};
        }
        case TEK_REQ_PATH_DELETE:
            o.paths.erase(first);
            for (auto &[dest, onus] : o.holders)
                for (auto &[onu, paths] : onus)
                    paths.erase(first);
            return answer{};
        case TEK_REQ_QUEUE_SLA:
            o.queue_slas[first] = d;
            return answer{};
        case TEK_REQ_QUEUE_SLA_DELETE:
            o.queue_slas.erase(first);
            return answer{};
        case TEK_REQ_LINK_SLA:
            if (d.size() >= 6)
                o.link_slas[key(d.data())] = d;
            return answer{};
        case TEK_REQ_DEST_CREATE: {
            o.destinations[first].create = d;
            mac_key holder;
            std::set<uint16_t> paths;
            if (destination_holder(d, &holder, &paths))
                o.holders[first][holder] = paths;
            return answer{};
        }
        case TEK_REQ_DEST_QUERY:
            return answer{uint16_t(o.destinations.count(first) ? 0 : RCODE_NOT_FOUND), {}};
        case TEK_REQ_DEST_DELETE:
            o.destinations.erase(first);
            o.holders.erase(first);
            o.learned.erase(first);
            return answer{};
        case TEK_REQ_DEST_LEARNING:
            if (!o.destinations.count(first))
                return answer{RCODE_NOT_FOUND, {}};
            o.destinations[first].learning = d;
            return answer{};
        case TEK_REQ_DEST_LEARNING_DELETE:
            if (o.destinations.count(first))
                o.destinations[first].learning.clear();
            return answer{};
        case TEK_REQ_DEST_STATIC_CLIENTS: {
            uint16_t dest = be16(d, 2);
            if (o.destinations.count(dest))
                o.destinations[dest].statics = d;
            return answer{};
        }
        case TEK_REQ_OPT82:
            if (o.destinations.count(first))
                o.destinations[first].opt82 = d;
            return answer{};
        case TEK_REQ_PPPOE_TAG:
            if (o.destinations.count(first))
                o.destinations[first].pppoe = d;
            return answer{};
        case TEK_REQ_DEST_LEARNED_MACS:
        case TEK_REQ_DEST_ADDRESS_ENTRIES: {
            const auto &macs = o.learned[first];
            size_t entry = r.id == TEK_REQ_DEST_LEARNED_MACS ? 6 : 20;
            bytes out(4);
            store_be16(&out[0], first);
            store_be16(&out[2], uint16_t(macs.size()));
            for (const mac_key &m : macs) {
                size_t at = out.size();
                out.resize(at + entry);
                memcpy(&out[at], m.data(), 6);
            }
            return answer{0, out};
        }
        default:
            return answer{};
        }
    }
    if (!eap_event.empty()) {
        std::unique_lock<std::mutex> hold(lock_);
        if (hold_eap_) {
            held_eap_.emplace_back(olt, std::move(eap_event));
        } else {
            hold.unlock();
            sim_.send_event(olt, ID_EAP_EVENT, eap_event);
        }
    }
    if (restart) {
        int quiet_ms = 0;
        {
            std::lock_guard<std::mutex> hold(lock_);
            quiet_ms = quiet_restart_ms_;
        }
        if (quiet_ms > 0)
            report_links_gone(mac, QUIET_ALARM_MS);
        population_.register_onu(mac, quiet_ms > 0 ? quiet_ms : ONU_RESTART_MS);
    }
    return reply;
}

} // namespace oltsim
