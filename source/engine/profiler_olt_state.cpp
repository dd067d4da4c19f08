// OLT configuration: the chip request sender and the configuration fetch
// the other files share, start and stop, the multicast domains, the ONU and
// link counts, the personality writer and the process-wide state.
#include "engine/profiler_olt_internal.h"

#include "base/balloc.h"
#include "base/bytes.h"
#include "base/process.h"
#include "chip/teklink.h"
#include "chip/tekrequest.h"
#include "chip/tektftp.h"
#include "engine/profiler_cache.h"
#include "mgmt/kernlink.h"
#include "platform/log.h"
#include "store/datastruct.h"
#include "wire/kernmsg.h"
#include "wire/personality.h"
#include "wire/tekmsg.h"

#include <syslog.h>

#include <cstring>

const uint8_t OLT_PERS_BASE_MAC[6] = {0x00, 0x0D, 0xB6, 0x41, 0x50, 0x00};

namespace {

// Process-wide, each entry under its OLT's lock.
uint8_t first_configuration[OLT_COUNT] = {1, 1, 1, 1};
uint16_t llid_seed[OLT_COUNT];
uint32_t domains_created[OLT_COUNT];

constexpr uint16_t DOMAIN_QUEUES = 4;

bool valid(int olt, int port) { return olt >= 0 && olt < OLT_COUNT && port >= 0 && port <= 1; }

// Stores `mac` with its six bytes in reverse order.
void put_reversed(uint8_t *at, const uint8_t mac[6])
{
    for (int i = 0; i < 6; i++)
        at[i] = mac[5 - i];
}

int remove_domains(int olt)
{
    int result = 0;
    for (uint16_t k = 0; k < DOMAIN_COUNT; k++) {
        uint16_t domain = uint16_t(DOMAIN_FIRST_ID + k);
        uint8_t data[70];
        result |= olt_send(olt, TEK_REQ_DOMAIN_ADDRESS_REMOVE, data, olt_req_domain_address_remove(domain, data),
                           OLT_CHIP_TIMEOUT);
        result |= olt_send(olt, TEK_REQ_DOMAIN_REMOVE, data, olt_req_domain_remove(domain, data), OLT_CHIP_TIMEOUT);
    }
    domains_created[olt] = 0;
    return result;
}

} // namespace

// ---- shared ------------------------------------------------------------------------

uint8_t *olt_state(olt_record *olt) { return olt->config_state; }

int olt_record_index(const olt_record *olt)
{
    for (int i = 0; i < OLT_COUNT; i++)
        if (olt_get(i) == olt)
            return i;
    return -1;
}

int olt_send(int olt, uint16_t id, const uint8_t *data, size_t len, int timeout, const olt_reader &read)
{
    return tekrequest_read(olt, id, data, len, timeout, [&read](const uint8_t *response) {
        if (tekmsg_rcode(response) != TEKLINK_RCODE_OK)
            return int(TEK_RC_REFUSED);
        if (!read)
            return 0;
        byte_reader in = tekmsg_payload(response);
        in.skip(2);   // RCODE
        return read(in.position(), in.ok() ? in.left() : 0);
    });
}

int olt_short_answer(const char *who, int olt, uint16_t id, size_t len)
{
    trace("%s: OLT[%d] short answer to 0x%04X (%u bytes)\n", who, olt, unsigned(id), unsigned(len));
    return TEK_RC_REFUSED;
}

int olt_indicator(int olt, int port, bool on)
{
    uint8_t data[2];
    return olt_send(olt, TEK_REQ_ONU_INDICATOR, data, olt_req_indicator(port, on, data), OLT_CHIP_TIMEOUT);
}

