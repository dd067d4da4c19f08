// RADIUS mode of ONU authentication against scripted servers: the
// challenge handed on to the ONU, the ONU's State, and what acceptance,
// refusal and a configuration that cannot be stored make of the ONU record.
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

const char SECRET[] = "eap-secret";
const uint8_t MAC[6] = {0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56};

// A server whose EAP-Message is 40 bytes long and State 16 × 0x5A.
std::vector<uint8_t> long_challenge(const std::vector<uint8_t> &request)
{
    std::vector<uint8_t> attributes = {79, 42, 0x01, 0x05, 0x00, 40, 0x04, 0x10};
    for (int i = 0; i < 34; i++)
        attributes.push_back(uint8_t(0xA0 + i));
    attributes.insert(attributes.end(), {24, 18});
    attributes.insert(attributes.end(), 16, 0x5A);
    return radius_signed_reply(request, RADIUS_ACCESS_CHALLENGE, attributes, SECRET);
}

// Acceptance with ONU state `state` in the vendor attributes, EAP Success.
radius_reply_fn accept_with_state(uint8_t state)
{
    return [state](const std::vector<uint8_t> &request) {
        return radius_signed_reply(request, RADIUS_ACCESS_ACCEPT,
                                   {26, 9, 0, 0, 0xB8, 0x01, 110, 3, state,   // ONU state
                                    26, 12, 0, 0, 0xB8, 0x01, 103, 6, 0, 0, 0, 17, 79, 6, 3, 9, 0, 4},
                                   SECRET);
    };
}

class RadiusEap : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(bopen(nullptr, 1 << 22, 0), 0);
        ASSERT_EQ(datastruct_init(), 0);
        server_ = radius_free_port();
        radius_test_settings("127.0.0.1", "255.255.255.255", radius_free_port(), server_, SECRET);
        radius_use_secondary = 0;
        onu_ = onu_alloc();
        memcpy(onu_->mac, MAC, 6);
        onu_->state = ONU_STATE_AUTHINPROGRESS;
        onu_->cfg_flags = ONU_CFG_PENDING;
        memset(onu_->auth, 0x5A, sizeof onu_->auth);
    }
    void TearDown() override
    {
        datastruct_close();
        bclose();
    }

    int check(uint8_t answer[4])
    {
        const uint8_t eap[22] = {0x02, 0x05, 0x00, 0x16, 0x04, 0x10};
        testing::internal::CaptureStderr();
        int rc = radius_eap_check(onu_, eap, sizeof eap, answer, 4);
        testing::internal::GetCapturedStderr();
        return rc;
    }

    uint16_t server_ = 0;
    onu_record *onu_ = nullptr;
};

TEST_F(RadiusEap, IdentityHandsTheOnuAChallengeOfItsSizeAndKeepsTheState)
{
    radius_peer peer("127.0.0.1", server_, long_challenge);
    uint8_t eap[RADIUS_ONU_EAP_REQUEST + 4];
    memset(eap, 0xEE, sizeof eap);
    memset(onu_->auth, 0, sizeof onu_->auth);
    EXPECT_EQ(radius_authorization_identity(onu_, eap), RADIUS_ACCESS_CHALLENGE);
    EXPECT_EQ(eap[0], 0x01);
    EXPECT_EQ(eap[RADIUS_ONU_EAP_REQUEST - 1], 0xA0 + 15);
    EXPECT_EQ(eap[RADIUS_ONU_EAP_REQUEST], 0xEE);   // nothing past the ONU's request
    EXPECT_EQ(std::vector<uint8_t>(onu_->auth, onu_->auth + 16), std::vector<uint8_t>(16, 0x5A));
}

TEST_F(RadiusEap, AcceptanceWithAServerStateKeepsTheStoreAndMarksTheOnu)
{
    radius_peer peer("127.0.0.1", server_, accept_with_state(1));
    uint8_t answer[4] = {};
    EXPECT_EQ(check(answer), RADIUS_CHECK_OK);
    EXPECT_EQ(std::vector<uint8_t>(answer, answer + 4), (std::vector<uint8_t>{3, 9, 0, 4}));
    EXPECT_EQ(std::vector<uint8_t>(onu_->auth, onu_->auth + 16), std::vector<uint8_t>(16, 0xFF));
    EXPECT_TRUE(onu_->cfg_flags & ONU_CFG_RADIUS_AUTH);
    EXPECT_EQ(onu_->ont_id, 0u);   // the configuration was not applied
    // The ONU's State went with its answer.
    ASSERT_EQ(peer.count(), 1u);
}

