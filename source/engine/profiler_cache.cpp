// Configuration cache: the block, its profile tables and the decoders of the
// configuration module's answers. The requests that fetch them follow below.
#include "engine/profiler_cache.h"

#include "base/balloc.h"
#include "base/bytes.h"
#include "store/datastruct.h"
#include "mgmt/kernlink.h"
#include "platform/log.h"
#include "platform/sandbox.h"
#include "platform/textconv.h"
#include "base/process.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

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

// ---- requests to the configuration module ----------------------------------

namespace {

// An answer from the configuration module, held until release().
struct cfg_answer {
    uint8_t *msg = nullptr;
    uint8_t rcode = 0;
    const uint8_t *payload = nullptr;
    size_t len = 0;
    // The data behind the echoed parameter block.
    const uint8_t *data() const { return payload + CFG_PARAMS_SIZE; }
    size_t data_len() const { return len > CFG_PARAMS_SIZE ? len - CFG_PARAMS_SIZE : 0; }
    void release()
    {
        BFREE_SAFE(msg);
        msg = nullptr;
    }
};

// One exchange with the configuration module: the link's negative code, or
// 0 with the answer (whose result code the caller judges).
int cfg_request(uint16_t cmd, const void *payload, uint32_t len, int timeout, cfg_answer *out)
{
    int rc = kernlink_request(cmd, MODULE_CONFIG, payload, len, &out->msg, timeout);
    if (rc != 0) {
        out->msg = nullptr;
        return rc < 0 ? rc : -1;
    }
    kernmsg_header header = kernmsg_header_decode(out->msg);
    out->rcode = header.rcode;
    out->payload = out->msg + KERNMSG_HEADER_SIZE;
    out->len = header.len;
    return 0;
}

// The requests whose answer is one block copied whole into the cache.
int fetch_block(const char *name, uint16_t cmd, uint8_t *dest, size_t size)
{
    uint8_t params[CFG_PARAMS_SIZE] = {};
    cfg_answer answer;
    int rc = cfg_request(cmd, params, sizeof params, CFG_TIMEOUT, &answer);
    if (rc < 0)
        return rc;
    if (answer.rcode != CFG_RC_OK) {
        syslog(LOG_ERR, "%s configres->header.rcode = %d", name, int(answer.rcode));
        rc = -1;
    } else if (answer.data_len() < size) {
        syslog(LOG_ERR, "%s: short answer (%u bytes)", name, unsigned(answer.data_len()));
        rc = -1;
    } else {
        memcpy(dest, answer.data(), size);
    }
    answer.release();
    return rc;
}

// The MAC the configuration module is asked about for an ONU.
const uint8_t *asked_mac(const uint8_t mac[6]) { return flags.a ? ont_config_fixed_mac : mac; }

bool flag_file(const char *board_path) { return access(sandbox_path(board_path).c_str(), F_OK) == 0; }

// How many "more to come" answers a table can need before it is full.
unsigned max_rounds(unsigned type)
{
    cfg_profile_table table;
    if (!cfgcache_table(cfgcache(), type, &table) || table.per_answer == 0)
        return 1;
    return table.entries / table.per_answer + 1;
}

int update_repeated(unsigned type)
{
    int rc = PROFILE_UPDATE_MORE;
    for (unsigned round = 0; round < max_rounds(type) && rc == PROFILE_UPDATE_MORE; round++)
        rc = UpdateProfilesCache(type);
    return rc;
}

} // namespace

int profiler_cfg_module_ping()
{
    cfg_answer answer;
    int rc = cfg_request(CFG_CMD_PING, nullptr, 0, CFG_TIMEOUT_PING, &answer);
    if (rc < 0)
        return rc;
    rc = answer.rcode == CFG_RC_OK ? 0 : -1;
    answer.release();
    return rc;
}

