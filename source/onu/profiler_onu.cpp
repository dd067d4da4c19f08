// ONU configuration: authorization, the configuration record, the queue
// layout, ONU discovery and the configuration sequence.
#include "onu/profiler_onu.h"

#include "chip/tekrequest.h"
#include "onu/profiler_link.h"
#include "onu/profiler_path.h"
#include "onu/onu_ports.h"
#include "onu/onu_rules.h"
#include "onu/onu_settings.h"

#include "base/balloc.h"
#include "base/bytes.h"
#include "base/process.h"
#include "engine/profiler.h"
#include "engine/profiler_cache.h"
#include "engine/profiler_olt.h"
#include "chip/tektftp.h"
#include "mgmt/kernlink.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/sandbox.h"
#include "platform/textconv.h"
#include "store/datastruct.h"
#include "wire/tekmsg.h"

#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <vector>

onu_steps_table onu_steps = {};

namespace {

uint16_t chip_id(const onu_record *onu) { return load_be16(onu->chip_id); }

const uint8_t *config_mac(const onu_record *onu) { return flags.a ? ont_config_fixed_mac : onu->mac; }

// A request whose payload is the ONU MAC; its result.
int mac_request(const onu_record *onu, uint16_t id)
{
    return tekrequest_result(onu->olt, id, onu->mac, 6);
}

} // namespace

uint32_t onu_port_index(const onu_record *onu) { return uint32_t(onu->olt) * 2 + onu->port; }

void profiler_onu_update_timestamp_internal(onu_record *onu) { onu->last_activity = uptime_seconds(); }

// ---- authorization -----------------------------------------------------------

void profiler_onu_authorization_start(onu_record *onu)
{
    if (onu->state != ONU_STATE_ALLOCATED)
        return;
    if (ActualizeConfigCache(onu) != 0) {
        onu_set_state(onu, ONU_STATE_AUTHFAILED);
        return;
    }
    if (cfgcache()->radius[RADIUS_AUTH_ENABLED] == 0) {
        profiler_olt_authorize(onu);
        return;
    }
    // RADIUS mode: the server chooses the challenge.
    uint8_t eap[EAP_REQUEST_MAX] = {};
    constexpr int RADIUS_CHALLENGE = 11;
    if (onu_steps.radius_identity_request && onu_steps.radius_identity_request(onu, eap) == RADIUS_CHALLENGE) {
        profiler_onu_send_eap_request(onu, eap);
        onu_set_state(onu, ONU_STATE_AUTHINPROGRESS);
    } else {
        onu_set_state(onu, ONU_STATE_AUTHFAILED);
    }
}

void profiler_olt_authorize(onu_record *onu)
{
    char mac[18];
    convert_to_mac(mac, onu->mac);
    int rc = profiler_get_ont_secret(config_mac(onu), onu->secret);
    trace("%s: ret = %d, ONT %s secret = %s\n", __func__, rc, mac, ONU_SECRET_MASK);
    if (rc == CFG_RC_NOT_FOUND) {
        onu_set_state(onu, ONU_STATE_UNCONFIGURED);
        return;
    }
    if (profiler_onu_send_eap_request(onu, nullptr) != 0) {
        onu_set_state(onu, ONU_STATE_AUTHFAILED);
        return;
    }
    if (chip_id(onu) != ONU_CHIP_6838) {
        onu_set_state(onu, ONU_STATE_AUTHINPROGRESS);
        return;
    }
    // These ONUs do not answer the challenge: they are taken as authorized.
    profiler_onu_authenticated(onu, nullptr);
}

void profiler_onu_authenticated(onu_record *onu, const char *reporter)
{
    char mac[18];
    convert_to_mac(mac, onu->mac);
    onu_set_state(onu, ONU_STATE_AUTHOK);
    if (profiler_set_ont_config(onu) != 0) {
        if (reporter)
            syslog(LOG_INFO, "%s: ONU %s set config FAILED\n", reporter, mac);
        return;
    }
    if (reporter)
        syslog(LOG_INFO, "%s: ONU %s set config OK\n", reporter, mac);
    if (profiler_check_ont_queues(onu) != 0) {
        if (reporter)
            syslog(LOG_INFO, "%s: ONU %s has invalid queues config\n", reporter, mac);
        return;
    }
    if (reporter)
        syslog(LOG_INFO, "%s: ONU %s has right queues config\n", reporter, mac);
    profiler_onu_discovery(onu);
}

