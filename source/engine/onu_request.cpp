// The exchange of the ONU requests. See onu_request.h.
#include "engine/onu_request.h"

#include "base/balloc.h"
#include "chip/teklink.h"
#include "wire/ids.h"
#include "wire/tekmsg.h"

#include <cstring>

int onu_request_send(int olt, uint16_t id, const uint8_t *data, size_t len, uint8_t **response, int timeout)
{
    *response = nullptr;
    auto *request = static_cast<uint8_t *>(BALLOC(long(TEKLINK_MSG_DATA + len)));
    if (!request)
        return TEK_RC_NO_MEMORY;
    tekmsg_set_header(request, uint16_t(olt), id, 0, uint16_t(len));
    if (len)
        memcpy(request + TEKLINK_MSG_DATA, data, len);
    int rc = teklink_message_send(request, response, timeout);
    BFREE(request);
    return rc;
}

int onu_request_result(int olt, uint16_t id, const uint8_t *data, size_t len)
{
    uint8_t *response;
    int rc = onu_request_send(olt, id, data, len, &response);
    if (rc != 0)
        return rc;
    rc = tekmsg_rcode(response) == TEKLINK_RCODE_OK ? 0 : TEK_RC_REFUSED;
    BFREE(response);
    return rc;
}

const uint8_t *onu_answer_data(const uint8_t *response, size_t need)
{
    if (!response || tekmsg_rcode(response) != TEKLINK_RCODE_OK)
        return nullptr;
    byte_reader answer = tekmsg_payload(response);
    if (!answer.skip(2) || answer.left() < need)   // RCODE, then the data
        return nullptr;
    return response + TEKLINK_MSG_SEQN;
}
