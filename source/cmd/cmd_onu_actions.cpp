#include "cmd/cmd_onu_actions.h"

#include "auth/radius_accounting.h"
#include "base/balloc.h"
#include "chip/teklink.h"
#include "chip/tektftp.h"
#include "engine/onu_optics.h"
#include "maint/scheduler.h"
#include "mgmt/kernhandlers.h"
#include "mgmt/kernlink.h"
#include "chip/tekrequest.h"
#include "onu/onu_ports.h"
#include "onu/profiler_path.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/textconv.h"
#include "store/datastruct.h"
#include "wire/ids.h"
#include "wire/personality.h"
#include "wire/tekmsg.h"

#include <syslog.h>

#include <cstring>
#include <vector>

namespace {

constexpr size_t MAC_AT = 8;
const uint8_t ALL_ONUS[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

const uint8_t *mac_of(const cmd_params &p) { return p.block + MAC_AT; }

void olt_mac(int olt, uint8_t out[6])
{
    std::memset(out, 0, 6);
    if (olt < 0 || olt >= OLT_COUNT)
        return;
    olt_lock(olt);
    std::memcpy(out, olt_get(olt)->mac, 6);
    olt_unlock(olt);
}

// One laser request to PON port `port` of OLT `olt`; its failures are
// printed, never answered.
void laser_request(int olt, int port, const uint8_t target[6], uint16_t duration)
{
    static const char *const who = "handler_onu_shutdown_laser";
    uint8_t mac[6], data[LASER_REQUEST_LEN];
    olt_mac(olt, mac);
    laser_request_encode(data, mac, uint16_t(port), target, duration);
    int rc = cmd_chip_exchange(olt, TEK_REQ_LASER_SHUTDOWN, data, sizeof data, [](const uint8_t *answer) {
        byte_reader in = tekmsg_payload(answer);
        uint16_t rcode = in.be16();
        if (!in.ok() || rcode != TEKLINK_RCODE_OK)
            trace("%s: %d\n", who, rcode);
    });
    if (rc < 0)
        trace("%s: %d %d\n", who, rc, olt);
}

// Blocks UNI port `uni` (1, 2) of the locked `onu`, whose duplicate was
// reported on OLT `olt`: false when its type has no way to block one.
bool block_uni_locked(onu_record *onu, int olt, int uni)
{
    if (onu->type == 1 || onu->type == 2) {
        profiler_onu_port_block(onu->olt, onu->mac, uint16_t(uni), false);
    } else if (onu->type >= 3 && onu->type <= 36) {
        // These ONUs stop forwarding while configuration is open; the
        // watchdog closes it again with the end marker.
        if (onu->uni[uni].blocked)
            return true;
        tekrequest_result(olt, TEK_REQ_ONU_CONFIG_START, onu->mac, 6);
        profiler_onu_pon_port_params(olt, onu->mac, 0);
    } else {
        return false;
    }
    onu->uni[uni].blocked = 1;
    onu->uni[uni].blocked_time = uptime_seconds();
    onu_summary_update(onu);
    return true;
}

// The firmware upgrade of the ONU with `mac`: CMD_RC_OK, or CMD_RC_FAILED
// with the reason in the log. Its type is read from its record, under its
// lock, so that a slot reused meanwhile cannot choose the image.
int onu_fw_upgrade(const uint8_t mac[6])
{
    static const char *const who = "cmd_onu_fw_upgrade";
    char text[18];
    convert_to_mac(text, mac);
    onu_record *onu = onu_get_by_mac_locked(mac);
    if (!onu) {
        syslog(LOG_INFO, "%s: ONU %s is not currently connected", who, text);
        return CMD_RC_FAILED;
    }
    uint8_t type = onu->type;
    onu_unlock(onu);
    const char *path = onu_app_image_for(type);
    if (!path) {
        syslog(LOG_ERR, "%s: ONU %s: no image for type %u", who, text, unsigned(type));
        return CMD_RC_FAILED;
    }
    std::vector<uint8_t> image;
    if (onu_app_image_read(path, &image) != ONU_IMAGE_OK)   // logs which file and why
        return CMD_RC_FAILED;
    int rc = tftp_onu_app_upgrade(mac, image.data(), image.size());
    if (rc != TFTP_IMAGE_OK) {
        syslog(LOG_ERR, "%s: ONU %s: transfer of %s refused (%d)", who, text, path, rc);
        return CMD_RC_FAILED;
    }
    return CMD_RC_OK;
}

} // namespace

void laser_request_encode(uint8_t out[LASER_REQUEST_LEN], const uint8_t olt_mac[6], uint16_t port,
                          const uint8_t target[6], uint16_t duration)
{
    std::memcpy(out, olt_mac, 6);
    store_be16(out + 6, port);
    std::memcpy(out + 8, target, 6);
    store_be16(out + 14, duration);
}

uint8_t *cmd_onu_fw_upgrade(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    cmd_reply_echo(request, p, onu_fw_upgrade(mac_of(p)));
    return request;
}

uint8_t *cmd_onu_pers_read(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint8_t *image = tftp_onu_pers_read(mac_of(p));
    if (!image) {
        cmd_reply_echo(request, p, CMD_RC_FAILED);
        return request;
    }
    cmd_reply_echo_data(request, p.block, CMD_RC_OK, image, ONU_PERS_SIZE);
    BFREE(image);
    return request;
}

uint8_t *cmd_onu_pers_write(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    // A personality shorter than the image the write sends is not written
    // with whatever lies behind the payload.
    if (p.data_size() < ONU_PERS_SIZE) {
        cmd_reply_echo(request, p, CMD_RC_UNSUPPORTED);
        return request;
    }
    std::vector<uint8_t> image(p.data(), p.data() + ONU_PERS_SIZE);
    int rc = tftp_onu_pers_write(mac_of(p), image.data()) == 0 ? CMD_RC_OK : CMD_RC_FAILED;
    cmd_reply_echo(request, p, rc);
    return request;
}

uint8_t *handler_onu_get_triplexer_a2h(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint8_t page[SFP_DIAG_PAGE_SIZE] = {};
    onu_record *onu = onu_get_by_mac_locked(mac_of(p));
    if (!onu) {
        char text[18];
        convert_to_mac(text, mac_of(p));
        syslog(LOG_INFO, "%s: ONU %s is not currently connected", __func__, text);
        cmd_reply_echo_data(request, p.block, CMD_RC_FAILED, page, sizeof page);
        return request;
    }
    int rc = profiler_onu_get_triplexer_a2h(onu, page);
    onu_unlock(onu);
    if (rc != 0)
        syslog(LOG_ERR, "%s Fail when attemp triplexer access (%d)\n", __func__, rc);
    cmd_reply_echo_data(request, p.block, rc == 0 ? CMD_RC_OK : CMD_RC_FAILED, page, sizeof page);
    return request;
}

uint8_t *cmd_accounting_start(uint8_t *request)
{
    cmd_reply(request, radius_accounting_start() == 0 ? CMD_RC_OK : CMD_RC_ALREADY_RUNNING);
    return request;
}

uint8_t *cmd_accounting_stop(uint8_t *request)
{
    radius_accounting_stop();
    cmd_reply(request, CMD_RC_OK);
    return request;
}

uint8_t *handler_onu_shutdown_laser(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint32_t port = p.u32(4);
    uint16_t duration = uint16_t(p.u32(0));
    const uint8_t *mac = mac_of(p);
    syslog(LOG_INFO, "Got signal for shutdown laser on ONT-%02X:%02X:%02X:%02X:%02X:%02X for %d seconds", mac[0],
           mac[1], mac[2], mac[3], mac[4], mac[5], int(p.u32(0)));
    if (std::memcmp(mac, ALL_ONUS, 6) == 0) {
        // Only eight PON ports exist: a port number past them names no OLT,
        // and must not reach one by the OLT index being cut short. The
        // answer stays 0, as for every outcome of this command.
        if (port < uint32_t(LASER_PON_PORTS))
            laser_request(int(port / 2), int(port % 2), mac, duration);
        else
            syslog(LOG_ERR, "%s: no PON port %u, no laser shut down", __func__, unsigned(port));
    } else if (onu_record *onu = onu_get_by_mac_locked(mac)) {
        int olt = onu->olt, pon = onu->port;
        onu_unlock(onu);
        laser_request(olt, pon, mac, duration);
    } else {
        // Wherever it is, one of the eight ports reaches it.
        for (int pon_port = 0; pon_port < LASER_PON_PORTS; pon_port++)
            laser_request(pon_port / 2, pon_port % 2, mac, duration);
    }
    cmd_reply(request, CMD_RC_OK);
    return request;
}

uint8_t *handler_onu_mac_duplicate(uint8_t *request)
{
    cmd_params p = cmd_params_of(request);
    uint32_t olt = p.u32(0);
    if (p.has_block() && olt < uint32_t(OLT_COUNT)) {
        uint8_t onu_mac[6];
        int uni = 0;
        bool found = false;
        for (int port = 0; port < 2 && !found; port++)
            found = profiler_find_by_learned_mac(int(olt), port, mac_of(p), onu_mac, &uni) == 0;
        onu_record *onu = found ? onu_get_by_mac_locked(onu_mac) : nullptr;
        if (found && !onu) {
            char text[18];
            convert_to_mac(text, onu_mac);
            syslog(LOG_INFO, "%s: ONU %s is not currently connected", __func__, text);
        }
        if (onu) {
            // Only a port really blocked is reported as blocked.
            if (block_uni_locked(onu, int(olt), uni)) {
                const uint8_t *m = mac_of(p);
                kernlink_notify_fmt(EVENT_UNI_BLOCKED, onu->olt, 0, 0, 0,
                                    "%02X:%02X:%02X:%02X:%02X:%02X UNI port %d blocked", m[0], m[1], m[2], m[3],
                                    m[4], m[5], uni);
            }
            onu_unlock(onu);
        }
    }
    kernhandlers_mac_duplicate_done();
    trace("%s [DEBUG] Mac duplicate process decreased, count = %d!\n", __func__,
          kernhandlers_mac_duplicate_count());
    return request;
}
