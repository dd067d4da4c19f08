// The OLT commands served end to end in one process: sent by ponkernel as
// the management process would, dispatched onto the handler threads, sent
// to the in-process chips, answered back. Checks the answers' sizes and
// result codes, the chip requests that went out (or did not), and what the
// data store holds afterwards.
#include "cmd/cmd_stats.h"

#include "cmd_fixture.h"
#include "events/tekhandlers.h"
#include "oltsim/olt_config.h"

namespace {

const uint8_t ONU_MAC[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0x11};

class OltCommands : public CmdFixture {};

TEST_F(OltCommands, StartAndStopSendTheirRequestAndReportTheChipsAnswer)
{
    cmd_answer a = send(0x0001, params({{0, 2}}));
    EXPECT_EQ(a.rcode, CMD_RC_OK);
    EXPECT_TRUE(a.data.empty());
    ASSERT_EQ(requests(TEK_REQ_OLT_START).size(), 1u);
    EXPECT_EQ(requests(TEK_REQ_OLT_START)[0].olt, 2);
    EXPECT_EQ(requests(TEK_REQ_OLT_START)[0].len, 0);

    sim_->rcode_next(1, 5, 1);
    EXPECT_EQ(send(0x0002, params({{0, 1}})).rcode, CMD_RC_FAILED);
    // An index the chip link refuses comes back as the link's own code.
    EXPECT_EQ(send(0x0002, params({{0, 7}})).rcode, 2);
}

TEST_F(OltCommands, OltRecordIsTheEchoAndTheRecordsFirstBytesAfterItsPortRefresh)
{
    // The chip answers the port state of its ports 0..2 and refuses port 3.
    sim_->set_handler(TEK_REQ_PORT_STATE, [](int, const oltsim::request_record &r) {
        uint8_t status[8] = {1, 1, 2, 1, 0, 1, 0, uint8_t(r.data[7] + 1)};
        return r.data[7] < 3 ? oltsim::answer{0, oltsim::port_state_answer(r.data, status)} : oltsim::answer{1, {}};
    });
    olt_lock(1);
    std::strcpy(olt_get(1)->ports[3].name, "kept");
    olt_get(1)->ports[0].base_llid = 0x1200;
    olt_unlock(1);
    std::vector<uint8_t> p = params({{0, 1}, {20, 0xABCDEF}});
    cmd_answer a = send(0x1005, p);
    // A refresh the chip refused is no success, but the record still comes.
    ASSERT_EQ(a.rcode, CMD_RC_FAILED);
    ASSERT_EQ(a.data.size(), 1363u);
    EXPECT_TRUE(std::equal(p.begin(), p.end(), a.data.begin()));
    std::vector<uint8_t> record(OLT_RECORD_SENT);
    olt_lock(1);
    std::memcpy(record.data(), olt_get(1), record.size());
    olt_unlock(1);
    EXPECT_TRUE(std::equal(record.begin(), record.end(), a.data.begin() + 32));
    auto port = [](const cmd_answer &answer, int i) {
        olt_port out;
        std::memcpy(&out, answer.data.data() + 32 + offsetof(olt_record, ports) + size_t(i) * sizeof out, sizeof out);
        return out;
    };
    EXPECT_STREQ(port(a, 2).name, "NNI0");
    EXPECT_EQ(port(a, 2).status[7], 3);
    EXPECT_STREQ(port(a, 3).name, "kept");
    EXPECT_EQ(port(a, 0).base_llid, 0x1200);
    sim_->set_handler(TEK_REQ_PORT_STATE, [](int, const oltsim::request_record &r) {
        return oltsim::answer{0, oltsim::port_state_answer(r.data, oltsim::PORT_STATUS_UP)};
    });
    a = send(0x1005, p);
    EXPECT_EQ(a.rcode, CMD_RC_OK);
    ASSERT_EQ(a.data.size(), 1363u);
    EXPECT_STREQ(port(a, 3).name, "NNI1");
    EXPECT_EQ(port(a, 3).status[1], 1) << "link up";

    for (uint32_t olt : {4u, 8u, 0xFFFFFFFFu}) {
        cmd_answer none = send(0x1005, params({{0, olt}}));
        EXPECT_EQ(none.rcode, CMD_RC_NOT_FOUND) << olt;
        ASSERT_EQ(none.data.size(), 1363u);
        EXPECT_TRUE(std::all_of(none.data.begin() + 32, none.data.end(), [](uint8_t b) { return b == 0; }));
    }
}

TEST_F(OltCommands, StatisticsReadRefusalsSendNothing)
{
    make_listed_onu(5, ONU_MAC, 1);
    uint8_t other[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0x99};
    const struct {
        const char *name;
        uint32_t port, sub;
        const uint8_t *mac;
        uint8_t rcode;
    } cases[] = {
        {"sub-command 4", 1, 4, ONU_MAC, CMD_RC_UNSUPPORTED},
        {"sub-command 0", 1, 0, ONU_MAC, CMD_RC_UNSUPPORTED},
        {"port 3 of a type-1 ONU", 3, 15, ONU_MAC, CMD_RC_UNSUPPORTED},
        {"port 4 of a type-1 ONU", 4, 18, ONU_MAC, CMD_RC_UNSUPPORTED},
        {"unknown ONU", 1, 16, other, CMD_RC_NOT_FOUND},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> p = params({{0, 0}, {4, c.port}, {8, c.sub}});
        std::memcpy(p.data() + 12, c.mac, 6);
        cmd_answer a = send(0x1002, p);
        EXPECT_EQ(a.rcode, c.rcode) << c.name;
        EXPECT_TRUE(a.data.empty()) << c.name;
    }
    EXPECT_TRUE(requests(TEK_REQ_STATISTICS).empty());
}

TEST_F(OltCommands, StatisticsReadOfAPortGroupConvertsTheChipsEntries)
{
    sim_->set_handler(TEK_REQ_STATISTICS, [](int, const oltsim::request_record &r) {
        const uint8_t entries[] = {
            0x00, 0x05, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0x01, 0x00,   // id 5, value 0x100
            0x00, 0x06, 0x00, 0x00, 0, 0, 0, 1, 0, 0, 0x00, 0x02,   // id 6, value 1 << 32 | 2
        };
        oltsim::answer a;
        a.data.resize(11 + sizeof entries);
        std::memcpy(a.data.data(), r.data.data(), 11);   // selector .. group, echoed
        std::memcpy(a.data.data() + 11, entries, sizeof entries);
        return a;
    });
    cmd_answer a = send(0x1002, params({{0, 5}, {4, 1}, {8, 7}}));   // index 5 & 3: OLT 1
    ASSERT_EQ(a.rcode, CMD_RC_OK);
    ASSERT_EQ(a.data.size(), 32u + (2 + 11 + 24) - 9);
    EXPECT_EQ(load_le16(a.data.data() + 10), 2);
    EXPECT_EQ(load_le16(a.data.data() + 32), 5);
    EXPECT_EQ(load_le32(a.data.data() + 36), 0x100u);
    EXPECT_EQ(load_le16(a.data.data() + 44), 6);
    EXPECT_EQ(load_le32(a.data.data() + 48), 2u);
    EXPECT_EQ(load_le32(a.data.data() + 52), 1u);   // high word
    auto sent = requests(TEK_REQ_STATISTICS);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].olt, 1);
    ASSERT_EQ(sent[0].data.size(), 13u);
    EXPECT_EQ(sent[0].data[0], STATS_SELECT_PORT);
    EXPECT_EQ(load_be16(sent[0].data.data() + 9), 11);   // sub-command 7 -> group 11
    EXPECT_EQ(sent[0].data[12], 0x00);
}