int olt_fetch_config(const char *who, int olt, int failure_level, uint8_t **msg, const uint8_t **data)
{
    uint8_t params[CFG_PARAMS_SIZE] = {};
    store_le32(params, uint32_t(olt));
    int rc = 0;
    uint8_t *answer = nullptr;
    for (int attempt = 0; attempt < OLT_CONFIG_ATTEMPTS; attempt++) {
        rc = kernlink_request(CFG_CMD_OLT_CONFIG, MODULE_CONFIG, params, sizeof params, &answer, OLT_CONFIG_TIMEOUT);
        if (rc >= 0)
            break;
    }
    if (rc == 0) {
        kernmsg_header header = kernmsg_header_decode(answer);
        if (header.rcode != 0)
            rc = header.rcode;
        // The answer carries the parameter block before the configuration.
        else if (header.len < CFG_PARAMS_SIZE + OLT_CONFIG_DATA_SIZE)
            rc = -1;
        if (rc != 0)
            BFREE(answer);
    }
    if (rc != 0) {
        trace("%s: config request failed(%d)\n", who, rc);
        syslog(failure_level, "%s: config request failed(%d)", who, rc);
        return rc;
    }
    trace("%s: config received\n", who);
    syslog(LOG_INFO, "%s: config received\n", who);
    *msg = answer;
    *data = answer + KERNMSG_HEADER_SIZE + CFG_PARAMS_SIZE;
    return 0;
}

int olt_apply_domains(int olt, const uint8_t *entries)
{
    uint8_t data[OLT_REQUEST_MAX];
    int result = olt_send(olt, TEK_REQ_DOMAIN_SETUP, data, olt_req_domain_setup(data), OLT_CHIP_TIMEOUT);
    for (int k = 0; k < DOMAIN_COUNT; k++) {
        uint16_t domain = uint16_t(DOMAIN_FIRST_ID + k);
        uint16_t index = uint16_t(DOMAIN_FIRST_INDEX + 8 * k);
        const uint8_t *entry = entries + k * DOMAIN_ENTRY_SIZE;
        for (int which = 0; which < DOMAIN_QUEUES; which++)
            result |= olt_send(olt, TEK_REQ_DOMAIN_QUEUE, data, olt_req_domain_queue(index, which, data),
                               OLT_CHIP_TIMEOUT);
        if (!olt_domain_wanted(domain, entry))
            continue;
        result |= olt_send(olt, TEK_REQ_DOMAIN_CREATE, data, olt_req_domain_create(domain, index, data),
                           OLT_CHIP_TIMEOUT);
        result |= olt_send(olt, TEK_REQ_DOMAIN_RULES, data, olt_req_domain_rules(domain, entry, data),
                           OLT_CHIP_TIMEOUT);
        result |= olt_send(olt, TEK_REQ_DOMAIN_VLAN, data, olt_req_domain_vlan(domain, entry, data),
                           OLT_CHIP_TIMEOUT);
        if (entry[DOMAIN_ENABLED])
            result |= olt_send(olt, TEK_REQ_DOMAIN_ADDRESS, data, olt_req_domain_address(domain, entry, data),
                               OLT_CHIP_TIMEOUT);
    }
    domains_created[olt] = 1;
    return result;
}

// ---- operations --------------------------------------------------------------------

int profiler_olt_start(int olt) { return olt_send(olt, TEK_REQ_OLT_START, nullptr, 0, OLT_LONG_TIMEOUT); }
int profiler_olt_stop(int olt) { return olt_send(olt, TEK_REQ_OLT_STOP, nullptr, 0, OLT_LONG_TIMEOUT); }

int profiler_olt_create_domains(olt_record *record)
{
    int olt = olt_record_index(record);
    if (olt < 0)
        return TEKLINK_ERR_ARGUMENT;
    uint8_t *msg = nullptr;
    const uint8_t *config = nullptr;
    int rc = olt_fetch_config(__func__, olt, LOG_INFO, &msg, &config);
    if (rc != 0) {
        olt_set_state_locked(olt, ONU_STATE_CFGFAILED);
        return rc;
    }
    olt_apply_domains(olt, config + OLT_CONFIG_DOMAINS);
    BFREE(msg);
    return 0;
}

int profiler_olt_write_personality(olt_record *record)
{
    int olt = olt_record_index(record);
    if (olt < 0)
        return -1;
    uint8_t *image = tftp_olt_pers_read(olt);
    if (!image)
        return -1;
    uint8_t mac[6];
    mac_add(mac, OLT_PERS_BASE_MAC, uint32_t(olt + 1));
    put_reversed(image + OLT_PERS_CHIP_MAC, mac);
    memset(image + OLT_PERS_ZERO_WORD, 0, 4);
    for (int i = 0; i < 4; i++) {
        mac_add(mac, board_mac, uint32_t(4 * olt + i + 1));
        put_reversed(image + OLT_PERS_PORT_MAC[i], mac);
    }
    int rc = tftp_olt_pers_write(olt, image);
    BFREE(image);
    return rc;
}

