// Actions on one ONU end to end in one process: the laser request bytes and
// where they go, firmware and personality transfers (or their refusal before
// any transfer), the transceiver page, the UNI block behind a duplicated MAC
// and RADIUS accounting on and off.
#include "cmd/cmd_onu_actions.h"

#include "auth/radius_accounting.h"
#include "chip/tftpxfer.h"
#include "maint/scheduler.h"
#include "oltsim/onu_ports.h"
#include "oltsim/tftpserver.h"
#include "wire/personality.h"

#include "cmd_fixture.h"

#include <fstream>

namespace {

const uint8_t ONU_MAC[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0x21};
const uint8_t LEARNED[6] = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};

void no_pause(unsigned) {}

TEST(LaserRequest, BytesInTheirPlaces)
{
    const uint8_t olt_mac[6] = {0x00, 0x0D, 0xB6, 0x37, 0x23, 0x01};
    uint8_t out[LASER_REQUEST_LEN];
    laser_request_encode(out, olt_mac, 1, ONU_MAC, 0x012C);
    const uint8_t want[LASER_REQUEST_LEN] = {
        0x00, 0x0D, 0xB6, 0x37, 0x23, 0x01,   // the OLT's MAC
        0x00, 0x01,                           // PON port 1
        0x00, 0x0D, 0xB6, 0x00, 0x00, 0x21,   // target ONU
        0x01, 0x2C,                           // 300 seconds
    };
    EXPECT_EQ(0, std::memcmp(out, want, sizeof want));
}

TEST(OnuAppImage, ByTypeCode)
{
    struct {
        uint8_t type;
        const char *image;
    } cases[] = {
        {0, nullptr}, {1, ONU_APP_IMAGE}, {18, ONU_APP_IMAGE}, {19, nullptr},
        {39, nullptr}, {40, ONU_APP_IMAGE_TYPE40}, {41, nullptr}, {255, nullptr},
    };
    auto text = [](const char *p) { return std::string(p ? p : "(none)"); };
    for (const auto &c : cases)
        EXPECT_EQ(text(onu_app_image_for(c.type)), text(c.image)) << int(c.type);
}

class OnuActions : public CmdFixture {
protected:
    void BeforeStart() override
    {
        saved_pause_ = tftp_pause;
        tftp_pause = no_pause;
        tftp_ = std::make_unique<oltsim::tftp_server>(*sim_);
        ports_ = std::make_unique<oltsim::onu_ports>(*sim_);
        ports_->attach();
        ports_->add(ONU_MAC);
        // The chips' learned-MAC lists: LEARNED behind destination 0x1234.
        sim_->set_handler(TEK_REQ_DEST_LEARNED_MACS, [](int, const oltsim::request_record &r) {
            oltsim::answer a;
            uint16_t dest = r.data.size() >= 2 ? load_be16(r.data.data()) : 0;
            // dest (2) | count (2) | one MAC of 6 per count
            a.data.assign(dest == 0x1234 ? 10 : 4, 0);
            store_be16(a.data.data(), dest);
            if (dest == 0x1234) {
                store_be16(a.data.data() + 2, 1);
                std::memcpy(a.data.data() + 4, LEARNED, 6);
            }
            return a;
        });
    }
    void TearDown() override
    {
        radius_accounting_close();
        CmdFixture::TearDown();
        tftp_pause = saved_pause_;
    }

