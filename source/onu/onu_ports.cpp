// ONU network, port parameter and port block requests. See onu_ports.h.
#include "onu/onu_ports.h"

#include "base/bytes.h"
#include "engine/onu_optics.h"
#include "chip/tekrequest.h"
#include "store/datastruct.h"
#include "wire/ids.h"

#include <cstring>

namespace {

constexpr uint8_t PON_PARAMS_KIND = 2;
constexpr uint8_t PON_OPTION_ON = 0;
constexpr uint8_t PON_OPTION_OFF = 255;
// Bytes of the port configuration block that the daemon sets, by offset.
constexpr size_t CONFIG_PATCH_A = 34;
const uint8_t config_patch_a[] = {0x00, 0x05, 0x00, 0x12, 0x06};
constexpr size_t CONFIG_PATCH_B = 44;
const uint8_t config_patch_b[] = {0x00, 0x06, 0x00, 0x10, 0x10, 0x00, 0x06, 0x00,
                                  0x00, 0x10, 0x00, 0x03, 0x00, 0x1D, 0x03};
const uint8_t uni_settings[] = {0x00, 0x40, 0x20, 0x00, 0x00, 0x00, 0x00};
const uint8_t rf_output_target[] = {0x51, 0x00, 0x02, 0x78};
constexpr uint8_t RF_BLOCK = 0;
constexpr uint8_t RF_UNBLOCK = 8;
constexpr size_t UNI_MODE_SETTING1_AT = 8;
constexpr size_t UNI_MODE_SETTING2_AT = 9;
constexpr size_t UNI_MODE_BYTE_AT = 11;

int port_request(int olt, uint16_t id, const uint8_t mac[6], uint16_t port)
{
    uint8_t data[ONU_PORT_REQUEST_LEN];
    size_t len = onu_port_request(data, mac, port);
    return tekrequest_result(olt, id, data, len);
}

} // namespace

size_t onu_network_request(uint8_t out[ONU_NETWORK_REQUEST_LEN], const uint8_t mac[6], uint16_t value,
                           uint8_t byte1, uint8_t byte2)
{
    memcpy(out, mac, 6);
    store_be16(out + 6, value);
    out[8] = byte1;
    out[9] = byte2;
    return ONU_NETWORK_REQUEST_LEN;
}

size_t onu_port_config_write_request(uint8_t out[ONU_PORT_CONFIG_SIZE], const uint8_t read[ONU_PORT_CONFIG_SIZE])
{
    memcpy(out, read, ONU_PORT_CONFIG_SIZE);
    memcpy(out + CONFIG_PATCH_A, config_patch_a, sizeof config_patch_a);
    memcpy(out + CONFIG_PATCH_B, config_patch_b, sizeof config_patch_b);
    return ONU_PORT_CONFIG_SIZE;
}

size_t onu_pon_params_request(uint8_t out[ONU_PON_PARAMS_REQUEST_LEN], const uint8_t mac[6], uint8_t option)
{
    memcpy(out, mac, 6);
    out[6] = PON_PARAMS_KIND;
    out[7] = out[8] = option ? PON_OPTION_ON : PON_OPTION_OFF;
    return ONU_PON_PARAMS_REQUEST_LEN;
}

size_t onu_uni_mode_request(uint8_t out[ONU_UNI_MODE_REQUEST_LEN], const uint8_t mac[6], uint16_t port,
                            const uint8_t params[ONU_UNI_PARAMS_SIZE])
{
    memset(out, 0, ONU_UNI_MODE_REQUEST_LEN);
    memcpy(out, mac, 6);
    store_be16(out + 6, port);
    if (params[UNI_PARAM_MODE] == 0) {
        out[UNI_MODE_SETTING1_AT] = params[UNI_PARAM_SETTING1];
        out[UNI_MODE_SETTING2_AT] = params[UNI_PARAM_SETTING2];
    } else {
        out[UNI_MODE_BYTE_AT] = params[UNI_PARAM_MODE];
    }
    return ONU_UNI_MODE_REQUEST_LEN;
}

size_t onu_uni_settings_request(uint8_t out[ONU_UNI_SETTINGS_REQUEST_LEN], const uint8_t mac[6], uint16_t port)
{
    memcpy(out, mac, 6);
    store_be16(out + 6, port);
    memcpy(out + 8, uni_settings, sizeof uni_settings);
    return ONU_UNI_SETTINGS_REQUEST_LEN;
}

