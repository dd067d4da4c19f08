// The configuration cache against ponkernel's configuration store over the
// real management link: refreshes driven by the flag files and the change
// summary, the four-check refresh that gives up, and the per-ONU requests.
#include "store/datastruct.h"
#include "common/link_fixture.h"
#include "engine/profiler_cache.h"

#include <unistd.h>

#include <cstring>

namespace {

class CacheLink : public LinkFixture {
protected:
    void SetUp() override
    {
        LinkFixture::SetUp();
        ASSERT_EQ(datastruct_init(), 0);
        std::string error;
        ASSERT_TRUE(kernel_.store().load_file(ZANDREL_VECTORS_DIR "/engine/cache_board.json", error)) << error;
        cfgcache_clear();
        radius_cfg_changed = 0;
        flags.a = 0;
    }
    void TearDown() override
    {
        flags.a = 0;
        datastruct_close();
        LinkFixture::TearDown();
    }
    void edit(const std::string &text, bool load = false)
    {
        std::string error;
        ASSERT_TRUE(load ? kernel_.store().load_text(text, error) : kernel_.store().edit(text, error)) << error;
    }
    bool flag(const char *path) { return access((root_ + path).c_str(), F_OK) == 0; }
    unsigned asked(uint16_t cmd) { return kernel_.store().asked(cmd); }
};

TEST_F(CacheLink, EditsAreFetchedAsTheChangeSummarySays)
{
    ASSERT_EQ(profiler_get_cfg_cache(), 0);
    EXPECT_EQ(profiler_cache_check(), 0) << "no flag file: nothing asked";
    EXPECT_EQ(asked(CFG_CMD_CHANGES), 0u);

    // Ten paths profiles: one answer of eight, then the other two.
    std::string paths = R"({"profiles": {"paths": [)";
    for (int i = 0; i < 10; i++)
        paths += std::string(i ? "," : "") + R"({"index": )" + std::to_string(6 * i) + R"(, "fill": )" +
                 std::to_string(100 + i) + "}";
    edit(paths + R"(], "link": [{"index": 7, "links": 1}]}})");
    ASSERT_TRUE(flag(CONFIG_CHANGED_FLAG));
    EXPECT_EQ(profiler_cache_check(), 0);
    EXPECT_EQ(asked(CFG_CMD_PROFILES), 3u);
    EXPECT_EQ(asked(CFG_CMD_FETCH), 33u) << "no full fetch for profile changes";
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(cfgcache()->paths[6 * i][0], 100 + i) << i;
    EXPECT_EQ(cfgcache()->link[7][LINK_PROFILE_LINK_COUNT], 1);
    EXPECT_FALSE(flag(CONFIG_CHANGED_FLAG)) << "everything fetched: the store took the flag away";

    edit(R"({"system": {"hostname": "second"}, "radius": {"secret": "changed"}})");
    ASSERT_TRUE(flag(RADIUS_CHANGED_FLAG));
    EXPECT_EQ(profiler_cache_check(), 0);
    EXPECT_EQ(asked(CFG_CMD_SYSTEM) + asked(CFG_CMD_RADIUS), 2u);
    EXPECT_EQ(radius_cfg_changed.load(), 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(cfgcache()->radius + RADIUS_SECRET), "changed");
    edit(R"({"radius": {"secret": "again"}})");
    kernel_.store().refuse(CFG_CMD_RADIUS, 4);
    EXPECT_EQ(profiler_cache_check(), 1) << "the RADIUS refresh refused: bit 0";

    // "Reload all" is a full fetch and nothing else.
    kernel_.store().refuse(CFG_CMD_RADIUS, 0);
    edit(R"({"reload_all": true, "system": {"hostname": "renamed"}, "profiles": {"sla": [{"index": 3, "fill": 3}]}})");
    EXPECT_EQ(profiler_cache_check(), 0);
    EXPECT_EQ(asked(CFG_CMD_FETCH), 66u);
    EXPECT_EQ(asked(CFG_CMD_PROFILES), 3u);
    EXPECT_EQ(asked(CFG_CMD_SYSTEM), 1u);
    EXPECT_EQ(cfgcache()->sla[3][0], 3);
}

TEST_F(CacheLink, FourFailingChecksGiveUpWithOneLineAndOneEvent)
{
    ASSERT_EQ(profiler_get_cfg_cache(), 0);
    edit(R"({"profiles": {"sla": [{"index": 1}]}})");
    // The summary refused means "reload everything", and that is refused too.
    kernel_.store().refuse(CFG_CMD_CHANGES, CFG_RC_NO_RESOURCES);
    kernel_.store().refuse(CFG_CMD_FETCH, CFG_RC_NO_RESOURCES);
    onu_record *onu = onu_at(0);
    memcpy(onu->mac, "\x00\x0D\xB6\x10\x00\x00", 6);
    onu->olt = 2, onu->port = 1;
    EXPECT_EQ(ActualizeConfigCache(onu), 3);
    EXPECT_EQ(asked(CFG_CMD_CHANGES), 4u);
    ASSERT_TRUE(kernel_.wait_notifications(1, 5));
    auto notes = kernel_.notifications();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].code * 10 + notes[0].num[0], 25u);
    EXPECT_STREQ(notes[0].text, "00:0D:B6:10:00:00 : can't get cash config");

    // Once the module answers again the first check succeeds.
    kernel_.store().refuse(CFG_CMD_CHANGES, 0);
    EXPECT_EQ(ActualizeConfigCache(onu), 0);
}

// An unknown ONU has no configuration; option -a asks for the fixed MAC
// whatever the ONU.
TEST_F(CacheLink, OnuSecretWithOptionAIsTheFixedMacs)
{
    char secret[ONT_SECRET_SIZE];
    const uint8_t *unknown = reinterpret_cast<const uint8_t *>("\x00\x0D\xB6\x77\x00\x00");
    std::vector<uint8_t> record(ONT_CONFIG_SIZE);
    EXPECT_EQ(profiler_get_ont_config(unknown, record.data()), CFG_RC_NOT_FOUND);
    flags.a = 1;
    edit(R"({"onus": [{"mac": "00:0D:B6:00:00:00", "secret": "fixed"}]})", true);
    EXPECT_EQ(profiler_get_ont_secret(unknown, secret), 0);
    EXPECT_STREQ(secret, "fixed");
}

// The board's RADIUS road creates ONUs from RADIUS data; left here: a link
// profile asking for more links than a record has, and a store that refuses
// three times.
TEST_F(CacheLink, OnuCreatedFromRadiusDataIsBounded)
{
    auto config = std::make_unique<onu_record>();
    onu_config_defaults(config.get());
    config->profiles[ONU_PROFILE_LINK] = 9;
    edit(R"({"profiles": {"link": [{"index": 9, "fill": 200}]}})");
    ASSERT_EQ(profiler_get_cfg_cache(), 0);
    kernel_.store().refuse(CFG_CMD_ONT_CREATE, CFG_RC_NO_RESOURCES);
    onu_record *onu = onu_at(3);
    onu_lock(onu);
    memcpy(onu->mac, "\x00\x0D\xB6\x55\x00\x00", 6);
    EXPECT_EQ(onu_create_from_config(onu, config.get()), CFG_RC_NO_RESOURCES);
    EXPECT_EQ(onu->link_count, ONU_LINKS);
    EXPECT_EQ(asked(CFG_CMD_ONT_CREATE), 3u);
    onu_unlock(onu);
}

} // namespace