// ---- counting ----------------------------------------------------------------------

void profiler_olt_onucnt_increment(int olt, int port, int *choice)
{
    if (!valid(olt, port))
        return;
    olt_lock(olt);
    olt_record *record = olt_get(olt);
    record->onus_total++;
    uint16_t count = ++record->onus_on_port[port];
    olt_indicator(olt, port, true);
    kernlink_notify(EVENT_PON_PORT_ONU_COUNT, uint32_t(olt * 2 + port), count, 0, 0, "");
    if (count == 1 && record->onus_on_port[1 - port] == 0 && domains_created[olt] != 1)
        profiler_olt_create_domains(record);
    if (flags.i && record->onus_second_group[port] < record->onus_first_group[port]) {
        record->onus_second_group[port]++;
        *choice = 0;
    } else {
        record->onus_first_group[port]++;
        *choice = 1;
    }
    olt_unlock(olt);
}

// The counts never go below zero: an ONU released after a reconfiguration
// cleared its OLT's counts was already taken out of them.
void profiler_olt_onucnt_decrement_internal(olt_record *record, int port, int choice)
{
    int olt = olt_record_index(record);
    if (olt < 0 || port < 0 || port > 1)
        return;
    if (record->onus_total)
        record->onus_total--;
    if (record->onus_ok > 0)
        record->onus_ok--;
    if (record->onus_on_port[port] && --record->onus_on_port[port] == 0) {
        olt_indicator(olt, port, false);
        kernlink_notify(EVENT_PON_PORT_EMPTY, uint32_t(olt * 2 + port), 0, 0, 0, "");
        syslog(LOG_INFO, "OLT%d[%d] has no ONT", olt, port);
        trace("%s: OLT%d[%d] has no ONT\n", __func__, olt, port);
        if (record->onus_on_port[1 - port] == 0)
            remove_domains(olt);
    }
    if (choice == 1 && record->onus_first_group[port])
        record->onus_first_group[port]--;
    else if (choice != 1 && record->onus_second_group[port])
        record->onus_second_group[port]--;
}

void profiler_olt_onucnt_decrement(int olt, int port, int choice)
{
    if (!valid(olt, port))
        return;
    olt_lock(olt);
    profiler_olt_onucnt_decrement_internal(olt_get(olt), port, choice);
    olt_unlock(olt);
}

void profiler_olt_link_count_add(int olt, int port)
{
    if (!valid(olt, port))
        return;
    olt_lock(olt);
    olt_state(olt_get(olt))[OLT_STATE_LINK_COUNT + port]++;
    olt_unlock(olt);
}

void profiler_olt_link_count_sub(int olt, int port, int n)
{
    if (!valid(olt, port) || n <= 0)
        return;
    olt_lock(olt);
    uint8_t &count = olt_state(olt_get(olt))[OLT_STATE_LINK_COUNT + port];
    count = n < count ? uint8_t(count - n) : 0;
    olt_unlock(olt);
}

// ---- state ---------------------------------------------------------------------------

uint8_t profiler_olt_global_parameter(const olt_record *olt) { return olt->config_state[OLT_STATE_GLOBAL_PARAMETER]; }
uint8_t profiler_olt_option82_format(const olt_record *olt) { return olt->config_state[OLT_STATE_OPTION82_FORMAT]; }
uint8_t profiler_olt_pppoe_format(const olt_record *olt) { return olt->config_state[OLT_STATE_PPPOE_FORMAT]; }
uint8_t profiler_olt_drssi_enabled(const olt_record *olt, int port)
{
    return port == 0 || port == 1 ? olt->config_state[OLT_STATE_DRSSI + port] : 0;
}
bool olt_port_drssi_enabled(int olt, int port)
{
    olt_lock(olt);
    bool enabled = profiler_olt_drssi_enabled(olt_get(olt), port) != 0;
    olt_unlock(olt);
    return enabled;
}
uint8_t profiler_olt_link_count(const olt_record *olt, int port)
{
    return port == 0 || port == 1 ? olt->config_state[OLT_STATE_LINK_COUNT + port] : 0;
}
uint16_t profiler_olt_onu_pers_version(const olt_record *olt)
{
    return load_le16(olt->config_state + OLT_STATE_PERS_VERSION);
}
uint32_t profiler_olt_status_word(const olt_record *olt) { return load_le32(olt->status); }

