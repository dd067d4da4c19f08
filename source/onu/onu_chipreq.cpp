#include "onu/onu_chipreq.h"

#include "base/balloc.h"
#include "engine/onu_request.h"
#include "chip/teklink.h"
#include "wire/tekmsg.h"

#include <cstring>

int onu_chip_request(int olt, uint16_t id, const uint8_t *payload, size_t len, int timeout, uint16_t *rcode)
{
    uint8_t *response = nullptr;
    int rc = onu_request_send(olt, id, payload, len, &response, timeout);
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
