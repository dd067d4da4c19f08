// Link discovery, link configuration and teardown against the in-process
// chip simulator.
#include "onu/profiler_link.h"
#include "onu/profiler_onu.h"

#include "engine/profiler_cache.h"
#include "common/chip_fixture.h"

#include <gtest/gtest.h>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t onu_mac[6] = {0x00, 0x0D, 0xB6, 0x20, 0x00, 0x00};

class LinkTest : public ChipFixture {
protected:
    void SetUp() override
    {
        ChipFixture::SetUp();
        cfgcache_clear();
    }
    // A registration of link `link` of the test ONU, run through discovery.
    onu_record *discover(int link, uint16_t llid = 0x0C00, uint16_t chip = 0x3714)
    {
        uint8_t mac[6];
        mac_add(mac, onu_mac, uint32_t(link));
        uint8_t *record = discovery_record(mac, onu_mac, chip);
        store_be16(record + LINK_RECORD_LLID, llid);
        onu_record *onu = profiler_link_discovery(0, record);
        BFREE(record);
        return onu;
    }
    size_t count(uint16_t id) { return requests(id).size(); }

};

TEST_F(LinkTest, SecondLinkOfAnUnknownOnuCreatesItWithoutAuthorization)
{
    onu_record *onu = discover(1);
    ASSERT_NE(onu, nullptr);
    EXPECT_EQ(onu->state, ONU_STATE_ALLOCATED);
    EXPECT_EQ(onu->links[1].state, ONU_STATE_DISCOVERED);
    EXPECT_EQ(onu->links[1].llid, 0x0C00);
    for (int i : {0, 2, 3})
        EXPECT_EQ(onu->links[i].state, ONU_STATE_ALLOCATED);
    EXPECT_EQ(onu->discovered_links, 1);
    EXPECT_TRUE(onu->cfg_flags & ONU_CFG_PENDING);
    onu_unlock(onu);
    EXPECT_EQ(count(TEK_REQ_EAP_FRAME), 0u);
    EXPECT_EQ(count_of(trace(), "ONT 00:0D:B6:20:00:00 is allocated by link 00:0D:B6:20:00:01"), 1);
}

TEST_F(LinkTest, DoubleDiscoveryAndAlreadyConfiguredChangeNothing)
{
    onu_unlock(discover(2));
    onu_record *onu = discover(2, 0x0C05);
    EXPECT_EQ(onu->links[2].llid, 0x0C00);
    EXPECT_EQ(onu->discovered_links, 1);
    onu->links[3].llid = 0;
    onu->cfg_flags |= 1u << 3;
    onu_unlock(onu);
    onu = discover(3);
    EXPECT_EQ(onu->links[3].state, ONU_STATE_ALLOCATED);
    onu_unlock(onu);
    std::string text = trace();
    EXPECT_EQ(count_of(text, "ONT 00:0D:B6:20:00:00 double discovered link 00:0D:B6:20:00:02"), 1);
    EXPECT_EQ(count_of(text, "profiler_link_discovery: 00:0D:B6:20:00:03 link 3 is already configured"), 1);
}

TEST_F(LinkTest, ReconfigurationInitMakesDiscoveryIgnoreTheLinks)
{
    onu_record *onu = discover(1);
    profiler_onu_reconfiguration_init(onu);
    for (auto &link : onu->links) {
        EXPECT_EQ(link.state, ONU_STATE_REPORTTIMEOUT);
        EXPECT_EQ(link.llid, 65535);
    }
    onu_unlock(onu);
    onu = discover(1, 0x0C09);
    EXPECT_EQ(onu->links[1].llid, 65535);
    onu_unlock(onu);
    EXPECT_EQ(count_of(trace(), "discovered link 00:0D:B6:20:00:01"), 1);
}