void profiler_olt_state_reset()
{
    for (int i = 0; i < OLT_COUNT; i++) {
        first_configuration[i] = 1;
        llid_seed[i] = 0;
        domains_created[i] = 0;
    }
}

uint16_t profiler_olt_llid_seed(int olt) { return llid_seed[olt]; }
void profiler_olt_set_llid_seed(int olt, uint16_t seed) { llid_seed[olt] = seed; }
bool profiler_olt_first_configuration(int olt) { return first_configuration[olt] != 0; }
bool profiler_olt_domains_created(int olt) { return domains_created[olt] == 1; }

// ---- base LLIDs ------------------------------------------------------------------------

uint16_t profiler_olt_auto_llid(uint16_t *seed, int port, uint16_t other_configured)
{
    auto candidate = [port](uint32_t s) { return uint32_t(BASE_LLID_FIRST) + (2 * s + uint32_t(port)) * BASE_LLID_STEP; };
    if (candidate(*seed) == other_configured)
        *seed = candidate(*seed + 1) > BASE_LLID_LAST ? LLID_SEED_SKIP : uint16_t(*seed + 1);
    return uint16_t(((2u * *seed + uint32_t(port) + 8) % 128) * BASE_LLID_STEP);
}

uint16_t profiler_olt_next_seed(uint16_t seed) { return 1024u * seed + 4608 < 32256 ? uint16_t(seed + 1) : 0; }

void profiler_olt_set_base_llid(int olt, olt_record *record, const uint16_t configured[2])
{
    const char *function = __func__;   // the texts name this function, not a reader
    uint16_t &seed = llid_seed[olt];
    bool change = false;
    if (first_configuration[olt]) {
        first_configuration[olt] = 0;
        trace("need change LLID cause first time configure %d!\n", olt);
        change = true;
    } else {
        for (int port = 0; port < 2; port++) {
            uint16_t expected = configured[port]
                                    ? configured[port]
                                    : uint16_t(BASE_LLID_EXPECTED_FIRST + (2 * seed + port) * BASE_LLID_STEP);
            uint8_t data[8];
            uint16_t current = 0;
            // A value the chip cannot tell is one the daemon cannot rely on:
            // set them again.
            int rc = olt_send(olt, TEK_REQ_BASE_LLID_READ, data, olt_req_mac_port(record->mac, port, data),
                              OLT_LONG_TIMEOUT, [&](const uint8_t *answer, size_t len) {
                                  if (olt_base_llid_decode(answer, len, &current))
                                      return 0;
                                  return olt_short_answer(function, olt, TEK_REQ_BASE_LLID_READ, len);
                              });
            if (rc != 0 || current != expected)
                change = true;
        }
    }
    if (!change)
        return;
    for (int port = 0; port < 2; port++) {
        trace("BASE LLID %d:%d = %04x\n", olt, port, configured[port]);
        uint16_t value = configured[port] ? configured[port] : profiler_olt_auto_llid(&seed, port, configured[1 - port]);
        uint8_t data[12];
        int rc = olt_send(olt, TEK_REQ_BASE_LLID_WRITE, data, olt_req_base_llid_write(record->mac, port, value, data),
                          OLT_LONG_TIMEOUT);
        if (rc == 0) {
            trace("%s: base LLID for %d:%d set to %04x\n", __func__, olt, port, value);
            record->ports[port].base_llid = value;
            continue;
        }
        trace("%s: set base LLID for %d:%d ERROR %d\n", __func__, olt, port, rc);
        olt_send(olt, TEK_REQ_BASE_LLID_READ, data, olt_req_mac_port(record->mac, port, data), OLT_LONG_TIMEOUT,
                 [&](const uint8_t *answer, size_t len) {
                     uint16_t current;
                     if (!olt_base_llid_decode(answer, len, &current))
                         return olt_short_answer(function, olt, TEK_REQ_BASE_LLID_READ, len);
                     record->ports[port].base_llid = current;
                     return 0;
                 });
    }
    seed = profiler_olt_next_seed(seed);
}
