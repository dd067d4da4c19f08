#include "cmd/cmd_olt.h"

#include "base/balloc.h"
#include "chip/teklink.h"
#include "chip/tektftp.h"
#include "engine/olt_ports.h"
#include "engine/profiler.h"
#include "events/tekhandlers.h"
#include "mgmt/kernlink.h"
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "store/datastruct.h"
#include "wire/ids.h"
#include "wire/personality.h"
#include "wire/tekmsg.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {


bool olt_valid(uint32_t olt) { return olt < uint32_t(OLT_COUNT); }

uint8_t *olt_switch(uint8_t *request, uint16_t id)
{
    cmd_params p;
    if (params_or_refuse(request, &p))
        cmd_reply(request, cmd_chip_simple(p.u16(0), id, nullptr, 0));
    return request;
}

// Resets OLT `olt` through the board device and marks it RESETINPROGRESS.
// The caller holds the OLT's lock. False when the device cannot be opened.
bool reset_olt_locked(int olt, const char *who)
{
    board_device dev;
    if (board_open(&dev) != 0)
        return false;
    board_reset(&dev, uint8_t(olt));
    olt_set_state_locked(olt, ONU_STATE_RESETINPROGRESS);
    trace("%s: OLT[%d] in RESETINPROGRESS state\n", who, olt);
    board_close(&dev);
    return true;
}

uint8_t *one_olt_upgrade(uint8_t *request, const char *path, int (*upgrade)(int, const uint8_t *, size_t))
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    int rc = olt_upgrade_from_file(p.block[0], path, upgrade) == 0 ? CMD_RC_OK : CMD_RC_FAILED;
    cmd_reply_echo(request, p, rc);
    return request;
}

uint8_t *all_olt_upgrade(uint8_t *request, const char *who, const char *path,
                         int (*upgrade)(int, const uint8_t *, size_t))
{
    // The command carries no parameters; the echo is whatever block came.
    cmd_params p = cmd_params_of(request);
    bool failed = false;
    for (int olt = 0; olt < OLT_COUNT; olt++)
        failed |= olt_upgrade_from_file(olt, path, upgrade) != 0;
    for (int olt = 0; olt < OLT_COUNT; olt++) {
        olt_lock(olt);
        if (reset_olt_locked(olt, who))
            syslog(LOG_INFO, "%s: OLT[%d] in RESETINPROGRESS state\n", who, olt);
        olt_unlock(olt);
    }
    cmd_reply_echo(request, p, failed ? CMD_RC_FAILED : CMD_RC_OK);
    return request;
}

} // namespace

bool base_llid_acceptable(uint16_t value, uint16_t other)
{
    return value == 0 || other == 0 || (value & BASE_LLID_BLOCK_MASK) != (other & BASE_LLID_BLOCK_MASK);
}

bool uplink_setting(uint32_t selector, uint32_t *value, uint16_t *mode)
{
    static const struct {
        uint32_t value;
        uint16_t mode;
    } settings[] = {{10000, 2}, {100000, 2}, {0, 0}};
    if (selector >= std::size(settings))
        return false;
    *value = settings[selector].value;
    *mode = settings[selector].mode;
    return true;
}

uint8_t *cmd_olt_start(uint8_t *request) { return olt_switch(request, TEK_REQ_OLT_START); }
uint8_t *cmd_olt_stop(uint8_t *request) { return olt_switch(request, TEK_REQ_OLT_STOP); }

uint8_t *cmd_console_switch(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint8_t on = p.block[4];
    int rc = cmd_chip_simple(p.u16(0), TEK_REQ_CONSOLE_SWITCH, &on, 1);
    // Terminal names are short; a longer text is cut rather than read past
    // the payload or the path buffer. A payload that ends with its block (or
    // an empty text) names no terminal: the chip's console text keeps going
    // where it went, rather than to a path that cannot be opened.
    const char *path = reinterpret_cast<const char *>(p.data());
    size_t length = strnlen(path, p.data_size());
    if (rc == CMD_RC_OK && p.u32(4) != 0 && length > 0)
        tekhandlers_set_console(path, length);
    cmd_reply(request, rc == CMD_RC_OK ? CMD_RC_OK : CMD_RC_FAILED);
    return request;
}