int profiler_set_ont_config(onu_record *onu)
{
    if (!(onu->cfg_flags & ONU_CFG_PENDING))
        return 0;
    char mac[18];
    convert_to_mac(mac, onu->mac);
    std::vector<uint8_t> record(ONT_CONFIG_SIZE);
    int rc = profiler_get_ont_config(config_mac(onu), record.data());
    if (rc == CFG_RC_INCORRECT) {
        onu_set_state(onu, ONU_STATE_UNCONFIGURED);
        syslog(LOG_ERR, "%s: ONT %s config incorrect", __func__, mac);
        kernlink_notify_fmt(EVENT_CONFIG_PROBLEM, onu_port_index(onu), 0, 0, 0, "%s : config incorrect", mac);
        return rc;
    }
    if (rc == CFG_RC_NOT_FOUND) {
        onu_set_state(onu, ONU_STATE_UNCONFIGURED);
        syslog(LOG_ERR, "%s: ONT %s unconfigured", __func__, mac);
        kernlink_notify_fmt(EVENT_CONFIG_PROBLEM, onu_port_index(onu), 0, 0, 0, "%s : ont unconfigured", mac);
        return rc;
    }
    if (rc != 0) {
        syslog(LOG_INFO, "%s: %s config request failed(%d)", __func__, mac, rc);
        trace("%s: %s config request failed(%d)", __func__, mac, rc);
        mac_request(onu, TEK_REQ_ONU_RESET);
        onu_release(onu);
        return -1;
    }
    const uint8_t *r = record.data();
    onu->ont_id = load_le32(r + ONT_CONFIG_ONT_ID);
    memcpy(onu->description, r + ONT_CONFIG_DESCRIPTION, sizeof onu->description);
    onu->description[sizeof onu->description - 1] = '\0';
    onu->configured_port = r[ONT_CONFIG_PORT];
    memcpy(onu->secret, r + ONT_CONFIG_SECRET, sizeof onu->secret);
    onu->secret[sizeof onu->secret - 1] = '\0';
    memcpy(onu->profiles, r + ONT_CONFIG_PROFILES, sizeof onu->profiles);
    memcpy(onu->cfg_bytes, r + ONT_CONFIG_BYTES, sizeof onu->cfg_bytes);
    memcpy(onu->cfg_block, r + ONT_CONFIG_BLOCK, sizeof onu->cfg_block);
    onu->link_count = r[ONT_CONFIG_BLOCK + sizeof onu->cfg_block];
    memcpy(onu->cfg_tail, r + ONT_CONFIG_TAIL, sizeof onu->cfg_tail);
    // Every walk over the links trusts the count: it never passes the
    // records there are.
    if (onu->link_count > ONU_LINKS)
        onu->link_count = ONU_LINKS;
    onu->cfg_flags &= ~ONU_CFG_PENDING;
    trace("%s: ONT %s set config successful\n", __func__, mac);
    return 0;
}

// ---- queue layout --------------------------------------------------------------

size_t onu_expected_queues(const uint8_t mac[6], unsigned links, bool is_8600, uint8_t out[QUEUES_LAYOUT_MAX])
{
    size_t n = 0;
    memcpy(out, mac, 6);
    n = 6;
    out[n++] = uint8_t(links);
    auto q = [&](uint8_t a) {
        out[n++] = 4;
        for (int i = 0; i < 4; i++)
            out[n++] = a;
    };
    auto tail = [&]() {
        out[n++] = 2;
        if (is_8600 || links <= 1) {
            q(30);
            out[n++] = 0;
        } else {
            q(15);
            q(15);
        }
        out[n++] = 1;
        out[n++] = 0;
    };
    if (links <= 1) {
        q(27);
        tail();
        return n;
    }
    uint8_t group = uint8_t(110 / links);
    for (unsigned i = 0; i < links && i < ONU_LINKS; i++) {
        if (links == 2) {
            out[n++] = 2;
            out[n++] = 27;
            out[n++] = 27;
        } else {
            out[n++] = 1;
            out[n++] = group;
        }
    }
    tail();
    return n;
}

