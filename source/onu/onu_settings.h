// The ONU's own settings, one step per request group, each taking the ONU
// record and finding its inputs there: the four network bytes, the
// configuration block (PON option, UNI port parameters, rule tables), and
// the multicast profile its record names in the configuration cache. ONU
// configuration runs them in its order; their shapes are the entries of its
// step table.
//
// Threads: the profiler thread, with the ONU record held by the caller.
// Results as the requests they send (onu_ports.h, onu_rules.h,
// onu_multicast.h); a multicast profile index outside the cache is 3 with
// nothing sent.
#pragma once

#include <cstdint>

struct onu_record;

constexpr int ONU_PROFILE_MULTICAST = 2;   // rules, SLA, multicast, link, paths

// The multicast profile the ONU names, or NULL.
const uint8_t *onu_multicast_profile(const onu_record *onu);

// Network parameters from the four configuration bytes after the block
// (a 16-bit value kept least significant byte first, then two bytes).
int profiler_onu_network_step(onu_record *onu);
int profiler_onu_port_refresh_step(onu_record *onu, int port);
int profiler_onu_pon_step(onu_record *onu);
// UNI port `port` (1 or 2) from its port block.
int profiler_onu_uni_step(onu_record *onu, int port);
int profiler_onu_block_step(onu_record *onu, int port, bool unblock);
int profiler_onu_rules_step(onu_record *onu, int port);
int profiler_onu_igmp_step(onu_record *onu);
int profiler_onu_ipmc_domains_step(onu_record *onu);
int profiler_onu_ipmc_groups_step(onu_record *onu);
int profiler_onu_ipmc_groups_6838_step(onu_record *onu);
// The RF level of ONU configuration: from the stored video power, always
// less 6.16 dB, both lines cleared first.
void profiler_onu_rf_level_step(onu_record *onu);
// PHY detection; the set-up of the PHY in slot `uni` (0 or 1).
void profiler_onu_phy_detect_step(onu_record *onu);
void profiler_onu_phy_setup_step(onu_record *onu, int uni);
// The transceiver's part number and class.
void profiler_onu_transceiver_step(onu_record *onu);
