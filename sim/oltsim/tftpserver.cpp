// oltsim's TFTP answers. See tftpserver.h.
#include "oltsim/tftpserver.h"

#include "base/bytes.h"
#include "wire/personality.h"
#include "wire/tftp.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace oltsim {

namespace {

constexpr uint16_t RCODE_TOO_SHORT = 8;
constexpr uint16_t RCODE_FAULT = 4;        // "Command failed"
constexpr uint16_t TFTP_ERR_ACCESS = 2;
constexpr uint16_t TFTP_ERR_ILLEGAL = 4;

bytes error_packet(uint16_t code)
{
    bytes out(5);
    store_be16(out.data(), TFTP_ERROR);
    store_be16(out.data() + 2, code);
    out[4] = 0;   // empty message
    return out;
}

bytes ack_packet(uint16_t block)
{
    bytes out(4);
    tftp_encode_ack(out.data(), out.size(), block);
    return out;
}

bytes data_packet(uint16_t block, const bytes &image)
{
    size_t from = std::min(image.size(), size_t(block - 1) * TFTP_BLOCK_SIZE);
    size_t size = std::min(TFTP_BLOCK_SIZE, image.size() - from);
    bytes out(TFTP_DATA_HEADER + size);
    tftp_encode_data(out.data(), out.size(), block, image.data() + from, size);
    return out;
}

bool writable(bool onu, const std::string &file)
{
    if (file == TFTP_FILE_APP || file == TFTP_FILE_PERSONALITY)
        return true;
    return !onu && file == TFTP_FILE_BOOT;
}

bytes pattern(size_t size, uint8_t seed)
{
    bytes out(size);
    for (size_t i = 0; i < size; i++)
        out[i] = uint8_t(seed * 31 + i * 13 + (i >> 9));
    return out;
}

} // namespace

bytes tftp_server::make_onu_personality(size_t size, uint8_t seed)
{
    bytes image = pattern(size, seed);
    if (size >= PERS_CRC_FROM)
        store_be32(image.data() + PERS_CRC_AT, pers_crc(image.data(), size));
    return image;
}

bytes tftp_server::make_olt_personality(size_t size, uint8_t seed)
{
    bytes image = pattern(size, seed);
    if (size >= PERS_CRC_FROM)
        store_le32(image.data() + PERS_CRC_AT, pers_crc(image.data(), size));
    return image;
}

tftp_server::tftp_server(chipset &sim)
{
    sim.set_handler(TEK_REQ_TFTP_OLT, [this](int olt, const request_record &r) { return handle(olt, false, r); });
    sim.set_handler(TEK_REQ_TFTP_ONU, [this](int olt, const request_record &r) { return handle(olt, true, r); });
}

void tftp_server::set_olt_personality(int olt, bytes image)
{
    std::lock_guard<std::mutex> hold(lock_);
    olt_pers_[olt] = std::move(image);
}

void tftp_server::set_onu_personality(const mac_address &mac, bytes image)
{
    std::lock_guard<std::mutex> hold(lock_);
    onu_pers_[mac] = std::move(image);
}

bytes tftp_server::olt_file(int olt, const std::string &file) const
{
    std::lock_guard<std::mutex> hold(lock_);
    auto found = written_.find({endpoint{olt, false, {}}, file});
    return found == written_.end() ? bytes{} : found->second;
}

bytes tftp_server::onu_file(const mac_address &mac, const std::string &file) const
{
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto &[key, data] : written_)
        if (key.first.onu && key.first.mac == mac && key.second == file)
            return data;
    return {};
}

void tftp_server::fault_block(fault kind, uint16_t block, int times)
{
    std::lock_guard<std::mutex> hold(lock_);
    faults_.push_back({kind, block, times});
}

void tftp_server::clear_faults()
{
    std::lock_guard<std::mutex> hold(lock_);
    faults_.clear();
}

std::vector<tftp_server::packet_record> tftp_server::packets() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return packets_;
}

void tftp_server::clear_packets()
{
    std::lock_guard<std::mutex> hold(lock_);
    packets_.clear();
}

answer tftp_server::handle(int olt, bool onu, const request_record &request)
{
    size_t header = onu ? TFTP_ONU_MAC_SIZE : 0;
    if (request.data.size() < header + 2)
        return answer{RCODE_TOO_SHORT, {}};
    endpoint who{olt, onu, {}};
    if (onu)
        std::copy_n(request.data.begin(), TFTP_ONU_MAC_SIZE, who.mac.begin());
    const uint8_t *packet = request.data.data() + header;
    size_t size = request.data.size() - header;

    std::lock_guard<std::mutex> hold(lock_);
    tftp_packet in;
    bool decoded = tftp_decode(packet, size, &in);
    packets_.push_back({olt, onu, in.opcode, in.block, in.size, decoded && in.file ? in.file : ""});
    uint16_t block = in.opcode == TFTP_DATA || in.opcode == TFTP_ACK ? in.block : 0;

    answer reply;
    if (onu)
        reply.data.assign(who.mac.begin(), who.mac.end());
    for (armed_fault &f : faults_) {
        if (f.left <= 0 || f.block != block)
            continue;
        const transfer &t = transfers_[who];
        bool repeatable = in.opcode == TFTP_ACK && block > 0 && t.mode == transfer::reading &&
                          size_t(block - 1) * TFTP_BLOCK_SIZE <= t.data.size();
        if (f.kind == fault::repeat && !repeatable)
            continue;
        f.left--;
        switch (f.kind) {
        case fault::drop:
            reply.silent = true;
            return reply;
        case fault::rcode:
            return answer{RCODE_FAULT, reply.data};
        case fault::wrong_opcode: {
            // What a confused peer might say: an ACK to a read, DATA to a write.
            bytes wrong = in.opcode == TFTP_RRQ || in.opcode == TFTP_ACK ? ack_packet(block) : data_packet(1, {});
            reply.data.insert(reply.data.end(), wrong.begin(), wrong.end());
            return reply;
        }
        case fault::repeat: {
            bytes again = data_packet(block, t.data);
            reply.data.insert(reply.data.end(), again.begin(), again.end());
            return reply;
        }
        }
    }
    bytes out = decoded ? serve(who, in) : error_packet(TFTP_ERR_ILLEGAL);
    reply.data.insert(reply.data.end(), out.begin(), out.end());
    return reply;
}