namespace {

// Reads the layout, resending while the ONU does not answer, and lends an
// answer with RCODE 0 to `same`: 0 when it finds the layout right, else
// TEK_RC_REFUSED.
int queues_match(onu_record *onu, const char *function, const std::function<bool(const uint8_t *response)> &same)
{
    char mac[18];
    convert_to_mac(mac, onu->mac);
    for (int attempt = 0; attempt < QUEUES_READ_ATTEMPTS; attempt++) {
        uint16_t rcode = 0;
        bool matched = false;
        auto read = [&](const uint8_t *response) {
            rcode = tekmsg_rcode(response);
            matched = rcode == TEKLINK_RCODE_OK && same(response);
            return 0;
        };
        if (tekrequest_read(onu->olt, TEK_REQ_QUEUES_READ, onu->mac, 6, TEKREQUEST_TIMEOUT, read) != 0)
            return TEK_RC_REFUSED;
        if (rcode == TEKLINK_RCODE_OK)
            return matched ? 0 : TEK_RC_REFUSED;
        if (rcode != TEKLINK_RCODE_NO_ONU_RESPONSE)
            return TEK_RC_REFUSED;
        trace("%s: no ONU %s response, resending...\n", function, mac);
        usleep(QUEUES_RESEND_PAUSE_MS * 1000);
    }
    return TEK_RC_REFUSED;
}

} // namespace

int profiler_onu_queues_check_internal(onu_record *onu)
{
    uint8_t expected[QUEUES_LAYOUT_MAX];
    size_t length = onu_expected_queues(onu->mac, onu->link_count, chip_id(onu) == ONU_CHIP_8600, expected);
    return queues_match(onu, __func__, [&](const uint8_t *response) {
        size_t len = tekmsg_len(response);
        return len >= 2 && len - 2 == length && tekrequest_answer_size(response) >= length &&
               memcmp(response + TEKLINK_MSG_SEQN, expected, length) == 0;
    });
}

int profiler_onu_queues_check_6838_internal(onu_record *onu)
{
    constexpr size_t LINK_COUNT = 6;
    return queues_match(onu, __func__, [onu](const uint8_t *response) {
        return tekrequest_answer_size(response) > LINK_COUNT &&
               response[TEKLINK_MSG_SEQN + LINK_COUNT] == onu->link_count;
    });
}

int profiler_check_ont_queues(onu_record *onu)
{
    static const char *const function = "profiler_check_ont_queues";
    if (onu->cfg_flags & ONU_CFG_QUEUES_OK)
        return 0;
    int rc = chip_id(onu) == ONU_CHIP_6838 ? profiler_onu_queues_check_6838_internal(onu)
                                           : profiler_onu_queues_check_internal(onu);
    if (rc == 0) {
        onu->cfg_flags |= ONU_CFG_QUEUES_OK;
        return 0;
    }
    char mac[18];
    convert_to_mac(mac, onu->mac);
    int cleared = mac_request(onu, TEK_REQ_QUEUES_CLEAR);
    syslog(LOG_INFO, "%s: ONU %s queues config is invalid.", function, mac);
    trace("%s: ONU %s queues config is invalid.", function, mac);
    if (cleared != 0) {
        syslog(LOG_INFO, "%s: clear ONU %s queue configuration failed", function, mac);
        trace("%s: clear ONU %s queue configuration failed", function, mac);
    }
    sleep(QUEUES_CLEAR_PAUSE_S);

    uint8_t layout[QUEUES_WRITE_LEN] = {};
    onu_expected_queues(onu->mac, onu->link_count, chip_id(onu) == ONU_CHIP_8600, layout);
    bool written = false;
    for (int attempt = 0; attempt < QUEUES_WRITE_ATTEMPTS && !written; attempt++) {
        written = tekrequest_result(onu->olt, TEK_REQ_QUEUES_WRITE, layout, sizeof layout) == 0;
        if (!written) {
            syslog(LOG_INFO, "%s: set up ONU %s queue configuration failed", function, mac);
            trace("%s: set up ONU %s queue configuration failed", function, mac);
            sleep(QUEUES_WRITE_PAUSE_S);
        }
    }
    if (written) {
        syslog(LOG_INFO, "%s: set up ONU %s queue configuration ok", function, mac);
        syslog(LOG_INFO, "%s: ONU %s restarting (%d)", function, mac, 0);
        if (mac_request(onu, TEK_REQ_ONU_RESET) == 0) {
            sleep(QUEUES_RESET_PAUSE_S);
            profiler_onu_unblock_links(onu);
        }
    }
    // The ONU registers again after its restart, as a new ONU.
    onu_release(onu);
    return CFG_RC_INCORRECT;
}

