// RADIUS mode of ONU authentication against scripted servers and an
// in-process configuration module: the challenge handed on to the ONU, and
// what acceptance, refusal and the store's answer to the creation of the
// ONU's configuration make of the ONU record.
#include "auth/radius.h"
#include "auth/radius_eap.h"
#include "base/balloc.h"
#include "common/link_fixture.h"
#include "store/datastruct.h"
#include "unit/auth/radius_peer.h"
#include "wire/cfgmsg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

const char SECRET[] = "eap-secret";
const uint8_t MAC[6] = {0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56};

// A server whose EAP-Message is 40 bytes long and State 16 × 0x5A.
bytes long_challenge(const bytes &request)
{
    bytes attributes = {79, 42, 0x01, 0x05, 0x00, 40, 0x04, 0x10};
    for (int i = 0; i < 34; i++)
        attributes.push_back(uint8_t(0xA0 + i));
    attributes.insert(attributes.end(), {24, 18});
    attributes.insert(attributes.end(), 16, 0x5A);
    return radius_signed_reply(request, RADIUS_ACCESS_CHALLENGE, attributes, SECRET);
}

// Acceptance with ONU state `state` in the vendor attributes, ONT id 17,
// EAP Success.
radius_reply_fn accept_with_state(uint8_t state)
{
    return [state](const bytes &request) {
        return radius_signed_reply(request, RADIUS_ACCESS_ACCEPT,
                                   {26, 9, 0, 0, 0xB8, 0x01, 110, 3, state,   // ONU state
                                    26, 12, 0, 0, 0xB8, 0x01, 103, 6, 0, 0, 0, 17, 79, 6, 3, 9, 0, 4},
                                   SECRET);
    };
}

class RadiusEap : public LinkFixture {
protected:
    void SetUp() override
    {
        LinkFixture::SetUp();
        if (HasFatalFailure())
            return;
        clock_fake_release();   // the exchange waits on a real server
        ASSERT_EQ(datastruct_init(), 0);
        server_ = radius_free_port();
        radius_test_settings("127.0.0.1", "255.255.255.255", radius_free_port(), server_, SECRET);
        radius_use_secondary = 0;
        onu_ = onu_alloc();
        memcpy(onu_->mac, MAC, 6);
    }
    void TearDown() override
    {
        datastruct_close();
        LinkFixture::TearDown();
    }

    uint16_t server_ = 0;
    onu_record *onu_ = nullptr;
};

// The ONU gets at most the request its buffer holds; the server's State is
// kept for the answer.
TEST_F(RadiusEap, IdentityHandsTheOnuAChallengeOfItsSizeAndKeepsTheState)
{
    radius_peer peer("127.0.0.1", server_, long_challenge);
    uint8_t eap[RADIUS_ONU_EAP_REQUEST + 4];
    memset(eap, 0xEE, sizeof eap);
    EXPECT_EQ(radius_authorization_identity(onu_, eap), RADIUS_ACCESS_CHALLENGE);
    EXPECT_EQ(eap[0], 0x01);
    EXPECT_EQ(eap[RADIUS_ONU_EAP_REQUEST - 1], 0xA0 + 15);
    EXPECT_EQ(eap[RADIUS_ONU_EAP_REQUEST], 0xEE);   // nothing past the ONU's request
    EXPECT_EQ(bytes(onu_->auth, onu_->auth + 16), bytes(16, 0x5A));
}

// An ONU created from an earlier Accept registers again after the server
// disconnected it: "already exists" is no failure, or it never comes up.
TEST_F(RadiusEap, TheAnswerDecidesTheResultAndTheStoreItsConfiguration)
{
    const struct {
        const char *name;
        radius_reply_fn reply;
        uint8_t store_rcode;   // to the creation of the configuration
        int result;
        bytes eap;             // what the ONU is told
        uint32_t ont_id;       // the server's configuration applied
        bool from_radius;
        bool linked = true;    // false: no configuration module to ask
    } cases[] = {
        {"server state: the store is kept", accept_with_state(1), 0, RADIUS_CHECK_OK, {3, 9, 0, 4}, 0, true},
        {"created: the store's ONT id", accept_with_state(0), 0, RADIUS_CHECK_OK, {3, 9, 0, 4}, 1, true},
        {"already in the store", accept_with_state(0), CFG_RC_EXISTS, RADIUS_CHECK_OK, {3, 9, 0, 4}, 17, true},
        {"store out of room", accept_with_state(0), CFG_RC_NO_RESOURCES, RADIUS_CHECK_CONFIG_FAILED, {3, 9, 0, 4},
         17, false},
        {"refused",
         [](const bytes &request) {
             return radius_signed_reply(request, RADIUS_ACCESS_REJECT, {79, 6, 4, 9, 0, 4}, SECRET);
         },
         0, RADIUS_CHECK_FAILED, {4, 1, 0, 4}, 0, false},
        {"a Challenge where an answer was due", long_challenge, 0, RADIUS_CHECK_FAILED, {4, 1, 0, 4}, 0, false},
        {"no configuration module", accept_with_state(0), 0, RADIUS_CHECK_CONFIG_FAILED, {3, 9, 0, 4}, 17, false,
         false},
    };
    for (const auto &c : cases) {
        onu_record *onu = onu_alloc();
        memcpy(onu->mac, MAC, 6);
        onu->state = ONU_STATE_AUTHINPROGRESS;
        onu->cfg_flags = ONU_CFG_PENDING;
        memset(onu->auth, 0x5A, sizeof onu->auth);
        kernel_.store().refuse(CFG_CMD_ONT_CREATE, c.store_rcode);
        if (!c.linked)
            kernlink_close();
        radius_peer peer("127.0.0.1", server_, c.reply);
        const uint8_t eap[22] = {0x02, 0x05, 0x00, 0x16, 0x04, 0x10};
        uint8_t answer[4] = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(radius_eap_check(onu, eap, sizeof eap, answer, 4), c.result) << c.name;
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(bytes(answer, answer + 4), c.eap) << c.name;
        EXPECT_EQ(onu->ont_id, c.ont_id) << c.name;
        EXPECT_EQ(bool(onu->cfg_flags & ONU_CFG_RADIUS_AUTH), c.from_radius) << c.name;
        EXPECT_EQ(onu->auth[0], c.result == RADIUS_CHECK_FAILED ? 0x5A : 0xFF) << c.name;
    }
}

} // namespace
