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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr int BOARD_SECONDS = 60;
// An ONU whose links the daemon deregistered is OK again within this, by
// itself.
constexpr int RETURN_SECONDS = 30;

const char *MAINT_BOARD = R"({
  "system": { "hostname": "maint", "address": "10.9.8.7" },
  "profiles": { "link": [ { "index": 0, "links": 4 } ], "rules": [ { "index": 0, "in_use": 1 } ] },
  "onus": [
    { "mac": "00:0D:B6:20:00:00", "type": 1, "secret": "5820", "ont_id": 1, "description": "quiet",
      "olt": 0, "pon": 0, "chip": "0x3714", "fw": "0x0210" },
    { "mac": "00:0D:B6:20:00:10", "type": 1, "secret": "5820", "ont_id": 2, "description": "old",
      "olt": 0, "pon": 0, "chip": "0x3714", "fw": "0x0222" }
  ]
})";

// 0x0222 is one of the versions the daemon replaces when auto update is on.
const char *MAINT_CHIP_ONUS = R"({ "onus": [
    { "mac": "00:0D:B6:20:00:00", "secret": "5820", "olt": 0, "pon": 0, "chip": "0x3714", "fw": "0x0210" },
    { "mac": "00:0D:B6:20:00:10", "secret": "5820", "olt": 0, "pon": 0, "chip": "0x3714", "fw": "0x0222" }
] })";

const std::string QUIET = "00:0D:B6:20:00:00", OLD = "00:0D:B6:20:00:10";

class MaintBoard : public Road {
protected:
    std::string kernel_board() const override { return MAINT_BOARD; }
    const char *chip_onus() const override { return MAINT_CHIP_ONUS; }
    // The road's board, with oltsim's TFTP side for the image jobs.
    void start()
    {
        Road::start();
        tftp_ = std::make_unique<oltsim::tftp_server>(*sim_);
    }
    // A file in the sandbox root.
    void put(const std::string &path, const std::string &content)
    {
        std::filesystem::create_directories(std::filesystem::path(box_.path(path)).parent_path());
        write(box_.path(path), content);
    }
    static oltsim::mac_address bin(const std::string &text)
    {
        oltsim::mac_address out;
        mac(text.c_str(), out.data());
        return out;
    }
    void bring_up(const std::string &onu)
    {
        population_->register_onu(bin(onu).data());
        ASSERT_TRUE(eventually([&] { return state(onu) == "OK"; }, BOARD_SECONDS)) << daemon_.out();
    }

    std::unique_ptr<oltsim::tftp_server> tftp_;
};

TEST_F(MaintBoard, OutdatedOnuFirmwareIsUpgradedThroughTftpAndTheOnuReturns)
{
    put("/etc/config/ontautoupdate", "1\n");
    std::string image(3000, '\0');
    for (size_t i = 0; i < image.size(); i++)
        image[i] = char(i * 31 + (i >> 9));
    put("/usr/local/share/tk3714app.tkf", image);
    // The job's pauses (after the image, before the restart) are the
    // daemon's own delays, shortened here.
    setenv("ZANDREL_TIME_SCALE", "20", 1);
    start();
    unsetenv("ZANDREL_TIME_SCALE");
    // Restarted, the ONU stays away a while and the chip reports its links
    // silent: that is what retires its record, as on a real board.
    service_->quiet_restart(4000);
    bring_up(OLD);
    ASSERT_TRUE(eventually([&] { return says("scheduler_update_onu_app: ONU " + OLD + " app updated"); },
                           BOARD_SECONDS))
        << daemon_.out();
    EXPECT_TRUE(says("scheduler_update_onu_app: ONU " + OLD + " app updated ok"));
    // The ONU kept what the daemon sent, byte for byte.
    oltsim::bytes kept = tftp_->onu_file(bin(OLD), TFTP_FILE_APP);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), image);
    // Restarted, it is released, registers again and comes back OK; the job
    // is done and not run a second time.
    ASSERT_TRUE(eventually([&] { return service_->resets(bin(OLD).data()) == 1; }, BOARD_SECONDS)) << daemon_.out();
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
    auto ponctl = [&](const std::vector<std::string> &args) { return run_program(box_, "ponctl", PONCTL_BIN, args); };
    auto configured = [&] {
        return count_of(daemon_.out(), "ONU " + QUIET + ", change state from CFGINPROGRESS to OK");
    };

    ASSERT_EQ(ponctl({"onu", "reconfigure", QUIET}).status, 0);
    ASSERT_TRUE(eventually([&] { return configured() == 2; }, RETURN_SECONDS)) << daemon_.out();

    ASSERT_EQ(ponctl({"schedule", "add-all", "reconfiguration"}).status, 0);
    ASSERT_TRUE(eventually([&] { return configured() == 3; }, RETURN_SECONDS)) << daemon_.out();
    EXPECT_TRUE(says("scheduler_reconfigure_onu: ONU " + QUIET + " reconfiguring in progress"));
    EXPECT_TRUE(eventually([&] { return ponctl({"schedule", "list", "reconfiguration"}).out.find("done") !=
                                        std::string::npos; }, 10))
        << ponctl({"schedule", "list", "reconfiguration"}).out;
    auto all = states(QUIET);
    EXPECT_EQ(std::count(all.begin(), all.end(), "FREE"), 2) << "released twice, back twice";
    EXPECT_EQ(population_->returns(), 2u);
}

} // namespace
