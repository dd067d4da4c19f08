// What the OLT chips learned behind the ONUs: the ONU behind a learned MAC,
// the per-port and per-ONU listings, and the IGMP groups an ONU joined.
// See cmd_onu.h.
#include "cmd/cmd_onu.h"

#include "base/balloc.h"
#include "chip/teklink.h"
#include "onu/profiler_path.h"
#include "platform/log.h"
#include "store/datastruct.h"
#include "wire/cfgmsg.h"
#include "wire/ids.h"
#include "wire/tekmsg.h"

#include <cstring>
#include <vector>

namespace {

constexpr size_t LISTING_COUNT_AT = 4;   // the record count, in the echo

// The listings answer the echo with the record count in its second word,
// then the records, built in a block of `block` bytes: a listing stops
// where the next record would not fit.
template <typename List> void listing_answer(uint8_t *request, const cmd_params &p, size_t block, List list)
{
    std::vector<uint8_t> out(block);
    std::memcpy(out.data(), p.block, CMD_PARAMS_SIZE);
    size_t length = 0;
    int records = list(out.data() + CMD_PARAMS_SIZE, block - CMD_PARAMS_SIZE, &length);
    store_le32(out.data() + LISTING_COUNT_AT, uint32_t(records));
    kernhandlers_reply(request, CMD_RC_OK, uint32_t(CMD_PARAMS_SIZE + length), out.data());
}

// The OLT and PON port of a port number; numbers past the eighth name an
// OLT that has no ONUs, so their listings are empty.
int olt_of(uint32_t port) { return int(port / 2); }
int pon_of(uint32_t port) { return int(port % 2); }

} // namespace

int igmp_groups_decode(const uint8_t *data, size_t size, uint8_t out[IGMP_RESULT_SIZE])
{
    std::memset(out, 0, IGMP_RESULT_SIZE);
    byte_reader in(data, size);
    in.skip(IGMP_ANSWER_COUNT);
    uint8_t count = in.u8();
    if (!in.ok())
        return CMD_RC_FAILED;
    // Our answer has room for 32 groups; the count says how many it holds.
    int kept = count < IGMP_GROUPS_MAX ? count : IGMP_GROUPS_MAX;
    if (kept > 0)
        in.skip(IGMP_ANSWER_RECORDS - IGMP_ANSWER_COUNT - 1);
    for (int i = 0; i < kept; i++) {
        uint8_t record[IGMP_RECORD_SIZE];
        // A count the answer does not carry is a broken answer, not groups.
        if (!in.bytes(record, sizeof record))
            return CMD_RC_FAILED;
        uint8_t kind = record[0];
        if (kind < 1 || kind > 3 || record[IGMP_RECORD_END] != 0xFF)
            return CMD_RC_FAILED;
        uint8_t *entry = out + 1 + IGMP_ENTRY_SIZE * size_t(i);
        if (record[IGMP_RECORD_LENGTH] == 4)
            std::memcpy(entry, record + IGMP_RECORD_ADDRESS, 4);
        entry[4] = uint8_t(kind - 1);
    }
    out[0] = uint8_t(kept);
    return 0;
}

uint8_t *cmd_onu_find_mac(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint32_t port = p.u32(0);
    const uint8_t *mac = p.block + ONU_MAC_AT;
    uint32_t first = port >= FIND_MAC_ALL_PORTS ? 0 : port;
    uint32_t last = port >= FIND_MAC_ALL_PORTS ? FIND_MAC_ALL_PORTS - 1 : port;
    uint8_t onu_mac[6];
    int path = 0;
    int rc = CFG_RC_NOT_FOUND;
    for (uint32_t q = first; q <= last && rc != 0; q++)
        rc = profiler_find_by_learned_mac(olt_of(q), pon_of(q), mac, onu_mac, &path);

    uint8_t out[FIND_MAC_ANSWER] = {};
    if (rc == 0) {
        // The ONU may have gone between the look-up and now: then it is no
        // longer behind that MAC.
        onu_record *onu = onu_get_by_mac_locked(onu_mac);
        if (onu) {
            store_le32(out, onu->ont_id);
            std::memcpy(out + 4, onu->mac, 6);
            store_le32(out + 10, onu->state);
            out[14] = onu->olt;
            out[15] = onu->port;
            out[16] = uint8_t(path);
            onu_unlock(onu);
        } else {
            rc = CFG_RC_NOT_FOUND;
        }
    }
    int rcode = rc == 0 ? CMD_RC_OK : rc == CFG_RC_NOT_FOUND ? CMD_RC_NOT_FOUND : CMD_RC_FAILED;
    cmd_reply_echo_data(request, p.block, rcode, out, sizeof out);
    return request;
}

uint8_t *handler_onu_get_igmp_groups(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    const uint8_t *mac = p.block + ONU_MAC_AT;
    onu_record *onu = onu_get_by_mac_locked(mac);
    if (!onu) {
        cmd_reply(request, CMD_RC_NOT_FOUND);
        return request;
    }
    int olt = onu->olt;
    onu_unlock(onu);

    const char *function = __func__;   // the texts name the handler, not the reader
    uint8_t groups[IGMP_RESULT_SIZE];
    int result = CMD_RC_FAILED;
    int rc = cmd_chip_exchange(olt, TEK_REQ_IGMP_GROUPS, mac, 6, [&](const uint8_t *answer) {
        byte_reader in = tekmsg_payload(answer);
        uint16_t rcode = in.be16();
        if (!in.ok() || rcode != TEKLINK_RCODE_OK)
            trace("%s: %d\n", function, rcode);
        else
            result = igmp_groups_decode(in.position(), in.left(), groups);
    });
    if (rc < 0) {
        trace("%s: %d", __func__, rc);
        cmd_reply_echo(request, p, CMD_RC_FAILED);
        return request;
    }
    if (result != 0)
        cmd_reply_echo(request, p, CMD_RC_FAILED);
    else
        cmd_reply_echo_data(request, p.block, CMD_RC_OK, groups, sizeof groups);
    return request;
}

uint8_t *cmd_port_learned_macs(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint32_t port = p.u32(0);
    listing_answer(request, p, LEARNED_MAC_LIST_BLOCK, [&](uint8_t *out, size_t capacity, size_t *length) {
        return profiler_learned_mac_list(olt_of(port), pon_of(port), nullptr, out, capacity, length);
    });
    return request;
}

uint8_t *cmd_port_address_entries(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint32_t port = p.u32(0);
    listing_answer(request, p, ADDRESS_LIST_BLOCK, [&](uint8_t *out, size_t capacity, size_t *length) {
        return profiler_address_entry_list(olt_of(port), pon_of(port), out, capacity, length);
    });
    return request;
}

uint8_t *cmd_onu_learned_macs(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    const uint8_t *mac = p.block + ONU_MAC_AT;
    listing_answer(request, p, ONU_MAC_LIST_BLOCK, [&](uint8_t *out, size_t capacity, size_t *length) {
        return profiler_learned_mac_list(0, 0, mac, out, capacity, length);
    });
    return request;
}
