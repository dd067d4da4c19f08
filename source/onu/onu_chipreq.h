// One chip exchange for the ONU provisioning modules: a request block built
// from a payload, sent to OLT `olt`, and the answer mapped to the result
// codes the provisioning operations share (0, TEK_RC_REFUSED,
// TEK_RC_NO_MEMORY or the transport's negative code).
//
// Threads: any thread that holds the ONU record the request is for; the
// chip link's send lock is taken inside teklink_message_send. The request
// block is freed here; an answer handed out is the caller's to free.
#pragma once

#include "wire/ids.h"

#include <cstddef>
#include <cstdint>

#include "engine/onu_request.h"

constexpr int ONU_CHIP_TIMEOUT = ONU_REQUEST_TIMEOUT;

// The exchange itself is onu_request_send (engine/onu_request.h).

// The answer data of a response (the bytes after RCODE) that the block
// really holds, however long LEN says it is.
size_t onu_answer_size(const uint8_t *response);

// The same, with the answer judged and freed: 0 for RCODE 0, TEK_RC_REFUSED
// for another RCODE (stored in `*rcode` when given), TEK_RC_NO_MEMORY, or the
// transport code.
int onu_chip_request(int olt, uint16_t id, const uint8_t *payload, size_t len, int timeout = ONU_CHIP_TIMEOUT,
                     uint16_t *rcode = nullptr);