    static std::vector<uint8_t> with_mac(std::vector<uint8_t> p, const uint8_t mac[6])
    {
        std::memcpy(p.data() + 8, mac, 6);
        return p;
    }
    void write_file(const char *board_path, const std::vector<uint8_t> &bytes)
    {
        std::ofstream out(root_.string() + board_path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    }
    // An OK ONU of `type` behind OLT `olt`, PON port 1, whose second UNI
    // path is destination 0x1234.
    onu_record *duplicate_onu(uint8_t type, int olt = 2)
    {
        make_listed_onu(3, ONU_MAC, type, olt);
        onu_record *onu = onu_at(3);
        onu_lock(onu);
        onu->port = 1;
        onu->uni_path[1] = 0x1234;
        onu_unlock(onu);
        return onu;
    }
    // Sends the duplicate-MAC command and waits for its handler to end.
    void duplicate(uint32_t olt, const uint8_t mac[6])
    {
        auto before = kernhandlers_counters_get().started;
        ASSERT_EQ(kernel_.command_async(0x5040, with_mac(params({{0, olt}}), mac)), 0);
        ASSERT_TRUE(eventually([&] {
            return kernhandlers_counters_get().started > before && kernhandlers_busy_slots() == 0;
        }));
    }

    // The UNI-blocked notifications received (state changes come and go
    // beside them).
    std::vector<kernmsg_notification> blocked_notes()
    {
        std::vector<kernmsg_notification> out;
        for (const auto &n : kernel_.notifications())
            if (n.code == EVENT_UNI_BLOCKED)
                out.push_back(n);
        return out;
    }

    void (*saved_pause_)(unsigned) = nullptr;
    std::unique_ptr<oltsim::tftp_server> tftp_;
    std::unique_ptr<oltsim::onu_ports> ports_;
};

TEST_F(OnuActions, LaserShutdownGoesWhereTheMacSays)
{
    struct {
        const char *name;
        uint8_t mac[6];
        bool known;
        uint32_t port;
        std::vector<std::pair<int, uint16_t>> sent;   // (OLT, PON port)
    } cases[] = {
        {"all ONUs: the port number's OLT and PON port", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, 5, {{2, 1}}},
        // 131072 / 2 cut to 16 bits would be OLT 0.
        {"all ONUs on a port past the eighth: nothing", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, 131072, {}},
        {"all ONUs on port 8: nothing", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, 8, {}},
        {"a known ONU: its own OLT and port", {0x00, 0x0D, 0xB6, 0x00, 0x00, 0x21}, true, 0, {{3, 0}}},
        {"an unknown MAC: every PON port",
         {0x00, 0x0D, 0xB6, 0x00, 0x00, 0x99},
         false,
         0,
         {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {3, 0}, {3, 1}}},
    };
    for (const auto &c : cases) {
        if (c.known)
            make_listed_onu(0, c.mac, 1, 3);
        size_t before = requests(TEK_REQ_LASER_SHUTDOWN).size();
        cmd_answer a = send(0x2050, with_mac(params({{0, 0x10078}, {4, c.port}}), c.mac));
        EXPECT_EQ(a.rcode, 0) << c.name;
        EXPECT_TRUE(a.data.empty()) << c.name;
        auto sent = requests(TEK_REQ_LASER_SHUTDOWN);
        ASSERT_EQ(sent.size() - before, c.sent.size()) << c.name;
        for (size_t i = 0; i < c.sent.size(); i++) {
            const auto &r = sent[before + i];
            EXPECT_EQ(r.olt, c.sent[i].first) << c.name;
            ASSERT_EQ(r.len, LASER_REQUEST_LEN) << c.name;
            EXPECT_EQ(load_be16(r.data.data() + 6), c.sent[i].second) << c.name;
            EXPECT_EQ(0, std::memcmp(r.data.data() + 8, c.mac, 6)) << c.name;
            EXPECT_EQ(load_be16(r.data.data() + 14), 0x0078) << c.name << ": the low 16 bits";
        }
    }
    // A refusing chip changes nothing in the answer.
    sim_->rcode_next(0, 3, 8);
    EXPECT_EQ(send(0x2050, with_mac(params({{0, 5}, {4, 0}}), cases[0].mac)).rcode, 0);
}

TEST_F(OnuActions, FirmwareUpgradeOnlyForKnownTypesWithAnImage)
{
    write_file(ONU_APP_IMAGE, std::vector<uint8_t>(1500, 0x5A));
    auto p = with_mac(params({{20, 0x77}}), ONU_MAC);

    cmd_answer unknown = send(0x2012, p);
    EXPECT_EQ(unknown.rcode, 3);
    EXPECT_EQ(unknown.data, p);

    make_listed_onu(0, ONU_MAC, 19);
    EXPECT_EQ(send(0x2012, p).rcode, 3);
    make_listed_onu(0, ONU_MAC, 40);   // its image is not there
    EXPECT_EQ(send(0x2012, p).rcode, 3);
    EXPECT_TRUE(tftp_->packets().empty()) << "no transfer for a type without an image";

    // The record's own type counts, not a summary slot that may already
    // mirror whatever reused it: here the summary still says 40.
    onu_lock(onu_at(0));
    onu_at(0)->type = 7;
    onu_unlock(onu_at(0));
    cmd_answer done = send(0x2012, p);
    EXPECT_EQ(done.rcode, 0);
    EXPECT_EQ(done.data, p);
    oltsim::mac_address mac;
    std::copy(ONU_MAC, ONU_MAC + 6, mac.begin());
    EXPECT_EQ(tftp_->onu_file(mac, "app"), std::vector<uint8_t>(1500, 0x5A));
}

TEST_F(OnuActions, PersonalityReadAndWrite)
{
    auto p = with_mac(params({}), ONU_MAC);
    cmd_answer none = send(0x2013, p);
    EXPECT_EQ(none.rcode, 3);
    EXPECT_EQ(none.data.size(), 32u);

    make_listed_onu(0, ONU_MAC, 1);
    oltsim::mac_address mac;
    std::copy(ONU_MAC, ONU_MAC + 6, mac.begin());
    auto image = oltsim::tftp_server::make_onu_personality(ONU_PERS_SIZE, 7);
    tftp_->set_onu_personality(mac, image);
    cmd_answer read = send(0x2013, p);
    ASSERT_EQ(read.rcode, 0);
    ASSERT_EQ(read.data.size(), 2445u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), read.data.begin() + 32));

    // One byte short of a personality: not written.
    std::vector<uint8_t> shorter(p);
    shorter.insert(shorter.end(), image.begin(), image.end() - 1);
    EXPECT_EQ(send(0x2014, shorter).rcode, CMD_RC_UNSUPPORTED);
    EXPECT_TRUE(tftp_->onu_file(mac, "personality").empty());

    std::vector<uint8_t> whole(p);
    whole.insert(whole.end(), image.begin(), image.end());
    cmd_answer written = send(0x2014, whole);
    EXPECT_EQ(written.rcode, 0);
    EXPECT_EQ(written.data, p);
    EXPECT_EQ(tftp_->onu_file(mac, "personality").size(), ONU_PERS_SIZE);
}

