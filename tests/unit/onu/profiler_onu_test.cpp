// ONU configuration against the in-process chip simulator: the queue check,
// the blocked-link walk and the configuration sequence with its outcomes.
#include "onu/profiler_link.h"
#include "onu/profiler_onu.h"

#include "engine/profiler_cache.h"
#include "common/chip_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t onu_mac[6] = {0x00, 0x0D, 0xB6, 0x40, 0x00, 0x00};

class OnuTest : public ChipFixture {
protected:
    void SetUp() override
    {
        ChipFixture::SetUp();
        cfgcache_clear();
        cfgcache()->rules[0][0] = 1;   // the rules profile is enabled
        onu_ = make_onu(7, onu_mac, ONU_STATE_DISCOVERED);
        onu_->chip_id[0] = 0x37;
        onu_->chip_id[1] = 0x14;
        onu_->configured_port = PORT_NONE;
        for (int i = 0; i < ONU_LINKS; i++)
            cfgcache()->sla[0][SLA_PROFILE_ENTRY + SLA_ENTRY_SIZE * i + SLA_DOWN_FIRST + 6] = 1;
    }
    // Answers the layout read with `rcode` for the first `misses` requests.
    void queue_answers(int misses, bytes layout)
    {
        auto left = std::make_shared<int>(misses);
        sim_->set_handler(TEK_REQ_QUEUES_READ, [left, layout](int, const oltsim::request_record &) {
            if ((*left)-- > 0)
                return oltsim::answer{TEKLINK_RCODE_NO_ONU_RESPONSE, {}};
            return oltsim::answer{0, layout};
        });
    }
    bytes expected_layout()
    {
        uint8_t out[QUEUES_LAYOUT_MAX];
        return bytes(out, out + onu_expected_queues(onu_mac, ONU_LINKS, false, out));
    }

    // The IDs the chip received, in order, from the `from`th request on.
    std::vector<uint16_t> ids(size_t from = 0)
    {
        std::vector<uint16_t> out;
        auto log = sim_->request_log();
        for (size_t i = from; i < log.size(); i++)
            out.push_back(log[i].id);
        return out;
    }

    onu_record *onu_ = nullptr;
};

TEST_F(OnuTest, QueueCheckResendsWhileTheOnuDoesNotAnswer)
{
    // The chip link itself tries three times on RCODE 11 (a second apart);
    // the check then asks again. One exchange lost to a silent ONU costs one
    // resend line, and the answer that follows is judged.
    queue_answers(TEKLINK_SEND_ATTEMPTS, expected_layout());
    onu_lock(onu_);
    EXPECT_EQ(profiler_onu_queues_check_internal(onu_), 0);
    onu_unlock(onu_);
    EXPECT_EQ(requests(TEK_REQ_QUEUES_READ).size(), size_t(TEKLINK_SEND_ATTEMPTS + 1));
    EXPECT_EQ(count_of(trace(), "profiler_onu_queues_check_internal: no ONU 00:0D:B6:40:00:00 response, resending..."),
              1);
}

TEST_F(OnuTest, QueueLayoutComparison)
{
    bytes right = expected_layout();
    bytes longer = right;
    longer.push_back(0);
    bytes other = right;
    other[10] ^= 1;
    struct {
        const char *name;
        uint16_t chip;
        bytes layout;
        int expected;
    } cases[] = {
        {"identical", 0x3714, right, 0},
        {"one byte more", 0x3714, longer, TEK_RC_REFUSED},
        {"one byte differs", 0x3714, other, TEK_RC_REFUSED},
        {"0x6838: only the link count", 0x6838, other, 0},
        {"0x6838: another link count", 0x6838, bytes{0, 0, 0, 0, 0, 0, 2}, TEK_RC_REFUSED},
    };
    for (auto &c : cases) {
        queue_answers(0, c.layout);
        onu_lock(onu_);
        store_be16(onu_->chip_id, c.chip);
        onu_->cfg_flags &= ~ONU_CFG_QUEUES_OK;
        int rc = c.chip == 0x6838 ? profiler_onu_queues_check_6838_internal(onu_)
                                  : profiler_onu_queues_check_internal(onu_);
        EXPECT_EQ(rc, c.expected) << c.name;
        if (rc == 0) {
            EXPECT_EQ(profiler_check_ont_queues(onu_), 0) << c.name;
        }
        onu_unlock(onu_);
    }
}

TEST_F(OnuTest, BlockedLinkWalkStaysWithinTheAnswer)
{
    // The count claims 1000 MACs; the answer holds two: link 2 and a stranger.
    sim_->set_handler(TEK_REQ_BLOCKED_LINKS, [](int, const oltsim::request_record &) {
        bytes answer(12);
        store_le32(&answer[8], 1000);
        answer.insert(answer.end(), {0x00, 0x0D, 0xB6, 0x40, 0x00, 0x02});
        answer.insert(answer.end(), {0x02, 0x0D, 0xB6, 0x40, 0x00, 0x02});
        return oltsim::answer{0, answer};
    });
    onu_lock(onu_);
    EXPECT_EQ(profiler_onu_unblock_links(onu_), 0);
    onu_unlock(onu_);
    auto unblocks = requests(TEK_REQ_LINK_UNBLOCK);
    ASSERT_EQ(unblocks.size(), 1u);
    EXPECT_EQ(unblocks[0].data, (bytes{0x00, 0x0D, 0xB6, 0x40, 0x00, 0x02}));
    EXPECT_EQ(count_of(trace(), "profiler_onu_unblock_links: Unblocking 00:0D:B6:40:00:02"), 1);
}

