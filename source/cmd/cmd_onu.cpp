// The ONU tables as the management process reads them: the change counter,
// the lists, the record and the description; and the two commands that
// restart an ONU's provisioning. See cmd_onu.h.
#include "cmd/cmd_onu.h"

#include "engine/onu_optics.h"
#include "maint/maint_steps.h"
#include "onu/profiler_link.h"
#include "platform/clock.h"
#include "store/datastruct.h"

#include <syslog.h>

#include <cstddef>
#include <cstring>
#include <vector>

static_assert(ONU_LIST_SUMMARY_INFO == offsetof(onu_summary, info));
static_assert(ONU_LIST_COMPACT_SIZE + ONU_LIST_INFO_SIZE == ONU_LIST_ENTRY_SIZE);
static_assert(ONU_RECORD_UNI_AT == offsetof(onu_record, uni));
static_assert(ONU_RECORD_CFG_AT == offsetof(onu_record, profiles));
static_assert(ONU_RECORD_UNI_AT + ONU_RECORD_UNI_SIZE == ONU_RECORD_CFG_AT);
static_assert(ONU_RECORD_CFG_AT + ONU_RECORD_CFG_SIZE <= ONU_RECORD_SIZE);
static_assert(ONU_RECORD_HEAD_SIZE == ONU_RECORD_UNI_AT);
static_assert(CMD_PARAMS_SIZE + ONU_RECORD_ANSWER == 18505);

namespace {

constexpr size_t SUMMARY_STATE = offsetof(onu_summary, state);
constexpr size_t SUMMARY_OLT = offsetof(onu_summary, olt);

// The ONU list commands differ only in the slots they walk, the OLT they
// keep and the size of an entry. The answer is always complete in size.
uint8_t *onu_list_answer(uint8_t *request, const cmd_params &p, int first, int count, int64_t olt, bool full)
{
    size_t entry = full ? ONU_LIST_ENTRY_SIZE : ONU_LIST_COMPACT_SIZE;
    std::vector<uint8_t> entries(size_t(count) * entry);
    onu_list_fill(entries.data(), first, count, olt, full);
    cmd_reply_echo_data(request, p.block, CMD_RC_OK, entries.data(), entries.size());
    return request;
}

// The first slot of the half a full list walks: 1 names the upper half,
// anything else the lower.
int list_half(uint32_t selector) { return selector == 1 ? ONU_LIST_HALF : 0; }

// The record and description commands read the ONU after refreshing its
// UNI ports, as the management process shows what the ports are now. The
// ONU is returned locked, or NULL (unknown, or released meanwhile).
onu_record *refreshed_onu(const uint8_t mac[6])
{
    if (profiler_onu_update_ports(mac) == CMD_RC_NOT_FOUND)
        return nullptr;
    return onu_get_by_mac_locked(mac);
}

} // namespace

int onu_list_fill(uint8_t *out, int first, int count, int64_t olt, bool full)
{
    size_t entry = full ? ONU_LIST_ENTRY_SIZE : ONU_LIST_COMPACT_SIZE;
    std::memset(out, ONU_LIST_FILLER, size_t(count) * entry);
    int listed = 0;
    for (int i = first; i < first + count; i++) {
        uint8_t summary[ONU_SUMMARY_SIZE];
        if (onu_summary_read(i, summary) != 0 || load_le32(summary + SUMMARY_STATE) == ONU_STATE_FREE)
            continue;
        if (olt >= 0 && summary[SUMMARY_OLT] != olt)
            continue;
        uint8_t *at = out + size_t(listed) * entry;
        std::memcpy(at, summary, ONU_LIST_COMPACT_SIZE);
        if (full)
            std::memcpy(at + ONU_LIST_COMPACT_SIZE, summary + ONU_LIST_SUMMARY_INFO, ONU_LIST_INFO_SIZE);
        listed++;
    }
    return listed;
}