TEST_F(LinkTest, NoFreeOnuRecordStopsTheRegistration)
{
    for (int i = 0; i < ONU_COUNT; i++) {
        uint8_t mac[6] = {0x02, 0, 0, 0, uint8_t(i >> 8), uint8_t(i)};
        make_onu(i, mac, ONU_STATE_OK);
    }
    EXPECT_EQ(discover(1), nullptr);
    EXPECT_EQ(count_of(trace(), "ONT 00:0D:B6:20:00:00 (link 00:0D:B6:20:00:01): no free ONU record"), 1);
    // The chip lets go of the link it acknowledged, so the ONU registers
    // again; once a record is free, that registration is served.
    const bytes link{0x00, 0x0D, 0xB6, 0x20, 0x00, 0x01};
    ASSERT_EQ(count(TEK_REQ_LINK_RELEASE), 1u);
    EXPECT_EQ(requests(TEK_REQ_LINK_RELEASE)[0].data, link);
    EXPECT_EQ(requests(TEK_REQ_LINK_CLEAR)[0].data, link);
    onu_release_locked(onu_at(1234));
    onu_record *onu = discover(1);
    ASSERT_EQ(onu, onu_at(1234));
    EXPECT_EQ(onu->links[1].state, ONU_STATE_DISCOVERED);
    onu_unlock(onu);
}

// An ONU configured far enough for its links: SLA profile `sla` and the
// egress swap flag set.
onu_record *configurable(uint8_t sla = 0)
{
    onu_record *onu = onu_at(5);
    onu_lock(onu);
    memcpy(onu->mac, onu_mac, 6);
    onu->link_count = ONU_LINKS;
    onu_links_init(onu);
    onu->state = ONU_STATE_DISCOVERED;
    onu->profiles[ONU_PROFILE_SLA] = sla;
    onu->cfg_flags |= ONU_CFG_EGRESS_SWAP;
    onu_unlock(onu);
    return onu;
}

// Sets the four shaping classes of SLA entry `link` of profile 0.
void classes(int link, uint8_t down1, uint8_t down2, uint8_t up1, uint8_t up2)
{
    uint8_t *entry = cfgcache()->sla[0] + SLA_PROFILE_ENTRY + SLA_ENTRY_SIZE * link;
    entry[SLA_DOWN_FIRST + 6] = down1;
    entry[SLA_DOWN_SECOND + 6] = down2;
    entry[SLA_UP_FIRST + 6] = up1;
    entry[SLA_UP_SECOND + 6] = up2;
}

TEST_F(LinkTest, LinkConfigurationSendsOamPathAndSlasThenMarksTheLink)
{
    onu_record *onu = configurable();
    classes(0, 1, 1, 1, 1);
    onu_lock(onu);
    EXPECT_EQ(profiler_link_reconfigure_internal(onu, 0), 0);
    EXPECT_EQ(onu->links[0].state, ONU_STATE_OK);
    EXPECT_EQ(onu->links[0].path_id, 8320);
    EXPECT_EQ(onu->cfg_flags & ONU_CFG_LINKS_MASK, 1u);
    // Once attempted, never again for this record.
    EXPECT_EQ(profiler_link_reconfigure_internal(onu, 0), TEK_RC_REFUSED);
    EXPECT_EQ(profiler_link_reconfigure_internal(onu, 4), 2);
    onu_unlock(onu);

    std::vector<uint16_t> ids;
    for (auto &r : sim_->request_log())
        ids.push_back(r.id);
    EXPECT_EQ(ids, (std::vector<uint16_t>{TEK_REQ_LINK_OAM_RATE, TEK_REQ_PATH_CREATE, TEK_REQ_QUEUE_SLA,
                                          TEK_REQ_QUEUE_SLA, TEK_REQ_LINK_SLA}));
    auto sla = requests(TEK_REQ_QUEUE_SLA);
    EXPECT_EQ(load_be16(&sla[0].data[0]), 8320);   // DSQ
    EXPECT_EQ(load_be16(&sla[1].data[0]), 8321);   // USQ
    EXPECT_EQ(requests(TEK_REQ_PATH_CREATE)[0].data[9], 2) << "PON 0 with the swap flag leaves by port 2";
    EXPECT_NE(trace().find(" ===== profiler_link_reconfigure_internal: link 00:0D:B6:20:00:00 already configured"),
              std::string::npos);
}

