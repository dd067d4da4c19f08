#include "cmd/cmd_secrets.h"

#include "base/bytes.h"
#include "cmd/cmd_onu.h"
#include "cmd/cmd_request.h"
#include "store/datastruct.h"
#include "wire/cfgmsg.h"
#include "wire/kernmsg.h"

#include <cstddef>

namespace {

// Answer data and request records start after the header and the
// parameter block.
constexpr size_t DATA = KERNMSG_HEADER_SIZE + CFG_PARAMS_SIZE;
constexpr size_t RADIUS_SECRET_SIZE = 256;
constexpr size_t ONU_SECRET_AT = offsetof(onu_record, secret);
static_assert(ONU_SECRET_AT + ONT_SECRET_SIZE <= ONU_RECORD_HEAD_SIZE, "the secret goes in the record's head");
static_assert(CMD_PARAMS_SIZE == CFG_PARAMS_SIZE);

} // namespace

size_t cmd_secret_spans(const uint8_t *msg, size_t length, capture_span *spans)
{
    if (length < KERNMSG_HEADER_SIZE)
        return 0;
    kernmsg_header h = kernmsg_header_decode(msg);
    if (h.type == KERNMSG_ANSWER) {
        switch (h.cmd) {
        case CFG_CMD_ONT_SECRET:
            spans[0] = {DATA, ONT_SECRET_SIZE};
            return 1;
        case CFG_CMD_ONT_CONFIG:
            spans[0] = {DATA + ONT_CONFIG_SECRET, ONT_SECRET_SIZE};
            return 1;
        case CFG_CMD_RADIUS:
            spans[0] = {DATA + RADIUS_SECRET, RADIUS_SECRET_SIZE};
            return 1;
        case CFG_CMD_FETCH: {
            // The settings answer: the index it echoes, or too short for
            // two profile groups.
            bool settings = length < DATA + FETCH_ANSWER_SIZE ||
                            load_le32(msg + KERNMSG_HEADER_SIZE) == FETCH_SETTINGS_INDEX;
            if (!settings)
                return 0;
            spans[0] = {DATA + SYSTEM_SETTINGS_SIZE + RADIUS_SECRET, RADIUS_SECRET_SIZE};
            return 1;
        }
        case 0x2005:   // the ONU record: UNI ports, then the record's head
            spans[0] = {DATA + ONU_RECORD_UNI_SIZE + ONU_SECRET_AT, ONT_SECRET_SIZE};
            return 1;
        default:
            return 0;
        }
    }
    if (h.type == KERNMSG_REQUEST && h.cmd == CFG_CMD_ONT_CREATE) {
        spans[0] = {DATA + ONT_CONFIG_SECRET, ONT_SECRET_SIZE};
        return 1;
    }
    return 0;
}