TEST_F(OnuActions, TriplexerPageOfAConnectedOnu)
{
    auto p = with_mac(params({}), ONU_MAC);
    cmd_answer none = send(0x2021, p);
    EXPECT_EQ(none.rcode, 3);
    ASSERT_EQ(none.data.size(), 288u);
    EXPECT_TRUE(std::all_of(none.data.begin() + 32, none.data.end(), [](uint8_t b) { return b == 0; }));

    make_listed_onu(0, ONU_MAC, 1);
    ports_->update(ONU_MAC, [](oltsim::onu_device &d) {
        for (size_t i = 0; i < d.a2.size(); i++)
            d.a2[i] = uint8_t(i ^ 0x5A);
    });
    cmd_answer page = send(0x2021, p);
    ASSERT_EQ(page.rcode, 0);
    ASSERT_EQ(page.data.size(), 288u);
    for (size_t i = 0; i < 256; i++)
        ASSERT_EQ(page.data[32 + i], uint8_t(i ^ 0x5A)) << i;

    sim_->rcode_next(0, 3, 4);
    EXPECT_EQ(send(0x2021, p).rcode, 3);
}

TEST_F(OnuActions, AccountingStartsOnce)
{
    EXPECT_EQ(send(0x2031, {}).rcode, 0);
    EXPECT_EQ(send(0x2031, {}).rcode, 255);
    EXPECT_EQ(send(0x2032, {}).rcode, 0);
    radius_accounting_close();
    EXPECT_EQ(send(0x2031, {}).rcode, 0);
}

