// The configuration module's ONU list, of any length and content, as the
// add-many schedule commands read it: nothing may be read past the bytes
// given, and no more entries come out than whole entries went in.
#include "cmd/cmd_schedule.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy, so a read past the answer is caught.
    std::vector<uint8_t> payload(data, data + size);
    auto onus = sched_config_list_decode(payload.data(), payload.size());
    size_t whole = size < CMD_PARAMS_SIZE ? 0 : (size - CMD_PARAMS_SIZE) / SCHED_CFG_ENTRY_SIZE;
    if (onus.size() > whole || onus.size() > SCHED_CFG_ENTRIES_MAX)
        __builtin_trap();
    return 0;
}
