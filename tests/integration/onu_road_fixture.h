// The fixture of the ONU road tests: zandrel and ponkernel as processes, the
// chips, their ONUs and the OLT's provisioning state in the test process.
#pragma once

#include "integration/harness.h"
#include "oltsim/onu_service.h"
#include "oltsim/onus.h"
#include "oltsim/statistics.h"
#include "platform/textconv.h"
#include "wire/ids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <regex>

inline constexpr int ROAD_SECONDS = 150;

inline std::string integration_vector(const std::string &name)
{
    return read_file(ZANDREL_VECTORS_DIR "/integration/" + name);
}

// An ONU's MAC from its text, as the simulated ONUs take it.
struct mac_bytes : std::array<uint8_t, 6> {
    operator const uint8_t *() const { return data(); }
};
inline mac_bytes mac(const std::string &text)
{
    mac_bytes out{};
    convert_mac(out.data(), text.c_str());
    return out;
}

class Road : public ::testing::Test {
protected:
    // The board file ponkernel loads and the ONUs the chips see register:
    // the road's ONUs (one with another secret, one with a wrong queue
    // layout) and one the board file does not know. A fixture of other
    // roads gives its own.
    virtual std::string kernel_board() const { return integration_vector("road_board.json"); }
    virtual std::string chip_onus() const { return integration_vector("road_chip_onus.json"); }
    void SetUp() override
    {
        board_.write_board(kernel_board());
        board_.app_image();   // the one the daemon expects: no upgrade
    }
    void TearDown() override { board_.stop(); }
    static void write(const std::string &path, const std::string &text) { std::ofstream(path) << text; }
    // The chips (the daemon opens its chip socket after it reset them),
    // their ONUs and the OLT's provisioning state, then ponkernel and the
    // daemon, until the first chip is ready.
    void start()
    {
        ASSERT_TRUE(board_.start_chips());
        std::string error;
        ASSERT_TRUE(oltsim::parse_board(chip_onus(), onus_, nullptr, error)) << error;
        population_ = std::make_unique<oltsim::onu_population>(*sim_, onus_, oltsim::options{}.mac);
        population_->attach();
        service_ = std::make_unique<oltsim::onu_service>(*sim_, *population_, onus_);
        service_->attach();
        counters_ = std::make_unique<oltsim::traffic_counters>(*sim_);
        counters_->attach();
        start_kernel();
        ASSERT_TRUE(board_.start_daemon());
        ASSERT_TRUE(says("get config cache success", 60)) << daemon_.err();
        ASSERT_TRUE(says("oltready_handler: OLT[0] in RESETOK state", 60));
    }
    // ponkernel on the board file, listening; also how a test brings it back
    // (its output runs on across restarts).
    void start_kernel() { ASSERT_TRUE(board_.start_kernel()) << kernel_.err(); }
    // The daemon printed `text`, or does within `seconds`.
    bool says(const std::string &text, int seconds = 0) const
    {
        return eventually([&] { return daemon_.out().find(text) != std::string::npos ||
                                       daemon_.err().find(text) != std::string::npos; }, seconds);
    }
    // Group 1 of every match of `pattern` in `text`.
    static std::vector<std::string> found(const std::string &text, const std::string &pattern)
    {
        std::vector<std::string> out;
        std::regex line(pattern);
        for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
            out.push_back((*it)[1]);
        return out;
    }
    // The states the ONU went through, from the daemon's trace.
    std::vector<std::string> states(const std::string &mac) const
    {
        return found(daemon_.out(), "ONU " + mac + ", change state from [A-Z]+ to ([A-Z]+)");
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
        for (auto &code : found(kernel_.out(), "notification: event ([0-9]+) numbers [0-9 ]+ text \"" + mac))
            out.push_back(std::stoi(code));
        return out;
    }
    // The figures a fault must leave as it found them: pool memory in use
    // and held by the pool (the daemon's resource report), the links' paths
    // the OLT keeps, and the ONU records the daemon holds (allocated less
    // released, from its state trace).
    struct resources {
        long in_use = -1;
        long balloced = -1;
        size_t paths = 0;
        int records = 0;
    };
    static long figure(const std::string &report, const std::string &label)
    {
        size_t at = report.find(label);
        return at == std::string::npos ? -1 : std::stol(report.substr(at + label.size()));
    }
    resources measure()
    {
        resources r;
        if (board_.ponctl({"report"}).status == 0) {
            std::string report = read_file(box_.path("/tmp/system_resources.log"));
            r.in_use = figure(report, "Memory currently in use");
            r.balloced = figure(report, "Memory currently balloced");
        }
        r.paths = service_->paths(0);
        std::string trace = daemon_.out();
        r.records = count_of(trace, " to ALLOCATED") - count_of(trace, " to FREE");
        return r;
    }
    // `before` with `onus` more ONU records holding `paths` more paths: an
    // ONU that settled holds no pool block.
    static resources holding(resources before, int onus, size_t paths)
    {
        before.records += onus;
        before.paths += paths;
        return before;
    }
    // Quiet again: the daemon's figures settle where `before` says (a
    // request in flight may hold a block for a moment).
    void expect_nothing_leaked(const resources &before)
    {
        resources after;
        // Blocks of the start-up may still have been in flight when `before`
        // was taken: memory may only shrink.
        EXPECT_TRUE(eventually(
            [&] {
                after = measure();
                return after.in_use >= 0 && after.in_use <= before.in_use && after.balloced <= before.balloced &&
                       after.paths == before.paths && after.records == before.records;
            },
            30))
            << "memory in use " << before.in_use << " -> " << after.in_use << ", balloced " << before.balloced
            << " -> " << after.balloced << ", paths " << before.paths << " -> " << after.paths << ", ONU records "
            << before.records << " -> " << after.records;
    }

    sandbox box_;
    board board_{box_};
    process &daemon_ = board_.daemon, &kernel_ = board_.kernel;
    std::vector<oltsim::board_onu> onus_;
    std::unique_ptr<oltsim::chipset> &sim_ = board_.sim;
    std::unique_ptr<oltsim::onu_population> population_;
    std::unique_ptr<oltsim::onu_service> service_;
    std::unique_ptr<oltsim::traffic_counters> counters_;
};

