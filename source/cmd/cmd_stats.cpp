#include "cmd/cmd_stats.h"

#include "base/balloc.h"
#include "chip/teklink.h"
#include "mgmt/kernhandlers.h"
#include "store/datastruct.h"
#include "wire/ids.h"
#include "wire/tekmsg.h"

#include <cstring>

namespace {

struct group_entry {
    uint16_t subcommand;
    uint16_t group;
};
const group_entry read_groups[] = {
    {2, 14}, {3, 15}, {6, 10}, {7, 11}, {8, 12}, {9, 13}, {15, 18}, {16, 19}, {17, 20}, {18, 21},
};
constexpr uint16_t FIRST_ONU_SUBCOMMAND = 15;

// The ONU with `mac` as its summary tells it: OLT and type. False when no
// ONU has that MAC.
bool find_onu(const uint8_t mac[6], uint8_t *olt, uint8_t *type)
{
    uint8_t raw[ONU_SUMMARY_SIZE];
    for (int i = 0; i < ONU_COUNT; i++) {
        if (onu_summary_read(i, raw) != 0)
            continue;
        if (load_le32(raw + offsetof(onu_summary, state)) == ONU_STATE_FREE)
            continue;
        if (std::memcmp(raw + offsetof(onu_summary, mac), mac, 6) != 0)
            continue;
        *olt = raw[offsetof(onu_summary, olt)];
        *type = raw[offsetof(onu_summary, type)];
        return true;
    }
    return false;
}

void olt_mac(int olt, uint8_t mac[6])
{
    olt_lock(olt);
    std::memcpy(mac, olt_get(olt)->mac, 6);
    olt_unlock(olt);
}

// A port group of OLT `olt`: read or clear.
int port_group_exchange(int olt, uint16_t port, uint16_t group, bool clear, const cmd_answer_reader &read)
{
    uint8_t mac[6];
    olt_mac(olt, mac);
    uint8_t data[STATS_REQUEST_LEN];
    return cmd_chip_exchange(olt, TEK_REQ_STATISTICS, data,
                             stats_request(STATS_SELECT_PORT, mac, port, group, clear, data), read);
}

uint16_t answer_rcode(const uint8_t *answer)
{
    byte_reader in = tekmsg_payload(answer);
    uint16_t rcode = in.be16();
    return in.ok() ? rcode : 0xFFFF;
}

} // namespace

int stats_group(uint16_t subcommand)
{
    for (const group_entry &e : read_groups)
        if (e.subcommand == subcommand)
            return e.group;
    return -1;
}

bool stats_is_onu_group(uint16_t subcommand) { return subcommand >= FIRST_ONU_SUBCOMMAND; }

int stats_clear_group(uint16_t subcommand)
{
    return stats_is_onu_group(subcommand) ? -1 : stats_group(subcommand);
}

bool stats_onu_port_allowed(uint8_t type, uint32_t port)
{
    if ((type == 1 || type == 2) && (port == 3 || port == 4))
        return false;
    if (type >= 3 && type <= 18 && port >= 2 && port <= 4)
        return false;
    return true;
}

size_t stats_request(uint8_t selector, const uint8_t mac[6], uint16_t port, uint16_t group, bool clear,
                     uint8_t out[STATS_REQUEST_LEN])
{
    out[0] = selector;
    std::memcpy(out + 1, mac, 6);
    store_be16(out + 7, port);
    store_be16(out + 9, group);
    out[11] = 0xFF;
    out[12] = clear ? 0x01 : 0x00;
    return STATS_REQUEST_LEN;
}

