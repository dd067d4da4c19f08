// EAP-MD5 in local mode: the frame event handler's answers and their effect
// on the ONU, against the in-process chip simulator.
#include "auth/eapmd5.h"

#include "engine/profiler_cache.h"
#include "onu/profiler_onu.h"
#include "common/chip_fixture.h"
#include "common/hex.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t onu_mac[6] = {0x00, 0x0D, 0xB6, 0x50, 0x00, 0x00};

// The ONU's EAP-Response/MD5-Challenge with `digest` as its value.
bytes md5_response(const bytes &digest)
{
    bytes eap = {2, 1, 0x00, 0x16, 4, 16};
    eap.insert(eap.end(), digest.begin(), digest.end());
    return eap;
}

// An ONU in AUTHINPROGRESS with the secret "5820", its configuration stored
// and its queue layout verified.
class EapFrame : public ChipFixture {
protected:
    void SetUp() override
    {
        ChipFixture::SetUp();
        cfgcache_clear();
        onu_ = make_onu(9, onu_mac, ONU_STATE_AUTHINPROGRESS);
        strcpy(onu_->secret, "5820");
        onu_->discovered_links = ONU_LINKS;
        onu_->cfg_flags = ONU_CFG_QUEUES_OK;
    }
    // Sends the ONU, back in AUTHINPROGRESS, the daemon's challenge: the 16
    // bytes it carried.
    bytes challenge()
    {
        onu_lock(onu_);
        onu_->state = ONU_STATE_AUTHINPROGRESS;
        EXPECT_EQ(profiler_onu_send_eap_request(onu_, nullptr), 0);
        onu_unlock(onu_);
        bytes sent = requests(TEK_REQ_EAP_FRAME).back().data;
        return bytes(sent.begin() + 12, sent.begin() + 28);
    }
    // The frame event of `eap` from `mac`; an ONU that knows the secret
    // answers `value` with its MD5 response.
    void frame(const bytes &eap, const uint8_t mac[6] = onu_mac)
    {
        auto *event = static_cast<uint8_t *>(BALLOC(TEKLINK_MSG_DATA + 6 + eap.size()));
        tekmsg_set_header(event, 0, TEK_EVENT_EAP_FRAME, 0, uint16_t(6 + eap.size()));
        memcpy(event + TEKLINK_MSG_DATA, mac, 6);
        memcpy(event + TEKLINK_MSG_DATA + 6, eap.data(), eap.size());
        eapframe_handler(event);
        BFREE(event);
    }
    static bytes answer_to(const bytes &value)
    {
        bytes digest(16);
        eap_md5_expected("5820", value.data(), digest.data());
        return md5_response(digest);
    }
    // The daemon's Success and Failure answers (LEN 10), not its challenges.
    size_t answers()
    {
        auto sent = requests(TEK_REQ_EAP_FRAME);
        return size_t(std::count_if(sent.begin(), sent.end(), [](const auto &r) { return r.len == 10; }));
    }
    onu_record *onu_ = nullptr;
};

// Every authentication draws its own challenge, and only the answer to the
// pending one counts: an answer with no challenge pending, over sixteen zero
// bytes (the old fixed challenge), over an earlier challenge, or too short
// for its value is refused with a Failure. (Right and wrong values against
// the simulated ONUs' own MD5, and the Success and Failure they get: the
// board's ONU road.)
TEST_F(EapFrame, EachChallengeIsFreshAndOnlyItsAnswerCounts)
{
    frame(answer_to(bytes(16, 0)));
    EXPECT_EQ(onu_->state, ONU_STATE_AUTHFAILED) << "no challenge pending";
    bytes earlier = challenge(), pending = challenge();
    EXPECT_NE(pending, earlier);
    for (const bytes &refused : {answer_to(bytes(16, 0)), answer_to(earlier), hex("02010006 0410")}) {
        frame(refused);
        EXPECT_EQ(onu_->state, ONU_STATE_AUTHFAILED);
        pending = challenge();
    }
    // The answer to the pending one authenticates, and the ONU's stored
    // configuration with its queues already verified goes on at once.
    frame(answer_to(pending));
    EXPECT_EQ(onu_->state, ONU_STATE_DISCOVERED) << "AUTHOK, then discovered: all links are";
    EXPECT_EQ(int(profiler_onu_queue()->used), 1);
    EXPECT_EQ(answers(), 5u);
}

// Frames that get no answer: from a MAC of no ONU, a packet that is no
// MD5 response, and, for an ONU that waits for no answer (late or unasked,
// right or wrong), anything: no state change (so no accounting Stop either).
TEST_F(EapFrame, FramesThatGetNoAnswer)
{
    const uint8_t second_link[6] = {0x00, 0x0D, 0xB6, 0x50, 0x00, 0x01};
    const bytes identity = {2, 1, 0, 9, 1, 'u', 's', 'e', 'r'}, right = answer_to(challenge());
    const char *LATE = "eapframe_handler: ONU 00:0D:B6:50:00:00 in OK state, EAP frame dropped\n";
    constexpr uint32_t WAITING = ONU_STATE_AUTHINPROGRESS, OK = ONU_STATE_OK;
    using row = std::tuple<const char *, const uint8_t *, uint32_t, uint32_t, bytes, const char *>;
    const row cases[] = {   // name, sender, ONU state before and after, EAP, trace line
        {"no ONU's MAC", second_link, WAITING, WAITING, md5_response(bytes(16)), "onu_get_by_mac failed\n"},
        {"EAP-Response/Identity", onu_mac, WAITING, ONU_STATE_AUTHFAILED, identity,
         "eapframe_handler: non eap-md5 message from ont 00:0D:B6:50:00:00\n"},
        {"right answer, late", onu_mac, OK, OK, right, LATE},
        {"wrong answer, late", onu_mac, OK, OK, md5_response(bytes(16, 0x11)), LATE},
        {"identity, unasked", onu_mac, OK, OK, identity, LATE},
    };
    for (const auto &[name, mac, before, after, eap, line] : cases) {
        onu_lock(onu_), onu_->state = before, onu_unlock(onu_);
        int lines = count_of(trace(), line);
        frame(eap, mac);
        EXPECT_EQ(onu_->state, after) << name;
        EXPECT_EQ(count_of(trace(), line), lines + 1) << name;
    }
    EXPECT_EQ(answers(), 0u);
}

} // namespace
