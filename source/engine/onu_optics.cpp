// ONU optics and port status. See onu_optics.h.
#include "engine/onu_optics.h"

#include "base/bytes.h"
#include "engine/onu_phy.h"
#include "chip/tekrequest.h"
#include "engine/profiler.h"
#include "engine/profiler_olt.h"
#include "platform/log.h"
#include "store/datastruct.h"
#include "wire/ids.h"
#include "wire/tekmsg.h"

#include <syslog.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

onu_optics_hook_table onu_optics_hooks;

namespace {

constexpr uint8_t I2C_READ_MODE = 0x01;
constexpr uint8_t DRSSI_SELECTOR = 0x07;
const uint8_t drssi_tail[4] = {0x00, 0x10, 0x1C, 0x00};
constexpr double RAW_ONE_MILLIWATT = 10000.0;   // 0.1 µW units
constexpr uint8_t FIRST_TYPE_WITH_FIXED_UNI = 3;
// Types from 3 on do not report their first UNI's status: these bytes
// stand in for it.
const uint8_t fixed_uni_status[8] = {0x01, 0x01, 0x02, 0x01, 0x00, 0x01, 0x00, 0x00};
// Answer data bytes that make up the eight port status bytes, in order.
const uint8_t status_from[8] = {13, 14, 8, 9, 10, 11, 16, 17};
constexpr unsigned PHY_FLAG_A_BIT = 3;
constexpr unsigned PHY_FLAG_B_BIT = 4;
constexpr size_t UNI_STATUS_PHY_FLAG_A = 2;   // record offsets +66 and +67
constexpr size_t UNI_STATUS_PHY_FLAG_B = 3;
const uint8_t transceiver_types[] = {2, 7, 8, 9, 10, 15, 16, 17, 18, 25, 26, 27, 28, 29, 30, 34, 35, 36};

bool is_6838(const onu_record *onu) { return load_be16(onu->chip_id) == ONU_CHIP_6838; }

} // namespace

// ---- builders --------------------------------------------------------------

size_t onu_i2c_read_request(uint8_t out[ONU_I2C_REQUEST_LEN], const uint8_t mac[6], uint8_t device,
                            uint8_t offset, uint16_t length)
{
    memcpy(out, mac, 6);
    out[6] = device;
    store_be16(out + 7, length);
    out[9] = I2C_READ_MODE;
    out[10] = offset;
    return ONU_I2C_REQUEST_LEN;
}

size_t onu_gpio_request(uint8_t out[ONU_GPIO_REQUEST_LEN], const uint8_t mac[6], uint32_t mask, uint32_t value)
{
    memcpy(out, mac, 6);
    store_be32(out + 6, mask);
    store_be32(out + 10, value);
    return ONU_GPIO_REQUEST_LEN;
}

size_t onu_phy_read_request(uint8_t out[ONU_PHY_REQUEST_LEN], const uint8_t mac[6], uint16_t port, uint16_t reg)
{
    memcpy(out, mac, 6);
    store_be16(out + 6, port);
    store_be16(out + 8, reg);
    out[10] = 0;
    out[11] = 0;
    return ONU_PHY_REQUEST_LEN;
}

size_t onu_drssi_request(uint8_t out[ONU_DRSSI_REQUEST_LEN], const uint8_t mac[6])
{
    out[0] = DRSSI_SELECTOR;
    memcpy(out + 1, mac, 6);
    memcpy(out + 7, drssi_tail, sizeof drssi_tail);
    return ONU_DRSSI_REQUEST_LEN;
}

size_t onu_port_request(uint8_t out[ONU_PORT_STATE_REQUEST_LEN], const uint8_t mac[6], uint16_t port)
{
    memcpy(out, mac, 6);
    store_be16(out + 6, port);
    return ONU_PORT_STATE_REQUEST_LEN;
}

int onu_i2c_read_answer(const uint8_t *response, uint16_t length, uint8_t *out)
{
    const uint8_t *answer = tekrequest_answer(response, ONU_I2C_ANSWER_DATA + length);
    if (!answer)
        return TEK_RC_REFUSED;
    memcpy(out, answer + ONU_I2C_ANSWER_DATA, length);
    return 0;
}

bool onu_port_status_from_answer(const uint8_t *answer, size_t size, uint8_t status[8])
{
    if (!answer || size < ONU_PORT_STATE_ANSWER_SIZE)
        return false;
    for (int i = 0; i < 8; i++)
        status[i] = answer[status_from[i]];
    return true;
}

// ---- requests ----------------------------------------------------------------

