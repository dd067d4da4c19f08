// Destinations, learning, static clients and the learned-address look-ups
// against the in-process chip simulator.
#include "onu/profiler_onu.h"
#include "onu/profiler_path.h"

#include "engine/profiler_cache.h"
#include "common/chip_fixture.h"

#include <gtest/gtest.h>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t onu_mac[6] = {0x00, 0x0D, 0xB6, 0x30, 0x00, 0x00};

class PathTest : public ChipFixture {
protected:
    void SetUp() override
    {
        ChipFixture::SetUp();
        cfgcache_clear();
        profile_.assign(PROFILE_PATHS_SIZE, 0);
        onu_ = make_onu(3, onu_mac, ONU_STATE_CFGINPROGRESS);
        onu_lock(onu_);
        for (int k = 0; k < ONU_LINKS; k++)
            onu_->links[k].path_id = uint16_t(8320 + 2 * k);
    }
    void TearDown() override
    {
        onu_unlock(onu_);
        ChipFixture::TearDown();
    }
    void link_on_path(int link, uint8_t path) { profile_[PATHS_LINK_PATH + PATHS_LINK_STRIDE * link] = path; }
    uint8_t *slot(int path, int s) { return &profile_[PATHS_RULES + PATHS_RULES_STRIDE * path + RULE_SLOT_SIZE * s]; }

    bytes profile_;
    onu_record *onu_ = nullptr;
};

// One link part of a create-destination request: MAC, the fixed bytes, the
// path, the encoded rules and the tail.
bytes link_part(int link, const bytes &rules, uint8_t rule_count)
{
    bytes part = {0x00, 0x0D, 0xB6, 0x30, 0x00, uint8_t(link), 0, 0, 0, 0, 0, 0, 0, 0, 0x30, 0x01};
    uint16_t path = uint16_t(8320 + 2 * link);
    part.push_back(uint8_t(path >> 8));
    part.push_back(uint8_t(path));
    part.push_back(0x10);
    part.push_back(rule_count);
    part.insert(part.end(), rules.begin(), rules.end());
    part.push_back(0x10);
    part.push_back(0x01);
    part.insert(part.end(), destination_tail, destination_tail + 25);
    return part;
}

TEST_F(PathTest, AllLinksOnPathZeroMakeOneDestinationWithFourParts)
{
    // Rule slot 2 names link 3 (position 3); slot 0 has no link condition.
    slot(0, 0)[0] = 1;
    slot(0, 0)[1] = 0x11;
    uint8_t *named = slot(0, 2);
    named[0] = 1;
    named[1] = 0x22;
    named[2] = 1;
    named[RULE_SLOT_CONDITIONS] = RULE_FIELD_LINK;
    uint16_t link3 = 3;
    memcpy(named + RULE_SLOT_CONDITIONS + 3, &link3, 2);

    // What the two rules encode to (the link condition names position 3,
    // which is link 3 itself here).
    auto encoded = [](const uint8_t *slot) {
        uint8_t out[RULE_ENCODED_MAX];
        return bytes(out, out + rule_encode(slot, out));
    };
    bytes plain = encoded(slot(0, 0)), named_rule = encoded(named);
    EXPECT_EQ(profiler_onu_path_internal(onu_, 0, profile_.data(), true, 16, onu_->cfg_block), 0);
    EXPECT_EQ(profiler_onu_path_internal(onu_, 1, profile_.data(), true, 0, onu_->cfg_block), 0);
    EXPECT_EQ(onu_->uni_path[0], 1024);
    EXPECT_EQ(onu_->uni_path[1], 0);
    auto creates = requests(TEK_REQ_DEST_CREATE);
    ASSERT_EQ(creates.size(), 1u);
    bytes expected = {0x04, 0x00, 4, 1, 4};
    for (int k = 0; k < 4; k++) {
        bytes part = k == 0   ? link_part(0, plain, 1)
                     : k == 3 ? link_part(3, named_rule, 1)
                              : link_part(k, {}, 0);
        expected.insert(expected.end(), part.begin(), part.end());
    }
    EXPECT_EQ(creates[0].len, 5 + 4 * 47 + plain.size() + named_rule.size());
    EXPECT_EQ(creates[0].data, expected);
    for (int k = 0; k < 4; k++)
        EXPECT_EQ(onu_->links[k].dest_index, 1024);
    auto learning = requests(TEK_REQ_DEST_LEARNING);
    ASSERT_EQ(learning.size(), 1u);
    EXPECT_EQ(learning[0].data, (bytes{0x04, 0x00, 0, 0, 0x00, 0x10, 0, 4}));
    EXPECT_EQ(requests(TEK_REQ_OPT82).size(), 1u);
    EXPECT_EQ(requests(TEK_REQ_PPPOE_TAG).size(), 1u);
    EXPECT_EQ(requests(TEK_REQ_DEST_STATIC_CLIENTS).size(), 0u) << "no client in the list";
}

