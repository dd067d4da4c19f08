// The OLT's port table, refreshed from the chip.
#include "engine/olt_ports.h"

#include "base/balloc.h"
#include "base/bytes.h"
#include "chip/teklink.h"
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
        uint8_t *request = static_cast<uint8_t *>(BALLOC(TEKLINK_MSG_DATA + 8));
        if (!request) {
            olt_unlock(olt);
            return TEK_RC_NO_MEMORY;
        }
        tekmsg_set_header(request, uint16_t(olt), TEK_REQ_PORT_STATE, 0, 8);
        memcpy(request + TEKLINK_MSG_DATA, record->mac, 6);
        store_be16(request + TEKLINK_MSG_DATA + 6, uint16_t(port));
        uint8_t *response = nullptr;
        int rc = teklink_message_send(request, &response, PROFILER_CHIP_TIMEOUT);
        BFREE(request);
        if (rc < 0) {
            olt_unlock(olt);
            return rc;
        }
        byte_reader in = tekmsg_payload(response);
        uint16_t rcode = in.be16();
        uint8_t answer[ANSWER_NEEDED];
        in.bytes(answer, sizeof answer);
        if (!in.ok() || rcode != TEKLINK_RCODE_OK) {
            BFREE(response);
            olt_unlock(olt);
            return TEK_RC_REFUSED;
        }
        for (int i = 0; i < 8; i++)
            record->ports[port].status[i] = answer[status_from[i]];
        snprintf(record->ports[port].name, sizeof record->ports[port].name, port < 2 ? "PON%d" : "NNI%d",
                 port < 2 ? port : port - 2);
        BFREE(response);
    }
    olt_unlock(olt);
    return 0;
}
