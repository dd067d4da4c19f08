// EAP-MD5 in local mode: the hash, the answer packets and the frame event
// handler's effect on the ONU, against the in-process chip simulator.
#include "auth/eapmd5.h"

#include "engine/profiler_cache.h"
#include "onu/profiler_onu.h"
#include "common/chip_fixture.h"
#include "common/hex.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t onu_mac[6] = {0x00, 0x0D, 0xB6, 0x50, 0x00, 0x00};

// The ONU's EAP-Response/MD5-Challenge with `digest` as its value.
bytes md5_response(const bytes &digest, uint8_t identifier = 1)
{
    bytes eap(6 + 16);
    const uint8_t head[6] = {2, identifier, 0x00, 0x16, 4, 16};
    memcpy(eap.data(), head, 6);
    for (size_t i = 0; i < 16 && i < digest.size(); i++)
        eap[6 + i] = digest[i];
    return eap;
}

TEST(EapMd5Hash, KnownDigests)
{
    struct {
        const char *secret;
        const char *digest;
    } cases[] = {
        {"", "0A97E9B259C6EF6788141219541B7B08"},   // the 17 bytes 01 and sixteen zeros
        {"5820", "742E5952B79289C41596FEA45EE9D9F7"},
    };
    for (auto c : cases) {
        uint8_t digest[16];
        eap_md5_expected(c.secret, digest);
        EXPECT_EQ(bytes(digest, digest + 16), hex(c.digest)) << "'" << c.secret << "'";
    }
}

TEST(EapMd5Compose, AnswersSuccessOrFailure)
{
    bytes right = hex("742E5952B79289C41596FEA45EE9D9F7");
    bytes wrong = right;
    wrong[15] ^= 1;
    struct {
        const char *name;
        bytes eap;
        int result;
        bytes answer;
    } cases[] = {
        {"right value", md5_response(right), EAP_AUTH_OK, {3, 1, 0, 4}},
        {"right value, identifier 7 in the answer", md5_response(right, 7), EAP_AUTH_OK, {3, 1, 0, 4}},
        {"wrong value", md5_response(wrong), EAP_AUTH_FAILED, {4, 1, 0, 4}},
        {"too short for a value", bytes{2, 1, 0, 6, 4, 16}, EAP_AUTH_FAILED, {4, 1, 0, 4}},
    };
    for (auto &c : cases) {
        uint8_t answer[EAP_ANSWER_SIZE] = {};
        EXPECT_EQ(compose_eap_packet_olt_internal("5820", c.eap.data(), c.eap.size(), answer), c.result) << c.name;
        EXPECT_EQ(bytes(answer, answer + 4), c.answer) << c.name;
    }
}

class EapFrame : public ChipFixture {
protected:
    void SetUp() override
    {
        ChipFixture::SetUp();
        cfgcache_clear();
        onu_ = make_onu(9, onu_mac, ONU_STATE_AUTHINPROGRESS);
        onu_lock(onu_);
        strcpy(onu_->secret, "5820");
        onu_->discovered_links = ONU_LINKS;
        onu_->cfg_flags = ONU_CFG_QUEUES_OK;   // configuration stored, layout verified
        onu_unlock(onu_);
    }
    void frame(const uint8_t mac[6], const bytes &eap)
    {
        size_t len = 6 + eap.size();
        auto *event = static_cast<uint8_t *>(BALLOC(TEKLINK_MSG_DATA + len));
        tekmsg_set_header(event, 0, TEK_EVENT_EAP_FRAME, 0, uint16_t(len));
        memcpy(event + TEKLINK_MSG_DATA, mac, 6);
        memcpy(event + TEKLINK_MSG_DATA + 6, eap.data(), eap.size());
        eapframe_handler(event);
        BFREE(event);
    }
    onu_record *onu_ = nullptr;
};

TEST_F(EapFrame, RightAnswerAuthenticatesAndQueuesTheConfiguration)
{
    frame(onu_mac, md5_response(hex("742E5952B79289C41596FEA45EE9D9F7")));
    EXPECT_EQ(onu_->state, ONU_STATE_DISCOVERED) << "AUTHOK, then discovered: all links are";
    auto answers = requests(TEK_REQ_EAP_FRAME);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].len, 10);
    EXPECT_EQ(answers[0].data, (bytes{0x00, 0x0D, 0xB6, 0x50, 0x00, 0x00, 3, 1, 0, 4}));
    EXPECT_EQ(int(profiler_onu_queue()->used), 1);
}

TEST_F(EapFrame, WrongAnswerFailsWithTheMismatchLines)
{
    frame(onu_mac, md5_response(bytes(16, 0x11)));
    EXPECT_EQ(onu_->state, ONU_STATE_AUTHFAILED);
    auto answers = requests(TEK_REQ_EAP_FRAME);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].data, (bytes{0x00, 0x0D, 0xB6, 0x50, 0x00, 0x00, 4, 1, 0, 4}));
    std::string text = trace();
    EXPECT_EQ(count_of(text, "compose_eap_packet_olt_internal: config secret: 5820\n"), 1);
    EXPECT_EQ(count_of(text, "compose_eap_packet_olt_internal: MD5: 742E5952B79289C41596FEA45EE9D9F7\n"), 1);
    EXPECT_EQ(count_of(text, "compose_eap_packet_olt_internal: md5 hashes are mismatch\n"), 1);
    EXPECT_EQ(count_of(text, "eapframe_handler: 00:0D:B6:50:00:00 compose_eap_packet failed (3)"), 1);
    EXPECT_EQ(count_of(text, "eapframe_handler: ONU 00:0D:B6:50:00:00 are in AUTHFAILED state\n"), 1);
    EXPECT_EQ(int(profiler_onu_queue()->used), 0);
}

TEST_F(EapFrame, NonMd5PacketsAndStrangersGetNoAnswer)
{
    const uint8_t second_link[6] = {0x00, 0x0D, 0xB6, 0x50, 0x00, 0x01};
    frame(second_link, md5_response(bytes(16)));
    EXPECT_EQ(onu_->state, ONU_STATE_AUTHINPROGRESS);
    EXPECT_EQ(count_of(trace(), "eapframe_handler: onu_get_by_mac failed\n"), 1);

    frame(onu_mac, bytes{2, 1, 0, 9, 1, 'u', 's', 'e', 'r'});   // an EAP-Response/Identity
    EXPECT_EQ(onu_->state, ONU_STATE_AUTHFAILED);
    EXPECT_EQ(count_of(trace(), "eapframe_handler: non eap-md5 message from ont 00:0D:B6:50:00:00\n"), 1);
    EXPECT_TRUE(requests(TEK_REQ_EAP_FRAME).empty());
}

} // namespace
