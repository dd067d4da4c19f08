// The maintenance threads in the running daemon on the simulated board: an
// ONU that runs a firmware the daemon knows to be outdated is upgraded by a
// scheduler job through the chips' TFTP relay, restarted, released by the
// watchdog once its links go silent, and comes back OK; an ONU that the
// operator or the schedule reconfigures registers again by itself and is OK
// again.
// zandrel and ponkernel run as processes, the chips, their ONUs and TFTP
// side in this test process.
#include "integration/onu_road_fixture.h"
#include "oltsim/tftpserver.h"
#include "wire/ids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

constexpr int BOARD_SECONDS = 60;
// An ONU whose links the daemon deregistered is OK again within this, by
// itself.
constexpr int RETURN_SECONDS = 30;

const std::string QUIET = "00:0D:B6:20:00:00", OLD = "00:0D:B6:20:00:10";

// The board file's ONU "old" runs 0x0222, one of the versions the daemon
// replaces when auto update is on.
class MaintBoard : public Road {
protected:
    std::string kernel_board() const override { return integration_vector("maint_board.json"); }
    std::string chip_onus() const override { return integration_vector("maint_chip_onus.json"); }
    void bring_up(const std::string &onu)
    {
        population_->register_onu(mac(onu));
        ASSERT_TRUE(eventually([&] { return state(onu) == "OK"; }, BOARD_SECONDS)) << daemon_.out();
    }
};

TEST_F(MaintBoard, OutdatedOnuFirmwareIsUpgradedThroughTftpAndTheOnuReturns)
{
    write(box_.path("/etc/config/ontautoupdate"), "1\n");
    std::string image(3000, '\0');
    for (size_t i = 0; i < image.size(); i++)
        image[i] = char(i * 31 + (i >> 9));
    write(box_.path("/usr/local/share/tk3714app.tkf"), image);
    // The job's pauses (after the image, before the restart) are the
    // daemon's own delays, which the sandbox shortens.
    start();
    oltsim::tftp_server tftp(*sim_);   // the chips' side of the image jobs
    // Restarted, the ONU stays away a while and the chip reports its links
    // silent: that is what retires its record, as on a real board.
    service_->quiet_restart(4000);
    bring_up(OLD);
    ASSERT_TRUE(says("scheduler_update_onu_app: ONU " + OLD + " app updated", BOARD_SECONDS)) << daemon_.out();
    EXPECT_TRUE(says("scheduler_update_onu_app: ONU " + OLD + " app updated ok"));
    // The ONU kept what the daemon sent, byte for byte.
    oltsim::bytes kept = tftp.onu_file(mac(OLD), TFTP_FILE_APP);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), image);
    // Restarted, it is released, registers again and comes back OK; the job
    // is done and not run a second time.
    ASSERT_TRUE(eventually([&] { return service_->resets(mac(OLD)) == 1; }, BOARD_SECONDS)) << daemon_.out();
    ASSERT_TRUE(eventually([&] {
        auto all = states(OLD);
        return std::count(all.begin(), all.end(), "FREE") == 1 && all.back() == "OK";
    }, BOARD_SECONDS)) << daemon_.out();
    EXPECT_TRUE(says("wd_cleanup_report_timeout_onus: ONT " + OLD + " (desc: old) disconnected"));
    EXPECT_EQ(count_of(daemon_.out(), "scheduler_update_onu_app: ONU " + OLD + " app updated"), 1);
}

// The operator reconfigures the ONU, then schedules the reconfiguration of
// every ONU: each time the daemon deregisters the ONU's links, the ONU
// registers again on its own and is OK again, and the scheduled job ends
// done.
TEST_F(MaintBoard, ReconfiguredOnuIsOkAgainByItself)
{
    // In real time: the job watches 60 of the daemon's seconds for the ONU.
    box_.environment["ZANDREL_TIME_SCALE"] = "1";
    start();
    bring_up(QUIET);
    const std::string ok_again = "ONU " + QUIET + ", change state from CFGINPROGRESS to OK";
    auto configured = [&] { return count_of(daemon_.out(), ok_again); };

    ASSERT_EQ(board_.ponctl({"onu", "reconfigure", QUIET}).status, 0);
    ASSERT_TRUE(eventually([&] { return configured() == 2; }, RETURN_SECONDS)) << daemon_.out();

    ASSERT_EQ(board_.ponctl({"schedule", "add-all", "reconfiguration"}).status, 0);
    ASSERT_TRUE(eventually([&] { return configured() == 3; }, RETURN_SECONDS)) << daemon_.out();
    EXPECT_TRUE(says("scheduler_reconfigure_onu: ONU " + QUIET + " reconfiguring in progress"));
    EXPECT_TRUE(eventually([&] { return board_.ponctl({"schedule", "list", "reconfiguration"}).out.find("done") !=
                                        std::string::npos; }, 10))
        << board_.ponctl({"schedule", "list", "reconfiguration"}).out;
    auto all = states(QUIET);
    EXPECT_EQ(std::count(all.begin(), all.end(), "FREE"), 2) << "released twice, back twice";
    EXPECT_EQ(population_->returns(), 2u);
}

} // namespace
