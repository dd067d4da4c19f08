// ponctl's ONU and schedule side without a daemon: the requests its
// arguments make (and the arguments it refuses), and its decoders over
// canned answers laid out as the daemon sends them, short ones included.
#include "base/bytes.h"
#include "common/hex.h"
#include "common/mgmt_conn.h"
#include "ponctl/commands.h"
#include "ponctl/decode.h"
#include "ponctl/onu_decode.h"

#include "common/wait.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <sstream>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using nlohmann::json;

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The request a command line makes: code and payload, or false.
bool request(const std::vector<std::string> &words, uint16_t &code, bytes &payload)
{
    size_t used = 0;
    const ponctl_command *command = ponctl_find(words, &used);
    if (!command)
        return false;
    code = command->code;
    return command->build(std::vector<std::string>(words.begin() + long(used), words.end()), code, payload);
}

// An answer message: header with `rcode`, then the payload.
bytes answer(uint8_t rcode, const bytes &payload)
{
    kernmsg_header h;
    h.rcode = rcode;
    return mgmt_build(h, payload);
}

std::string printed(const std::vector<std::string> &words, const bytes &message, bool json_out = false)
{
    size_t used = 0;
    const ponctl_command *command = ponctl_find(words, &used);
    EXPECT_NE(command, nullptr);
    std::string out;
    ponctl_json = json_out;
    command->print(message, out);
    ponctl_json = false;
    return out;
}

// A summary's first 27 bytes as the lists carry them.
bytes summary(uint32_t ont_id, uint8_t type, const std::string &mac, uint8_t olt, uint8_t pon, uint32_t state,
              uint16_t drssi, int16_t video, uint16_t fw)
{
    bytes e(ONU_LIST_COMPACT, 0);
    store_le32(&e[0], ont_id);
    e[4] = type;
    e[5] = 3;   // hardware
    ponctl_mac(mac, &e[6]);
    e[12] = olt;
    e[13] = pon;
    store_le32(&e[14], state);
    store_le16(&e[18], drssi);
    store_le16(&e[20], uint16_t(video));
    store_le16(&e[22], fw);
    e[26] = 4;
    return e;
}

TEST(PonctlOnuRequests, ArgumentsBecomeParameterBlocks)
{
    struct {
        std::vector<std::string> words;
        uint16_t code;
        const char *payload;   // the parameter block up to its last set byte; zeros follow
    } cases[] = {
        {{"onu", "list"}, 0x2003, ""},
        // OLT index u32 at 0
        {{"onu", "list", "--olt", "2"}, 0x2004, "02000000"},
        {{"onu", "list", "--full"}, 0x2026, ""},
        {{"onu", "list", "--full", "--olt", "3"}, 0x2027, "03000000"},
        // MAC at 8..13
        {{"onu", "show", "00:0d:b6:10:00:01"}, 0x2005, "00000000 00000000 000DB6100001"},
        {{"onu", "desc", "00-0D-B6-10-00-01"}, 0x200F, "00000000 00000000 000DB6100001"},
        // no port: 255, every port is searched
        {{"onu", "find", "02:00:00:00:00:09"}, 0x2015, "FF000000 00000000 020000000009"},
        {{"onu", "find", "02:00:00:00:00:09", "--port", "5"}, 0x2015, "05000000 00000000 020000000009"},
        {{"onu", "macs", "7"}, 0x100F, "07000000"},
        {{"onu", "macs", "--onu", "00:0D:B6:10:00:01"}, 0x1011, "00000000 00000000 000DB6100001"},
        {{"onu", "addrs", "1"}, 0x1010, "01000000"},
        // duration u32 at 0, port u32 at 4
        {{"onu", "laser", "00:0D:B6:10:00:01", "30"}, 0x2050, "1E000000 00000000 000DB6100001"},
        {{"onu", "laser", "FF:FF:FF:FF:FF:FF", "65535", "--port", "6"}, 0x2050, "FFFF0000 06000000 FFFFFFFFFFFF"},
        // kind u16 at 0, MAC at 8
        {{"schedule", "add", "00:0D:B6:10:00:01", "firmware"}, 0x6001, "0100 0000 00000000 000DB6100001"},
        {{"schedule", "del", "00:0D:B6:10:00:01", "reconfiguration"}, 0x6002, "0300 0000 00000000 000DB6100001"},
        {{"schedule", "list", "personality"}, 0x6003, "0200"},
        {{"schedule", "clear", "0x102"}, 0x6004, "0201"},
        {{"schedule", "add-all", "firmware"}, 0x6005, "0100"},
        // type u32 at 4
        {{"schedule", "add-type", "1", "40"}, 0x6006, "0100 0000 28000000"},
        {{"changes"}, 0x0018, ""},
        {{"accounting", "start"}, 0x2031, ""},
    };
    for (const auto &c : cases) {
        uint16_t code = 0;
        bytes payload;
        ASSERT_TRUE(request(c.words, code, payload)) << c.words[1];
        EXPECT_EQ(code, c.code) << c.words[1];
        bytes want = hex(c.payload);
        want.resize(PONCTL_PARAMS, 0);
        EXPECT_EQ(payload, want) << c.words[0] << " " << c.words[1];
    }
}

