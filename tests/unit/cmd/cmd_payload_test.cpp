// Every command of the installed table against the payloads a careless or
// hostile management process can send: too short for the fields the command
// reads (empty, and one byte short of each field), an OLT index or selector
// out of range, a MAC no ONU has; and the payloads whose branch the board
// cannot reach. Each must be answered with its own result code and answer
// size (a short payload with rcode 1 and nothing else), with the chip
// requests it should make and never by acting on bytes that did not arrive:
// under the ASan build (pool blocks on malloc) a read past the received
// message is caught where it happens. The rows run in the table's order
// against one known ONU (type 1, OLT 2, PON port 1) whose second UNI's
// destination has learned one MAC.
//
// The rows are keyed by command code and the test walks the table main.cpp
// installs, so a command added to the table without a row fails here.
#include "cmd/cmd_onu.h"
#include "cmd/cmd_schedule.h"
#include "cmd/cmd_stats.h"

#include "auth/radius_accounting.h"
#include "cmd_fixture.h"
#include "common/hex.h"
#include "events/tekhandlers.h"
#include "maint/scheduler.h"
#include "wire/personality.h"

#include <algorithm>
#include <set>

namespace {

const uint8_t UNKNOWN[6] = {0x00, 0x0D, 0xB6, 0x7F, 0x7F, 0x7F};
const uint8_t KNOWN[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0x21};
const uint8_t LEARNED[6] = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
const uint8_t ALL_ONES[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const std::vector<int> ANY = {-1};
const std::vector<int> EVERY_PON_PORT = {0, 0, 1, 1, 2, 2, 3, 3};
constexpr int NO_ANSWER = -1;   // as rcode: the command never answers

// One payload and the answer it must get.
struct probe {
    std::string what;
    std::vector<uint8_t> payload;
    int rcode;
    size_t answer_size;        // payload bytes of the answer
    std::vector<int> olts = ANY;   // the OLT of each chip request it makes
    int refused_by = -1;       // the OLT whose chip refuses its first request
};

// What a command reads and how it answers what it cannot use.
struct shape {
    uint16_t code;
    // Where each field of the request ends (payload offsets), the parameter
    // block's 32 bytes included where the command reads it: a payload one
    // byte short of any of them, or empty, is answered rcode 1 with no data
    // and sends nothing. Empty for a command that reads no payload.
    std::vector<size_t> field_ends;
    std::vector<probe> probes;
    bool answers = true;   // false: every payload goes unanswered, short ones too
};

class BadPayloads : public CmdFixture {
protected:
    void SetUp() override
    {
        CmdFixture::SetUp();
        make_listed_onu(3, KNOWN, 1, 2, 1, {0, 0x1234});
        learned_behind(0x1234, LEARNED);
        // Its UNI ports answer up (18 bytes), their PHY registers in the
        // chip's short default: the record's refresh reads past neither.
        sim_->set_handler(TEK_REQ_PORT_STATE, [](int, const oltsim::request_record &) {
            oltsim::answer a{0, std::vector<uint8_t>(18, 0)};
            a.data[13] = 1;
            return a;
        });
    }
    void TearDown() override
    {
        radius_accounting_close();   // 0x2031 started it
        CmdFixture::TearDown();
    }

    // Every command's row. The ends follow the fields each command reads: u16
    // or u32 at 0 (OLT index or selector), at 4 (port, switch, value), u16 at 8
    // (sub-command, base LLID), MAC at 12..17 for the statistics commands; the
    // parameter block itself ends at 32.
    static std::vector<shape> shapes()
    {
        const std::vector<uint8_t> personality(OLT_PERS_BLOCK, 0x33), unknown = with({}, UNKNOWN),
                                   known = with({}, KNOWN);
        std::vector<uint8_t> onu_personality_short = unknown;
        onu_personality_short.resize(32 + ONU_PERS_SIZE - 1, 0x44);
        std::vector<uint8_t> onu_personality = onu_personality_short;
        onu_personality.push_back(0x44);
        const size_t compact_list = 32 + ONU_COUNT * ONU_LIST_COMPACT_SIZE;
        const size_t full_list = 32 + ONU_LIST_HALF * ONU_LIST_ENTRY_SIZE;
        const size_t find = 32 + FIND_MAC_ANSWER;
        // 0x0013's chip request as it lies in memory: OLT index (host order),
        // ID, CTAG, LEN, data.
        const std::string raw = "02 01 | 00 00 | ";
        return {
            {0x0001, {2, 32}, {
                {"OLT index 4", params({{0, 4}}), -TEKLINK_ERR_ARGUMENT, 0}}},
            {0x0002, {2, 32}, {
                {"OLT index 0xFFFF", params({{0, 0xFFFF}}), -TEKLINK_ERR_ARGUMENT, 0}}},
            {CMDPING, {}, {{"empty", {}, CMD_RC_OK, 0}}},
            {0x0011, {2, 8, 32}, {}},
            {0x0012, {2, 32}, {{"OLT index 4", params({{0, 4}}, {'x', 0}), CMD_RC_FAILED, 0}}},
            {0x0013, {2, 4, 6, 8}, {
                {"LEN one past the data", hex("00 00 | " + raw + "00 04 | 5A 5A 5A"), CMD_RC_UNSUPPORTED, 0, {}},
                {"OLT index 4", hex("04 00 | " + raw + "00 03 | 5A 5A 5A"), CMD_RC_FAILED, 0},
                {"to OLT 3", hex("03 00 | " + raw + "00 03 | 5A 5A 5A"), 0, 6 + 2 + oltsim::DEFAULT_ANSWER_SIZE, {3}}}},
            {0x0019, {1, 5, 32}, {{"a setting", params({{0, 0x11}, {4, 0x22}}), CMD_RC_OK, 0, {}}}},
            {0x1002, {2, 6, 10, 18, 32}, {
                {"sub-command 4", params({{8, 4}}), CMD_RC_UNSUPPORTED, 0, {}},
                {"unknown ONU", with({{4, 1}, {8, 15}}, UNKNOWN, 12), CMD_RC_NOT_FOUND, 0, {}},
                {"port 3 of a type-1 ONU", with({{4, 3}, {8, 15}}, KNOWN, 12), CMD_RC_UNSUPPORTED, 0, {}},
                {"port 1 of the known ONU", with({{4, 1}, {8, 15}}, KNOWN, 12), CMD_RC_OK, 33, {2}},
                // An ONU group's refusal comes back as the chip's own RCODE.
                {"refused by the ONU's chip", with({{4, 1}, {8, 15}}, KNOWN, 12), 1, 0, {2}, 2},
                // The chip's default answer: no entries, one byte past the echo.
                {"port group 7 of OLT 5 & 3", params({{0, 5}, {4, 1}, {8, 7}}), CMD_RC_OK, 33, {1}}}},
            {0x1003, {4, 32}, {{"OLT index 4", params({{0, 4}}), CMD_RC_BAD_OLT, 0}}},
            {0x1005, {4, 32}, {{"OLT index 2^31", params({{0, 0x80000000}}), CMD_RC_NOT_FOUND, 32 + OLT_RECORD_SENT}}},
            {0x1006, {2, 6, 10, 18, 32}, {
                {"sub-command 15", params({{8, 15}}), CMD_RC_UNSUPPORTED, 0, {}},
                {"unknown ONU", with({{8, 28}}, UNKNOWN, 12), CMD_RC_NOT_FOUND, 0, {}},
                {"port group 9", params({{0, 1}, {8, 9 | 0xAAAA0000u}}), CMD_RC_OK, 32, {1}},
                {"the OLT's counters", params({{0, 1}, {8, 27}}), CMD_RC_OK, 32, {1}},
                {"the ONU's counters", with({{8, 28}}, KNOWN, 12), CMD_RC_OK, 32, {2}}}},
            // No image in the sandbox: the upgrades fail before any transfer.
            {0x100C, {1, 32}, {{"OLT index 4", params({{0, 4}}), CMD_RC_FAILED, 32, {}}}},
            {0x1014, {1, 32}, {{"OLT index 0xFF", params({{0, 0xFF}}), CMD_RC_FAILED, 32, {}}}},
            {0x1012, {}, {{"empty", {}, CMD_RC_FAILED, 32, {}}}},
            {0x1015, {}, {{"empty", {}, CMD_RC_FAILED, 32, {}}}},
            {0x100D, {2, 32}, {{"OLT index 4", params({{0, 4}}), CMD_RC_FAILED, 32}}},
            {0x100E, {2, 32}, {
                {"personality one byte short", params({}, {personality.begin(), personality.end() - 1}),
                 CMD_RC_UNSUPPORTED, 32, {}},
                {"OLT index 4", params({{0, 4}}, personality), CMD_RC_FAILED, 32}}},
            {0x1016, {2, 6, 10, 32}, {
                {"OLT index 4", params({{0, 4}, {8, 0x1000}}), CMD_RC_BAD_OLT, 32},
                {"PON port 2", params({{0, 1}, {4, 2}, {8, 0x1000}}), CMD_RC_UNSUPPORTED, 32}}},
            {0x5041, {4, 32}, {
                {"selector 3", params({{0, 3}}), CMD_RC_UNSUPPORTED, 32, {}},
                {"selector 1: both uplinks of every OLT", params({{0, 1}}), CMD_RC_OK, 32, EVERY_PON_PORT},
                {"the first refusal ends it", params({{0, 2}}), CMD_RC_FAILED, 32, {0}, 0}}},
            {CMDRESOURCEREPORT, {}, {{"empty", {}, CMD_RC_OK, 32}}},

            // The ONU commands: MAC at 8..13, port or OLT index at 0, a value
            // or selector at 4, the schedule's kind as u16 at 0.
            {0x0018, {}, {{"empty", {}, CMD_RC_OK, CHANGE_COUNTER_ANSWER}}},
            {0x2002, {14, 32}, {{"unknown ONU", unknown, CMD_RC_NOT_FOUND, 0}}},
            {0x2003, {}, {{"empty", {}, CMD_RC_OK, compact_list}}},
            {0x2004, {4, 32}, {{"OLT index 0xFFFFFFFF", params({{0, 0xFFFFFFFF}}), CMD_RC_OK, compact_list}}},
            {0x2026, {8, 32}, {{"upper half", params({{4, 1}}), CMD_RC_OK, full_list}}},
            {0x2027, {4, 8, 32}, {{"OLT index 9", params({{0, 9}, {4, 1}}), CMD_RC_OK, full_list}}},
            {0x2005, {14, 32}, {
                {"unknown ONU", unknown, CMD_RC_NOT_FOUND, 32 + ONU_RECORD_ANSWER},
                {"known ONU", known, CMD_RC_OK, 32 + ONU_RECORD_ANSWER}}},
            {0x200F, {14, 32}, {{"unknown ONU", unknown, CMD_RC_NOT_FOUND, 32 + ONU_DESCRIPTION_SIZE}}},
            // Clear, write, reset; nothing after a refused clear.
            {0x200E, {14, 32}, {
                {"unknown ONU", unknown, CMD_RC_NOT_FOUND, 0, {}},
                {"clear refused", known, CMD_RC_FAILED, 0, {2}, 2},
                {"known ONU", known, CMD_RC_OK, 0, {2, 2, 2}}}},
            {0x100F, {4, 32}, {{"port 0xFFFFFFFF", params({{0, 0xFFFFFFFF}}), CMD_RC_OK, 32}}},
            {0x1010, {4, 32}, {{"port 0xFFFFFFFF", params({{0, 0xFFFFFFFF}}), CMD_RC_OK, 32}}},
            {0x1011, {14, 32}, {{"unknown ONU", unknown, CMD_RC_OK, 32}}},
            {0x1013, {14, 32}, {
                {"unknown ONU", unknown, CMD_RC_NOT_FOUND, 0, {}},
                {"refused", known, CMD_RC_FAILED, 32, {2}, 2}}},
            {0x2012, {14, 32}, {{"unknown ONU", unknown, CMD_RC_FAILED, 32, {}}}},
            {0x2013, {14, 32}, {{"unknown ONU", unknown, CMD_RC_FAILED, 32, {}}}},
            {0x2014, {14, 32}, {
                {"personality one byte short", onu_personality_short, CMD_RC_UNSUPPORTED, 32, {}},
                {"unknown ONU", onu_personality, CMD_RC_FAILED, 32, {}}}},
            {0x2021, {14, 32}, {
                {"unknown ONU", unknown, CMD_RC_FAILED, 32 + 256, {}},
                {"refused", known, CMD_RC_FAILED, 32 + 256, {2}, 2}}},
            // The laser answers 0 whatever it did; the requests say where it went.
            {0x2050, {4, 8, 14, 32}, {
                {"unknown MAC: every PON port", with({{0, 5}}, UNKNOWN), 0, 0, EVERY_PON_PORT},
                {"known ONU: its own port", with({{0, 5}, {4, 7}}, KNOWN), 0, 0, {2}},
                {"every ONU of port 5, refused", with({{0, 5}, {4, 5}}, ALL_ONES), 0, 0, {2}, 2},
                {"every ONU of port 8", with({{0, 5}, {4, 8}}, ALL_ONES), 0, 0, {}},
                // 131072 / 2 cut to 16 bits would be OLT 0.
                {"every ONU of port 131072", with({{0, 5}, {4, 131072}}, ALL_ONES), 0, 0, {}}}},
            {0x6003, {2, 32}, {{"kind 0xFFFF", params({{0, 0xFFFF}}), CMD_RC_OK, 32 + SCHED_LIST_ENTRY_SIZE}}},
            {0x6001, {2, 14, 32}, {
                {"known ONU", with({{0, 1}}, KNOWN), 0, 0, {}},
                {"again", with({{0, 1}}, KNOWN), 9, 0}}},
            {0x6005, {2, 32}, {{"none configured", params({{0, 1}}), 0, 0, {}}}},
            {0x6006, {2, 8, 32}, {{"none configured", params({{0, 1}, {4, 1}}), 0, 0, {}}}},
            {0x6002, {2, 14, 32}, {
                {"known ONU", with({{0, 1}}, KNOWN), 0, 0, {}},
                {"never added", with({{0, 1}}, UNKNOWN), SCHEDULE_NOT_FOUND, 0}}},
            {0x6004, {2, 32}, {{"kind 1", params({{0, 1}}), 0, 0, {}}}},
            {0x2015, {4, 14, 32}, {
                {"learned behind the known ONU", with({{0, 5}}, LEARNED), CMD_RC_OK, find},
                {"learned, but not on port 4", with({{0, 4}}, LEARNED), CMD_RC_NOT_FOUND, find}}},
            {CMDPSSMACDUPLICATE, {4, 14, 32}, {{"OLT index 4", with({{0, 4}}, UNKNOWN), NO_ANSWER, 0, {}}}, false},
            {0x2031, {}, {{"empty", {}, CMD_RC_OK, 0}, {"empty, running", {}, CMD_RC_ALREADY_RUNNING, 0}}},
            {0x2032, {}, {{"empty", {}, CMD_RC_OK, 0}}},
        };
    }

    // Sends `p` as command `code` and checks its answer, or that none came
    // once its handler ended, and the chip requests it made. `quiet`: nor
    // may it have sent a configuration module request. The fake clock runs
    // meanwhile: a refused transfer pauses between its attempts.
    void check(uint16_t code, const probe &p, bool quiet)
    {
        SCOPED_TRACE(testing::Message() << std::hex << code << " " << p.what);
        size_t chip_before = sim_->request_count();
        unsigned answers_before = kernel_.answers_seen(code), cfg_before = config_requests();
        if (p.refused_by >= 0)
            sim_->rcode_next(p.refused_by, 1, 1);
        cmd_answer a = send_on_fake_clock(code, p.payload, 100, p.rcode != NO_ANSWER);
        ASSERT_EQ(a.sent, 0);
        if (p.rcode == NO_ANSWER) {
            EXPECT_EQ(kernel_.answers_seen(code), answers_before) << "answered";
            EXPECT_EQ(kernhandlers_mac_duplicate_count(), 0);
        } else {
            EXPECT_EQ(a.rcode, p.rcode);
            EXPECT_EQ(a.data.size(), p.answer_size);
        }
        std::vector<int> olts;
        auto log = sim_->request_log();
        for (size_t i = chip_before; i < log.size(); i++)
            olts.push_back(log[i].olt);
        EXPECT_TRUE(p.olts == ANY || olts == p.olts) << "requests to OLTs " << testing::PrintToString(olts);
        EXPECT_TRUE(!quiet || config_requests() == cfg_before) << "acted on it";
    }
    unsigned config_requests()
    {
        return kernel_.requests_seen(CMD_CFG_SETTING) + kernel_.requests_seen(CMD_CFG_ONU_LIST);
    }
};

TEST_F(BadPayloads, EveryRegisteredCommandRefusesWhatItCannotRead)
{
    std::vector<shape> rows = shapes();
    std::set<uint16_t> seen;
    for (size_t i = 0; i < cmd_command_table.count; i++) {
        uint16_t code = cmd_command_table.entries[i].code;
        seen.insert(code);
        auto row = std::find_if(rows.begin(), rows.end(), [&](const shape &s) { return s.code == code; });
        if (row == rows.end()) {
            ADD_FAILURE() << std::hex << code << " is registered but has no row here";
            continue;
        }
        std::set<size_t> sizes;
        for (size_t end : row->field_ends)
            sizes.insert({0, end - 1});
        // Zeros name OLT 0, port 0 and sub-command 0, which a handler that
        // skipped the length check would act on; 0xA5 names none of them.
        for (size_t size : sizes)
            for (uint8_t fill : {0x00, 0xA5})
                check(code,
                      {std::to_string(size) + " bytes of " + std::to_string(fill), std::vector<uint8_t>(size, fill),
                       row->answers ? int(CMD_RC_UNSUPPORTED) : NO_ANSWER, 0, {}},
                      true);
        for (const probe &p : row->probes)
            check(code, p, false);
    }
    // A row without a command is a command that went missing from the table.
    for (const shape &s : rows)
        EXPECT_TRUE(seen.count(s.code)) << std::hex << s.code << " has a row but is not registered";
}

// The switch names the terminal the console text goes to, cut at 63
// characters; one the chip refused, or a text that never came (or is
// empty), leaves it going where it went.
TEST_F(BadPayloads, AConsoleTargetThatNeverCameKeepsTheOldOne)
{
    const std::string tty = "/dev/pts/3", longer(80, 'p');
    // The text after the block, the result, where the console goes after.
    for (auto [tail, rcode, target] : {std::tuple{longer, CMD_RC_OK, longer.substr(0, 63)},   // no NUL: cut at 63
                                       {tty, CMD_RC_FAILED, longer.substr(0, 63)},   // refused by the chip
                                       {tty, CMD_RC_OK, tty},
                                       {std::string(), CMD_RC_OK, tty},   // the block only
                                       {std::string("\0xy", 3), CMD_RC_OK, tty}}) {
        SCOPED_TRACE(tail);
        if (rcode == CMD_RC_FAILED)
            sim_->rcode_next(1, 2, 1);
        EXPECT_EQ(send(0x0011, params({{0, 1}, {4, 0x0101}}, {tail.begin(), tail.end()})).rcode, rcode);
        char terminal[CONSOLE_PATH_MAX + 1];
        tekhandlers_console(terminal);
        EXPECT_EQ(std::string(terminal), target);
        EXPECT_EQ(requests(TEK_REQ_CONSOLE_SWITCH).back().data, std::vector<uint8_t>{0x01});
    }
    // A console line goes to the chip up to its NUL.
    EXPECT_EQ(send(0x0012, params({{0, 0}}, {'l', 's', 0, 'x'})).rcode, CMD_RC_OK);
    EXPECT_EQ(requests(TEK_REQ_CONSOLE_COMMAND).back().data, (std::vector<uint8_t>{'l', 's'}));
}

} // namespace
