// The ONU layer against the in-process chip simulator, where the simulated
// board cannot steer it: discovery with no free record, links and paths at
// their limits and failures, answers that claim more than they carry, the
// steps' inputs from the record, and refusals partway through a download.
#include "common/onu_fixture.h"

#include "engine/profiler_cache.h"
#include "onu/onu_multicast.h"
#include "onu/onu_ports.h"
#include "onu/onu_rules.h"
#include "onu/onu_settings.h"
#include "onu/profiler_link.h"
#include "onu/profiler_onu.h"
#include "onu/profiler_path.h"
#include "onu/subscriber_ids.h"

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t LINK_ONU[6] = {0x00, 0x0D, 0xB6, 0x20, 0x00, 0x00};

class OnuLayer : public OnuChip {
protected:
    void SetUp() override
    {
        OnuChip::SetUp();
        cfgcache_clear();
    }
    size_t count(uint16_t id) { return requests(id).size(); }
    std::vector<uint16_t> ids(size_t from = 0)
    {
        std::vector<uint16_t> out;
        auto log = sim_->request_log();
        for (size_t i = from; i < log.size(); i++)
            out.push_back(log[i].id);
        return out;
    }
    void answer(uint16_t id, uint16_t rcode, bytes data = {})
    {
        sim_->set_handler(id, [rcode, data](int, const oltsim::request_record &) { return oltsim::answer{rcode, data}; });
    }
    // The simulator's answers to `id`, cut to `size` bytes.
    void cut(uint16_t id, size_t size)
    {
        sim_->set_handler(id, [size, passed_on = sim_->handler_of(id)](int olt, const oltsim::request_record &r) {
            auto a = passed_on(olt, r);
            a.data.resize(size);
            return a;
        });
    }
    // A registration of link `link` of LINK_ONU, run through discovery; the
    // record comes back locked.
    onu_record *discover(int link, uint16_t llid = 0x0C00)
    {
        uint8_t mac[6];
        mac_add(mac, LINK_ONU, uint32_t(link));
        uint8_t *record = discovery_record(mac, LINK_ONU);
        store_be16(record + LINK_RECORD_LLID, llid);
        onu_record *onu = profiler_link_discovery(0, record);
        BFREE(record);
        return onu;
    }
    // The four shaping classes of SLA entry `link` of profile 0.
    static void classes(int link, uint8_t down, uint8_t up)
    {
        uint8_t *entry = cfgcache()->sla[0] + SLA_PROFILE_ENTRY + SLA_ENTRY_SIZE * link;
        entry[SLA_DOWN_FIRST + 6] = entry[SLA_DOWN_SECOND + 6] = down;
        entry[SLA_UP_FIRST + 6] = entry[SLA_UP_SECOND + 6] = up;
    }
};

// A repeat, a configured link and a link under reconfiguration change
// nothing; with every record taken the chip lets go of the link it
// acknowledged, so the ONU registers again and is served once one is free.
TEST_F(OnuLayer, DiscoveryTakesEachLinkOnceAndReleasesItWithNoFreeRecord)
{
    onu_record *onu = discover(2);
    ASSERT_NE(onu, nullptr);
    onu_unlock(onu);
    onu = discover(2, 0x0C05);
    EXPECT_EQ(onu->links[2].llid, 0x0C00);
    onu->links[3].llid = 0;
    onu->cfg_flags |= 1u << 3;
    onu_unlock(onu);
    onu = discover(3);
    EXPECT_EQ(onu->links[3].state, ONU_STATE_ALLOCATED);
    profiler_onu_reconfiguration_init(onu);
    onu_unlock(onu);
    onu = discover(1, 0x0C09);
    EXPECT_EQ(onu->links[1].llid, 65535);
    onu_unlock(onu);
    onu_release_locked(onu);

    for (int i = 1; i < ONU_COUNT; i++) {
        uint8_t mac[6] = {0x02, 0, 0, 0, uint8_t(i >> 8), uint8_t(i)};
        make_onu(i, mac, ONU_STATE_OK);
    }
    EXPECT_EQ(discover(1), nullptr);
    EXPECT_EQ(sent(TEK_REQ_LINK_RELEASE), sent(TEK_REQ_LINK_CLEAR));
    EXPECT_EQ(sent(TEK_REQ_LINK_RELEASE), (std::vector<std::string>{"00 0D B6 20 00 01 "}));
    onu_release_locked(onu_at(1234));
    onu = discover(1);
    ASSERT_EQ(onu, onu_at(1234));
    onu_unlock(onu);
}

