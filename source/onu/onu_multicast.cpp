// ONU multicast requests. See onu_multicast.h.
#include "onu/onu_multicast.h"

#include "base/bytes.h"
#include "chip/tekrequest.h"
#include "onu/onu_ports.h"
#include "onu/onu_rules.h"
#include "wire/ids.h"

#include <cstring>

namespace {

// Domain entry fields.
constexpr size_t DOMAIN_USED = 0, DOMAIN_A = 1, DOMAIN_SLOT = 2, DOMAIN_VALUE1 = 5, DOMAIN_VALUE2 = 7,
                 DOMAIN_B = 9;
const uint8_t domain_add_fixed[] = {0xFF, 0x00, 0x00, 0x03, 0x00, 0x00};
constexpr size_t DOMAIN_COUNT_AT = 6;
constexpr uint8_t DOMAIN_TABLE = 1;
// The filter rule: byte A 0, action 14, parameter 0, two IPv4 clauses on
// field 12, from the first address (operator 4) to the last (operator 3).
constexpr uint8_t FILTER_ACTION = 14;
constexpr uint8_t FILTER_FIELD = 12;
constexpr uint8_t FILTER_FROM = 4, FILTER_TO = 3;
const uint16_t filter_ports[] = {ONU_PORT_PON, ONU_PORT_UNI0, ONU_PORT_UNI1};
const uint8_t group_6838_fixed[] = {0xE0, 0xC0, 0xDE, 0x00, 0x01};

const uint8_t *group_entry(const uint8_t *profile, int i) { return profile + MCAST_GROUPS + MCAST_GROUP_SIZE * size_t(i); }

uint8_t *filter_clause(uint8_t *out, uint32_t address, uint8_t op)
{
    out[0] = FILTER_FIELD;
    memset(out + 1, 0, 4);
    store_be32(out + 5, address);
    out[9] = op;
    return out + ONU_RULE_CLAUSE;
}

} // namespace

size_t onu_igmp_request(uint8_t out[ONU_IGMP_REQUEST_LEN], const uint8_t mac[6], const uint8_t *profile)
{
    memcpy(out, mac, 6);
    memcpy(out + 6, profile + MCAST_IGMP_PARAMS, 4);
    store_be16(out + 10, load_le16(profile + MCAST_IGMP_PARAMS + 4));
    return ONU_IGMP_REQUEST_LEN;
}

void onu_ipmc_domain_groups(const uint8_t *profile, ipmc_domain_group out[MCAST_DOMAIN_ENTRIES])
{
    memset(out, 0, sizeof(ipmc_domain_group) * MCAST_DOMAIN_ENTRIES);
    for (int e = 0; e < MCAST_DOMAIN_ENTRIES; e++) {
        const uint8_t *entry = profile + MCAST_DOMAINS + MCAST_DOMAIN_SIZE * size_t(e);
        if (!entry[DOMAIN_USED])
            continue;
        uint16_t v1 = load_le16(entry + DOMAIN_VALUE1), v2 = load_le16(entry + DOMAIN_VALUE2);
        int g = 0;
        while (g < MCAST_DOMAIN_ENTRIES && out[g].used && !(out[g].value1 == v1 && out[g].value2 == v2))
            g++;
        ipmc_domain_group &group = out[g];   // four entries never need a fifth group
        group.used = true;
        group.value1 = v1;
        group.value2 = v2;
        int slot = entry[DOMAIN_SLOT] & 1;
        group.filled[slot] = true;
        group.a[slot] = entry[DOMAIN_A];
        group.b[slot] = entry[DOMAIN_B];
    }
}

size_t onu_ipmc_domain_add_request(uint8_t out[ONU_IPMC_DOMAIN_ADD_MAX], const uint8_t mac[6], uint8_t index,
                                   const ipmc_domain_group &group)
{
    memcpy(out, mac, 6);
    out[6] = DOMAIN_TABLE;
    out[7] = index;
    memcpy(out + 8, domain_add_fixed, sizeof domain_add_fixed);
    store_be16(out + 14, group.value1);
    store_be16(out + 16, group.value2);
    uint8_t *p = out + 19;
    uint8_t n = 0;
    for (uint8_t s = 0; s < 2; s++) {
        if (!group.filled[s])
            continue;
        p[0] = s;
        p[1] = group.b[s];
        p[2] = p[3] = 0;
        store_be16(p + 4, group.value1);
        store_be16(p + 6, group.value2);
        p[8] = group.a[s];
        p[9] = p[10] = 0;
        p += 11;
        n++;
    }
    out[18] = n;
    return size_t(p - out);
}

size_t onu_ipmc_domain_delete_request(uint8_t out[ONU_IPMC_DOMAIN_DELETE_LEN], const uint8_t mac[6], uint8_t index)
{
    memcpy(out, mac, 6);
    out[6] = DOMAIN_TABLE;
    out[7] = index;
    return ONU_IPMC_DOMAIN_DELETE_LEN;
}

unsigned onu_ipmc_domain_count_answer(const uint8_t *response)
{
    const uint8_t *answer = tekrequest_answer(response, DOMAIN_COUNT_AT + 1);
    return answer ? answer[DOMAIN_COUNT_AT] : 0;
}

