// Chip events where the simulated board cannot steer them: a chip's ready
// event releasing its ONUs, a busy link, no pool block, alarms outside the
// tables, console text, and events whose LEN claims bytes that never came.
#include "common/chip_fixture.h"
#include "common/hex.h"

#include "chip/teklink_rxpool.h"
#include "events/tekhandlers.h"

#include <fstream>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t ONU_MAC[6] = {0x00, 0x0D, 0xB6, 0x44, 0x00, 0x00};

// An event block as the receive pool delivers it: short events carry their
// data after LEN, long (reassembled) ones after RCODE 0.
uint8_t *event(int olt, uint16_t id, const bytes &data)
{
    bool is_long = id >= 0x8011;
    size_t at = is_long ? TEKLINK_MSG_SEQN : TEKLINK_MSG_DATA;
    auto *msg = static_cast<uint8_t *>(BALLOC(long(at + data.size())));
    tekmsg_set_header(msg, uint16_t(olt), id, 0x55, uint16_t(data.size() + (is_long ? 4 : 0)));
    if (is_long)
        store_be16(msg + TEKLINK_MSG_DATA, 0);
    if (!data.empty())
        memcpy(msg + at, data.data(), data.size());
    return msg;
}

void process(int olt, uint16_t id, const bytes &data)
{
    uint8_t *msg = event(olt, id, data);
    events_process(msg);
    BFREE(msg);
}

using Events = ChipFixture;

// A chip that restarts unasked holds nothing for its ONUs any more: their
// records go (FREE), with the discoveries still queued for that OLT, before
// the OLT is configured again; another OLT's ONU and work stay.
TEST_F(Events, ReadyWithTheFilesVersionQueuesAReconfiguration)
{
    std::ofstream(root_.string() + OLT_APP_IMAGE, std::ios::binary) << "TK\x04\x03" << "app-image";
    olt_record *olt = olt_get(1);
    olt->path_slots[17] = 1;
    olt->onus_total = 1;
    onu_record *gone = make_onu(4, ONU_MAC, ONU_STATE_OK, 1);
    const uint8_t other_mac[6] = {0x00, 0x0D, 0xB6, 0x44, 0x00, 0x10};
    onu_record *other = make_onu(5, other_mac, ONU_STATE_OK, 2);
    for (int on : {1, 2}) {
        uint8_t link[6] = {0x00, 0x0D, 0xB6, 0x55, 0x00, uint8_t(on)};
        profiler_init_link_discovery(on, discovery_record(link, link));
    }
    // The chip's MAC, then the version of the file at 15..16.
    const bytes ready = hex("000DB6372301 000000000000000000 0304 000000000000000000000000000000");
    datastruct_hooks.flush_onu_work = profiler_flush_onu_work;
    process(1, TEK_EVENT_OLT_READY, ready);
    datastruct_hooks.flush_onu_work = nullptr;

    EXPECT_EQ(gone->state, ONU_STATE_FREE);
    EXPECT_EQ(other->state, ONU_STATE_OK);
    ASSERT_EQ(profiler_link_queue()->used, 1u);
    auto *kept = static_cast<profiler_work_item *>(mqueue_tryget(profiler_link_queue()));
    EXPECT_EQ(kept->olt, 2);
    BFREE(kept->record);
    BFREE(kept);
    EXPECT_LT(trace().find("to FREE"), trace().find("oltready_handler: OLT[1] in RESETOK state\n"));
    EXPECT_EQ(olt->path_slots[17], 0);
    EXPECT_EQ(profiler_olt_queue()->used, 1u);
}

TEST_F(Events, ALinkThatIsBusyOrWithoutAPoolBlockIsNotAccepted)
{
    onu_record *onu = make_onu(4, ONU_MAC, ONU_STATE_OK, 1);
    onu->links[1].state = ONU_STATE_REPORTTIMEOUT;
    bytes attempt(24, 0xA0);
    mac_add(&attempt[REGISTRATION_LINK_MAC], ONU_MAC, 2);
    process(1, TEK_EVENT_REGISTRATION, attempt);
    mac_add(&attempt[REGISTRATION_LINK_MAC], ONU_MAC, 1);
    process(1, TEK_EVENT_REGISTRATION, attempt);
    EXPECT_EQ(requests(TEK_REQ_REGISTRATION_ACCEPT).size(), 1u);
    EXPECT_EQ(count_of(trace(), "registrationattempt_handler: rejected\n"), 1);

    // No block for the discovery record: nothing queued, nothing
    // acknowledged, so the chip reports the link again.
    uint8_t *msg = event(3, TEK_EVENT_LINK_DISCOVERY, bytes(140));
    balloc_fail_nth(1);
    events_process(msg);
    balloc_fail_nth(0);
    BFREE(msg);
    EXPECT_EQ(profiler_link_queue()->used, 0u);
    EXPECT_TRUE(requests(TEK_REQ_DISCOVERY_ACK).empty());
}