TEST(PonctlOnuDecode, ListEntriesSkipUnusedOnesAndDecodeTheSummary)
{
    bytes area;
    bytes first = summary(1, 1, "00:0D:B6:10:00:00", 0, 1, 7, 410, 10000, 0x0210);
    bytes second = summary(0, 40, "00:0D:B6:10:00:30", 3, 0, 4, 0, 0, 0);
    bytes unused(ONU_LIST_COMPACT, 0xFF);
    for (const bytes *e : {&first, &unused, &second, &unused})
        area.insert(area.end(), e->begin(), e->end());
    area.resize(area.size() + 5, 0xFF);   // a tail shorter than an entry

    json onus = onu_list_entries(area.data(), area.size(), ONU_LIST_COMPACT);
    ASSERT_EQ(onus.size(), 2u);
    EXPECT_EQ(onus[0]["mac"], "00:0D:B6:10:00:00");
    EXPECT_EQ(onus[0]["ont_id"], 1);
    EXPECT_EQ(onus[0]["olt"], 0);
    EXPECT_EQ(onus[0]["pon"], 1);
    EXPECT_EQ(onus[0]["state_name"], "OK");
    EXPECT_EQ(onus[0]["firmware_text"], "2.10");
    EXPECT_EQ(onus[0]["model"], "ONTM-01");
    EXPECT_EQ(onus[0]["drssi"], 410);
    EXPECT_EQ(onus[0]["video_dbm"], 0.0) << "10000 tenths of a microwatt is 1 mW";
    EXPECT_EQ(onus[0]["discovered_links"], 4);
    EXPECT_FALSE(onus[0].contains("info"));
    EXPECT_EQ(onus[1]["state_name"], "AUTHFAILED");
    EXPECT_EQ(onus[1]["firmware_text"], "x.x");
    EXPECT_EQ(onus[1]["model"], "ONTM-40");
    EXPECT_TRUE(onus[1]["video_dbm"].is_null()) << "no light";

    // A negative stored video power is the transceiver's word above 32767.
    bytes bright = summary(2, 1, "00:0D:B6:10:00:40", 0, 0, 15, 0, -25536, 0x0102);   // 40000
    json j = onu_list_entries(bright.data(), bright.size(), ONU_LIST_COMPACT);
    EXPECT_EQ(j[0]["video_dbm"], 6.02);
    EXPECT_EQ(j[0]["state_name"], "UNKNOWN");

    // A full entry carries the information block after the summary.
    bytes full = first;
    for (int i = 0; i < 64; i++)
        full.push_back(uint8_t(i));
    full.resize(full.size() + ONU_LIST_FULL, 0xFF);
    json f = onu_list_entries(full.data(), full.size(), ONU_LIST_FULL);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0]["info"].get<std::string>().substr(0, 11), "00 01 02 03");
    EXPECT_NE(onu_list_table(f, true).find("  info 00 01 02"), std::string::npos);

    // The table and the redraw's header line.
    std::string table = onu_list_table(onus, false);
    EXPECT_NE(table.find("00:0D:B6:10:00:00  0/1            1  OK              2.10      ONTM-01     410  0.00 dBm"),
              std::string::npos)
        << table;
    EXPECT_EQ(onu_list_header(onus, "12:00:00"), "12:00:00  ONUs 2  AUTHFAILED 1  OK 1\n");
    // Counted in the order of the state codes: OK (7) before DISCOVERED (11).
    json three = json::array({{{"state", 11}}, {{"state", 7}}, {{"state", 11}}});
    EXPECT_EQ(onu_list_header(three, "00:00:01"), "00:00:01  ONUs 3  OK 1  DISCOVERED 2\n");
}