// A link is configured once per record; an SLA profile past the table, or an
// unused upstream record, sends nothing for it. A teardown returns a path's
// slot only when the path could be deleted.
TEST_F(OnuLayer, LinksAreConfiguredOnceWithTheSlasTheirProfileUses)
{
    classes(0, 1, 1);
    classes(1, 255, 1);   // downstream unused: USQ still sent
    classes(2, 1, 255);   // upstream unused: neither USQ nor link SLA
    onu_record *onu = make_onu(5, LINK_ONU, ONU_STATE_DISCOVERED);
    onu_lock(onu);
    onu->cfg_flags |= ONU_CFG_EGRESS_SWAP;
    EXPECT_EQ(profiler_link_reconfigure_internal(onu, 0), 0);
    EXPECT_EQ(onu->links[0].path_id, 8320);
    EXPECT_EQ(profiler_link_reconfigure_internal(onu, 0), TEK_RC_REFUSED);
    EXPECT_EQ(profiler_link_reconfigure_internal(onu, 4), 2);
    EXPECT_EQ(ids(), (std::vector<uint16_t>{TEK_REQ_LINK_OAM_RATE, TEK_REQ_PATH_CREATE, TEK_REQ_QUEUE_SLA,
                                            TEK_REQ_QUEUE_SLA, TEK_REQ_LINK_SLA}));
    EXPECT_EQ(load_be16(&requests(TEK_REQ_QUEUE_SLA)[1].data[0]), 8321);   // USQ
    EXPECT_EQ(requests(TEK_REQ_PATH_CREATE)[0].data[9], 2) << "PON 0 with the swap flag leaves by port 2";
    EXPECT_EQ(profiler_link_reconfigure_internal(onu, 1), 0);
    EXPECT_EQ(profiler_link_reconfigure_internal(onu, 2), 0);
    EXPECT_EQ(count(TEK_REQ_QUEUE_SLA), 4u) << "one queue each for links 1 and 2";
    EXPECT_EQ(count(TEK_REQ_LINK_SLA), 2u) << "link 1's alone";
    onu->profiles[ONU_PROFILE_SLA] = 64;
    EXPECT_EQ(profiler_link_reconfigure_internal(onu, 3), TEK_RC_REFUSED);
    EXPECT_EQ(count(TEK_REQ_QUEUE_SLA), 4u);

    onu->links[3].dest_index = 1024;   // a destination and no path
    onu->links[3].path_id = 0;
    sim_->set_handler(TEK_REQ_PATH_DELETE, [](int, const oltsim::request_record &r) {
        return oltsim::answer{uint16_t(load_be16(&r.data[0]) == 8322 ? 3 : 0), {}};
    });
    size_t before = sim_->request_log().size();
    EXPECT_EQ(profiler_onu_link_cleanup_internal(0, onu, 3), 0);
    EXPECT_EQ(ids(before), (std::vector<uint16_t>{TEK_REQ_DEST_QUERY, TEK_REQ_DEST_LEARNING_DELETE, TEK_REQ_DEST_DELETE}));
    EXPECT_EQ(profiler_onu_links_cleanup(onu), TEK_RC_REFUSED);
    onu_unlock(onu);
    EXPECT_EQ(olt_path_id_alloc(0), 8320);
    EXPECT_EQ(olt_path_id_alloc(0), 8324) << "link 1's path could not be deleted: its slot stays taken";
    EXPECT_EQ(count(TEK_REQ_LINK_RELEASE), 4u);
}

