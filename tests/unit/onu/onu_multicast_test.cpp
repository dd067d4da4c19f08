// ONU multicast: IGMP snooping bytes, domain grouping and requests, the
// group filter's range subtraction and rules, and the 0x6838 group
// requests; against oltsim's ONU where the order of requests matters.
#include "common/onu_fixture.h"

#include "onu/onu_multicast.h"

#include <array>

namespace {

using profile = std::array<uint8_t, 435>;

uint32_t ip(int a, int b, int c, int d) { return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | uint32_t(d); }

void allow(profile &p, int entry, uint32_t first, uint32_t last)
{
    uint8_t *e = p.data() + MCAST_GROUPS + MCAST_GROUP_SIZE * size_t(entry);
    e[0] = 1;
    store_be32(e + 1, first);
    store_be32(e + 5, last);
}

void domain(profile &p, int entry, uint8_t a, uint8_t slot, uint16_t v1, uint16_t v2, uint8_t b)
{
    uint8_t *e = p.data() + MCAST_DOMAINS + MCAST_DOMAIN_SIZE * size_t(entry);
    e[0] = 1;
    e[1] = a;
    e[2] = slot;
    store_le16(e + 5, v1);
    store_le16(e + 7, v2);
    e[9] = b;
}

std::string ranges_text(const profile &p)
{
    ipmc_range r[IPMC_RANGES_MAX];
    int n = onu_ipmc_filter_ranges(p.data(), r);
    std::string out;
    char one[48];
    for (int i = 0; i < n; i++) {
        snprintf(one, sizeof one, "%u.%u.%u.%u-%u.%u.%u.%u ", r[i].first >> 24, r[i].first >> 16 & 255,
                 r[i].first >> 8 & 255, r[i].first & 255, r[i].last >> 24, r[i].last >> 16 & 255,
                 r[i].last >> 8 & 255, r[i].last & 255);
        out += one;
    }
    return out;
}

TEST(OnuIpmcRanges, AllowedRangesAreSubtracted)
{
    struct case_ {
        const char *name;
        std::vector<std::pair<uint32_t, uint32_t>> allowed;
        const char *expected;
    };
    const case_ cases[] = {
        {"nothing allowed", {}, "224.0.1.0-239.255.255.255 "},
        {"one range in the middle", {{ip(225, 0, 0, 0), ip(225, 255, 255, 255)}},
         "224.0.1.0-224.255.255.255 226.0.0.0-239.255.255.255 "},
        {"overlapping the lower end", {{ip(224, 0, 0, 0), ip(224, 0, 1, 255)}}, "224.0.2.0-239.255.255.255 "},
        {"overlapping the upper end", {{ip(239, 0, 0, 0), ip(240, 0, 0, 0)}}, "224.0.1.0-238.255.255.255 "},
        {"covered whole", {{ip(224, 0, 0, 0), ip(255, 255, 255, 255)}}, ""},
        {"two ranges, the second trimming a piece of the first's split",
         {{ip(230, 0, 0, 0), ip(230, 0, 0, 255)}, {ip(229, 0, 0, 0), ip(230, 0, 0, 10)}},
         "224.0.1.0-228.255.255.255 230.0.1.0-239.255.255.255 "},
        {"a range outside the space changes nothing", {{ip(10, 0, 0, 0), ip(10, 0, 0, 1)}},
         "224.0.1.0-239.255.255.255 "},
        {"a reversed range is no range", {{ip(226, 0, 0, 0), ip(225, 0, 0, 0)}}, "224.0.1.0-239.255.255.255 "},
    };
    for (const auto &c : cases) {
        profile p{};
        int i = 0;
        for (auto [first, last] : c.allowed)
            allow(p, i++, first, last);
        EXPECT_EQ(ranges_text(p), c.expected) << c.name;
    }
    // Used flags count: an unused entry allows nothing.
    profile p{};
    allow(p, 0, ip(225, 0, 0, 0), ip(225, 0, 0, 0));
    p[MCAST_GROUPS] = 0;
    EXPECT_EQ(ranges_text(p), "224.0.1.0-239.255.255.255 ");
}

TEST(OnuIpmcRanges, AtMostThirtyTwoRangesAreKept)
{
    // 32 single addresses punched out of the space make 33 pieces; the
    // highest is dropped.
    profile p{};
    for (int i = 0; i < 32; i++)
        allow(p, i, ip(225, 0, uint8_t(i), 1), ip(225, 0, uint8_t(i), 1));
    ipmc_range r[IPMC_RANGES_MAX];
    ASSERT_EQ(onu_ipmc_filter_ranges(p.data(), r), 32);
    EXPECT_EQ(r[0].first, ip(224, 0, 1, 0));
    EXPECT_EQ(r[31].first, ip(225, 0, 30, 2));
    EXPECT_EQ(r[31].last, ip(225, 0, 31, 0));
}

TEST(OnuMulticastRequests, AreLaidOutByteForByte)
{
    profile p{};
    p[1] = 0x11;
    p[2] = 0x22;
    p[3] = 0x33;
    p[4] = 0x44;
    store_le16(p.data() + 5, 0x0A0B);
    uint8_t out[64];
    size_t n = onu_igmp_request(out, ONU_MAC, p.data());
    EXPECT_EQ(hex_text(byte_vec(out, out + n)), hex_text(hex("00 0D B6 11 22 33 | 11 22 33 44 | 0A 0B")));

    n = onu_ipmc_group_rule_request(out, ONU_MAC, 2, {ip(224, 0, 1, 0), ip(239, 255, 255, 255)});
    EXPECT_EQ(hex_text(byte_vec(out, out + n)),
              hex_text(hex("00 0D B6 11 22 33 | 00 02 | 00 | 01 | 01 00 0E 00 00 02 | "
                           "0C 00 00 00 00 E0 00 01 00 04 | 0C 00 00 00 00 EF FF FF FF 03")));
    n = onu_ipmc_group_6838_request(out, ONU_MAC, ip(225, 1, 2, 3), ip(225, 1, 2, 9));
    EXPECT_EQ(hex_text(byte_vec(out, out + n)),
              hex_text(hex("00 0D B6 11 22 33 | E0 C0 DE 00 01 | E1 01 02 03 | E1 01 02 09")));
    n = onu_ipmc_domain_delete_request(out, ONU_MAC, 2);
    EXPECT_EQ(hex_text(byte_vec(out, out + n)), hex_text(hex("00 0D B6 11 22 33 | 01 | 02")));
}

TEST(OnuIpmcDomains, EntriesSharingValuesMakeOneGroup)
{
    profile p{};
    domain(p, 0, 0xA0, 0, 0x0100, 0x0200, 0xB0);
    domain(p, 1, 0xA3, 0, 0x0300, 0x0400, 0xB3);
    domain(p, 2, 0xA1, 1, 0x0100, 0x0200, 0xB1);   // joins group 0 in slot 1
    ipmc_domain_group g[MCAST_DOMAIN_ENTRIES];
    onu_ipmc_domain_groups(p.data(), g);
    EXPECT_TRUE(g[0].used && g[1].used && !g[2].used && !g[3].used);
    uint8_t out[ONU_IPMC_DOMAIN_ADD_MAX];
    size_t n = onu_ipmc_domain_add_request(out, ONU_MAC, 0, g[0]);
    EXPECT_EQ(hex_text(byte_vec(out, out + n)),
              hex_text(hex("00 0D B6 11 22 33 | 01 | 00 | FF 00 00 03 00 00 | 01 00 | 02 00 | 02 | "
                           "00 B0 00 00 01 00 02 00 A0 00 00 | 01 B1 00 00 01 00 02 00 A1 00 00")));
    n = onu_ipmc_domain_add_request(out, ONU_MAC, 1, g[1]);
    EXPECT_EQ(hex_text(byte_vec(out, out + n)),
              hex_text(hex("00 0D B6 11 22 33 | 01 | 01 | FF 00 00 03 00 00 | 03 00 | 04 00 | 01 | "
                           "00 B3 00 00 03 00 04 00 A3 00 00")));
}

class Multicast : public OnuChip {};

TEST_F(Multicast, DomainsAreDeletedThenAdded)
{
    change([](oltsim::onu_device &d) {
        d.ipmc_domains[0] = {1};
        d.ipmc_domains[1] = {1};
        d.ipmc_domains[2] = {1};
    });
    profile p{};
    domain(p, 1, 0xA0, 1, 7, 8, 0xB0);
    domain(p, 3, 0xA1, 0, 7, 8, 0xB1);
    EXPECT_EQ(profiler_onu_ipmc_domains(1, ONU_MAC, p.data()), 0);
    auto d = device();
    EXPECT_EQ(d.ipmc_deleted, (std::vector<uint8_t>{0, 1, 2}));
    ASSERT_EQ(d.ipmc_domains.size(), 1u);
    EXPECT_EQ(d.ipmc_domains[0][11], 2) << "two slot records";
    auto adds = requests(TEK_REQ_ONU_IPMC_DOMAIN_ADD);
    ASSERT_EQ(adds.size(), 1u);
    EXPECT_EQ(adds[0].len, 19 + 22);

    // An answer without the count byte deletes nothing; a refused add counts.
    auto passed_on = sim_->handler_of(TEK_REQ_ONU_IPMC_DOMAIN_COUNT);
    sim_->set_handler(TEK_REQ_ONU_IPMC_DOMAIN_COUNT, [passed_on](int olt, const oltsim::request_record &r) {
        auto a = passed_on(olt, r);
        a.data.resize(6);
        return a;
    });
    sim_->rcode_next(1, 5, 2);
    EXPECT_EQ(profiler_onu_ipmc_domains(1, ONU_MAC, p.data()), 3);
    EXPECT_EQ(device().ipmc_deleted.size(), 3u);
}

TEST_F(Multicast, GroupFilterRulesGoToPortsZeroOneTwo)
{
    profile p{};
    allow(p, 5, ip(225, 0, 0, 0), ip(225, 255, 255, 255));
    EXPECT_EQ(profiler_onu_ipmc_groups(1, ONU_MAC, p.data()), 0);
    auto rules = requests(TEK_REQ_ONU_RULES);
    ASSERT_EQ(rules.size(), 6u);
    const uint16_t ports[] = {0, 1, 2, 0, 1, 2};
    for (size_t i = 0; i < rules.size(); i++) {
        EXPECT_EQ(rules[i].len, 36);
        EXPECT_EQ(load_be16(rules[i].data.data() + 6), ports[i]);
    }
    auto d = device();
    for (int port = 0; port < 3; port++) {
        ASSERT_EQ(d.rules[size_t(port)].size(), 2u);
        EXPECT_EQ(load_be32(d.rules[size_t(port)][1].data() + 11), ip(226, 0, 0, 0));
    }
    sim_->rcode_next(1, 4, 1);
    EXPECT_EQ(profiler_onu_ipmc_groups(1, ONU_MAC, p.data()), 3);
}

TEST_F(Multicast, SnoopingAnd6838Groups)
{
    profile p{};
    p[4] = 2;
    allow(p, 0, ip(225, 0, 0, 1), ip(225, 0, 0, 9));
    allow(p, 7, ip(226, 0, 0, 1), ip(226, 0, 0, 1));
    EXPECT_EQ(profiler_onu_igmp_snooping(1, ONU_MAC, p.data()), 0);
    EXPECT_EQ(hex_text(device().igmp), "00 00 00 02 00 00 ");
    sim_->rcode_next(1, 4, 1);
    EXPECT_EQ(profiler_onu_ipmc_groups_6838(1, ONU_MAC, p.data()), 0);
    auto groups = device().groups_6838;
    EXPECT_EQ(groups, (std::vector<std::pair<uint32_t, uint32_t>>{{ip(226, 0, 0, 1), ip(226, 0, 0, 1)}}))
        << "the first was refused, the second kept";
    EXPECT_EQ(requests(TEK_REQ_ONU_IPMC_GROUP_6838).size(), 2u);
}

} // namespace