// An ONU record laid out in its own order: the answer sends it in three
// pieces, so a field of each piece shows the order is undone.
bytes record_answer()
{
    bytes r(ONU_RECORD_SIZE, 0);
    store_le32(&r[0], 77);                                  // ONT id
    memcpy(&r[4], "lobby", 5);                              // description
    r[260] = 2;                                             // type
    r[262] = 0x37, r[263] = 0x14;                           // chip, as received
    store_le16(&r[264], 0x0210);                            // firmware
    ponctl_mac("00:0D:B6:10:00:00", &r[266]);
    r[272] = 1, r[273] = 1, r[274] = 255;                   // OLT, PON, configured port: any
    memcpy(&r[339], "secret", 6);                           // never printed
    memcpy(&r[412], "LTY9775A-CCG1", 13);                   // transceiver
    memcpy(&r[428 + 461], "UNI0", 4);                       // UNI entry 1
    r[428 + 461 + 72] = 1;                                  // blocked
    ponctl_mac("02:00:00:00:00:09", &r[428 + 461 + 77]);    // a learned MAC
    ponctl_mac("00:0D:B6:10:00:01", &r[2272 + 22]);         // link 1
    store_le16(&r[2272 + 22 + 6], 0x1001);                  // LLID
    store_le16(&r[2272 + 22 + 8], 8322);                    // path
    store_le16(&r[2272 + 22 + 12], 1);                      // link index
    store_le32(&r[2272 + 22 + 14], 7);                      // OK
    store_le32(&r[2364], 7);                                // ONU state OK
    store_le32(&r[2384], 1u << 16 | 1u << 31 | 0x3);        // configured OK, egress swap, links 0 and 1
    r[18468] = 4;                                           // link count
    bytes a(PONCTL_PARAMS, 0);
    a.insert(a.end(), r.begin() + 428, r.begin() + 2400);
    a.insert(a.end(), r.begin(), r.begin() + 428);
    a.insert(a.end(), r.begin() + 2400, r.begin() + 18473);
    return a;
}

TEST(PonctlOnuDecode, RecordIsPutBackTogetherFromItsThreePieces)
{
    bytes a = record_answer();
    ASSERT_EQ(a.size(), ONU_RECORD_ANSWER);
    json j = onu_record_decode(a);
    EXPECT_EQ(j["ont_id"], 77);
    EXPECT_EQ(j["description"], "lobby");
    EXPECT_EQ(j["mac"], "00:0D:B6:10:00:00");
    EXPECT_EQ(j["chip"], "0x3714");
    EXPECT_EQ(j["configured_port"], "any");
    EXPECT_EQ(j["transceiver"], "LTY9775A-CCG1");
    EXPECT_EQ(j["state_name"], "OK");
    EXPECT_EQ(j["link_count"], 4);
    EXPECT_EQ(j["flags"]["configured_links"], 3);
    EXPECT_TRUE(j["flags"]["configured_ok"]);
    EXPECT_TRUE(j["flags"]["egress_swap"]);
    EXPECT_FALSE(j["flags"]["from_radius"]);
    ASSERT_EQ(j["links"].size(), 1u) << "links not in use are left out";
    EXPECT_EQ(j["links"][0]["mac"], "00:0D:B6:10:00:01");
    EXPECT_EQ(j["links"][0]["llid"], 0x1001);
    EXPECT_EQ(j["links"][0]["path"], 8322);
    EXPECT_EQ(j["links"][0]["state_name"], "OK");
    ASSERT_EQ(j["uni_ports"].size(), 1u);
    EXPECT_EQ(j["uni_ports"][0]["name"], "UNI0");
    EXPECT_TRUE(j["uni_ports"][0]["blocked"]);
    EXPECT_EQ(j["uni_ports"][0]["learned_macs"], json::array({"02:00:00:00:00:09"}));
    EXPECT_EQ(j.dump().find("secret"), std::string::npos);

    std::string text = onu_record_text(j);
    EXPECT_NE(text.find("ONU 00:0D:B6:10:00:00  ONT id 77  state OK"), std::string::npos) << text;
    EXPECT_NE(text.find("OLT 1 port 1  configured port any\n"), std::string::npos) << text;
    EXPECT_NE(text.find("   1  00:0D:B6:10:00:01  0x1001   8322     0  OK"), std::string::npos) << text;
    EXPECT_EQ(text.find("secret"), std::string::npos);

    a.pop_back();
    EXPECT_TRUE(onu_record_decode(a).contains("error"));
}

