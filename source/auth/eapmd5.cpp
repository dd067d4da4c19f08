// EAP-MD5: the local check, the mode switch and the EAP frame event.
#include "auth/eapmd5.h"
#include "auth/radius_eap.h"

#include "chip/tekrequest.h"
#include "onu/profiler_onu.h"

#include "base/bytes.h"
#include "engine/profiler.h"
#include "engine/profiler_cache.h"
#include "mgmt/kernlink.h"
#include "platform/log.h"
#include "platform/textconv.h"
#include "store/datastruct.h"
#include "wire/tekmsg.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <syslog.h>

#include <cstring>
#include <vector>

static_assert(EAP_CHALLENGE_SIZE == EAP_MD5_VALUE_SIZE, "the answer hashes the whole challenge");

namespace {

constexpr size_t ANSWER_REQUEST_LEN = 6 + EAP_ANSWER_SIZE;

void put_answer(uint8_t answer[EAP_ANSWER_SIZE], uint8_t code)
{
    answer[0] = code;
    answer[1] = EAP_LOCAL_IDENTIFIER;
    store_be16(answer + 2, EAP_ANSWER_SIZE);
}

bool radius_mode() { return cfgcache()->radius[RADIUS_AUTH_ENABLED] != 0; }

} // namespace

void eap_md5_expected(const char *secret, const uint8_t challenge[EAP_MD5_VALUE_SIZE],
                      uint8_t digest[EAP_MD5_VALUE_SIZE])
{
    size_t length = strlen(secret);
    std::vector<uint8_t> text(1 + length + EAP_MD5_VALUE_SIZE, 0);
    text[0] = EAP_LOCAL_IDENTIFIER;
    memcpy(&text[1], secret, length);
    memcpy(&text[1 + length], challenge, EAP_MD5_VALUE_SIZE);
    unsigned size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr);
}

int compose_eap_packet_olt_internal(const char *secret, const uint8_t *challenge, const uint8_t *eap, size_t size,
                                    uint8_t answer[EAP_ANSWER_SIZE])
{
    uint8_t digest[EAP_MD5_VALUE_SIZE] = {};
    if (challenge)
        eap_md5_expected(secret, challenge, digest);
    bool match = challenge && size >= EAP_MD5_VALUE + EAP_MD5_VALUE_SIZE &&
                 CRYPTO_memcmp(digest, eap + EAP_MD5_VALUE, EAP_MD5_VALUE_SIZE) == 0;
    if (!match) {
        char hex[2 * EAP_MD5_VALUE_SIZE + 1];
        for (size_t i = 0; i < EAP_MD5_VALUE_SIZE; i++)
            snprintf(hex + 2 * i, 3, "%02X", digest[i]);
        trace("%s: config secret: %s\n", __func__, ONU_SECRET_MASK);
        trace("%s: MD5: %s\n", __func__, hex);
        trace("%s: md5 hashes are %s\n", __func__, "mismatch");
        syslog(LOG_INFO, "%s: md5 hashes are %s\n", __func__, "mismatch");
    }
    put_answer(answer, match ? EAP_CODE_SUCCESS : EAP_CODE_FAILURE);
    return match ? EAP_AUTH_OK : EAP_AUTH_FAILED;
}

void eapframe_handler(uint8_t *event)
{
    byte_reader in = tekmsg_event_data(event);
    size_t size = in.left();
    const uint8_t *data = in.position();
    if (size < 6) {
        trace("%s: short event\n", __func__);
        return;
    }
    char mac[18];
    convert_to_mac(mac, data);
    onu_record *onu = onu_get_by_mac(data);
    if (!onu) {
        trace("%s: onu_get_by_mac failed\n", __func__);
        syslog(LOG_INFO, "%s: onu_get_by_mac failed\n", __func__);
        return;
    }
    onu_lock(onu);
    if (memcmp(onu->mac, data, 6) != 0 || onu->state == ONU_STATE_FREE) {
        // The record was released while we waited for it.
        onu_unlock(onu);
        trace("%s: onu_get_by_mac failed\n", __func__);
        syslog(LOG_INFO, "%s: onu_get_by_mac failed\n", __func__);
        return;
    }
    if (onu->state != ONU_STATE_AUTHINPROGRESS) {
        // Late, repeated or unasked: only the answer to a pending challenge
        // is checked.
        trace("%s: ONU %s in %s state, EAP frame dropped\n", __func__, mac, onu_state_name(onu->state));
        onu_unlock(onu);
        return;
    }
    const uint8_t *eap = data + 6;
    size_t eap_size = size - 6;
    bool radius = radius_mode();
    if (eap_size < 5 || eap[0] != EAP_CODE_RESPONSE || eap[4] != EAP_TYPE_MD5) {
        onu_set_state(onu, ONU_STATE_AUTHFAILED);
        trace("%s: non eap-md5 message from ont %s\n", __func__, mac);
        syslog(LOG_INFO, "%s: ONU %s had sent authentication message with no eap-md5 data%s\n", __func__, mac,
               radius ? ". Check RADIUS-server configuration" : "");
        onu_unlock(onu);
        return;
    }

    // The configuration steps may release the record: the answer keeps its
    // own copy of where it goes.
    int olt = onu->olt;
    uint8_t request[ANSWER_REQUEST_LEN];
    memcpy(request, onu->mac, 6);
    uint8_t *answer = request + 6;
    int result;
    if (!radius) {
        char secret[sizeof onu->secret + 1] = {};
        memcpy(secret, onu->secret, sizeof onu->secret);
        uint8_t challenge[EAP_CHALLENGE_SIZE];
        bool pending = profiler_eap_challenge_take(onu, challenge);
        result = compose_eap_packet_olt_internal(secret, pending ? challenge : nullptr, eap, eap_size, answer);
    } else {
        result = radius_eap_check(onu, eap, eap_size, answer, EAP_ANSWER_SIZE);
    }

    switch (result) {
    case EAP_AUTH_OK:
        kernlink_notify_fmt(EVENT_ONU_AUTH_OK, onu_port_index(onu), 0, 0, 0, "%s auth ok", mac);
        profiler_onu_authenticated(onu, __func__);
        break;
    case EAP_AUTH_CONFIG_FAILED:
        onu_set_state(onu, ONU_STATE_UNCONFIGURED);
        trace("%s: ONU %s are in %s\n", __func__, mac, "UNCONFIGURED state");
        syslog(LOG_INFO, "%s: ONU %s are in %s\n", __func__, mac, "UNCONFIGURED state");
        break;
    default:
        trace("%s: %s compose_eap_packet failed (%d)", __func__, mac, result);
        onu_set_state(onu, ONU_STATE_AUTHFAILED);
        trace("%s: ONU %s are in %s\n", __func__, mac, "AUTHFAILED state");
        syslog(LOG_INFO, "%s: ONU %s are in %s\n", __func__, mac, "AUTHFAILED state");
        break;
    }
    tekrequest_result(olt, TEK_REQ_EAP_FRAME, request, sizeof request);
    onu_unlock(onu);
}
