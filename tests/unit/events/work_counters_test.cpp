// The counters file, in the order and names outside tools parse, and the
// same as a Prometheus text file. What each counter counts the board tests
// and the soak compare with what they dealt.
#include "common/chip_fixture.h"

#include "events/work_counters.h"

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

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

using WorkCounters = ChipFixture;

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

    ASSERT_EQ(work_counters_write(), 0);
    auto lines = parse(read_file(root_.string() + WORK_COUNTERS_FILE));
    std::map<std::string, unsigned long> counters(lines.begin(), lines.end());
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
