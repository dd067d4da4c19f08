// Hex text of a byte buffer, as the traffic dumps of both links print it.
//
// Pure function, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes `length` bytes of `data` into `out` as "%02X " per byte, sixteen to
// a line; continuation lines begin with "\n" and eight spaces so that they
// line up under the first, and the text ends with "\n" (length 0 gives
// "\n"). The buffer must hold (length rounded down to a multiple of 16) +
// 3 x length + 17 bytes; otherwise the text is empty and the result is -1.
// Else the length of the text.
int hex_text(char *out, size_t size, const uint8_t *data, size_t length);