TEST_F(OltCommands, StatisticsOfAnOnuGoToItsOltAndCarryItsRcode)
{
    make_listed_onu(9, ONU_MAC, 19, 2);
    sim_->rcode_next(2, 9, 1);
    std::vector<uint8_t> p = params({{0, 0}, {4, 3}, {8, 17}});
    std::memcpy(p.data() + 12, ONU_MAC, 6);
    EXPECT_EQ(send(0x1002, p).rcode, 9);
    auto sent = requests(TEK_REQ_STATISTICS);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].olt, 2);
    EXPECT_EQ(sent[0].data[0], STATS_SELECT_ONU);
    EXPECT_TRUE(std::equal(ONU_MAC, ONU_MAC + 6, sent[0].data.begin() + 1));
    EXPECT_EQ(load_be16(sent[0].data.data() + 9), 20);
}

TEST_F(OltCommands, StatisticsClearBySubcommand)
{
    make_listed_onu(3, ONU_MAC, 1, 3);
    const struct {
        uint32_t sub;
        uint16_t id;
        int olt;
        uint8_t rcode;
    } cases[] = {
        {9, TEK_REQ_STATISTICS, 1, CMD_RC_OK},
        {27, TEK_REQ_STATISTICS_CLEAR_OLT, 1, CMD_RC_OK},
        {28, TEK_REQ_STATISTICS_CLEAR_ONU, 3, CMD_RC_OK},
        {15, 0, -1, CMD_RC_UNSUPPORTED},
        {4, 0, -1, CMD_RC_UNSUPPORTED},
    };
    for (const auto &c : cases) {
        size_t before = sim_->request_count();
        std::vector<uint8_t> p = params({{0, 1}, {4, 0}, {8, c.sub | 0xAAAA0000u}});
        std::memcpy(p.data() + 12, ONU_MAC, 6);
        cmd_answer a = send(0x1006, p);
        EXPECT_EQ(a.rcode, c.rcode) << c.sub;
        if (c.id == 0) {
            EXPECT_EQ(sim_->request_count(), before) << c.sub;
            continue;
        }
        ASSERT_EQ(a.data.size(), 32u);
        EXPECT_EQ(load_le16(a.data.data() + 10), 0) << c.sub;   // bytes 10..11 cleared
        auto log = sim_->request_log();
        ASSERT_GT(log.size(), before);
        EXPECT_EQ(log.back().id, c.id) << c.sub;
        EXPECT_EQ(log.back().olt, c.olt) << c.sub;
    }
    EXPECT_EQ(requests(TEK_REQ_STATISTICS).back().data[12], 0x01);   // clear, not read
    EXPECT_TRUE(std::equal(ONU_MAC, ONU_MAC + 6, requests(TEK_REQ_STATISTICS_CLEAR_ONU)[0].data.begin()));

    std::vector<uint8_t> p = params({{0, 0}, {8, 28}});
    std::memcpy(p.data() + 12, "\x01\x02\x03\x04\x05\x06", 6);
    EXPECT_EQ(send(0x1006, p).rcode, CMD_RC_NOT_FOUND);
}

