// Links: discovery, configuration (OAM rate, path, SLAs) and teardown.
#include "onu/profiler_link.h"

#include "chip/tekrequest.h"
#include "onu/profiler_onu.h"

#include "base/bytes.h"
#include "engine/profiler.h"
#include "engine/profiler_cache.h"
#include "engine/profiler_olt.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/textconv.h"
#include "store/datastruct.h"
#include "wire/tekmsg.h"

#include <syslog.h>

#include <cstring>

namespace {

constexpr uint8_t OAM_RATE_FIRST = 25;
constexpr uint8_t OAM_RATE_SECOND = 10;
constexpr size_t PATH_QUERY_VALUE = 14;   // answer offset of the value
constexpr uint16_t LLID_REINIT = 65535;

uint16_t chip_id(const onu_record *onu) { return load_be16(onu->chip_id); }

// A shaping record on the wire: the 32- and 16-bit fields big-endian, the
// class as is. `value` replaces the record's own 32-bit field.
uint8_t *put_shaping(uint8_t *p, const uint8_t *record, uint32_t value)
{
    uint16_t second;
    uint16_t third;
    memcpy(&second, record + 4, 2);
    memcpy(&third, record + 7, 2);
    store_be32(p, value);
    store_be16(p + 4, second);
    p[6] = record[6];
    store_be16(p + 7, third);
    return p + SHAPING_RECORD_SIZE;
}

uint32_t shaping_value(const uint8_t *record)
{
    uint32_t value;
    memcpy(&value, record, 4);
    return value;
}

// The pair of records as sent: an unused second record carries the first
// record's 32-bit field.
uint8_t *put_shaping_pair(uint8_t *p, const uint8_t *first, const uint8_t *second)
{
    p = put_shaping(p, first, shaping_value(first));
    uint32_t value = second[6] == SLA_CLASS_UNUSED ? shaping_value(first) : shaping_value(second);
    return put_shaping(p, second, value);
}

bool both_unused(const uint8_t *first, const uint8_t *second)
{
    return first[6] == SLA_CLASS_UNUSED && second[6] == SLA_CLASS_UNUSED;
}

// Sends one SLA payload; the texts name the step.
int send_sla(int olt, uint16_t id, const uint8_t *payload, size_t len, const char *link, const char *step,
             const char *function)
{
    uint16_t rcode = 0;
    int rc = tekrequest_result(olt, id, payload, len, TEKREQUEST_TIMEOUT, &rcode);
    if (rc == TEK_RC_NO_MEMORY) {
        trace(" ===== %s: ERRNORESOURCES! \n", function);
        return rc;
    }
    if (rc < 0) {
        syslog(LOG_INFO, "%s: teklink_message_send: link %s set %s failed(ret %d)", function, link, step, rc);
        trace("%s: teklink_message_send: link %s set %s failed(ret %d)", function, link, step, rc);
        return rc;
    }
    if (rc == TEK_RC_REFUSED) {
        if (strcmp(step, "USQ SLA") == 0)
            syslog(LOG_INFO, "%s: link %s set USQ SLA failed(%d)", function, link, int(rcode));
        else
            syslog(LOG_INFO, "%s: link %s set %s failed(response->header.rcode %d)", function, link, step,
                   int(rcode));
        trace("%s: link %s set %s failed(response->header.rcode %d)", function, link, step, int(rcode));
    }
    return rc;
}

// A teardown request of 2 or 6 bytes: its result, and the rcode for texts.
int teardown(int olt, uint16_t id, const uint8_t *payload, size_t len, uint16_t *rcode)
{
    *rcode = 0;
    return tekrequest_result(olt, id, payload, len, TEKREQUEST_TIMEOUT, rcode);
}

void put16(uint8_t out[2], uint16_t v) { store_be16(out, v); }

} // namespace

// ---- payload builders -------------------------------------------------------

