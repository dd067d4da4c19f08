#include "cmd/cmd_schedule.h"

#include "base/balloc.h"
#include "maint/scheduler.h"
#include "mgmt/kernhandlers.h"
#include "mgmt/kernlink.h"
#include "onu/profiler_onu.h"
#include "platform/textconv.h"
#include "store/datastruct.h"
#include "wire/kernmsg.h"

#include <syslog.h>

#include <cstring>

namespace {

constexpr size_t MAC_AT = 8;
constexpr size_t DESCRIPTION_SIZE = 256;

bool mac_is(const uint8_t mac[6], uint8_t fill)
{
    for (int i = 0; i < 6; i++)
        if (mac[i] != fill)
            return false;
    return true;
}

// The log lines of one add, by the scheduler's result.
void log_added(const char *who, const uint8_t mac[6], int rc)
{
    char description[DESCRIPTION_SIZE];
    onu_get_description(mac, description);
    profiler_onu_schedule_log(who, mac, description, rc);
}

// The configuration module's ONU list; false when it did not answer.
bool config_onu_list(std::vector<sched_candidate> *out)
{
    uint8_t *answer = nullptr;
    int rc = kernlink_request(CMD_CFG_ONU_LIST, MODULE_CONFIG, nullptr, 0, &answer, CMD_CFG_ONU_LIST_TIMEOUT);
    // A refusal carries no list: it is a failure, not an empty list.
    if (rc != 0 || !answer || kernmsg_header_decode(answer).rcode != 0) {
        if (answer)
            BFREE(answer);
        return false;
    }
    cmd_params p = cmd_params_of(answer);
    *out = sched_config_list_decode(p.payload, p.size);
    BFREE(answer);
    return true;
}

bool updatable_connected(const uint8_t mac[6])
{
    onu_record *onu = onu_get_by_mac(mac);
    if (!onu)
        return false;
    onu_lock(onu);
    bool wanted = onu->state != ONU_STATE_FREE && std::memcmp(onu->mac, mac, 6) == 0 &&
                  (onu->type == 1 || onu->type == 2 || onu->type == 40);
    onu_unlock(onu);
    return wanted;
}

// Adds every listed ONU that `wanted` picks, until the table is full. The
// result code; the MAC of the last ONU added in `last`, their number in
// `*added`.
template <typename Wanted>
int add_many(uint16_t kind, Wanted wanted, int *added, uint8_t last[6])
{
    std::vector<sched_candidate> onus;
    if (!config_onu_list(&onus))
        return CMD_RC_FAILED;
    int attempts = 0;
    bool full = false;
    *added = 0;
    for (const auto &onu : onus) {
        if (!wanted(onu))
            continue;
        attempts++;
        int rc = scheduler_add(onu.mac, kind);
        if (rc == SCHEDULE_OK) {
            ++*added;
            std::memcpy(last, onu.mac, 6);
        } else if (rc == SCHEDULE_FULL) {
            full = true;
            break;
        }
    }
    return sched_add_many_result(attempts, *added, full);
}

} // namespace

std::vector<sched_candidate> sched_config_list_decode(const uint8_t *payload, size_t size)
{
    std::vector<sched_candidate> out;
    if (size < CMD_PARAMS_SIZE)
        return out;
    byte_reader in(payload + CMD_PARAMS_SIZE, size - CMD_PARAMS_SIZE);
    while (out.size() < SCHED_CFG_ENTRIES_MAX) {
        uint8_t entry[SCHED_CFG_ENTRY_SIZE];
        if (!in.bytes(entry, sizeof entry))
            break;
        const uint8_t *mac = entry + SCHED_CFG_ENTRY_MAC;
        if (mac_is(mac, 0xFF) || mac_is(mac, 0x00))
            break;
        sched_candidate c;
        c.type = entry[SCHED_CFG_ENTRY_TYPE];
        std::memcpy(c.mac, mac, 6);
        out.push_back(c);
    }
    return out;
}

int sched_add_many_result(int attempts, int added, bool full)
{
    if (full)
        return CMD_RC_LIST_FULL;
    if (attempts > 0 && added == 0)
        return CMD_RC_ALREADY_LISTED;
    if (added < attempts)
        return CMD_RC_PARTLY_ADDED;
    return CMD_RC_OK;
}

size_t sched_list_answer_size(int count) { return CMD_PARAMS_SIZE + SCHED_LIST_ENTRY_SIZE * (size_t(count) + 1); }

uint8_t *handler_onu_sched_add(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    int rc = scheduler_add(p.block + MAC_AT, p.u16(0));
    log_added(__func__, p.block + MAC_AT, rc);
    cmd_reply(request, rc);
    return request;
}

uint8_t *handler_onu_sched_del(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    char text[18];
    convert_to_mac(text, p.block + MAC_AT);
    int rc = scheduler_del(p.block + MAC_AT, p.u16(0));
    if (rc == SCHEDULE_OK)
        syslog(LOG_INFO, "%s: ONU %s deleted", __func__, text);
    else
        syslog(LOG_INFO, "%s: ERROR: Can't delete ONU %s", __func__, text);
    cmd_reply(request, rc);
    return request;
}

uint8_t *cmd_onu_sched_list(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    auto *jobs = static_cast<schedule_entry *>(BALLOC(long(sizeof(schedule_entry) * SCHEDULE_SIZE)));
    if (!jobs) {
        cmd_reply(request, CMD_RC_FAILED);
        return request;
    }
    int count = scheduler_list(p.u16(0), jobs, SCHEDULE_SIZE);
    size_t size = sched_list_answer_size(count);
    auto *out = static_cast<uint8_t *>(BALLOC(long(size)));
    if (!out) {
        BFREE(jobs);
        cmd_reply(request, CMD_RC_FAILED);
        return request;
    }
    std::memset(out, 0, size);
    for (int i = 0; i < count; i++) {
        uint8_t *entry = out + CMD_PARAMS_SIZE + SCHED_LIST_ENTRY_SIZE * size_t(i);
        std::memcpy(entry, jobs[i].mac, 6);
        store_le16(entry + 6, jobs[i].kind);
        store_le32(entry + 8, jobs[i].status);
    }
    BFREE(jobs);
    kernhandlers_reply(request, CMD_RC_OK, uint32_t(size), out);
    BFREE(out);
    return request;
}

uint8_t *handler_onu_sched_clear(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    int rc = scheduler_clear(p.u16(0));
    if (rc == SCHEDULE_OK)
        syslog(LOG_INFO, "%s: list's cleared", __func__);
    else
        syslog(LOG_INFO, "%s: ERROR: Can't clear update schedule", __func__);
    cmd_reply(request, rc);
    return request;
}

uint8_t *handler_onu_sched_add_all(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    int added = 0;
    uint8_t last[6] = {};
    int rc = add_many(p.u16(0), [](const sched_candidate &c) { return updatable_connected(c.mac); }, &added, last);
    if (rc != CMD_RC_FAILED) {
        if (added == 0)
            syslog(LOG_INFO, "%s: ERROR: All ONTs are already in the list", __func__);
        else if (added == 1)
            log_added(__func__, last, SCHEDULE_OK);
        else
            syslog(LOG_INFO, "%s: Added %d ONTs to the list", __func__, added);
    }
    cmd_reply(request, rc);
    return request;
}

uint8_t *cmd_onu_sched_add_type(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint32_t type = p.u32(4);
    int added = 0;
    uint8_t last[6];
    int rc = add_many(p.u16(0), [type](const sched_candidate &c) { return c.type == type; }, &added, last);
    cmd_reply(request, rc);
    return request;
}