int profiler_get_cfg_cache()
{
    cfg_cache *cache = cfgcache();
    uint8_t params[CFG_PARAMS_SIZE] = {};
    for (uint32_t i = 0; i < 2 * FETCH_PROFILE_REQUESTS; i += 2) {
        store_le32(params, i);
        store_le32(params + 4, 2 * i);
        cfg_answer answer;
        int rc = cfg_request(CFG_CMD_FETCH, params, sizeof params, CFG_TIMEOUT_FETCH, &answer);
        if (rc < 0) {
            syslog(LOG_ERR, "%s:%d: i = %d, ret = %d", __func__, __LINE__, int(i), rc);
            return rc;
        }
        if (answer.rcode != CFG_RC_OK) {
            syslog(LOG_ERR, "%s:%d: i = %d, error_code = %d", __func__, __LINE__, int(i), int(answer.rcode));
            answer.release();
            return -1;
        }
        rc = cfgcache_fetch_apply(cache, i, answer.data(), answer.data_len());
        if (rc != 0)
            syslog(LOG_ERR, "%s:%d: i = %d, short answer (%u bytes)", __func__, __LINE__, int(i),
                   unsigned(answer.data_len()));
        answer.release();
        if (rc != 0)
            return -1;
    }

    store_le32(params, FETCH_SETTINGS_INDEX);
    store_le32(params + 4, 4 * FETCH_PROFILE_REQUESTS);
    cfg_answer answer;
    int rc = cfg_request(CFG_CMD_FETCH, params, sizeof params, CFG_TIMEOUT_FETCH, &answer);
    if (rc < 0) {
        syslog(LOG_ERR, "%s:%d: i = %d, ret = %d", __func__, __LINE__, -1, rc);
        return rc;
    }
    if (answer.rcode != CFG_RC_OK) {
        syslog(LOG_ERR, "%s:%d: i = %d, error_code = %d", __func__, __LINE__, -1, int(answer.rcode));
        rc = -1;
    } else if (cfgcache_settings_apply(cache, answer.data(), answer.data_len()) != 0) {
        syslog(LOG_ERR, "%s:%d: i = %d, short answer (%u bytes)", __func__, __LINE__, -1,
               unsigned(answer.data_len()));
        rc = -1;
    }
    answer.release();
    return rc;
}

int GetConfigChanges()
{
    uint8_t params[CFG_PARAMS_SIZE] = {};
    cfg_answer answer;
    int rc = cfg_request(CFG_CMD_CHANGES, params, sizeof params, CFG_TIMEOUT, &answer);
    if (rc < 0)
        return rc;
    rc = answer.rcode != CFG_RC_OK ? -1 : cfgcache_changes_decode(answer.data(), answer.data_len());
    answer.release();
    return rc;
}

int profiler_apply_config_changes(int changes)
{
    if (changes & CFG_CHANGED_ALL)
        return profiler_get_cfg_cache();
    int rc = 0;
    if ((changes & CFG_CHANGED_SYSTEM) && (rc = UpdateSystemCache()) != 0)
        return rc;
    if ((changes & CFG_CHANGED_LINK) && (rc = UpdateProfilesCache(PROFILE_TYPE_LINK)) != 0)
        return rc;
    if ((changes & CFG_CHANGED_SLA) && (rc = UpdateProfilesCache(PROFILE_TYPE_SLA)) != 0)
        return rc;
    if ((changes & CFG_CHANGED_PATHS) && (rc = update_repeated(PROFILE_TYPE_PATHS)) != 0)
        return rc;
    if ((changes & CFG_CHANGED_MULTICAST) && (rc = UpdateProfilesCache(PROFILE_TYPE_MULTICAST)) != 0)
        return rc;
    if ((changes & CFG_CHANGED_RULES) && (rc = update_repeated(PROFILE_TYPE_RULES)) != 0)
        return rc;
    return 0;
}

int UpdateSystemCache() { return fetch_block(__func__, CFG_CMD_SYSTEM, cfgcache()->system, SYSTEM_SETTINGS_SIZE); }

int UpdateRadiusCache() { return fetch_block(__func__, CFG_CMD_RADIUS, cfgcache()->radius, RADIUS_SETTINGS_SIZE); }

int SaveConfig()
{
    uint8_t params[CFG_PARAMS_SIZE] = {};
    cfg_answer answer;
    int rc = cfg_request(CFG_CMD_SAVE, params, sizeof params, CFG_TIMEOUT, &answer);
    if (rc < 0)
        return rc;
    if (answer.rcode != CFG_RC_OK) {
        syslog(LOG_ERR, "%s configres->header.rcode = %d", __func__, int(answer.rcode));
        rc = -1;
    }
    answer.release();
    return rc;
}