uint8_t *cmd_console_command(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    size_t n = strnlen(reinterpret_cast<const char *>(p.data()), p.data_size());
    int rc = cmd_chip_simple(p.u16(0), TEK_REQ_CONSOLE_COMMAND, p.data(), n);
    cmd_reply(request, rc == CMD_RC_OK ? CMD_RC_OK : CMD_RC_FAILED);
    return request;
}

uint8_t *cmd_chip_passthrough(uint8_t *request)
{
    cmd_params p = cmd_params_of(request);
    // The payload is a chip request block: OLT index, ID, CTAG, LEN, data.
    // One whose LEN claims more than it carries is not sent.
    if (p.size < TEKLINK_MSG_DATA || TEKLINK_MSG_DATA + size_t(tekmsg_len(p.payload)) > p.size) {
        kernhandlers_count_refused();
        cmd_reply(request, CMD_RC_UNSUPPORTED);
        return request;
    }
    auto pass_back = [request](const uint8_t *answer) {
        // From the answer's ID field on: LEN + 6 bytes, of those that arrived.
        size_t size = tekmsg_size(answer);
        size_t have = size > TEKLINK_MSG_ID ? size - TEKLINK_MSG_ID : 0;
        size_t want = size >= TEKLINK_MSG_DATA ? TEKMSG_HEADER + tekmsg_len(answer) : 0;
        size_t n = want < have ? want : have;
        kernhandlers_reply(request, CMD_RC_OK, uint32_t(n), answer + TEKLINK_MSG_ID);
    };
    int rc = cmd_chip_exchange(tekmsg_olt(p.payload), tekmsg_id(p.payload), p.payload + TEKLINK_MSG_DATA,
                               tekmsg_len(p.payload), pass_back);
    if (rc < 0)
        cmd_reply(request, CMD_RC_FAILED);
    return request;
}

uint8_t *cmd_config_setting(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint8_t payload[CMD_CFG_SETTING_LEN] = {};
    payload[CMD_PARAMS_SIZE] = p.block[0];
    payload[CMD_PARAMS_SIZE + 1] = p.block[4];
    uint8_t *answer = nullptr;
    int rc = kernlink_request(CMD_CFG_SETTING, MODULE_CONFIG, payload, sizeof payload, &answer,
                              CMD_CFG_SETTING_TIMEOUT);
    bool ok = rc == 0 && answer && kernmsg_header_decode(answer).rcode == 0;
    if (answer)
        BFREE(answer);
    cmd_reply(request, ok ? CMD_RC_OK : CMD_RC_FAILED);
    return request;
}

uint8_t *handler_olt_reconfig(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint32_t olt = p.u32(0);
    if (!olt_valid(olt)) {
        cmd_reply(request, CMD_RC_BAD_OLT);
        return request;
    }
    olt_lock(int(olt));
    reset_olt_locked(int(olt), OLT_RECONFIG);
    olt_unlock(int(olt));
    profiler_olt_release_onus(int(olt));

    int rc = CMD_RC_TIMEOUT;
    for (int poll = 0; poll < OLT_RECONFIG_POLLS && rc == CMD_RC_TIMEOUT; poll++) {
        clock_delay(OLT_RECONFIG_POLL_MS);
        olt_lock(int(olt));
        uint32_t state = olt_get(int(olt))->state;
        olt_unlock(int(olt));
        if (state == ONU_STATE_OK)
            rc = CMD_RC_OK;
        else if (state == ONU_STATE_CFGFAILED)
            rc = CMD_RC_CONFIG_FAILED;
    }
    cmd_reply(request, rc);
    return request;
}

