// Any chip answer data as a statistics answer.
#include "onu/onu_statistics.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    onu_stat_entry out[ONU_STAT_MAX_ENTRIES];
    size_t count = onu_statistics_decode(data, size, out, ONU_STAT_MAX_ENTRIES);
    if (count > ONU_STAT_MAX_ENTRIES || (size >= ONU_STAT_ANSWER_ECHO &&
                                         count > (size - ONU_STAT_ANSWER_ECHO) / ONU_STAT_ENTRY_SIZE))
        abort();
    return 0;
}