TEST_F(OltCommands, BaseLlidInTheOtherPortsBlockIsNotStoredButAnsweredZero)
{
    olt_base_llid_set(2, 1, 0x1200);
    cmd_answer a = send(0x1016, params({{0, 2}, {4, 0}, {8, 0x13FF}}));
    EXPECT_EQ(a.rcode, CMD_RC_OK);
    EXPECT_EQ(a.data.size(), 32u);
    EXPECT_EQ(olt_base_llid_get(2, 0), 0);
    EXPECT_EQ(send(0x1016, params({{0, 2}, {4, 0}, {8, 0x1400}})).rcode, CMD_RC_OK);
    EXPECT_EQ(olt_base_llid_get(2, 0), 0x1400);
    EXPECT_NE(trace().find("set BASE LLID for 2:0 to 13ff\n"), std::string::npos);
    EXPECT_NE(trace().find("set BASE LLID for 2:0 to 1400\n"), std::string::npos);
    // Only PON ports 0 and 1 of OLTs 0..3 have one.
    EXPECT_EQ(send(0x1016, params({{0, 4}, {8, 0x1400}})).rcode, CMD_RC_BAD_OLT);
    EXPECT_EQ(send(0x1016, params({{0, 0}, {4, 2}, {8, 0x1400}})).rcode, CMD_RC_UNSUPPORTED);
}