int UpdateProfilesCache(unsigned type)
{
    uint8_t params[CFG_PARAMS_SIZE] = {};
    store_le32(params, type);
    cfg_answer answer;
    int rc = cfg_request(CFG_CMD_PROFILES, params, sizeof params, CFG_TIMEOUT, &answer);
    if (rc < 0)
        return rc;
    if (answer.rcode != CFG_RC_OK) {
        uint32_t mutex_err = answer.len >= 4 ? load_le32(answer.payload) : 0;
        syslog(LOG_ERR, "%s configres->header.rcode = %d, mutex err = %d", __func__, int(answer.rcode),
               int(mutex_err));
        rc = -1;
    } else {
        rc = cfgcache_profiles_apply(cfgcache(), type, answer.data(), answer.data_len());
    }
    answer.release();
    return rc;
}

int profiler_cache_check()
{
    int value = 0;
    if (flag_file(CONFIG_CHANGED_FLAG)) {
        int changes = GetConfigChanges();
        // A refusal (-1) asks for everything; a transport failure's code
        // means nothing as flags and fails the check as it is.
        if (changes < -1)
            value = changes;
        else if (changes != 0)
            value = profiler_apply_config_changes(changes);
    }
    if (flag_file(RADIUS_CHANGED_FLAG)) {
        if (UpdateRadiusCache() == 0)
            radius_cfg_changed = 1;
        else
            value |= 1;
    }
    return value;
}

int ActualizeConfigCache(const onu_record *onu)
{
    for (unsigned check = 0; check < ACTUALIZE_CHECKS; check++) {
        if (check > 0)
            usleep(ACTUALIZE_PAUSE_MS * 1000);
        if (profiler_cache_check() == 0)
            return 0;
    }
    char mac[18];
    convert_to_mac(mac, onu->mac);
    syslog(LOG_ERR, "%s: ONT %s cash config request failed", __func__, mac);
    kernlink_notify_fmt(EVENT_CONFIG_PROBLEM, uint32_t(onu->olt) * 2 + onu->port, 0, 0, 0,
                        "%s : can't get cash config", mac);
    return ACTUALIZE_FAILED;
}

int profiler_get_ont_config(const uint8_t mac[6], uint8_t *record)
{
    uint8_t params[CFG_PARAMS_SIZE] = {};
    store_le32(params, 1);
    memcpy(params + 8, asked_mac(mac), 6);
    cfg_answer answer;
    int rc = cfg_request(CFG_CMD_ONT_CONFIG, params, sizeof params, CFG_TIMEOUT, &answer);
    if (rc < 0)
        return rc;
    rc = answer.rcode;
    if (rc == CFG_RC_OK) {
        size_t n = std::min(answer.data_len(), ONT_CONFIG_SIZE);
        memcpy(record, answer.data(), n);
        memset(record + n, 0, ONT_CONFIG_SIZE - n);
    }
    answer.release();
    return rc;
}

int profiler_get_ont_secret(const uint8_t mac[6], char *secret)
{
    uint8_t params[CFG_PARAMS_SIZE] = {};
    memcpy(params + 8, asked_mac(mac), 6);
    cfg_answer answer;
    int rc = cfg_request(CFG_CMD_ONT_SECRET, params, sizeof params, CFG_TIMEOUT, &answer);
    if (rc < 0)
        return rc;
    rc = answer.rcode;
    if (rc == CFG_RC_OK) {
        size_t n = std::min(answer.data_len(), ONT_SECRET_SIZE);
        memcpy(secret, answer.data(), n);
        memset(secret + n, 0, ONT_SECRET_SIZE - n);
        secret[ONT_SECRET_SIZE - 1] = '\0';   // it is used as text
    }
    answer.release();
    return rc;
}