TEST_F(LinkTest, UnusedSlaRecordsAreNotSent)
{
    struct {
        const char *name;
        uint8_t down1, down2, up1, up2;
        size_t queue_requests, link_requests;
    } cases[] = {
        {"downstream unused: USQ still sent", 255, 255, 1, 1, 1, 1},
        {"upstream unused: neither USQ nor link SLA", 1, 1, 255, 255, 1, 0},
    };
    for (int i = 0; i < 2; i++) {
        classes(i, cases[i].down1, cases[i].down2, cases[i].up1, cases[i].up2);
        onu_record *onu = configurable();
        onu_lock(onu);
        size_t queues = count(TEK_REQ_QUEUE_SLA), links = count(TEK_REQ_LINK_SLA);
        EXPECT_EQ(profiler_link_reconfigure_internal(onu, i), 0) << cases[i].name;
        EXPECT_EQ(count(TEK_REQ_QUEUE_SLA) - queues, cases[i].queue_requests) << cases[i].name;
        EXPECT_EQ(count(TEK_REQ_LINK_SLA) - links, cases[i].link_requests) << cases[i].name;
        onu_unlock(onu);
    }
}

TEST_F(LinkTest, SlaProfileIndexBeyondTheTableIsRefused)
{
    onu_record *onu = configurable(64);
    onu_lock(onu);
    EXPECT_EQ(profiler_link_reconfigure_internal(onu, 0), TEK_RC_REFUSED);
    EXPECT_EQ(onu->links[0].state, ONU_STATE_CFGINPROGRESS);
    EXPECT_EQ(onu->cfg_flags & 1u, 1u);
    onu_unlock(onu);
    EXPECT_EQ(count(TEK_REQ_QUEUE_SLA), 0u);
    EXPECT_NE(trace().find("SLA profile 64 does not exist"), std::string::npos);
}

TEST_F(LinkTest, FailingSlaLeavesTheLinkInProgress)
{
    sim_->set_handler(TEK_REQ_QUEUE_SLA, [](int, const oltsim::request_record &) { return oltsim::answer{3, {}}; });
    classes(0, 1, 1, 1, 1);
    onu_record *onu = configurable();
    onu_lock(onu);
    EXPECT_EQ(profiler_links_reconfigure_internal(onu), TEK_RC_REFUSED);
    EXPECT_EQ(onu->links[0].state, ONU_STATE_CFGINPROGRESS);
    EXPECT_EQ(onu->links[1].state, ONU_STATE_ALLOCATED) << "the first failure ends the walk";
    onu_unlock(onu);
    EXPECT_EQ(count(TEK_REQ_LINK_SLA), 0u);
    EXPECT_NE(trace().find("profiler_onu_link_set_sla_internal: link 00:0D:B6:20:00:00 set DSQ SLA "
                           "failed(response->header.rcode 3)"),
              std::string::npos);
}

TEST_F(LinkTest, CreatePathRefusedWithFourIsFixedWhenThePathExists)
{
    struct {
        uint16_t chip;
        uint16_t query_value;
        int expected;
    } cases[] = {{0x3714, 0, 0}, {0x6838, 0, TEK_RC_REFUSED}, {0x3714, 1, TEK_RC_REFUSED}};
    sim_->set_handler(TEK_REQ_PATH_CREATE, [](int, const oltsim::request_record &) { return oltsim::answer{4, {}}; });
    for (auto c : cases) {
        sim_->set_handler(TEK_REQ_PATH_QUERY, [c](int, const oltsim::request_record &) {
            bytes answer(16);
            store_be16(&answer[14], c.query_value);
            return oltsim::answer{0, answer};
        });
        uint16_t path = 0;
        EXPECT_EQ(profiler_onu_link_create_path_internal(0, c.chip, onu_mac, 0, &path, false), c.expected)
            << std::hex << c.chip << " value " << c.query_value;
        EXPECT_GE(path, 8320) << "the identifier stays with the caller";
    }
    EXPECT_EQ(count_of(trace(), "===== [376] profiler_onu_link_create_path_internal: link 00:0D:B6:20:00:00 create "
                                "new path(8320) failed(4) - fixed"),
              1);
    EXPECT_EQ(count(TEK_REQ_PATH_QUERY), 2u) << "a 0x6838 ONU's path is never queried";
}

