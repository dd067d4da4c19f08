// The device data store: state-change notifications as the management
// process receives them, the DRSSI jump filter, path identifiers, link MACs,
// look-ups and the OLT index.
#include "store/datastruct.h"

#include "common/link_fixture.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <latch>
#include <thread>
#include <tuple>

namespace {

const uint8_t MAC[6] = {0x00, 0x0D, 0xB6, 0x01, 0x02, 0x03};

class Store : public LinkFixture {
protected:
    void SetUp() override
    {
        LinkFixture::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(datastruct_init(), 0);
        clock_fake_set(1000);
    }
    void TearDown() override
    {
        clock_fake_release();
        datastruct_close();
        LinkFixture::TearDown();
    }

    // A record as link discovery leaves it, in state `state` (set without
    // notification, as the starting point of a case).
    onu_record *make_onu(const uint8_t mac[6], uint32_t state, uint8_t olt = 1, uint8_t port = 1)
    {
        onu_record *onu = onu_alloc();
        EXPECT_NE(onu, nullptr);
        memcpy(onu->mac, mac, 6);
        onu->olt = olt;
        onu->port = port;
        onu->ont_id = 42;
        onu->type = 7;
        onu->fw_version = 0x0312;
        onu->link_count = ONU_LINKS;
        onu->state = state;
        return onu;
    }

    // The next notification the management process receives.
    kernmsg_notification next_notification()
    {
        size_t want = seen_ + 1;
        EXPECT_TRUE(kernel_.wait_notifications(want, 5));
        auto all = kernel_.notifications();
        seen_ = all.size();
        return all.size() >= want ? all[want - 1] : kernmsg_notification{};
    }
    // Proves that nothing was notified since the last notification read:
    // a marker sent now must be the very next one.
    void expect_no_notification()
    {
        ASSERT_EQ(kernlink_notify(99, 0, 0, 0, 0, "marker"), 0);
        EXPECT_STREQ(next_notification().text, "marker");
    }

    size_t seen_ = 0;
};

// Each row takes a branch of the rules of its own; the text is what the
// management process receives.
TEST_F(Store, StateChangeNotificationRulesAndTexts)
{
    const struct { uint32_t from, to; bool notified; } cases[] = {
        {ONU_STATE_FREE, ONU_STATE_ALLOCATED, true},         {ONU_STATE_DISCOVERED, ONU_STATE_ALLOCATED, false},
        {ONU_STATE_AUTHINPROGRESS, ONU_STATE_AUTHFAILED, true}, {ONU_STATE_CFGINPROGRESS, ONU_STATE_CFGFAILED, true},
        {ONU_STATE_CFGINPROGRESS, ONU_STATE_OK, true},       {ONU_STATE_OK, ONU_STATE_RESETFWUPGRADE, true},
        {ONU_STATE_CFGINPROGRESS, ONU_STATE_BLOCKED, true},  {ONU_STATE_BLOCKED, ONU_STATE_CFGINPROGRESS, true},
        {ONU_STATE_AUTHOK, ONU_STATE_DISCOVERED, false},     {ONU_STATE_DISCOVERED, ONU_STATE_FREE, true},
    };
    onu_record *onu = make_onu(MAC, ONU_STATE_ALLOCATED);
    onu_lock(onu);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(onu_state_name(c.from)) + " -> " + onu_state_name(c.to));
        onu->state = c.from;
        clock_fake_advance(1);
        onu_set_state(onu, c.to);
        // Entering OK starts the session.
        EXPECT_TRUE(c.to != ONU_STATE_OK || (onu->ok_time == uptime_seconds() && onu->accounting == -1));
        if (!c.notified) {
            expect_no_notification();
            continue;
        }
        std::string state = c.to > ONU_STATE_BLOCKED ? "UNKNOWN" : onu_state_name(c.to);
        EXPECT_EQ(std::string(next_notification().text), "00:0D:B6:01:02:03 3 42 " + state + " \" 3.12\" \"ONTM-07\"");
    }
    // The same state again: nothing counted, stamped or notified.
    uint32_t counter = onu_change_counter_get();
    clock_fake_advance(5);
    onu_set_state(onu, ONU_STATE_FREE);
    EXPECT_EQ(onu_change_counter_get(), counter);
    EXPECT_NE(onu->last_activity, uptime_seconds());
    expect_no_notification();
    // What is not known is a placeholder: OLT 4 port 1 is port number 9, no such port.
    onu->olt = 4;
    onu->ont_id = 0;
    onu->fw_version = 0;
    onu->type = 41;
    onu_set_state(onu, ONU_STATE_ALLOCATED);
    kernmsg_notification n = next_notification();
    EXPECT_EQ(n.num[0], 255u);
    EXPECT_STREQ(n.text, "00:0D:B6:01:02:03 x x ALLOCATED \"x.x\" \"\"");
    // Chip 86 00 reports its version from the information block.
    onu->olt = 0;
    onu->port = 0;
    onu->fw_version = 0x0100;
    onu->chip_id[0] = 0x86;
    const char version[] = "V2.10.33-build-long-text";
    memcpy(onu->info + 1, version, sizeof version);
    onu_set_state(onu, ONU_STATE_AUTHFAILED);
    EXPECT_STREQ(next_notification().text, "00:0D:B6:01:02:03 0 x AUTHFAILED \"V2.10.33-build-\" \"\"");
    onu_unlock(onu);
}

