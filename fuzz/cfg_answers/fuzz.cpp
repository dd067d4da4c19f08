// Configuration answers of any length through the decoders that the cache
// refresh runs on them: the profile update (byte 0 picks the requested type)
// and the change summary.
#include "engine/profiler_cache.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    unsigned type = data[0] % 7;   // 0 and 6 are not profile types
    cfgcache_profiles_apply(cfgcache(), type, data + 1, size - 1);
    cfgcache_changes_decode(data + 1, size - 1);
    if (size > 1)
        cfgcache_fetch_apply(cfgcache(), uint32_t(data[1]) % 66, data + 1, size - 1);
    cfgcache_settings_apply(cfgcache(), data + 1, size - 1);
    return 0;
}