uint32_t blocked_links_decode(const uint8_t *answer, size_t size, const uint8_t **macs)
{
    // The count is the chip's claim; the walk stays within the MACs the
    // answer really holds.
    uint32_t count = size >= BLOCKED_LIST_COUNT + 4 ? load_le32(answer + BLOCKED_LIST_COUNT) : 0;
    size_t held = size > BLOCKED_LIST_MACS ? (size - BLOCKED_LIST_MACS) / 6 : 0;
    if (count > held)
        count = uint32_t(held);
    // No pointer past a short answer's end (nor off a missing one).
    *macs = held ? answer + BLOCKED_LIST_MACS : nullptr;
    return count;
}

int profiler_onu_unblock_links(onu_record *onu)
{
    static const char *const function = "profiler_onu_unblock_links";
    auto unblock = [onu](const uint8_t *response) {
        if (tekmsg_rcode(response) != TEKLINK_RCODE_OK)
            return int(TEK_RC_REFUSED);
        const uint8_t *macs = nullptr;
        uint32_t count = blocked_links_decode(response + TEKLINK_MSG_SEQN, tekrequest_answer_size(response), &macs);
        for (uint32_t i = 0; i < count; i++) {
            const uint8_t *m = macs + 6 * i;
            for (int l = 0; l < ONU_LINKS; l++) {
                if (memcmp(onu->links[l].mac, m, 6) != 0)
                    continue;
                trace("%s: Unblocking %02X:%02X:%02X:%02X:%02X:%02X\n", function, m[0], m[1], m[2], m[3], m[4], m[5]);
                uint16_t rcode = 0;
                int sent = tekrequest_result(onu->olt, TEK_REQ_LINK_UNBLOCK, m, 6, TEKREQUEST_TIMEOUT, &rcode);
                if (sent < 0 || sent == TEK_RC_NO_MEMORY)
                    syslog(LOG_INFO,
                           "%s: Error while sending unblock message for mac %02X:%02X:%02X:%02X:%02X:%02X, ret is %d\n",
                           function, m[0], m[1], m[2], m[3], m[4], m[5], sent);
                else if (sent == TEK_RC_REFUSED)
                    syslog(LOG_INFO, "%s: message for unblock %02X:%02X:%02X:%02X:%02X:%02X returned rcode %d \n",
                           function, m[0], m[1], m[2], m[3], m[4], m[5], int(rcode));
                break;
            }
        }
        return 0;
    };
    return tekrequest_read(onu->olt, TEK_REQ_BLOCKED_LINKS, nullptr, 0, TEKREQUEST_TIMEOUT, unblock);
}

// ---- discovery and updates ---------------------------------------------------------

bool onu_firmware_outdated(uint16_t version)
{
    static const uint16_t outdated[] = {0x0222, 0x0224, 0x0225, 0x0227, 0x0264};
    for (uint16_t v : outdated)
        if (v == version)
            return true;
    return false;
}