size_t onu_rf_output_request(uint8_t out[ONU_RF_OUTPUT_REQUEST_LEN], const uint8_t mac[6], bool unblock)
{
    memcpy(out, mac, 6);
    memcpy(out + 6, rf_output_target, sizeof rf_output_target);
    out[10] = unblock ? RF_UNBLOCK : RF_BLOCK;
    return ONU_RF_OUTPUT_REQUEST_LEN;
}

int profiler_onu_network_params(int olt, const uint8_t mac[6], uint16_t value, uint8_t byte1, uint8_t byte2)
{
    uint8_t data[ONU_NETWORK_REQUEST_LEN];
    size_t len = onu_network_request(data, mac, value, byte1, byte2);
    int rc = tekrequest_result(olt, TEK_REQ_ONU_NETWORK, data, len);
    return rc == TEK_RC_NO_MEMORY ? ONU_NETWORK_NO_MEMORY : rc;
}

int profiler_onu_port_config_refresh(int olt, const uint8_t mac[6], uint16_t port)
{
    uint8_t data[ONU_PORT_REQUEST_LEN];
    size_t len = onu_port_request(data, mac, port);
    uint8_t block[ONU_PORT_CONFIG_SIZE];
    auto read = [&block](const uint8_t *response) {
        const uint8_t *config = tekrequest_answer(response, ONU_PORT_CONFIG_SIZE);
        if (!config)
            return int(TEK_RC_REFUSED);
        onu_port_config_write_request(block, config);
        return 0;
    };
    int rc = tekrequest_read(olt, TEK_REQ_ONU_PORT_CONFIG_READ, data, len, TEKREQUEST_TIMEOUT, read);
    if (rc != 0)
        return rc;
    return tekrequest_result(olt, TEK_REQ_ONU_PORT_CONFIG_WRITE, block, sizeof block);
}

int profiler_onu_pon_port_params(int olt, const uint8_t mac[6], uint8_t option)
{
    uint8_t data[ONU_PON_PARAMS_REQUEST_LEN];
    size_t len = onu_pon_params_request(data, mac, option);
    return tekrequest_result(olt, TEK_REQ_ONU_PON_PARAMS, data, len);
}

int profiler_onu_uni_port_params(int olt, const uint8_t mac[6], uint16_t port,
                                 const uint8_t params[ONU_UNI_PARAMS_SIZE])
{
    uint16_t enable = params[UNI_PARAM_ENABLE] ? TEK_REQ_PORT_ENABLE : TEK_REQ_PORT_DISABLE;
    int rc = port_request(olt, enable, mac, port);
    if (rc != 0)
        return rc;
    uint8_t mode[ONU_UNI_MODE_REQUEST_LEN];
    rc = tekrequest_result(olt, TEK_REQ_ONU_PORT_MODE, mode, onu_uni_mode_request(mode, mac, port, params));
    if (rc != 0)
        return rc;
    uint8_t settings[ONU_UNI_SETTINGS_REQUEST_LEN];
    return tekrequest_result(olt, TEK_REQ_ONU_PORT_SETTINGS, settings, onu_uni_settings_request(settings, mac, port));
}

int profiler_onu_port_block(int olt, const uint8_t mac[6], uint16_t port, bool unblock)
{
    if (port == ONU_PORT_UNI0 || port == ONU_PORT_UNI1)
        return port_request(olt, unblock ? TEK_REQ_PORT_ENABLE : TEK_REQ_PORT_DISABLE, mac, port);
    if (port != ONU_PORT_RFOUT)
        return TEK_RC_REFUSED;
    uint8_t data[ONU_RF_OUTPUT_REQUEST_LEN];
    size_t len = onu_rf_output_request(data, mac, unblock);
    int rc = tekrequest_result(olt, TEK_REQ_ONU_RF_OUTPUT, data, len);
    return rc == TEK_RC_NO_MEMORY ? rc : 0;
}

int profiler_onu_port_block_config(onu_record *onu, uint16_t port, bool unblock)
{
    if (port >= ONU_PORT_UNI0 && port <= ONU_PORT_RFOUT) {
        if (!unblock) {
            onu->uni[port].blocked = 1;
            onu->uni[port].blocked_time = 0;
        } else if (port == ONU_PORT_RFOUT) {
            onu->uni[port].blocked = 0;
            onu->uni[port].blocked_time = 0;
        }
    }
    return profiler_onu_port_block(onu->olt, onu->mac, port, unblock);
}
