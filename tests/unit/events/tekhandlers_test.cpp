// Chip events: the OLT ready path with and without a firmware upgrade,
// registration attempts, link discoveries, alarms, console text and the
// events nobody handles; against the in-process chip simulator.
#include "common/chip_fixture.h"

#include "base/bytes.h"
#include "store/datastruct.h"
#include "chip/teklink_rxpool.h"
#include "events/tekhandlers.h"
#include "oltsim/tftpserver.h"
#include "platform/clock.h"

#include <fstream>
#include <iterator>
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

bytes olt_ready(uint8_t last_mac_byte, uint16_t version)
{
    bytes data(32);
    const uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x37, 0x23, last_mac_byte};
    memcpy(data.data(), mac, 6);
    store_be16(&data[OLT_READY_VERSION], version);
    return data;
}

class Events : public ChipFixture {
protected:
    void BeforeStart() override { tftp_ = std::make_unique<oltsim::tftp_server>(*sim_); }
    // The images the simulated chips took, as "boot|app OLT content".
    std::vector<std::string> upgrades() const
    {
        std::vector<std::string> took;
        for (int olt = 0; olt < OLT_COUNT; olt++)
            for (const char *what : {"boot", "app"}) {
                oltsim::bytes image = tftp_->olt_file(olt, what);
                if (!image.empty())
                    took.push_back(std::string(what) + " " + std::to_string(olt) + " " +
                                   std::string(image.begin(), image.end()));
            }
        return took;
    }
    std::unique_ptr<oltsim::tftp_server> tftp_;
    void write_file(const char *board_path, const std::string &content)
    {
        std::ofstream out(root_.string() + board_path, std::ios::binary);
        out << content;
    }
    // An application image whose version word (bytes 2..3, little-endian) is `version`.
    void app_image(uint16_t version)
    {
        std::string image = "TK";
        image += char(version & 0xFF);
        image += char(version >> 8);
        image += "app-image";
        write_file(OLT_APP_IMAGE, image);
    }
};

