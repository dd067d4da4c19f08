// The ONU layer's pure builders and tables: every request and payload byte
// for byte against tests/vectors/onu/requests.hex, then the logic that picks
// what goes in them (templates, rule texts, multicast ranges).
#include "onu/epon_rules.h"
#include "onu/l3agents/CircuitAndRemoteIds.h"
#include "onu/onu_multicast.h"
#include "onu/onu_ports.h"
#include "onu/onu_rules.h"
#include "onu/profiler_link.h"
#include "onu/profiler_onu.h"
#include "onu/profiler_path.h"
#include "onu/subscriber_ids.h"

#include "common/onu_fixture.h"

#include <array>

namespace {

using bytes = std::vector<uint8_t>;
using profile = std::array<uint8_t, 435>;

const uint8_t *const MAC = ONU_MAC;
const uint8_t BOARD_MAC[6] = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};

bytes build(const std::function<size_t(uint8_t *)> &fn)
{
    bytes out(512);
    out.resize(fn(out.data()));
    return out;
}

subscriber_path path(uint32_t ont = 0x0A0B0C0D, const char *host = "olt7")
{
    return {0x0102, 5, ont, 1, 0x11223344, host, {0x00, 0x0D, 0xB6, 0x11, 0x22, 0x33}};
}

crid_pair templates(const char *circuit, const char *remote, size_t capacity = CRID_OLT_CAPACITY, int *rc = nullptr)
{
    crid_pair pair;
    crid_Init(&pair, capacity);
    int result = crid_Update(&pair, circuit, remote, "olt", "s1", "192.168.1.10");
    if (rc)
        *rc = result;
    return pair;
}

// Circuit and remote IDs from `pair` for ONT 37, path 1, channel 3.
bytes ids(const crid_pair &pair, const uint8_t *opt60 = nullptr, uint32_t channel = 3, size_t size = 400)
{
    crid_values v{channel, 37, 1, 100, 200, MAC, opt60};
    bytes out(size);
    out.resize(crid_AddCircuitIdAndRemoteId(&pair, out.data(), out.size(), &v));
    return out;
}