int onu_ipmc_filter_ranges(const uint8_t *profile, ipmc_range out[IPMC_RANGES_MAX])
{
    int count = 1;
    out[0] = {IPMC_FILTER_FIRST, IPMC_FILTER_LAST};
    for (int i = 0; i < MCAST_GROUP_ENTRIES; i++) {
        const uint8_t *entry = group_entry(profile, i);
        uint32_t first = load_be32(entry + 1), last = load_be32(entry + 5);
        if (!entry[0] || first > last)
            continue;
        ipmc_range kept[IPMC_RANGES_MAX];
        int n = 0;
        for (int r = 0; r < count; r++) {
            const ipmc_range &range = out[r];
            if (last < range.first || first > range.last) {
                if (n < IPMC_RANGES_MAX)
                    kept[n++] = range;
                continue;
            }
            if (range.first < first && n < IPMC_RANGES_MAX)
                kept[n++] = {range.first, first - 1};
            if (last < range.last && n < IPMC_RANGES_MAX)
                kept[n++] = {last + 1, range.last};
        }
        memcpy(out, kept, sizeof(ipmc_range) * size_t(n));
        count = n;
    }
    return count;
}

size_t onu_ipmc_group_rule_request(uint8_t out[ONU_IPMC_GROUP_RULE_LEN], const uint8_t mac[6], uint16_t port,
                                   const ipmc_range &range)
{
    memcpy(out, mac, 6);
    store_be16(out + 6, port);
    out[8] = 0;   // first-message mark: the rule joins the downloaded table
    out[9] = 1;
    uint8_t *rule = out + ONU_RULES_MESSAGE_HEADER;
    rule[0] = 1;
    rule[1] = 0;
    rule[2] = FILTER_ACTION;
    rule[3] = rule[4] = 0;
    rule[5] = 2;
    filter_clause(filter_clause(rule + ONU_RULE_HEADER, range.first, FILTER_FROM), range.last, FILTER_TO);
    return ONU_IPMC_GROUP_RULE_LEN;
}

size_t onu_ipmc_group_6838_request(uint8_t out[ONU_IPMC_GROUP_6838_LEN], const uint8_t mac[6], uint32_t first,
                                   uint32_t last)
{
    memcpy(out, mac, 6);
    memcpy(out + 6, group_6838_fixed, sizeof group_6838_fixed);
    store_be32(out + 11, first);
    store_be32(out + 15, last);
    return ONU_IPMC_GROUP_6838_LEN;
}

int profiler_onu_igmp_snooping(int olt, const uint8_t mac[6], const uint8_t *profile)
{
    uint8_t data[ONU_IGMP_REQUEST_LEN];
    size_t len = onu_igmp_request(data, mac, profile);
    return tekrequest_result(olt, TEK_REQ_ONU_IGMP_SNOOPING, data, len);
}

int profiler_onu_ipmc_domains(int olt, const uint8_t mac[6], const uint8_t *profile)
{
    ipmc_domain_group groups[MCAST_DOMAIN_ENTRIES];
    onu_ipmc_domain_groups(profile, groups);

    unsigned count = 0;
    tekrequest_read(olt, TEK_REQ_ONU_IPMC_DOMAIN_COUNT, mac, 6, TEKREQUEST_TIMEOUT, [&count](const uint8_t *response) {
        count = onu_ipmc_domain_count_answer(response);
        return 0;
    });
    for (unsigned i = 0; i < count; i++) {
        uint8_t data[ONU_IPMC_DOMAIN_DELETE_LEN];
        size_t len = onu_ipmc_domain_delete_request(data, mac, uint8_t(i));
        tekrequest_result(olt, TEK_REQ_ONU_IPMC_DOMAIN_DELETE, data, len);
    }

    int result = 0;
    for (int g = 0; g < MCAST_DOMAIN_ENTRIES; g++) {
        if (!groups[g].used)
            continue;
        uint8_t data[ONU_IPMC_DOMAIN_ADD_MAX];
        size_t len = onu_ipmc_domain_add_request(data, mac, uint8_t(g), groups[g]);
        result |= tekrequest_result(olt, TEK_REQ_ONU_IPMC_DOMAIN_ADD, data, len);
    }
    return result;
}

int profiler_onu_ipmc_groups(int olt, const uint8_t mac[6], const uint8_t *profile)
{
    ipmc_range ranges[IPMC_RANGES_MAX];
    int count = onu_ipmc_filter_ranges(profile, ranges);
    int result = 0;
    for (int r = 0; r < count; r++) {
        for (uint16_t port : filter_ports) {
            uint8_t data[ONU_IPMC_GROUP_RULE_LEN];
            size_t len = onu_ipmc_group_rule_request(data, mac, port, ranges[r]);
            result |= tekrequest_result(olt, TEK_REQ_ONU_RULES, data, len);
        }
    }
    return result;
}

int profiler_onu_ipmc_groups_6838(int olt, const uint8_t mac[6], const uint8_t *profile)
{
    for (int i = 0; i < MCAST_GROUP_ENTRIES; i++) {
        const uint8_t *entry = group_entry(profile, i);
        if (!entry[0])
            continue;
        uint8_t data[ONU_IPMC_GROUP_6838_LEN];
        size_t len = onu_ipmc_group_6838_request(data, mac, load_be32(entry + 1), load_be32(entry + 5));
        tekrequest_result(olt, TEK_REQ_ONU_IPMC_GROUP_6838, data, len);
    }
    return 0;
}
