// Chip answers of any length through the decoders the OLT configuration runs
// on them (port settings entries, SFP information, base LLID read, protocol
// filter), and configuration bytes of any content through the rule encoder.
#include "engine/profiler_olt_requests.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t walked = 0;
    olt_port_settings_walk(data, size, [&](const uint8_t *entry, size_t len) {
        // Each entry lies within the answer.
        if (entry < data || entry + len > data + size)
            __builtin_trap();
        walked += len;
        return true;
    });
    char vendor[SFP_TEXT], part[SFP_TEXT];
    if (olt_sfp_decode(data, size, vendor, part))
        olt_sfp_drssi_supported(part);
    uint16_t llid;
    olt_base_llid_decode(data, size, &llid);
    uint8_t filter[PROTOCOL_FILTER_SIZE];
    olt_protocol_filter_patch(data, size, filter);

    uint8_t slot[RULE_SLOT_SIZE] = {};
    memcpy(slot, data, size < RULE_SLOT_SIZE ? size : RULE_SLOT_SIZE);
    uint8_t out[RULE_ENCODED_MAX];
    if (rule_encode(slot, out) > RULE_ENCODED_MAX)
        __builtin_trap();
    return 0;
}
