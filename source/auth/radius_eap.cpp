#include "auth/radius_eap.h"

#include "auth/radius.h"
#include "base/balloc.h"
#include "base/bytes.h"
#include "engine/profiler_cache.h"
#include "store/datastruct.h"
#include "wire/cfgmsg.h"

#include <cstring>

namespace {

constexpr uint8_t EAP_FAILURE = 4;
constexpr uint8_t EAP_IDENTIFIER = 1;
constexpr size_t EAP_HEADER = 4;

void failure(uint8_t *answer, size_t answer_size)
{
    const uint8_t packet[EAP_HEADER] = {EAP_FAILURE, EAP_IDENTIFIER, 0x00, EAP_HEADER};
    memcpy(answer, packet, answer_size < EAP_HEADER ? answer_size : EAP_HEADER);
}

// An EAP packet's own length, within `limit`.
size_t eap_length(const uint8_t *eap, size_t limit)
{
    size_t length = load_be16(eap + 2);
    return length < limit ? length : limit;
}

} // namespace

int radius_authorization_identity(onu_record *onu, uint8_t *eap)
{
    // The server's EAP-Message may be up to 253 bytes; the ONU is sent a
    // challenge, so only that much goes on.
    uint8_t buffer[RADIUS_EAP_SIZE] = {};
    int rc = radius_eap_identity_request(onu->mac, buffer, onu->auth);
    if (rc == RADIUS_ACCESS_CHALLENGE)
        memcpy(eap, buffer, RADIUS_ONU_EAP_REQUEST);
    return rc;
}

int radius_eap_check(onu_record *onu, const uint8_t *eap, size_t size, uint8_t *answer, size_t answer_size)
{
    auto *config = static_cast<onu_record *>(BALLOC(long(sizeof(onu_record))));
    if (!config) {
        failure(answer, answer_size);
        return RADIUS_CHECK_FAILED;
    }
    onu_config_defaults(config);
    // The exchange sends as many bytes as the EAP length says: the rest of a
    // short answer is zeros, never what lies beyond the event.
    uint8_t buffer[RADIUS_EAP_SIZE] = {};
    memcpy(buffer, eap, size < RADIUS_ATTR_MAX_VALUE ? size : RADIUS_ATTR_MAX_VALUE);
    int rc = radius_eap_response(onu->mac, buffer, onu->auth, config);
    if (rc != RADIUS_ACCESS_ACCEPT) {
        BFREE(config);
        failure(answer, answer_size);
        return RADIUS_CHECK_FAILED;
    }
    size_t copied = eap_length(buffer, answer_size);
    memcpy(answer, buffer, copied);
    memset(answer + copied, 0, answer_size - copied);
    memset(onu->auth, 0xFF, RADIUS_STATE_SIZE);
    int result = RADIUS_CHECK_OK;
    int created = config->state == 0 ? onu_create_from_config(onu, config) : CFG_RC_OK;
    // A configuration already in the store is this ONU's own from an earlier
    // acceptance (it registered again, after a Disconnect-Request or a
    // restart): the record carries the server's configuration all the same.
    // Failing here would leave such an ONU unconfigured for good, since every
    // later acceptance finds the same configuration there.
    if (created != CFG_RC_OK && created != CFG_RC_EXISTS)
        result = RADIUS_CHECK_CONFIG_FAILED;
    else
        onu->cfg_flags |= ONU_CFG_RADIUS_AUTH;
    BFREE(config);
    return result;
}