void link_oam_rate_payload(const uint8_t link_mac[6], uint8_t out[OAM_RATE_LEN])
{
    memcpy(out, link_mac, 6);
    out[6] = OAM_RATE_FIRST;
    out[7] = OAM_RATE_SECOND;
}

uint16_t link_egress_port(int pon, bool swap)
{
    if (swap)
        return pon == 0 ? 2 : 3;
    return pon == 0 ? 3 : 2;
}

void link_create_path_payload(uint16_t path, int pon, bool swap, uint8_t out[PATH_CREATE_LEN])
{
    const uint16_t words[7] = {path, uint16_t(pon), 1, 16, link_egress_port(pon, swap), 1, 16};
    for (int i = 0; i < 7; i++)
        store_be16(out + 2 * i, words[i]);
}

void link_path_query_payload(uint16_t path, uint8_t out[PATH_QUERY_LEN])
{
    memset(out, 0, PATH_QUERY_LEN);
    store_be16(out, path);
}

bool link_queue_sla_payload(uint16_t queue, const uint8_t *first, const uint8_t *second, uint8_t out[QUEUE_SLA_LEN])
{
    if (both_unused(first, second))
        return false;
    store_be16(out, queue);
    store_be16(out + 2, 0);
    put_shaping_pair(out + 4, first, second);
    return true;
}

bool link_sla_payload(const uint8_t link_mac[6], const uint8_t *up_first, const uint8_t *up_second,
                      uint8_t out[LINK_SLA_LEN])
{
    if (both_unused(up_first, up_second))
        return false;
    memcpy(out, link_mac, 6);
    uint8_t *p = put_shaping_pair(out + 6, up_first, up_second);
    p[0] = 1;
    p[1] = up_first[6] < up_second[6] ? up_first[6] : up_second[6];
    memset(p + 2, 0, 8);
    return true;
}

// ---- discovery ----------------------------------------------------------------

namespace {

// A new ONU record for the registration, locked; NULL when the table is full.
onu_record *create_onu(int olt, const uint8_t *registration, const char *onu_text, const char *link_text)
{
    const uint8_t *info = registration + LINK_RECORD_ONU_INFO;
    onu_record *onu = onu_alloc();
    if (!onu) {
        // Nothing could hold the ONU: the registration stops here rather
        // than being processed against a record that is not there. The chip
        // has acknowledged the link by now; it is released there too, so the
        // ONU registers again later and finds a record once one is free.
        syslog(LOG_ERR, "ONT %s (link %s): no free ONU record, registration ignored", onu_text, link_text);
        trace("ONT %s (link %s): no free ONU record, registration ignored\n", onu_text, link_text);
        profiler_onu_link_release_internal(olt, registration + LINK_RECORD_MAC);
        profiler_onu_link_clear_internal(olt, registration + LINK_RECORD_MAC);
        return nullptr;
    }
    onu_lock(onu);
    memcpy(onu->mac, info + ONU_INFO_BASE_MAC, 6);
    onu->olt = uint8_t(olt);
    onu->port = registration[LINK_RECORD_PORT];
    memcpy(onu->chip_id, info + ONU_INFO_CHIP_ID, 2);
    onu->type = info[ONU_INFO_TYPE];
    onu->hardware = info[ONU_INFO_HARDWARE];
    uint16_t chip = chip_id(onu);
    if (chip == ONU_CHIP_8600 || chip == ONU_CHIP_6838) {
        memcpy(onu->info, info + ONU_INFO_BLOCK, sizeof onu->info);
        onu_summary_set_info(onu);
    }
    onu->fw_version = load_be16(info + ONU_INFO_FW);
    int group = 0;
    profiler_olt_onucnt_increment(olt, onu->port, &group);
    if (group == 1)   // counted in the first registration group
        onu->cfg_flags |= ONU_CFG_EGRESS_SWAP;
    onu->link_count = ONU_LINKS;
    onu_links_init(onu);
    onu_set_state(onu, ONU_STATE_ALLOCATED);
    onu->cfg_flags |= ONU_CFG_PENDING;
    trace("ONT %s is allocated by link %s\n", onu_text, link_text);
    syslog(LOG_ERR, "ONT %s is allocated by link %s", onu_text, link_text);
    profiler_onu_port_block(onu->olt, onu->mac, ONU_PORT_RFOUT, false);
    return onu;
}

} // namespace

