// Template pairs of any content through crid_Update, then both identifiers
// into a 128-byte buffer, as the custom PPPoE+ tag builds them. The input is
// split at its first NUL: circuit-ID template, remote-ID template; the last
// eight bytes (when there are enough) give the dynamic values.
#include "onu/l3agents/CircuitAndRemoteIds.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint32_t channel = 0, ont = 0;
    if (size >= 8) {
        memcpy(&channel, data + size - 8, 4);
        memcpy(&ont, data + size - 4, 4);
        size -= 8;
    }
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t split = input.find('\0');
    std::string circuit = input.substr(0, split);
    std::string remote = split == std::string::npos ? "" : input.substr(split + 1);
    remote = remote.substr(0, remote.find('\0'));

    crid_pair pair;
    crid_Init(&pair, CRID_OLT_CAPACITY);
    int result = crid_Update(&pair, circuit.c_str(), remote.c_str(), "fuzz-host", "", "192.168.1.1");
    if (result > 0 || result < -4)
        abort();
    if (pair.circuit.static_len > CRID_STATIC_MAX || pair.remote.static_len > CRID_STATIC_MAX)
        abort();

    // One byte of slack behind the buffer shows any write past its end.
    uint8_t buffer[CRID_OLT_CAPACITY + 1];
    buffer[CRID_OLT_CAPACITY] = 0xA5;
    const uint8_t mac[6] = {0, 0x0D, 0xB6, 1, 2, 3};
    // Option 60 of up to 255 claimed bytes; only 64 may ever be read.
    uint8_t opt60[1 + CRID_OPT60_MAX];
    memset(opt60, 'y', sizeof opt60);
    opt60[0] = uint8_t(channel);
    crid_values values{channel, ont, channel >> 16, 0, 0, mac, opt60};
    size_t written = crid_AddCircuitIdAndRemoteId(&pair, buffer, CRID_OLT_CAPACITY, &values);
    if (written > CRID_OLT_CAPACITY || buffer[CRID_OLT_CAPACITY] != 0xA5)
        abort();
    if (written) {
        // Two well-formed sub-options back to back, filling what was written.
        size_t second = 2 + buffer[1];
        if (buffer[0] != 1 || second + 2 > written || buffer[second] != 2 || second + 2 + buffer[second + 1] != written)
            abort();
    }
    return 0;
}
