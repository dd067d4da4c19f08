// The road of an ONU on the simulated board: zandrel and ponkernel as
// processes, the chips, their ONUs and the OLT's provisioning state in this
// test process. One board run carries several ONUs, each on its own road.
#include "integration/harness.h"
#include "oltsim/oltsim.h"
#include "oltsim/onu_service.h"
#include "oltsim/onus.h"
#include "wire/ids.h"
#include "common/wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int ROAD_SECONDS = 150;
constexpr uint16_t FILE_VERSION = 0x0102;

// What the configuration module knows.
const char *KERNEL_BOARD = R"({
  "system": { "hostname": "road", "address": "10.9.8.7" },
  "profiles": { "link": [ { "index": 0, "links": 4 } ], "rules": [ { "index": 0, "in_use": 1 } ] },
  "onus": [
    { "mac": "00:0D:B6:10:00:00", "type": 1, "secret": "5820", "ont_id": 1, "description": "road",
      "olt": 0, "pon": 0, "chip": "0x3714", "fw": "0x0210" },
    { "mac": "00:0D:B6:10:00:10", "type": 1, "secret": "5820", "ont_id": 2, "description": "wrong secret",
      "olt": 0, "pon": 0, "chip": "0x3714" },
    { "mac": "00:0D:B6:10:00:20", "type": 1, "secret": "5820", "ont_id": 3, "description": "elsewhere", "port": 3,
      "olt": 0, "pon": 0, "chip": "0x3714" },
    { "mac": "00:0D:B6:10:00:30", "type": 40, "secret": "s", "ont_id": 4, "description": "no eap",
      "olt": 0, "pon": 1, "chip": "0x6838" },
    { "mac": "00:0D:B6:10:00:40", "type": 1, "secret": "5820", "ont_id": 5, "description": "bad queues",
      "olt": 0, "pon": 1, "chip": "0x3714" }
  ]
})";

// What the chips see register: the same ONUs (one with another secret, one
// with a wrong queue layout) and one the configuration module does not know.
const char *CHIP_ONUS = R"({ "onus": [
    { "mac": "00:0D:B6:10:00:00", "secret": "5820", "olt": 0, "pon": 0, "chip": "0x3714", "fw": "0x0210" },
    { "mac": "00:0D:B6:10:00:10", "secret": "guess", "olt": 0, "pon": 0, "chip": "0x3714" },
    { "mac": "00:0D:B6:10:00:20", "secret": "5820", "olt": 0, "pon": 0, "chip": "0x3714" },
    { "mac": "00:0D:B6:10:00:30", "olt": 0, "pon": 1, "chip": "0x6838" },
    { "mac": "00:0D:B6:10:00:40", "secret": "5820", "olt": 0, "pon": 1, "chip": "0x3714", "queues": "wrong" },
    { "mac": "00:0D:B6:10:00:50", "secret": "5820", "olt": 0, "pon": 1, "chip": "0x3714" }
] })";