// RCODE 4 on a create is mended when the chip already holds the path (never
// asked of a 0x6838 ONU); no free slot sends nothing.
TEST_F(OnuLayer, CreatePathRefusedWithFourIsFixedWhenThePathExists)
{
    struct { uint16_t chip, query_value; int expected; } rows[] = {
        {0x3714, 0, 0}, {0x6838, 0, TEK_RC_REFUSED}, {0x3714, 1, TEK_RC_REFUSED}};
    answer(TEK_REQ_PATH_CREATE, 4);
    uint16_t path = 0;
    for (auto r : rows) {
        bytes query(16);
        store_be16(&query[14], r.query_value);
        answer(TEK_REQ_PATH_QUERY, 0, query);
        EXPECT_EQ(profiler_onu_link_create_path_internal(0, r.chip, LINK_ONU, 0, &path, false), r.expected);
        EXPECT_GE(path, 8320) << "the identifier stays with the caller";
    }
    EXPECT_EQ(count(TEK_REQ_PATH_QUERY), 2u);
    while (olt_path_id_alloc(0) >= 0)
        continue;
    EXPECT_EQ(profiler_onu_link_create_path_internal(0, 0x3714, LINK_ONU, 0, &path, false), TEK_RC_NO_MEMORY);
    EXPECT_EQ(count(TEK_REQ_PATH_CREATE), 3u) << "one per row, none without a slot";
}

// One destination holds the links of its path in order, each with its rules
// (a link condition names the link's position); a path holds only the ONU's
// own links, and a rule naming a link of another path fails the path.
TEST_F(OnuLayer, DestinationsCarryTheLinksOfTheirPath)
{
    bytes profile(PROFILE_PATHS_SIZE);
    auto slot = [&](int path, int s) { return &profile[PATHS_RULES + PATHS_RULES_STRIDE * path + RULE_SLOT_SIZE * s]; };
    slot(0, 0)[0] = 1;
    slot(0, 0)[1] = 0x11;
    uint8_t *named = slot(0, 2);
    auto name_link = [named](uint8_t link) {   // a used rule with one condition: the link
        named[0] = named[2] = 1;
        named[RULE_SLOT_CONDITIONS] = RULE_FIELD_LINK;
        named[RULE_SLOT_CONDITIONS + 3] = link;
    };
    name_link(3);
    named[1] = 0x22;
    onu_record *onu = make_onu(3, LINK_ONU, ONU_STATE_CFGINPROGRESS);
    onu_lock(onu);
    for (int k = 0; k < ONU_LINKS; k++)
        onu->links[k].path_id = uint16_t(8320 + 2 * k);
    EXPECT_EQ(profiler_onu_path_internal(onu, 0, profile.data(), true, 16, onu->cfg_block), 0);
    EXPECT_EQ(hex_text(requests(TEK_REQ_DEST_CREATE)[0].data),
              hex_text(hex_vectors("onu/requests.hex")["destination, four links on path 0"]));
    EXPECT_EQ(hex_text(requests(TEK_REQ_DEST_LEARNING)[0].data), "04 00 00 00 00 10 00 04 ");
    auto creates = sim_->handler_of(TEK_REQ_DEST_CREATE);
    answer(TEK_REQ_DEST_CREATE, 3);   // three refusals are a firmware fault
    EXPECT_EQ(profiler_onu_path_internal(onu, 0, profile.data(), true, 0, onu->cfg_block), TEK_RC_REFUSED);
    EXPECT_EQ(count(TEK_REQ_DEST_DELETE), 2u) << "before the second and third attempt";
    sim_->set_handler(TEK_REQ_DEST_CREATE, creates);

    memset(named, 0, RULE_SLOT_SIZE);
    profile[PATHS_LINK_PATH + PATHS_LINK_STRIDE * 2] = 1;
    profile[PATHS_LINK_PATH + PATHS_LINK_STRIDE * 3] = 1;
    memcpy(cfgcache()->paths[0], profile.data(), PROFILE_PATHS_SIZE);
    onu->link_count = 3;
    onu->cfg_flags &= ~ONU_CFG_PATHS_DONE;
    EXPECT_EQ(profiler_paths_reconfigure_internal(onu), 0);
    EXPECT_EQ(requests(TEK_REQ_DEST_CREATE).back().data[4], 1) << "link 3 is not the ONU's";
    EXPECT_EQ(profiler_paths_reconfigure_internal(onu), TEK_RC_REFUSED) << "paths are configured once";

    name_link(2);
    uint16_t dest = 0;
    EXPECT_EQ(profiler_onu_destination_create_internal(onu, 0, profile.data(), &dest), TEK_RC_REFUSED);
    onu_unlock(onu);
}