onu_record *profiler_link_discovery(int olt, uint8_t *registration)
{
    const uint8_t *link_mac = registration + LINK_RECORD_MAC;
    const uint8_t *onu_mac = registration + LINK_RECORD_ONU_INFO + ONU_INFO_BASE_MAC;
    char onu_text[18];
    char link_text[18];
    convert_to_mac(onu_text, onu_mac);
    convert_to_mac(link_text, link_mac);

    onu_record *onu = onu_get_by_mac_locked(onu_mac);
    if (!onu) {
        onu = create_onu(olt, registration, onu_text, link_text);
        if (!onu)
            return nullptr;
    }

    for (int i = 0; i < ONU_LINKS; i++) {
        link_record *link = &onu->links[i];
        if (memcmp(link->mac, link_mac, 6) != 0 || link->state == ONU_STATE_REPORTTIMEOUT)
            continue;
        trace("ONT %s discovered link %s\n", onu_text, link_text);
        if (link->llid != 0) {
            trace("ONT %s double discovered link %s\n", onu_text, link_text);
            syslog(LOG_INFO, "ONT %s double discovered link %s", onu_text, link_text);
            break;
        }
        if (onu->cfg_flags & (1u << i)) {
            trace("%s: %s link %d is already configured\n", __func__, link_text, i);
            syslog(LOG_INFO, "%s: %s link %d is already configured", __func__, link_text, i);
            break;
        }
        link->state = ONU_STATE_DISCOVERED;
        onu->discovered_links++;
        profiler_olt_link_count_add(olt, onu->port);
        link->state_time = uptime_seconds();
        link->llid = load_be16(registration + LINK_RECORD_LLID);
        onu_change_counter_bump();
    }

    if (memcmp(link_mac, onu->mac, 6) == 0 && onu->links[0].state != ONU_STATE_REPORTTIMEOUT)
        profiler_onu_authorization_start(onu);
    else
        onu_summary_update(onu);
    return onu;
}

// ---- configuration ---------------------------------------------------------------

int profiler_onu_link_set_oam_rate_internal(int olt, const uint8_t link_mac[6])
{
    uint8_t payload[OAM_RATE_LEN];
    link_oam_rate_payload(link_mac, payload);
    return tekrequest_result(olt, TEK_REQ_LINK_OAM_RATE, payload, sizeof payload);
}

int profiler_onu_link_path_query_internal(int olt, uint16_t path, uint16_t *value)
{
    uint8_t payload[PATH_QUERY_LEN];
    link_path_query_payload(path, payload);
    auto read = [value](const uint8_t *response) {
        const uint8_t *answer = tekrequest_answer(response, PATH_QUERY_VALUE + 2);
        if (!answer)
            return int(TEK_RC_REFUSED);
        *value = load_be16(answer + PATH_QUERY_VALUE);
        return 0;
    };
    int rc = tekrequest_read(olt, TEK_REQ_PATH_QUERY, payload, sizeof payload, LINK_PATH_QUERY_TIMEOUT, read);
    return rc == TEK_RC_NO_MEMORY ? -1 : rc;
}