TEST(OnuRequests, EveryBuilderLaysOutItsVector)
{
    static const uint8_t opt60[] = {5, 'M', 'S', 'F', 'T', ' '};
    static const std::string long_opt60 = "\xC8" + std::string(200, 'o');   // 200 bytes
    static const std::string host230(230, 'h');
    static const uint8_t mode0[ONU_UNI_PARAMS_SIZE] = {1, 0, 0x21, 0x22, 9, 9, 9, 9, 9, 9, 9};
    static const uint8_t mode3[ONU_UNI_PARAMS_SIZE] = {1, 3, 0x21, 0x22};
    auto opt82 = [](uint8_t format, subscriber_path p) {
        return build([&](uint8_t *o) { return opt82_payload(format, &p, BOARD_MAC, o, SUBSCRIBER_PAYLOAD_MAX); });
    };
    auto pppoe = [](uint8_t format, subscriber_path p, crid_pair pair) {
        return build([&](uint8_t *o) { return pppoe_tag_payload(format, &p, &pair, o, SUBSCRIBER_PAYLOAD_MAX); });
    };
    // Shaping records as the management process stores them: host order.
    auto sla = [](bool link, const char *first, const char *second) {
        bytes a = hex(first), b = hex(second), out(LINK_SLA_LEN);
        out.resize(link ? link_sla_payload(MAC, a.data(), b.data(), out.data()) * LINK_SLA_LEN
                        : link_queue_sla_payload(8320, a.data(), b.data(), out.data()) * QUEUE_SLA_LEN);
        return out;
    };
    auto queues = [](unsigned links, bool is_8600) {
        return build([&](uint8_t *o) { return onu_expected_queues(MAC, links, is_8600, o); });
    };
    auto vectors = hex_vectors("onu/requests.hex");
    auto clients = [&](uint8_t count) {
        bytes list = vectors["static clients list"], out(2 + 64 * STATIC_ENTRY_SIZE);
        list.resize(4 + 64 * STATIC_CLIENT_SIZE);
        list[0] = count;   // least significant byte first
        out.resize(static_clients_payload(1025, MAC, list.data(), out.data(), out.size()));
        return out;
    };
    const bytes &mcast = vectors["multicast profile"];
    EXPECT_EQ(mcast.size(), 435u);
    ipmc_domain_group groups[MCAST_DOMAIN_ENTRIES];
    onu_ipmc_domain_groups(mcast.data(), groups);
    EXPECT_TRUE(groups[0].used && groups[1].used && !groups[2].used && !groups[3].used);

    const std::map<std::string, bytes> built = {
        {"opt82 reduced binary", opt82(OPT82_REDUCED_BINARY, path())},
        {"opt82 expanded binary", opt82(OPT82_EXPANDED_BINARY, path())},
        {"opt82 extended binary", opt82(OPT82_EXTENDED_BINARY, path())},
        {"opt82 expanded text", opt82(OPT82_EXPANDED_TEXT, path(37))},
        {"opt82 reduced text", opt82(OPT82_REDUCED_TEXT, path(37))},
        {"opt82 unknown format", opt82(5, path())},
        {"opt82 text past a length byte", opt82(OPT82_EXPANDED_TEXT, path(37, host230.c_str()))},
        {"pppoe binary", pppoe(PPPOE_TAG_BINARY, path(), templates("", ""))},
        {"pppoe text", pppoe(PPPOE_TAG_TEXT, path(37), templates("", ""))},
        {"pppoe text past a length byte", pppoe(PPPOE_TAG_TEXT, path(37, host230.c_str()), templates("", ""))},
        {"pppoe custom, empty templates", pppoe(PPPOE_TAG_CUSTOM, path(37), templates("", ""))},
        {"pppoe custom from the templates",
         pppoe(0xFF, path(37), templates("%HOSTNAME%-%ONTID%", "c%CHANNELID%/%PATHID% %MAC%"))},
        {"ids static only", ids(templates("just text", ""))},
        {"ids every keyword",
         ids(templates("%SLOTID%/%MNGIP% c%CHANNELID% p%PATHID% %VLAN0%.%VLAN1%", "%MAC%|%OPT60%|%HOSTNAME%", 400),
             opt60)},
        {"ids without option 60", ids(templates("", "%MAC%|%OPT60%|"))},
        {"ids values cut at their maximum",
         ids(templates("%CHANNELID%%PATHID%%OPT60%", ""), reinterpret_cast<const uint8_t *>(long_opt60.data()), 12345)},
        {"ids circuit refused, written empty", ids(templates("%ONTID", "r-%PATHID%"))},
        {"ids too large: both cleared",
         ids(templates((std::string(90, 'c') + "%ONTID%").c_str(), (std::string(20, 'r') + "%ONTID%").c_str()))},
        {"create path, PON 0, swapped", build([](uint8_t *o) { return link_create_path_payload(8322, 0, true, o), PATH_CREATE_LEN; })},
        {"create path, PON 1", build([](uint8_t *o) { return link_create_path_payload(8322, 1, false, o), PATH_CREATE_LEN; })},
        {"queue SLA, second unused", sla(false, "10270000 6400 01 1000", "05000000 0700 FF 0900")},
        {"link SLA, second unused", sla(true, "10270000 6400 05 1000", "03000000 0400 FF 0600")},
        {"learning, no limit", build([](uint8_t *o) { return dest_learning_payload(1024, 0, o), LEARNING_LEN; })},
        {"learning, limit 16", build([](uint8_t *o) { return dest_learning_payload(1024, 16, o), LEARNING_LEN; })},
        {"static clients, count 3", clients(3)},
        {"static clients, count past the list", clients(200)},
        {"queues, 1 link", queues(1, false)},
        {"queues, 2 links", queues(2, false)},
        {"queues, 3 links", queues(3, false)},
        {"queues, 4 links, 8600", queues(4, true)},
        {"PON parameters, option on", build([](uint8_t *o) { return onu_pon_params_request(o, MAC, 1); })},
        {"PON parameters, option off", build([](uint8_t *o) { return onu_pon_params_request(o, MAC, 0); })},
        {"UNI mode, mode byte 0", build([](uint8_t *o) { return onu_uni_mode_request(o, MAC, 1, mode0); })},
        {"UNI mode, mode byte 3", build([](uint8_t *o) { return onu_uni_mode_request(o, MAC, 2, mode3); })},
        {"IPMC group, 0x6838", build([](uint8_t *o) { return onu_ipmc_group_6838_request(o, MAC, 0xE1010203, 0xE1010209); })},
        {"IPMC domain delete", build([](uint8_t *o) { return onu_ipmc_domain_delete_request(o, MAC, 2); })},
        {"IPMC domain add, two slots", build([&](uint8_t *o) { return onu_ipmc_domain_add_request(o, MAC, 0, groups[0]); })},
        {"IPMC domain add, one slot", build([&](uint8_t *o) { return onu_ipmc_domain_add_request(o, MAC, 1, groups[1]); })},
    };
    for (const auto &[name, got] : built)
        EXPECT_EQ(hex_text(got), vectors.count(name) ? hex_text(vectors[name]) : "(no vector)") << name;
    // The rule entries as kept in the table, against what goes to the ONU.
    int rules = 0;
    for (const auto &[name, stored] : vectors) {
        if (name.rfind("stored: ", 0) != 0)
            continue;
        uint8_t rule[ONU_RULE_SIZE] = {};
        memcpy(rule, stored.data(), stored.size());
        bool pon = name.find("PON") != std::string::npos;
        EXPECT_EQ(hex_text(build([&](uint8_t *o) { return onu_rule_encode(o, rule, pon); })),
                  hex_text(vectors["sent: " + name.substr(8)]))
            << name;
        rules++;
    }
    EXPECT_EQ(rules, 11);
}