class Road : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string net = box_.environment["ZANDREL_CHIP_NET"];
        setenv("ZANDREL_CHIP_NET", net.c_str(), 1);
        setenv("ZANDREL_CHIP_BIND", (net + ".100").c_str(), 1);
        setenv("ZANDREL_ROOT", box_.root().c_str(), 1);
        write(box_.path("/board.json"), KERNEL_BOARD);
        // The chips run the application the daemon expects: no upgrade.
        std::string image = "TK";
        image += char(FILE_VERSION & 0xFF);
        image += char(FILE_VERSION >> 8);
        write(box_.path("/usr/local/share/tk3723app.tkf"), image + std::string(60, 'x'));
    }
    void TearDown() override
    {
        daemon_.stop(15);
        kernel_.stop(10);
        if (sim_)
            sim_->stop();
        unsetenv("ZANDREL_ROOT");
    }
    static void write(const std::string &path, const std::string &content)
    {
        std::ofstream out(path, std::ios::binary);
        out << content;
    }
    void start()
    {
        oltsim::options opts;
        opts.log = false;
        opts.boot_ms = 3000;
        sim_ = std::make_unique<oltsim::chipset>(opts);
        std::string error;
        ASSERT_TRUE(oltsim::parse_board(CHIP_ONUS, onus_, nullptr, error)) << error;
        population_ = std::make_unique<oltsim::onu_population>(*sim_, onus_, opts.mac);
        population_->attach();
        service_ = std::make_unique<oltsim::onu_service>(*sim_, *population_, onus_);
        service_->attach();
        ASSERT_EQ(sim_->start(), 0);
        ASSERT_TRUE(kernel_.start(box_, "ponkernel", PONKERNEL_BIN, {"-c", box_.path("/board.json")}));
        ASSERT_TRUE(eventually([&] { return kernel_.out().find("listening") != std::string::npos; }, 10));
        ASSERT_TRUE(daemon_.start(box_, "zandrel", ZANDREL_BIN));
        ASSERT_TRUE(eventually([&] { return says("get config cache success"); }, 60)) << daemon_.err();
        ASSERT_TRUE(eventually([&] { return says("oltready_handler: OLT[0] in RESETOK state"); }, 60));
    }
    bool says(const std::string &text) const
    {
        return daemon_.out().find(text) != std::string::npos || daemon_.err().find(text) != std::string::npos;
    }
    // The states the ONU went through, from the daemon's trace.
    std::vector<std::string> states(const std::string &mac) const
    {
        std::vector<std::string> out;
        std::regex line("ONU " + mac + ", change state from [A-Z]+ to ([A-Z]+)");
        std::string text = daemon_.out();
        for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
            out.push_back((*it)[1]);
        return out;
    }
    std::string state(const std::string &mac) const
    {
        auto all = states(mac);
        return all.empty() ? "" : all.back();
    }
    // The notification events about the ONU that ponkernel received, in order.
    std::vector<int> events(const std::string &mac) const
    {
        std::vector<int> out;
        std::regex line("notification: event ([0-9]+) numbers [0-9 ]+ text \"" + mac);
        std::string text = kernel_.out();
        for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
            out.push_back(std::stoi((*it)[1]));
        return out;
    }
    static void mac(const char *text, uint8_t out[6])
    {
        unsigned b[6];
        sscanf(text, "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
        for (int i = 0; i < 6; i++)
            out[i] = uint8_t(b[i]);
    }

    sandbox box_;
    process daemon_, kernel_;
    std::vector<oltsim::board_onu> onus_;
    std::unique_ptr<oltsim::chipset> sim_;
    std::unique_ptr<oltsim::onu_population> population_;
    std::unique_ptr<oltsim::onu_service> service_;
};