int profiler_onu_link_create_path_internal(int olt, uint16_t chip, const uint8_t link_mac[6], int pon, uint16_t *path,
                                           bool swap)
{
    static const char *const function = "profiler_onu_link_create_path_internal";
    int id = olt_path_id_alloc(olt);
    if (id < 0) {
        trace(" ===== %s: ERRNORESOURCES! \n", function);
        return TEK_RC_NO_MEMORY;
    }
    *path = uint16_t(id);
    char link[18];
    convert_to_mac(link, link_mac);

    uint8_t payload[PATH_CREATE_LEN];
    link_create_path_payload(*path, pon, swap, payload);
    uint16_t rcode = 0, answer_id = 0;
    int rc = tekrequest_read(olt, TEK_REQ_PATH_CREATE, payload, sizeof payload, TEKREQUEST_TIMEOUT,
                             [&](const uint8_t *response) {
                                 rcode = tekmsg_rcode(response);
                                 answer_id = tekmsg_id(response);
                                 return 0;
                             });
    if (rc == TEK_RC_NO_MEMORY) {
        trace(" ===== %s: ERRNORESOURCES! \n", function);
        return rc;
    }
    if (rc < 0) {
        syslog(LOG_ERR, "%s: teklink_message_send: link %s create new path(%d) failed(ret %d)", function, link,
               id, rc);
        trace("%s: teklink_message_send: link %s create new path(%d) failed(ret %d)", function, link, id, rc);
        return rc;
    }
    if (rcode == TEKLINK_RCODE_OK)
        return 0;
    uint16_t value = 1;
    if (chip != ONU_CHIP_6838 && rcode == PATH_CREATE_FIXED_RCODE &&
        profiler_onu_link_path_query_internal(olt, *path, &value) == 0 && value == 0) {
        trace("===== [%d] %s: link %s create new path(%d) failed(%d) - fixed\n", int(answer_id), function, link, id,
              int(PATH_CREATE_FIXED_RCODE));
        return 0;
    }
    syslog(LOG_ERR, "%s: link %s create new path(%d) failed(response->header.rcode %d)", function, link, id,
           int(rcode));
    trace("%s: link %s create new path(%d) failed(response->header.rcode %d)", function, link, id, int(rcode));
    return TEK_RC_REFUSED;
}

int profiler_onu_link_set_sla_internal(int olt, const uint8_t link_mac[6], int, uint16_t path, const uint8_t *entry)
{
    static const char *const function = "profiler_onu_link_set_sla_internal";
    char link[18];
    convert_to_mac(link, link_mac);
    uint8_t queue[QUEUE_SLA_LEN];
    if (link_queue_sla_payload(path, entry + SLA_DOWN_FIRST, entry + SLA_DOWN_SECOND, queue)) {
        int rc = send_sla(olt, TEK_REQ_QUEUE_SLA, queue, sizeof queue, link, "DSQ SLA", function);
        if (rc != 0)
            return rc;
    }
    if (link_queue_sla_payload(uint16_t(path + 1), entry + SLA_UP_FIRST, entry + SLA_UP_SECOND, queue)) {
        int rc = send_sla(olt, TEK_REQ_QUEUE_SLA, queue, sizeof queue, link, "USQ SLA", function);
        if (rc != 0)
            return rc;
    }
    uint8_t sla[LINK_SLA_LEN];
    if (!link_sla_payload(link_mac, entry + SLA_UP_FIRST, entry + SLA_UP_SECOND, sla))
        return 0;
    return send_sla(olt, TEK_REQ_LINK_SLA, sla, sizeof sla, link, "link SLA", function);
}

