// Reply attributes into an ONU configuration: the vendor table of Vendor-Id
// 47105 (fixed sizes, wrong vendor lengths, texts), rule texts into the
// three rule tables, EAP-Message and State, and walks that must stop.
#include "auth/radius.h"
#include "base/balloc.h"
#include "base/bytes.h"
#include "onu/epon_rules.h"
#include "onu/onu_rules.h"
#include "store/datastruct.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// A reply of `code` with the attributes given as raw bytes.
std::vector<uint8_t> reply(uint8_t code, const std::vector<uint8_t> &attributes)
{
    std::vector<uint8_t> r(20 + attributes.size(), 0);
    r[0] = code;
    std::copy(attributes.begin(), attributes.end(), r.begin() + 20);
    store_be16(&r[2], uint16_t(r.size()));
    return r;
}

std::vector<uint8_t> vsa(uint8_t type, const std::vector<uint8_t> &value, int vendor_length = -1)
{
    std::vector<uint8_t> a = {RADIUS_ATTR_VENDOR, uint8_t(8 + value.size()), 0x00, 0x00, 0xB8, 0x01, type,
                              uint8_t(vendor_length < 0 ? int(value.size()) + 2 : vendor_length)};
    a.insert(a.end(), value.begin(), value.end());
    return a;
}