TEST_F(Events, TheEventThreadServesUntilItsStopEndsTheWaitForTheNextEvent)
{
    clock_fake_set(100);   // time stands still, and the wait has no time-out: only an event or the stop ends it
    unsigned long handled = tekhandlers_events_handled();
    ASSERT_EQ(tekhandlers_start(), 0);
    oltsim::bytes attempt(14, 0);
    attempt[13] = 7;
    sim_->send_event(2, TEK_EVENT_REGISTRATION, attempt);
    ASSERT_TRUE(eventually([&] { return requests(TEK_REQ_REGISTRATION_ACCEPT).size() == 1; }));
    ASSERT_TRUE(eventually([&] { return tekhandlers_events_handled() == handled + 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));   // past its pause, back in the wait
    tekhandlers_stop();
    clock_fake_release();
}

// A chip that restarts unasked holds nothing for its ONUs any more: their
// records go (FREE), with the discoveries still queued for that OLT, before
// the OLT is configured again; another OLT's ONU and work stay.
TEST_F(Events, ReadyWithTheFilesVersionQueuesAReconfiguration)
{
    app_image(0x0304);
    olt_record *olt = olt_get(1);
    olt->missed_pings = 3;
    olt->path_slots[17] = 1;
    olt->onus_total = 1;
    onu_record *gone = make_onu(4, ONU_MAC, ONU_STATE_OK, 1);
    const uint8_t other_mac[6] = {0x00, 0x0D, 0xB6, 0x44, 0x00, 0x10};
    onu_record *other = make_onu(5, other_mac, ONU_STATE_OK, 2);
    for (int on : {1, 2}) {
        uint8_t link[6] = {0x00, 0x0D, 0xB6, 0x55, 0x00, uint8_t(on)};
        profiler_init_link_discovery(on, discovery_record(link, link));
    }
    datastruct_hooks.flush_onu_work = profiler_flush_onu_work;
    process(1, TEK_EVENT_OLT_READY, olt_ready(0x01, 0x0304));
    datastruct_hooks.flush_onu_work = nullptr;

    EXPECT_EQ(gone->state, ONU_STATE_FREE);
    EXPECT_EQ(other->state, ONU_STATE_OK);
    EXPECT_EQ(olt->onus_total, 0);
    ASSERT_EQ(profiler_link_queue()->used, 1u);
    auto *kept = static_cast<profiler_work_item *>(mqueue_tryget(profiler_link_queue()));
    EXPECT_EQ(kept->olt, 2);
    BFREE(kept->record);
    BFREE(kept);
    EXPECT_LT(trace().find("to FREE"), trace().find("oltready_handler: OLT[1] in RESETOK state"));

    EXPECT_EQ(olt_get_state(1), ONU_STATE_RESETOK);
    EXPECT_EQ(olt->index, 1);
    EXPECT_EQ(olt->fw_version, 0x0304);
    EXPECT_EQ(olt->mac[5], 0x01);
    EXPECT_EQ(olt->missed_pings, 0);
    EXPECT_EQ(olt->path_slots[17], 0);
    EXPECT_EQ(profiler_olt_queue()->used, 1u);
    EXPECT_NE(trace().find("oltready_handler: OLT[1] in RESETOK state\n"), std::string::npos);
    EXPECT_TRUE(upgrades().empty());
}

TEST_F(Events, AnotherVersionIsUpgradedAndWaitsForTheNextReady)
{
    app_image(0x0304);
    write_file(OLT_BOOT_IMAGE, "boot-image");
    process(2, TEK_EVENT_OLT_READY, olt_ready(0x02, 0x0300));
    std::vector<std::string> upgrades = this->upgrades();

    EXPECT_EQ(olt_get_state(2), ONU_STATE_RESETINPROGRESS);
    EXPECT_EQ(profiler_olt_queue()->used, 0u);
    ASSERT_EQ(upgrades.size(), 2u);
    EXPECT_EQ(upgrades[0], "boot 2 boot-image");
    EXPECT_EQ(upgrades[1].substr(0, 6), "app 2 ");
    EXPECT_EQ(trace().find("RESETOK"), std::string::npos);
}

TEST_F(Events, AFailedUpgradeCarriesOnToReady)
{
    // No image files at all: the file's version is 0, the upgrade cannot
    // read its image, and the chip goes on with what it runs.
    process(0, TEK_EVENT_OLT_READY, olt_ready(0x00, 0x0102));
    EXPECT_TRUE(upgrades().empty());
    EXPECT_EQ(olt_get_state(0), ONU_STATE_RESETOK);
    EXPECT_EQ(profiler_olt_queue()->used, 1u);
}

TEST_F(Events, RegistrationAttemptsAreEchoedUnlessTheLinkIsBusy)
{
    onu_record *onu = make_onu(4, ONU_MAC, ONU_STATE_OK, 1);
    uint8_t busy_link[6], free_link[6];
    mac_add(busy_link, ONU_MAC, 1);
    mac_add(free_link, ONU_MAC, 2);
    onu_lock(onu);
    onu->links[1].state = ONU_STATE_REPORTTIMEOUT;
    onu_unlock(onu);

    auto attempt = [](const uint8_t *mac) {
        bytes data(24);
        for (size_t i = 0; i < data.size(); i++)
            data[i] = uint8_t(0xA0 + i);
        memcpy(&data[REGISTRATION_LINK_MAC], mac, 6);
        return data;
    };
    const uint8_t unknown[6] = {0x00, 0x0D, 0xB6, 0x99, 0x00, 0x00};
    process(1, TEK_EVENT_REGISTRATION, attempt(unknown));
    process(1, TEK_EVENT_REGISTRATION, attempt(free_link));
    process(1, TEK_EVENT_REGISTRATION, attempt(busy_link));

    auto echoed = requests(TEK_REQ_REGISTRATION_ACCEPT);
    ASSERT_EQ(echoed.size(), 2u);
    EXPECT_EQ(echoed[0].olt, 1);
    EXPECT_EQ(echoed[0].data, attempt(unknown));
    EXPECT_EQ(echoed[1].data, attempt(free_link));
    std::string text = trace();
    EXPECT_NE(text.find("registrationattempt_handler: 00:0D:B6:99:00:00 on OLT[1]\n"), std::string::npos);
    EXPECT_EQ(count_of(text, "registrationattempt_handler: rejected\n"), 1);
}

TEST_F(Events, LinkDiscoveryIsQueuedAndAcknowledged)
{
    olt_record *olt = olt_get(3);
    const uint8_t olt_mac[6] = {0x00, 0x0D, 0xB6, 0x37, 0x23, 0x03};
    memcpy(olt->mac, olt_mac, 6);
    bytes data(140);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i);
    memcpy(data.data(), ONU_MAC, 6);
    data[LINK_RECORD_PORT] = 1;
    process(3, TEK_EVENT_LINK_DISCOVERY, data);

    ASSERT_EQ(profiler_link_queue()->used, 1u);
    auto *item = static_cast<profiler_work_item *>(mqueue_tryget(profiler_link_queue()));
    EXPECT_EQ(item->kind, PROFILER_LINK_DISCOVERY);
    EXPECT_EQ(item->olt, 3);
    EXPECT_EQ(memcmp(item->record, data.data(), LINK_DISCOVERY_RECORD_SIZE), 0);
    BFREE(item->record);
    BFREE(item);

    auto acks = requests(TEK_REQ_DISCOVERY_ACK);
    ASSERT_EQ(acks.size(), 1u);
    bytes expected(olt_mac, olt_mac + 6);
    expected.push_back(0);
    expected.push_back(1);
    expected.insert(expected.end(), ONU_MAC, ONU_MAC + 6);
    EXPECT_EQ(acks[0].data, expected);

    // No block for the record: nothing queued and nothing acknowledged, so
    // the chip reports the link again.
    uint8_t *msg = event(3, TEK_EVENT_LINK_DISCOVERY, data);
    balloc_fail_nth(1);
    events_process(msg);
    balloc_fail_nth(0);
    BFREE(msg);
    EXPECT_EQ(profiler_link_queue()->used, 0u);
    EXPECT_EQ(requests(TEK_REQ_DISCOVERY_ACK).size(), 1u);

    // Too short to hold a record: dropped the same way.
    process(3, TEK_EVENT_LINK_DISCOVERY, bytes(100));
    EXPECT_EQ(profiler_link_queue()->used, 0u);
}