int profiler_onu_i2c_read(const onu_record *onu, uint8_t device, uint8_t offset, uint16_t length, uint8_t *out)
{
    uint8_t data[ONU_I2C_REQUEST_LEN];
    size_t len = onu_i2c_read_request(data, onu->mac, device, offset, length);
    auto read = [&](const uint8_t *response) {
        int rc = onu_i2c_read_answer(response, length, out);
        if (rc != 0)
            syslog(LOG_ERR, "ERROR: Can not get I2C device data. Return code=%d", tekmsg_rcode(response));
        return rc;
    };
    int rc = tekrequest_read(onu->olt, TEK_REQ_ONU_I2C_READ, data, len, TEKREQUEST_TIMEOUT, read);
    if (rc < 0) {
        syslog(LOG_ERR, "ERROR: Can not get I2C device data (%d)", rc);
        return TEK_RC_REFUSED;
    }
    return rc;
}

int profiler_onu_gpio_set(const onu_record *onu, uint32_t mask, uint32_t value)
{
    uint8_t data[ONU_GPIO_REQUEST_LEN];
    size_t len = onu_gpio_request(data, onu->mac, mask, value);
    int rc = tekrequest_result(onu->olt, TEK_REQ_ONU_GPIO, data, len);
    if (rc == TEK_RC_NO_MEMORY || rc == 0)
        return rc;
    syslog(LOG_ERR, "ERROR: Can not set ONU GPIO data");
    return TEK_RC_REFUSED;
}

int profiler_onu_phy_read(int olt, const uint8_t mac[6], uint16_t port, uint16_t reg, uint16_t *out)
{
    uint8_t data[ONU_PHY_REQUEST_LEN];
    size_t len = onu_phy_read_request(data, mac, port, reg);
    int rc = tekrequest_read(olt, TEK_REQ_ONU_PHY_READ, data, len, TEKREQUEST_TIMEOUT, [out](const uint8_t *response) {
        const uint8_t *answer = tekrequest_answer(response, ONU_PHY_ANSWER_VALUE + 2);
        if (!answer)
            return int(TEK_RC_REFUSED);
        *out = load_be16(answer + ONU_PHY_ANSWER_VALUE);
        return 0;
    });
    return rc < 0 ? rc & 0xFFFF : rc;
}

int profiler_onu_get_triplexer_a2h(const onu_record *onu, uint8_t out[SFP_DIAG_PAGE_SIZE])
{
    return profiler_onu_i2c_read(onu, SFP_DEVICE_DIAG, 0, SFP_DIAG_PAGE_SIZE, out);
}

bool onu_type_has_transceiver(uint8_t type)
{
    for (uint8_t t : transceiver_types)
        if (t == type)
            return true;
    return false;
}

int profiler_onu_update_sfp_pn(onu_record *onu)
{
    if (!onu_type_has_transceiver(onu->type))
        return 0;
    char part[20] = {};
    int rc = profiler_onu_i2c_read(onu, SFP_DEVICE_ID, SFP_PART_OFFSET, SFP_PART_SIZE, reinterpret_cast<uint8_t *>(part));
    if (rc != 0)
        return rc;
    for (size_t n = strlen(part); n > 0 && isspace(static_cast<unsigned char>(part[n - 1])); n--)
        part[n - 1] = '\0';
    memcpy(onu->triplexer, part, sizeof onu->triplexer);
    onu_summary_set_transceiver(onu);
    return 0;
}

double onu_rf_power_dbm(int16_t raw, bool correct)
{
    double milliwatts = double(uint16_t(raw)) / RAW_ONE_MILLIWATT;
    double dbm = 10.0 * log10(milliwatts);
    return correct ? dbm - RF_CLASS0_CORRECTION_DB : dbm;
}

int onu_rf_level_steps(double dbm, onu_gpio_step out[ONU_RF_STEPS_MAX])
{
    int n = 0;
    out[n++] = {ONU_GPIO_RF_LOW, 0};
    out[n++] = {ONU_GPIO_RF_HIGH, 0};
    if (dbm >= RF_BOTH_LINES_DBM) {
        out[n++] = {ONU_GPIO_RF_LOW, ONU_GPIO_RF_LOW};
        out[n++] = {ONU_GPIO_RF_HIGH, ONU_GPIO_RF_HIGH};
    } else if (dbm >= RF_LOW_LINE_DBM) {
        out[n++] = {ONU_GPIO_RF_LOW, ONU_GPIO_RF_LOW};
    } else {
        out[n++] = {ONU_GPIO_RF_HIGH, ONU_GPIO_RF_HIGH};
    }
    return n;
}

void profiler_onu_rf_select(const onu_record *onu, double dbm)
{
    onu_gpio_step steps[ONU_RF_STEPS_MAX];
    int n = onu_rf_level_steps(dbm, steps);
    for (int i = 0; i < n; i++)
        profiler_onu_gpio_set(onu, steps[i].mask, steps[i].value);
}

