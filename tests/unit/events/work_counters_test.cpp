// The counters file: what the event thread and the profiler's passes
// handled and what the chip link met, in the order and names outside tools
// parse, and the same as a Prometheus text file.
#include "common/chip_fixture.h"

#include "chip/tekrequest.h"
#include "engine/profiler.h"
#include "events/tekhandlers.h"
#include "events/work_counters.h"
#include "platform/clock.h"

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const profiler_handlers doubles = {[](int) { return 0; }, [](const uint8_t *) { return 0; },
                                   [](int, uint8_t *) -> onu_record * { return nullptr; }, [](onu_record *) { return 0; }};

// The counters file's lines, in order, as (name, value).
std::vector<std::pair<std::string, unsigned long>> parse(const std::string &text)
{
    std::vector<std::pair<std::string, unsigned long>> lines;
    std::istringstream in(text);
    std::string name;
    unsigned long value;
    while (in >> name >> value)
        lines.emplace_back(name, value);
    return lines;
}

class WorkCounters : public ChipFixture {
protected:
    std::map<std::string, unsigned long> written()
    {
        EXPECT_EQ(work_counters_write(), 0);
        auto lines = parse(read_file(root_.string() + WORK_COUNTERS_FILE));
        return {lines.begin(), lines.end()};
    }
};

TEST_F(WorkCounters, EveryEventTheThreadHandlesAndEveryWorkItemAPassTakesIsCounted)
{
    auto before = written();
    clock_fake_set(100);   // only an event or the stop ends the thread's wait
    ASSERT_EQ(tekhandlers_start(), 0);
    for (int n = 0; n < 3; n++)
        sim_->send_event(2, TEK_EVENT_REGISTRATION, oltsim::bytes(14, 0));
    ASSERT_TRUE(eventually([&] { return tekhandlers_events_handled() >= before["events_handled"] + 3; }));
    tekhandlers_stop();
    clock_fake_release();

    ASSERT_EQ(profiler_set_handlers(&doubles), 0);
    const uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x44, 0x00, 0x01};
    profiler_init_olt_reconfigure(1);
    profiler_init_onu_reconfigure(mac);
    profiler_init_onu_reconfigure(mac);
    profiler_engine engine;
    while (profiler_engine_pass(&engine, 0)) {
    }

    // Two requests lost (a chip lets the third through), then an answer
    // "No ONU Response" and the resend answered.
    sim_->drop_requests(100);
    EXPECT_EQ(with_time_running([] { return tekrequest_result(1, TEK_REQ_OLT_PARAMS, nullptr, 0, 1); }), 0);
    sim_->clear_faults();
    sim_->rcode_next(1, TEKLINK_RCODE_NO_ONU_RESPONSE, 1);
    EXPECT_EQ(with_time_running([] { return tekrequest_result(1, TEK_REQ_OLT_PARAMS, nullptr, 0, 1); }), 0);

    auto after = written();
    const std::pair<const char *, unsigned long> deltas[] = {
        {"olt2_events_0x8014", 3}, {"olt1_exchanges", 2},      {"olt1_timeouts", 2},        {"olt1_resends_rcode_11", 1},
        {"olt0_exchanges", 0},     {"events_handled", 3},      {"work_olt_reconfigure", 1}, {"work_onu_reconfigure", 2},
        {"work_items", 3}};
    for (auto [name, delta] : deltas)
        EXPECT_EQ(after[name] - before[name], delta) << name;
}

// The counters file starts with the names outside tools parse, in their
// order. The textfile collector's format: every family announced by HELP
// and TYPE once, before its samples; the values those of the counters file;
// the file replaced whole. A file that cannot be written is reported.
TEST_F(WorkCounters, TheFilesKeepTheirNamesAndFormatsOrReportTheyCouldNotBeWritten)
{
    std::string names;
    for (const auto &[name, value] : parse(work_counters_text()))
        names += name + " ";
    EXPECT_EQ(names.rfind("events_handled work_items work_olt_reconfigure work_onu_reconfigure work_link_discovery "
                          "work_unknown olt0_exchanges ", 0), 0u) << names;

    auto counters = written();
    const std::string path = (root_ / "tmp/zandrel.prom").string();
    ASSERT_EQ(work_counters_prom_write(path), 0);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    std::istringstream in(read_file(path));
    std::map<std::string, unsigned long> samples;
    std::set<std::string> typed;
    std::string family;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first, type, name;
        words >> first >> type >> name;
        if (first == "#" && type == "TYPE") {
            EXPECT_EQ(line, "# TYPE " + name + " counter");
            EXPECT_TRUE(typed.insert(family = name).second) << name;
        } else if (first != "#") {
            EXPECT_EQ(first.substr(0, first.find('{')), family) << line;
            samples[first] = std::stoul(type);
        }
    }
    EXPECT_EQ(samples["zandrel_events_handled_total"], counters["events_handled"]);
    EXPECT_EQ(samples["zandrel_chip_dropped_total{olt=\"3\",reason=\"pool_share\"}"],
              counters["olt3_dropped_pool_share"]);

    std::filesystem::remove_all(root_ / "tmp");
    EXPECT_EQ(work_counters_write(), -1);
    EXPECT_EQ(work_counters_prom_write(path), -1);
    std::filesystem::create_directories(root_ / "tmp");
}

} // namespace
