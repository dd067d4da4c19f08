// The configuration module's side of the management link: its request
// numbers and result codes, the layout of its tables (the system and RADIUS
// settings and the five profile tables, which the daemon's configuration
// cache keeps in the same layout), of its fetch, change-summary and
// profile-update answers, and of the ONU configuration record. The daemon
// decodes these answers and ponkernel's configuration store encodes them,
// so both take the layout from here.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- requests -------------------------------------------------------------
enum : uint16_t {
    CFG_CMD_PING = 0x0009,
    CFG_CMD_OLT_CONFIG = 0x1004,
    CFG_CMD_ONT_SECRET = 0x2000,
    CFG_CMD_ONT_CONFIG = 0x2001,
    CFG_CMD_ONT_CREATE = 0x2009,
    CFG_CMD_ONT_LIST = 0x200A,
    CFG_CMD_ONT_DESCRIPTION = 0x2010,
    CFG_CMD_FETCH = 0x2022,
    CFG_CMD_CHANGES = 0x2023,
    CFG_CMD_PROFILES = 0x2024,
    CFG_CMD_SYSTEM = 0x2025,
    CFG_CMD_RADIUS = 0x2029,
    CFG_CMD_SAVE = 0x4001,
};
// Result codes of the configuration module that the daemon tells apart.
enum : int {
    CFG_RC_OK = 0,
    CFG_RC_NO_RESOURCES = 4,
    CFG_RC_NOT_FOUND = 8,
    CFG_RC_EXISTS = 9,
    CFG_RC_INCORRECT = 10,
};
constexpr size_t CFG_PARAMS_SIZE = 32;   // parameter block, echoed in answers

// ---- the tables -----------------------------------------------------------
constexpr unsigned PROFILE_RULES_ENTRIES = 128;
constexpr unsigned PROFILE_ENTRIES = 64;
constexpr size_t PROFILE_RULES_SIZE = 14617;
constexpr size_t PROFILE_LINK_SIZE = 29;
constexpr size_t PROFILE_SLA_SIZE = 149;
constexpr size_t PROFILE_PATHS_SIZE = 11912;
constexpr size_t PROFILE_MULTICAST_SIZE = 435;
constexpr size_t SYSTEM_SETTINGS_SIZE = 270;
constexpr size_t RADIUS_SETTINGS_SIZE = 278;

// Profile types as the configuration module numbers them.
enum : uint8_t {
    PROFILE_TYPE_LINK = 1,
    PROFILE_TYPE_SLA = 2,
    PROFILE_TYPE_PATHS = 3,
    PROFILE_TYPE_MULTICAST = 4,
    PROFILE_TYPE_RULES = 5,
};

// Byte arrays only, so the parts follow each other without padding.
struct cfg_cache {
    uint8_t rules[PROFILE_RULES_ENTRIES][PROFILE_RULES_SIZE];
    uint8_t link[PROFILE_ENTRIES][PROFILE_LINK_SIZE];
    uint8_t sla[PROFILE_ENTRIES][PROFILE_SLA_SIZE];
    uint8_t paths[PROFILE_ENTRIES][PROFILE_PATHS_SIZE];
    uint8_t multicast[PROFILE_ENTRIES][PROFILE_MULTICAST_SIZE];
    uint8_t system[SYSTEM_SETTINGS_SIZE];
    uint8_t radius[RADIUS_SETTINGS_SIZE];
};
static_assert(sizeof(cfg_cache) == 2673124);

// Fields of the settings that the daemon reads.
constexpr size_t LINK_PROFILE_LINK_COUNT = 28;
constexpr size_t SYSTEM_HOSTNAME = 4;           // 256 bytes of text
constexpr size_t SYSTEM_DEVICE_ADDRESS = 260;   // IPv4, network order
constexpr size_t RADIUS_AUTH_ENABLED = 0;
constexpr size_t RADIUS_SECRET = 13;             // 256 bytes of text
constexpr size_t RADIUS_ACCT_ENABLED = 269;

