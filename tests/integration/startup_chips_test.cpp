// The daemon's start-up to serving, and its chip events, as processes:
// zandrel against the ponkernel program (loaded from the road's board file)
// and the simulated chips run in this test process on a loopback chip
// network of the test's own. Everything waits on conditions with generous
// bounds.
#include "integration/onu_road_fixture.h"
#include "oltsim/tftpserver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

constexpr int START_SECONDS = 40;   // the daemon sleeps 4 s, the profiler 5 s more

// The road's board, started piece by piece.
class Board : public Road {};

TEST_F(Board, StartUpPingsUntilAnsweredThenFetchesTheCacheAndServes)
{
    ASSERT_TRUE(board_.start_daemon());
    // Nobody listens yet: the daemon keeps trying.
    ASSERT_TRUE(says("kernlink: connect error", 20)) << daemon_.err();
    start_kernel();
    ASSERT_TRUE(says("get config cache success", START_SECONDS)) << daemon_.err();
    ASSERT_TRUE(eventually([&] { return board_.ponctl({"ping"}).status == 0; }, 20));
    EXPECT_EQ(board_.ponctl({"ping"}).out, "ping answered: rcode 0\n");
}

TEST_F(Board, RefusedFetchEndsTheDaemonWith252)
{
    start_kernel();
    run_result refuse = board_.ponctl({"config-refuse", "0x2022", "4"});
    ASSERT_EQ(refuse.status, 0) << refuse.err;
    EXPECT_EQ(refuse.out, "configuration store: done\n");
    ASSERT_TRUE(board_.start_daemon());
    EXPECT_EQ(daemon_.wait(START_SECONDS), 252) << daemon_.err();
    EXPECT_NE(daemon_.err().find("get config cache failed: -1"), std::string::npos);
    EXPECT_EQ(count_of(kernel_.out(), "config request 0x2022 "), 1);
}

TEST_F(Board, ChipsComeOutOfResetAndOnusRegister)
{
    ASSERT_TRUE(board_.start_chips());
    std::string error;
    ASSERT_TRUE(oltsim::parse_board(chip_onus(), onus_, nullptr, error)) << error;
    // The chips' handlers call into the population until TearDown stops
    // them: the fixture holds it.
    population_ = std::make_unique<oltsim::onu_population>(*sim_, onus_, oltsim::options{}.mac);
    population_->attach();
    sim_->fragment_events(3);   // long events arrive in three fragments
    start_kernel();
    ASSERT_TRUE(board_.start_daemon());

    // Start-up resets every chip through the board socket; each sends its
    // ready event with the image file's version and is queued for
    // reconfiguration, which the profiler thread runs to OK.
    for (int olt = 0; olt < 4; olt++)
        ASSERT_TRUE(says("oltready_handler: OLT[" + std::to_string(olt) + "] in RESETOK state", START_SECONDS))
            << daemon_.out();
    EXPECT_NE(daemon_.err().find("oltfwupdate_handler: OLT[0] in RESETINPROGRESS state"), std::string::npos);
    EXPECT_EQ(daemon_.err().find("CHECKNEWFW"), std::string::npos);
    ASSERT_TRUE(says("get config cache success", START_SECONDS));
    EXPECT_TRUE(says("profiler_olt_reconfigure: OLT[0] in CFGINPROGRESS state", START_SECONDS));

    // The ONU's four links: each attempt is echoed, each discovery
    // acknowledged and queued for the profiler.
    population_->register_onu(onus_[0].mac);
    ASSERT_TRUE(eventually([&] { return population_->acknowledged() == 4; }, 30)) << daemon_.out();
    EXPECT_EQ(population_->accepted(), 4u);
    EXPECT_TRUE(says("registrationattempt_handler: 00:0D:B6:10:00:00 on OLT[0]", START_SECONDS));
    // The profiler takes each discovery: the ONU record is made by the first.
    EXPECT_TRUE(eventually([&] { return count_of(daemon_.out(), "ONT 00:0D:B6:10:00:00 discovered link") == 4; }));
    EXPECT_EQ(count_of(daemon_.out(), "ONT 00:0D:B6:10:00:00 is allocated by link 00:0D:B6:10:00:00"), 1);

    // An event nobody handles.
    sim_->send_event(0, 0x8005, oltsim::bytes(4));
    EXPECT_TRUE(says("events_process: unhandled event (32773)", START_SECONDS));
}

// A chip with another version than the image file is upgraded: without a
// boot image on the board the upgrade fails and the chip carries on; with
// both images it gets them by TFTP and waits in reset for its next ready.
TEST_F(Board, ChipsWithAnotherVersionTakeTheUpgradePath)
{
    ASSERT_TRUE(board_.start_chips(FILE_VERSION + 1));
    start_kernel();
    ASSERT_TRUE(board_.start_daemon());
    ASSERT_TRUE(says("oltfwupdate_handler: OLT[2] in CHECKNEWFW state", START_SECONDS)) << daemon_.err();
    ASSERT_TRUE(says("oltready_handler: OLT[1] in RESETOK state", START_SECONDS)) << daemon_.out();
    EXPECT_NE(daemon_.err().find("oltfwupdate_handler: OLT[1] in RESETINPROGRESS state"), std::string::npos);
    ASSERT_TRUE(says("get config cache success", START_SECONDS));

    write(box_.path("/usr/local/share/tk3723boot.tkf"), std::string(700, 'b'));
    auto tftp = std::make_unique<oltsim::tftp_server>(*sim_);
    auto resets = [&] { return count_of(daemon_.err(), "oltfwupdate_handler: OLT[1] in RESETINPROGRESS state"); };
    sim_->reset(1);
    ASSERT_TRUE(eventually([&] { return !tftp->olt_file(1, "app").empty(); }, START_SECONDS)) << daemon_.err();
    EXPECT_EQ(tftp->olt_file(1, "boot"), oltsim::bytes(700, 'b'));
    EXPECT_EQ(resets(), 1) << "upgraded, it stays in reset";

    // Restarted with the new image, the chip reports the file's version.
    tftp.reset();
    sim_->stop();
    ASSERT_TRUE(board_.start_chips());
    sim_->reset(1);
    EXPECT_TRUE(eventually([&] { return count_of(daemon_.out(), "oltready_handler: OLT[1] in RESETOK state") == 2; },
                           START_SECONDS))
        << daemon_.out();
    EXPECT_EQ(resets(), 2);
}

} // namespace