TEST(PonctlOnuDecode, LookUpIgmpAndScheduleAnswers)
{
    bytes echo(PONCTL_PARAMS, 0);
    // 0x2015: ONT id 5 | ONU MAC | state OK | OLT 2, PON 1, UNI 2
    bytes find = echo;
    for (uint8_t b : hex("05000000 000DB6100000 07000000 02 01 02"))
        find.push_back(b);
    json f = onu_find_decode(find);
    EXPECT_EQ(f["ont_id"], 5);
    EXPECT_EQ(f["mac"], "00:0D:B6:10:00:00");
    EXPECT_EQ(f["state_name"], "OK");
    EXPECT_EQ(f["olt"], 2);
    EXPECT_EQ(f["uni"], 2);
    find.pop_back();
    EXPECT_TRUE(onu_find_decode(find).contains("error"));

    // 0x1013: count 2 | 239.1.2.3 kind 0 | 224.0.0.9 kind 2, then zeros.
    bytes igmp = echo;
    for (uint8_t b : hex("02 EF010203 00 000000 E0000009 02 000000"))
        igmp.push_back(b);
    igmp.resize(PONCTL_PARAMS + 257, 0);
    json g = onu_igmp_decode(igmp);
    ASSERT_EQ(g["groups"].size(), 2u);
    EXPECT_EQ(g["groups"][0]["group"], "239.1.2.3");
    EXPECT_EQ(g["groups"][1]["kind"], 2);
    // A count beyond the 32 entries the answer holds stops at 32.
    igmp[PONCTL_PARAMS] = 200;
    EXPECT_EQ(onu_igmp_decode(igmp)["groups"].size(), 32u);
    igmp.resize(PONCTL_PARAMS + 10);   // count, one entry and a piece
    EXPECT_TRUE(onu_igmp_decode(igmp).contains("error"));

    // 0x6003: 32 zero bytes, then MAC | kind | status per job, and a
    // closing zero entry.
    bytes jobs = echo;
    for (uint8_t b : hex("000DB6100000 0100 01000000  000DB6100030 0300 03000000  000000000000 0000 00000000"))
        jobs.push_back(b);
    json s = schedule_list_decode(jobs);
    ASSERT_EQ(s["jobs"].size(), 2u);
    EXPECT_EQ(s["jobs"][0]["kind_name"], "firmware");
    EXPECT_EQ(s["jobs"][0]["status_name"], "waiting");
    EXPECT_EQ(s["jobs"][1]["kind_name"], "reconfiguration");
    EXPECT_EQ(s["jobs"][1]["status_name"], "failed");
    EXPECT_NE(schedule_list_text(s).find("00:0D:B6:10:00:30  reconfiguration  failed"), std::string::npos);
}

TEST(PonctlOnuDecode, ListingsKeepWholeRecordsOnly)
{
    // Echo with the record count 2 at 4..7, then per record: ONT id | ONU MAC
    // | state | OLT | PON | path | count | MACs.
    bytes a = hex("00000000 02000000 000000000000000000000000000000000000000000000000"
                  "03000000 000DB6100000 07000000 00 01 01 02 020000000001 020000000002"
                  "04000000 000DB6100040 07000000 00 01 02 01 0200000000");   // cut inside its MAC
    json j = onu_listing_decode(a, 6);
    ASSERT_EQ(j["records"].size(), 1u);
    EXPECT_EQ(j["count"], 2);
    EXPECT_EQ(j["records"][0]["mac"], "00:0D:B6:10:00:00");
    EXPECT_EQ(j["records"][0]["path"], 1);
    EXPECT_EQ(j["records"][0]["entries"], json::array({"02:00:00:00:00:01", "02:00:00:00:00:02"}));
    EXPECT_TRUE(j.contains("warning"));
    EXPECT_NE(onu_listing_text(j).find("short answer: 1 of 2 records"), std::string::npos);

    // Address entries are 20 bytes; the word at 6 is in host order.
    bytes e = hex("00000000 01000000 000000000000000000000000000000000000000000000000"
                  "03000000 000DB6100000 07000000 00 00 01 01"
                  "0A000001 0000 3412 00000000000000000000000000");
    json k = onu_listing_decode(e, 20);
    ASSERT_EQ(k["records"].size(), 1u);
    EXPECT_EQ(k["records"][0]["entries"][0]["value"], 0x1234);
    EXPECT_FALSE(k.contains("warning"));
}

TEST(PonctlOnuDecode, TransceiverPageReadings)
{
    bytes a(PONCTL_PARAMS + 256, 0);
    uint8_t *page = &a[PONCTL_PARAMS];
    store_be16(page + 96, 0x1980);    // 25.5 C
    store_be16(page + 98, 33000);     // 3.3 V
    store_be16(page + 100, 5000);     // 10 mA
    store_be16(page + 102, 10000);    // 0 dBm
    store_be16(page + 104, 1000);     // -10 dBm
    store_be16(page + 106, 0);        // no video light
    json j = onu_triplexer_decode(a);
    EXPECT_EQ(j["temperature_c"], 25.5);
    EXPECT_EQ(j["vcc_v"], 3.3);
    EXPECT_EQ(j["tx_bias_ma"], 10.0);
    EXPECT_EQ(j["tx_power_dbm"], 0.0);
    EXPECT_EQ(j["rx_power_dbm"], -10.0);
    EXPECT_TRUE(j["video_power_dbm"].is_null());
    std::string text = onu_triplexer_text(j);
    EXPECT_NE(text.find("60: 19 80 80 E8 13 88 27 10 03 E8 00 00"), std::string::npos) << text;
    EXPECT_NE(text.find("F0: "), std::string::npos);
    a.resize(PONCTL_PARAMS + 255);
    EXPECT_TRUE(onu_triplexer_decode(a).contains("error"));
}

