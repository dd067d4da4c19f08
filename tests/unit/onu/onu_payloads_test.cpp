// The link, SLA, path, destination and queue-layout payloads, byte for byte.
#include "onu/profiler_link.h"
#include "onu/profiler_onu.h"
#include "onu/profiler_path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t link_mac[6] = {0x00, 0x0D, 0xB6, 0x10, 0x00, 0x01};

// A shaping record as the management process stores it: host order.
bytes shaping(uint32_t first, uint16_t second, uint8_t cls, uint16_t third)
{
    bytes r(SHAPING_RECORD_SIZE);
    memcpy(&r[0], &first, 4);
    memcpy(&r[4], &second, 2);
    r[6] = cls;
    memcpy(&r[7], &third, 2);
    return r;
}

TEST(LinkPayloads, OamRate)
{
    uint8_t out[OAM_RATE_LEN];
    link_oam_rate_payload(link_mac, out);
    EXPECT_EQ(bytes(out, out + OAM_RATE_LEN), (bytes{0x00, 0x0D, 0xB6, 0x10, 0x00, 0x01, 25, 10}));
}

TEST(LinkPayloads, CreatePathEgressPortFollowsTheSwapFlag)
{
    struct {
        int pon;
        bool swap;
        uint8_t egress;
    } cases[] = {{0, true, 2}, {1, true, 3}, {0, false, 3}, {1, false, 2}};
    for (auto c : cases) {
        uint8_t out[PATH_CREATE_LEN];
        link_create_path_payload(8322, c.pon, c.swap, out);
        bytes expected = {0x20, 0x82,              // path 8322
                          0x00, uint8_t(c.pon),    // PON port
                          0x00, 0x01, 0x00, 0x10,  // 1, 16
                          0x00, c.egress,          // egress port
                          0x00, 0x01, 0x00, 0x10}; // 1, 16
        EXPECT_EQ(bytes(out, out + PATH_CREATE_LEN), expected) << "pon " << c.pon << " swap " << c.swap;
    }
}

TEST(LinkPayloads, PathQueryIsTheIdentifierAndFourteenZeros)
{
    uint8_t out[PATH_QUERY_LEN];
    link_path_query_payload(16318, out);
    bytes expected(PATH_QUERY_LEN);
    expected[0] = 0x3F;
    expected[1] = 0xBE;
    EXPECT_EQ(bytes(out, out + PATH_QUERY_LEN), expected);
}

TEST(LinkPayloads, QueueSla)
{
    struct {
        const char *name;
        bytes first, second;
        bool sent;
        bytes expected;
    } cases[] = {
        {"both used", shaping(10000, 100, 1, 16), shaping(20000, 200, 2, 32), true,
         {0x20, 0x80, 0x00, 0x00,                                      // queue 8320, 0
          0x00, 0x00, 0x27, 0x10, 0x00, 0x64, 0x01, 0x00, 0x10,        // first record
          0x00, 0x00, 0x4E, 0x20, 0x00, 0xC8, 0x02, 0x00, 0x20}},      // second record
        {"second unused takes the first's 32-bit field", shaping(10000, 100, 1, 16), shaping(5, 7, 255, 9), true,
         {0x20, 0x80, 0x00, 0x00,
          0x00, 0x00, 0x27, 0x10, 0x00, 0x64, 0x01, 0x00, 0x10,
          0x00, 0x00, 0x27, 0x10, 0x00, 0x07, 0xFF, 0x00, 0x09}},
        {"both unused: nothing sent", shaping(1, 2, 255, 3), shaping(4, 5, 255, 6), false, {}},
    };
    for (auto &c : cases) {
        uint8_t out[QUEUE_SLA_LEN];
        bool sent = link_queue_sla_payload(8320, c.first.data(), c.second.data(), out);
        EXPECT_EQ(sent, c.sent) << c.name;
        if (sent) {
            EXPECT_EQ(bytes(out, out + QUEUE_SLA_LEN), c.expected) << c.name;
        }
    }
}