// Template texts: every way a parse fails, the static text's limits, the
// twenty dynamic fields, and a pair that can pass its capacity.
TEST(OnuRequests, TemplatesAreRefusedOrClearedAtTheirLimits)
{
    std::string t254(254, 'a'), host250(250, 'h'), fields;
    for (int i = 0; i < 20; i++)
        fields += "%PATHID%";
    struct { std::string text; const char *host; int result; } rows[] = {
        {"id-%ONTID", "h", CRID_PARSE_UNCLOSED},
        {"x%ABCDEFGHIJKLMNO%", "h", CRID_PARSE_TOKEN_TOO_LONG},   // 17 characters
        {"x%ABCDEFGHIJKLM%", "h", CRID_PARSE_BAD_KEYWORD},        // 15: long enough, unknown
        {"%ontid%", "h", CRID_PARSE_BAD_KEYWORD},
        {"%%", "h", CRID_PARSE_BAD_KEYWORD},
        {t254, "", 0},
        {t254 + "b", "", CRID_PARSE_TAIL_TOO_LONG},
        {t254 + "b%ONTID%", "", CRID_PARSE_TEXT_TOO_LONG},
        {"abcd%HOSTNAME%", host250.c_str(), 0},                   // 254 characters
        {"abcde%HOSTNAME%", host250.c_str(), CRID_PARSE_BAD_KEYWORD},
        {fields, "", 0},
        {fields + "%PATHID%", "", CRID_PARSE_BAD_KEYWORD},
    };
    for (const auto &r : rows) {
        crid_desc desc;
        EXPECT_EQ(GetFieldMaxLen(&desc, r.text.c_str(), r.host, "", "ip"), r.result) << r.text;
    }
    // The bytes of the third and fourth: "ids circuit refused, written empty" and "ids too large: both
    // cleared"; one able to pass 255 bytes is cleared, yet counted a success; 94 + 30 + 4 = 128 fits exactly.
    std::string c84 = std::string(84, 'c') + "%ONTID%", r20 = std::string(20, 'r') + "%ONTID%";
    struct { std::string circuit, remote; size_t room; int rc; size_t capacity; } updates[] = {
        {"%ONTID", "%BOGUS%", CRID_OLT_CAPACITY, CRID_UPDATE_BOTH_REFUSED, 0},
        {"ok", "%ONTID", CRID_OLT_CAPACITY, CRID_UPDATE_REMOTE_REFUSED, 0},
        {"%ONTID", "r-%PATHID%", CRID_OLT_CAPACITY, CRID_UPDATE_CIRCUIT_REFUSED, 0},
        {"cccccc" + c84, r20, CRID_OLT_CAPACITY, CRID_UPDATE_TOO_LARGE, 0},   // 134 > 128
        {std::string(200, 'w') + "%OPT60%", "r", 1000, 0, 1 + 4},
        {c84, r20, CRID_OLT_CAPACITY, 0, 128}};
    int rc;
    for (const auto &u : updates) {
        crid_pair pair = templates(u.circuit.c_str(), u.remote.c_str(), u.room, &rc);
        EXPECT_EQ(rc, u.rc) << u.circuit;
        EXPECT_TRUE(rc || pair.capacity == u.capacity) << u.circuit;
    }
    EXPECT_EQ(ids(templates(c84.c_str(), r20.c_str()), nullptr, 3, 127).size(), 0u) << "only a buffer that holds 128";
}

