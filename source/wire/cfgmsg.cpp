#include "wire/cfgmsg.h"

#include "base/bytes.h"

namespace {

// The paths and rules profiles are large: an update answer carries at most
// this many, so that it stays within the management link's largest message.
constexpr unsigned PATHS_PER_ANSWER = 8;
constexpr unsigned RULES_PER_ANSWER = 7;

} // namespace

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

cfg_span cfgmsg_answer_secret(uint16_t cmd, const uint8_t *payload, size_t length)
{
    switch (cmd) {
    case CFG_CMD_ONT_SECRET:
        return {CFG_PARAMS_SIZE, ONT_SECRET_SIZE};
    case CFG_CMD_ONT_CONFIG:
        return {CFG_PARAMS_SIZE + ONT_CONFIG_SECRET, ONT_SECRET_SIZE};
    case CFG_CMD_RADIUS:
        return {CFG_PARAMS_SIZE + RADIUS_SECRET, RADIUS_SECRET_SIZE};
    case CFG_CMD_FETCH:
        if (length < CFG_PARAMS_SIZE + FETCH_ANSWER_SIZE || load_le32(payload) == FETCH_SETTINGS_INDEX)
            return {CFG_PARAMS_SIZE + SYSTEM_SETTINGS_SIZE + RADIUS_SECRET, RADIUS_SECRET_SIZE};
        return {0, 0};
    default:
        return {0, 0};
    }
}
