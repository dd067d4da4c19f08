// The daemon as a process, in one run: daemonising, the SIGUSR1 redirect of
// its trace, stopping cleanly on SIGTERM.
#include "integration/harness.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// The background flag returns at once and the child serves on. SIGUSR1 is
// served away from the signal: a FIFO planted as the control file holds
// nothing up, a good control file then moves the trace, and SIGTERM still
// ends the daemon, with status 0.
TEST(Lifecycle, Sigusr1RedirectDoesNotStallOnAFifo)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sandbox box;
    process parent, daemon;
    ASSERT_TRUE(parent.start(box, "zandrel", ZANDREL_BIN, {"-b", "1"}));
    EXPECT_EQ(parent.wait(5), 0);
    // The daemonised child, orphaned, is now this test's child.
    std::string children = "/proc/self/task/" + std::to_string(getpid()) + "/children";
    ASSERT_TRUE(eventually([&] { return atoi(read_file(children).c_str()) > 0; }, 10));
    daemon.adopt(atoi(read_file(children).c_str()));
    ASSERT_TRUE(eventually([&] { return count_of(parent.out(), "RESETINPROGRESS") == 4; }));
    std::string control = box.path("/tmp/zandrel_stdout"), target = box.path("/trace.txt");
    ASSERT_EQ(mkfifo(control.c_str(), 0600), 0);
    kill(daemon.pid(), SIGUSR1);
    fs::remove(control);
    std::ofstream(target).close();
    std::ofstream(control) << target;
    fs::permissions(control, fs::perms(0644));
    kill(daemon.pid(), SIGUSR1);
    std::string fd1 = "/proc/" + std::to_string(daemon.pid()) + "/fd/1";
    EXPECT_TRUE(eventually([&] { return fs::read_symlink(fd1).string() == target; }, 10));
    EXPECT_EQ(daemon.stop(20), 0);
}

} // namespace
