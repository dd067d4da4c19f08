#include "common/capture_replay.h"

#include "base/bytes.h"
#include "wire/kernmsg.h"
#include "wire/pcapng.h"
#include "wire/tekmsg.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

constexpr size_t MATCH_WINDOW = 16;   // recorded requests of one ID looked at for the same payload

uint32_t key(uint16_t id, uint16_t ctag) { return uint32_t(id) << 16 | ctag; }

// The pieces in SEQN order, joined; false when one is missing.
bool join(const std::map<uint16_t, std::vector<uint8_t>> &parts, std::vector<uint8_t> &out)
{
    uint16_t expected = 0;
    for (const auto &[seqn, bytes] : parts) {
        if (seqn != expected++)
            return false;
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return true;
}

const char *const STREAM_NAMES[2] = {"from the management process", "from the daemon"};

} // namespace

bool capture_replay_reader::read(const std::string &name, const uint8_t *data, size_t size, std::string &error)
{
    // Each file of a ring starts at a message boundary, its management
    // stream afresh.
    end_streams();
    for (stream &s : streams_)
        s = stream{};
    pcapng_reader reader;
    int result = pcapng_open(reader, data, size);
    pcapng_record record;
    while (result == PCAPNG_OK && (result = pcapng_next(reader, record)) == PCAPNG_OK) {
        const pcapng_packet &p = record.packet;
        bool in = p.direction == PCAPNG_IN;
        if (p.interface == PCAPNG_CHIP)
            chip_packet(record.data, record.length, p.peer, in, p.time_us);
        else if (p.interface == PCAPNG_MGMT)
            mgmt_segment(name, size_t(record.data - data), record.data, record.length, !in, p.seq);
    }
    if (result == PCAPNG_END)
        return true;
    error = "replay: " + name + ": " + pcapng_result_text(result) + " at byte " + std::to_string(reader.offset);
    return false;
}

void capture_replay_reader::chip_packet(const uint8_t *data, size_t size, uint32_t peer, bool in, uint64_t time_us)
{
    tekmsg_header h{};
    int olt = int(peer & 0xFF) - 1;
    if (olt < 0 || olt >= REPLAY_CHIPS) {
        if (!strangers_)
            out_.chip_notes.push_back("replay: chip datagrams of addresses that are no chip's are left out");
        strangers_ = true;
        return;
    }
    if (!tekmsg_parse_header(data, size, &h))
        return;
    replay_chip &chip = out_.chips[olt];
    if (!chip.seen) {
        chip.seen = true;
        chip.first_us = time_us;
    }
    uint64_t offset = time_us > chip.first_us ? time_us - chip.first_us : 0;
    chip.last_offset_us = std::max(chip.last_offset_us, offset);
    const uint8_t *payload = data + TEKMSG_HEADER;
    size_t len = std::min<size_t>(h.len, size - TEKMSG_HEADER);

    if (!in) {
        if (tekmsg_is_event(h.id))
            return;
        replay_exchange exchange;
        exchange.id = h.id;
        exchange.request.assign(payload, payload + len);
        waiting_[olt][key(h.id, h.ctag)] = chip.requests.size();
        fragments_[olt].erase(key(h.id, h.ctag));
        chip.requests.push_back(std::move(exchange));
        return;
    }
    bool event = tekmsg_is_event(h.id);
    if (event && !tekmsg_is_long_event(h.id)) {
        chip.events.push_back({offset, h.id, std::vector<uint8_t>(payload, payload + len)});
        return;
    }
    // An answer, or a long event: RCODE (and SEQN for fragments) first.
    auto waiting = waiting_[olt].find(key(h.id, h.ctag));
    if (len < 2 || (!event && waiting == waiting_[olt].end()))
        return;   // an answer nobody recorded asking for (or a second copy)
    uint16_t rcode = load_be16(payload);
    if (!event && !tekmsg_is_fragment_rcode(rcode)) {
        replay_exchange &exchange = chip.requests[waiting->second];
        exchange.answered = true;
        exchange.rcode = rcode;
        exchange.answer.assign(payload + 2, payload + len);
        waiting_[olt].erase(waiting);
        return;
    }
    if (len < 4 || (event && !tekmsg_is_fragment_rcode(rcode)))
        return;
    partial &part = fragments_[olt][key(h.id, h.ctag)];
    if (part.parts.empty()) {
        part.exchange = event ? 0 : waiting->second;
        part.offset_us = offset;
    }
    uint16_t seqn = load_be16(payload + 2);
    part.parts[seqn].assign(payload + 4, payload + len);
    if (rcode == TEKLINK_RCODE_LAST)
        part.last = seqn;
    // Whole once the last has come and every one before it, in any order.
    if (part.last < 0 || part.parts.size() < size_t(part.last) + 1)
        return;
    std::vector<uint8_t> whole;
    bool complete = part.parts.size() == size_t(part.last) + 1 && join(part.parts, whole);
    if (complete && event) {
        chip.events.push_back({part.offset_us, h.id, std::move(whole)});
    } else if (complete) {
        replay_exchange &exchange = chip.requests[part.exchange];
        exchange.answered = true;
        exchange.rcode = TEKLINK_RCODE_OK;
        exchange.answer = std::move(whole);
        exchange.fragments = unsigned(part.parts.size());
        waiting_[olt].erase(waiting);
    }
    fragments_[olt].erase(key(h.id, h.ctag));
}