TEST(PonctlOnuPrint, OutcomesAndFailuresAsTextAndJson)
{
    EXPECT_EQ(printed({"schedule", "add"}, answer(9, {})), "schedule add: already scheduled (rcode 9)\n");
    EXPECT_EQ(printed({"schedule", "add-all"}, answer(10, {})), "schedule add: some not added (rcode 10)\n");
    EXPECT_EQ(printed({"onu", "reconfigure"}, answer(8, {})), "ONU reconfigure: no such ONU (rcode 8)\n");
    EXPECT_EQ(printed({"accounting", "start"}, answer(255, {})), "RADIUS accounting: already running (rcode 255)\n");
    json o = json::parse(printed({"onu", "queues"}, answer(3, {}), true));
    EXPECT_EQ(o["rcode"], 3);
    EXPECT_EQ(o["outcome"], "failed");

    EXPECT_EQ(printed({"onu", "show"}, answer(8, {})), "ONU record: not found (rcode 8)\n");
    EXPECT_EQ(printed({"onu", "show"}, answer(0, bytes(100, 0))), "ONU record: short answer: 100 of 18505 bytes\n");
    json r = json::parse(printed({"onu", "show"}, answer(0, record_answer()), true));
    EXPECT_EQ(r["rcode"], 0);
    EXPECT_EQ(r["ont_id"], 77);

    bytes desc(PONCTL_PARAMS + 256, 0);
    ponctl_mac("00:0D:B6:10:00:00", &desc[8]);
    memcpy(&desc[PONCTL_PARAMS], "lobby", 5);
    EXPECT_EQ(printed({"onu", "desc"}, answer(0, desc)), "00:0D:B6:10:00:00  lobby\n");

    bytes counter(PONCTL_PARAMS, 0);
    store_le32(counter.data(), 4242);
    EXPECT_EQ(json::parse(printed({"changes"}, answer(0, counter), true))["counter"], 4242);
}

// The OLT record: its state, and the transceiver texts as the chips pad
// them (blanks) or the daemon cuts them (mid-character): trimmed, and the
// bad bytes replaced, never an abort.
TEST(PonctlOltPrint, RecordGivesTheStateAndCleanTransceiverTexts)
{
    bytes a(PONCTL_PARAMS + 1331, 0);
    uint8_t *r = &a[PONCTL_PARAMS];
    memcpy(r + 9, "PON0", 4);
    memcpy(r + 9 + 72, "LIGENT          ", 16);
    memcpy(r + 9 + 88, "LTE4302M-\xC3\xA9\xC3   ", 15);   // 'e' acute, then half of one
    store_le32(r + 1315, 5);                                   // CFGFAILED
    store_le32(r + 1319, 42);
    json j = json::parse(printed({"olt", "show"}, answer(0, a), true));
    EXPECT_EQ(j["state_name"], "CFGFAILED");
    EXPECT_EQ(j["state_since"], 42);
    EXPECT_EQ(j["ports"][0]["sfp_vendor"], "LIGENT");
    EXPECT_EQ(j["ports"][0]["sfp_part"], "LTE4302M-\xC3\xA9\xEF\xBF\xBD");
    EXPECT_NE(printed({"olt", "show"}, answer(0, a)).find("state CFGFAILED since 42"), std::string::npos);
}

