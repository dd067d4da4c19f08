// The daemon's chip side in one unit test process: a sandbox root, the data
// store, the provisioning queues and the chip link talking to an in-process
// oltsim on a loopback chip network and port of the test's own, so tests run
// side by side. Standard output (the daemon's trace and the chip link's
// dumps) goes to a file the test reads; a failing test gets its own lines
// back on standard error. Nothing here waits on timings, only on conditions
// with generous bounds.
#pragma once

#include "base/balloc.h"
#include "base/bytes.h"
#include "base/process.h"
#include "chip/teklink.h"
#include "engine/profiler.h"
#include "oltsim/oltsim.h"
#include "store/datastruct.h"
#include "wire/tekmsg.h"
#include "common/fake_time.h"
#include "common/loopback.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <vector>

// The chip layer's part: no provisioning queues, which belong to the engine.
class ChipLinkFixture : public ::testing::Test {
protected:
    // Tests that need no chips skip the simulator and the link.
    virtual bool with_chips() const { return true; }
    // Handlers and helpers to install before the chips start.
    virtual void BeforeStart() {}
    // The queues of the layers above the chip link, set up before the chips
    // start and emptied after the link closes.
    virtual void QueuesInit() {}
    virtual void QueuesDrain() {}

    void SetUp() override
    {
        net_ = loopback_chip_net();
        root_ = sandbox_root();
        for (auto &[name, value] : sandbox_env(root_.string(), net_))
            setenv(name.c_str(), value.c_str(), 1);
        setenv("ZANDREL_CHIP_PORT", std::to_string(loopback_chip_port()).c_str(), 1);
        run_flag = 1;

        fflush(stdout);
        saved_stdout_ = dup(1);
        int fd = open((root_ / "trace.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        close(fd);

        ASSERT_EQ(bopen(nullptr, 0x400000, 0), 0);
        // Before the chips listen on the board socket: the start-up resets
        // find no device and are skipped.
        ASSERT_EQ(datastruct_init(), 0);
        QueuesInit();
        if (HasFatalFailure() || !with_chips())
            return;
        for (int olt = 0; olt < OLT_COUNT; olt++)
            olt_set_state(olt, ONU_STATE_OK);
        // Quiet, and deaf to board resets.
        sim_ = std::make_unique<oltsim::chipset>(oltsim::options{.log = false, .board = false});
        BeforeStart();
        ASSERT_EQ(sim_->start(), 0);
        ASSERT_EQ(teklink_init(), 0);
        ASSERT_TRUE(eventually([] { return teklink_rx_socket.load() >= 0; }));
    }

    void TearDown() override
    {
        if (sim_)
            sim_->stop();
        teklink_close();
        teklink_queues_drain();
        QueuesDrain();
        datastruct_close();
        balloc_figures f{};
        balloc_figures_get(&f);
        EXPECT_EQ(f.inuse_bytes, 0u) << "a pool block was not given back";
        bclose();
        fflush(stdout);
        dup2(saved_stdout_, 1);
        close(saved_stdout_);
        if (HasFailure())
            echo_failures();
        std::filesystem::remove_all(root_);
        for (auto &[name, value] : sandbox_env("", ""))
            unsetenv(name.c_str());
        unsetenv("ZANDREL_CHIP_PORT");
    }

    // Runs `call` on a thread of its own while the fake clock runs out the
    // chip time-outs it waits for, so a silent chip costs no real seconds.
    template <typename Call>
    static auto with_time_running(Call call) -> decltype(call())
    {
        clock_fake_set(uptime_seconds());
        auto result = std::async(std::launch::async, call);
        auto done = [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
        EXPECT_TRUE(advance_until(done));
        clock_fake_release();
        return result.get();
    }

    std::string trace() { return fflush(stdout), read_file(root_ / "trace.txt"); }

    // The requests of ID `id` that the chips received.
    std::vector<oltsim::request_record> requests(uint16_t id)
    {
        std::vector<oltsim::request_record> out;
        for (auto &r : sim_->request_log())
            if (r.id == id)
                out.push_back(r);
        return out;
    }

    // An ONU record in slot `index` in state `state` with its four links.
    static onu_record *make_onu(int index, const uint8_t mac[6], uint32_t state, int olt = 0)
    {
        onu_record *onu = onu_at(index);
        onu_lock(onu);
        memcpy(onu->mac, mac, 6);
        onu->olt = uint8_t(olt);
        onu->link_count = ONU_LINKS;
        onu_links_init(onu);
        onu->state = state;
        onu_unlock(onu);
        return onu;
    }

    // A link discovery record for link `link` of the ONU `onu_mac`, with
    // valid ONU information (OUI 00-0D-B6, chip `chip`).
    static uint8_t *discovery_record(const uint8_t link[6], const uint8_t onu_mac[6], uint16_t chip = 0x3714,
                                     uint8_t port = 0)
    {
        auto *record = static_cast<uint8_t *>(BALLOC(LINK_DISCOVERY_RECORD_SIZE));
        memset(record, 0, LINK_DISCOVERY_RECORD_SIZE);
        memcpy(record + LINK_RECORD_MAC, link, 6);
        record[LINK_RECORD_PORT] = port;
        uint8_t *tlv = record + LINK_RECORD_ONU_INFO;
        memcpy(tlv, "\x00\x0D\xB6", 3);
        memcpy(tlv + ONU_INFO_BASE_MAC, onu_mac, 6);
        store_be16(tlv + ONU_INFO_CHIP_ID, chip);
        return record;
    }

    std::string net_;
    std::filesystem::path root_;
    int saved_stdout_ = -1;
    std::unique_ptr<oltsim::chipset> sim_;

private:
    // The test's own output went to the trace file with the chip link's
    // dumps: give it back, without the dumps, to whoever reads the failure.
    void echo_failures()
    {
        std::istringstream in(read_file(root_ / "trace.txt"));
        bool in_dump = false;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("== ", 0) == 0)
                in_dump = true;
            else if (in_dump && line.rfind("=====", 0) == 0)
                in_dump = false;
            else if (!in_dump && !line.empty())
                fprintf(stderr, "%s\n", line.c_str());
        }
    }
};

// With the provisioning queues the engine's handlers feed.
class ChipFixture : public ChipLinkFixture {
protected:
    void QueuesInit() override { ASSERT_EQ(profiler_queues_init(), 0); }
    void QueuesDrain() override { profiler_queues_drain(); }
};