TEST_F(OltCommands, UplinkParameterGoesToBothUplinksOfEveryOlt)
{
    EXPECT_EQ(send(0x5041, params({{0, 3}})).rcode, CMD_RC_UNSUPPORTED);
    EXPECT_TRUE(requests(TEK_REQ_UPLINK_PARAM).empty());

    cmd_answer a = send(0x5041, params({{0, 1}}));
    EXPECT_EQ(a.rcode, CMD_RC_OK);
    EXPECT_EQ(a.data.size(), 32u);
    auto sent = requests(TEK_REQ_UPLINK_PARAM);
    ASSERT_EQ(sent.size(), 8u);
    for (size_t i = 0; i < sent.size(); i++) {
        ASSERT_EQ(sent[i].data.size(), 15u);
        EXPECT_EQ(sent[i].olt, int(i / 2));
        EXPECT_EQ(load_be16(sent[i].data.data() + 6), 2 + i % 2);
        EXPECT_EQ(load_be32(sent[i].data.data() + 8), 100000u);
        EXPECT_EQ(load_be16(sent[i].data.data() + 12), 2);
    }
    // The first refusal ends it.
    sim_->rcode_next(0, 3, 1);
    EXPECT_EQ(send(0x5041, params({{0, 2}})).rcode, CMD_RC_FAILED);
    EXPECT_EQ(requests(TEK_REQ_UPLINK_PARAM).size(), 9u);
}

TEST_F(OltCommands, RawRequestIsPassedThroughAndAnsweredFromItsId)
{
    std::vector<uint8_t> raw = {
        0x03, 0x00,   // OLT index 3, host order
        0x02, 0x01,   // ID
        0x00, 0x00,   // CTAG, set by the chip link
        0x00, 0x03,   // LEN
        0x01, 0x02, 0x03,
    };
    cmd_answer a = send(0x0013, raw);
    ASSERT_EQ(a.rcode, CMD_RC_OK);
    ASSERT_EQ(a.data.size(), 6u + 2 + oltsim::DEFAULT_ANSWER_SIZE);   // ID, CTAG, LEN, RCODE, data
    EXPECT_EQ(load_be16(a.data.data()), 0x0201);
    EXPECT_EQ(load_be16(a.data.data() + 4), 2 + oltsim::DEFAULT_ANSWER_SIZE);
    auto sent = requests(0x0201);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].olt, 3);
    EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{1, 2, 3}));

    // LEN claiming more than the payload holds, or no whole header: not sent.
    store_be16(raw.data() + 6, 40);
    EXPECT_EQ(send(0x0013, raw).rcode, CMD_RC_UNSUPPORTED);
    EXPECT_EQ(send(0x0013, std::vector<uint8_t>(raw.begin(), raw.begin() + 7)).rcode, CMD_RC_UNSUPPORTED);
    EXPECT_EQ(requests(0x0201).size(), 1u);
    sim_->silence_olt(1, true);
    raw[0] = 0x01;
    store_be16(raw.data() + 6, 3);
    cmd_answer none;
    std::atomic<bool> done{false};
    std::thread t([&] {
        none = send(0x0013, raw, 30);
        done = true;
    });
    ASSERT_TRUE(advance_until([&] { return done.load(); }, 500, 20));
    EXPECT_EQ(none.sent, 0);
    t.join();
    EXPECT_EQ(none.rcode, CMD_RC_FAILED);
}

