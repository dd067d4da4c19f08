// RADIUS packets: answers verified against vectors signed independently of
// this code (so HMAC-MD5 and the MD5 authenticator are proven with them),
// the Access-Request as built; reply attributes into
// an ONU configuration: the vendor table's fields and the rule texts into
// their tables. (The walk's refusals of bad lengths are the answer check's
// table here, the fuzz target's and the Disconnect-Requests'.)
#include "auth/radius.h"
#include "base/balloc.h"
#include "base/bytes.h"
#include "common/hex.h"
#include "onu/onu_rules.h"
#include "store/datastruct.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

namespace {

using bytes = std::vector<uint8_t>;

const char SECRET[] = "testing123";

TEST(RadiusVerify, AnswersAreAcceptedOnlyWhenEverySignatureAndLengthHolds)
{
    bytes request = hex("01 2a 0014 101112131415161718191a1b1c1d1e1f");   // the request the vectors answer
    auto answers = hex_vectors("auth/radius_answers.hex");
    using row = std::tuple<const char *, size_t, int>;   // vector, bytes received when not the vector's, result
    const row cases[] = {
        {"challenge", 0, RADIUS_ACCESS_CHALLENGE},
        {"accept", 0, RADIUS_ACCESS_ACCEPT},
        {"accounting response", 0, RADIUS_ACCOUNTING_RESPONSE},
        {"wrong message authenticator", 0, RADIUS_ERR_AUTHENTICATOR},
        {"EAP-Message without Message-Authenticator", 0, RADIUS_ERR_AUTHENTICATOR},
        {"attribute past the end", 0, RADIUS_ERR_MALFORMED},
        {"attribute length 1", 0, RADIUS_ERR_MALFORMED},
        {"accounting response", 19, RADIUS_ERR_MALFORMED},   // length field beyond the datagram
        {"shorter than a header", 0, RADIUS_ERR_MALFORMED},
        {"wrong response authenticator", 0, RADIUS_ERR_AUTHENTICATOR},
        {"another identifier", 0, RADIUS_ERR_IDENTIFIER},
        {"too long for the secret", RADIUS_BUFFER_SIZE, RADIUS_ERR_TOO_LONG},
    };
    for (auto [name, received, expected] : cases) {
        bytes buffer = answers[name];
        received = received ? received : buffer.size();
        buffer.resize(RADIUS_BUFFER_SIZE);
        EXPECT_EQ(radius_verify_response(buffer.data(), received, request.data(), SECRET, strlen(SECRET)), expected)
            << name << " " << received;
    }
}

// The attributes in order and the Message-Authenticator over the packet with
// itself zeroed; without the flag no State; the authenticator is new every
// time.
TEST(RadiusRequest, AccessRequestCarriesItsAttributesInOrderAndAValidMessageAuthenticator)
{
    const uint8_t eap[] = {0x02, 0x07, 0x00, 0x06, 0x04, 0x41};   // length low byte 6
    const bytes state = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    bytes first(RADIUS_BUFFER_SIZE), second(RADIUS_BUFFER_SIZE);
    const char *user = "00:0D:B6:12:34:56";
    size_t length =
        radius_build_access_request(first.data(), 0x2A, user, eap, state.data(), true, SECRET, strlen(SECRET));
    bytes packet = hex_vectors("auth/radius_attributes.hex")["access request"];
    std::copy(&first[4], &first[20], &packet[4]);   // the authenticator is random
    ASSERT_TRUE(radius_hmac_md5(packet.data(), packet.size(), SECRET, strlen(SECRET), &packet[packet.size() - 16]));
    EXPECT_EQ(bytes(first.begin(), first.begin() + long(length)), packet);
    EXPECT_EQ(radius_build_access_request(second.data(), 0x2A, user, eap, state.data(), false, SECRET, strlen(SECRET)),
              length - 18);
    EXPECT_NE(memcmp(&first[4], &second[4], 16), 0);
}

// Vendor attribute of Vendor-Id 47105.
bytes vsa(uint8_t type, const bytes &value)
{
    bytes a = {RADIUS_ATTR_VENDOR, uint8_t(8 + value.size()), 0x00, 0x00, 0xB8, 0x01, type, uint8_t(value.size() + 2)};
    a.insert(a.end(), value.begin(), value.end());
    return a;
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

    // An Access-Accept with `attributes`, its length field `length` (its
    // size when 0), parsed into the configuration, `eap_` and `state_`.
    int parse(const bytes &attributes, uint16_t length = 0)
    {
        bytes r(RADIUS_HEADER, 0);
        r[0] = RADIUS_ACCESS_ACCEPT;
        r.insert(r.end(), attributes.begin(), attributes.end());
        store_be16(&r[2], length ? length : uint16_t(r.size()));
        return radius_parse_attributes(r.data(), r.size(), config_.get(), eap_, state_);
    }
    const uint8_t *table(unsigned t) const { return onu_block_rule_table(config_->cfg_block, uint16_t(t)); }

    std::unique_ptr<onu_record> config_;
    uint8_t eap_[RADIUS_EAP_SIZE] = {};
    uint8_t state_[RADIUS_STATE_SIZE] = {};
};

// The fields the board's RADIUS road does not show (it shows the
// description, the link profile and the rules; the client's tests the type
// and ONT id); an unknown vendor type and another vendor's type 102 are
// skipped.
TEST_F(Attributes, VendorTableFillsTheConfigurationFields)
{
    EXPECT_EQ(parse(hex_vectors("auth/radius_attributes.hex")["vendor table"]), 0);
    EXPECT_EQ(config_->configured_port, 5);
    uint16_t network;
    memcpy(&network, config_->cfg_tail, 2);
    EXPECT_EQ(network, 0x1234);   // host order
    EXPECT_EQ(bytes(config_->cfg_tail + 2, config_->cfg_tail + 4), (bytes{0x56, 0x78}));
    EXPECT_EQ(config_->state, 2u);
    // rules, SLA, multicast, link, paths
    EXPECT_EQ(bytes(config_->profiles, config_->profiles + 5), (bytes{1, 2, 3, 4, 5}));
    // ONU blocked, block UNI0, block UNI1, block RFOUT
    EXPECT_EQ(bytes(config_->cfg_bytes, config_->cfg_bytes + 4), (bytes{1, 0, 1, 1}));
}

// Texts that do not translate or find no pool block are skipped without
// taking an entry; past the 56th entry a table takes no more. More rules
// than one packet holds are parsed as one long buffer all the same.
TEST_F(Attributes, RuleTextsFillTheirTablesInOrderUpToTheLast)
{
    bytes r;
    auto add = [&](uint8_t type, const std::string &text) {
        bytes a = vsa(type, bytes(text.begin(), text.end()));
        r.insert(r.end(), a.begin(), a.end());
    };
    add(116, "action=3");   // finds no pool block
    add(116, "not a rule");
    add(116, "action=14 param=0 field12=224.0.0.1 op=4");
    for (int i = 0; i < 60; i++)
        add(117, "action=" + std::to_string(i));
    balloc_fail_nth(1);
    EXPECT_EQ(parse(r, 0xFFFF), 0);
    balloc_fail_nth(0);
    EXPECT_EQ(table(0)[2], 14);
    EXPECT_EQ(table(0)[ONU_RULE_STATES], ONU_RULE_OWN);
    EXPECT_EQ(table(0)[ONU_RULE_STATES + 1], 0);
    EXPECT_EQ(table(1)[55 * ONU_RULE_SIZE + 2], 55);
    for (int i = 0; i < ONU_RULE_SLOTS; i++)
        EXPECT_EQ(table(1)[ONU_RULE_STATES + i], ONU_RULE_OWN);
    EXPECT_EQ(table(1)[ONU_RULE_STATES + ONU_RULE_SLOTS], 0) << "nothing past the table's last entry";
}

} // namespace