void capture_replay_reader::mgmt_segment(const std::string &name, size_t at, const uint8_t *data, size_t size,
                                         bool from_daemon, uint32_t seq)
{
    stream &s = streams_[from_daemon];
    if (s.ended || size == 0)
        return;
    auto end = [&](const std::string &why) {
        out_.mgmt_notes.push_back("replay: " + name + ": management stream " + STREAM_NAMES[from_daemon] + ": " + why +
                             " at byte " + std::to_string(at) + "; the rest of it is left out");
        s.ended = true;
        s.bytes.clear();
    };
    if (!s.started) {
        s.started = true;
        s.next = seq;
    }
    if (seq != s.next) {
        end("a gap in the sequence (" + std::to_string(seq) + " where " + std::to_string(s.next) + " was due)");
        return;
    }
    s.next += uint32_t(size);
    s.bytes.insert(s.bytes.end(), data, data + size);
    size_t used = 0;
    while (s.bytes.size() - used >= KERNMSG_HEADER_SIZE) {
        const uint8_t *header = s.bytes.data() + used;
        if (check_message_header(header) != 0) {
            end("a message header without its magic");
            return;
        }
        size_t len = kernmsg_header_decode(header).len;
        if (len > KERNMSG_RX_BUFFER - KERNMSG_HEADER_SIZE) {
            end("a message longer than the link carries (" + std::to_string(len) + " bytes)");
            return;
        }
        if (s.bytes.size() - used < KERNMSG_HEADER_SIZE + len)
            break;
        mgmt_message(std::vector<uint8_t>(header, header + KERNMSG_HEADER_SIZE + len), from_daemon);
        used += KERNMSG_HEADER_SIZE + len;
    }
    s.bytes.erase(s.bytes.begin(), s.bytes.begin() + ptrdiff_t(used));
}

void capture_replay_reader::mgmt_message(const std::vector<uint8_t> &message, bool from_daemon)
{
    kernmsg_header h = kernmsg_header_decode(message.data());
    auto payload = message.begin() + KERNMSG_HEADER_SIZE;
    if (from_daemon && h.type == KERNMSG_REQUEST && h.dst == MODULE_CONFIG) {
        replay_exchange exchange;
        exchange.id = h.cmd;
        exchange.request.assign(payload, message.end());
        config_waiting_[h.tag] = out_.config.size();
        out_.config.push_back(std::move(exchange));
        return;
    }
    if (from_daemon || h.type != KERNMSG_ANSWER || h.src != MODULE_CONFIG)
        return;
    auto waiting = config_waiting_.find(h.tag);
    if (waiting == config_waiting_.end() || out_.config[waiting->second].id != h.cmd)
        return;
    replay_exchange &exchange = out_.config[waiting->second];
    exchange.answered = true;
    exchange.rcode = h.rcode;
    exchange.answer.assign(payload, message.end());
    config_waiting_.erase(waiting);
}

void capture_replay_reader::end_streams()
{
    for (int from_daemon = 0; from_daemon < 2; from_daemon++)
        if (!streams_[from_daemon].ended && !streams_[from_daemon].bytes.empty())
            out_.mgmt_notes.push_back(std::string("replay: management stream ") + STREAM_NAMES[from_daemon] +
                                 ": its last message is cut short by the end of the file");
}

void capture_replay_reader::finish()
{
    end_streams();
    for (stream &s : streams_)
        s = stream{};
    for (replay_chip &chip : out_.chips)
        std::stable_sort(chip.events.begin(), chip.events.end(),
                         [](const replay_event &a, const replay_event &b) { return a.offset_us < b.offset_us; });
}

bool capture_replay_load(const std::vector<std::string> &paths, capture_replay &out, std::string &error)
{
    capture_replay_reader reader(out);
    for (const std::string &path : paths) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            error = "replay: " + path + ": cannot read it: " + strerror(errno);
            return false;
        }
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        static const uint8_t empty = 0;
        if (!reader.read(path, bytes.empty() ? &empty : bytes.data(), bytes.size(), error))
            return false;
    }
    reader.finish();
    return true;
}

// ---- matching ----------------------------------------------------------------

void replay_matcher::load(std::vector<replay_exchange> exchanges)
{
    std::lock_guard<std::mutex> hold(lock_);
    exchanges_ = std::move(exchanges);
    by_id_.clear();
    for (size_t i = 0; i < exchanges_.size(); i++)
        by_id_[exchanges_[i].id].push_back(i);
}

const replay_exchange *replay_matcher::take(uint16_t id, const uint8_t *payload, size_t size, unsigned *nth)
{
    std::lock_guard<std::mutex> hold(lock_);
    *nth = ++asked_[id];
    auto found = by_id_.find(id);
    if (found == by_id_.end() || found->second.empty()) {
        unmatched_++;
        return nullptr;
    }
    std::deque<size_t> &left = found->second;
    size_t pick = 0;
    for (size_t i = 0; i < std::min(left.size(), MATCH_WINDOW); i++) {
        const std::vector<uint8_t> &recorded = exchanges_[left[i]].request;
        if (recorded.size() == size && (size == 0 || std::memcmp(recorded.data(), payload, size) == 0)) {
            pick = i;
            break;
        }
    }
    const replay_exchange *exchange = &exchanges_[left[pick]];
    left.erase(left.begin() + ptrdiff_t(pick));
    matched_++;
    return exchange;
}

unsigned replay_matcher::matched() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return matched_;
}

unsigned replay_matcher::unmatched() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return unmatched_;
}
