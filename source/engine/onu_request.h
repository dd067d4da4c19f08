// The one exchange behind every request the daemon sends to reach into an
// ONU (optics, PHYs, ports, rules, multicast): a pure builder has already
// laid out the request's data bytes; these steps wrap them in a pool block,
// send them through the chip link with the two-second time-out and read the
// answer within the bytes that actually arrived.
//
// Threads: any thread that may talk to the chips (profiler, management
// handlers, watchdog). No lock of its own; the chip link's send lock is
// taken innermost, so callers may hold an ONU record. The request block is
// freed here; a response handed out is the caller's to free.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int ONU_REQUEST_TIMEOUT = 2;   // seconds per attempt

// Sends `len` bytes of `data` as request `id` to OLT `olt`, waiting
// `timeout` seconds per attempt. 0 with `*response` set (any RCODE; the
// caller frees it), TEK_RC_NO_MEMORY when no block was left for the
// request, or the chip link's negative code.
int onu_request_send(int olt, uint16_t id, const uint8_t *data, size_t len, uint8_t **response,
                     int timeout = ONU_REQUEST_TIMEOUT);

// The same, with the answer reduced to a result: 0, TEK_RC_REFUSED for a
// non-zero RCODE, TEK_RC_NO_MEMORY, or the negative transport code.
int onu_request_result(int olt, uint16_t id, const uint8_t *data, size_t len);

// The answer data of `response` (the bytes after RCODE) when its RCODE is 0
// and at least `need` of them arrived; NULL otherwise. Pure.
const uint8_t *onu_answer_data(const uint8_t *response, size_t need);
