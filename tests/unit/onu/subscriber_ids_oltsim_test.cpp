// Option 82 and PPPoE+ requests as the chips receive them: ID, LEN and the
// payload bytes for each format, the board MAC of ZANDREL_IFACE in the
// binary formats, and the local failures that send nothing.
#include "common/chip_fixture.h"

#include "onu/l3agents/CircuitAndRemoteIds.h"
#include "platform/board.h"
#include "onu/subscriber_ids.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

class SubscriberIds : public ChipFixture {
protected:
    void BeforeStart() override
    {
        setenv("ZANDREL_IFACE", "lo", 1);
        path_.dest_index = 0x0457;
        path_.port_index = 3;
        path_.ont_number = 37;
        path_.path_index = 1;
        path_.system_word = 0xC0A80001;
        path_.host_name = "olt7";
        const uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0xAB, 0xCD, 0xEF};
        memcpy(path_.onu_mac, mac, 6);
    }

    void TearDown() override
    {
        ChipFixture::TearDown();
        unsetenv("ZANDREL_IFACE");
    }

    // The last request the chips got: its ID and data.
    std::pair<uint16_t, bytes> last()
    {
        auto log = sim_->request_log();
        if (log.empty())
            return {0, {}};
        return {log.back().id, log.back().data};
    }

    subscriber_path path_{};
};

TEST_F(SubscriberIds, EveryOption82FormatSendsItsPayload)
{
    uint8_t lo_mac[6] = {1, 1, 1, 1, 1, 1};
    ASSERT_EQ(board_iface_mac("lo", lo_mac), 0);
    for (uint8_t format = 0; format <= 4; format++) {
        EXPECT_EQ(profiler_onu_path_opt82(2, format, &path_), SUBSCRIBER_ID_OK) << int(format);
        bytes want(SUBSCRIBER_PAYLOAD_MAX);
        want.resize(opt82_payload(format, &path_, lo_mac, want.data(), want.size()));
        auto [id, data] = last();
        EXPECT_EQ(id, TEK_REQ_OPT82);
        EXPECT_EQ(data, want) << int(format);
        EXPECT_EQ(sim_->request_log().back().olt, 2);
    }
    // The binary formats carry the board MAC where the remote-ID begins.
    ASSERT_EQ(profiler_onu_path_opt82(0, OPT82_EXPANDED_BINARY, &path_), 0);
    bytes data = last().second;
    ASSERT_EQ(data.size(), 35u);
    EXPECT_EQ(bytes(data.begin() + 23, data.begin() + 29), bytes(lo_mac, lo_mac + 6));

    size_t before = sim_->request_count();
    EXPECT_EQ(profiler_onu_path_opt82(0, 5, &path_), SUBSCRIBER_ID_UNKNOWN_FORMAT);
    EXPECT_EQ(sim_->request_count(), before);
}

TEST_F(SubscriberIds, PppoeTagsInEachFormat)
{
    crid_pair pair;
    crid_Init(&pair, CRID_OLT_CAPACITY);
    ASSERT_EQ(crid_Update(&pair, "", "", "olt7", "", "10.0.0.1"), 0);
    EXPECT_EQ(profiler_onu_path_pppoe_tag(1, 7, &path_, &pair), 0);
    EXPECT_EQ(last(), (std::pair<uint16_t, bytes>{TEK_REQ_PPPOE_TAG, {0x04, 0x57, 8, 0, 0, 0x0D, 0xE9, 1, 0, 2, 0}}));

    EXPECT_EQ(profiler_onu_path_pppoe_tag(1, PPPOE_TAG_BINARY, &path_, &pair), 0);
    EXPECT_EQ(last().second,
              (bytes{0x04, 0x57, 15, 0, 0, 0, 0, 0xC0, 0xA8, 0x00, 0x01, 0, 3, 0, 0, 0, 37, 1}));

    EXPECT_EQ(profiler_onu_path_pppoe_tag(1, PPPOE_TAG_TEXT, &path_, &pair), 0);
    std::string text = "GEPON-olt7 xpon 3 37 1 %VLAN0% %VLAN1%";
    bytes data = last().second;
    ASSERT_EQ(data.size(), text.size() + 11);
    EXPECT_EQ(std::string(data.begin() + 9, data.begin() + 9 + long(text.size())), text);
}

TEST_F(SubscriberIds, UnreadableBoardMacSendsNothing)
{
    setenv("ZANDREL_IFACE", "nosuchif0", 1);
    size_t before = sim_->request_count();
    EXPECT_EQ(profiler_onu_path_opt82(0, OPT82_EXTENDED_BINARY, &path_), SUBSCRIBER_ID_LOCAL_FAILURE);
    EXPECT_EQ(profiler_onu_path_opt82(0, OPT82_EXPANDED_BINARY, &path_), SUBSCRIBER_ID_LOCAL_FAILURE);
    EXPECT_EQ(profiler_onu_path_opt82(0, OPT82_REDUCED_BINARY, &path_), SUBSCRIBER_ID_OK);   // needs no MAC
    EXPECT_EQ(sim_->request_count(), before + 1);
}

TEST_F(SubscriberIds, AnswerRcodeIsNotTheCallersConcernButMemoryIs)
{
    sim_->rcode_next(0, 4, 1);
    EXPECT_EQ(profiler_onu_path_opt82(0, OPT82_REDUCED_TEXT, &path_), SUBSCRIBER_ID_OK);
    balloc_fail_nth(1);
    EXPECT_EQ(profiler_onu_path_pppoe_tag_internal(0, &path_), TEK_RC_NO_MEMORY);
    balloc_fail_nth(0);
    olt_set_state(0, ONU_STATE_RESETINPROGRESS);
    EXPECT_EQ(profiler_onu_path_pppoe_tag_text_internal(0, &path_), TEKLINK_ERR_CLOSED);
    EXPECT_NE(trace().find("profiler_onu_path_pppoe_tag_text_internal: ONU teklink_message_send failed (ret = -4)"),
              std::string::npos);
}

} // namespace