TEST_F(Events, PortAlarmSetsTheUniLinkByteOnlyForItsTable)
{
    onu_record *onu = make_onu(2, ONU_MAC, ONU_STATE_OK);
    auto alarm = [](uint16_t port, uint8_t id, uint8_t value) {
        bytes data(11);
        data[0] = ALARM_TAG_PORT;
        memcpy(&data[1], ONU_MAC, 6);
        store_be16(&data[ALARM_PORT], port);
        data[ALARM_PORT_ID] = id;
        data[ALARM_PORT_VALUE] = value;
        return data;
    };
    process(0, TEK_EVENT_ALARM, alarm(2, 17, 0));
    EXPECT_EQ(onu->uni[2].status[1], 1);
    process(0, TEK_EVENT_ALARM, alarm(2, 17, 5));
    EXPECT_EQ(onu->uni[2].status[1], 0);
    process(0, TEK_EVENT_ALARM, alarm(1, 16, 0));
    EXPECT_EQ(onu->uni[1].status[1], 0);
    // Port 4 names no entry of the four: ignored, nothing beyond the table.
    uint8_t after = onu->links[0].mac[0];
    process(0, TEK_EVENT_ALARM, alarm(4, 17, 0));
    process(0, TEK_EVENT_ALARM, alarm(0xFFFF, 17, 0));
    EXPECT_EQ(onu->links[0].mac[0], after);
}

