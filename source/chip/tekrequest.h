// The one way a request reaches a chip: a request's data bytes, laid out by
// its caller, are wrapped in a pool block with the teklink header, sent
// through teklink_message_send, and the request block is freed again. The
// ONU requests (optics, PHYs, ports, rules, multicast, links, paths), the
// OLT requests, the management commands, the event answers and the TFTP
// blocks all go through here.
//
// Results, for every request the provisioning code sends: 0, TEK_RC_REFUSED
// (3) when the chip answered with a non-zero RCODE, TEK_RC_NO_MEMORY (4) when
// no pool block was left for the request, or the chip link's negative code.
//
// Threads: any thread that may talk to the chips. No lock of its own; the
// chip link's send lock is taken inside teklink_message_send, innermost, so
// callers may hold a record lock.
#pragma once

#include "wire/ids.h"

#include <cstddef>
#include <cstdint>
#include <functional>

constexpr int TEKREQUEST_TIMEOUT = 2;   // seconds per attempt, ordinary configuration requests

// Sends `len` bytes of `data` as request `id` to OLT `olt`, waiting
// `timeout` seconds per attempt. 0 with `*response` set to the answer (any
// RCODE; the caller frees it), TEK_RC_NO_MEMORY when no block was left for
// the request, or the chip link's negative code with `*response` NULL.
// With `response` NULL the answer is freed unread.
int tekrequest_send(int olt, uint16_t id, const uint8_t *data, size_t len, uint8_t **response,
                    int timeout = TEKREQUEST_TIMEOUT);

// The same, with the answer lent to `read` (any RCODE) and freed here
// afterwards: `read`'s result, TEK_RC_NO_MEMORY, or the negative code.
int tekrequest_read(int olt, uint16_t id, const uint8_t *data, size_t len, int timeout,
                    const std::function<int(const uint8_t *response)> &read);

// The same, with the answer reduced to a result: 0 for RCODE 0,
// TEK_RC_REFUSED for another (stored in `*rcode` when given),
// TEK_RC_NO_MEMORY, or the negative code.
int tekrequest_result(int olt, uint16_t id, const uint8_t *data, size_t len, int timeout = TEKREQUEST_TIMEOUT,
                      uint16_t *rcode = nullptr);

// The answer data of a response (the bytes after RCODE) that the block
// really holds, however long LEN says it is. Pure.
size_t tekrequest_answer_size(const uint8_t *response);

// The answer data of `response` when its RCODE is 0 and at least `need` of
// them arrived; NULL otherwise. Pure.
const uint8_t *tekrequest_answer(const uint8_t *response, size_t need);
