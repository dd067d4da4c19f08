// A daemon-side management link connected to an in-process ponkernel in a
// temporary sandbox root, for tests of everything that sends or serves
// management messages. The daemon's clock is the fake one: a test that
// needs a time-out or a reconnection to happen advances it.
#pragma once

#include "base/balloc.h"
#include "mgmt/kernlink.h"
#include "ponkernel/ponkernel.h"
#include "base/process.h"
#include "common/fake_time.h"
#include "common/wait.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zandrel-unit-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::filesystem::create_directories(root_ + "/tmp");
        setenv("ZANDREL_ROOT", root_.c_str(), 1);
        flags.r = 0;
        run_flag = 1;
        ASSERT_EQ(bopen(nullptr, 1 << 22, 0), 0);
        start_kernel(options());
        clock_fake_set(1000);
        kernlink_init();
        ASSERT_TRUE(advance_until([] { return kernlink_connected(); }));   // past the reconnect pause
        ASSERT_TRUE(kernel_.wait_connected(10));
    }

    void TearDown() override
    {
        run_flag = 1;
        kernlink_close();
        clock_fake_release();
        kernel_.stop();
        bclose();
        unsetenv("ZANDREL_ROOT");
        std::filesystem::remove_all(root_);
    }

    virtual ponkernel_options options()
    {
        ponkernel_options o;
        o.unix_path = root_ + "/tmp/chip.sock";
        o.print = false;
        return o;
    }

    void start_kernel(const ponkernel_options &o) { ASSERT_EQ(kernel_.start(o), 0); }

    std::string root_;
    ponkernel_server kernel_;
};
