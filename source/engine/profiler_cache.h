// Configuration cache: the system settings, the RADIUS settings and the five
// profile tables that ONU configurations refer to, held in one process-wide
// block and fetched from the board's configuration module; and the other
// requests to that module (ping, ONU configuration and secret, creation of
// an ONU configuration, save).
//
// Threads: start-up fetches the cache whole before any other thread reads
// it; afterwards the profiler thread refreshes it (ActualizeConfigCache,
// during ONU authorization) and RADIUS accounting refreshes the RADIUS
// settings. Readers on every thread read it without a lock: entries are
// replaced by plain copies, so a reader may see an entry half refreshed.
//
// Locks: none of its own. Each request is one management exchange, which
// takes the management link's send lock innermost; callers may hold an ONU
// record's lock around profiler_create_ont_config.
//
// Answers are decoded by pure functions of bytes (cfgcache_*_apply,
// cfgcache_changes_decode) that check every length before they read; the
// request functions only move bytes between the link and these decoders.
// The layout of the tables and answers is the configuration module's, in
// wire/cfgmsg.h, which ponkernel's store shares.
#pragma once

#include "wire/cfgmsg.h"
#include "wire/ids.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

struct onu_record;

// ---- the cache ----------------------------------------------------------
// The process-wide cache, zeroed, allocated on first use and never freed.
cfg_cache *cfgcache();
// Zeroes the whole cache (tests).
void cfgcache_clear();
inline bool cfgcache_radius_accounting_enabled(const cfg_cache *c) { return c->radius[RADIUS_ACCT_ENABLED] != 0; }

// ---- answers, as pure functions of bytes ----------------------------------
// Copies the two groups of the answer to profile index `index` (even, below
// 64). 0, or -1 when the answer is shorter than two groups (nothing copied).
int cfgcache_fetch_apply(cfg_cache *cache, uint32_t index, const uint8_t *data, size_t len);
// System then RADIUS settings. 0, or -1 when the answer is short.
int cfgcache_settings_apply(cfg_cache *cache, const uint8_t *data, size_t len);

// Change summary: flags from the answer data of the change request.
enum : int {
    CFG_CHANGED_SYSTEM = 1,
    CFG_CHANGED_LINK = 2,
    CFG_CHANGED_SLA = 4,
    CFG_CHANGED_PATHS = 8,
    CFG_CHANGED_MULTICAST = 16,
    CFG_CHANGED_RULES = 32,
    CFG_CHANGED_ALL = 64,
};
// The flags, or -1 (every flag: reload all) when the summary is short.
int cfgcache_changes_decode(const uint8_t *data, size_t len);
// A 64-bit profile bitmap as the module writes it (two u32 LE words, the
// second for positions 0..31): bit n of the result is position n.
uint64_t cfgcache_bitmap(const uint8_t *p);

// Profile update: an 18-byte header (bitmap A, bitmap B, count, type), then
// the records back to back. Places them by the bitmaps. 0; 1000 when the
// answer announced more records than one answer may carry; -2 when it is for
// another type (nothing copied); -1 when the header is short or the type is
// not 1..5.
constexpr int PROFILE_UPDATE_MORE = 1000;
int cfgcache_profiles_apply(cfg_cache *cache, unsigned type, const uint8_t *data, size_t len);

// The record of an ONU's configuration as 0x2009 sends it (ONT_CONFIG_SIZE
// bytes), filled from its ONU record.
void ont_config_from_onu(uint8_t *record, const onu_record *onu);

// ---- requests to the configuration module ---------------------------------
constexpr int CFG_TIMEOUT_PING = 5;
constexpr int CFG_TIMEOUT = 10;
constexpr int CFG_TIMEOUT_FETCH = 20;
constexpr unsigned ACTUALIZE_CHECKS = 4;
constexpr unsigned ACTUALIZE_PAUSE_MS = 100;
constexpr int ACTUALIZE_FAILED = 3;

// The MAC asked for instead of each ONU's own with option -a.
extern const uint8_t ont_config_fixed_mac[6];

// Set to 1 each time the RADIUS settings were refreshed because of the RADIUS
// flag file; RADIUS accounting reads and clears it.
extern std::atomic<int32_t> radius_cfg_changed;

// Each returns 0, -1 for a refusal (non-zero result code) unless stated, or
// the management link's negative code. Any thread; one exchange at a time.
int profiler_cfg_module_ping();
// The full fetch: 32 profile requests, then the settings. Logs failures.
int profiler_get_cfg_cache();
// The change summary as flags (cfgcache_changes_decode).
int GetConfigChanges();
// Applies change flags in their order; the first failure is returned. A
// table that is still "more to come" after as many answers as it has
// entries to fill counts as a failure (1000) rather than asking for ever.
int profiler_apply_config_changes(int flags);
int UpdateSystemCache();
int UpdateRadiusCache();
// 0, 1000 (more to fetch), -1, -2 (answer for another type), or the link code.
int UpdateProfilesCache(unsigned type);
int SaveConfig();
// 0 when the cache is up to date; 3 after four failing checks (logged, and
// notified with event 2). Profiler thread.
int ActualizeConfigCache(const onu_record *onu);
// One check: the flag files, and the refreshes they ask for. 0 = current.
int profiler_cache_check();
// 0 and `record` (ONT_CONFIG_SIZE bytes) filled; the module's result code; or
// the link code.
int profiler_get_ont_config(const uint8_t mac[6], uint8_t *record);
// 0 and 48 bytes of secret, its last byte always NUL; the module's result
// code; or the link code.
int profiler_get_ont_secret(const uint8_t mac[6], char *secret);
// Registers the ONU's configuration (0x2009): the module's result code (the
// ONT id is stored on 0), or 3 when there was no exchange. The caller holds
// the ONU.
int profiler_create_ont_config(onu_record *onu);
// Caller holds the ONU. Applies a configuration that came with a RADIUS
// acceptance (ONT id, port, default secret "5820", description, the
// configuration bytes, the link count of its link profile) and registers
// it with the configuration module, up to three attempts: the last result.
constexpr int ONU_CREATE_ATTEMPTS = 3;
int onu_create_from_config(onu_record *onu, const onu_record *config);
