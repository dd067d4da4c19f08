// A chip's answer to the IGMP group read, any length and content, into the
// 257-byte result the management process gets: nothing is read past the
// bytes given, and a result that is accepted counts no more than 32 groups,
// each of a known kind.
#include "cmd/cmd_onu.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy, so a read past the answer is caught.
    std::vector<uint8_t> answer(data, data + size);
    uint8_t out[IGMP_RESULT_SIZE];
    if (igmp_groups_decode(answer.data(), answer.size(), out) != 0)
        return 0;
    if (out[0] > IGMP_GROUPS_MAX)
        __builtin_trap();
    for (int i = 0; i < out[0]; i++)
        if (out[1 + IGMP_ENTRY_SIZE * size_t(i) + 4] > 2)
            __builtin_trap();
    return 0;
}
