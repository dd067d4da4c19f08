// ONU configuration against the in-process chip simulator: the queue check,
// the blocked-link walk and the configuration sequence with its outcomes.
#include "onu/profiler_link.h"
#include "onu/profiler_onu.h"

#include "engine/profiler_cache.h"
#include "common/chip_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t onu_mac[6] = {0x00, 0x0D, 0xB6, 0x40, 0x00, 0x00};

// The ONU steps the sequence runs, in the order they ran.
std::vector<std::string> ran;
int failing_step_rc;
std::string failing_step;

int record(const std::string &name)
{
    ran.push_back(name);
    return name == failing_step ? failing_step_rc : 0;
}

class OnuTest : public ChipFixture {
protected:
    void SetUp() override
    {
        ChipFixture::SetUp();
        cfgcache_clear();
        saved_steps_ = onu_steps;
        ran.clear();
        failing_step.clear();
        onu_steps.network_parameters = [](onu_record *) { return record("network"); };
        onu_steps.port_refresh = [](onu_record *, int p) { return record("refresh" + std::to_string(p)); };
        onu_steps.rules_merge = [](onu_record *) { return record("merge"); };
        onu_steps.pon_parameters = [](onu_record *) { return record("pon"); };
        onu_steps.uni_parameters = [](onu_record *, int p) { return record("uni" + std::to_string(p)); };
        onu_steps.port_block = [](onu_record *, int p, bool unblock) {
            return record((unblock ? "unblock" : "block") + std::to_string(p));
        };
        onu_steps.igmp_snooping = [](onu_record *) { return record("igmp"); };
        onu_steps.ipmc_domains = [](onu_record *) { return record("domains"); };
        onu_steps.rules = [](onu_record *, int p) { return record("rules" + std::to_string(p)); };
        onu_steps.ipmc_groups = [](onu_record *) { return record("groups"); };
        onu_steps.ipmc_groups_6838 = [](onu_record *) { return record("groups6838"); };
        onu_steps.set_rf_level = [](onu_record *) { record("rf"); };
        onu_steps.phy_setup = [](onu_record *) { record("phy"); };
        onu_steps.read_transceiver = [](onu_record *) { record("transceiver"); };
        onu_ = make_onu(7, onu_mac, ONU_STATE_DISCOVERED);
        onu_->chip_id[0] = 0x37;
        onu_->chip_id[1] = 0x14;
        onu_->configured_port = PORT_NONE;
        for (int i = 0; i < ONU_LINKS; i++)
            cfgcache()->sla[0][SLA_PROFILE_ENTRY + SLA_ENTRY_SIZE * i + SLA_DOWN_FIRST + 6] = 1;
    }
    void TearDown() override
    {
        onu_steps = saved_steps_;
        ChipFixture::TearDown();
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

    onu_record *onu_ = nullptr;
    onu_steps_table saved_steps_{};
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
    onu_->cfg_block[ONU_BLOCK_UNI0] = 1;
    onu_unlock(onu_);
    EXPECT_EQ(profiler_onu_reconfigure(onu_mac), 0);
    EXPECT_EQ(onu_->state, ONU_STATE_OK);
    EXPECT_TRUE(onu_->cfg_flags & ONU_CFG_OK);
    EXPECT_EQ(olt_get(0)->onus_ok, 1);
    std::vector<std::string> expected = {"network", "refresh0", "refresh1", "refresh2", "merge", "pon", "uni1",
                                         "uni2",    "block2",   "unblock3", "rf",       "igmp",  "domains",
                                         "rules0",  "rules1",   "rules2",   "groups",   "phy",   "transceiver",
                                         "block2"};
    EXPECT_EQ(ran, expected);
    auto ids = sim_->request_log();
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.front().id, TEK_REQ_ONU_CONFIG_START);
    EXPECT_EQ(requests(TEK_REQ_ONU_CONFIG_END).size(), 1u);
    EXPECT_EQ(requests(TEK_REQ_DEST_CREATE).size(), 1u);
    EXPECT_EQ(count_of(trace(), "profiler_onu_reconfigure: ONT 00:0D:B6:40:00:00 configure ok\n"), 1);

    // A second configuration only reports again.
    ran.clear();
    EXPECT_EQ(profiler_onu_reconfigure(onu_mac), 0);
    EXPECT_TRUE(ran.empty());
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
        {"a failing step", PORT_NONE, "rules1", TEK_RC_REFUSED},
    };
    for (auto &c : cases) {
        onu_ = make_onu(7, onu_mac, ONU_STATE_DISCOVERED);
        onu_->chip_id[0] = 0x37;
        onu_->chip_id[1] = 0x14;
        onu_->configured_port = c.expected_port;
        onu_->cfg_flags = 0;
        failing_step = c.failing;
        failing_step_rc = TEK_RC_REFUSED;
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
