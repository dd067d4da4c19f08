// An ONU's multicast settings from its multicast profile: IGMP snooping,
// the IPMC domains, and the IPMC group filter (the multicast address space
// less the profile's allowed ranges, one rule per remaining range on ports
// 0, 1 and 2); and the group requests of 0x6838 ONUs.
//
// Threads: the profiler thread (ONU configuration), holding the ONU
// record; the chip link's send lock is taken innermost. No pool block
// outlives a call. Grouping, range subtraction and every request's bytes are
// pure functions of the profile.
#pragma once

#include <cstddef>
#include <cstdint>

// Multicast profile (435 bytes).
constexpr size_t MCAST_IGMP_PARAMS = 1;   // four bytes, then a 16-bit value (host order)
constexpr size_t MCAST_IGMP_MODE = 4;
constexpr uint8_t MCAST_IGMP_MODE_NO_IPMC = 7;
constexpr size_t MCAST_GROUPS = 7;
constexpr int MCAST_GROUP_ENTRIES = 32;
constexpr size_t MCAST_GROUP_SIZE = 12;   // used, first, last (IPv4 BE), 3 unused
constexpr size_t MCAST_DOMAINS = 391;
constexpr int MCAST_DOMAIN_ENTRIES = 4;
constexpr size_t MCAST_DOMAIN_SIZE = 11;

// The address space the group filter starts from.
constexpr uint32_t IPMC_FILTER_FIRST = 0xE0000100;   // 224.0.1.0
constexpr uint32_t IPMC_FILTER_LAST = 0xEFFFFFFF;    // 239.255.255.255
constexpr int IPMC_RANGES_MAX = 32;

// ---- builders and pure steps ----------------------------------------------------
constexpr size_t ONU_IGMP_REQUEST_LEN = 12;
size_t onu_igmp_request(uint8_t out[ONU_IGMP_REQUEST_LEN], const uint8_t mac[6], const uint8_t *profile);

struct ipmc_domain_group {
    bool used;
    uint16_t value1, value2;   // the two domain values shared by the group
    bool filled[2];
    uint8_t a[2], b[2];        // values A and B of each slot
};
// Groups the profile's used domain entries by their two domain values, in
// the order they first appear; an entry fills slot (byte 2 bit 0).
void onu_ipmc_domain_groups(const uint8_t *profile, ipmc_domain_group out[MCAST_DOMAIN_ENTRIES]);
constexpr size_t ONU_IPMC_DOMAIN_ADD_MAX = 19 + 2 * 11;
constexpr size_t ONU_IPMC_DOMAIN_DELETE_LEN = 8;
size_t onu_ipmc_domain_add_request(uint8_t out[ONU_IPMC_DOMAIN_ADD_MAX], const uint8_t mac[6], uint8_t index,
                                   const ipmc_domain_group &group);
size_t onu_ipmc_domain_delete_request(uint8_t out[ONU_IPMC_DOMAIN_DELETE_LEN], const uint8_t mac[6], uint8_t index);
// The domain count of a 0x01AD response (answer byte 6); 0 when refused or
// short.
unsigned onu_ipmc_domain_count_answer(const uint8_t *response);

struct ipmc_range {
    uint32_t first, last;
};
// 224.0.1.0 .. 239.255.255.255 less every used group range of the profile,
// in address order, at most 32 ranges (pieces beyond are dropped). Returns
// the number of ranges.
int onu_ipmc_filter_ranges(const uint8_t *profile, ipmc_range out[IPMC_RANGES_MAX]);
constexpr size_t ONU_IPMC_GROUP_RULE_LEN = 36;
size_t onu_ipmc_group_rule_request(uint8_t out[ONU_IPMC_GROUP_RULE_LEN], const uint8_t mac[6], uint16_t port,
                                   const ipmc_range &range);
constexpr size_t ONU_IPMC_GROUP_6838_LEN = 19;
size_t onu_ipmc_group_6838_request(uint8_t out[ONU_IPMC_GROUP_6838_LEN], const uint8_t mac[6], uint32_t first,
                                   uint32_t last);

// ---- requests --------------------------------------------------------------------
// 0x01B1: 0, 3, 4 or the transport code.
int profiler_onu_igmp_snooping(int olt, const uint8_t mac[6], const uint8_t *profile);
// Deletes the ONU's domains (count read, answers not looked at), then adds
// one per group: the OR of the adds' results.
int profiler_onu_ipmc_domains(int olt, const uint8_t mac[6], const uint8_t *profile);
// One rule per filter range on ports 0, 1 and 2: the OR of the results.
// ONU configuration calls it (and the domains) only for 0x3714 ONUs whose
// IGMP mode is not MCAST_IGMP_MODE_NO_IPMC.
int profiler_onu_ipmc_groups(int olt, const uint8_t mac[6], const uint8_t *profile);
// 0x004A per used group range; results not looked at: 0.
int profiler_onu_ipmc_groups_6838(int olt, const uint8_t mac[6], const uint8_t *profile);
