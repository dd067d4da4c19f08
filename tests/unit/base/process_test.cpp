// Command-line flags and the standard-output redirector.
#include "base/process.h"


#include "common/wait.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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

// Numbers become 0 or 1; anything else is 0, and unknown options or a
// missing argument pass without a word.
TEST(Options, DecimalArgumentsBecomeZeroOrOne)
{
    parse({"-a", "1", "-b", "2", "-i", "0", "-p7", "-r", "x1"});
    EXPECT_EQ(std::vector<int>({flags.a, flags.b, flags.i, flags.p, flags.r}), std::vector<int>({1, 1, 0, 1, 0}));
    testing::internal::CaptureStderr();
    parse({"-z", "-x", "3", "-i", "1", "-b"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
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
    static std::string read(const fs::path &p)
    {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path root;
    int saved = -1;
    mode_t saved_umask = 0;
};

// Whoever else can write /tmp must not choose where the daemon writes, nor
// hold the thread with a FIFO: the control file is used only when it is a
// regular file of this user that no one else may write. Its first word, cut
// at 35 characters, names a file that must exist, which is neither created
// nor truncated; no control file means /dev/null.
TEST_F(Redirect, OnlyAControlFileOfOurOwnClosedToOthersIsRead)
{
    fs::path pts0 = root / "pts0", keep = root / "keep", control = root / "tmp/zandrel_stdout", own = root / "own";
    std::string a36(36, 'a'), a35(35, 'a');
    for (const fs::path &p : {pts0, root / a36, root / a35})
        std::ofstream(p).close();
    std::ofstream(keep) << std::string(40, 'x');
    process_install_signals();   // a second install keeps the redirect's wake-up
    fs::path cwd = fs::current_path();
    fs::current_path(root);
    enum { NONE, FILE, FIFO, LINK };
    fs::path fifo = root / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = -1;
    struct row { const char *name; int make; mode_t mode; std::string word; fs::path lands; } rows[] = {
        {"spaces and words after", FILE, 0644, "  " + pts0.string() + " ignored words\n", pts0},
        {"FIFO", FIFO, 0600, "", pts0},
        {"group-writable", FILE, 0620, keep.string(), pts0},
        {"other-writable", FILE, 0602, keep.string(), pts0},
        {"link to a file of ours", LINK, 0600, keep.string(), pts0},
        {"missing target", FILE, 0600, (root / "missing").string(), pts0},
        {"FIFO target, no reader", FILE, 0644, fifo.string(), pts0},   // a blocking open would wait
        {"FIFO target, a reader", FILE, 0644, fifo.string(), pts0},
        {"cut at 35", FILE, 0600, a36, root / a35},
        {"not truncated", FILE, 0644, keep.string(), keep},
        {"no control file", NONE, 0, "", root / "start.txt"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove(control);
        if (r.make == FIFO) {
            ASSERT_EQ(mkfifo(control.c_str(), r.mode), 0);
        }
        if (r.make == FILE || r.make == LINK) {
            fs::path file = r.make == FILE ? control : own;
            std::ofstream(file) << r.word;
            chmod(file.c_str(), r.mode);
            if (r.make == LINK)
                fs::create_symlink(own, control);
        }
        if (r.name == std::string("FIFO target, a reader"))
            reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        usr1();
        ASSERT_GT(write(STDOUT_FILENO, r.name, strlen(r.name)), 0);
        EXPECT_EQ(read(r.lands).find(r.name) != std::string::npos, r.make != NONE) << read(r.lands);
    }
    fs::current_path(cwd);
    char c;
    EXPECT_LE(::read(reader, &c, 1), 0) << "nothing went to the FIFO";
    close(reader);
    EXPECT_FALSE(fs::exists(root / "missing"));
    EXPECT_EQ(read(keep), "not truncated" + std::string(27, 'x'));
    struct stat out{}, null{};
    fstat(STDOUT_FILENO, &out);
    stat("/dev/null", &null);
    EXPECT_EQ(out.st_rdev, null.st_rdev);
}

} // namespace
