#include "onu/onu_chipreq.h"

#include "base/balloc.h"
#include "chip/teklink.h"
#include "wire/tekmsg.h"

#include <cstring>

int onu_chip_exchange(int olt, uint16_t id, const uint8_t *payload, size_t len, int timeout, uint8_t **response)
{
    *response = nullptr;
    auto *request = static_cast<uint8_t *>(BALLOC(TEKLINK_MSG_DATA + len + 1));
    if (!request)
        return TEK_RC_NO_MEMORY;
    tekmsg_set_header(request, uint16_t(olt), id, 0, uint16_t(len));
    if (len)
        memcpy(request + TEKLINK_MSG_DATA, payload, len);
    int rc = teklink_message_send(request, response, timeout);
    BFREE(request);
    return rc;
}

int onu_chip_request(int olt, uint16_t id, const uint8_t *payload, size_t len, int timeout, uint16_t *rcode)
{
    uint8_t *response = nullptr;
    int rc = onu_chip_exchange(olt, id, payload, len, timeout, &response);
    if (rc != 0)
        return rc;
    uint16_t code = tekmsg_rcode(response);
    BFREE(response);
    if (rcode)
        *rcode = code;
    return code == TEKLINK_RCODE_OK ? 0 : TEK_RC_REFUSED;
}

size_t onu_answer_size(const uint8_t *response)
{
    byte_reader payload = tekmsg_payload(response);
    return payload.skip(2) ? payload.left() : 0;
}