bytes tftp_server::serve(const endpoint &who, const tftp_packet &in)
{
    transfer &t = transfers_[who];
    switch (in.opcode) {
    case TFTP_WRQ:
        if (!writable(who.onu, in.file))
            return error_packet(TFTP_ERR_ACCESS);
        t = transfer{transfer::writing, in.file, 1, {}};
        return ack_packet(0);
    case TFTP_DATA:
        if (t.mode != transfer::writing || in.size > TFTP_BLOCK_SIZE)
            return error_packet(TFTP_ERR_ILLEGAL);
        if (in.block == uint16_t(t.next - 1))
            return ack_packet(in.block);   // a repeat of the block just taken
        if (in.block != t.next)
            return error_packet(TFTP_ERR_ILLEGAL);
        t.data.insert(t.data.end(), in.data, in.data + in.size);
        t.next++;
        if (in.size < TFTP_BLOCK_SIZE) {
            written_[{who, t.file}] = t.data;
            t.mode = transfer::none;
        }
        return ack_packet(in.block);
    case TFTP_RRQ: {
        if (std::string(in.file) != TFTP_FILE_PERSONALITY)
            return error_packet(TFTP_ERR_ACCESS);
        bytes image;
        if (who.onu) {
            auto found = onu_pers_.find(who.mac);
            image = found != onu_pers_.end() ? found->second : make_onu_personality(ONU_PERS_SIZE);
        } else {
            auto found = olt_pers_.find(who.olt);
            if (found != olt_pers_.end()) {
                image = found->second;
            } else {
                image = make_olt_personality(OLT_PERS_SIZE);
                image.resize(OLT_PERS_BLOCK, 0);
            }
        }
        t = transfer{transfer::reading, in.file, 1, std::move(image)};
        return data_packet(1, t.data);
    }
    case TFTP_ACK: {
        if (t.mode != transfer::reading || in.block == 0)
            return error_packet(TFTP_ERR_ILLEGAL);
        // DATA n was the last one when it was short: this is the closing ACK,
        // which the chip answers with no TFTP packet at all.
        if (size_t(in.block) * TFTP_BLOCK_SIZE > t.data.size()) {
            t.mode = transfer::none;
            return {};
        }
        return data_packet(uint16_t(in.block + 1), t.data);
    }
    default:
        return error_packet(TFTP_ERR_ILLEGAL);
    }
}

bool tftp_control_is_switch(const std::string &name) { return name.rfind("tftp-", 0) == 0; }

bool tftp_control_takes_argument(const std::string &name)
{
    return tftp_control_is_switch(name) && name != "tftp-clear";
}

const char *tftp_control_usage()
{
    return "TFTP faults (block B: WRQ/RRQ 0, DATA k / ACK n: k / n; N times, default 1):\n"
           "  tftp-drop B[:N]     lose the request\n"
           "  tftp-rcode B[:N]    answer RCODE 4\n"
           "  tftp-opcode B[:N]   answer with the wrong TFTP opcode\n"
           "  tftp-dup B[:N]      answer a read's ACK B with DATA B again\n"
           "  tftp-clear          no TFTP faults\n";
}

int tftp_control_apply(tftp_server &server, const std::string &name, const std::string &arg, std::string &error)
{
    if (!tftp_control_is_switch(name))
        return 0;
    if (name == "tftp-clear") {
        server.clear_faults();
        return 1;
    }
    tftp_server::fault kind;
    if (name == "tftp-drop")
        kind = tftp_server::fault::drop;
    else if (name == "tftp-rcode")
        kind = tftp_server::fault::rcode;
    else if (name == "tftp-opcode")
        kind = tftp_server::fault::wrong_opcode;
    else if (name == "tftp-dup")
        kind = tftp_server::fault::repeat;
    else {
        error = "unknown switch " + name;
        return -1;
    }
    unsigned long block = 0, times = 1;
    char *end = nullptr;
    block = strtoul(arg.c_str(), &end, 10);
    bool ok = !arg.empty() && end != arg.c_str() && block <= 0xFFFF;
    if (ok && *end == ':') {
        const char *count = end + 1;
        times = strtoul(count, &end, 10);
        ok = end != count && times > 0 && times <= 1000000;
    }
    if (!ok || *end != '\0') {
        error = name + ": expected BLOCK[:TIMES], got \"" + arg + "\"";
        return -1;
    }
    server.fault_block(kind, uint16_t(block), int(times));
    return 1;
}

} // namespace oltsim
