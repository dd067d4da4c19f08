// The provisioning engine: strict priority across its three queues, the
// bounded OLT queue, the idle sweep, the flush of one ONU's work, and the
// chip operations it owns (port answers, EAP request), run against test
// doubles of the provisioning work and an in-process chip simulator.
#include "common/chip_fixture.h"
#include "common/hex.h"

#include "engine/olt_ports.h"
#include "platform/textconv.h"

namespace {

const uint8_t ONU_A[6] = {0x00, 0x0D, 0xB6, 0x10, 0x00, 0x00};
const uint8_t ONU_B[6] = {0x00, 0x0D, 0xB6, 0x20, 0x00, 0x00};

// What the doubles of the provisioning work saw, in order.
std::vector<std::string> calls;
onu_record *discovered_onu;

std::string mac_text(const uint8_t *mac)
{
    char text[18];
    return convert_to_mac(text, mac), text;
}

const profiler_handlers doubles = {
    [](int olt) { return calls.push_back("olt " + std::to_string(olt)), 0; },
    [](const uint8_t mac[6]) {
        calls.push_back("onu " + mac_text(mac));
        // The real configuration moves the ONU on; the sweep must not find it again.
        if (onu_record *onu = onu_get_by_mac_locked(mac)) {
            onu->state = ONU_STATE_CFGINPROGRESS;
            onu_unlock(onu);
        }
        return 0;
    },
    [](int olt, uint8_t *record) {
        calls.push_back("link " + std::to_string(olt) + " " + mac_text(record));
        return onu_lock(discovered_onu), discovered_onu;
    },
    [](onu_record *) { return calls.push_back("discovery"), 0; },
};

class Engine : public ChipFixture {
protected:
    bool with_chips() const override { return false; }
    void SetUp() override
    {
        ChipFixture::SetUp();
        calls.clear();
        discovered_onu = onu_at(0);
        ASSERT_EQ(profiler_set_handlers(&doubles), 0);
    }
    // Passes until the queues are empty; the number of items handled.
    int run_all()
    {
        int handled = 0;
        while (profiler_engine_pass(&engine, 0))
            handled++;
        return handled;
    }
    profiler_engine engine;
};

TEST_F(Engine, StrictPriorityABoundedOltQueueAndNoHandlerForAStrayKind)
{
    profiler_init_onu_reconfigure(ONU_A);
    for (int i = 0; i < 9; i++)   // the ninth is refused
        profiler_init_olt_reconfigure(i % 4);
    EXPECT_EQ(profiler_olt_queue()->used, 8u);
    profiler_init_link_discovery(1, discovery_record(ONU_A, ONU_A));
    uint8_t *invalid = discovery_record(ONU_B, ONU_B);
    invalid[LINK_RECORD_ONU_INFO + 2] = 0xB7;
    profiler_init_link_discovery(0, invalid);
    auto *stray = static_cast<profiler_work_item *>(BALLOC(sizeof(profiler_work_item)));
    memset(stray, 0, sizeof *stray);
    stray->kind = 2;   // between the known kinds
    ASSERT_EQ(mqueue_put(profiler_onu_queue(), stray), 0);

    EXPECT_EQ(run_all(), 12);
    EXPECT_EQ(calls.size(), 11u) << "neither the invalid link nor the stray item reached a handler";
    EXPECT_EQ(calls[0] + "|" + calls[2] + "|" + calls[9] + "|" + calls[10],
              "link 1 00:0D:B6:10:00:00|olt 0|olt 3|onu 00:0D:B6:10:00:00");
    EXPECT_NE(trace().find("check_TkOnuInfoTlv: LINK 00:0D:B6:20:00:00 returns invalid ONT info"), std::string::npos);
}

TEST_F(Engine, StartRefusesATableWithAMissingEntry)
{
    profiler_handlers table[4] = {doubles, doubles, doubles, doubles};
    table[0].olt_reconfigure = nullptr;
    table[1].onu_reconfigure = nullptr;
    table[2].link_discovery = nullptr;
    table[3].onu_discovery = nullptr;
    for (const auto &missing : table) {
        EXPECT_EQ(profiler_set_handlers(&missing), -1);
        EXPECT_EQ(profiler_init(&missing), -1) << "no thread is started";
    }
    EXPECT_EQ(profiler_init(nullptr), -1);
    profiler_init_olt_reconfigure(1);   // the table in use is still the whole one
    EXPECT_EQ(run_all(), 1);
    EXPECT_EQ(calls, std::vector<std::string>{"olt 1"});
}

TEST_F(Engine, StopEndsTheThreadInItsStartDelayAndInItsWaitForWork)
{
    clock_fake_set(100);   // time stands still: only work or the stop ends a wait
    ASSERT_EQ(profiler_init(&doubles), 0);
    ASSERT_TRUE(eventually([] { return clock_fake_waiters() == 1; }));
    profiler_stop();
    EXPECT_TRUE(calls.empty());
    unsigned done = profiler_counters_get().olt_reconfigure;
    ASSERT_EQ(profiler_init(&doubles), 0);
    profiler_init_olt_reconfigure(2);
    ASSERT_TRUE(advance_when_waiting(PROFILER_START_DELAY_SECONDS * 1000));
    ASSERT_TRUE(eventually([&] { return profiler_counters_get().olt_reconfigure == done + 1; }));
    ASSERT_TRUE(eventually([] { return clock_fake_waiters() == 1; }));
    profiler_stop();
    clock_fake_release();
    EXPECT_EQ(calls, std::vector<std::string>{"olt 2"});
}

TEST_F(Engine, PostingWithoutPoolMemoryLosesNothingElse)
{
    uint8_t *record = discovery_record(ONU_A, ONU_A);
    balloc_fail_nth(1);   // the item of a discovery cannot be had: the record goes back too
    profiler_init_link_discovery(0, record);
    balloc_fail_nth(1);
    profiler_init_olt_reconfigure(1);
    balloc_fail_nth(0);
    EXPECT_EQ(profiler_link_queue()->used + profiler_olt_queue()->used, 0u);
    EXPECT_NE(trace().find("profiler_init_link_discovery: "), std::string::npos);
}

TEST_F(Engine, IdleSweepQueuesOneDiscoveredOnuPerPassAfterSixEmptyOnes)
{
    make_onu(7, ONU_B, ONU_STATE_DISCOVERED);
    make_onu(3, ONU_A, ONU_STATE_DISCOVERED);
    make_onu(1, hex("00 0D B6 30 00 00").data(), ONU_STATE_OK);

    // Empty passes until the first that queues ONU work: how many.
    auto sweep_after = [&] {
        for (int pass = 1; pass <= 10; pass++)
            if (!profiler_engine_pass(&engine, 0) && profiler_onu_queue()->used)
                return pass;
        return 0;
    };
    EXPECT_EQ(sweep_after(), 7);
    EXPECT_TRUE(profiler_engine_pass(&engine, 0));   // ONU work keeps the engine idle
    EXPECT_EQ(sweep_after(), 1);
    EXPECT_TRUE(profiler_engine_pass(&engine, 0));
    EXPECT_EQ(calls, (std::vector<std::string>{"onu 00:0D:B6:10:00:00", "onu 00:0D:B6:20:00:00"}));

    // OLT work ends the idle state: six empty passes before the next sweep.
    onu_record *again = onu_at(3);
    again->state = ONU_STATE_DISCOVERED;
    profiler_init_olt_reconfigure(0);
    EXPECT_TRUE(profiler_engine_pass(&engine, 0));
    EXPECT_EQ(sweep_after(), 7);
    // A sweep that finds nothing is not repeated until an ONU changes
    // state; then the ONU that became DISCOVERED is found at once.
    EXPECT_TRUE(profiler_engine_pass(&engine, 0));
    EXPECT_FALSE(profiler_engine_pass(&engine, 0));
    onu_lock(again);
    onu_set_state(again, ONU_STATE_DISCOVERED);
    onu_unlock(again);
    EXPECT_EQ(sweep_after(), 1);
}

TEST_F(Engine, FlushRemovesOneOnusWorkAndKeepsTheOrderOfTheRest)
{
    onu_record *a = make_onu(0, ONU_A, ONU_STATE_AUTHOK);
    profiler_init_onu_reconfigure(ONU_A);
    profiler_init_onu_reconfigure(ONU_B);
    profiler_init_onu_reconfigure(ONU_A);
    profiler_init_link_discovery(0, discovery_record(hex("00 0D B6 10 00 02").data(), ONU_A));
    profiler_init_link_discovery(1, discovery_record(hex("00 0D B6 20 00 01").data(), ONU_B));
    profiler_init_link_discovery(0, discovery_record(ONU_A, ONU_A));
    profiler_init_link_discovery(2, discovery_record(ONU_B, ONU_B));
    onu_lock(a);
    profiler_flush_onu_work(a);
    onu_unlock(a);
    discovered_onu = onu_at(5);
    run_all();   // what of ONU A was left would show here; the fixture finds a record not given back
    EXPECT_EQ(calls, (std::vector<std::string>{"link 1 00:0D:B6:20:00:01", "discovery", "link 2 00:0D:B6:20:00:00",
                                               "discovery", "onu 00:0D:B6:20:00:00"}));
}

using ChipOps = ChipFixture;

TEST_F(ChipOps, PortAnswersAreReadWithinLenAndWhatArrived)
{
    size_t before = sim_->request_count();
    EXPECT_EQ(profiler_olt_update_state(4), TEKLINK_ERR_ARGUMENT);
    EXPECT_EQ(sim_->request_count(), before);

    // The chip's own datagram with a LEN of its choosing: the answer is read
    // within LEN and within the bytes that arrived, whichever ends first.
    // LEN claimed (RCODE + answer bytes), answer bytes sent after RCODE.
    const struct { uint16_t len; size_t arrived; int result; } rows[] = {{20, 18, 0}, {20, 10, 3}, {12, 18, 3}};
    for (const auto &r : rows) {
        sim_->set_handler(TEK_REQ_PORT_STATE, [this, r](int olt, const oltsim::request_record &request) {
            const uint16_t head[4] = {TEK_REQ_PORT_STATE, request.ctag, r.len, 0};   // ID, CTAG, LEN, RCODE
            oltsim::bytes datagram(8 + r.arrived, 0x42);
            for (int i = 0; i < 4; i++)
                store_be16(&datagram[2 * i], head[i]);
            sim_->send_raw(olt, datagram);
            return oltsim::answer{0, {}, true};
        });
        EXPECT_EQ(profiler_olt_update_state(1), r.result) << r.len << " " << r.arrived;
    }
}

// The default request is proven on the board's ONU road; a given packet is
// sent padded to the frame, one longer than the frame is refused.
TEST_F(ChipOps, EapRequestsCarryTheOnuMacAndThePacket)
{
    onu_record *onu = make_onu(0, ONU_A, ONU_STATE_ALLOCATED, 2);
    const uint8_t custom[8] = {0x01, 0x07, 0x00, 0x08, 0x01, 'a', 'b', 'c'};
    EXPECT_EQ(profiler_onu_send_eap_request(onu, custom), 0);
    const uint8_t too_long[4] = {0x01, 0x07, 0x00, 23};
    EXPECT_EQ(profiler_onu_send_eap_request(onu, too_long), TEKLINK_ERR_ARGUMENT);
    auto sent = requests(TEK_REQ_EAP_FRAME);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].olt, 2);
    EXPECT_EQ(sent[0].data, hex("00 0D B6 10 00 00 | 01 07 00 08 01 61 62 63 | 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
    uint8_t challenge[EAP_CHALLENGE_SIZE];
    EXPECT_FALSE(profiler_eap_challenge_take(onu, challenge)) << "no challenge of our own was sent";
    sim_->silence_olt(2, true);
    EXPECT_EQ(with_time_running([&] { return profiler_onu_send_eap_request(onu, custom); }), TEKLINK_ERR_TIMEOUT);
}

} // namespace