TEST_F(LinkTest, NoFreePathSlotSendsNothing)
{
    for (int i = 0; i < OLT_PATH_SLOTS; i++)
        ASSERT_GE(olt_path_id_alloc(0), 0);
    uint16_t path = 0;
    EXPECT_EQ(profiler_onu_link_create_path_internal(0, 0x3714, onu_mac, 0, &path, false), TEK_RC_NO_MEMORY);
    EXPECT_EQ(count(TEK_REQ_PATH_CREATE), 0u);
    EXPECT_NE(trace().find(" ===== profiler_onu_link_create_path_internal: ERRNORESOURCES! \n"), std::string::npos);
}

TEST_F(LinkTest, CleanupWithoutPathSendsOnlyTheDestinationRequests)
{
    onu_record *onu = configurable();
    onu_lock(onu);
    onu->links[1].dest_index = 1024;
    EXPECT_EQ(profiler_onu_link_cleanup_internal(0, onu, 1), 0);
    onu_unlock(onu);
    std::vector<uint16_t> ids;
    for (auto &r : sim_->request_log())
        ids.push_back(r.id);
    EXPECT_EQ(ids, (std::vector<uint16_t>{TEK_REQ_DEST_QUERY, TEK_REQ_DEST_LEARNING_DELETE, TEK_REQ_DEST_DELETE}));
}

TEST_F(LinkTest, TeardownReturnsThePathSlotOnlyWhenCleanupSucceeded)
{
    classes(0, 1, 1, 1, 1);
    classes(1, 1, 1, 1, 1);
    onu_record *onu = configurable();
    onu_lock(onu);
    ASSERT_EQ(profiler_link_reconfigure_internal(onu, 0), 0);
    ASSERT_EQ(profiler_link_reconfigure_internal(onu, 1), 0);
    // Link 1's path cannot be deleted: its slot stays taken.
    sim_->set_handler(TEK_REQ_PATH_DELETE, [](int, const oltsim::request_record &r) {
        return oltsim::answer{uint16_t(load_be16(&r.data[0]) == 8322 ? 3 : 0), {}};
    });
    EXPECT_EQ(profiler_onu_links_cleanup(onu), TEK_RC_REFUSED);
    onu_unlock(onu);
    EXPECT_EQ(olt_path_id_alloc(0), 8320);
    EXPECT_EQ(olt_path_id_alloc(0), 8324);
    EXPECT_EQ(count(TEK_REQ_LINK_RELEASE), 4u);
    EXPECT_EQ(count(TEK_REQ_LINK_CLEAR), 4u);
    std::string text = trace();
    EXPECT_NE(text.find("profiler_onu_link_cleanup_internal: 00:0D:B6:20:00:00 delete olt path 8320 ok"),
              std::string::npos);
    EXPECT_NE(text.find("profiler_onu_link_cleanup_internal: 00:0D:B6:20:00:01 delete path 8322 failed (error 3)"),
              std::string::npos);
    EXPECT_NE(text.find("profiler_onu_link_cleanup_internal: 00:0D:B6:20:00:01 delete DSQ SLA OK"), std::string::npos);
    EXPECT_NE(text.find("profiler_onu_link_clear_internal: 00:0D:B6:20:00:03 clear link OK"), std::string::npos);
}

} // namespace
