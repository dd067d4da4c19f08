// OLT configuration: the reconfiguration sequence and its port, global and
// identifier steps. The requests' bytes come from profiler_olt_requests;
// this file sends them in order and keeps the OLT record up to date.
#include "engine/profiler_olt_internal.h"

#include "base/balloc.h"
#include "base/bytes.h"
#include "base/process.h"
#include "engine/profiler_cache.h"
#include "mgmt/kernlink.h"
#include "platform/log.h"
#include "platform/sandbox.h"
#include "platform/textconv.h"
#include "store/datastruct.h"
#include "chip/teklink.h"
#include "wire/personality.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

profiler_olt_hook_table profiler_olt_hooks;

namespace {

void sleep_ms(unsigned ms) { usleep(useconds_t(ms) * 1000); }

} // namespace

void (*profiler_olt_sleep_ms)(unsigned ms) = sleep_ms;

namespace {

const char *const RECONFIGURE = "profiler_olt_reconfigure";

void set_sfp_unknown(olt_record *record)
{
    for (int port = 0; port < 2; port++) {
        strcpy(record->ports[port].sfp_vendor, "--");
        strcpy(record->ports[port].sfp_part, "--");
    }
}

// The ONU personality's version byte, when the board keeps ONU
// personalities up to date. Only the version is taken; problems with the
// file skip it. The file is read without the OLT; its version is stored
// under the OLT's lock.
void read_onu_pers_version(int olt, olt_record *record)
{
    if (access(sandbox_path(ONU_PERS_AUTOUPDATE_FLAG).c_str(), F_OK) != 0)
        return;
    int fd = open(sandbox_path(ONU_PERS_FILE).c_str(), O_RDONLY);
    if (fd < 0) {
        syslog(LOG_INFO, "Can't load personality\n");
        return;
    }
    struct stat st;
    uint8_t image[ONU_PERS_SIZE];
    size_t got = 0;
    if (fstat(fd, &st) != 0) {
        syslog(LOG_INFO, "Can't stat personality\n");
    } else if (size_t(st.st_size) != ONU_PERS_SIZE) {
        syslog(LOG_INFO, "Wrong personality format\n");
    } else {
        while (got < ONU_PERS_SIZE) {
            ssize_t n = read(fd, image + got, ONU_PERS_SIZE - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += size_t(n);
        }
        if (got == ONU_PERS_SIZE) {
            olt_lock(olt);
            store_le16(olt_state(record) + OLT_STATE_PERS_VERSION, image[ONU_PERS_VERSION_AT]);
            olt_unlock(olt);
        } else
            syslog(LOG_INFO, "Can't read personality\n");
    }
    while (close(fd) != 0 && errno == EINTR) {
    }
}

// One port settings write-back: the bytes of the entry consumed, or -1 when
// the chip refuses it.
int port_settings_write(int olt, const uint8_t *mac, int port, const uint8_t *entry, size_t entry_len)
{
    uint8_t *request = static_cast<uint8_t *>(BALLOC(entry_len + 11));
    if (!request)
        return -1;
    size_t len = olt_req_port_settings_write(mac, port, entry, entry_len, request);
    int rc = olt_send(olt, TEK_REQ_PORT_SETTINGS_WRITE, request, len, OLT_CHIP_TIMEOUT);
    BFREE(request);
    return rc == 0 ? int(entry_len) : -1;
}

// Port settings refresh of one port: the chip's own entries written back.
int port_settings_refresh(int olt, const uint8_t *mac, int port)
{
    uint8_t data[OLT_REQUEST_MAX];
    auto write_back = [&](const uint8_t *answer, size_t len) {
        // A refused write ends the port's entries; the port's result stays 0.
        bool whole = olt_port_settings_walk(answer, len, [&](const uint8_t *entry, size_t size) {
            return port_settings_write(olt, mac, port, entry, size) >= 0;
        });
        return whole ? 0 : olt_short_answer("port_settings_refresh", olt, TEK_REQ_PORT_SETTINGS_READ, len);
    };
    return olt_send(olt, TEK_REQ_PORT_SETTINGS_READ, data, olt_req_port_settings_read(mac, port, data),
                    OLT_CHIP_TIMEOUT, write_back);
}

// The four rule tables of a port block.
int write_rule_tables(int olt, const uint8_t *mac, int port, const uint8_t *tables, int *refused)
{
    uint8_t *request = static_cast<uint8_t *>(BALLOC(OLT_RULES_REQUEST_MAX));
    if (!request)
        return TEK_RC_NO_MEMORY;
    int rc = 0;
    for (int t = 0; t < RULE_TABLES && rc >= 0; t++) {
        size_t len = olt_req_rules(mac, port, tables + t * RULE_TABLE_SIZE, request);
        if (len == 0)
            continue;
        rc = olt_send(olt, TEK_REQ_PORT_RULES, request, len, OLT_CHIP_TIMEOUT);
        if (rc > 0)
            *refused |= rc;
    }
    BFREE(request);
    return rc < 0 ? rc : 0;
}

// The transceiver of PON port `port`: its texts into the port table and the
// DRSSI decision. 0, or what the DRSSI enabling request returned.
int check_transceiver(int olt, olt_record *record, int port)
{
    uint8_t data[OLT_REQUEST_MAX];
    char vendor[SFP_TEXT], part[SFP_TEXT];
    auto decode = [&](const uint8_t *answer, size_t len) {
        if (olt_sfp_decode(answer, len, vendor, part))
            return 0;
        return olt_short_answer("check_transceiver", olt, TEK_REQ_SFP_INFO, len);
    };
    if (olt_send(olt, TEK_REQ_SFP_INFO, data, olt_req_sfp_info(record->mac, port, data), OLT_SFP_TIMEOUT, decode) != 0)
        return 0;
    memcpy(record->ports[port].sfp_part, part, SFP_TEXT);
    memcpy(record->ports[port].sfp_vendor, vendor, SFP_TEXT);
    uint8_t *drssi = olt_state(record) + OLT_STATE_DRSSI + port;
    if (!olt_sfp_drssi_supported(part)) {
        *drssi = 0;
        syslog(LOG_INFO, "OLT%d[%d] DRSSI feature disabled. Unsupported SFP tranceiver %s", olt, port, part);
        return 0;
    }
    *drssi = 1;
    trace("OLT%d[%d] DRSSI feature enabled. SFP tranceiver %s\n", olt, port, part);
    syslog(LOG_INFO, "OLT%d[%d] DRSSI feature enabled. SFP tranceiver %s", olt, port, part);
    return olt_send(olt, TEK_REQ_DRSSI, data, olt_req_drssi(record->mac, port, true, data), OLT_CHIP_TIMEOUT);
}

// A PON port request built from the MAC, the port and the port's block.
using port_builder = size_t (*)(const uint8_t *mac, int port, const uint8_t *block, uint8_t *out);
struct port_step {
    uint16_t id;
    port_builder build;
};

size_t pon_clear(const uint8_t *m, int p, const uint8_t *, uint8_t *o) { return olt_req_pon_clear(m, p, o); }
size_t pon_timing(const uint8_t *m, int p, const uint8_t *, uint8_t *o) { return olt_req_pon_timing(m, p, o); }
size_t drssi_off(const uint8_t *m, int p, const uint8_t *, uint8_t *o) { return olt_req_drssi(m, p, false, o); }
size_t port_only(const uint8_t *m, int p, const uint8_t *, uint8_t *o) { return olt_req_mac_port(m, p, o); }

// Before the transceiver check: any failure ends the port.
const port_step PON_FIRST_STEPS[] = {
    {TEK_REQ_PON_PORT_PARAMS, olt_req_pon_params},
    {TEK_REQ_PON_PORT_CLEAR, pon_clear},
    {TEK_REQ_PON_PORT_TIMING, pon_timing},
    {TEK_REQ_DRSSI, drssi_off},
};
// After the rules: refusals are tolerated, a broken link is not. The port
// enable request follows them.
const port_step PON_LATER_STEPS[] = {
    {TEK_REQ_PON_PORT_TABLE, olt_req_pon_table},
    {TEK_REQ_PON_PORT_VALUES, olt_req_pon_values},
    {TEK_REQ_PON_PORT_LEVELS, olt_req_pon_levels},
    {TEK_REQ_PON_PORT_SWITCH, olt_req_pon_switch},
};

int pon_port_configure(int olt, olt_record *record, int port, const uint8_t *block)
{
    const uint8_t *mac = record->mac;
    uint8_t data[OLT_REQUEST_MAX];
    for (const auto &step : PON_FIRST_STEPS) {
        int rc = olt_send(olt, step.id, data, step.build(mac, port, block, data), OLT_CHIP_TIMEOUT);
        if (rc != 0)
            return rc;
    }
    profiler_olt_sleep_ms(OLT_PORT_SETTLE_MS);
    int rc = check_transceiver(olt, record, port);
    if (rc != 0)
        return rc;

    int refused = 0;
    rc = write_rule_tables(olt, mac, port, block + PON_RULES, &refused);
    if (rc < 0)
        return rc;
    const port_step enable = {block[PON_ENABLE] == 1 ? TEK_REQ_PORT_ENABLE : TEK_REQ_PORT_DISABLE, port_only};
    for (const auto &step : PON_LATER_STEPS) {
        rc = olt_send(olt, step.id, data, step.build(mac, port, block, data), OLT_CHIP_TIMEOUT);
        if (rc < 0)
            return rc;
    }
    rc = olt_send(olt, enable.id, data, enable.build(mac, port, block, data), OLT_CHIP_TIMEOUT);
    if (rc < 0)
        return rc;
    if (block[PON_ENABLE]) {
        kernlink_notify(EVENT_PON_PORT_EMPTY, uint32_t(olt * 2 + port), 0, 0, 0, "");
        olt_indicator(olt, port, false);
    }
    return 0;
}

int nni_port_configure(int olt, const uint8_t *mac, int port, const uint8_t *block)
{
    uint8_t data[OLT_REQUEST_MAX];
    int result = 0;
    int rc = olt_send(olt, TEK_REQ_NNI_PORT_PARAMS, data, olt_req_nni_params(mac, port, data), OLT_CHIP_TIMEOUT);
    if (rc < 0)
        return rc;
    result |= rc;
    rc = olt_send(olt, TEK_REQ_PORT_ENABLE, data, olt_req_mac_port(mac, port, data), OLT_CHIP_TIMEOUT);
    if (rc < 0)
        return rc;
    result |= rc;
    rc = write_rule_tables(olt, mac, port, block + NNI_RULES, &result);
    return rc < 0 ? rc : result;
}

size_t global_switch(const uint8_t *, uint8_t global_parameter, uint8_t *o)
{
    return olt_req_global_switch(global_parameter, o);
}
size_t global_params(const uint8_t *b, uint8_t, uint8_t *o) { return olt_req_global_params(b, o); }
size_t global_word(const uint8_t *b, uint8_t, uint8_t *o) { return olt_req_global_word(b, o); }
size_t global_shaping(const uint8_t *b, uint8_t, uint8_t *o) { return olt_req_global_shaping(b, o); }

const struct {
    uint16_t id;
    size_t (*build)(const uint8_t *block, uint8_t global_parameter, uint8_t *out);
} GLOBAL_STEPS[] = {
    {TEK_REQ_GLOBAL_PARAMS, global_params},
    {TEK_REQ_GLOBAL_WORD, global_word},
    {TEK_REQ_GLOBAL_SHAPING, global_shaping},
    {TEK_REQ_GLOBAL_SWITCH, global_switch},
};

// The first broken exchange ends the block; refusals are collected.
int global_configure(int olt, const olt_record *record, const uint8_t *block)
{
    uint8_t data[OLT_REQUEST_MAX];
    int result = 0;
    for (const auto &step : GLOBAL_STEPS) {
        int rc = olt_send(olt, step.id, data, step.build(block, profiler_olt_global_parameter(record), data),
                          OLT_CHIP_TIMEOUT);
        if (rc < 0)
            return rc;
        result |= rc;
    }
    return result;
}

// The identifier formats and templates.
int identifiers_configure(int olt, olt_record *record, const uint8_t *block)
{
    uint8_t data[OLT_REQUEST_MAX];
    int rc = olt_send(olt, TEK_REQ_IDENTIFIER_PARAMS, data, olt_req_identifiers(block, data), OLT_CHIP_TIMEOUT);
    olt_state(record)[OLT_STATE_PPPOE_FORMAT] = block[IDENTIFIER_FORMAT];
    if (profiler_olt_hooks.identifier_templates) {
        // The templates are fixed-size fields; they need not carry their NUL.
        char circuit[IDENTIFIER_TEMPLATE_SIZE + 1] = {}, remote[IDENTIFIER_TEMPLATE_SIZE + 1] = {};
        memcpy(circuit, block + IDENTIFIER_CIRCUIT, IDENTIFIER_TEMPLATE_SIZE);
        memcpy(remote, block + IDENTIFIER_REMOTE, IDENTIFIER_TEMPLATE_SIZE);
        const uint8_t *system = cfgcache()->system;
        char host[257] = {};
        memcpy(host, system + SYSTEM_HOSTNAME, 256);
        char address[16];
        convert_to_ip(address, system + SYSTEM_DEVICE_ADDRESS);
        profiler_olt_hooks.identifier_templates(olt, circuit, remote, host, "", address);
    }
    return rc;
}

int protocol_filter_update(int olt)
{
    uint8_t filter[PROTOCOL_FILTER_SIZE];
    auto patch = [&](const uint8_t *answer, size_t len) {
        if (olt_protocol_filter_patch(answer, len, filter))
            return 0;
        return olt_short_answer("protocol_filter_update", olt, TEK_REQ_PROTOCOL_FILTER_READ, len);
    };
    int rc = olt_send(olt, TEK_REQ_PROTOCOL_FILTER_READ, nullptr, 0, OLT_CHIP_TIMEOUT, patch);
    if (rc != 0)
        return rc;
    rc = olt_send(olt, TEK_REQ_PROTOCOL_FILTER_WRITE, filter, sizeof filter, OLT_CHIP_TIMEOUT);
    if (rc != 0)
        return rc;
    return olt_send(olt, TEK_REQ_PROTOCOL_FILTER_READ, nullptr, 0, OLT_CHIP_TIMEOUT);
}

// Steps 8 to 11 of the reconfiguration: everything the configuration asks
// of the chip. The OR of the steps' results.
int apply_configuration(int olt, olt_record *record, const uint8_t *config, const uint16_t configured_llid[2])
{
    const uint8_t *mac = record->mac;
    uint8_t data[OLT_REQUEST_MAX];
    int result = 0;
    for (int port = 0; port < 4; port++)
        result |= port_settings_refresh(olt, mac, port);
    result |= profiler_olt_stop(olt);
    result |= olt_send(olt, TEK_REQ_OLT_PARAMS, data, olt_req_olt_params(config + OLT_CONFIG_PARAMS, data),
                       OLT_CHIP_TIMEOUT);
    for (int port = 0; port < 2; port++)
        result |= pon_port_configure(olt, record, port, config + OLT_CONFIG_PON[port]);
    for (int port = 2; port < 4; port++)
        result |= nni_port_configure(olt, mac, port, config + OLT_CONFIG_NNI[port - 2]);
    result |= global_configure(olt, record, config + OLT_CONFIG_GLOBAL);
    const uint8_t *option = config + OLT_CONFIG_OPTION;
    result |= olt_send(olt, TEK_REQ_OPTION82_PARAMS, data, olt_req_option82(option, data), OLT_CHIP_TIMEOUT);
    olt_state(record)[OLT_STATE_OPTION82_FORMAT] = option[OPTION_FORMAT];
    result |= identifiers_configure(olt, record, config + OLT_CONFIG_IDENTIFIERS);
    result |= olt_apply_domains(olt, config + OLT_CONFIG_DOMAINS);
    result |= olt_send(olt, TEK_REQ_DOMAIN_PARAMS, data, olt_req_domain_params(data), OLT_CHIP_TIMEOUT);

    profiler_olt_set_base_llid(olt, record, configured_llid);
    result |= profiler_olt_start(olt);
    result |= protocol_filter_update(olt);
    return result;
}

// The end of every configuration: the status word and the link counts
// start again from zero.
void finish(olt_record *record)
{
    memset(record->status, 0, 4);
    olt_state(record)[OLT_STATE_LINK_COUNT] = 0;
    olt_state(record)[OLT_STATE_LINK_COUNT + 1] = 0;
}

} // namespace

int profiler_olt_reconfigure(int olt)
{
    olt_record *record = olt_get(olt);
    if (!record)
        return TEKLINK_ERR_ARGUMENT;
    // The configured base LLIDs are read before the OLT is held: their
    // accessor takes the OLT's lock itself.
    const uint16_t configured_llid[2] = {olt_base_llid_get(olt, 0), olt_base_llid_get(olt, 1)};
    olt_lock(olt);
    set_sfp_unknown(record);
    olt_unlock(olt);
    profiler_olt_stop(olt);
    read_onu_pers_version(olt, record);

    olt_lock(olt);
    if (flags.p) {
        int rc = profiler_olt_write_personality(record);
        trace("%s: OLT[%d] write personality %s\n", RECONFIGURE, olt, rc == 0 ? "ok" : "failed");
        finish(record);
        olt_unlock(olt);
        return rc;
    }

    record->onus_total = 0;
    for (int port = 0; port < 2; port++) {
        record->onus_on_port[port] = 0;
        record->onus_first_group[port] = 0;
        record->onus_second_group[port] = 0;
    }
    trace("%s: OLT[%d] in CFGINPROGRESS state\n", RECONFIGURE, olt);

    uint8_t *msg = nullptr;
    const uint8_t *config = nullptr;
    int rc = olt_fetch_config(RECONFIGURE, olt, LOG_ERR, &msg, &config);
    if (rc != 0) {
        olt_set_state_locked(olt, ONU_STATE_CFGFAILED);
        finish(record);
        olt_unlock(olt);
        return rc < 0 ? rc : 0;
    }
    olt_state(record)[OLT_STATE_GLOBAL_PARAMETER] = config[OLT_CONFIG_GLOBAL + GLOBAL_PARAMETER];

    int result = apply_configuration(olt, record, config, configured_llid);
    if (result != 0)
        syslog(LOG_INFO, "%s: OLT[%d] in OK state with error code(%d)\n", RECONFIGURE, olt, result);
    else
        syslog(LOG_INFO, "%s: OLT[%d] in OK state\n", RECONFIGURE, olt);
    trace("%s: OLT[%d] in OK state\n", RECONFIGURE, olt);
    olt_set_state_locked(olt, ONU_STATE_OK);

    finish(record);
    BFREE(msg);
    olt_unlock(olt);
    return result;
}