TEST(OnuRequests, UnparsableRuleTextsAreRefusedAndLeaveTheEntry)
{
    std::string nine = "action=1";
    for (int i = 0; i < 9; i++)
        nine += " field20=" + std::to_string(i) + " op=1";
    const std::string bad[] = {
        "", "action=256", "action=1 action=2", "action=-1", "action=1x", "action=", "action", "action=1 colour=red",
        "action=1 field12=224.0.0.1", "action=1 op=1", "action=1 field12=224.0.0.1 field13=1.2.3.4 op=1",
        "action=1 field12=224.0.0 op=1", "action=1 field12=224.0.0.1.5 op=1", "action=1 field12=256.0.0.1 op=1",
        "action=1 field1=00:0D:B6:01:02 op=1", "action=1 field1=00:0D:B6:01:02:0G op=1",
        "action=1 field1=000:D:B6:01:02:03 op=1", "action=1 field5=18446744073709551616 op=1",
        "action=1 field256=1 op=1", "action=1 fieldx=1 op=1", "action=1 param=65536", "action=1 param=1.256",
        "action=1 param=1.2.3", "action=1 field5=1 op=256", "action=0x", nine,
    };
    for (const std::string &text : bad) {
        std::vector<uint8_t> e(ONU_RULE_SIZE, 0xEE);
        EXPECT_EQ(epon_rule_translate_to_bin(text.c_str(), e.data()), -1) << text;
        EXPECT_EQ(e, std::vector<uint8_t>(ONU_RULE_SIZE, 0xEE)) << text;
    }
    EXPECT_EQ(epon_rule_translate_to_bin(nullptr, nullptr), -1);
}

// The group filter is the multicast space less the allowed ranges
// ("allowed: X", group entries of 9 bytes, against "filter: X" in the
// vectors, first and last address of each range), in at most 32 pieces.
TEST(OnuRequests, AllowedMulticastRangesAreSubtracted)
{
    auto vectors = hex_vectors("onu/requests.hex");
    int rows = 0;
    for (const auto &[name, allowed] : vectors) {
        if (name.rfind("allowed: ", 0) != 0)
            continue;
        profile p{};
        for (size_t i = 0; i < allowed.size() / 9; i++)
            memcpy(&p[MCAST_GROUPS + MCAST_GROUP_SIZE * i], &allowed[9 * i], 9);
        ipmc_range r[IPMC_RANGES_MAX];
        bytes filter(8 * size_t(onu_ipmc_filter_ranges(p.data(), r)));
        for (size_t i = 0; i < filter.size() / 8; i++) {
            store_be32(&filter[8 * i], r[i].first);
            store_be32(&filter[8 * i + 4], r[i].last);
        }
        EXPECT_EQ(hex_text(filter), hex_text(vectors["filter: " + name.substr(9)])) << name;
        rows++;
    }
    EXPECT_EQ(rows, 10);
}

// A link condition becomes the link's position on its path; one on another
// field keeps its value and leaves the rule to the path's first link (a link
// of another path: OnuLayer.DestinationsCarryTheLinksOfTheirPath).
TEST(OnuRequests, LinkConditionsBecomePositionsOnTheirPathAndFirmwareAges)
{
    uint8_t slots[PATH_RULE_SLOTS][RULE_SLOT_SIZE] = {};
    for (int s : {0, 2}) {
        slots[s][0] = slots[s][2] = 1;
        slots[s][RULE_SLOT_CONDITIONS] = s ? 5 : RULE_FIELD_LINK;
        slots[s][RULE_SLOT_CONDITIONS + 3] = 3;   // link 3: position 1
    }
    const int links[] = {1, 3};
    int owner[PATH_RULE_SLOTS];
    ASSERT_EQ(dest_prepare_rules(slots, links, 2, owner), 0);
    EXPECT_EQ(slots[0][RULE_SLOT_CONDITIONS + 3] * 10 + slots[2][RULE_SLOT_CONDITIONS + 3], 13);
    EXPECT_EQ(std::vector<int>(owner, owner + 3), (std::vector<int>{1, -1, 0}));
    EXPECT_EQ(destination_index(16318), 5023);

    for (auto [version, outdated] : {std::pair<uint16_t, bool>{0x0226, false}, {0x0224, true}, {0x0264, true}, {0x0210, false}})
        EXPECT_EQ(onu_firmware_outdated(version), outdated) << version;
}

} // namespace