uint8_t *cmd_olt_record(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint32_t olt = p.u32(0);
    uint8_t out[OLT_RECORD_SENT] = {};
    if (!olt_valid(olt)) {
        cmd_reply_echo_data(request, p.block, CMD_RC_NOT_FOUND, out, sizeof out);
        return request;
    }
    // A refresh that failed is said so: the record still goes with the
    // answer, but its port table is not the chip's word of now.
    int refreshed = profiler_olt_update_state(int(olt));
    olt_lock(int(olt));
    std::memcpy(out, olt_get(int(olt)), sizeof out);
    olt_unlock(int(olt));
    int rc = refreshed == 0 ? int(CMD_RC_OK) : refreshed < 0 ? int(cmd_rc_of_transport(refreshed)) : int(CMD_RC_FAILED);
    if (rc != CMD_RC_OK)
        trace("%s: OLT[%d] port state refresh failed (%d)\n", __func__, int(olt), refreshed);
    cmd_reply_echo_data(request, p.block, rc, out, sizeof out);
    return request;
}

uint8_t *cmd_olt_app_upgrade(uint8_t *request)
{
    return one_olt_upgrade(request, OLT_APP_IMAGE, tftp_olt_app_upgrade);
}
uint8_t *cmd_olt_boot_upgrade(uint8_t *request)
{
    return one_olt_upgrade(request, OLT_BOOT_IMAGE, tftp_olt_boot_upgrade);
}
uint8_t *handler_all_olt_fw_upgrade(uint8_t *request)
{
    return all_olt_upgrade(request, __func__, OLT_APP_IMAGE, tftp_olt_app_upgrade);
}
uint8_t *handler_all_olt_boot_upgrade(uint8_t *request)
{
    return all_olt_upgrade(request, __func__, OLT_BOOT_IMAGE, tftp_olt_boot_upgrade);
}

uint8_t *cmd_olt_pers_read(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint8_t *image = tftp_olt_pers_read(p.u16(0));
    if (!image) {
        cmd_reply_echo(request, p, CMD_RC_FAILED);
        return request;
    }
    cmd_reply_echo_data(request, p.block, CMD_RC_OK, image, OLT_PERS_BLOCK);
    BFREE(image);
    return request;
}

uint8_t *cmd_olt_pers_write(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    // A personality shorter than the image the write sends is not written
    // with whatever lies behind the payload.
    if (p.data_size() < OLT_PERS_BLOCK) {
        cmd_reply_echo(request, p, CMD_RC_UNSUPPORTED);
        return request;
    }
    uint8_t image[OLT_PERS_BLOCK];
    std::memcpy(image, p.data(), sizeof image);
    int rc = tftp_olt_pers_write(p.u16(0), image) == 0 ? CMD_RC_OK : CMD_RC_FAILED;
    cmd_reply_echo(request, p, rc);
    return request;
}

uint8_t *cmd_base_llid(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint16_t olt = p.u16(0), port = p.u16(4), value = p.u16(8);
    // Only the two PON ports have a base LLID.
    if (!olt_valid(olt) || port > 1) {
        cmd_reply_echo(request, p, olt_valid(olt) ? CMD_RC_UNSUPPORTED : CMD_RC_BAD_OLT);
        return request;
    }
    uint16_t other = olt_base_llid_get(olt, 1 - port);
    if (base_llid_acceptable(value, other))
        olt_base_llid_set(olt, port, value);
    trace("set BASE LLID for %d:%d to %04x\n", olt, port, value);
    cmd_reply_echo(request, p, CMD_RC_OK);
    return request;
}

uint8_t *cmd_uplink_param(uint8_t *request)
{
    cmd_params p;
    if (!params_or_refuse(request, &p))
        return request;
    uint32_t value;
    uint16_t mode;
    if (!uplink_setting(p.u32(0), &value, &mode)) {
        cmd_reply_echo(request, p, CMD_RC_UNSUPPORTED);
        return request;
    }
    for (int olt = 0; olt < OLT_COUNT; olt++) {
        uint8_t data[15];
        olt_lock(olt);
        std::memcpy(data, olt_get(olt)->mac, 6);
        olt_unlock(olt);
        store_be32(data + 8, value);
        store_be16(data + 12, mode);
        data[14] = 0;
        for (uint16_t port = 2; port <= 3; port++) {
            store_be16(data + 6, port);
            if (cmd_chip_simple(olt, TEK_REQ_UPLINK_PARAM, data, sizeof data) != CMD_RC_OK) {
                cmd_reply_echo(request, p, CMD_RC_FAILED);
                return request;
            }
        }
    }
    cmd_reply_echo(request, p, CMD_RC_OK);
    return request;
}
