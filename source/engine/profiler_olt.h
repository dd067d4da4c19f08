// OLT configuration and state: a chip that reported ready is configured end
// to end from the configuration module's OLT configuration (ports, rules,
// transceiver check, global parameters, subscriber identifier formats,
// multicast domains, base LLIDs); the per-port ONU counts create the
// multicast domains with the first ONU of an OLT and remove them with the
// last; with option -p a reconfiguration writes the OLT's personality
// instead.
//
// Threads: profiler_olt_reconfigure runs on the profiler thread. The ONU
// counting runs on whichever thread allocates (link discovery) or releases
// (the data store, through its hooks) an ONU; the link counts likewise.
// profiler_olt_start/stop are also sent by management commands.
//
// Locks: the OLT record's lock is held from the start of the configuration
// proper to its end, across every chip exchange and the configuration
// request (the chip link's and the management link's send locks are taken
// innermost). The counting functions take the OLT lock themselves, inside an
// ONU record's lock when the data store releases an ONU; the process-wide
// first-configuration flags, LLID seeds and domains-created flags are only
// touched under their OLT's lock. Request and answer blocks are freed by the
// function that allocated or received them.
#pragma once

#include "engine/profiler_olt_requests.h"

#include <cstddef>
#include <cstdint>

struct olt_record;

constexpr int OLT_CHIP_TIMEOUT = 2;
constexpr int OLT_LONG_TIMEOUT = 20;       // start, stop, base LLIDs
constexpr int OLT_SFP_TIMEOUT = 10;
constexpr int OLT_CONFIG_TIMEOUT = 10;
constexpr int OLT_CONFIG_ATTEMPTS = 3;
constexpr unsigned OLT_PORT_SETTLE_MS = 500;   // after the DRSSI switch, before the transceiver is read

constexpr const char *ONU_PERS_FILE = "/usr/local/share/tk3714pers.tkf";
constexpr const char *ONU_PERS_AUTOUPDATE_FLAG = "/etc/config/ontpersautoupdate";
constexpr size_t ONU_PERS_VERSION_AT = 11;

// Base LLIDs: automatic values 0x1000 + (2 s + p) x 0x200 for seed s.
constexpr uint16_t BASE_LLID_FIRST = 0x1000;
constexpr uint16_t BASE_LLID_STEP = 0x200;
constexpr uint16_t BASE_LLID_EXPECTED_FIRST = 0x0C00;   // the value the seed before the current one set
constexpr uint16_t BASE_LLID_LAST = 0x7E00;
constexpr uint16_t LLID_SEED_SKIP = 4096;               // yields the values of seed 0

// Personality writing (option -p): image offsets of the MACs, each stored
// with its bytes reversed.
constexpr size_t OLT_PERS_CHIP_MAC = 152;
constexpr size_t OLT_PERS_ZERO_WORD = 168;
constexpr size_t OLT_PERS_PORT_MAC[4] = {188, 308, 428, 752};
extern const uint8_t OLT_PERS_BASE_MAC[6];   // 00:0D:B6:41:50:00

// What this module calls in the layers above; main.cpp installs it. An
// empty entry is skipped.
struct profiler_olt_hook_table {
    // Loads OLT `olt`'s subscriber identifier templates (circuit-ID,
    // remote-ID; NUL-terminated, at most 255 characters) for the
    // identifier formats, with the host name, the slot text and the
    // device address as dotted text.
    void (*identifier_templates)(int olt, const char *circuit, const char *remote, const char *host,
                                 const char *slot, const char *address);
};
extern profiler_olt_hook_table profiler_olt_hooks;

// The one place the configuration pauses (the port settle time); tests and
// benchmarks replace it. Default: a real sleep.
extern void (*profiler_olt_sleep_ms)(unsigned ms);

// ---- operations ----------------------------------------------------------------
// Configures OLT `olt` (0..3) from its configuration. 0 on full success;
// else the OR of the failing steps' codes, or the management link's
// negative code when the configuration could not be fetched. Profiler
// thread.
int profiler_olt_reconfigure(int olt);
// Fetches the OLT's configuration and creates its multicast domains: the
// configuration request's result (0 once it arrived). Caller holds the OLT.
int profiler_olt_create_domains(olt_record *olt);
// The personality writer of option -p: 0, 3 (write failed) or -1 (the image
// could not be read). Caller holds the OLT.
int profiler_olt_write_personality(olt_record *olt);
// 0x0008 (start) and 0x0009 (stop), LEN 0, 20 s: 0, 3, 4 or the transport's
// negative result.
int profiler_olt_start(int olt);
int profiler_olt_stop(int olt);

// ONU counting. Increment: one more ONU on PON port `port` (0, 1) of OLT
// `olt`; `*choice` receives the registration group (1 first, 0 second). An
// OLT above 3 or a port above 1 is ignored. Decrement: one ONU less, from
// group `choice`. Both lock the OLT; the _internal body runs under it.
void profiler_olt_onucnt_increment(int olt, int port, int *choice);
void profiler_olt_onucnt_decrement(int olt, int port, int choice);
void profiler_olt_onucnt_decrement_internal(olt_record *olt, int port, int choice);
// Links discovered on a PON port: one more, or `n` fewer (never below 0).
void profiler_olt_link_count_add(int olt, int port);
void profiler_olt_link_count_sub(int olt, int port, int n);

// ---- this module's part of the OLT record (its configuration state bytes) --------
// The caller holds the OLT.
uint8_t profiler_olt_global_parameter(const olt_record *olt);
uint8_t profiler_olt_option82_format(const olt_record *olt);   // option 82 format of the paths
uint8_t profiler_olt_pppoe_format(const olt_record *olt);      // PPPoE+ tag format of the paths
uint8_t profiler_olt_drssi_enabled(const olt_record *olt, int port);
// The same for OLT `olt` (0..3), read under its record's lock: what the
// port status refresh and the watchdog's DRSSI readings ask.
bool olt_port_drssi_enabled(int olt, int port);
uint8_t profiler_olt_link_count(const olt_record *olt, int port);
uint16_t profiler_olt_onu_pers_version(const olt_record *olt);
uint32_t profiler_olt_status_word(const olt_record *olt);

// ---- process-wide state, for tests ------------------------------------------------
// Back to start-up: first-configuration flags set, seeds 0, no domains.
void profiler_olt_state_reset();
uint16_t profiler_olt_llid_seed(int olt);
void profiler_olt_set_llid_seed(int olt, uint16_t seed);
bool profiler_olt_first_configuration(int olt);
bool profiler_olt_domains_created(int olt);

// ---- the steps, as functions of the bytes they are given -----------------------------
// Decides and sets the base LLIDs of OLT `olt` (locked) with configured
// values `configured` (0 = automatic).
void profiler_olt_set_base_llid(int olt, olt_record *record, const uint16_t configured[2]);
// The automatic base LLID of port `port` for seed `seed`, skipping the other
// port's configured value; advances `*seed` when it skips.
uint16_t profiler_olt_auto_llid(uint16_t *seed, int port, uint16_t other_configured);
// The seed after a change.
uint16_t profiler_olt_next_seed(uint16_t seed);