// Whatever length an answer arrives with, each printer reads only within
// it (the sanitizer build sees any byte read past the end) and prints
// something; the full-length answers here are the layouts' sizes.
TEST(PonctlOnuPrint, EveryCutOfEveryAnswerIsReadWithinItsLength)
{
    bytes filled(PONCTL_PARAMS + 1000 * ONU_LIST_FULL, 0x01);
    const struct {
        std::vector<std::string> command;
        bytes full;
    } cases[] = {
        {{"onu", "show"}, record_answer()},
        {{"onu", "desc"}, bytes(PONCTL_PARAMS + 256, 0x41)},
        {{"onu", "find"}, bytes(49, 0x02)},
        {{"onu", "igmp"}, bytes(PONCTL_PARAMS + 257, 0x20)},
        // record count 1, a record claiming 255 MACs
        {{"onu", "macs"}, bytes(PONCTL_PARAMS + 18 + 6 * 255, 0xFF)},
        {{"onu", "addrs"}, bytes(PONCTL_PARAMS + 18 + 20 * 255, 0xFF)},
        {{"onu", "triplexer"}, bytes(PONCTL_PARAMS + 256, 0x7F)},
        {{"schedule", "list"}, bytes(PONCTL_PARAMS + 12 * 40, 0x03)},
        {{"changes"}, bytes(PONCTL_PARAMS, 0x09)},
    };
    for (const auto &c : cases) {
        for (size_t cut = 0; cut <= c.full.size(); cut += cut < 64 ? 1 : 7) {
            bytes payload(c.full.begin(), c.full.begin() + long(cut));
            EXPECT_FALSE(printed(c.command, answer(0, payload)).empty()) << c.command.back() << " cut at " << cut;
            EXPECT_TRUE(json::accept(printed(c.command, answer(0, payload), true)));
        }
    }
    // The list entries, compact and full, cut anywhere.
    for (size_t cut = 0; cut <= 3 * ONU_LIST_FULL; cut++) {
        EXPECT_LE(onu_list_entries(filled.data(), cut, ONU_LIST_COMPACT).size(), cut / ONU_LIST_COMPACT);
        EXPECT_LE(onu_list_entries(filled.data(), cut, ONU_LIST_FULL).size(), cut / ONU_LIST_FULL);
    }
}

// ponkernel's control socket played by a thread: it answers each request
// with what `reply` makes of it and keeps the requests.
class FakeKernel {
public:
    explicit FakeKernel(std::function<bytes(const bytes &request)> reply) : reply_(std::move(reply))
    {
        char dir[] = "/tmp/ponctl-unit-XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        ponctl_socket = dir_ + "/ponkernel.ctl";
        listener_ = mgmt_listen_unix(ponctl_socket);
        EXPECT_GE(listener_, 0);
        thread_ = std::thread([this] {
            for (;;) {
                int fd = accept(listener_, nullptr, nullptr);
                if (fd < 0)
                    return;
                bytes message;
                if (mgmt_read_message(fd, message) == KERNMSG_FRAME_OK) {
                    {
                        std::lock_guard<std::mutex> hold(lock_);
                        requests_.push_back(message);
                    }
                    mgmt_write_all(fd, reply_(message));
                }
                close(fd);
            }
        });
    }
    ~FakeKernel()
    {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
        unlink(ponctl_socket.c_str());
        rmdir(dir_.c_str());
    }
    std::vector<bytes> requests()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return requests_;
    }

private:
    std::mutex lock_;
    std::vector<bytes> requests_;
    std::function<bytes(const bytes &)> reply_;
    std::string dir_;
    int listener_ = -1;
    std::thread thread_;
};