namespace {

void schedule(const uint8_t mac[6], const char *description, int kind, const char *function)
{
    int rc = onu_steps.schedule_update ? onu_steps.schedule_update(mac, kind) : -1;
    profiler_onu_schedule_log(function, mac, description, rc);
}

bool flag_file(const char *path) { return access(sandbox_path(path).c_str(), F_OK) == 0; }

} // namespace

void profiler_onu_schedule_log(const char *function, const uint8_t mac[6], const char *description, int rc)
{
    char text[18];
    convert_to_mac(text, mac);
    switch (rc) {
    case 0:
        syslog(LOG_INFO, "%s: Added ONT %s (desc: %s)", function, text, description);
        break;
    case 4:
        syslog(LOG_INFO, "%s: ERROR: Update schedule list full", function);
        break;
    case 9:
        syslog(LOG_INFO, "%s: ERROR: This ONT (desc: %s) is already in the list", function, description);
        break;
    default:
        syslog(LOG_INFO, "%s: ERROR: Can't add ONT (desc: %s) to update schedule", function, description);
        break;
    }
}

void profiler_onu_schedule_fw_update(const uint8_t mac[6], const char *description)
{
    schedule(mac, description, ONU_UPDATE_FIRMWARE, __func__);
}

void profiler_onu_schedule_pers_update(const uint8_t mac[6], const char *description)
{
    schedule(mac, description, ONU_UPDATE_PERSONALITY, __func__);
}

void profiler_onu_discovery(onu_record *onu)
{
    if (onu->state != ONU_STATE_AUTHOK || onu->discovered_links != onu->link_count)
        return;
    uint32_t now = uptime_seconds();
    for (auto &link : onu->links)
        link.state_time = now;
    onu_set_state(onu, ONU_STATE_DISCOVERED);
    char mac[18];
    convert_to_mac(mac, onu->mac);
    if (flag_file(ONT_AUTOUPDATE_FLAG)) {
        if (onu_firmware_outdated(onu->fw_version)) {
            syslog(LOG_INFO, "%s: %s isn't up-to-date\n", __func__, mac);
            profiler_onu_schedule_fw_update(onu->mac, onu->description);
        } else {
            syslog(LOG_INFO, "%s: %s is up-to-date\n", __func__, mac);
        }
    }
    if (flag_file(ONT_PERS_AUTOUPDATE_FLAG)) {
        uint8_t *personality = tftp_onu_pers_read_on(onu->mac, onu->olt);
        if (!personality) {
            syslog(LOG_INFO, "%s: can't ger personality for ONU %s", __func__, mac);
            return;
        }
        int version = personality[ONU_PERSONALITY_VERSION];
        BFREE(personality);
        olt_lock(onu->olt);
        int expected = profiler_olt_onu_pers_version(olt_get(onu->olt));
        olt_unlock(onu->olt);
        if (version != expected) {
            syslog(LOG_INFO, "%s: %s personality isn't up-to-date\n", __func__, mac);
            profiler_onu_schedule_pers_update(onu->mac, onu->description);
        } else {
            syslog(LOG_INFO, "%s: %s personality is up-to-date\n", __func__, mac);
        }
    }
    profiler_init_onu_reconfigure(onu->mac);
}

// ---- configuration ---------------------------------------------------------------------

