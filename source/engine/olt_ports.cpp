// The OLT's port table, refreshed from the chip.
#include "engine/olt_ports.h"

#include "base/bytes.h"
#include "chip/teklink.h"
#include "chip/tekrequest.h"
#include "engine/profiler.h"
#include "store/datastruct.h"
#include "wire/tekmsg.h"

#include <cstdio>
#include <cstring>

int profiler_olt_update_state(int olt)
{
    // Answer data bytes that make up a port's eight status bytes, in order.
    static const uint8_t status_from[8] = {13, 14, 8, 9, 10, 11, 16, 17};
    constexpr size_t ANSWER_NEEDED = 18;   // answer data bytes, after RCODE
    if (olt < 0 || olt >= OLT_COUNT)
        return TEKLINK_ERR_ARGUMENT;

    olt_lock(olt);
    olt_record *record = olt_get(olt);
    for (int port = 0; port < 4; port++) {
        uint8_t request[8];
        memcpy(request, record->mac, 6);
        store_be16(request + 6, uint16_t(port));
        int rc = tekrequest_read(olt, TEK_REQ_PORT_STATE, request, sizeof request, PROFILER_CHIP_TIMEOUT,
                                 [&](const uint8_t *response) {
                                     const uint8_t *answer = tekrequest_answer(response, ANSWER_NEEDED);
                                     if (!answer)
                                         return int(TEK_RC_REFUSED);
                                     for (int i = 0; i < 8; i++)
                                         record->ports[port].status[i] = answer[status_from[i]];
                                     return 0;
                                 });
        if (rc != 0) {
            olt_unlock(olt);
            return rc;
        }
        snprintf(record->ports[port].name, sizeof record->ports[port].name, port < 2 ? "PON%d" : "NNI%d",
                 port < 2 ? port : port - 2);
    }
    olt_unlock(olt);
    return 0;
}