int profiler_onu_set_rf_level(onu_record *onu)
{
    uint8_t raw[2];
    if (profiler_onu_i2c_read(onu, SFP_DEVICE_DIAG, SFP_VIDEO_POWER_OFFSET, sizeof raw, raw) != 0) {
        onu->video_power = 0;
        onu_summary_set_video_power(onu);
        syslog(LOG_ERR, "ERROR: Can not get I2C device data");
        return TEK_RC_REFUSED;
    }
    onu->video_power = int16_t(load_be16(raw));
    onu_summary_set_video_power(onu);
    if (onu->uni[3].blocked)
        return 0;
    bool class0 = onu_transceiver_class(onu->triplexer) == 0;
    profiler_onu_rf_select(onu, onu_rf_power_dbm(onu->video_power, class0));
    return 0;
}

int profiler_onu_read_drssi(onu_record *onu)
{
    uint8_t data[ONU_DRSSI_REQUEST_LEN];
    size_t len = onu_drssi_request(data, onu->mac);
    return tekrequest_read(onu->olt, TEK_REQ_STATISTICS, data, len, TEKREQUEST_TIMEOUT, [onu](const uint8_t *response) {
        const uint8_t *answer = tekrequest_answer(response, ONU_DRSSI_ANSWER_VALUE + 2);
        if (!answer)
            return int(TEK_RC_REFUSED);
        onu->drssi = load_be16(answer + ONU_DRSSI_ANSWER_VALUE);
        onu_drssi_filter(onu);
        return 0;
    });
}

namespace {

// Status bytes, PHY flags, name and learned MACs of UNI `u` (1 or 2).
int refresh_uni(onu_record *onu, int u)
{
    uni_port &uni = onu->uni[u];
    uint8_t data[ONU_PORT_STATE_REQUEST_LEN];
    size_t len = onu_port_request(data, onu->mac, uint16_t(u));
    bool fixed = u == 1 && onu->type >= FIRST_TYPE_WITH_FIXED_UNI;
    int rc = tekrequest_read(onu->olt, TEK_REQ_PORT_STATE, data, len, TEKREQUEST_TIMEOUT, [&](const uint8_t *response) {
        const uint8_t *answer = tekrequest_answer(response, fixed ? 0 : ONU_PORT_STATE_ANSWER_SIZE);
        if (!answer)
            return int(TEK_RC_REFUSED);
        if (fixed)
            memcpy(uni.status, fixed_uni_status, sizeof uni.status);
        else
            onu_port_status_from_answer(answer, ONU_PORT_STATE_ANSWER_SIZE, uni.status);
        return 0;
    });
    if (rc != 0)
        return rc;

    if (!is_6838(onu) && u == 2) {
        const phy_slot *slots = onu_phy_slots(onu);
        bool c816 = false;
        for (int i = 0; i < ONU_PHY_SLOTS; i++)
            c816 = c816 || phy_is_c816(&slots[i]);
        uint16_t value;
        if (!c816 && profiler_onu_phy_read(onu->olt, onu->mac, uint16_t(u), UNI_PHY_STATUS_REG, &value) == 0) {
            uni.status[UNI_STATUS_PHY_FLAG_A] = (value >> PHY_FLAG_A_BIT) & 1;
            uni.status[UNI_STATUS_PHY_FLAG_B] = (value >> PHY_FLAG_B_BIT) & 1;
        }
    }
    snprintf(uni.name, sizeof uni.name, "UNI%d", u - 1);

    int count = 0;
    uint16_t destination = onu->uni_path[u - 1];
    if (destination != 0 && onu_optics_hooks.learned_macs)
        onu_optics_hooks.learned_macs(onu->olt, destination, &uni.learned_macs[0][0], int(UNI_LEARNED_MACS), &count);
    unsigned kept = count < 0 ? 0 : unsigned(count) > UNI_LEARNED_MACS ? UNI_LEARNED_MACS : unsigned(count);
    memset(uni.learned_macs[kept], 0, (UNI_LEARNED_MACS - kept) * 6);
    return 0;
}

} // namespace

int profiler_onu_update_ports(const uint8_t mac[6])
{
    onu_record *onu = onu_get_by_mac_locked(mac);
    if (!onu)
        return 8;
    for (int u = 1; u <= 2; u++) {
        int rc = refresh_uni(onu, u);
        if (rc != 0) {
            onu_unlock(onu);
            return rc;
        }
    }
    if (olt_port_drssi_enabled(onu->olt, onu->port))
        profiler_onu_read_drssi(onu);
    if (!is_6838(onu))
        profiler_onu_set_rf_level(onu);
    onu_unlock(onu);
    return 0;
}
