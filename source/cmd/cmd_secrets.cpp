#include "cmd/cmd_secrets.h"

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
constexpr size_t ONU_SECRET_AT = offsetof(onu_record, secret);
static_assert(ONU_SECRET_AT + ONT_SECRET_SIZE <= ONU_RECORD_HEAD_SIZE, "the secret goes in the record's head");
static_assert(CMD_PARAMS_SIZE == CFG_PARAMS_SIZE);

} // namespace

size_t cmd_secret_spans(const uint8_t *msg, size_t length, capture_span *spans)
{
    if (length < KERNMSG_HEADER_SIZE)
        return 0;
    kernmsg_header h = kernmsg_header_decode(msg);
    if (h.type == KERNMSG_ANSWER && h.cmd == 0x2005) {
        // The ONU record: UNI ports, then the record's head.
        spans[0] = {DATA + ONU_RECORD_UNI_SIZE + ONU_SECRET_AT, ONT_SECRET_SIZE};
        return 1;
    }
    if (h.type == KERNMSG_ANSWER) {
        cfg_span secret = cfgmsg_answer_secret(h.cmd, msg + KERNMSG_HEADER_SIZE, length - KERNMSG_HEADER_SIZE);
        if (secret.size == 0)
            return 0;
        spans[0] = {KERNMSG_HEADER_SIZE + secret.at, secret.size};
        return 1;
    }
    if (h.type == KERNMSG_REQUEST && h.cmd == CFG_CMD_ONT_CREATE) {
        spans[0] = {DATA + ONT_CONFIG_SECRET, ONT_SECRET_SIZE};
        return 1;
    }
    return 0;
}
