// ponctl's ONU side against the whole simulated board: the road fixture's
// ONUs register and end where their configurations send them, and what
// ponctl prints of them (lists, records, descriptions, the schedule) agrees
// with what the daemon traced and what the board file says.
#include "integration/onu_road_fixture.h"
#include "oltsim/onu_ports.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <signal.h>

#include <map>

namespace {

using nlohmann::json;

class PonctlOnu : public Road {
protected:
    // Every ONU of the board at the end of its road; with `hardware` the
    // ONUs answer for their UNI ports and transceivers as oltsim's program
    // has them.
    void settle(bool hardware = false)
    {
        start();
        if (hardware) {
            ports_ = std::make_unique<oltsim::onu_ports>(*sim_);
            for (const auto &onu : onus_)
                ports_->add(onu);
            ports_->attach();
        }
        population_->register_all(0);
        const std::map<std::string, std::string> ends = {
            {"00:0D:B6:10:00:00", "OK"},         {"00:0D:B6:10:00:10", "AUTHFAILED"},
            {"00:0D:B6:10:00:20", "CFGFAILED"},  {"00:0D:B6:10:00:30", "OK"},
            {"00:0D:B6:10:00:40", "OK"},         {"00:0D:B6:10:00:50", "UNCONFIGURED"},
        };
        ASSERT_TRUE(eventually(
            [&] {
                for (const auto &[mac, end] : ends)
                    if (state(mac) != end)
                        return false;
                return true;
            },
            ROAD_SECONDS))
            << daemon_.out();
    }
    run_result ponctl(const std::vector<std::string> &args) { return run_program(box_, "ponctl", PONCTL_BIN, args); }
    json ponctl_json(std::vector<std::string> args)
    {
        args.insert(args.begin(), "--json");
        run_result r = ponctl(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.status == 0 ? json::parse(r.out) : json();
    }
    int commands() const { return count_of(daemon_.out(), "kernlink_process_loop Got message "); }

    std::unique_ptr<oltsim::onu_ports> ports_;
};

TEST_F(PonctlOnu, ListsAndRecordsAgreeWithTheDaemon)
{
    settle();

    // Every ONU the daemon holds, in the state it traced last; the ONT ids,
    // types and ports the board file and the registrations gave.
    json list = ponctl_json({"onu", "list"});
    ASSERT_EQ(list["rcode"], 0);
    std::map<std::string, json> by_mac;
    for (const auto &onu : list["onus"])
        by_mac[onu["mac"].get<std::string>()] = onu;
    ASSERT_EQ(by_mac.size(), 6u) << list.dump(1);
    for (const auto &[mac, onu] : by_mac)
        EXPECT_EQ(onu["state_name"], state(mac)) << mac;
    json road = by_mac["00:0D:B6:10:00:00"];
    EXPECT_EQ(road["ont_id"], 1);
    EXPECT_EQ(road["type"], 1);
    EXPECT_EQ(road["olt"], 0);
    EXPECT_EQ(road["pon"], 0);
    EXPECT_EQ(road["firmware"], 0x0210);
    EXPECT_EQ(road["discovered_links"], 4);
    EXPECT_EQ(by_mac["00:0D:B6:10:00:30"]["ont_id"], 4);
    EXPECT_EQ(by_mac["00:0D:B6:10:00:30"]["pon"], 1);

    // The same ONUs in the full list (both halves) and per OLT.
    json full = ponctl_json({"onu", "list", "--full"});
    ASSERT_EQ(full["onus"].size(), 6u);
    for (const auto &onu : full["onus"]) {
        EXPECT_EQ(onu["state"], by_mac[onu["mac"].get<std::string>()]["state"]);
        EXPECT_EQ(onu["info"].get<std::string>().size(), 64u * 3 - 1);
    }
    EXPECT_EQ(ponctl_json({"onu", "list", "--olt", "0", "--full"})["onus"].size(), 6u);
    EXPECT_TRUE(ponctl_json({"onu", "list", "--olt", "1"})["onus"].empty());

    run_result text = ponctl({"onu", "list"});
    ASSERT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("00:0D:B6:10:00:00  0/0            1  OK              2.10      ONTM-01"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("00:0D:B6:10:00:50"), std::string::npos);

    // The record: its main fields, its four links in OK at the ONU's MAC
    // plus their index.
    json record = ponctl_json({"onu", "show", "00:0D:B6:10:00:00"});
    ASSERT_EQ(record["rcode"], 0) << record.dump(1);
    EXPECT_EQ(record["mac"], "00:0D:B6:10:00:00");
    EXPECT_EQ(record["ont_id"], 1);
    EXPECT_EQ(record["description"], "road");
    EXPECT_EQ(record["state_name"], "OK");
    EXPECT_EQ(record["chip"], "0x3714");
    EXPECT_EQ(record["link_count"], 4);
    EXPECT_TRUE(record["flags"]["configured_ok"]);
    ASSERT_EQ(record["links"].size(), 4u);
    for (unsigned i = 0; i < 4; i++) {
        EXPECT_EQ(record["links"][i]["index"], i);
        EXPECT_EQ(record["links"][i]["mac"], "00:0D:B6:10:00:0" + std::to_string(i));
        EXPECT_EQ(record["links"][i]["state_name"], "OK");
        EXPECT_NE(record["links"][i]["llid"], 0);
    }
    run_result shown = ponctl({"onu", "show", "00:0D:B6:10:00:00"});
    EXPECT_NE(shown.out.find("ONU 00:0D:B6:10:00:00  ONT id 1  state OK"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("description   road"), std::string::npos);

    EXPECT_EQ(ponctl({"onu", "desc", "00:0D:B6:10:00:30"}).out, "00:0D:B6:10:00:30  no eap\n");
    run_result unknown = ponctl({"onu", "show", "00:0D:B6:99:99:99"});
    EXPECT_EQ(unknown.out, "ONU record: not found (rcode 8)\n");
    EXPECT_EQ(unknown.status, 4) << "a failure to scripts";
    EXPECT_GT(ponctl_json({"changes"})["counter"], 0);

    // Look-ups and actions answer in the words of their outcome.
    EXPECT_EQ(ponctl({"onu", "find", "02:00:00:00:00:09"}).out, "ONU look-up: not found (rcode 8)\n");
    EXPECT_TRUE(ponctl_json({"onu", "macs", "0"})["records"].is_array());
    EXPECT_EQ(ponctl({"onu", "reconfigure", "00:0D:B6:99:99:99"}).out, "ONU reconfigure: no such ONU (rcode 8)\n");
    EXPECT_EQ(ponctl({"accounting", "start"}).out, "RADIUS accounting: started (rcode 0)\n");
    EXPECT_EQ(ponctl({"accounting", "start"}).out, "RADIUS accounting: already running (rcode 255)\n");
    EXPECT_EQ(ponctl({"accounting", "stop"}).out, "RADIUS accounting: stopped (rcode 0)\n");
}

TEST_F(PonctlOnu, OnusInOkShowTheirUniPortsAndTransceiverPage)
{
    settle(true);

    // Two-port ONUs: both UNIs named, their status from the port answers,
    // the second byte the link, which a port the configuration switched off
    // (0x0017) has not; UNI1's third and fourth bytes are the PHY flags of
    // its register 31 (100 Mbit/s full duplex), which the 0x6838 ONU is not
    // asked for.
    const std::map<std::string, std::vector<std::string>> unis = {
        {"00:0D:B6:10:00:00", {"01 LL 02 01 00 01 00 00", "01 LL 01 01 00 01 00 00"}},
        {"00:0D:B6:10:00:30", {"01 LL 02 01 00 01 00 00", "01 LL 02 01 00 01 00 00"}},
    };
    for (const auto &[mac, status] : unis) {
        uint8_t address[6];
        Road::mac(mac.c_str(), address);
        oltsim::onu_device device = ports_->get(address);
        json record = ponctl_json({"onu", "show", mac});
        ASSERT_EQ(record["rcode"], 0) << mac;
        ASSERT_EQ(record["uni_ports"].size(), 2u) << record.dump(1);
        for (unsigned u = 0; u < 2; u++) {
            std::string expect = status[u];
            expect.replace(3, 2, device.uni[u + 1].enabled ? "01" : "00");
            EXPECT_EQ(record["uni_ports"][u]["entry"], u + 1) << mac;
            EXPECT_EQ(record["uni_ports"][u]["name"], "UNI" + std::to_string(u)) << mac;
            EXPECT_EQ(record["uni_ports"][u]["status"], expect) << mac << " UNI" << u;
        }
    }
    // The road ONU's configuration switches both its UNIs off; the 0x6838
    // ONU's leaves them alone.
    uint8_t road[6], other[6];
    Road::mac("00:0D:B6:10:00:00", road);
    Road::mac("00:0D:B6:10:00:30", other);
    EXPECT_FALSE(ports_->get(road).uni[1].enabled);
    EXPECT_TRUE(ports_->get(other).uni[1].enabled);
    run_result shown = ponctl({"onu", "show", "00:0D:B6:10:00:00"});
    EXPECT_NE(shown.out.find("UNI0    01 00 02 01 00 01 00 00  no       0"), std::string::npos) << shown.out;

    // The 0x6838 ONU's information block: its type code, then its version
    // text ("V1.00" of firmware 0x0100); the 0x3714 ONU's stays empty.
    std::map<std::string, std::string> info;
    json full = ponctl_json({"onu", "list", "--full"});
    for (const auto &onu : full["onus"])
        info[onu["mac"].get<std::string>()] = onu["info"].get<std::string>();
    EXPECT_EQ(info["00:0D:B6:10:00:30"].substr(0, 21), "01 56 31 2E 30 30 00 ");
    EXPECT_EQ(info["00:0D:B6:10:00:00"].find_first_not_of("0 "), std::string::npos) << info["00:0D:B6:10:00:00"];

    // The diagnostics page of a healthy transceiver, readings within the
    // ranges the simulated ONUs spread over.
    for (const char *mac : {"00:0D:B6:10:00:00", "00:0D:B6:10:00:30", "00:0D:B6:10:00:40"}) {
        json page = ponctl_json({"onu", "triplexer", mac});
        ASSERT_EQ(page["rcode"], 0) << mac;
        EXPECT_EQ(page["page"].get<std::string>().substr(0, 11), "55 00 D8 00") << mac;   // 85 C, -40 C alarms
        EXPECT_GE(page["temperature_c"].get<double>(), 38.5) << mac;
        EXPECT_LE(page["temperature_c"].get<double>(), 45.5) << mac;
        EXPECT_NEAR(page["vcc_v"].get<double>(), 3.3, 0.05) << mac;
        EXPECT_NEAR(page["tx_power_dbm"].get<double>(), 2.2, 0.5) << mac;
        EXPECT_NEAR(page["rx_power_dbm"].get<double>(), -17.5, 0.8) << mac;
        EXPECT_NEAR(page["video_power_dbm"].get<double>(), -3.0, 0.05) << mac;
    }
}

TEST_F(PonctlOnu, ScheduleAddListDeleteClear)
{
    settle();
    // A kind the scheduler does not run stays waiting, whatever the lap.
    EXPECT_EQ(ponctl({"schedule", "add", "00:0D:B6:10:00:00", "7"}).out, "schedule add: added (rcode 0)\n");
    EXPECT_EQ(ponctl({"schedule", "add", "00:0D:B6:10:00:30", "7"}).out, "schedule add: added (rcode 0)\n");
    EXPECT_EQ(ponctl({"schedule", "add", "00:0D:B6:10:00:00", "7"}).out,
              "schedule add: already scheduled (rcode 9)\n");
    // Without its image, the firmware job of the road ONU is tried and
    // fails; it stays listed under its kind.
    EXPECT_EQ(ponctl({"schedule", "add", "00:0D:B6:10:00:00", "firmware"}).out, "schedule add: added (rcode 0)\n");

    json jobs = ponctl_json({"schedule", "list", "7"});
    ASSERT_EQ(jobs["rcode"], 0);
    ASSERT_EQ(jobs["jobs"].size(), 2u) << jobs.dump(1);
    EXPECT_EQ(jobs["jobs"][0]["mac"], "00:0D:B6:10:00:00");
    EXPECT_EQ(jobs["jobs"][1]["mac"], "00:0D:B6:10:00:30");
    for (const auto &job : jobs["jobs"]) {
        EXPECT_EQ(job["kind"], 7);
        EXPECT_EQ(job["status_name"], "waiting");
    }
    json firmware = ponctl_json({"schedule", "list", "firmware"});
    ASSERT_EQ(firmware["jobs"].size(), 1u);
    EXPECT_EQ(firmware["jobs"][0]["kind_name"], "firmware");
    EXPECT_NE(firmware["jobs"][0]["status_name"], "unknown");
    run_result table = ponctl({"schedule", "list", "firmware"});
    EXPECT_NE(table.out.find("00:0D:B6:10:00:00  firmware"), std::string::npos) << table.out;

    EXPECT_EQ(ponctl({"schedule", "del", "00:0D:B6:10:00:30", "7"}).out, "schedule del: deleted (rcode 0)\n");
    EXPECT_EQ(ponctl({"schedule", "del", "00:0D:B6:10:00:30", "7"}).out, "schedule del: not scheduled (rcode 8)\n");
    EXPECT_EQ(ponctl_json({"schedule", "list", "7"})["jobs"].size(), 1u);
    EXPECT_EQ(ponctl({"schedule", "clear", "7"}).out, "schedule clear: cleared (rcode 0)\n");
    EXPECT_TRUE(ponctl_json({"schedule", "list", "7"})["jobs"].empty());
    EXPECT_EQ(ponctl_json({"schedule", "list", "firmware"})["jobs"].size(), 1u) << "another kind stays";
}

TEST_F(PonctlOnu, WatchRedrawsUntilInterruptedAndBadArgumentsSendNothing)
{
    // Started before the board, it waits for it.
    process watch;
    ASSERT_TRUE(watch.start(box_, "watch", PONCTL_BIN, {"onu", "list", "--watch", "--interval", "0.2"}));
    ASSERT_TRUE(eventually([&] { return watch.out().find("waiting for ponkernel") != std::string::npos; }, 30));
    start();
    ASSERT_TRUE(eventually([&] { return watch.out().find("  ONUs 0\nMAC ") != std::string::npos; }, 30))
        << watch.out() << watch.err();
    kill(watch.pid(), SIGINT);
    EXPECT_EQ(watch.wait(10), 0) << "Ctrl-C ends it cleanly";

    int before = commands();
    run_result json_watch = ponctl({"--json", "onu", "list", "--watch"});
    EXPECT_EQ(json_watch.status, 1);
    EXPECT_EQ(count_of(json_watch.err, "\n"), 1) << json_watch.err;
    const std::vector<std::vector<std::string>> bad = {
        {"onu", "show", "00:0D:B6:10:00"}, {"onu", "list", "--olt", "4"},
        {"onu", "laser", "FF:FF:FF:FF:FF:FF", "5"}, {"schedule", "add", "00:0D:B6:10:00:00", "later"},
        {"schedule", "list"}, {"onu", "macs", "9"},
    };
    for (const auto &args : bad) {
        run_result b = ponctl(args);
        EXPECT_EQ(b.status, 1) << args[1];
        EXPECT_NE(b.err.find("ponctl: " + args[0] + " " + args[1] + ": "), std::string::npos) << b.err;
        EXPECT_NE(b.err.find("usage: ponctl " + args[0] + " " + args[1]), std::string::npos) << b.err;
    }
    EXPECT_EQ(commands(), before);

    run_result help = ponctl({"--help"});
    for (const char *command : {"onu list", "onu show", "onu desc", "onu reconfigure", "onu queues", "onu find",
                                "onu igmp", "onu macs", "onu addrs", "onu laser", "onu upgrade", "onu triplexer",
                                "accounting start", "accounting stop", "changes", "schedule add", "schedule del",
                                "schedule list", "schedule clear", "schedule add-all", "schedule add-type"})
        EXPECT_NE(help.out.find(command), std::string::npos) << command;
}

} // namespace