// One profile table: where its entries start, their size and count, and how
// many records one update answer may carry (0: as many as it announces).
struct cfg_profile_table {
    uint8_t *base;
    size_t entry_size;
    unsigned entries;
    unsigned per_answer;
};
// false for a type other than 1..5.
bool cfgcache_table(cfg_cache *cache, unsigned type, cfg_profile_table *out);

// ---- answers ---------------------------------------------------------------
// Full fetch: one answer holds two groups (profile indexes i and i + 1) of
// rules 2i', 2i'+1, link, SLA, paths and multicast profile, i' the group's
// index; the last answer holds the system then the RADIUS settings.
constexpr size_t FETCH_GROUP_SIZE = 2 * PROFILE_RULES_SIZE + PROFILE_LINK_SIZE + PROFILE_SLA_SIZE +
                                    PROFILE_PATHS_SIZE + PROFILE_MULTICAST_SIZE;
static_assert(FETCH_GROUP_SIZE == 41759);
constexpr size_t FETCH_ANSWER_SIZE = 2 * FETCH_GROUP_SIZE;
constexpr size_t FETCH_SETTINGS_SIZE = SYSTEM_SETTINGS_SIZE + RADIUS_SETTINGS_SIZE;
constexpr unsigned FETCH_PROFILE_REQUESTS = 32;
constexpr uint32_t FETCH_SETTINGS_INDEX = 0xFFFFFFFF;
constexpr size_t CHANGE_SUMMARY_SIZE = 49;
// Profile update: an 18-byte header (bitmap A, bitmap B, count, type), then
// the records back to back.
constexpr size_t PROFILE_UPDATE_HEADER = 18;

// ---- the ONU configuration record (answer of 0x2001, body of 0x2009) ------
constexpr size_t ONT_CONFIG_TYPE = 0;
constexpr size_t ONT_CONFIG_MAC = 1;
constexpr size_t ONT_CONFIG_SECRET = 7;           // 48 bytes
constexpr size_t ONT_CONFIG_PROFILES = 57;        // rules, SLA, multicast, link, paths
constexpr size_t ONT_CONFIG_ONT_ID = 62;          // u32 LE
constexpr size_t ONT_CONFIG_DESCRIPTION = 66;     // 256 bytes
constexpr size_t ONT_CONFIG_PORT = 322;           // OLT x 2 + port, 255 = any
constexpr size_t ONT_CONFIG_BYTES = 323;          // 4 bytes
constexpr size_t ONT_CONFIG_TAIL = 327;           // 4 bytes
constexpr size_t ONT_CONFIG_BLOCK = 331;          // 16060 bytes
constexpr size_t ONT_CONFIG_BLOCK_SIZE = 16060;
constexpr size_t ONT_CONFIG_SIZE = ONT_CONFIG_BLOCK + ONT_CONFIG_BLOCK_SIZE;
constexpr size_t ONT_SECRET_SIZE = 48;
constexpr size_t ONT_CONFIG_DESCRIPTION_SENT = 255;
static_assert(ONT_CONFIG_SIZE == 16391);

// ---- secrets -------------------------------------------------------------
constexpr size_t RADIUS_SECRET_SIZE = 256;
// Where the secret lies in the configuration module's answer to `cmd`, as an
// offset into the answer's payload (`length` bytes; the parameter block it
// echoes first) and a size: the ONU secret of 0x2000 and of the ONU
// configuration record (0x2001), the shared secret of the RADIUS settings
// (0x2029) and of the full fetch's settings answer (0x2022, told by the
// index it echoes, or by being too short for two profile groups). Size 0:
// the answer carries no secret. Whoever writes or serves such answers
// outside the daemon (a capture, a replay) hides or fills these bytes.
struct cfg_span {
    size_t at, size;
};
cfg_span cfgmsg_answer_secret(uint16_t cmd, const uint8_t *payload, size_t length);

// Flag files of the management process; only their existence is tested.
constexpr const char *CONFIG_CHANGED_FLAG = "/tmp/configchanged.flag";
constexpr const char *RADIUS_CHANGED_FLAG = "/tmp/radiuscfgchanged.flag";
