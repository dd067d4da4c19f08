// A chip network of the test's own on loopback (its own 127.x.y and port):
// oltsim's chips in-process,
// the chip link started against them, the dumps going to a file the test
// may read. Each test process takes its own 127.x.y network, so tests run
// side by side; nothing here waits on timings, only on conditions with
// generous bounds.
#pragma once

#include "integration/harness.h"
#include "common/test_net.h"

#include "base/balloc.h"
#include "store/datastruct.h"
#include "oltsim/oltsim.h"
#include "chip/teklink.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

class ChipNet : public ::testing::Test {
protected:
    void SetUp() override
    {
        int pid = getpid();
        test_net reserved = reserve_test_net();
        net_ = reserved.net;
        root_ = std::filesystem::temp_directory_path() / ("chipnet_" + std::to_string(pid));
        std::filesystem::create_directories(root_ / "dev");
        setenv("ZANDREL_CHIP_NET", net_.c_str(), 1);
        setenv("ZANDREL_CHIP_BIND", (net_ + ".100").c_str(), 1);
        setenv("ZANDREL_ROOT", root_.c_str(), 1);
        // A port of our own as well: a daemon elsewhere on the machine bound
        // to any address at the board's port would shut our chips out.
        setenv("ZANDREL_CHIP_PORT", std::to_string(reserved.port).c_str(), 1);

        trace_path_ = root_ / "trace.txt";
        fflush(stdout);
        saved_stdout_ = dup(1);
        int fd = open(trace_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        close(fd);

        ASSERT_EQ(bopen(nullptr, 0x400000, 0), 0);
        // Before the chips listen on the board socket: the start-up resets
        // find no device and are skipped.
        ASSERT_EQ(datastruct_init(), 0);
        for (int olt = 0; olt < OLT_COUNT; olt++)
            olt_set_state(olt, ONU_STATE_OK);
        sim_ = std::make_unique<oltsim::chipset>(sim_options());
        BeforeStart();
        ASSERT_EQ(sim_->start(), 0);
        ASSERT_EQ(teklink_init(), 0);
        ASSERT_TRUE(wait_until([] { return teklink_rx_socket.load() >= 0; }));
    }

    void TearDown() override
    {
        sim_->stop();
        teklink_close();
        teklink_queues_drain();
        balloc_figures f{};
        balloc_figures_get(&f);
        EXPECT_EQ(f.inuse_bytes, 0u) << "a pool block was not given back";
        datastruct_close();
        bclose();
        fflush(stdout);
        dup2(saved_stdout_, 1);
        close(saved_stdout_);
        if (HasFailure())
            echo_failures();
        std::filesystem::remove_all(root_);
        unsetenv("ZANDREL_CHIP_PORT");
    }

    // The test's own output went to the trace file with the chip link's
    // dumps: give it back, without the dumps, to whoever reads the failure.
    void echo_failures()
    {
        std::ifstream in(trace_path_);
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

    // The simulator's options: quiet, and deaf to board resets unless a
    // test asks for them.
    virtual oltsim::options sim_options()
    {
        oltsim::options opts;
        opts.log = false;
        opts.board = false;
        return opts;
    }
    // Handlers and helpers to install before the chips start.
    virtual void BeforeStart() {}

    std::string trace()
    {
        fflush(stdout);
        std::ifstream in(trace_path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string net_;
    std::filesystem::path root_, trace_path_;
    int saved_stdout_ = -1;
    std::unique_ptr<oltsim::chipset> sim_;
};