TEST_F(Road, EachOnuEndsWhereItsConfigurationSends)
{
    start();
    population_->register_all(0);
    const char *road = "00:0D:B6:10:00:00";
    ASSERT_TRUE(eventually([&] { return state(road) == "OK" && state("00:0D:B6:10:00:30") == "OK"; }, ROAD_SECONDS))
        << daemon_.out();

    // The road itself: every state in order, and the notifications.
    EXPECT_EQ(states(road), (std::vector<std::string>{"ALLOCATED", "AUTHINPROGRESS", "AUTHOK", "DISCOVERED",
                                                      "CFGINPROGRESS", "OK"}));
    EXPECT_EQ(events(road), (std::vector<int>{EVENT_ONU_STATE, EVENT_ONU_AUTH_OK, EVENT_ONU_CONFIGURE_OK,
                                              EVENT_ONU_STATE}));
    uint8_t road_mac[6];
    mac(road, road_mac);
    EXPECT_EQ(service_->eap_result(road_mac), 3) << "EAP Success";

    // A registration for one of its links now is refused.
    size_t accepted = population_->accepted();
    population_->register_onu(road_mac);
    EXPECT_TRUE(eventually([&] { return count_of(daemon_.out(), "registrationattempt_handler: rejected") >= 4; }));
    EXPECT_EQ(population_->accepted(), accepted);

    // A wrong secret: the mismatch lines and EAP Failure.
    EXPECT_TRUE(eventually([&] { return state("00:0D:B6:10:00:10") == "AUTHFAILED"; }));
    EXPECT_TRUE(says("compose_eap_packet_olt_internal: config secret: 5820"));
    EXPECT_TRUE(says("compose_eap_packet_olt_internal: md5 hashes are mismatch"));
    uint8_t wrong[6];
    mac("00:0D:B6:10:00:10", wrong);
    EXPECT_EQ(service_->eap_result(wrong), 4) << "EAP Failure";

    // On the wrong PON port.
    EXPECT_TRUE(eventually([&] { return state("00:0D:B6:10:00:20") == "CFGFAILED"; }));
    EXPECT_TRUE(says("profiler_onu_reconfigure_internal: ONU 00:0D:B6:10:00:20 (desc: elsewhere) connected to invalid "
                     "pon port"));

    // Unknown to the configuration module.
    EXPECT_TRUE(eventually([&] { return state("00:0D:B6:10:00:50") == "UNCONFIGURED"; }));

    // A 0x6838 ONU is authorized without an answer of its own.
    EXPECT_EQ(states("00:0D:B6:10:00:30"),
              (std::vector<std::string>{"ALLOCATED", "AUTHOK", "DISCOVERED", "CFGINPROGRESS", "OK"}));
    EXPECT_EQ(count_of(daemon_.out(), "eapframe_handler: ONU 00:0D:B6:10:00:30"), 0);

    // A wrong queue layout: repaired, the ONU restarts, registers again and
    // comes up.
    uint8_t repaired[6];
    mac("00:0D:B6:10:00:40", repaired);
    EXPECT_TRUE(eventually([&] { return state("00:0D:B6:10:00:40") == "OK"; }, ROAD_SECONDS)) << daemon_.out();
    EXPECT_EQ(service_->resets(repaired), 1);
    auto repaired_states = states("00:0D:B6:10:00:40");
    EXPECT_EQ(std::count(repaired_states.begin(), repaired_states.end(), "FREE"), 1) << "released after the repair";
    EXPECT_TRUE(says("profiler_check_ont_queues: ONU 00:0D:B6:10:00:40 queues config is invalid."));

    // The OLT's side of the four ONUs whose links and paths were configured
    // (the one on the wrong port fails after them): a path per link, one
    // destination per ONU with its four link parts.
    EXPECT_EQ(service_->paths(0), 16u);
    auto destinations = service_->destinations(0);
    EXPECT_EQ(destinations.size(), 4u);
    for (auto &[index, d] : destinations) {
        ASSERT_GE(d.create.size(), 5u);
        EXPECT_EQ(d.create[4], 4) << "destination " << index;
        EXPECT_FALSE(d.learning.empty());
        EXPECT_FALSE(d.opt82.empty());
        EXPECT_FALSE(d.pppoe.empty());
    }
}

TEST_F(Road, FailingSlaLeavesTheLinkInProgressAndTheOnuFailed)
{
    start();
    service_->fail_id(TEK_REQ_QUEUE_SLA, 3);
    uint8_t road[6];
    mac("00:0D:B6:10:00:00", road);
    population_->register_onu(road);
    ASSERT_TRUE(eventually([&] { return state("00:0D:B6:10:00:00") == "CFGFAILED"; }, ROAD_SECONDS)) << daemon_.out();
    EXPECT_TRUE(says("profiler_onu_link_set_sla_internal: link 00:0D:B6:10:00:00 set DSQ SLA "
                     "failed(response->header.rcode 3)"));
    EXPECT_TRUE(says("profiler_onu_reconfigure: ONT 00:0D:B6:10:00:00 configure failed"));
    EXPECT_EQ(service_->eap_result(road), 4) << "EAP Failure after the configuration failed";
    // ALLOCATED, authenticated, CFGFAILED, then the failure report.
    EXPECT_EQ(events("00:0D:B6:10:00:00"),
              (std::vector<int>{EVENT_ONU_STATE, EVENT_ONU_AUTH_OK, EVENT_ONU_STATE, EVENT_CONFIG_PROBLEM}));
    EXPECT_EQ(service_->link_slas(0), 0u) << "the failing DSQ request ends the link's configuration";
}

} // namespace