std::vector<uint8_t> text_vsa(uint8_t type, const std::string &text)
{
    return vsa(type, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> join(const std::vector<std::vector<uint8_t>> &parts)
{
    std::vector<uint8_t> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class Attributes : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(bopen(nullptr, 1 << 20, 0), 0);
        config_.reset(new onu_record);
        onu_config_defaults(config_.get());
    }
    void TearDown() override { bclose(); }

    int parse(const std::vector<uint8_t> &r, uint8_t *eap = nullptr, uint8_t *state = nullptr)
    {
        return radius_parse_attributes(r.data(), r.size(), config_.get(), eap, state);
    }
    const uint8_t *table(unsigned t) const { return onu_block_rule_table(config_->cfg_block, uint16_t(t)); }

    std::unique_ptr<onu_record> config_;
};

TEST_F(Attributes, VendorTableFillsTheConfigurationFields)
{
    auto r = reply(RADIUS_ACCESS_ACCEPT,
                   join({vsa(100, {3}), text_vsa(101, "test onu one"), vsa(102, {5}), vsa(103, {0, 0, 1, 17}),
                         vsa(104, {0x12, 0x34}), vsa(105, {0x56}), vsa(106, {0x78}), vsa(110, {0}), vsa(111, {3}),
                         vsa(112, {5}), vsa(113, {4}), vsa(114, {1}), vsa(115, {2}), vsa(121, {1}), vsa(122, {1}),
                         vsa(123, {0}), vsa(124, {1}), vsa(99, {7}),
                         // another vendor's attribute with a type of ours: skipped
                         {RADIUS_ATTR_VENDOR, 9, 0x00, 0x00, 0x01, 0x37, 100, 3, 9}}));
    EXPECT_EQ(parse(r), 0);
    EXPECT_EQ(config_->type, 3);
    EXPECT_STREQ(config_->description, "test onu one");
    EXPECT_EQ(config_->configured_port, 5);
    EXPECT_EQ(config_->ont_id, 273u);
    uint16_t network;
    memcpy(&network, config_->cfg_tail, 2);
    EXPECT_EQ(network, 0x1234);   // host order
    EXPECT_EQ(config_->cfg_tail[2], 0x56);
    EXPECT_EQ(config_->cfg_tail[3], 0x78);
    EXPECT_EQ(config_->state, 0u);
    // rules, SLA, multicast, link, paths
    EXPECT_EQ(std::vector<uint8_t>(config_->profiles, config_->profiles + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    // ONU blocked, block UNI0, block UNI1, block RFOUT
    EXPECT_EQ(std::vector<uint8_t>(config_->cfg_bytes, config_->cfg_bytes + 4), (std::vector<uint8_t>{1, 0, 1, 1}));
}

TEST_F(Attributes, WrongVendorLengthIsReportedButTheValueIsStored)
{
    struct {
        const char *name;
        std::vector<uint8_t> attribute;
        uint8_t type;
        uint32_t ont_id;
    } cases[] = {
        // type 100 with vendor length 4: the type code is the first value byte
        {"u8 with two bytes", vsa(100, {3, 0}), 3, 0},
        {"u32 with five bytes", vsa(103, {0, 0, 0, 9, 1}), 0, 9},
        {"u32 with two bytes: nothing to store", vsa(103, {0, 9}), 0, 0},
        // vendor length larger than the attribute: cut to what is there
        {"vendor length past the attribute", vsa(100, {4}, 9), 4, 0},
    };
    for (auto &c : cases) {
        onu_config_defaults(config_.get());
        testing::internal::CaptureStderr();
        EXPECT_LT(parse(reply(RADIUS_ACCESS_ACCEPT, c.attribute)), 0) << c.name;
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(config_->type, c.type) << c.name;
        EXPECT_EQ(config_->ont_id, c.ont_id) << c.name;
    }
}

TEST_F(Attributes, HeaderOnlyReplyChangesNothing)
{
    auto before = std::make_unique<onu_record>(*config_);
    uint8_t eap[RADIUS_EAP_SIZE] = {0xAA};
    uint8_t state[16] = {0xBB};
    EXPECT_EQ(parse(reply(RADIUS_ACCESS_ACCEPT, {}), eap, state), 0);
    EXPECT_EQ(memcmp(before.get(), config_.get(), sizeof(onu_record)), 0);
    EXPECT_EQ(eap[0], 0xAA);
    EXPECT_EQ(state[0], 0xBB);
}

TEST_F(Attributes, SecondEapMessageOverwritesTheFirstAndStateIsCopied)
{
    uint8_t eap[RADIUS_EAP_SIZE] = {};
    uint8_t state[16] = {};
    auto r = reply(RADIUS_ACCESS_CHALLENGE,
                   {79, 12, 0x01, 0x05, 0x00, 0x0A, 0x04, 0x10, 0xA1, 0xA2, 0xA3, 0xA4,   // first, 10 bytes
                    79, 6, 0x03, 0x06, 0x00, 0x04,                                        // second, 4 bytes
                    24, 18, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    EXPECT_EQ(parse(r, eap, state), 0);
    // The second one from the start; the first one's tail stays behind it.
    EXPECT_EQ(std::vector<uint8_t>(eap, eap + 6), (std::vector<uint8_t>{0x03, 0x06, 0x00, 0x04, 0x04, 0x10}));
    EXPECT_EQ(state[0], 1);
    EXPECT_EQ(state[15], 16);
}

TEST_F(Attributes, WalkStopsOnAnAttributeThatDoesNotFit)
{
    struct {
        const char *name;
        std::vector<uint8_t> attributes;
    } cases[] = {
        {"length 0", {79, 0, 1, 2}},
        {"length 1", {79, 1, 1, 2}},
        {"past the packet", {79, 9, 1, 2}},
        {"type byte alone at the end", {100, 3, 1, 79}},
    };
    for (auto &c : cases) {
        uint8_t eap[RADIUS_EAP_SIZE] = {};
        EXPECT_EQ(parse(reply(RADIUS_ACCESS_ACCEPT, c.attributes), eap), RADIUS_ERR_MALFORMED) << c.name;
    }
    // A length field larger than the bytes given is cut to them.
    auto r = reply(RADIUS_ACCESS_ACCEPT, {79, 6, 3, 1, 0, 4});
    store_be16(&r[2], 400);
    uint8_t eap[RADIUS_EAP_SIZE] = {};
    EXPECT_EQ(parse(r, eap), 0);
    EXPECT_EQ(eap[0], 3);
}

TEST_F(Attributes, RuleTextsFillTheirTablesInOrder)
{
    auto r = reply(RADIUS_ACCESS_ACCEPT,
                   join({text_vsa(116, "action=14 param=0 field12=224.0.0.1 op=4"), text_vsa(117, "action=1"),
                         text_vsa(116, "not a rule"),   // skipped, the counter stays
                         text_vsa(116, "a=1 action=2 param=3.4"), text_vsa(118, "action=7 field5=10 op=1")}));
    EXPECT_EQ(parse(r), 0);
    const uint8_t *pon = table(0);
    EXPECT_EQ(pon[2], 14);
    EXPECT_EQ(pon[5], 1);
    EXPECT_EQ(pon[6], 12);
    EXPECT_EQ(pon[86 + 1], 1);
    EXPECT_EQ(pon[86 + 3], 3);
    EXPECT_EQ(pon[86 + 4], 4);
    EXPECT_EQ(pon[ONU_RULE_STATES + 0], ONU_RULE_OWN);
    EXPECT_EQ(pon[ONU_RULE_STATES + 1], ONU_RULE_OWN);
    EXPECT_EQ(pon[ONU_RULE_STATES + 2], 0);
    EXPECT_EQ(table(1)[2], 1);
    EXPECT_EQ(table(1)[ONU_RULE_STATES], ONU_RULE_OWN);
    EXPECT_EQ(table(2)[2], 7);
    EXPECT_EQ(table(2)[ONU_RULE_STATES], ONU_RULE_OWN);
}

TEST_F(Attributes, RulesPastTheFiftySixthAreIgnored)
{
    std::vector<std::vector<uint8_t>> attributes;
    for (int i = 0; i < 60; i++)
        attributes.push_back(text_vsa(117, "action=" + std::to_string(i)));
    std::vector<uint8_t> r = join(attributes);
    // More than one packet holds: parse it as one long buffer all the same.
    std::vector<uint8_t> packet = reply(RADIUS_ACCESS_ACCEPT, r);
    store_be16(&packet[2], 0xFFFF);
    EXPECT_EQ(radius_parse_attributes(packet.data(), packet.size(), config_.get(), nullptr, nullptr), 0);
    const uint8_t *uni0 = table(1);
    EXPECT_EQ(uni0[55 * 86 + 2], 55);
    for (int i = 0; i < ONU_RULE_SLOTS; i++)
        EXPECT_EQ(uni0[ONU_RULE_STATES + i], ONU_RULE_OWN);
    // The UNI1 table right behind it is untouched.
    EXPECT_EQ(uni0[ONU_RULE_STATES + ONU_RULE_SLOTS], 0);
    EXPECT_EQ(table(2)[2], 0);
}

TEST_F(Attributes, RuleWithoutAPoolBlockIsSkipped)
{
    balloc_fail_nth(1);
    EXPECT_EQ(parse(reply(RADIUS_ACCESS_ACCEPT, text_vsa(116, "action=3"))), 0);
    balloc_fail_nth(0);
    EXPECT_EQ(table(0)[ONU_RULE_STATES], 0);
    EXPECT_EQ(parse(reply(RADIUS_ACCESS_ACCEPT, text_vsa(116, "action=3"))), 0);
    EXPECT_EQ(table(0)[ONU_RULE_STATES], ONU_RULE_OWN);
}

TEST_F(Attributes, DisconnectRequestGivesUserNameAndSessionId)
{
    uint8_t name[RADIUS_EAP_SIZE];
    memset(name, 0x55, sizeof name);
    uint8_t session[16] = {};
    auto r = reply(RADIUS_DISCONNECT_REQUEST, {1, 7, 'o', 'l', 't', '-', 'x', 44, 6, 0, 0, 1, 0,
                                               79, 6, 3, 1, 0, 4});   // EAP-Message ignored here
    EXPECT_EQ(radius_parse_attributes(r.data(), r.size(), nullptr, name, session), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(name), "olt-x");
    EXPECT_EQ(std::vector<uint8_t>(session, session + 4), (std::vector<uint8_t>{0, 0, 1, 0}));
}

} // namespace
