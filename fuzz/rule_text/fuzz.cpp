// Any text as a rule received from a RADIUS server.
#include "onu/epon_rules.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    uint8_t entry[ONU_RULE_SIZE];
    memset(entry, 0xEE, sizeof entry);
    int rc = epon_rule_translate_to_bin(text.c_str(), entry);
    if (rc != 0 && rc != -1)
        abort();
    if (rc == 0 && (entry[0] != 0 || entry[5] > ONU_RULE_CLAUSES_MAX))
        abort();
    if (rc == -1)
        for (uint8_t b : entry)
            if (b != 0xEE)
                abort();
    return 0;
}
