// The ONU's own settings from its record. See onu_settings.h.
#include "onu/onu_settings.h"

#include "base/bytes.h"
#include "engine/onu_optics.h"
#include "engine/onu_phy.h"
#include "engine/profiler_cache.h"
#include "onu/onu_multicast.h"
#include "onu/onu_ports.h"
#include "onu/onu_rules.h"
#include "store/datastruct.h"
#include "wire/ids.h"

const uint8_t *onu_multicast_profile(const onu_record *onu)
{
    unsigned index = onu->profiles[ONU_PROFILE_MULTICAST];
    return index < PROFILE_ENTRIES ? cfgcache()->multicast[index] : nullptr;
}

int profiler_onu_network_step(onu_record *onu)
{
    return profiler_onu_network_params(onu->olt, onu->mac, load_le16(onu->cfg_tail), onu->cfg_tail[2],
                                       onu->cfg_tail[3]);
}

int profiler_onu_port_refresh_step(onu_record *onu, int port)
{
    return profiler_onu_port_config_refresh(onu->olt, onu->mac, uint16_t(port));
}

int profiler_onu_pon_step(onu_record *onu)
{
    return profiler_onu_pon_port_params(onu->olt, onu->mac, onu->cfg_block[ONU_BLOCK_PON_OPTION]);
}

int profiler_onu_uni_step(onu_record *onu, int port)
{
    size_t at = port == ONU_PORT_UNI1 ? ONU_BLOCK_UNI1 : ONU_BLOCK_UNI0;
    return profiler_onu_uni_port_params(onu->olt, onu->mac, uint16_t(port), onu->cfg_block + at);
}

int profiler_onu_block_step(onu_record *onu, int port, bool unblock)
{
    return profiler_onu_port_block_config(onu, uint16_t(port), unblock);
}

int profiler_onu_rules_step(onu_record *onu, int port)
{
    return profiler_onu_rules_internal(onu->olt, onu->mac, uint16_t(port), onu->cfg_block);
}

namespace {

int with_profile(onu_record *onu, int (*request)(int, const uint8_t *, const uint8_t *))
{
    const uint8_t *profile = onu_multicast_profile(onu);
    return profile ? request(onu->olt, onu->mac, profile) : TEK_RC_REFUSED;
}

} // namespace

int profiler_onu_igmp_step(onu_record *onu) { return with_profile(onu, profiler_onu_igmp_snooping); }
int profiler_onu_ipmc_domains_step(onu_record *onu) { return with_profile(onu, profiler_onu_ipmc_domains); }
int profiler_onu_ipmc_groups_step(onu_record *onu) { return with_profile(onu, profiler_onu_ipmc_groups); }

int profiler_onu_ipmc_groups_6838_step(onu_record *onu)
{
    const uint8_t *profile = onu_multicast_profile(onu);
    return profile ? profiler_onu_ipmc_groups_6838(onu->olt, onu->mac, profile) : 0;
}

void profiler_onu_rf_level_step(onu_record *onu)
{
    profiler_onu_rf_select(onu, onu_rf_power_dbm(onu->video_power, true));
}

void profiler_onu_phy_detect_step(onu_record *onu) { phy_detect(onu); }

void profiler_onu_phy_setup_step(onu_record *onu, int uni)
{
    if (uni >= 0 && uni < ONU_PHY_SLOTS)
        phy_setup(&onu_phy_slots(onu)[uni], onu->olt, onu->mac);
}

void profiler_onu_transceiver_step(onu_record *onu) { profiler_onu_update_sfp_pn(onu); }