uint8_t *cmd_onu_change_counter(uint8_t *request)
{
    uint8_t out[CHANGE_COUNTER_ANSWER] = {};
    store_le32(out, onu_change_counter_get());
    kernhandlers_reply(request, CMD_RC_OK, sizeof out, out);
    return request;
}

uint8_t *cmd_onu_list(uint8_t *request)
{
    // No parameters: the echo is whatever block came, zero-padded.
    return onu_list_answer(request, cmd_params_of(request), 0, ONU_COUNT, -1, false);
}

uint8_t *cmd_onu_list_olt(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    return onu_list_answer(request, p, 0, ONU_COUNT, p.u32(0), false);
}

uint8_t *cmd_onu_list_full(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    return onu_list_answer(request, p, list_half(p.u32(4)), ONU_LIST_HALF, -1, true);
}

uint8_t *cmd_onu_list_full_olt(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    return onu_list_answer(request, p, list_half(p.u32(4)), ONU_LIST_HALF, p.u32(0), true);
}

uint8_t *cmd_onu_record(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    std::vector<uint8_t> out(ONU_RECORD_ANSWER);
    onu_record *onu = refreshed_onu(p.block + ONU_MAC_AT);
    if (!onu) {
        cmd_reply_echo_data(request, p.block, CMD_RC_NOT_FOUND, out.data(), out.size());
        return request;
    }
    const uint8_t *record = reinterpret_cast<const uint8_t *>(onu);
    uint8_t *at = out.data();
    std::memcpy(at, record + ONU_RECORD_UNI_AT, ONU_RECORD_UNI_SIZE);
    std::memcpy(at + ONU_RECORD_UNI_SIZE, record, ONU_RECORD_HEAD_SIZE);
    std::memcpy(at + ONU_RECORD_UNI_SIZE + ONU_RECORD_HEAD_SIZE, record + ONU_RECORD_CFG_AT, ONU_RECORD_CFG_SIZE);
    onu_unlock(onu);
    cmd_reply_echo_data(request, p.block, CMD_RC_OK, out.data(), out.size());
    return request;
}

uint8_t *cmd_onu_description(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint8_t out[ONU_DESCRIPTION_SIZE] = {};
    onu_record *onu = refreshed_onu(p.block + ONU_MAC_AT);
    if (!onu) {
        cmd_reply_echo_data(request, p.block, CMD_RC_NOT_FOUND, out, sizeof out);
        return request;
    }
    static_assert(sizeof onu->description == ONU_DESCRIPTION_SIZE);
    std::memcpy(out, onu->description, sizeof out);
    onu_unlock(onu);
    cmd_reply_echo_data(request, p.block, CMD_RC_OK, out, sizeof out);
    return request;
}

uint8_t *cmd_onu_reconfigure(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    const uint8_t *m = p.block + ONU_MAC_AT;
    syslog(LOG_INFO, "Got signal for reconfigure ONT-%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4],
           m[5]);
    onu_record *onu = onu_get_by_mac_locked(m);
    if (!onu) {
        cmd_reply(request, CMD_RC_NOT_FOUND);
        return request;
    }
    profiler_onu_reconfiguration_init(onu);
    onu_unlock(onu);
    cmd_reply(request, CMD_RC_OK);
    return request;
}

uint8_t *cmd_onu_queues_reset(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    onu_record *onu = onu_get_by_mac_locked(p.block + ONU_MAC_AT);
    if (!onu) {
        cmd_reply(request, CMD_RC_NOT_FOUND);
        return request;
    }
    // Each step only after the one before it took: a layout written over one
    // that was not cleared, or a reset into a layout that was not written,
    // would leave the ONU with queues nobody chose.
    bool done = maint_onu_queues_clear(onu) == 0;
    if (done) {
        clock_delay(ONU_QUEUES_PAUSE_MS);
        done = maint_onu_queues_write(onu) == 0 && maint_onu_reset(onu) == 0;
    }
    onu_unlock(onu);
    cmd_reply(request, done ? CMD_RC_OK : CMD_RC_FAILED);
    return request;
}