TEST(LinkPayloads, LinkSlaCarriesTheSmallerUpstreamClass)
{
    uint8_t out[LINK_SLA_LEN];
    bytes first = shaping(10000, 100, 5, 16), second = shaping(3, 4, 255, 6);
    ASSERT_TRUE(link_sla_payload(link_mac, first.data(), second.data(), out));
    bytes expected = {0x00, 0x0D, 0xB6, 0x10, 0x00, 0x01,                 // link MAC
                      0x00, 0x00, 0x27, 0x10, 0x00, 0x64, 0x05, 0x00, 0x10, // upstream first
                      0x00, 0x00, 0x27, 0x10, 0x00, 0x04, 0xFF, 0x00, 0x06, // upstream second (first's value)
                      0x01, 0x05,                                           // 1, smaller class
                      0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(bytes(out, out + LINK_SLA_LEN), expected);
    bytes unused = shaping(1, 1, 255, 1);
    EXPECT_FALSE(link_sla_payload(link_mac, unused.data(), unused.data(), out));
}

TEST(PathPayloads, LearningLimitBytes)
{
    struct {
        uint8_t limit;
        bytes expected;
    } cases[] = {
        {0, {0x04, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x04}},
        {16, {0x04, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x04}},
    };
    for (auto &c : cases) {
        uint8_t out[LEARNING_LEN];
        dest_learning_payload(1024, c.limit, out);
        EXPECT_EQ(bytes(out, out + LEARNING_LEN), c.expected) << int(c.limit);
    }
}

TEST(PathPayloads, StaticClientsSendOnlyUsedEntriesOfTheCount)
{
    bytes list(4 + 64 * STATIC_CLIENT_SIZE);
    list[0] = 3;   // count, least significant byte first
    uint8_t *second = &list[4 + STATIC_CLIENT_SIZE];
    const uint8_t entry[11] = {1, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 192, 168, 1, 20};
    memcpy(second, entry, sizeof entry);
    list[4 + 5 * STATIC_CLIENT_SIZE] = 1;   // used, but beyond the count
    bytes out(2 + 64 * STATIC_ENTRY_SIZE);
    size_t len = static_clients_payload(1025, link_mac, list.data(), out.data(), out.size());
    ASSERT_EQ(len, 2 + STATIC_ENTRY_SIZE);
    bytes expected = {0x00, 0x01,                           // one entry
                      0x04, 0x01,                           // destination 1025
                      192, 168, 1, 20,                      // client address
                      0x02, 0x11, 0x22, 0x33, 0x44, 0x55,   // client MAC
                      0x00, 0x0D, 0xB6, 0x10, 0x00, 0x01,   // link MAC
                      0x02, 0x11, 0x22, 0x33, 0x44, 0x55,   // client MAC again
                      0, 0, 0, 0, 0, 0, 0, 0};
    out.resize(len);
    EXPECT_EQ(out, expected);

    bytes none(4 + 64 * STATIC_CLIENT_SIZE);
    none[0] = 200;   // a count past the list is held to the 64 entries there are
    EXPECT_EQ(static_clients_payload(1025, link_mac, none.data(), out.data(), out.size()), 0u);
}

TEST(PathPayloads, DestinationIndexIsThePathSlotPlus1024)
{
    EXPECT_EQ(destination_index(8320), 1024);
    EXPECT_EQ(destination_index(8326), 1027);
    EXPECT_EQ(destination_index(16318), 5023);
}

TEST(PathRules, FieldTenConditionsBecomeLinkPositions)
{
    uint8_t slots[PATH_RULE_SLOTS][RULE_SLOT_SIZE] = {};
    auto condition = [&](int slot, int c, uint8_t field, uint16_t link) {
        slots[slot][0] = 1;
        slots[slot][2] = uint8_t(c + 1);
        uint8_t *p = slots[slot] + RULE_SLOT_CONDITIONS + RULE_CONDITION_SIZE * c;
        p[0] = field;
        memcpy(p + 3, &link, 2);
    };
    condition(0, 0, RULE_FIELD_LINK, 3);   // names link 3: position 1
    condition(2, 0, 5, 0);                 // no link condition: position 0
    const int links[] = {1, 3};
    int owner[PATH_RULE_SLOTS];
    ASSERT_EQ(dest_prepare_rules(slots, links, 2, owner), 0);
    EXPECT_EQ(owner[0], 1);
    uint16_t rewritten;
    memcpy(&rewritten, slots[0] + RULE_SLOT_CONDITIONS + 3, 2);
    EXPECT_EQ(rewritten, 1);
    EXPECT_EQ(owner[1], -1);
    EXPECT_EQ(owner[2], 0);

    condition(4, 0, RULE_FIELD_LINK, 2);   // link 2 is not on this path
    EXPECT_EQ(dest_prepare_rules(slots, links, 2, owner), -3);
}

TEST(QueueLayout, ExpectedRecordPerLinkCountAndFamily)
{
    const uint8_t mac[6] = {0, 0x0D, 0xB6, 1, 2, 3};
    auto with_mac = [&](uint8_t links, bytes rest) {
        bytes out(mac, mac + 6);
        out.push_back(links);
        out.insert(out.end(), rest.begin(), rest.end());
        return out;
    };
    struct {
        unsigned links;
        bool is_8600;
        bytes expected;
    } cases[] = {
        {1, false, with_mac(1, {4, 27, 27, 27, 27, 2, 4, 30, 30, 30, 30, 0, 1, 0})},
        {1, true, with_mac(1, {4, 27, 27, 27, 27, 2, 4, 30, 30, 30, 30, 0, 1, 0})},
        {2, false, with_mac(2, {2, 27, 27, 2, 27, 27, 2, 4, 15, 15, 15, 15, 4, 15, 15, 15, 15, 1, 0})},
        {2, true, with_mac(2, {2, 27, 27, 2, 27, 27, 2, 4, 30, 30, 30, 30, 0, 1, 0})},
        {3, false, with_mac(3, {1, 36, 1, 36, 1, 36, 2, 4, 15, 15, 15, 15, 4, 15, 15, 15, 15, 1, 0})},
        {3, true, with_mac(3, {1, 36, 1, 36, 1, 36, 2, 4, 30, 30, 30, 30, 0, 1, 0})},
        {4, false, with_mac(4, {1, 27, 1, 27, 1, 27, 1, 27, 2, 4, 15, 15, 15, 15, 4, 15, 15, 15, 15, 1, 0})},
        {4, true, with_mac(4, {1, 27, 1, 27, 1, 27, 1, 27, 2, 4, 30, 30, 30, 30, 0, 1, 0})},
    };
    for (const auto &c : cases) {
        uint8_t out[QUEUES_LAYOUT_MAX];
        size_t n = onu_expected_queues(mac, c.links, c.is_8600, out);
        ASSERT_EQ(n, c.expected.size()) << "N=" << c.links << " 8600=" << c.is_8600;
        EXPECT_EQ(bytes(out, out + n), c.expected) << "N=" << c.links << " 8600=" << c.is_8600;
    }
}

TEST(OnuFirmware, OutOfDateVersions)
{
    EXPECT_FALSE(onu_firmware_outdated(0x0226));
    EXPECT_TRUE(onu_firmware_outdated(0x0224));
    EXPECT_TRUE(onu_firmware_outdated(0x0264));
    EXPECT_FALSE(onu_firmware_outdated(0x0210));
}

} // namespace
