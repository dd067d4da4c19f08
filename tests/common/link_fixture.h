// The daemon's management link connected to a ponkernel in this process, in
// a sandbox root of the test's own. LinkFixture runs the daemon's clock
// fake: a test that needs a time-out or a reconnection advances it.
#pragma once

#include "base/balloc.h"
#include "base/process.h"
#include "mgmt/kernlink.h"
#include "ponkernel/ponkernel.h"
#include "common/fake_time.h"

#include <gtest/gtest.h>

// Quiet, on <root>/tmp/chip.sock, serving `board` (empty: an all-zero store).
inline ponkernel_options kernel_options(const std::string &root, const std::string &board = "")
{
    ponkernel_options o;
    o.unix_path = root + "/tmp/chip.sock";
    o.print = false;
    o.board_file = board;
    return o;
}

// Starts `kernel` with `o` and connects the management link to it, past its
// reconnect pause when the clock is the fake one.
inline void kernel_link_up(ponkernel_server &kernel, const ponkernel_options &o)
{
    flags.r = 0;
    ASSERT_EQ(kernel.start(o), 0);
    kernlink_init();
    ASSERT_TRUE(advance_until([] { return kernlink_connected(); }));
    ASSERT_TRUE(kernel.wait_connected(10));
}

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = sandbox_root();
        setenv("ZANDREL_ROOT", root_.c_str(), 1);
        run_flag = 1;
        ASSERT_EQ(bopen(nullptr, 1 << 22, 0), 0);
        clock_fake_set(1000);
        kernel_link_up(kernel_, kernel_options(root_));
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

    std::string root_;
    ponkernel_server kernel_;
};