TEST(PonctlOnuExchange, FullListAsksForBothHalvesAndJoinsThem)
{
    // Each half holds one ONU whose ONT id says which half it came from.
    FakeKernel kernel([](const bytes &request) {
        bytes payload = mgmt_payload(request);
        payload.resize(PONCTL_PARAMS);
        uint32_t half = load_le32(&payload[4]);
        bytes entry = summary(100 + half, 1, half ? "00:0D:B6:10:00:10" : "00:0D:B6:10:00:00", 1, 0, 7, 0, 0, 1);
        entry.resize(ONU_LIST_FULL, 0x11);
        payload.insert(payload.end(), entry.begin(), entry.end());
        payload.resize(PONCTL_PARAMS + 1000 * ONU_LIST_FULL, 0xFF);
        return answer(0, payload);
    });
    uint16_t code = 0;
    bytes payload;
    size_t used = 0;
    const ponctl_command *list = ponctl_find({"onu", "list"}, &used);
    ASSERT_TRUE(request({"onu", "list", "--full", "--olt", "1"}, code, payload));
    testing::internal::CaptureStdout();
    ponctl_json = true;
    int status = list->run({"--full", "--olt", "1"}, code, payload);
    ponctl_json = false;
    json j = json::parse(testing::internal::GetCapturedStdout());
    EXPECT_EQ(status, 0);
    std::vector<bytes> requests = kernel.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (uint32_t half = 0; half < 2; half++) {
        const bytes &r = requests[half];
        EXPECT_EQ(mgmt_header(r).cmd, 0x2027);
        EXPECT_EQ(load_le32(&r[KERNMSG_HEADER_SIZE]), 1u) << "OLT index";
        EXPECT_EQ(load_le32(&r[KERNMSG_HEADER_SIZE + 4]), half) << "half selector";
    }
    ASSERT_EQ(j["onus"].size(), 2u);
    EXPECT_EQ(j["onus"][0]["ont_id"], 100);
    EXPECT_EQ(j["onus"][1]["ont_id"], 101);
    EXPECT_EQ(j["onus"][1]["info"].get<std::string>().substr(0, 5), "11 11");

    // A refusal of the first half ends the list there.
    FakeKernel refusing([](const bytes &) { return answer(3, {}); });
    testing::internal::CaptureStdout();
    EXPECT_EQ(list->run({"--full"}, 0x2026, bytes(PONCTL_PARAMS, 0)), PONCTL_REFUSED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ONU list: rcode 3\n");
    EXPECT_EQ(refusing.requests().size(), 1u);
}

// ponctl run whole, as from a shell: its exit status and what it printed.
struct ran {
    int status;
    std::string out, err;
};
ran run_ponctl(const std::vector<std::string> &argv)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = ponctl_main(argv);
    ran r = {status, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    ponctl_json = false;
    return r;
}

TEST(PonctlRefusals, EachNamesTheBadArgumentWithItsExitStatus)
{
    std::atomic<uint8_t> rcode{8};
    FakeKernel kernel([&](const bytes &request) {
        kernmsg_header h = mgmt_header(request);
        h.type = KERNMSG_ANSWER;
        h.rcode = rcode;
        h.src = rcode == 0xFF ? MODULE_PON_KERNEL : MODULE_CHIPSET;
        return mgmt_build(h, {});
    });
    const struct {
        std::vector<std::string> argv;
        int status;
        const char *says;
    } cases[] = {
        {{"onu", "frobnicate"}, 1, "ponctl: unknown sub-command 'frobnicate' for 'onu' (want list, show,"},
        {{"onu"}, 1, "'onu' wants a sub-command: list, show,"},
        {{"frobnicate"}, 1, "unknown command 'frobnicate'"},
        {{"-s"}, 1, "-s wants the path of ponkernel's control socket"},
        {{"--jsno", "ping"}, 1, "unknown option '--jsno'"},
        {{"onu", "show", "000DB6100000"}, 1, "onu show: bad MAC '000DB6100000' (want 00:0D:B6:10:00:00)"},
        {{"onu", "show", "00:0D:B6:10:00:0G"}, 1, "bad MAC '00:0D:B6:10:00:0G'"},
        {{"onu", "show"}, 1, "missing MAC"},
        {{"onu", "show", "00:0D:B6:10:00:01", "more"}, 1, "unexpected argument 'more' (want MAC)"},
        {{"onu", "list", "--watch", "--interval", "0"}, 1, "bad --interval '0' (want seconds from 0.1 to 3600)"},
        {{"onu", "list", "--watch", "--interval"}, 1, "--interval wants SECONDS (0.1 to 3600)"},
        {{"onu", "list", "--interval", "2"}, 1, "--interval goes with --watch"},
        {{"onu", "list", "--olt", "4"}, 1, "bad --olt '4' (want 0..3)"},
        {{"onu", "list", "extra"}, 1, "unexpected argument 'extra'"},
        {{"--json", "onu", "list", "--watch"}, 1, "--watch redraws a table and cannot be used with --json"},
        {{"onu", "find", "00:0D:B6:10:00:01", "--port", "8"}, 1, "bad --port '8' (want 0..7)"},
        {{"onu", "find", "00:0D:B6:10:00:01", "--port"}, 1, "--port wants a PORT (0..7)"},
        {{"onu", "macs", "8"}, 1, "bad PORT '8' (want 0..7)"},
        {{"onu", "macs", "--onu"}, 1, "--onu wants a MAC"},
        {{"onu", "addrs", "--onu", "00:0D:B6:10:00:01"}, 1, "unexpected argument '--onu'"},
        {{"onu", "laser", "00:0D:B6:10:00:01"}, 1, "missing SECONDS"},
        {{"onu", "laser", "00:0D:B6:10:00:01", "-1"}, 1, "bad SECONDS '-1' (want 0..65535)"},
        {{"onu", "laser", "FF:FF:FF:FF:FF:FF", "10"}, 1, "FF:FF:FF:FF:FF:FF (every ONU of a port) wants --port"},
        {{"schedule", "list", "bogus"}, 1,
         "bad KIND 'bogus' (want firmware, personality, reconfiguration or a number 1..65535)"},
        {{"schedule", "add", "00:0D:B6:10:00:01", "0"}, 1, "bad KIND '0'"},
        {{"schedule", "add", "00:0D:B6:10:00:01"}, 1, "missing KIND (want MAC KIND)"},
        {{"schedule", "add-type", "firmware", "256"}, 1, "bad TYPE '256' (want 0..255)"},
        {{"olt", "show", "4"}, 1, "olt show: bad OLT '4' (want 0..3)"},
        {{"stats", "port", "0", "1", "4"}, 1, "bad GROUP '4' (want 2, 3, 6, 7, 8 or 9)"},
        {{"raw", "0x10005"}, 1, "bad CODE '0x10005' (want 0x0001..0xFFFF)"},
        {{"raw", "0x1005", "0"}, 1, "bad HEX '0'"},
        {{"set-radius", "auth=yes"}, 1, "bad auth 'yes' (want 0..1)"},
        {{"set-radius", "frobnicate=1"}, 1, "unknown key 'frobnicate' (want auth, primary,"},
        {{"set-radius", "primary=10.0.0"}, 1, "bad primary '10.0.0' (want an IPv4 address"},
        {{"set-system", "word"}, 1, "bad setting 'word' (want KEY=VALUE)"},
        {{"set-profile", "links", "1"}, 1, "bad profile type 'links' (want link, sla, paths, multicast or rules)"},
        {{"set-profile", "link", "1", "28=xy"}, 1, "bad bytes 'xy' for offset 28"},
        {{"config-silence", "0x2005", "maybe"}, 1, "bad switch 'maybe' (want on or off)"},
        {{"changes", "now"}, 1, "unexpected argument 'now' (want none)"},
    };
    for (const auto &c : cases) {
        ran r = run_ponctl(c.argv);
        EXPECT_EQ(r.status, c.status) << c.argv.back();
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_LE(count_of(r.err, "\n"), 2) << "one line, then the usage: " << r.err;
    }
    EXPECT_TRUE(kernel.requests().empty()) << "nothing is sent for a wrong argument";

    // Answered, but not done: not found is a failure to a script.
    ran missing = run_ponctl({"onu", "show", "00:0D:B6:99:99:99"});
    EXPECT_EQ(missing.status, 4);
    EXPECT_EQ(missing.out, "ONU record: not found (rcode 8)\n");
    EXPECT_EQ(run_ponctl({"raw", "0x2005", "00"}).status, 0) << "raw prints any answer as it came";
    rcode = 0xFF;   // ponkernel's own answer: the daemon did not
    ran silent = run_ponctl({"ping"});
    EXPECT_EQ(silent.status, 3);
    EXPECT_EQ(silent.err, "ponctl: no answer from the daemon\n");
    rcode = 0;
    ran json_ping = run_ponctl({"--json", "ping"});
    EXPECT_EQ(json_ping.status, 0);
    EXPECT_EQ(json::parse(json_ping.out)["outcome"], "answered");
    ponctl_socket += ".gone";
    EXPECT_EQ(run_ponctl({"ping"}).status, 2);
}

// Started before ponkernel and the daemon are there, the redrawn list says
// what it waits for and keeps trying until it has the list; Ctrl-C ends it.
TEST(PonctlWatch, WaitsForPonkernelAndTheDaemonThenDrawsTheList)
{
    enum { GONE, NO_DAEMON, LIST };
    std::atomic<int> board{GONE};
    FakeKernel kernel([&](const bytes &request) {
        kernmsg_header h = mgmt_header(request);
        h.type = KERNMSG_ANSWER;
        h.src = MODULE_PON_KERNEL;
        if (board == GONE)
            return bytes();   // the connection closed unanswered
        if (board == NO_DAEMON) {
            h.rcode = 0xFF;
            return mgmt_build(h, {});
        }
        bytes payload(PONCTL_PARAMS, 0);
        bytes entry = summary(1, 1, "00:0D:B6:10:00:00", 0, 0, 7, 0, 0, 0x0210);
        payload.insert(payload.end(), entry.begin(), entry.end());
        h.src = MODULE_CHIPSET;
        return mgmt_build(h, payload);
    });
    std::string path = ::testing::TempDir() + "ponctl-watch-" + std::to_string(getpid());
    FILE *screen = fopen(path.c_str(), "w");
    ASSERT_NE(screen, nullptr);
    std::thread watch([&] { EXPECT_EQ(ponctl_watch_list(0x2003, bytes(PONCTL_PARAMS, 0), 0.05, false, screen), 0); });
    auto shown = [&](const std::string &text) {
        return eventually([&] { return read_text(path).find(text) != std::string::npos; }, 10);
    };
    EXPECT_TRUE(shown("waiting for ponkernel (ponkernel at " + ponctl_socket + " closed the connection)"));
    board = NO_DAEMON;
    EXPECT_TRUE(shown("waiting for the daemon (no answer from the daemon)"));
    board = LIST;
    EXPECT_TRUE(shown("ONUs 1  OK 1\nMAC "));
    pthread_kill(watch.native_handle(), SIGINT);
    watch.join();
    fclose(screen);
    unlink(path.c_str());
}

} // namespace
