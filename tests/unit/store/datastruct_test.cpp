// The device data store: the DRSSI jump filter, path identifiers, link
// MACs, the OLT states and the locked look-up.
#include "store/datastruct.h"

#include "common/link_fixture.h"

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
    }
    void TearDown() override
    {
        datastruct_close();
        LinkFixture::TearDown();
    }

    // A record as link discovery leaves it, in state `state` (set without
    // notification, as the starting point of a case).
    onu_record *make_onu(const uint8_t mac[6], uint32_t state)
    {
        onu_record *onu = onu_alloc();
        EXPECT_NE(onu, nullptr);
        memcpy(onu->mac, mac, 6);
        onu->state = state;
        return onu;
    }
};

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
    // A link MAC is the ONU MAC plus the link index on the low three bytes:
    // no carry into the maker's part.
    uint8_t link[6], edge[6] = {0x00, 0x0D, 0xB6, 0xFF, 0xFF, 0xFE};
    mac_add(link, edge, 3);
    EXPECT_EQ(0, memcmp(link, "\x00\x0D\xB6\x00\x00\x01", 6));
    // OLTs start in reset; one past the last is no OLT.
    EXPECT_EQ(olt_get_state(3), ONU_STATE_RESETINPROGRESS);
    EXPECT_EQ(olt_get_state(4), ONU_STATE_UNKNOWN);
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