int profiler_onu_reconfigure_internal(onu_record *onu)
{
    static const char *const function = "profiler_onu_reconfigure_internal";
    char mac[18];
    convert_to_mac(mac, onu->mac);
    onu_set_state(onu, ONU_STATE_CFGINPROGRESS);
    uint32_t port = onu_port_index(onu);
    if (onu->configured_port != PORT_NONE && onu->configured_port != port) {
        onu_set_state(onu, ONU_STATE_CFGFAILED);
        syslog(LOG_INFO, "%s: ONU %s (desc: %s) connected to invalid pon port", function, mac, onu->description);
        kernlink_notify_fmt(EVENT_CONFIG_PROBLEM, onu->olt, 0, 0, 0, "%s in invalid pon port", mac);
        return TEK_RC_REFUSED;
    }
    auto report = [&](int rc, const char *verb, const char *what) {
        syslog(LOG_INFO, "%s: %s %s (desc: %s) %s failed(%d)", function, verb, mac, onu->description, what, rc);
        return rc;
    };
    const uint16_t chip = chip_id(onu);

    int rc = profiler_onu_network_step(onu);
    if (rc != 0)
        return report(rc, "set", "network parameters");
    if (chip != ONU_CHIP_6838)
        for (int p = ONU_PORT_PON; p <= ONU_PORT_UNI1; p++)
            profiler_onu_port_refresh_step(onu, p);
    if ((rc = profiler_onu_rules_merge(onu)) != 0)
        return report(rc, "set", "rules merge");
    if (chip != ONU_CHIP_6838) {
        if ((rc = profiler_onu_pon_step(onu)) != 0)
            return report(rc, "set", "pon port parameters");
        if ((rc = profiler_onu_uni_step(onu, ONU_PORT_UNI0)) != 0)
            return report(rc, "set", "uni0 port parameters");
        if ((rc = profiler_onu_uni_step(onu, ONU_PORT_UNI1)) != 0)
            return report(rc, "set", "uni1 port parameters");
        if (onu->cfg_bytes[ONU_CFG_BYTE_BLOCK_UNI0] && (rc = profiler_onu_block_step(onu, ONU_PORT_UNI0, false)) != 0)
            return report(rc, "block", "uni0 port");
        if (onu->cfg_bytes[ONU_CFG_BYTE_BLOCK_UNI1] && (rc = profiler_onu_block_step(onu, ONU_PORT_UNI1, false)) != 0)
            return report(rc, "block", "uni1 port");
        if (onu->cfg_bytes[ONU_CFG_BYTE_BLOCK_RFOUT]) {
            if ((rc = profiler_onu_block_step(onu, ONU_PORT_RFOUT, false)) != 0)
                return report(rc, "block", "RFOUT");
        } else {
            if ((rc = profiler_onu_block_step(onu, ONU_PORT_RFOUT, true)) != 0)
                return report(rc, "unblock", "RFOUT");
            profiler_onu_rf_level_step(onu);
        }
    }
    const uint8_t *multicast = onu_multicast_profile(onu);
    bool ipmc = !multicast || multicast[MULTICAST_IGMP_MODE] != IGMP_MODE_OFF;
    if (chip == ONU_CHIP_3714) {
        if ((rc = profiler_onu_igmp_step(onu)) != 0)
            return report(rc, "set", "IGMP snooping parameters");
        if (ipmc && (rc = profiler_onu_ipmc_domains_step(onu)) != 0)
            return report(rc, "set", "IPMC domains parameters");
    }
    if ((rc = profiler_onu_rules_step(onu, ONU_PORT_PON)) != 0)
        return report(rc, "set", "pon rules");
    if ((rc = profiler_onu_rules_step(onu, ONU_PORT_UNI0)) != 0)
        return report(rc, "set", "uni0 rules");
    if (chip == ONU_CHIP_3714 && onu->link_count > 1 && (rc = profiler_onu_rules_step(onu, ONU_PORT_UNI1)) != 0)
        return report(rc, "set", "uni1 rules");
    if (chip == ONU_CHIP_3714 && ipmc && (rc = profiler_onu_ipmc_groups_step(onu)) != 0)
        return report(rc, "set", "IPMC groups");
    if (chip == ONU_CHIP_6838)
        profiler_onu_ipmc_groups_6838_step(onu);
    return 0;
}

