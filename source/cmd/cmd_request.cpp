#include "cmd/cmd_request.h"

#include "base/balloc.h"
#include "chip/tekrequest.h"
#include "mgmt/kernhandlers.h"
#include "wire/kernmsg.h"
#include "wire/tekmsg.h"

#include <cstring>
#include <vector>

cmd_params cmd_params_decode(const uint8_t *request, size_t length)
{
    cmd_params p{};
    if (length < KERNMSG_HEADER_SIZE) {
        p.payload = request;
        return p;
    }
    size_t have = length - KERNMSG_HEADER_SIZE;
    uint32_t claimed = load_le32(request + 8);
    p.payload = request + KERNMSG_HEADER_SIZE;
    p.size = claimed < have ? claimed : have;
    std::memcpy(p.block, p.payload, p.size < CMD_PARAMS_SIZE ? p.size : CMD_PARAMS_SIZE);
    return p;
}

cmd_params cmd_params_of(const uint8_t *request) { return cmd_params_decode(request, blength(request)); }

bool params_or_refuse(uint8_t *request, cmd_params *p)
{
    *p = cmd_params_of(request);
    if (p->has_block())
        return true;
    kernhandlers_count_refused();
    cmd_reply(request, CMD_RC_UNSUPPORTED);
    return false;
}

int cmd_chip_exchange(int olt, uint16_t id, const uint8_t *data, size_t len, const cmd_answer_reader &read)
{
    if (len > 0xFFFF)
        return -CMD_RC_FAILED;
    int rc = tekrequest_read(olt, id, data, len, CMD_CHIP_TIMEOUT, [&read](const uint8_t *answer) {
        read(answer);
        return 0;
    });
    return rc == TEK_RC_NO_MEMORY ? -CMD_RC_FAILED : rc;
}

int cmd_chip_simple(int olt, uint16_t id, const uint8_t *data, size_t len)
{
    int result = CMD_RC_FAILED;
    int rc = cmd_chip_exchange(olt, id, data, len, [&result](const uint8_t *answer) {
        // An answer too short to carry RCODE is no acceptance either.
        byte_reader in = tekmsg_payload(answer);
        uint16_t rcode = in.be16();
        result = in.ok() && rcode == TEKLINK_RCODE_OK ? CMD_RC_OK : CMD_RC_FAILED;
    });
    if (rc < 0)
        return cmd_rc_of_transport(rc);
    return result;
}

void cmd_reply(const uint8_t *request, int rcode) { kernhandlers_reply(request, uint8_t(rcode), 0, nullptr); }

void cmd_reply_echo(const uint8_t *request, const cmd_params &p, int rcode)
{
    kernhandlers_reply(request, uint8_t(rcode), CMD_PARAMS_SIZE, p.block);
}

void cmd_reply_echo_data(const uint8_t *request, const uint8_t echo[CMD_PARAMS_SIZE], int rcode, const void *extra,
                         size_t size)
{
    std::vector<uint8_t> out(CMD_PARAMS_SIZE + size);
    std::memcpy(out.data(), echo, CMD_PARAMS_SIZE);
    if (size)
        std::memcpy(out.data() + CMD_PARAMS_SIZE, extra, size);
    kernhandlers_reply(request, uint8_t(rcode), uint32_t(out.size()), out.data());
}