// A port alarm sets the link status of the UNI it names, only for the link
// state and a port of the table; a link alarm times out the link it names.
TEST_F(Events, AlarmsActOnlyOnWhatTheirTablesHold)
{
    onu_record *onu = make_onu(2, ONU_MAC, ONU_STATE_OK);
    // Tag 2 (port), the ONU's MAC, port, alarm ID (17: link state), value.
    const std::pair<const char *, uint8_t> ports[] = {
        {"02 000DB6440000 0002 11 00", 1}, {"02 000DB6440000 0002 11 05", 0},
        {"02 000DB6440000 0001 10 00", 0}, {"02 000DB6440000 0004 11 00", 0}};
    for (auto [alarm, status] : ports) {
        process(0, TEK_EVENT_ALARM, hex(alarm));
        EXPECT_EQ(onu->uni[2].status[1] + onu->uni[1].status[1], status) << alarm;
    }
    EXPECT_EQ(onu->links[0].mac[0], ONU_MAC[0]) << "port 4 names no entry of the four";
    uint32_t changes = onu_change_counter_get();
    // Tag 7 (link), the link's MAC, alarm ID: only 23 is the report time-out.
    for (const char *alarm : {"07 000DB6440003 16", "07 000DB6440003 17", "07 000DB6440077 17"})
        process(0, TEK_EVENT_ALARM, hex(alarm));
    EXPECT_EQ(onu->links[3].state, ONU_STATE_REPORTTIMEOUT);
    EXPECT_EQ(onu->links[2].state, ONU_STATE_ALLOCATED);
    EXPECT_EQ(onu_change_counter_get(), changes + 1);
    EXPECT_NE(trace().find("alarm_oltlink: 00:0D:B6:44:00:77 in REPORTTIMEOUT state\n"), std::string::npos);
}

TEST_F(Events, ConsoleTextGoesToTheTerminalAndOtherEventsChangeNothing)
{
    size_t before = sim_->request_count();
    std::filesystem::create_directories(root_ / "dev/pts");
    std::ofstream(root_ / "dev/pts/0").close();
    std::string line = "olt> show version\r\n";
    process(0, TEK_EVENT_CONSOLE, bytes(line.begin(), line.end()));
    EXPECT_EQ(read_file(root_ / "dev/pts/0"), line);
    std::filesystem::remove(root_ / "dev/pts/0");
    process(0, TEK_EVENT_CONSOLE, bytes(line.begin(), line.end()));   // no terminal: dropped

    process(0, TEK_EVENT_EAP_FRAME, bytes(30));   // authentication's: from no ONU it knows
    EXPECT_NE(trace().find("eapframe_handler: onu_get_by_mac failed\n"), std::string::npos);
    process(7, TEK_EVENT_OLT_READY, bytes(32));
    process(9, TEK_EVENT_LINK_DISCOVERY, bytes(130));
    process(0, TEK_EVENT_ALARM, bytes());
    process(0, TEK_EVENT_DUPLICATE_LINK, bytes(6));
    EXPECT_EQ(sim_->request_count(), before);
    EXPECT_EQ(profiler_link_queue()->used, 0u);
}

// The receive path on the test's own thread (no chips, no receive thread):
// each datagram is checked, pooled, joined and queued as a chip's would be,
// and the event the queue delivers is handled. The block holds exactly the
// bytes that arrived, so with the pool mapped onto malloc (the ASan build)
// a read past them is reported, and in any build a handler that believed
// LEN would act on bytes that never came.
class ReceivedEvents : public Events {
protected:
    bool with_chips() const override { return false; }
    void SetUp() override
    {
        Events::SetUp();
        ASSERT_EQ(teklink_queues_init(), 0);
    }
    void TearDown() override
    {
        teklink_rxpool_clear();
        Events::TearDown();
    }
};

TEST_F(ReceivedEvents, ShortDatagramsWithALyingLenReadNothingPastWhatArrived)
{
    onu_record *onu = make_onu(2, ONU_MAC, ONU_STATE_OK);
    onu->uni[2].status[UNI_STATUS_LINK] = 0x55;
    olt_set_state(1, ONU_STATE_OK);
    const std::map<std::string, std::string> drops = {
        {"OLT ready: LEN 17, 10 data bytes", "events_process: event too short (10 bytes) dropped\n"},
        {"registration: LEN 28, 13 data bytes", "registrationattempt_handler: event too short (13 bytes) dropped\n"},
        {"link discovery: LEN 144, 100 data bytes", "linkdiscovery_handler: event too short (100 bytes) dropped\n"},
        {"duplicate link: LEN 10, 5 data bytes", "duplicate_onu_mac_handler: event too short (5 bytes) dropped\n"},
    };
    auto vectors = hex_vectors("events/short_events.hex");
    ASSERT_EQ(vectors.size(), 6u);
    for (const auto &[name, datagram] : vectors) {
        teklink_rx_datagram(1, datagram.data(), datagram.size());
        auto *event = static_cast<uint8_t *>(mqueue_tryget(&teklink_events_queue));
        ASSERT_NE(event, nullptr) << name;
        events_process(event);
        BFREE(event);
        if (drops.count(name)) {
            EXPECT_NE(trace().find(drops.at(name)), std::string::npos) << name;
        }
    }
    EXPECT_EQ(olt_get_state(1), ONU_STATE_OK);
    EXPECT_EQ(olt_get(1)->fw_version, 0);
    EXPECT_EQ(profiler_olt_queue()->used, 0u);
    EXPECT_EQ(profiler_link_queue()->used, 0u);
    EXPECT_EQ(onu->uni[2].status[UNI_STATUS_LINK], 0x55);
    EXPECT_EQ(onu->links[3].state, ONU_STATE_ALLOCATED);
    EXPECT_EQ(teklink_rxpool_used(), 0);
}

} // namespace