TEST_F(OnuLayer, LearnedMacCopiesStayWithinTheAnswerAndTheBuffer)
{
    bytes learned = hex("04 00 03 E8 | 02 00 00 00 00 01 | 02 00 00 00 00 02 | 02 00 00 00 00 03");   // 1000 MACs, 3 sent
    answer(TEK_REQ_DEST_LEARNED_MACS, 0, learned);
    uint8_t buffer[6 * 2 + 6] = {};
    buffer[12] = 0xAA;   // past the room given
    int n = 0;
    EXPECT_EQ(profiler_dest_learned_macs(1, 1024, buffer, 2, &n), 0);
    EXPECT_EQ(buffer[12], 0xAA);
    uint8_t wide[6 * 16];
    EXPECT_EQ(profiler_dest_learned_macs(1, 1024, wide, 16, &n), 0);
    EXPECT_EQ(n, 3) << "no more than the answer holds";

    onu_->uni_path[1] = 1024;   // an ONU in OK with a service path
    uint8_t found[6];
    int path = 0;
    EXPECT_EQ(profiler_find_by_learned_mac(1, 2, &learned[16], found, &path), 0);   // 2: any PON port
    EXPECT_EQ(path, 2);
    const uint8_t stranger[6] = {0x02, 9, 9, 9, 9, 9};
    EXPECT_EQ(profiler_find_by_learned_mac(1, 2, stranger, found, &path), 8);
    // A record goes in whole or not at all.
    uint8_t list[18 + 6 * 3];
    size_t length = 1;
    EXPECT_EQ(profiler_learned_mac_list(1, 0, nullptr, list, sizeof list - 6, &length), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(profiler_learned_mac_list(1, 0, nullptr, list, sizeof list, &length), 1);
    EXPECT_EQ(list[17], 3);
}

// The queue check asks again while the ONU is silent and compares the
// layout whole, or only the link count for 0x6838; the blocked-link walk
// keeps within the answer whatever its count says.
TEST_F(OnuLayer, QueueLayoutsAndBlockedLinksAreReadWithinTheAnswer)
{
    onu_->state = ONU_STATE_DISCOVERED;
    uint8_t out[QUEUES_LAYOUT_MAX];
    bytes right(out, out + onu_expected_queues(ONU_MAC, ONU_LINKS, false, out)), longer = right, other = right;
    longer.push_back(0);
    other[10] ^= 1;
    auto misses = std::make_shared<int>(TEKLINK_SEND_ATTEMPTS);
    sim_->set_handler(TEK_REQ_QUEUES_READ, [misses, right](int, const oltsim::request_record &) {
        return (*misses)-- > 0 ? oltsim::answer{TEKLINK_RCODE_NO_ONU_RESPONSE, {}} : oltsim::answer{0, right};
    });
    onu_lock(onu_);
    // A count of 1000, and two MACs: link 2 and a stranger.
    answer(TEK_REQ_BLOCKED_LINKS, 0, hex("00000000 00000000 E8030000 | 00 0D B6 11 22 35 | 02 0D B6 11 22 35"));
    EXPECT_EQ(profiler_onu_unblock_links(onu_), 0);
    EXPECT_EQ(sent(TEK_REQ_LINK_UNBLOCK), (std::vector<std::string>{"00 0D B6 11 22 35 "}));
    EXPECT_EQ(profiler_onu_queues_check_internal(onu_), 0);
    EXPECT_EQ(count(TEK_REQ_QUEUES_READ), size_t(TEKLINK_SEND_ATTEMPTS + 1));
    struct { uint16_t chip; bytes layout; int expected; } rows[] = {
        {0x3714, longer, TEK_RC_REFUSED}, {0x3714, other, TEK_RC_REFUSED}, {0x6838, other, 0},
        {0x6838, bytes{0, 0, 0, 0, 0, 0, 2}, TEK_RC_REFUSED}};
    for (auto &r : rows) {
        answer(TEK_REQ_QUEUES_READ, 0, r.layout);
        store_be16(onu_->chip_id, r.chip);
        onu_->cfg_flags &= ~ONU_CFG_QUEUES_OK;
        EXPECT_EQ(r.chip == 0x6838 ? profiler_onu_queues_check_6838_internal(onu_)
                                   : profiler_onu_queues_check_internal(onu_),
                  r.expected);
    }

    onu_unlock(onu_);
    EXPECT_EQ(profiler_onu_reconfigure(LINK_ONU), 1) << "no such ONU";
}

// The subscriber IDs go out with the board MAC of ZANDREL_IFACE; one that
// cannot be read, an unknown format, no memory or a closed link send nothing.
TEST_F(OnuLayer, SubscriberIdsCarryTheBoardMacOrAreNotSent)
{
    subscriber_path p{};
    p.host_name = "olt7";
    setenv("ZANDREL_IFACE", "lo", 1);
    EXPECT_EQ(profiler_onu_path_opt82(2, OPT82_EXPANDED_BINARY, &p), SUBSCRIBER_ID_OK);
    bytes sent82 = requests(TEK_REQ_OPT82)[0].data;
    EXPECT_EQ(hex_text(bytes(sent82.begin() + 23, sent82.begin() + 29)), "00 00 00 00 00 00 ") << "the loopback's MAC";
    sim_->rcode_next(0, 4, 1);
    EXPECT_EQ(profiler_onu_path_opt82(0, OPT82_REDUCED_TEXT, &p), SUBSCRIBER_ID_OK) << "the rcode is not the caller's";
    crid_pair pair;
    crid_Init(&pair, CRID_OLT_CAPACITY);
    EXPECT_EQ(profiler_onu_path_pppoe_tag(1, PPPOE_TAG_BINARY, &p, &pair), 0);
    EXPECT_EQ(profiler_onu_path_pppoe_tag(1, PPPOE_TAG_TEXT, &p, &pair), 0);
    size_t before = sim_->request_count();
    setenv("ZANDREL_IFACE", "nosuchif0", 1);
    EXPECT_EQ(profiler_onu_path_opt82(0, OPT82_EXTENDED_BINARY, &p), SUBSCRIBER_ID_LOCAL_FAILURE);
    EXPECT_EQ(profiler_onu_path_opt82(0, OPT82_EXPANDED_BINARY, &p), SUBSCRIBER_ID_LOCAL_FAILURE);
    unsetenv("ZANDREL_IFACE");
    EXPECT_EQ(profiler_onu_path_opt82(0, 5, &p), SUBSCRIBER_ID_UNKNOWN_FORMAT);
    balloc_fail_nth(1);
    EXPECT_EQ(profiler_onu_path_pppoe_tag_internal(0, &p), TEK_RC_NO_MEMORY);
    balloc_fail_nth(0);
    olt_set_state(0, ONU_STATE_RESETINPROGRESS);
    EXPECT_EQ(profiler_onu_path_pppoe_tag_text_internal(0, &p), TEKLINK_ERR_CLOSED);
    EXPECT_EQ(sim_->request_count(), before);
}

// The UNI parameters stop at the first refusal; a short read of the
// configuration block writes nothing back; blocking sets the record's flag
// except where an unblock leaves it, and the PON port is not blocked so.
TEST_F(OnuLayer, PortsStopAtTheFirstRefusalAndKeepTheirFlags)
{
    const uint8_t enabled[ONU_UNI_PARAMS_SIZE] = {1, 0, 7, 8};
    sim_->rcode_next(1, 3, 1);
    EXPECT_EQ(profiler_onu_uni_port_params(1, ONU_MAC, 1, enabled), 3);
    EXPECT_TRUE(requests(TEK_REQ_ONU_PORT_MODE).empty());
    balloc_fail_nth(1);
    EXPECT_EQ(profiler_onu_network_params(1, ONU_MAC, 1, 2, 3), 8) << "8, not 4, without memory";
    balloc_fail_nth(0);

    EXPECT_EQ(profiler_onu_port_config_refresh(1, ONU_MAC, 2), 0);
    EXPECT_EQ(device().port_config[2][33], 33) << "bytes outside the set ones go back as read";
    cut(TEK_REQ_ONU_PORT_CONFIG_READ, 88);
    EXPECT_EQ(profiler_onu_port_config_refresh(1, ONU_MAC, 1), 3);
    EXPECT_EQ(device().port_config_writes[1], 0u);

    // The flag afterwards, starting at 5.
    struct { uint16_t port; bool unblock; uint16_t rcode; int result; uint8_t flag; } rows[] = {
        {1, false, 0, 0, 1}, {2, true, 0, 0, 5}, {2, false, 9, 3, 1},
        {3, true, 0, 0, 0},  {3, true, 9, 0, 0}};   // the RF output's refusal is not looked at
    for (const auto &r : rows) {
        if (r.rcode)
            sim_->rcode_next(1, r.rcode, 1);
        onu_lock(onu_);
        onu_->uni[r.port].blocked = 5;
        EXPECT_EQ(profiler_onu_port_block_config(onu_, r.port, r.unblock), r.result) << r.port;
        EXPECT_EQ(onu_->uni[r.port].blocked, r.flag) << r.port;
        onu_unlock(onu_);
    }
    EXPECT_TRUE(device().uni[1].enabled == false && device().rf_output == 8);
    EXPECT_EQ(profiler_onu_port_block(1, ONU_MAC, 0, false), 3);
}

// Domains are deleted by the count the ONU gives, then added; the group
// filter goes to ports 0..2; a refused 0x6838 group does not stop the next.
TEST_F(OnuLayer, MulticastRequestsFollowTheOnusAnswers)
{
    change([](oltsim::onu_device &d) { d.ipmc_domains[0] = d.ipmc_domains[1] = d.ipmc_domains[2] = {1}; });
    bytes p = hex_vectors("onu/requests.hex")["multicast profile"];   // two groups, two domain groups
    EXPECT_EQ(profiler_onu_ipmc_domains(1, ONU_MAC, p.data()), 0);
    EXPECT_EQ(device().ipmc_deleted, (std::vector<uint8_t>{0, 1, 2}));
    cut(TEK_REQ_ONU_IPMC_DOMAIN_COUNT, 6);   // no count byte: nothing deleted
    sim_->rcode_next(1, 5, 2);
    EXPECT_EQ(profiler_onu_ipmc_domains(1, ONU_MAC, p.data()), 3);
    EXPECT_EQ(device().ipmc_deleted.size(), 3u);

    EXPECT_EQ(profiler_onu_ipmc_groups(1, ONU_MAC, p.data()), 0);
    std::vector<uint16_t> ports;
    for (auto &r : requests(TEK_REQ_ONU_RULES))
        ports.push_back(load_be16(r.data.data() + 6));
    EXPECT_EQ(ports, (std::vector<uint16_t>{0, 1, 2, 0, 1, 2, 0, 1, 2}));
    sim_->rcode_next(1, 4, 1);
    EXPECT_EQ(profiler_onu_ipmc_groups(1, ONU_MAC, p.data()), 3);
    sim_->rcode_next(1, 4, 1);
    EXPECT_EQ(profiler_onu_ipmc_groups_6838(1, ONU_MAC, p.data()), 0);
    EXPECT_EQ(device().groups_6838, (std::vector<std::pair<uint32_t, uint32_t>>{{0xE2000001, 0xE2000001}}))
        << "the first was refused, the second kept";
}

// The steps read their inputs from the record and the cache: what the ONU
// holds after each.
TEST_F(OnuLayer, StepsTakeTheirInputsFromTheRecord)
{
    uint8_t *profile = cfgcache()->multicast[5];
    profile[4] = 3;
    store_le16(profile + 5, 0x0102);
    change([](oltsim::onu_device &d) { d.add_phy(3, 0xC816); });
    onu_lock(onu_);
    onu_->profiles[ONU_PROFILE_MULTICAST] = 5;
    memcpy(onu_->cfg_tail, "\x34\x12\x56\x78", 4);   // value 0x1234, then two bytes
    onu_->cfg_block[ONU_BLOCK_PON_OPTION] = 1;
    uint8_t *uni1 = onu_->cfg_block + ONU_BLOCK_UNI1;
    uni1[UNI_PARAM_MODE] = 4;
    uni1[ONU_UNI_PARAMS_SIZE + 2] = 9;
    uni1[ONU_UNI_PARAMS_SIZE + ONU_RULE_STATES] = 2;
    onu_->video_power = 10000;   // -6.16 dBm after the correction: line 0x100
    EXPECT_EQ(profiler_onu_network_step(onu_), 0);
    EXPECT_EQ(profiler_onu_pon_step(onu_), 0);
    EXPECT_EQ(profiler_onu_uni_step(onu_, ONU_PORT_UNI1), 0);
    EXPECT_EQ(profiler_onu_rules_step(onu_, ONU_PORT_UNI1), 0);
    EXPECT_EQ(profiler_onu_igmp_step(onu_), 0);
    EXPECT_EQ(profiler_onu_block_step(onu_, ONU_PORT_RFOUT, false), 0);
    profiler_onu_rf_level_step(onu_);
    profiler_onu_phy_detect_step(onu_);
    profiler_onu_phy_setup_step(onu_, 1);   // no PHY in slot 1: nothing written
    profiler_onu_phy_setup_step(onu_, 0);
    onu_->profiles[ONU_PROFILE_MULTICAST] = 64;   // outside the cache
    EXPECT_EQ(profiler_onu_ipmc_groups_step(onu_), 3);
    EXPECT_EQ(profiler_onu_ipmc_groups_6838_step(onu_), 0);
    onu_unlock(onu_);
    auto d = device();
    EXPECT_EQ(hex_text(d.network) + "| " + hex_text(d.pon_params) + "| " + hex_text(d.igmp),
              "12 34 56 78 | 02 00 00 | 00 00 00 03 01 02 ");
    EXPECT_TRUE(d.uni[2].mode[3] == 4 && d.rules[2].size() == 1 && d.rules[2][0][2] == 9 && d.rf_output == 0);
    EXPECT_EQ(d.gpio, 0x100u);
    EXPECT_EQ(d.phys[0].writes.size(), 5u);
    EXPECT_TRUE(requests(TEK_REQ_ONU_IPMC_GROUP_6838).empty());
}

// The record names its rules profile (128 and up, or a disabled one, leave
// the block alone); own rules close their gaps and the profile's follow
// until the table is full; a profile rule left in slot 0 with no own rule
// goes. A refusal ends the download, and no memory is 4.
TEST_F(OnuLayer, RuleDownloadsMergeTheNamedProfileAndEndAtARefusal)
{
    uint8_t *profile = cfgcache()->rules[9];
    profile[0] = 1;
    for (size_t s = 0; s < ONU_RULE_SLOTS; s++)   // a full profile: 52 of its rules fit
        profile[RULES_PROFILE_PON + ONU_RULE_STATES + s] = 1;
    profile[RULES_PROFILE_PON + 1] = 0x42;
    onu_lock(onu_);
    uint8_t *pon = onu_->cfg_block + ONU_BLOCK_PON_RULES;
    for (size_t s : {0, 1, 2, 5}) {
        pon[ONU_RULE_SIZE * s + 2] = 0x12;
        pon[ONU_RULE_STATES + s] = 2;
    }
    uint8_t *uni1_states = onu_->cfg_block + ONU_BLOCK_UNI1 + ONU_UNI_PARAMS_SIZE + ONU_RULE_STATES;
    uni1_states[0] = 1;
    for (uint8_t index : {8, 200})
        EXPECT_EQ((onu_->profiles[0] = index, profiler_onu_rules_merge(onu_)), 1) << int(index);
    onu_->profiles[0] = 9;
    EXPECT_EQ(profiler_onu_rules_merge(onu_), 0);
    EXPECT_EQ(uni1_states[0], 0) << "the stale profile rule would be sent twice";
    EXPECT_EQ(profiler_onu_rules_internal(onu_->olt, onu_->mac, ONU_PORT_PON, onu_->cfg_block), 0);
    sim_->rcode_next(1, 6, 1);
    EXPECT_EQ(profiler_onu_rules_internal(onu_->olt, onu_->mac, ONU_PORT_UNI1, onu_->cfg_block), 3);
    EXPECT_EQ(profiler_onu_rules_internal(onu_->olt, onu_->mac, ONU_PORT_RFOUT, onu_->cfg_block), 3);
    balloc_fail_nth(1);
    EXPECT_EQ(profiler_onu_rules_internal(onu_->olt, onu_->mac, ONU_PORT_UNI1, onu_->cfg_block), 4);
    balloc_fail_nth(0);
    onu_unlock(onu_);
    auto d = device();
    ASSERT_EQ(d.rules[0].size(), size_t(ONU_RULE_SLOTS));
    EXPECT_TRUE(d.rules[0][3][2] == 0x12 && d.rules[0][4][1] == 0x42) << "own rules close their gap, then the profile's";
    EXPECT_EQ(count(TEK_REQ_ONU_RULES), 16u) << "14 of four rules, the empty last one, UNI1's refused one";
}

// The sequence blocks what the record asks after the end of configuration,
// a second run only reports, and a refused step fails the ONU with an
// EAP-Failure.
TEST_F(OnuLayer, ConfigurationBlocksWhatTheRecordAsksAndFailsOnARefusal)
{
    cfgcache()->rules[0][0] = 1;
    classes(0, 1, 1);
    for (bool refuse : {false, true}) {
        onu_record *onu = make_onu(7, LINK_ONU, ONU_STATE_DISCOVERED);
        store_be16(onu->chip_id, 0x3714);
        onu->configured_port = PORT_NONE;
        onu->cfg_flags = 0;
        onu->link_count = 1;
        onu->cfg_bytes[ONU_CFG_BYTE_BLOCK_UNI1] = 1;
        answer(TEK_REQ_ONU_RULES, refuse ? 3 : 0);
        EXPECT_EQ(profiler_onu_reconfigure(LINK_ONU), refuse ? TEK_RC_REFUSED : 0);
        EXPECT_EQ(onu->state, refuse ? ONU_STATE_CFGFAILED : ONU_STATE_OK);
        if (!refuse) {
            EXPECT_EQ(ids().back(), TEK_REQ_PORT_DISABLE) << "UNI1 blocked again after the end of configuration";
            size_t before = sim_->request_log().size();
            EXPECT_EQ(profiler_onu_reconfigure(LINK_ONU), 0);
            EXPECT_EQ(sim_->request_log().size(), before);
        }
    }
    EXPECT_EQ(sent(TEK_REQ_EAP_FRAME), (std::vector<std::string>{"00 0D B6 20 00 00 04 01 00 04 "})) << "EAP-Failure";
}

} // namespace