TEST_F(OltCommands, ConsoleSwitchSetsTheTargetWithinSixtyThreeCharacters)
{
    std::string path(80, 'p');
    std::vector<uint8_t> text(path.begin(), path.end());
    cmd_answer a = send(0x0011, params({{0, 1}, {4, 0x0101}}, text));   // no NUL: cut at the payload
    EXPECT_EQ(a.rcode, CMD_RC_OK);
    char terminal[CONSOLE_PATH_MAX + 1];
    tekhandlers_console(terminal);
    EXPECT_EQ(std::string(terminal), path.substr(0, 63));
    auto sent = requests(TEK_REQ_CONSOLE_SWITCH);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, std::vector<uint8_t>{0x01});

    // Refused by the chip: the target stays.
    sim_->rcode_next(1, 2, 1);
    std::string tty = "/dev/pts/3";
    EXPECT_EQ(send(0x0011, params({{0, 1}, {4, 1}}, std::vector<uint8_t>(tty.begin(), tty.end()))).rcode,
              CMD_RC_FAILED);
    tekhandlers_console(terminal);
    EXPECT_EQ(std::string(terminal), path.substr(0, 63));

    std::string line = "show version";
    std::vector<uint8_t> tail(line.begin(), line.end());
    tail.push_back(0);
    tail.push_back('x');
    EXPECT_EQ(send(0x0012, params({{0, 0}}, tail)).rcode, CMD_RC_OK);
    ASSERT_EQ(requests(TEK_REQ_CONSOLE_COMMAND).size(), 1u);
    EXPECT_EQ(requests(TEK_REQ_CONSOLE_COMMAND)[0].data, std::vector<uint8_t>(line.begin(), line.end()));
}

TEST_F(OltCommands, TwoByteSettingGoesToTheConfigurationModule)
{
    cmd_answer a = send(0x0019, params({{0, 0x11}, {4, 0x22}}));
    EXPECT_EQ(a.rcode, CMD_RC_OK);
    EXPECT_TRUE(a.data.empty());
    EXPECT_EQ(kernel_.requests_seen(CMD_CFG_SETTING), 1u);
}

// The reconfiguration waits for the engine's outcome on the fake clock; the
// test plays the engine by setting the OLT's state, and moves the clock a
// poll at a time until the answer comes. Without the board device in this
// sandbox the reset itself is skipped.
class Reconfig : public CmdFixture {
protected:
    // The answer, and the fake seconds the handler took to give it.
    cmd_answer run(uint32_t olt, uint32_t *seconds)
    {
        cmd_answer a;
        std::atomic<bool> done{false};
        uint32_t start = uptime_seconds();
        std::thread t([&] {
            a = send(0x1003, params({{0, olt}}), 60);
            done = true;
        });
        bool answered = advance_until([&] { return done.load(); }, OLT_RECONFIG_POLL_MS, 60);
        t.join();
        EXPECT_TRUE(answered);
        *seconds = uptime_seconds() - start;
        return a;
    }
};

TEST_F(Reconfig, OutcomesOfTheWait)
{
    uint32_t seconds;
    EXPECT_EQ(run(4, &seconds).rcode, CMD_RC_BAD_OLT);

    const struct {
        uint32_t final_state;
        uint8_t rcode;
    } cases[] = {{ONU_STATE_OK, CMD_RC_OK}, {ONU_STATE_CFGFAILED, CMD_RC_CONFIG_FAILED}};
    for (const auto &c : cases) {
        olt_set_state(1, c.final_state);
        cmd_answer a = run(1, &seconds);
        EXPECT_EQ(a.rcode, c.rcode);
        EXPECT_TRUE(a.data.empty());
        EXPECT_LT(seconds, uint32_t(OLT_RECONFIG_POLLS));
    }
}

TEST_F(Reconfig, AnOltThatNeverComesBackAnswersSixAfterSixtyPolls)
{
    make_onu(7, ONU_MAC, ONU_STATE_OK, 2);
    olt_lock(2);
    olt_get(2)->onus_total = 5;
    olt_get(2)->onus_on_port[1] = 3;
    olt_get(2)->onus_second_group[0] = 2;
    olt_unlock(2);
    olt_set_state(2, ONU_STATE_RESETINPROGRESS);
    uint32_t seconds;
    cmd_answer a = run(2, &seconds);
    EXPECT_EQ(a.rcode, CMD_RC_TIMEOUT);
    EXPECT_GE(seconds, uint32_t(OLT_RECONFIG_POLLS));
    EXPECT_EQ(onu_at(7)->state, ONU_STATE_FREE);
    olt_lock(2);
    const olt_record *r = olt_get(2);
    EXPECT_EQ(r->onus_total + r->onus_on_port[0] + r->onus_on_port[1] + r->onus_first_group[0] +
                  r->onus_first_group[1] + r->onus_second_group[0] + r->onus_second_group[1],
              0);
    olt_unlock(2);
}

} // namespace