int profiler_link_reconfigure_internal(onu_record *onu, int index)
{
    static const char *const function = "profiler_link_reconfigure_internal";
    profiler_onu_update_timestamp_internal(onu);
    if (index < 0 || index >= onu->link_count || index >= ONU_LINKS)
        return 2;
    link_record *link = &onu->links[index];
    char link_text[18];
    convert_to_mac(link_text, link->mac);
    if (onu->cfg_flags & (1u << index)) {
        trace(" ===== %s: link %s already configured\n", function, link_text);
        return TEK_RC_REFUSED;
    }
    link->path_id = 0;
    link->dest_index = 0;
    link->state = ONU_STATE_CFGINPROGRESS;
    onu_change_counter_bump();
    bool swap = (onu->cfg_flags & ONU_CFG_EGRESS_SWAP) != 0;

    int rc = profiler_onu_link_set_oam_rate_internal(onu->olt, link->mac);
    if (rc != 0) {
        trace("%s: %s link %d set OAM rate failed\n", function, link_text, index);
        syslog(LOG_INFO, "%s: %s link %d set OAM rate failed", function, link_text, index);
    } else {
        uint16_t path = 0;
        rc = profiler_onu_link_create_path_internal(onu->olt, chip_id(onu), link->mac, onu->port, &path, swap);
        link->path_id = path;
        if (rc != 0) {
            syslog(LOG_INFO, "%s: create ONT %s (desc: %s) link %d failed", function, link_text, onu->description,
                   index);
        } else {
            uint8_t profile = onu->profiles[ONU_PROFILE_SLA];
            if (profile >= PROFILE_ENTRIES) {
                // The cache holds 64 profiles; a larger index would read past it.
                syslog(LOG_INFO, "%s: ONT %s (desc: %s) link %d: SLA profile %d does not exist", function, link_text,
                       onu->description, index, int(profile));
                trace("%s: ONT %s (desc: %s) link %d: SLA profile %d does not exist\n", function, link_text,
                      onu->description, index, int(profile));
                rc = TEK_RC_REFUSED;
            } else {
                const uint8_t *entry = cfgcache()->sla[profile] + SLA_PROFILE_ENTRY + SLA_ENTRY_SIZE * size_t(index);
                rc = profiler_onu_link_set_sla_internal(onu->olt, link->mac, onu->port, link->path_id, entry);
            }
            if (rc != 0)
                syslog(LOG_INFO, "%s: set SLA for ONT %s (desc: %s) link %d failed", function, link_text,
                       onu->description, index);
        }
    }
    if (rc == 0) {
        link->state = ONU_STATE_OK;
        onu_change_counter_bump();
    }
    onu->cfg_flags |= 1u << index;
    return rc;
}

int profiler_links_reconfigure_internal(onu_record *onu)
{
    for (int i = 0; i < onu->link_count && i < ONU_LINKS; i++)
        if (profiler_link_reconfigure_internal(onu, i) != 0)
            return TEK_RC_REFUSED;
    return 0;
}

void profiler_onu_reconfiguration_init(onu_record *onu)
{
    const uint8_t *m = onu->mac;
    syslog(LOG_INFO, "ONT-%02X:%02X:%02X:%02X:%02X:%02X reconfiguration initialized", m[0], m[1], m[2], m[3], m[4],
           m[5]);
    for (auto &link : onu->links) {
        link.state = ONU_STATE_REPORTTIMEOUT;
        link.llid = LLID_REINIT;
        link.state_time = uptime_seconds();
        onu_change_counter_bump();
    }
    onu_summary_update(onu);
}

// ---- teardown --------------------------------------------------------------------

int profiler_onu_link_release_internal(int olt, const uint8_t link_mac[6])
{
    return tekrequest_result(olt, TEK_REQ_LINK_RELEASE, link_mac, 6);
}

int profiler_onu_link_clear_internal(int olt, const uint8_t link_mac[6])
{
    static const char *const function = "profiler_onu_link_clear_internal";
    char link[18];
    convert_to_mac(link, link_mac);
    uint16_t rcode = 0;
    int rc = teardown(olt, TEK_REQ_LINK_CLEAR, link_mac, 6, &rcode);
    if (rc == TEK_RC_NO_MEMORY)
        return rc;
    if (rc < 0) {
        trace("%s: %s clear link failed\n", function, link);
        return TEK_RC_REFUSED;
    }
    if (rc == TEK_RC_REFUSED) {
        trace("%s: %s clear link failed (error %d)\n", function, link, int(rcode));
        return TEK_RC_REFUSED;
    }
    trace("%s: %s clear link OK\n", function, link);
    return 0;
}

