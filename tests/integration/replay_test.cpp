// A capture of the lab board replays on a fresh daemon: the daemon captures
// both links of its ONU road (ZANDREL_CAPTURE), then oltsim --replay and
// ponkernel --replay play that capture back to a new daemon, which must
// take every ONU along the same states to OK. The capture holds the ONU
// secrets zeroed: the replay gets them from the board file, or no ONU
// would authenticate.
#include "integration/harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int LAB_ONUS = 8;
constexpr int ROAD_SECONDS = 120;
constexpr const char *CAPTURE = "/tmp/road.pcapng";

// The states ponkernel was told of (event 155), per ONU in order.
using onu_states_t = std::map<std::string, std::vector<std::string>>;
onu_states_t onu_states(const std::string &kernel_out)
{
    onu_states_t out;
    std::regex line("notification: event 155 numbers [0-9 ]+ text \"(\\S+) \\S+ \\S+ ([A-Z]+)");
    for (std::sregex_iterator it(kernel_out.begin(), kernel_out.end(), line), end; it != end; ++it)
        out[(*it)[1]].push_back((*it)[2]);
    return out;
}

// Waits until the chips have seen no request for a second and a half: the
// daemon is at rest, the reads that follow each ONU's OK done. A recording
// stopped sooner holds only some of those reads, and its replay asks for
// the rest; a replay stopped sooner hides requests the capture lacks.
bool at_rest(const process &chips)
{
    using clock = std::chrono::steady_clock;
    int seen = -1;
    clock::time_point since;
    return eventually(
        [&] {
            int now = count_of(chips.err(), " request ID ");
            if (now != seen) {
                seen = now;
                since = clock::now();
            }
            return clock::now() - since > std::chrono::milliseconds(1500);
        },
        20, 100);
}

// The lines of `text` that hold `what`.
std::string lines_with(const std::string &text, const std::string &what)
{
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(what) != std::string::npos)
            out += line + '\n';
    return out;
}

// The lab board in `box`: ponkernel, oltsim's four chips and the daemon as
// processes, the simulators replaying `capture` when one is given.
struct lab_board {
    explicit lab_board(sandbox &box) : box_(box), board_(box) { board_.app_image(); }
    ~lab_board() { stop(); }
    void start(const std::string &capture = "")
    {
        std::vector<std::string> kernel_args{"-c", LAB_BOARD}, chip_args{"--olts", "4", "--board", LAB_BOARD,
                                                                           "--boot-ms", "500", "--register-after", "1"};
        if (!capture.empty()) {
            for (auto *args : {&kernel_args, &chip_args}) {
                args->push_back("--replay");
                args->push_back(capture);
            }
        }
        ASSERT_TRUE(kernel().start(box_, "ponkernel", PONKERNEL_BIN, kernel_args));
        ASSERT_TRUE(chips.start(box_, "oltsim", OLTSIM_BIN, chip_args));
        ASSERT_TRUE(eventually([&] { return count_of(kernel().out(), "ponkernel: listening") &&
                                            count_of(chips.err(), "chips up"); }, 10))
            << kernel().err() << chips.err();
        ASSERT_TRUE(board_.start_daemon());
    }
    bool all_ok() { return count_of(kernel().out(), " OK \"") >= LAB_ONUS; }
    onu_states_t states() { return onu_states(kernel().out()); }
    void stop()
    {
        board_.stop();
        chips.stop();
    }
    process &kernel() { return board_.kernel; }

    sandbox &box_;
    board board_;
    process chips;
};

class Replay : public ::testing::Test {
protected:
    void SetUp() override
    {
        first_box_.environment["ZANDREL_CAPTURE"] = CAPTURE;
        first_box_.environment["ZANDREL_CAPTURE_MIB"] = "64";   // one file
        first_.start();
        ASSERT_TRUE(eventually([&] { return first_.all_ok(); }, ROAD_SECONDS)) << first_.kernel().out();
        ASSERT_TRUE(at_rest(first_.chips));
    }
    // The capture played back to a fresh daemon.
    void replay()
    {
        first_.stop();
        second_.start(first_box_.path(CAPTURE));
        ASSERT_TRUE(eventually([&] { return count_of(second_.chips.err(), "replay: capture played out"); },
                               ROAD_SECONDS))
            << second_.chips.err();
    }
    sandbox first_box_, second_box_;
    lab_board first_{first_box_}, second_{second_box_};
};

TEST_F(Replay, LabRoadReplaysToTheSameStatesOnAFreshDaemon)
{
    auto recorded = first_.states();
    ASSERT_EQ(recorded.size(), size_t(LAB_ONUS));
    replay();
    ASSERT_TRUE(eventually([&] { return second_.all_ok(); }, ROAD_SECONDS)) << second_.kernel().out();
    ASSERT_TRUE(at_rest(second_.chips));
    second_.stop();
    EXPECT_EQ(second_.states(), recorded);
    EXPECT_EQ(count_of(second_.kernel().err(), "the capture's secrets are zero: they come from the board file"), 1);
    // Every request the daemon made on the ONU road was in the capture.
    EXPECT_EQ(count_of(second_.chips.err(), "no recorded answer"), 0)
        << lines_with(second_.chips.err(), "no recorded answer");
}

} // namespace
