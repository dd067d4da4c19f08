// Command payloads of any length and content through the commands' decoding:
// the management request (header and payload, whatever length the header
// claims) into its parameter block and trailing data, and the same bytes as
// a chip answer to a statistics read into the answer the management process
// gets. Nothing may be read past the bytes given, and the answer's entries
// stay within it.
#include "base/balloc.h"
#include "cmd/cmd_stats.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool pool = bopen(nullptr, 1 << 22, 0) == 0;
    if (!pool)
        return 0;

    // An exact-size copy, so a read past the message is caught.
    std::vector<uint8_t> request(data, data + size);
    cmd_params p = cmd_params_decode(request.data(), request.size());
    if (p.size + (size >= 16 ? 16 : 0) > size)
        __builtin_trap();
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < p.data_size(); i++)
        sink = sink ^ p.data()[i];
    (void)stats_group(p.u16(8));
    (void)stats_onu_port_allowed(p.block[0], p.u32(4));

    auto *answer = static_cast<uint8_t *>(BALLOC(size ? size : 1));
    if (!answer)
        return 0;
    std::memcpy(answer, data, size);
    if (size >= 2) {
        std::vector<uint8_t> out;
        if (stats_answer(answer, p.block, &out)) {
            size_t count = load_le16(out.data() + STATS_COUNT_AT);
            if (out.size() < CMD_PARAMS_SIZE || CMD_PARAMS_SIZE + count * STATS_ENTRY_SIZE > out.size())
                __builtin_trap();
        }
    }
    BFREE(answer);
    return 0;
}
