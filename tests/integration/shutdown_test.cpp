// Stopping the daemon while it works: SIGTERM and SIGINT arrive while the
// chips send events that the daemon answers and while management commands
// run on handler threads. Every thread must end before the pool closes; a
// thread left behind would touch freed memory, which the sanitizer builds
// report (and a report makes the exit status non-zero).
#include "integration/harness.h"
#include "oltsim/oltsim.h"
#include "wire/ids.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int START_SECONDS = 60;   // generous: sanitizer builds on a busy machine
constexpr int STOP_SECONDS = 30;
constexpr int EVENT_GAP_MS = 8;
// A command caught by the stop waits for an answer that never comes: cut
// it short, though not so short that a sanitizer build's slow answer counts
// as none.
constexpr int PONCTL_SECONDS = 10;

const char *BOARD = R"({ "system": { "hostname": "stop-board" } })";

class StopUnderLoad : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        board_.write_board(BOARD);
        ASSERT_TRUE(board_.start_chips(FILE_VERSION, 200));
        ASSERT_TRUE(board_.start_kernel());
        ASSERT_TRUE(board_.start_daemon());
    }
    void TearDown() override
    {
        loading_ = false;
        daemon_.stop(5);
        // A command it forwarded when the daemon went can hold ponkernel
        // past SIGTERM, and ponctl with it; what becomes of them is not
        // under test. Without ponkernel, ponctl gives up at once.
        kernel_.stop(1);
        for (auto &t : load_)
            t.join();
        sim_->stop();
    }

    // Registration attempts from every chip, which the daemon's event thread
    // answers with a chip request each; and resource reports (a handler
    // thread each) and pings from two operators.
    void start_load()
    {
        load_.emplace_back([this] {
            oltsim::bytes attempt(14, 0);
            for (unsigned n = 0; loading_; n++) {
                attempt[13] = uint8_t(n);
                sim_->send_event(int(n % 4), TEK_EVENT_REGISTRATION, attempt);
                // About the rate the event thread handles, so its queue
                // stays busy without overflowing.
                std::this_thread::sleep_for(std::chrono::milliseconds(EVENT_GAP_MS));
            }
        });
        for (const char *command : {"report", "ping"})
            load_.emplace_back([this, command] {
                while (loading_)
                    if (board_.ponctl({command}, PONCTL_SECONDS).status == 0)
                        answered_++;
            });
    }

    sandbox box_;
    // The simulated chips run here, on the sandbox's chip network.
    board board_{box_};
    process &daemon_ = board_.daemon, &kernel_ = board_.kernel;
    std::unique_ptr<oltsim::chipset> &sim_ = board_.sim;
    std::vector<std::thread> load_;
    std::atomic<bool> loading_{true};
    std::atomic<int> answered_{0};
};

TEST_P(StopUnderLoad, EndsEveryThreadAndExitsWithStatusZero)
{
    ASSERT_TRUE(eventually([&] { return count_of(daemon_.err(), "get config cache success"); }, START_SECONDS))
        << daemon_.err();
    start_load();

    // Work of every kind is under way: chip requests answered, commands run.
    size_t requests = sim_->request_count();
    ASSERT_TRUE(eventually([&] { return sim_->request_count() > requests + 40 && answered_ > 2; }, START_SECONDS))
        << "chip requests " << sim_->request_count() - requests << ", commands answered " << answered_.load()
        << "\n" << daemon_.err();

    ASSERT_EQ(kill(daemon_.pid(), GetParam()), 0);
    int status = daemon_.wait(STOP_SECONDS);
    EXPECT_EQ(status, 0) << daemon_.err();
    EXPECT_EQ(daemon_.err().find("Sanitizer"), std::string::npos) << daemon_.err();
}

INSTANTIATE_TEST_SUITE_P(Signals, StopUnderLoad, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto &info) { return std::string(info.param == SIGTERM ? "Sigterm" : "Sigint"); });

} // namespace
