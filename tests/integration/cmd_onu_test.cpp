// The ONU commands on the simulated board, sent the way an operator sends
// them (ponctl through ponkernel to the daemon as a process): what ponctl
// shows of the road fixture's ONUs agrees with the daemon's trace and the
// board file, the look-ups find what the chips were seeded with, and the
// actions reach the chips, the schedule and the management process.
#include "integration/onu_road_fixture.h"
#include "oltsim/onu_ports.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>

namespace {

using nlohmann::json;

const char *const ROAD = "00:0D:B6:10:00:00";
const char *const NO_EAP = "00:0D:B6:10:00:30";

class OnuCommandsBoard : public Road {
protected:
    // Every ONU of the board at the end of its road, its UNI ports and
    // transceiver answering as oltsim's program has them.
    void settle()
    {
        box_.environment["ZANDREL_COUNTERS_PROM"] = "/tmp/zandrel.prom";
        box_.environment["ZANDREL_COUNTERS_PROM_SECONDS"] = "1";
        start();
        ports_ = std::make_unique<oltsim::onu_ports>(*sim_);
        for (const auto &onu : onus_)
            ports_->add(onu);
        ports_->attach();
        population_->register_all(0);
        const std::map<std::string, std::string> ends = {
            {ROAD, "OK"},   {"00:0D:B6:10:00:10", "AUTHFAILED"}, {"00:0D:B6:10:00:20", "CFGFAILED"},
            {NO_EAP, "OK"}, {"00:0D:B6:10:00:40", "OK"},         {"00:0D:B6:10:00:50", "UNCONFIGURED"},
        };
        ASSERT_TRUE(eventually(
            [&] {
                return std::all_of(ends.begin(), ends.end(), [&](const auto &e) { return state(e.first) == e.second; });
            },
            ROAD_SECONDS))
            << daemon_.out();
    }
    std::string ponctl(const std::vector<std::string> &args)
    {
        run_result r = board_.ponctl(args);
        return r.out + r.err;
    }
    json ponctl_json(std::vector<std::string> args)
    {
        args.insert(args.begin(), "--json");
        run_result r = board_.ponctl(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.status == 0 ? json::parse(r.out) : json();
    }

    std::unique_ptr<oltsim::onu_ports> ports_;
};

TEST_F(OnuCommandsBoard, WhatTheOperatorSeesAgreesWithTheDaemonAndTheChips)
{
    settle();
    // Every ONU the daemon holds, in the state it traced last, with the ONT
    // ids, types and ports the board file and the registrations gave.
    std::map<std::string, json> by_mac;
    json list = ponctl_json({"onu", "list"}), full = ponctl_json({"onu", "list", "--olt", "0", "--full"});
    for (const auto &onu : list["onus"])
        by_mac[onu["mac"].get<std::string>()] = onu;
    ASSERT_EQ(by_mac.size(), 6u);
    for (const auto &[mac, onu] : by_mac)
        EXPECT_EQ(onu["state_name"], state(mac)) << mac;
    EXPECT_EQ(by_mac[ROAD]["firmware"], 0x0210);
    EXPECT_EQ(by_mac[ROAD]["discovered_links"], 4);
    EXPECT_EQ(by_mac[NO_EAP]["ont_id"], 4);
    // The full list's information block: the 0x6838 ONU's type code and
    // version text ("V1.00" of firmware 0x0100); the 0x3714 ONU's is empty.
    std::map<std::string, std::string> info;
    for (const auto &onu : full["onus"])
        info[onu["mac"].get<std::string>()] = onu["info"].get<std::string>();
    ASSERT_EQ(info.size(), 6u);
    EXPECT_EQ(info[NO_EAP].substr(0, 21), "01 56 31 2E 30 30 00 ");
    EXPECT_EQ(info[ROAD].find_first_not_of("0 "), std::string::npos) << info[ROAD];

    // The record: its four links in OK at the ONU's MAC plus their index;
    // its UNIs named, their status from the port answers, the second byte
    // the link, which the road configuration switched off.
    json record = ponctl_json({"onu", "show", ROAD});
    ASSERT_EQ(record["rcode"], 0) << record.dump(1);
    EXPECT_EQ(record["description"], "road");
    EXPECT_TRUE(record["flags"]["configured_ok"]);
    ASSERT_EQ(record["links"].size(), 4u);
    for (unsigned i = 0; i < 4; i++) {
        EXPECT_EQ(record["links"][i]["mac"], "00:0D:B6:10:00:0" + std::to_string(i));
        EXPECT_EQ(record["links"][i]["state_name"], "OK");
    }
    ASSERT_EQ(record["uni_ports"].size(), 2u);
    EXPECT_EQ(record["uni_ports"][0]["status"], "01 00 02 01 00 01 00 00");
    EXPECT_EQ(record["uni_ports"][1]["status"], "01 00 01 01 00 01 00 00");
    EXPECT_EQ(ponctl({"onu", "desc", NO_EAP}), "00:0D:B6:10:00:30  no eap\n");
    EXPECT_NEAR(ponctl_json({"onu", "triplexer", NO_EAP})["vcc_v"].get<double>(), 3.3, 0.05);

    // A host learned behind the road ONU's first UNI: found from its port
    // or any port, listed for the port; groups joined behind it.
    const uint8_t host[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    const std::string host_text = "02:11:22:33:44:55";
    service_->add_learned(0, record["uni_paths"][0].get<uint16_t>(), host);
    json found = ponctl_json({"onu", "find", host_text});
    EXPECT_EQ(found["mac"], ROAD);
    EXPECT_EQ(found["uni"], 1);
    EXPECT_EQ(ponctl({"onu", "find", host_text, "--port", "1"}), "ONU look-up: not found (rcode 8)\n");
    json macs = ponctl_json({"onu", "macs", "0"});
    ASSERT_EQ(macs["records"].size(), 1u) << macs.dump(1);
    EXPECT_EQ(macs["records"][0]["entries"], json::array({host_text}));
    EXPECT_EQ(ponctl_json({"onu", "macs", "--onu", ROAD})["records"], macs["records"]);
    EXPECT_TRUE(ponctl_json({"onu", "macs", "1"})["records"].empty()) << "nothing learned behind PON 1";
    EXPECT_EQ(ponctl_json({"onu", "addrs", "0"})["count"], 1);
    const uint8_t group[4] = {239, 1, 2, 3};
    service_->join_group(mac(ROAD), 2, group);
    EXPECT_EQ(ponctl_json({"onu", "igmp", ROAD})["groups"], json::parse(R"([{"group": "239.1.2.3", "kind": 1}])"));

    // The queue rewrite restarts the ONU with the layout it should have.
    const mac_bytes no_eap = mac(NO_EAP);
    int resets = service_->resets(no_eap);
    EXPECT_EQ(ponctl({"onu", "queues", NO_EAP}), "ONU queues: rewritten, ONU reset (rcode 0)\n");
    EXPECT_EQ(service_->resets(no_eap), resets + 1);
    EXPECT_EQ(service_->queue_layout(no_eap), oltsim::factory_queue_layout(no_eap, 4, false));

    // Kinds the scheduler does not run stay waiting.
    for (const char *onu : {ROAD, NO_EAP})
        EXPECT_EQ(ponctl({"schedule", "add", onu, "7"}), "schedule add: added (rcode 0)\n");
    EXPECT_EQ(ponctl({"schedule", "add", ROAD, "9"}), "schedule add: added (rcode 0)\n");
    json jobs = ponctl_json({"schedule", "list", "7"});
    ASSERT_EQ(jobs["jobs"].size(), 2u) << jobs.dump(1);
    EXPECT_EQ(jobs["jobs"][1]["mac"], NO_EAP);
    EXPECT_EQ(jobs["jobs"][1]["status_name"], "waiting");
    EXPECT_EQ(ponctl({"schedule", "clear", "7"}), "schedule clear: cleared (rcode 0)\n");
    EXPECT_TRUE(ponctl_json({"schedule", "list", "7"})["jobs"].empty());
    EXPECT_EQ(ponctl_json({"schedule", "list", "9"})["jobs"].size(), 1u) << "another kind stays";

    // The link counters, as ponctl and the Prometheus file show them.
    auto grew = [](const json &after, const json &before, const char *name) {
        return after.value(name, 0ul) - before.value(name, 0ul);
    };
    json before = ponctl_json({"counters"});
    EXPECT_GT(before.value("olt0_exchanges", 0ul), 0u);
    EXPECT_EQ(board_.ponctl({"raw", "0x1005"}).status, 0);   // no parameter block: refused
    json after = ponctl_json({"counters"});
    EXPECT_EQ(grew(after, before, "mgmt_commands_0x7002"), 1u);
    EXPECT_EQ(grew(after, before, "mgmt_commands_0x1005"), 1u);
    EXPECT_EQ(grew(after, before, "mgmt_refused_payloads"), 1u);
    // Every command before this report answered; its own answer leaves after.
    EXPECT_EQ(grew(after, before, "mgmt_answers"), 2u);
    EXPECT_NE(ponctl({"counters"}).find("olt0\n  exchanges "), std::string::npos);
    std::string prom;
    EXPECT_TRUE(eventually([&] {
        prom = read_file(box_.path("/tmp/zandrel.prom"));
        return prom.find("zandrel_mgmt_commands_total{code=\"0x1005\"} 1\n") != std::string::npos;
    }, 10)) << prom;
}

} // namespace