TEST_F(Store, DrssiJumpFilter)
{
    onu_record *onu = make_onu(MAC, ONU_STATE_OK);
    onu_lock(onu);
    std::vector<uint16_t> kept;
    // Nothing accepted yet, exactly 30 %, four jumps of 31 % refused, the
    // fifth believed, down by 29 %.
    for (uint16_t value : {1000, 1300, 1703, 1703, 1703, 1703, 1703, 1200}) {
        onu->drssi = value;
        onu_drssi_filter(onu);
        kept.push_back(onu->drssi);
    }
    EXPECT_EQ(kept, (std::vector<uint16_t>{1000, 1300, 1300, 1300, 1300, 1300, 1703, 1200}));
    uint8_t s[ONU_SUMMARY_SIZE];
    onu_summary_read(onu_index(onu), s);
    EXPECT_EQ(s[18] | s[19] << 8, 1200);
    onu_unlock(onu);
}

TEST_F(Store, OltPathIdentifiersAndStates)
{
    // Per OLT, lowest free slot first; the upstream identifier names the
    // same slot; nothing below the first identifier is slot 0.
    EXPECT_EQ(olt_path_id_alloc(0), 8320);
    EXPECT_EQ(olt_path_id_alloc(0), 8322);
    EXPECT_EQ(olt_path_id_alloc(1), 8320);
    EXPECT_EQ(olt_path_id_free(0, 8320), 0);
    EXPECT_EQ(olt_path_id_free(0, 8320), -1) << "not in use any more";
    int last = 0;
    for (int i = 1; i < OLT_PATH_SLOTS; i++)
        last = olt_path_id_alloc(0);
    EXPECT_EQ(last, 16318);
    EXPECT_EQ(olt_path_id_alloc(0), -1) << "the 4001st";
    for (auto [olt, id, result] : {std::tuple{0, 16320, -1}, {0, 8319, -1}, {0, 8321, 0}, {4, 8320, -1}})
        EXPECT_EQ(olt_path_id_free(olt, id), result) << olt << " " << id;
    EXPECT_EQ(olt_path_id_alloc(-1), -1);
    // OLTs start in reset; one past the last is no OLT.
    EXPECT_EQ(olt_get_state(3), ONU_STATE_RESETINPROGRESS);
    EXPECT_EQ(olt_get_state(4), ONU_STATE_UNKNOWN);
}

TEST_F(Store, LinksInitAndLookupsSeeOnlyRecordsInUse)
{
    const uint8_t edge[6] = {0x00, 0x0D, 0xB6, 0xFF, 0xFF, 0xFE};   // link MACs wrap on the low three bytes
    onu_record *onu = make_onu(edge, ONU_STATE_ALLOCATED);
    onu_lock(onu);
    EXPECT_EQ(onu_links_init(onu), 0);
    onu_unlock(onu);
    EXPECT_EQ(0, memcmp(onu->links[3].mac, "\x00\x0D\xB6\x00\x00\x01", 6));
    EXPECT_EQ(onu_get_by_link_mac(onu->links[2].mac), onu);
    EXPECT_EQ(onu_find_link(onu, onu->links[1].mac), &onu->links[1]);
    onu->links[2].state = 0;
    EXPECT_EQ(onu_get_by_link_mac(onu->links[2].mac), nullptr);
    make_onu(MAC, ONU_STATE_FREE);   // a FREE slot whose bytes still match is not found
    EXPECT_EQ(onu_get_by_mac(MAC), nullptr);
    EXPECT_EQ(onu_get_by_mac_locked(MAC), nullptr);
}

TEST_F(Store, LockedLookupWaitsOnlyForTheRecordOfItsMac)
{
    // The held record got its state as the daemon's records do, through a
    // state change, which is what lets a look-up see its MAC while busy.
    onu_record *busy = make_onu(MAC, ONU_STATE_FREE);
    onu_lock(busy);
    onu_set_state(busy, ONU_STATE_ALLOCATED);
    onu_unlock(busy);
    const uint8_t other[6] = {0x00, 0x0D, 0xB6, 0x0A, 0x0B, 0x0C};
    const uint8_t missing[6] = {0x00, 0x0D, 0xB6, 0x0F, 0x0F, 0x0F};
    onu_record *target = make_onu(other, ONU_STATE_OK);
    onu_lock(busy);
    // Held by this very thread: look-ups of other MACs, a missing one
    // included, answer while it is still held.
    onu_record *found = onu_get_by_mac_locked(other);
    ASSERT_EQ(found, target) << "found past a busy slot";
    onu_unlock(found);
    EXPECT_EQ(onu_get_by_mac_locked(missing), nullptr);
    // The busy record's own MAC waits for it to be let go.
    std::latch looking(1);
    std::thread looker([&] {
        looking.count_down();
        found = onu_get_by_mac_locked(MAC);
        if (found)
            onu_unlock(found);
    });
    looking.wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));   // let it meet the busy slot
    onu_unlock(busy);
    looker.join();
    EXPECT_EQ(found, busy);
}

} // namespace
