// The daemon as a process, in one run: daemonising, the SIGUSR1 redirect of
// its trace, stopping cleanly on SIGTERM.
#include "integration/harness.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// The daemonised child: a zandrel process whose parent is this test (the
// test is a child subreaper, so the orphan comes back to it).
pid_t find_daemon_child()
{
    pid_t found = -1;
    eventually([&] {
        for (const auto &entry : fs::directory_iterator("/proc")) {
            std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            std::string stat = read_file(entry.path() / "stat");
            size_t close = stat.rfind(')');
            int ppid = 0;
            char state;
            if (close != std::string::npos && stat.find("(zandrel)") != std::string::npos &&
                sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == getpid()) {
                found = std::stoi(name);
                return true;
            }
        }
        return false;
    }, 10);
    return found;
}

int wait_for_exit(pid_t pid)
{
    int status = 0;
    if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20))
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The background flag returns at once and the child serves on. SIGUSR1 is
// served away from the signal: a FIFO planted as the control file holds
// nothing up, a good control file then moves the trace, and SIGTERM still
// ends the daemon, with status 0.
TEST(Lifecycle, Sigusr1RedirectDoesNotStallOnAFifo)
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sandbox box;
    process parent;
    ASSERT_TRUE(parent.start(box, "zandrel", ZANDREL_BIN, {"-b", "1"}));
    EXPECT_EQ(parent.wait(5), 0);
    pid_t child = find_daemon_child();
    ASSERT_GT(child, 0);
    ASSERT_TRUE(eventually([&] { return count_in_file(parent.out_path(), "RESETINPROGRESS") == 4; }));
    std::string control = box.path("/tmp/zandrel_stdout"), target = box.path("/trace.txt");
    ASSERT_EQ(mkfifo(control.c_str(), 0600), 0);
    kill(child, SIGUSR1);
    fs::remove(control);
    std::ofstream(target).close();
    std::ofstream(control) << target;
    fs::permissions(control, fs::perms(0644));
    kill(child, SIGUSR1);
    std::string fd1 = "/proc/" + std::to_string(child) + "/fd/1";
    EXPECT_TRUE(eventually([&] { return fs::read_symlink(fd1).string() == target; }, 10));
    kill(child, SIGTERM);
    EXPECT_EQ(wait_for_exit(child), 0);
}

} // namespace