TEST_F(OnuTest, ConfigurationRunsLinksPathsThenTheOnuSteps)
{
    onu_lock(onu_);
    onu_->cfg_bytes[ONU_CFG_BYTE_BLOCK_UNI1] = 1;
    onu_->link_count = 1;
    onu_unlock(onu_);
    EXPECT_EQ(profiler_onu_reconfigure(onu_mac), 0);
    EXPECT_EQ(onu_->state, ONU_STATE_OK);
    EXPECT_TRUE(onu_->cfg_flags & ONU_CFG_OK);
    EXPECT_EQ(olt_get(0)->onus_ok, 1);
    // One link, one path with its destination, then the ONU's own settings
    // (multicast profile 0 has IGMP mode 0: IPMC steps run), PHY probes and
    // the end of configuration, and the UNI1 block once more after it.
    std::vector<uint16_t> seen = ids();
    std::vector<uint16_t> head = {TEK_REQ_ONU_CONFIG_START, TEK_REQ_LINK_OAM_RATE, TEK_REQ_PATH_CREATE,
                                  TEK_REQ_QUEUE_SLA,        TEK_REQ_QUEUE_SLA,     TEK_REQ_LINK_SLA,
                                  TEK_REQ_DEST_CREATE,      TEK_REQ_DEST_LEARNING, TEK_REQ_OPT82,
                                  TEK_REQ_PPPOE_TAG,        TEK_REQ_ONU_NETWORK};
    ASSERT_GT(seen.size(), head.size());
    EXPECT_EQ(std::vector<uint16_t>(seen.begin(), seen.begin() + head.size()), head);
    auto position = [&](uint16_t id) { return std::find(seen.begin(), seen.end(), id) - seen.begin(); };
    EXPECT_LT(position(TEK_REQ_ONU_PON_PARAMS), position(TEK_REQ_PORT_DISABLE));
    EXPECT_LT(position(TEK_REQ_PORT_DISABLE), position(TEK_REQ_ONU_RF_OUTPUT));
    EXPECT_LT(position(TEK_REQ_ONU_IGMP_SNOOPING), position(TEK_REQ_ONU_RULES));
    EXPECT_LT(position(TEK_REQ_ONU_RULES), position(TEK_REQ_ONU_CONFIG_END));
    EXPECT_EQ(seen.back(), TEK_REQ_PORT_DISABLE) << "UNI1 blocked again after the end of configuration";
    EXPECT_EQ(std::count(seen.begin(), seen.end(), TEK_REQ_ONU_CONFIG_END), 1);
    // The paths profile puts all four links on path 0; the ONU has one.
    EXPECT_EQ(requests(TEK_REQ_DEST_CREATE)[0].data[4], 1);
    EXPECT_EQ(count_of(trace(), "profiler_onu_reconfigure: ONT 00:0D:B6:40:00:00 configure ok\n"), 1);

    // A second configuration only reports again.
    size_t before = sim_->request_log().size();
    EXPECT_EQ(profiler_onu_reconfigure(onu_mac), 0);
    EXPECT_TRUE(ids(before).empty());
    EXPECT_EQ(olt_get(0)->onus_ok, 1);
    EXPECT_EQ(count_of(trace(), " ===== profiler_onu_reconfigure: ONT 00:0D:B6:40:00:00 is already configured (ONU's "
                                "state 7)"),
              1);
}

TEST_F(OnuTest, ConfigurationFailures)
{
    struct {
        const char *name;
        uint8_t expected_port;   // OLT × 2 + PON port; the ONU is on OLT 0, PON 0
        const char *failing;
        int expected;
    } cases[] = {
        {"wrong PON port", 3, "", TEK_RC_REFUSED},
        {"rules refused", PORT_NONE, "rules", TEK_RC_REFUSED},
    };
    for (auto &c : cases) {
        onu_ = make_onu(7, onu_mac, ONU_STATE_DISCOVERED);
        onu_->chip_id[0] = 0x37;
        onu_->chip_id[1] = 0x14;
        onu_->configured_port = c.expected_port;
        onu_->cfg_flags = 0;
        // The ONU's rules are refused by the chip.
        bool refuse = c.failing[0] != '\0';
        sim_->set_handler(TEK_REQ_ONU_RULES, [refuse](int, const oltsim::request_record &) {
            return oltsim::answer{uint16_t(refuse ? 3 : 0), {}};
        });
        size_t failures = requests(TEK_REQ_EAP_FRAME).size();
        EXPECT_EQ(profiler_onu_reconfigure(onu_mac), c.expected) << c.name;
        EXPECT_EQ(onu_->state, ONU_STATE_CFGFAILED) << c.name;
        auto eap = requests(TEK_REQ_EAP_FRAME);
        ASSERT_EQ(eap.size(), failures + 1) << c.name;
        EXPECT_EQ(eap.back().data, (bytes{0x00, 0x0D, 0xB6, 0x40, 0x00, 0x00, 4, 1, 0, 4})) << "EAP-Failure";
    }
    EXPECT_EQ(requests(TEK_REQ_ONU_CONFIG_START).size(), 4u) << "twice for each failure";
    EXPECT_EQ(count_of(trace(), "profiler_onu_reconfigure: ONT 00:0D:B6:40:00:00 configure failed\n"), 2);
}

TEST_F(OnuTest, UnknownOnuIsNotConnected)
{
    const uint8_t stranger[6] = {0x02, 1, 2, 3, 4, 5};
    EXPECT_EQ(profiler_onu_reconfigure(stranger), 1);
}

} // namespace
