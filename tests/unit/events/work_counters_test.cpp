// The counters file: what the event thread and the profiler's passes
// handled and what the chip link met, in the order and names outside tools
// parse, and the same as a Prometheus text file.
#include "common/chip_fixture.h"

#include "chip/tekrequest.h"
#include "engine/profiler.h"
#include "events/tekhandlers.h"
#include "events/work_counters.h"
#include "platform/clock.h"

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

int olt_reconfigured(int) { return 0; }
int onu_reconfigured(const uint8_t *) { return 0; }
onu_record *no_onu(int, uint8_t *) { return nullptr; }
int onu_discovered(onu_record *) { return 0; }
const profiler_handlers doubles = {olt_reconfigured, onu_reconfigured, no_onu, onu_discovered};

// The file's lines, in order, as (name, value).
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
        std::ifstream in(root_.string() + WORK_COUNTERS_FILE);
        std::stringstream text;
        text << in.rdbuf();
        auto lines = parse(text.str());
        return {lines.begin(), lines.end()};
    }
};

TEST(WorkCountersText, TheFirstNamesKeepTheirOrder)
{
    std::vector<std::string> names;
    for (const auto &line : parse(work_counters_text()))
        names.push_back(line.first);
    names.resize(7);
    EXPECT_EQ(names, (std::vector<std::string>{"events_handled", "work_items", "work_olt_reconfigure",
                                               "work_onu_reconfigure", "work_link_discovery", "work_unknown",
                                               "olt0_exchanges"}));
}

TEST_F(WorkCounters, EveryEventTheThreadHandlesAndEveryWorkItemAPassTakesIsCounted)
{
    auto before = written();
    clock_fake_set(100);   // only an event or the stop ends the thread's wait
    ASSERT_EQ(tekhandlers_start(), 0);
    oltsim::bytes attempt(14, 0);
    for (uint8_t link : {7, 8, 9}) {
        attempt[13] = link;
        sim_->send_event(2, TEK_EVENT_REGISTRATION, attempt);
    }
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
    EXPECT_EQ(after["olt2_events_0x8014"] - before["olt2_events_0x8014"], 3u);
    EXPECT_EQ(after["olt1_exchanges"] - before["olt1_exchanges"], 2u);
    EXPECT_EQ(after["olt1_timeouts"] - before["olt1_timeouts"], 2u);
    EXPECT_EQ(after["olt1_resends_rcode_11"] - before["olt1_resends_rcode_11"], 1u);
    EXPECT_EQ(after["olt0_exchanges"], before["olt0_exchanges"]);
    EXPECT_EQ(after["events_handled"] - before["events_handled"], 3u);
    EXPECT_EQ(after["work_olt_reconfigure"] - before["work_olt_reconfigure"], 1u);
    EXPECT_EQ(after["work_onu_reconfigure"] - before["work_onu_reconfigure"], 2u);
    EXPECT_EQ(after["work_items"] - before["work_items"], 3u);
}

// The textfile collector's format: every family announced by HELP and TYPE
// once, before its samples; the values those of the counters file; the
// file replaced whole.
TEST_F(WorkCounters, PrometheusTextHasOneTypedFamilyPerNameAndTheFilesValues)
{
    auto counters = written();
    const std::string path = (root_ / "tmp/zandrel.prom").string();
    ASSERT_EQ(work_counters_prom_write(path), 0);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    std::ifstream in(path);
    std::map<std::string, unsigned long> samples;
    std::map<std::string, int> typed;
    std::string line, family;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first, name, type;
        words >> first;
        if (first == "#") {
            words >> type >> name;
            if (type == "TYPE") {
                family = name;
                typed[name]++;
                EXPECT_EQ(line, "# TYPE " + name + " counter");
            }
            continue;
        }
        EXPECT_EQ(first.substr(0, first.find('{')), family) << line;
        words >> samples[first];
    }
    for (const auto &[name, count] : typed)
        EXPECT_EQ(count, 1) << name;
    EXPECT_EQ(samples["zandrel_events_handled_total"], counters["events_handled"]);
    EXPECT_EQ(samples["zandrel_chip_exchanges_total{olt=\"1\"}"], counters["olt1_exchanges"]);
    EXPECT_EQ(samples["zandrel_chip_dropped_total{olt=\"3\",reason=\"pool_share\"}"], counters["olt3_dropped_pool_share"]);
    EXPECT_EQ(samples["zandrel_work_items_total{kind=\"unknown\"}"], counters["work_unknown"]);
    EXPECT_EQ(samples.count("zandrel_mgmt_reconnects_total"), 1u);
}

TEST_F(WorkCounters, AFileThatCannotBeWrittenIsReported)
{
    std::filesystem::remove_all(root_ / "tmp");
    EXPECT_EQ(work_counters_write(), -1);
    EXPECT_EQ(work_counters_prom_write((root_ / "tmp/zandrel.prom").string()), -1);
    std::filesystem::create_directories(root_ / "tmp");
}

} // namespace
