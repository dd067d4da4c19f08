// The chip's answers that ONU provisioning reads (learned MACs, address
// entries, the blocked-link list) and the ONU's EAP answer. The first byte
// picks the decoder; the rest is the answer.
#include "auth/eapmd5.h"
#include "onu/profiler_onu.h"
#include "onu/profiler_path.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // A copy of exactly the answer's size, so a read past it is seen.
    std::vector<uint8_t> answer(data + 1, data + size);
    switch (data[0] % 4) {
    case 0: {
        uint8_t out[6 * 8];
        learned_macs_decode(answer.data(), answer.size(), out, 8);
        break;
    }
    case 1: {
        uint8_t out[ADDRESS_ENTRIES_KEPT * ADDRESS_ENTRY_SIZE];
        address_entries_decode(answer.data(), answer.size(), out);
        break;
    }
    case 2: {
        const uint8_t *macs = nullptr;
        uint32_t count = blocked_links_decode(answer.data(), answer.size(), &macs);
        volatile uint8_t sink = 0;
        for (uint32_t i = 0; i < count * 6; i++)
            sink = uint8_t(sink ^ macs[i]);
        break;
    }
    default: {
        static const uint8_t challenge[EAP_MD5_VALUE_SIZE] = {};
        uint8_t reply[EAP_ANSWER_SIZE];
        compose_eap_packet_olt_internal("5820", challenge, answer.data(), answer.size(), reply);
        break;
    }
    }
    return 0;
}
