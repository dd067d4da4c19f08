// Configuration cache: the block, its profile tables and the decoders of the
// configuration module's answers. The requests that fetch them follow below.
#include "profiler_cache.h"

#include "bytes.h"
#include "platform/log.h"

#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// The paths and rules profiles are large: an update answer carries at most
// this many, so that it stays within the management link's largest message.
constexpr unsigned PATHS_PER_ANSWER = 8;
constexpr unsigned RULES_PER_ANSWER = 7;

cfg_cache *cache_block;
std::once_flag cache_once;

// Lowest set bit of `bits` at or above `from`, or -1.
int lowest_bit_from(uint64_t bits, unsigned from)
{
    if (from >= 64)
        return -1;
    bits &= ~uint64_t(0) << from;
    return bits ? __builtin_ctzll(bits) : -1;
}

bool any_set(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i])
            return true;
    return false;
}

} // namespace

const uint8_t ont_config_fixed_mac[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0x00};
std::atomic<int32_t> radius_cfg_changed{0};

cfg_cache *cfgcache()
{
    // Heap, not the pool: the cache is 2.6 MB and lives as long as the
    // process. calloc keeps it all zero until the first fetch.
    std::call_once(cache_once, [] {
        cache_block = static_cast<cfg_cache *>(calloc(1, sizeof(cfg_cache)));
        if (!cache_block)
            abort();
    });
    return cache_block;
}

void cfgcache_clear() { memset(cfgcache(), 0, sizeof(cfg_cache)); }

bool cfgcache_table(cfg_cache *cache, unsigned type, cfg_profile_table *out)
{
    switch (type) {
    case PROFILE_TYPE_LINK:
        *out = {&cache->link[0][0], PROFILE_LINK_SIZE, PROFILE_ENTRIES, 0};
        return true;
    case PROFILE_TYPE_SLA:
        *out = {&cache->sla[0][0], PROFILE_SLA_SIZE, PROFILE_ENTRIES, 0};
        return true;
    case PROFILE_TYPE_PATHS:
        *out = {&cache->paths[0][0], PROFILE_PATHS_SIZE, PROFILE_ENTRIES, PATHS_PER_ANSWER};
        return true;
    case PROFILE_TYPE_MULTICAST:
        *out = {&cache->multicast[0][0], PROFILE_MULTICAST_SIZE, PROFILE_ENTRIES, 0};
        return true;
    case PROFILE_TYPE_RULES:
        *out = {&cache->rules[0][0], PROFILE_RULES_SIZE, PROFILE_RULES_ENTRIES, RULES_PER_ANSWER};
        return true;
    default:
        return false;
    }
}

int cfgcache_fetch_apply(cfg_cache *cache, uint32_t index, const uint8_t *data, size_t len)
{
    if (index % 2 != 0 || index + 1 >= PROFILE_ENTRIES || len < FETCH_ANSWER_SIZE)
        return -1;
    byte_reader in(data, len);
    for (uint32_t profile = index; profile <= index + 1; profile++) {
        in.bytes(cache->rules[2 * profile], PROFILE_RULES_SIZE);
        in.bytes(cache->rules[2 * profile + 1], PROFILE_RULES_SIZE);
        in.bytes(cache->link[profile], PROFILE_LINK_SIZE);
        in.bytes(cache->sla[profile], PROFILE_SLA_SIZE);
        in.bytes(cache->paths[profile], PROFILE_PATHS_SIZE);
        in.bytes(cache->multicast[profile], PROFILE_MULTICAST_SIZE);
    }
    return in.ok() ? 0 : -1;
}

int cfgcache_settings_apply(cfg_cache *cache, const uint8_t *data, size_t len)
{
    if (len < FETCH_SETTINGS_SIZE)
        return -1;
    memcpy(cache->system, data, SYSTEM_SETTINGS_SIZE);
    memcpy(cache->radius, data + SYSTEM_SETTINGS_SIZE, RADIUS_SETTINGS_SIZE);
    return 0;
}

uint64_t cfgcache_bitmap(const uint8_t *p) { return uint64_t(load_le32(p)) << 32 | load_le32(p + 4); }

int cfgcache_changes_decode(const uint8_t *data, size_t len)
{
    if (len < CHANGE_SUMMARY_SIZE)
        return -1;
    int flags = 0;
    if (data[0] == 1)
        flags |= CFG_CHANGED_SYSTEM;
    else if (data[0] != 0)
        flags |= CFG_CHANGED_ALL;
    if (any_set(data + 1, 8))
        flags |= CFG_CHANGED_LINK;
    if (any_set(data + 9, 8))
        flags |= CFG_CHANGED_SLA;
    if (any_set(data + 17, 8))
        flags |= CFG_CHANGED_PATHS;
    if (any_set(data + 25, 8))
        flags |= CFG_CHANGED_MULTICAST;
    if (any_set(data + 33, 16))
        flags |= CFG_CHANGED_RULES;
    return flags;
}

int cfgcache_profiles_apply(cfg_cache *cache, unsigned type, const uint8_t *data, size_t len)
{
    cfg_profile_table table;
    if (!cfgcache_table(cache, type, &table) || len < PROFILE_UPDATE_HEADER)
        return -1;
    uint64_t bitmap_a = cfgcache_bitmap(data);
    // Only the rules table has entries 64..127; for the others a second
    // bitmap would place records beyond the end of their table.
    uint64_t bitmap_b = type == PROFILE_TYPE_RULES ? cfgcache_bitmap(data + 8) : 0;
    unsigned count = data[16];
    unsigned answer_type = data[17];
    if (answer_type != type) {
        syslog(LOG_ERR, "%s info.profileType != profileType %d != %d ", "UpdateProfilesCache", int(answer_type),
               int(type));
        return -2;
    }

    int result = 0;
    unsigned take = count;
    if (table.per_answer && take > table.per_answer) {
        take = table.per_answer;
        result = PROFILE_UPDATE_MORE;
    }
    size_t present = (len - PROFILE_UPDATE_HEADER) / table.entry_size;
    if (take > present) {
        trace("%s: answer holds %u of %u records\n", "UpdateProfilesCache", unsigned(present), take);
        take = unsigned(present);
    }

    const uint8_t *record = data + PROFILE_UPDATE_HEADER;
    uint64_t current = bitmap_a;
    unsigned offset = 0;   // entry of position 0 in the current bitmap
    unsigned from = 0;
    for (unsigned i = 0; i < take;) {
        int n = lowest_bit_from(current, from);
        if (n < 0) {
            if (offset == 0 && bitmap_b != 0) {
                current = bitmap_b;
                offset = 64;
                from = 0;
                continue;
            }
            break;   // records the bitmaps do not describe are dropped
        }
        memcpy(table.base + (offset + unsigned(n)) * table.entry_size, record, table.entry_size);
        record += table.entry_size;
        from = unsigned(n) + 1;
        i++;
    }
    return result;
}