int profiler_onu_reconfigure(const uint8_t mac_bytes[6])
{
    static const char *const function = "profiler_onu_reconfigure";
    char mac[18];
    convert_to_mac(mac, mac_bytes);
    onu_record *onu = onu_get_by_mac_locked(mac_bytes);
    if (!onu) {
        syslog(LOG_INFO, "%s: ONU %s is not currently connected", function, mac);
        return 1;
    }
    uint32_t port = onu_port_index(onu);
    if (onu->cfg_flags & ONU_CFG_OK) {
        trace(" ===== %s: ONT %s is already configured (ONU's state %d)\n", function, mac, int(onu->state));
        syslog(LOG_INFO, "%s: ONT %s (desc: %s) is already configured (ONU's state %d)", function, mac,
               onu->description, int(onu->state));
        kernlink_notify_fmt(EVENT_ONU_CONFIGURE_OK, port, 0, 0, 0, "%s configure ok", mac);
        onu_set_state(onu, ONU_STATE_OK);
        onu_unlock(onu);
        return 0;
    }
    profiler_onu_update_timestamp_internal(onu);
    mac_request(onu, TEK_REQ_ONU_CONFIG_START);
    if (onu->cfg_bytes[ONU_CFG_BYTE_BLOCKED]) {
        onu_set_state(onu, ONU_STATE_BLOCKED);
        onu_unlock(onu);
        return 0;
    }
    int rc = profiler_links_reconfigure_internal(onu);
    if (rc == 0)
        rc = profiler_paths_reconfigure_internal(onu);
    if (rc == 0)
        rc = profiler_onu_reconfigure_internal(onu);
    if (rc != 0) {
        // EAP-Failure, identifier 1, length 4.
        static const uint8_t failure[4] = {4, 1, 0, 4};
        uint8_t eap[6 + sizeof failure];
        memcpy(eap, onu->mac, 6);
        memcpy(eap + 6, failure, sizeof failure);
        tekrequest_result(onu->olt, TEK_REQ_EAP_FRAME, eap, sizeof eap);
        mac_request(onu, TEK_REQ_ONU_CONFIG_START);
        onu_set_state(onu, ONU_STATE_CFGFAILED);
        kernlink_notify_fmt(EVENT_CONFIG_PROBLEM, port, 0, 0, 0, "%s configure failed", mac);
        trace("%s: ONT %s configure failed\n", function, mac);
        syslog(LOG_INFO, "%s: ONU %s (desc: %s) configure failed", function, mac, onu->description);
        onu_unlock(onu);
        return rc;
    }
    onu->cfg_flags |= ONU_CFG_OK;
    olt_lock(onu->olt);
    olt_record *olt = olt_get(onu->olt);
    if (olt->onus_ok == -1)
        olt->onus_ok = 0;
    olt->onus_ok++;
    olt_unlock(onu->olt);
    trace("%s: ONT %s configure ok\n", function, mac);
    syslog(LOG_INFO, "ONT %s (desc: %s) configure ok (OLT%d[%d])", mac, onu->description, int(onu->olt),
           int(onu->port));
    kernlink_notify_fmt(EVENT_ONU_CONFIGURE_OK, port, 0, 0, 0, "%s configure ok", mac);
    onu_set_state(onu, ONU_STATE_OK);
    uint16_t chip = chip_id(onu);
    if (chip != ONU_CHIP_6838) {
        profiler_onu_phy_detect_step(onu);
        if (onu->cfg_block[ONU_BLOCK_UNI0 + UNI_PARAM_ENABLE] == 1)
            profiler_onu_phy_setup_step(onu, 0);
        if (onu->cfg_block[ONU_BLOCK_UNI1 + UNI_PARAM_ENABLE] == 1)
            profiler_onu_phy_setup_step(onu, 1);
    }
    profiler_onu_transceiver_step(onu);
    mac_request(onu, TEK_REQ_ONU_CONFIG_END);
    rc = 0;
    if (chip != ONU_CHIP_6838) {
        if (onu->cfg_bytes[ONU_CFG_BYTE_BLOCK_UNI0] &&
            (rc = profiler_onu_block_step(onu, ONU_PORT_UNI0, false)) != 0) {
            syslog(LOG_INFO, "%s: block %s (desc: %s) uni0 port failed(%d)", function, mac, onu->description, rc);
            onu_unlock(onu);
            return rc;
        }
        if (onu->cfg_bytes[ONU_CFG_BYTE_BLOCK_UNI1] &&
            (rc = profiler_onu_block_step(onu, ONU_PORT_UNI1, false)) != 0)
            syslog(LOG_INFO, "%s: block %s (desc: %s) uni1 port failed(%d)", function, mac, onu->description, rc);
    }
    onu_unlock(onu);
    return rc;
}
