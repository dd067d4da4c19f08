// ponctl against the whole simulated board: the daemon as a process
// configures the chips (in this process), ponkernel serves the board file
// and forwards ponctl's commands. The OLT record, the port statistics and
// the refusals of bad arguments, as an operator sees them.
#include "integration/harness.h"
#include "common/olt_config_fixture.h"
#include "oltsim/statistics.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

constexpr int CONFIGURED_SECONDS = 60;

class PonctlOlt : public ::testing::Test {
protected:
    void SetUp() override
    {
        board_.write_board(olt_test_board());
        board_.app_image();
        oltsim::options opts;
        opts.log = false;
        opts.boot_ms = 3000;
        sim_ = std::make_unique<oltsim::chipset>(opts);
        chips_ = std::make_unique<oltsim::olt_config_sim>(*sim_);
        chips_->attach();
        counters_ = std::make_unique<oltsim::traffic_counters>(*sim_);
        counters_->attach();
        ASSERT_EQ(sim_->start(), 0);
        box_.environment["ZANDREL_COUNTERS_PROM"] = "/tmp/zandrel.prom";
        box_.environment["ZANDREL_COUNTERS_PROM_SECONDS"] = "1";
        ASSERT_TRUE(board_.start_kernel());
        ASSERT_TRUE(board_.start_daemon());
        const std::string ok = "profiler_olt_reconfigure: OLT[0] in OK state\n";
        ASSERT_TRUE(eventually([&] { return daemon_.out().find(ok) != std::string::npos; }, CONFIGURED_SECONDS))
            << daemon_.err();
    }
    void TearDown() override { board_.stop(); }

    run_result ponctl(const std::vector<std::string> &args) { return run_program(box_, "ponctl", PONCTL_BIN, args); }

    sandbox box_;
    board board_{box_};
    std::unique_ptr<oltsim::chipset> &sim_ = board_.sim;
    std::unique_ptr<oltsim::olt_config_sim> chips_;
    std::unique_ptr<oltsim::traffic_counters> counters_;
    process &kernel_ = board_.kernel, &daemon_ = board_.daemon;
};

TEST_F(PonctlOlt, OltRecordShowsPortNamesTransceiversAndBaseLlids)
{
    run_result r = ponctl({"--json", "olt", "show", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["rcode"], 0);
    EXPECT_EQ(j["olt"], 0);
    EXPECT_EQ(j["state_name"], "OK");
    ASSERT_EQ(j["ports"].size(), 4u);
    EXPECT_EQ(j["ports"][0]["name"], "PON0");
    EXPECT_EQ(j["ports"][3]["name"], "NNI1");
    EXPECT_EQ(j["ports"][0]["base_llid"], chips_->state(0).base_llid[0]);
    EXPECT_EQ(j["ports"][1]["base_llid"], chips_->state(0).base_llid[1]);

    run_result text = ponctl({"olt", "show", "0"});
    ASSERT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("PON0"), std::string::npos);
    EXPECT_NE(text.out.find("0x1000"), std::string::npos);
}

TEST_F(PonctlOlt, PortStatisticsAndBadArguments)
{
    run_result r = ponctl({"--json", "stats", "port", "0", "1", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["rcode"], 0);
    // The chip's counters, growing with its traffic.
    ASSERT_EQ(j["counters"].size(), std::size(oltsim::STATS_COUNTERS)) << r.out;
    EXPECT_EQ(j["counters"][1]["id"], 2);
    uint64_t frames = j["counters"][1]["value"];
    EXPECT_GT(frames, 0u);
    nlohmann::json later = nlohmann::json::parse(ponctl({"--json", "stats", "port", "0", "1", "2"}).out);
    EXPECT_GT(later["counters"][1]["value"].get<uint64_t>(), frames);

    // No command reaches the daemon for a wrong argument.
    auto commands = [&] { return count_of(daemon_.out(), "kernlink_process_loop Got message "); };
    int before = commands();
    const std::vector<std::vector<std::string>> bad = {
        {"olt", "show", "4"}, {"olt", "show"}, {"olt", "reset", "x"}, {"stats", "port", "0", "1", "4"},
        {"stats", "port", "0", "1"}, {"olt", "show", "-1"},
    };
    for (const auto &args : bad) {
        run_result b = ponctl(args);
        EXPECT_EQ(b.status, 1) << args[0];
        EXPECT_NE(b.err.find("ponctl: " + args[0] + " " + args[1] + ": "), std::string::npos) << b.err;
        EXPECT_NE(b.err.find("usage: ponctl " + args[0] + " " + args[1]), std::string::npos) << b.err;
    }
    EXPECT_EQ(commands(), before);

    run_result help = ponctl({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char *command : {"olt show", "olt reset", "stats port", "ping", "raw"})
        EXPECT_NE(help.out.find(command), std::string::npos) << command;
}

// The daemon's counters as a script reads them, and as its Prometheus file
// shows them: the chip exchanges of the configuration, the commands by
// code, the answers, and a command refused for its payload.
TEST_F(PonctlOlt, CountersAsJsonAndInThePrometheusFile)
{
    auto counters = [&] {
        run_result r = ponctl({"counters", "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        return nlohmann::json::parse(r.out);
    };
    nlohmann::json before = counters();
    EXPECT_GT(before["olt0_exchanges"].get<unsigned long>(), 0u);
    EXPECT_EQ(ponctl({"raw", "0x1005"}).status, 0);   // no parameter block: refused
    nlohmann::json after = counters();
    EXPECT_EQ(after["mgmt_commands_0x7002"].get<unsigned long>() - before["mgmt_commands_0x7002"].get<unsigned long>(), 1u);
    EXPECT_EQ(after["mgmt_commands_0x1005"].get<unsigned long>(), 1u);
    EXPECT_EQ(after["mgmt_refused_payloads"].get<unsigned long>() - before["mgmt_refused_payloads"].get<unsigned long>(), 1u);
    // Every command before this report answered; its own answer leaves after.
    EXPECT_EQ(after["mgmt_answers"].get<unsigned long>() - before["mgmt_answers"].get<unsigned long>(), 2u);

    run_result text = ponctl({"counters"});
    EXPECT_NE(text.out.find("olt0\n  exchanges "), std::string::npos) << text.out;
    std::string prom;
    EXPECT_TRUE(eventually([&] {
        prom = read_file(box_.path("/tmp/zandrel.prom"));
        return prom.find("zandrel_mgmt_commands_total{code=\"0x1005\"} 1\n") != std::string::npos;
    }, 10)) << prom;
}

} // namespace