bool stats_answer(const uint8_t *response, const uint8_t echo[CMD_PARAMS_SIZE], std::vector<uint8_t> *out)
{
    size_t size = tekmsg_size(response);
    if (size < TEKLINK_MSG_DATA)
        return false;
    size_t len = tekmsg_len(response);
    if (len < STATS_ANSWER_SKIP)
        return false;
    // The entries start at wire byte 19 (two further into the block, behind
    // the OLT index). LEN - 9 bytes from there would run four bytes past the
    // message's end: the answer keeps that size, but only entries that
    // arrived whole are copied.
    size_t wire_end = TEKMSG_HEADER + len;
    byte_reader entries = tekmsg_reader(response, size, STATS_ANSWER_DATA + TEKLINK_MSG_ID,
                                        wire_end > STATS_ANSWER_DATA ? wire_end - STATS_ANSWER_DATA : 0);
    size_t data_size = len - STATS_ANSWER_SKIP;
    out->assign(CMD_PARAMS_SIZE + data_size, 0);
    std::memcpy(out->data(), echo, CMD_PARAMS_SIZE);
    uint8_t *dst = out->data() + CMD_PARAMS_SIZE;
    uint16_t count = 0;
    while (size_t(count + 1) * STATS_ENTRY_SIZE <= data_size && entries.left() >= STATS_ENTRY_SIZE) {
        uint8_t *e = dst + size_t(count) * STATS_ENTRY_SIZE;
        store_le16(e, entries.be16());
        entries.bytes(e + 2, 2);
        uint32_t high = entries.be32();
        uint32_t low = entries.be32();
        store_le32(e + 4, low);
        store_le32(e + 8, high);
        count++;
    }
    store_le16(out->data() + STATS_COUNT_AT, count);
    return true;
}

uint8_t *cmd_stats_read(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint16_t sub = p.u16(8);
    int group = stats_group(sub);
    if (group < 0) {
        cmd_reply(request, CMD_RC_UNSUPPORTED);
        return request;
    }
    bool onu = stats_is_onu_group(sub);
    auto reply = [&](const uint8_t *answer) {
        uint16_t rcode = answer_rcode(answer);
        std::vector<uint8_t> out;
        if (rcode != TEKLINK_RCODE_OK)
            cmd_reply(request, onu ? int(uint8_t(rcode)) : int(CMD_RC_FAILED));
        else if (!stats_answer(answer, p.block, &out))
            cmd_reply(request, CMD_RC_FAILED);
        else
            kernhandlers_reply(request, CMD_RC_OK, uint32_t(out.size()), out.data());
    };
    int rc;
    if (!onu) {
        rc = port_group_exchange(p.u16(0) & 3, p.u16(4), uint16_t(group), false, reply);
    } else {
        uint8_t olt, type;
        if (!find_onu(p.mac(), &olt, &type)) {
            cmd_reply(request, CMD_RC_NOT_FOUND);
            return request;
        }
        uint32_t port = p.u32(4);
        if (!stats_onu_port_allowed(type, port)) {
            cmd_reply(request, CMD_RC_UNSUPPORTED);
            return request;
        }
        uint8_t data[STATS_REQUEST_LEN];
        rc = cmd_chip_exchange(olt, TEK_REQ_STATISTICS, data,
                               stats_request(STATS_SELECT_ONU, p.mac(), uint16_t(port), uint16_t(group), false, data),
                               reply);
    }
    if (rc < 0)
        cmd_reply(request, cmd_rc_of_transport(rc));
    return request;
}

uint8_t *cmd_stats_clear(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint16_t sub = p.u16(8);
    int olt = p.u16(0) & 3;
    int rc;
    int group = stats_clear_group(sub);
    if (group >= 0) {
        int answered = CMD_RC_FAILED;
        rc = port_group_exchange(olt, p.u16(4), uint16_t(group), true, [&answered](const uint8_t *answer) {
            answered = answer_rcode(answer) == TEKLINK_RCODE_OK ? CMD_RC_OK : CMD_RC_FAILED;
        });
        rc = rc == 0 ? answered : cmd_rc_of_transport(rc);
    } else if (sub == STATS_CLEAR_OLT) {
        rc = cmd_chip_simple(olt, TEK_REQ_STATISTICS_CLEAR_OLT, nullptr, 0);
    } else if (sub == STATS_CLEAR_ONU) {
        uint8_t onu_olt, type;
        if (!find_onu(p.mac(), &onu_olt, &type)) {
            cmd_reply(request, CMD_RC_NOT_FOUND);
            return request;
        }
        rc = cmd_chip_simple(onu_olt, TEK_REQ_STATISTICS_CLEAR_ONU, p.mac(), 6);
    } else {
        cmd_reply(request, CMD_RC_UNSUPPORTED);
        return request;
    }
    store_le16(p.block + STATS_COUNT_AT, 0);
    cmd_reply_echo(request, p, rc);
    return request;
}