void ont_config_from_onu(uint8_t *record, const onu_record *onu)
{
    memset(record, 0, ONT_CONFIG_SIZE);
    record[ONT_CONFIG_TYPE] = onu->type;
    memcpy(record + ONT_CONFIG_MAC, onu->mac, 6);
    memcpy(record + ONT_CONFIG_SECRET, onu->secret, ONT_SECRET_SIZE);
    memcpy(record + ONT_CONFIG_PROFILES, onu->profiles, 5);
    store_le32(record + ONT_CONFIG_ONT_ID, onu->ont_id);
    memcpy(record + ONT_CONFIG_DESCRIPTION, onu->description, ONT_CONFIG_DESCRIPTION_SENT);
    record[ONT_CONFIG_PORT] = onu->configured_port;
    memcpy(record + ONT_CONFIG_BYTES, onu->cfg_bytes, 4);
    memcpy(record + ONT_CONFIG_TAIL, onu->cfg_tail, 4);
    memcpy(record + ONT_CONFIG_BLOCK, onu->cfg_block, sizeof onu->cfg_block);
    record[ONT_CONFIG_BLOCK + sizeof onu->cfg_block] = onu->link_count;
}

int profiler_create_ont_config(onu_record *onu)
{
    std::vector<uint8_t> payload(CFG_PARAMS_SIZE + ONT_CONFIG_SIZE);
    memcpy(&payload[8], onu->mac, 6);
    ont_config_from_onu(&payload[CFG_PARAMS_SIZE], onu);
    char mac[18];
    convert_to_mac(mac, onu->mac);

    cfg_answer answer;
    if (cfg_request(CFG_CMD_ONT_CREATE, payload.data(), uint32_t(payload.size()), CFG_TIMEOUT, &answer) < 0) {
        syslog(LOG_ERR, "RADIUS: Can't create config for ONT-%s", mac);
        return 3;
    }
    int rc = answer.rcode;
    switch (rc) {
    case CFG_RC_OK:
        if (answer.len >= 4)
            onu->ont_id = load_le32(answer.payload);
        syslog(LOG_ERR, "RADIUS: Config for ONT-%s created, ont-id %d", mac, int(onu->ont_id));
        break;
    case CFG_RC_NO_RESOURCES:
        syslog(LOG_ERR, "RADIUS: Can't create config for ONT-%s. Have no resources", mac);
        break;
    case CFG_RC_EXISTS:
        syslog(LOG_ERR, "RADIUS: Can't create config for ONT-%s. Already exist", mac);
        break;
    default:
        syslog(LOG_ERR, "RADIUS: Can't create config for ONT-%s. Unknown error", mac);
        break;
    }
    answer.release();
    return rc;
}

int onu_create_from_config(onu_record *onu, const onu_record *config)
{
    constexpr size_t CONFIG_FIRST = offsetof(onu_record, profiles);
    constexpr size_t CONFIG_SIZE = offsetof(onu_record, unused4) - CONFIG_FIRST;
    static_assert(CONFIG_FIRST == 2400 && CONFIG_SIZE == 16073);
    static const char DEFAULT_SECRET[] = "5820";

    onu->ont_id = config->ont_id;
    onu->configured_port = config->configured_port < 8 ? config->configured_port : PORT_NONE;
    memset(onu->secret, 0, sizeof onu->secret);
    memcpy(onu->secret, DEFAULT_SECRET, sizeof DEFAULT_SECRET);
    memcpy(onu->description, config->description, sizeof onu->description - 1);
    onu->description[sizeof onu->description - 1] = '\0';
    memcpy(reinterpret_cast<uint8_t *>(onu) + CONFIG_FIRST, reinterpret_cast<const uint8_t *>(config) + CONFIG_FIRST,
           CONFIG_SIZE);

    // The link profile gives the link count. An index outside the table, or
    // a count above the four link records, would send every later walk over
    // the links past the record: such values leave the configured count,
    // bounded by the records there are.
    uint8_t link_profile = onu->profiles[ONU_PROFILE_LINK];
    if (link_profile < PROFILE_ENTRIES)
        onu->link_count = cfgcache()->link[link_profile][LINK_PROFILE_LINK_COUNT];
    if (onu->link_count > ONU_LINKS)
        onu->link_count = ONU_LINKS;

    int rc = 3;
    for (int attempt = 0; attempt < ONU_CREATE_ATTEMPTS && rc != 0; attempt++)
        rc = profiler_create_ont_config(onu);
    onu->cfg_flags = (onu->cfg_flags | ONU_CFG_FROM_RADIUS) & ~ONU_CFG_PENDING;
    onu_summary_update(onu);
    return rc;
}