TEST_F(OnuActions, DuplicateMacBlocksTheUniByType)
{
    struct {
        const char *name;
        uint8_t type;
        bool already;                 // the UNI was blocked before
        std::vector<uint16_t> ids;    // chip requests of the block, in order
        bool notified;
    } cases[] = {
        {"type 1: the port disabled", 1, false, {TEK_REQ_PORT_DISABLE}, true},
        {"type 2: again, even when blocked", 2, true, {TEK_REQ_PORT_DISABLE}, true},
        {"type 9: configuration opened, PON port parameters", 9, false,
         {TEK_REQ_ONU_CONFIG_START, TEK_REQ_ONU_PON_PARAMS}, true},
        {"type 9 already blocked: nothing sent", 9, true, {}, true},
        {"type 40: no way to block", 40, false, {}, false},
    };
    for (const auto &c : cases) {
        onu_record *onu = duplicate_onu(c.type);
        onu_lock(onu);
        onu->uni[2].blocked = c.already;
        onu_unlock(onu);
        size_t notes = blocked_notes().size();
        size_t before = sim_->request_log().size();
        clock_fake_set(5000);
        duplicate(2, LEARNED);

        std::vector<uint16_t> ids;
        auto log = sim_->request_log();
        for (size_t i = before; i < log.size(); i++)
            if (log[i].id != TEK_REQ_DEST_LEARNED_MACS) {
                ids.push_back(log[i].id);
                EXPECT_EQ(0, std::memcmp(log[i].data.data(), ONU_MAC, 6)) << c.name;
                EXPECT_EQ(log[i].olt, 2) << c.name;
            }
        EXPECT_EQ(ids, c.ids) << c.name;
        onu_lock(onu);
        EXPECT_EQ(onu->uni[2].blocked, c.notified ? 1 : 0) << c.name;
        if (c.notified && !c.already) {
            EXPECT_EQ(onu->uni[2].blocked_time, 5000u) << c.name;
        }
        onu_unlock(onu);
        if (!c.already) {
            uint8_t summary[ONU_SUMMARY_SIZE];
            onu_summary_read(3, summary);
            EXPECT_EQ(summary[offsetof(onu_summary, uni_blocked)] != 0, c.notified) << c.name;
        }
        if (c.notified) {
            ASSERT_TRUE(eventually([&] { return blocked_notes().size() == notes + 1; })) << c.name;
            auto n = blocked_notes().back();
            EXPECT_EQ(n.num[0], 2u);
            EXPECT_STREQ(n.text, "02:AA:BB:CC:DD:EE UNI port 2 blocked");
        } else {
            EXPECT_EQ(blocked_notes().size(), notes) << c.name;
        }
        EXPECT_EQ(kernhandlers_mac_duplicate_count(), 0) << c.name;
        onu_lock(onu);
        onu_release(onu);
        onu_unlock(onu);
    }
    EXPECT_EQ(count_of(trace(), "handler_onu_mac_duplicate [DEBUG] Mac duplicate process decreased, count = 0!"),
              int(std::size(cases)));
}

TEST_F(OnuActions, DuplicateMacNowhereToBeFoundChangesNothing)
{
    duplicate_onu(1);
    const uint8_t stranger[6] = {0x02, 0, 0, 0, 0, 1};
    duplicate(2, stranger);   // learned nowhere
    duplicate(1, LEARNED);    // asked on the wrong OLT
    duplicate(4, LEARNED);    // no such OLT
    EXPECT_TRUE(requests(TEK_REQ_PORT_DISABLE).empty());
    EXPECT_TRUE(blocked_notes().empty());
    EXPECT_EQ(kernhandlers_mac_duplicate_count(), 0);
}

} // namespace
