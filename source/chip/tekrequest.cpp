// The one chip request. See tekrequest.h.
#include "chip/tekrequest.h"

#include "base/balloc.h"
#include "chip/teklink.h"
#include "wire/tekmsg.h"

#include <cstring>

int tekrequest_send(int olt, uint16_t id, const uint8_t *data, size_t len, uint8_t **response, int timeout)
{
    uint8_t *answer = nullptr;
    if (response)
        *response = nullptr;
    auto *request = static_cast<uint8_t *>(BALLOC(long(TEKLINK_MSG_DATA + len)));
    if (!request)
        return TEK_RC_NO_MEMORY;
    tekmsg_set_header(request, uint16_t(olt), id, 0, uint16_t(len));
    if (len)
        memcpy(request + TEKLINK_MSG_DATA, data, len);
    int rc = teklink_message_send(request, &answer, timeout);
    BFREE(request);
    if (response)
        *response = answer;
    else
        BFREE_SAFE(answer);
    return rc;
}

int tekrequest_read(int olt, uint16_t id, const uint8_t *data, size_t len, int timeout,
                    const std::function<int(const uint8_t *response)> &read)
{
    uint8_t *response;
    int rc = tekrequest_send(olt, id, data, len, &response, timeout);
    if (rc != 0)
        return rc;
    rc = read(response);
    BFREE(response);
    return rc;
}

int tekrequest_result(int olt, uint16_t id, const uint8_t *data, size_t len, int timeout, uint16_t *rcode)
{
    return tekrequest_read(olt, id, data, len, timeout, [rcode](const uint8_t *response) {
        uint16_t code = tekmsg_rcode(response);
        if (rcode)
            *rcode = code;
        return code == TEKLINK_RCODE_OK ? 0 : TEK_RC_REFUSED;
    });
}

size_t tekrequest_answer_size(const uint8_t *response)
{
    byte_reader payload = tekmsg_payload(response);
    return payload.skip(2) ? payload.left() : 0;
}

const uint8_t *tekrequest_answer(const uint8_t *response, size_t need)
{
    if (!response || tekmsg_rcode(response) != TEKLINK_RCODE_OK)
        return nullptr;
    byte_reader answer = tekmsg_payload(response);
    if (!answer.skip(2) || answer.left() < need)   // RCODE, then the data
        return nullptr;
    return response + TEKLINK_MSG_SEQN;
}
