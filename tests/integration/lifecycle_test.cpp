// The daemon as a process: daemonising, and stopping cleanly on SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;
namespace fs = std::filesystem;

namespace {

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("zandrel-life-" + std::to_string(getpid()) + "-" +
                                            testing::UnitTest::GetInstance()->current_test_info()->name());
        for (const char *dir : {"tmp", "etc/config", "usr/local/share", "dev"})
            fs::create_directories(root / dir);
        // Orphaned grandchildren (the daemonised child) come back to us, so
        // their exit status can be read.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }
    void TearDown() override { fs::remove_all(root); }

    pid_t spawn(std::vector<std::string> args)
    {
        // The chip socket stays off the board's port on any address, where it
        // would shut out the simulated chips of tests running beside it.
        std::vector<std::string> env = {"ZANDREL_ROOT=" + root.string(), "ZANDREL_CHIP_NET=127.0.254",
                                        "ZANDREL_CHIP_BIND=127.0.254.100",
                                        "ZANDREL_CHIP_PORT=" + std::to_string(40000 + getpid() % 10000),
                                        "ZANDREL_IFACE=lo", "ZANDREL_LOG_STDERR=1"};
        std::vector<char *> envp;
        for (auto &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        args.insert(args.begin(), ZANDREL_BIN);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        std::string out = (root / "stdout.txt").string();
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, ZANDREL_BIN, &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    // Waits up to `seconds` for `pid` to end; its exit status, or -1.
    static int wait_exit(pid_t pid, int seconds)
    {
        for (int i = 0; i < seconds * 100; i++) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    // The daemonised child: our own process whose parent is us.
    pid_t find_child()
    {
        for (int i = 0; i < 500; i++) {
            for (const auto &entry : fs::directory_iterator("/proc")) {
                std::string name = entry.path().filename();
                if (name.find_first_not_of("0123456789") != std::string::npos)
                    continue;
                std::ifstream stat(entry.path() / "stat");
                std::string line;
                std::getline(stat, line);
                size_t close = line.rfind(')');
                if (close == std::string::npos)
                    continue;
                char state;
                int ppid = 0;
                if (sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == getpid() &&
                    line.find("(zandrel)") != std::string::npos)
                    return std::stoi(name);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    fs::path root;
};

TEST_F(Lifecycle, BackgroundFlagReturnsAtOnceAndTheChildServesUntilSigterm)
{
    pid_t parent = spawn({"-b", "1"});
    EXPECT_EQ(wait_exit(parent, 5), 0);
    pid_t child = find_child();
    ASSERT_GT(child, 0);
    EXPECT_EQ(kill(child, 0), 0);   // still running after its parent left
    kill(child, SIGTERM);
    EXPECT_EQ(wait_exit(child, 20), 0);
}

TEST_F(Lifecycle, ForegroundDaemonStopsWithStatusZero)
{
    pid_t pid = spawn({"-x", "-r", "zero"});   // unknown and non-numeric options are harmless
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(kill(pid, 0), 0);
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid, 20), 0);
}

} // namespace