int profiler_onu_link_cleanup_internal(int olt, onu_record *onu, int index)
{
    static const char *const function = "profiler_onu_link_cleanup_internal";
    const link_record *link = &onu->links[index];
    char text[18];
    convert_to_mac(text, link->mac);
    uint8_t payload[2];
    uint16_t rcode = 0;
    // Every step runs; any failure makes the result 3, and the caller then
    // keeps the link's path slot.
    bool any = false;
    auto note = [&any](int rc) { any = any || rc != 0; };

    uint16_t dest = link->dest_index;
    put16(payload, dest);
    int rc = teardown(olt, TEK_REQ_DEST_QUERY, payload, 2, &rcode);
    if (rc == TEK_RC_NO_MEMORY)
        return rc;
    if (rc < 0)
        note(rc);
    if (rc == 0) {
        rc = teardown(olt, TEK_REQ_DEST_LEARNING_DELETE, payload, 2, &rcode);
        if (rc == TEK_RC_NO_MEMORY)
            return rc;
        if (rc < 0)
            trace("%s: %s delete learning control for destination[%d] failed\n", function, text, int(dest));
        else if (rc == TEK_RC_REFUSED)
            trace("%s: %s delete learning control for destination[%d] failed (error %d)\n", function, text,
                  int(dest), int(rcode));
        else
            trace("%s: %s delete learning control for destination[%d] OK\n", function, text, int(dest));
        note(rc);
        rc = teardown(olt, TEK_REQ_DEST_DELETE, payload, 2, &rcode);
        if (rc == TEK_RC_NO_MEMORY)
            return rc;
        if (rc != 0)
            trace("%s: %s delete destination[%d] failed\n", function, text, int(dest));
        else
            trace("%s: %s delete destination[%d] OK\n", function, text, int(dest));
        note(rc);
    }

    uint16_t path = link->path_id;
    if (path >= OLT_PATH_ID_BASE) {
        static const char *const names[2][2] = {{"dsq", "DSQ"}, {"usq", "USQ"}};
        for (int q = 0; q < 2; q++) {
            uint8_t sla[4];
            put16(sla, uint16_t(path + q));
            put16(sla + 2, 0);
            rc = teardown(olt, TEK_REQ_QUEUE_SLA_DELETE, sla, 4, &rcode);
            if (rc == TEK_RC_NO_MEMORY)
                return rc;
            if (rc < 0)
                trace("%s: %s delete %s sla failed\n", function, text, names[q][0]);
            else if (rc == TEK_RC_REFUSED)
                trace("%s: %s delete %s sla failed (error %d)\n", function, text, names[q][0], int(rcode));
            else
                trace("%s: %s delete %s SLA OK\n", function, text, names[q][1]);
            note(rc);
        }
        trace("%s: %s start del path %d\n", function, text, int(path));
        put16(payload, path);
        rc = teardown(olt, TEK_REQ_PATH_DELETE, payload, 2, &rcode);
        if (rc == TEK_RC_NO_MEMORY)
            return rc;
        if (rc < 0)
            trace("%s: %s delete path %d failed\n", function, text, int(path));
        else if (rc == TEK_RC_REFUSED)
            trace("%s: %s delete path %d failed (error %d)\n", function, text, int(path), int(rcode));
        else
            trace("%s: %s delete olt path %d %s\n", function, text, int(path), "ok");
        note(rc);
    }
    return any ? TEK_RC_REFUSED : 0;
}

int profiler_onu_links_cleanup(onu_record *onu)
{
    int result = 0;
    for (int i = 0; i < ONU_LINKS; i++) {
        result |= profiler_onu_link_release_internal(onu->olt, onu->links[i].mac);
        result |= profiler_onu_link_clear_internal(onu->olt, onu->links[i].mac);
    }
    for (int i = 0; i < ONU_LINKS; i++) {
        int rc = profiler_onu_link_cleanup_internal(onu->olt, onu, i);
        if (rc == 0)
            olt_path_id_free(onu->olt, onu->links[i].path_id);
        result |= rc;
    }
    return result;
}