TEST_F(RadiusEap, AcceptanceWhoseConfigurationCannotBeStoredIsResultTwelve)
{
    // State 0 asks for the configuration to be created; no configuration
    // module is connected here.
    radius_peer peer("127.0.0.1", server_, accept_with_state(0));
    uint8_t answer[4] = {};
    EXPECT_EQ(check(answer), RADIUS_CHECK_CONFIG_FAILED);
    EXPECT_EQ(answer[0], 3);   // the ONU is still told Success
    EXPECT_EQ(onu_->ont_id, 17u);
    EXPECT_STREQ(onu_->secret, "5820");
    EXPECT_FALSE(onu_->cfg_flags & ONU_CFG_RADIUS_AUTH);
}

TEST_F(RadiusEap, RefusalAndSilenceFailWithEapFailure)
{
    const radius_reply_fn replies[] = {
        [](const std::vector<uint8_t> &request) {
            return radius_signed_reply(request, RADIUS_ACCESS_REJECT, {79, 6, 4, 9, 0, 4}, SECRET);
        },
        // A Challenge where an answer was expected is no acceptance.
        [](const std::vector<uint8_t> &request) { return long_challenge(request); },
    };
    for (const auto &reply : replies) {
        radius_peer peer("127.0.0.1", server_, reply);
        uint8_t answer[4] = {};
        EXPECT_EQ(check(answer), RADIUS_CHECK_FAILED);
        EXPECT_EQ(std::vector<uint8_t>(answer, answer + 4), (std::vector<uint8_t>{4, 1, 0, 4}));
        EXPECT_EQ(onu_->auth[0], 0x5A);
        EXPECT_FALSE(onu_->cfg_flags & ONU_CFG_RADIUS_AUTH);
    }
}

} // namespace

namespace {

// Acceptance with ONU state 0 against a configuration module that answers
// the creation of the ONU's configuration with `rcode`.
class RadiusEapStore : public LinkFixture {
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
        onu_->state = ONU_STATE_AUTHINPROGRESS;
    }
    void TearDown() override
    {
        datastruct_close();
        LinkFixture::TearDown();
    }
    int check_with_store_answer(uint8_t rcode)
    {
        kernel_.store().refuse(CFG_CMD_ONT_CREATE, rcode);
        radius_peer peer("127.0.0.1", server_, accept_with_state(0));
        const uint8_t eap[22] = {0x02, 0x05, 0x00, 0x16, 0x04, 0x10};
        uint8_t answer[4] = {};
        testing::internal::CaptureStderr();
        int rc = radius_eap_check(onu_, eap, sizeof eap, answer, 4);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(answer[0], 3);
        EXPECT_EQ(onu_->ont_id, 17u) << "the server's configuration is applied either way";
        return rc;
    }

    uint16_t server_ = 0;
    onu_record *onu_ = nullptr;
};

// The ONU registers again after the server disconnected it: its
// configuration from the first acceptance is in the store already, and the
// ONU must come up, not stay unconfigured.
TEST_F(RadiusEapStore, ConfigurationAlreadyInTheStoreIsNoFailure)
{
    EXPECT_EQ(check_with_store_answer(CFG_RC_EXISTS), RADIUS_CHECK_OK);
    EXPECT_TRUE(onu_->cfg_flags & ONU_CFG_RADIUS_AUTH);
}

TEST_F(RadiusEapStore, StoreOutOfRoomIsResultTwelve)
{
    EXPECT_EQ(check_with_store_answer(CFG_RC_NO_RESOURCES), RADIUS_CHECK_CONFIG_FAILED);
    EXPECT_FALSE(onu_->cfg_flags & ONU_CFG_RADIUS_AUTH);
}

} // namespace