TEST_F(Events, LinkAlarmPutsTheLinkIntoReportTimeout)
{
    onu_record *onu = make_onu(2, ONU_MAC, ONU_STATE_OK);
    uint8_t link3[6];
    mac_add(link3, ONU_MAC, 3);
    uint32_t changes = onu_change_counter_get();
    bytes data(8);
    data[0] = ALARM_TAG_LINK;
    memcpy(&data[1], link3, 6);
    data[ALARM_LINK_ID] = 22;
    process(0, TEK_EVENT_ALARM, data);
    EXPECT_EQ(onu->links[3].state, ONU_STATE_ALLOCATED);

    data[ALARM_LINK_ID] = 23;
    process(0, TEK_EVENT_ALARM, data);
    EXPECT_EQ(onu->links[3].state, ONU_STATE_REPORTTIMEOUT);
    EXPECT_EQ(onu->links[2].state, ONU_STATE_ALLOCATED);
    EXPECT_EQ(onu_change_counter_get(), changes + 1);

    data[6] = 0x77;   // a link nobody has
    process(0, TEK_EVENT_ALARM, data);
    std::string text = trace();
    EXPECT_NE(text.find("alarm_oltlink: 00:0D:B6:44:00:03 in REPORTTIMEOUT state\n"), std::string::npos);
    EXPECT_NE(text.find("alarm_oltlink: 00:0D:B6:44:00:77 in REPORTTIMEOUT state\n"), std::string::npos);
}

TEST_F(Events, ConsoleTextGoesToTheTerminal)
{
    std::filesystem::create_directories(root_ / "dev/pts");
    write_file("/dev/pts/0", "");
    std::string line = "olt> show version\r\n";
    process(0, TEK_EVENT_CONSOLE, bytes(line.begin(), line.end()));
    std::ifstream in(root_ / "dev/pts/0");
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, line);
    std::filesystem::remove(root_ / "dev/pts/0");
    process(0, TEK_EVENT_CONSOLE, bytes(line.begin(), line.end()));   // no terminal: dropped
}

TEST_F(Events, UnhandledAndMalformedEvents)
{
    process(0, 0x8005, bytes(4));
    process(0, TEK_EVENT_EAP_FRAME, bytes(30));   // authentication's: from no ONU it knows
    process(0, 0x802C, bytes(4));
    std::string text = trace();
    EXPECT_NE(text.find("events_process: unhandled event (32773)\n"), std::string::npos);
    EXPECT_NE(text.find("eapframe_handler: onu_get_by_mac failed\n"), std::string::npos);
    EXPECT_NE(text.find("events_process: unhandled event (32812)\n"), std::string::npos);

    // Short or foreign events change nothing and send nothing.
    size_t before = sim_->request_count();
    process(0, TEK_EVENT_OLT_READY, bytes(10));
    process(7, TEK_EVENT_OLT_READY, olt_ready(0, 0));
    process(0, TEK_EVENT_REGISTRATION, bytes(13));
    process(9, TEK_EVENT_LINK_DISCOVERY, bytes(130));
    process(0, TEK_EVENT_ALARM, bytes());
    process(0, TEK_EVENT_DUPLICATE_LINK, bytes(5));
    process(0, TEK_EVENT_DUPLICATE_LINK, bytes(6));
    EXPECT_EQ(sim_->request_count(), before);
    EXPECT_EQ(olt_get_state(0), ONU_STATE_OK);
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
    // Delivers `datagram` from chip `olt`; the number of events handled.
    int receive(int olt, const bytes &datagram)
    {
        teklink_rx_datagram(uint16_t(olt), datagram.data(), datagram.size());
        int handled = 0;
        while (auto *event = static_cast<uint8_t *>(mqueue_tryget(&teklink_events_queue))) {
            events_process(event);
            BFREE(event);
            handled++;
        }
        return handled;
    }
};