TEST_F(PathTest, TwoPathsSplitTheLinks)
{
    link_on_path(2, 1);
    link_on_path(3, 1);
    onu_->cfg_flags &= ~ONU_CFG_PATHS_DONE;
    // The paths profile comes from the cache.
    memcpy(cfgcache()->paths[0], profile_.data(), PROFILE_PATHS_SIZE);
    EXPECT_EQ(profiler_paths_reconfigure_internal(onu_), 0);
    EXPECT_EQ(onu_->uni_path[0], 1024);
    EXPECT_EQ(onu_->uni_path[1], 1026);
    EXPECT_TRUE(onu_->cfg_flags & ONU_CFG_PATHS_DONE);
    auto creates = requests(TEK_REQ_DEST_CREATE);
    ASSERT_EQ(creates.size(), 2u);
    EXPECT_EQ(creates[1].data[4], 2) << "two links on path 1";
    EXPECT_EQ(profiler_paths_reconfigure_internal(onu_), TEK_RC_REFUSED) << "paths are configured once";
}

TEST_F(PathTest, ThreeFailedCreationsAreAFirmwareFault)
{
    sim_->set_handler(TEK_REQ_DEST_CREATE, [](int, const oltsim::request_record &) { return oltsim::answer{3, {}}; });
    EXPECT_EQ(profiler_onu_path_internal(onu_, 0, profile_.data(), true, 0, onu_->cfg_block), TEK_RC_REFUSED);
    EXPECT_EQ(requests(TEK_REQ_DEST_CREATE).size(), 3u);
    EXPECT_EQ(requests(TEK_REQ_DEST_DELETE).size(), 2u) << "before the second and third attempt";
    EXPECT_EQ(onu_->uni_path[0], 0);
    EXPECT_NE(trace().find("create ONT 00:0D:B6:30:00:00 (desc: ) path 0 failed\n"), std::string::npos);
}

TEST_F(PathTest, RuleNamingALinkOfAnotherPathFailsThePreparation)
{
    link_on_path(1, 1);
    uint8_t *named = slot(0, 0);
    named[0] = 1;
    named[2] = 1;
    named[RULE_SLOT_CONDITIONS] = RULE_FIELD_LINK;
    uint16_t link1 = 1;
    memcpy(named + RULE_SLOT_CONDITIONS + 3, &link1, 2);
    uint16_t dest = 0;
    EXPECT_EQ(profiler_onu_destination_create_internal(onu_, 0, profile_.data(), &dest), TEK_RC_REFUSED);
    EXPECT_EQ(requests(TEK_REQ_DEST_CREATE).size(), 0u);
    EXPECT_NE(trace().find("ONU 00:0D:B6:30:00:00 prepare rules for path[0] failed(1)\n"), std::string::npos);
}

TEST_F(PathTest, LearnedMacCopiesStayWithinTheAnswerAndTheBuffer)
{
    // The chip claims 1000 MACs but sends three.
    sim_->set_handler(TEK_REQ_DEST_LEARNED_MACS, [](int, const oltsim::request_record &) {
        bytes answer = {0x04, 0x00, 0x03, 0xE8};
        for (uint8_t i = 1; i <= 3; i++)
            answer.insert(answer.end(), {0x02, 0, 0, 0, 0, i});
        return oltsim::answer{0, answer};
    });
    uint8_t buffer[6 * 2 + 6] = {};
    buffer[12] = 0xAA;   // past the room given
    int count = 0;
    EXPECT_EQ(profiler_dest_learned_macs(0, 1024, buffer, 2, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(buffer[11], 2);
    EXPECT_EQ(buffer[12], 0xAA);
    uint8_t wide[6 * 16];
    EXPECT_EQ(profiler_dest_learned_macs(0, 1024, wide, 16, &count), 0);
    EXPECT_EQ(count, 3) << "no more than the answer holds";

    // The look-ups see ONUs in state OK with a service path.
    onu_->state = ONU_STATE_OK;
    onu_->uni_path[1] = 1024;
    onu_unlock(onu_);
    const uint8_t learned[6] = {0x02, 0, 0, 0, 0, 3};
    uint8_t found[6];
    int path = 0;
    EXPECT_EQ(profiler_find_by_learned_mac(0, 2, learned, found, &path), 0);
    EXPECT_EQ(memcmp(found, onu_mac, 6), 0);
    EXPECT_EQ(path, 2);
    const uint8_t stranger[6] = {0x02, 9, 9, 9, 9, 9};
    EXPECT_EQ(profiler_find_by_learned_mac(0, 2, stranger, found, &path), 8);

    // A record goes in whole or not at all: room for two of its three MACs
    // lists nothing rather than a list cut short.
    uint8_t list[18 + 6 * 3];
    size_t length = 1;
    EXPECT_EQ(profiler_learned_mac_list(0, 0, nullptr, list, sizeof list - 6, &length), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(profiler_learned_mac_list(0, 0, nullptr, list, sizeof list, &length), 1);
    EXPECT_EQ(length, sizeof list);
    EXPECT_EQ(list[16], 2);   // path number
    EXPECT_EQ(list[17], 3);   // MACs listed
    EXPECT_EQ(list[sizeof list - 1], 3);
    onu_lock(onu_);
}

} // namespace
