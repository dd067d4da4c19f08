// The pacing counters file: what the event thread and the profiler's passes
// handled, in the order and names outside tools parse.
#include "common/chip_fixture.h"

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

TEST(WorkCountersText, NamesInTheirOrderAndATooSmallBufferRefused)
{
    char text[512];
    int length = work_counters_text(text, sizeof text);
    ASSERT_GT(length, 0);
    std::vector<std::string> names;
    for (const auto &line : parse(text))
        names.push_back(line.first);
    EXPECT_EQ(names, (std::vector<std::string>{"events_handled", "work_items", "work_olt_reconfigure",
                                               "work_onu_reconfigure", "work_link_discovery", "work_unknown"}));
    EXPECT_EQ(work_counters_text(text, size_t(length)), -1) << "no room for the terminating zero";
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

    auto after = written();
    EXPECT_EQ(after["events_handled"] - before["events_handled"], 3u);
    EXPECT_EQ(after["work_olt_reconfigure"] - before["work_olt_reconfigure"], 1u);
    EXPECT_EQ(after["work_onu_reconfigure"] - before["work_onu_reconfigure"], 2u);
    EXPECT_EQ(after["work_items"] - before["work_items"], 3u);
}

TEST_F(WorkCounters, AFileThatCannotBeWrittenIsReported)
{
    std::filesystem::remove_all(root_ / "tmp");
    EXPECT_EQ(work_counters_write(), -1);
    std::filesystem::create_directories(root_ / "tmp");
}

} // namespace