TEST_F(ReceivedEvents, ShortDatagramsWithALyingLenReadNothingPastWhatArrived)
{
    onu_record *onu = make_onu(2, ONU_MAC, ONU_STATE_OK);
    onu->uni[2].status[UNI_STATUS_LINK] = 0x55;
    uint8_t link3[6];
    mac_add(link3, ONU_MAC, 3);
    olt_set_state(1, ONU_STATE_OK);

    struct row {
        const char *name;
        bytes datagram;
        const char *trace;   // the drop's trace line, when it has one
    } rows[] = {
        {"OLT ready: LEN 17, 10 data bytes",
         {0x80, 0x00, 0x00, 0x01, 0x00, 0x11,           // ID 0x8000, CTAG 1, LEN 17
          0x00, 0x0D, 0xB6, 0x37, 0x23, 0x01,           // MAC
          0x00, 0x00, 0x00, 0x00},                      // the version at 15..16 never came
         "events_process: event too short (10 bytes) dropped\n"},
        {"registration: LEN 28, 13 data bytes",
         {0x80, 0x14, 0x00, 0x02, 0x00, 0x1C,           // ID 0x8014, CTAG 2, LEN 4 + 24
          0x00, 0x0F, 0x00, 0x00,                       // RCODE 15 (last), SEQN 0
          0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
          0x00, 0x0D, 0xB6, 0x44, 0x00},                // link MAC cut after 5 of 6 bytes
         "registrationattempt_handler: event too short (13 bytes) dropped\n"},
        {"link discovery: LEN 144, 100 data bytes",
         [] {
             bytes d = {0x80, 0x19, 0x00, 0x03, 0x00, 0x90,   // ID 0x8019, CTAG 3, LEN 4 + 140
                        0x00, 0x0F, 0x00, 0x00};              // RCODE 15, SEQN 0
             d.resize(d.size() + 100, 0x11);
             return d;
         }(),
         "linkdiscovery_handler: event too short (100 bytes) dropped\n"},
        {"port alarm: LEN 15, value byte missing",
         {0x80, 0x1A, 0x00, 0x04, 0x00, 0x0F,           // ID 0x801A, CTAG 4, LEN 4 + 11
          0x00, 0x0F, 0x00, 0x00,                       // RCODE 15, SEQN 0
          0x02, 0x00, 0x0D, 0xB6, 0x44, 0x00, 0x00,     // tag 2 (port), ONU MAC
          0x00, 0x02, 0x11},                            // port 2, alarm 17 (link state), no value
         nullptr},
        {"link alarm: LEN 12, alarm ID missing",
         {0x80, 0x1A, 0x00, 0x05, 0x00, 0x0C,           // ID 0x801A, CTAG 5, LEN 4 + 8
          0x00, 0x0F, 0x00, 0x00,                       // RCODE 15, SEQN 0
          0x07, 0x00, 0x0D, 0xB6, 0x44, 0x00, 0x03},    // tag 7 (link), link MAC, no alarm ID
         nullptr},
        {"duplicate link: LEN 10, 5 data bytes",
         {0x80, 0x2B, 0x00, 0x06, 0x00, 0x0A,           // ID 0x802B, CTAG 6, LEN 4 + 6
          0x00, 0x0F, 0x00, 0x00,                       // RCODE 15, SEQN 0
          0x00, 0x0D, 0xB6, 0x44, 0x00},                // MAC cut after 5 bytes
         "duplicate_onu_mac_handler: event too short (5 bytes) dropped\n"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(receive(1, r.datagram), 1) << r.name;
        if (r.trace) {
            EXPECT_NE(trace().find(r.trace), std::string::npos) << r.name;
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
