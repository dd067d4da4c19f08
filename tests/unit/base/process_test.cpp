// Command-line flags and the standard-output redirector.
#include "base/process.h"

#include "platform/sandbox.h"

#include "common/wait.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

void parse(std::vector<const char *> args)
{
    flags = process_flags{};
    std::vector<char *> argv{const_cast<char *>("zandrel")};
    for (const char *a : args)
        argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    process_parse_options(int(argv.size() - 1), argv.data());
}

TEST(Options, DecimalArgumentsBecomeZeroOrOne)
{
    parse({"-a", "1", "-b", "2", "-i", "0", "-p", "17", "-r", "1"});
    EXPECT_EQ(flags.a, 1);
    EXPECT_EQ(flags.b, 1);   // any non-zero number daemonises
    EXPECT_EQ(flags.i, 0);
    EXPECT_EQ(flags.p, 1);
    EXPECT_EQ(flags.r, 1);

    parse({"-a", "yes", "-r", "x1", "-p7"});
    EXPECT_EQ(flags.a, 0);   // non-numeric is 0
    EXPECT_EQ(flags.r, 0);
    EXPECT_EQ(flags.p, 1);   // attached argument
}

TEST(Options, UnknownOptionsAndMissingArgumentsPassSilently)
{
    testing::internal::CaptureStderr();
    parse({"-z", "-x", "3", "-i", "1", "-b"});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    EXPECT_EQ(flags.i, 1);
    EXPECT_EQ(flags.b, 0);
    flags = process_flags{};
}

// Runs the redirect thread in a sandbox root and tells where standard output
// went.
class Redirect : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("zandrel-redirect-" + std::to_string(getpid()));
        fs::create_directories(root / "tmp");
        setenv("ZANDREL_ROOT", root.c_str(), 1);
        saved = dup(STDOUT_FILENO);
        fflush(stdout);
        // Standard output starts on a file of our own so a change is visible.
        int start = open((root / "start.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(start, STDOUT_FILENO);
        close(start);
        saved_umask = umask(022);
        process_install_signals();
        ASSERT_EQ(process_redirect_start(), 0);
    }
    void TearDown() override
    {
        process_redirect_stop();
        umask(saved_umask);
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        signal(SIGUSR1, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        unsetenv("ZANDREL_ROOT");
        fs::remove_all(root);
    }
    // SIGUSR1, and the redirect it wakes has run.
    static void usr1()
    {
        unsigned before = process_redirects_done();
        raise(SIGUSR1);
        ASSERT_TRUE(eventually([&] { return process_redirects_done() > before; }, 10)) << "the redirect stalled";
    }
    static void say(const char *text)
    {
        ssize_t n = write(STDOUT_FILENO, text, strlen(text));
        (void)n;
    }
    std::string read(const fs::path &p)
    {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path root;
    int saved = -1;
    mode_t saved_umask = 0;
};

TEST_F(Redirect, WordInTheFileNamesTheNewStandardOutput)
{
    fs::path target = root / "pts0";
    std::ofstream(target).close();
    std::ofstream(root / "tmp/zandrel_stdout") << "  " << target.string() << " ignored words\n";
    usr1();
    say("after");
    EXPECT_EQ(read(target), "after");
    EXPECT_EQ(read(root / "start.txt"), "");
}

TEST_F(Redirect, TargetIsNeitherCreatedNorTruncated)
{
    fs::path target = root / "keep";
    std::ofstream(target) << "old";
    std::ofstream(root / "tmp/zandrel_stdout") << target.string();
    usr1();
    say("X");
    EXPECT_EQ(read(target), "Xld");

    fs::path missing = root / "missing";
    std::ofstream(root / "tmp/zandrel_stdout") << missing.string();
    usr1();
    EXPECT_FALSE(fs::exists(missing));
}

TEST_F(Redirect, NoFileSendsStandardOutputToDevNull)
{
    usr1();
    say("gone");
    EXPECT_EQ(read(root / "start.txt"), "");
    struct stat out{}, null{};
    fstat(STDOUT_FILENO, &out);
    stat("/dev/null", &null);
    EXPECT_EQ(out.st_rdev, null.st_rdev);
}

TEST_F(Redirect, UnopenablePathLeavesStandardOutputAlone)
{
    std::ofstream(root / "tmp/zandrel_stdout") << "/nonexistent/dir/tty";
    usr1();
    say("still");
    EXPECT_EQ(read(root / "start.txt"), "still");
}

// Whoever else can write /tmp must not choose where the daemon writes, nor
// hold the thread with a FIFO: the control file is used only when it is a
// regular file of this user that no one else may write.
TEST_F(Redirect, OnlyAControlFileOfOurOwnClosedToOthersIsRead)
{
    fs::path target = root / "pts0", control = root / "tmp/zandrel_stdout", own = root / "own";
    std::ofstream(target).close();
    struct row {
        const char *name;
        int make;   // 0 FIFO, 1 file of that mode, 2 link to a file of ours
        mode_t mode;
        bool moved;
    } rows[] = {
        {"FIFO", 0, 0600, false},
        {"group-writable", 1, 0620, false},
        {"other-writable", 1, 0602, false},
        {"link to a file of ours", 2, 0600, false},
        {"ours, closed to others", 1, 0644, true},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove(control);
        if (r.make == 0) {
            ASSERT_EQ(mkfifo(control.c_str(), r.mode), 0);
        } else {
            fs::path file = r.make == 1 ? control : own;
            std::ofstream(file) << target.string();
            chmod(file.c_str(), r.mode);
            if (r.make == 2)
                fs::create_symlink(own, control);
        }
        usr1();
        say(r.name);
        std::string where = read(r.moved ? target : root / "start.txt");
        EXPECT_NE(where.find(r.name), std::string::npos) << where;
    }
}

TEST_F(Redirect, AFifoTargetIsRefusedWithOrWithoutAReader)
{
    fs::path fifo = root / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(root / "tmp/zandrel_stdout") << fifo.string();
    usr1();   // no reader: a blocking open would wait for one
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    usr1();
    say("kept");
    EXPECT_EQ(read(root / "start.txt"), "kept");
    char c;
    EXPECT_LE(::read(reader, &c, 1), 0) << "nothing went to the FIFO";
    close(reader);
}

TEST_F(Redirect, WordIsCutAtThirtyFiveCharacters)
{
    // 36 characters: the 35 read name a file that does not exist.
    std::string name(36, 'a');
    fs::path longer = root / name;
    std::ofstream(longer).close();
    fs::path cwd = fs::current_path();
    fs::current_path(root);
    std::ofstream(root / "tmp/zandrel_stdout") << name;
    usr1();
    say("kept");
    EXPECT_EQ(read(root / "start.txt"), "kept");
    std::ofstream(root / name.substr(0, 35)).close();
    usr1();
    say("cut");
    EXPECT_EQ(read(root / name.substr(0, 35)), "cut");
    fs::current_path(cwd);
}

TEST(StopSignal, ClearsTheRunFlag)
{
    process_install_signals();
    // And wakes the loop that sleeps until work comes.
    static std::atomic<int> wakes{0};
    process_stop_wake = [] { wakes++; };
    run_flag = 1;
    raise(SIGTERM);
    EXPECT_EQ(run_flag.load(), 0);
    run_flag = 1;
    raise(SIGINT);
    EXPECT_EQ(run_flag.load(), 0);
    EXPECT_EQ(wakes.load(), 2);
    process_stop_wake = nullptr;
    run_flag = 1;
    signal(SIGUSR1, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
}

} // namespace
