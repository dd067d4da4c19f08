#include "integration/harness.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace {

int decode_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int count_in_file(const std::string &path, const std::string &needle) { return count_of(read_file(path), needle); }

uint16_t free_tcp_port() { return loopback_port(); }

sandbox::sandbox()
{
    char pattern[] = "/tmp/zandrel-it-XXXXXX";
    root_ = mkdtemp(pattern) ? pattern : "/tmp/zandrel-it-failed";
    for (const char *dir : {"/tmp", "/etc/config", "/usr/local/share", "/dev"})
        std::filesystem::create_directories(root_ + dir);
    environment["ZANDREL_ROOT"] = root_;
    environment["ZANDREL_LOG_STDERR"] = "1";
    std::string net = loopback_chip_net();
    environment["ZANDREL_CHIP_NET"] = net;
    environment["ZANDREL_CHIP_BIND"] = net + ".100";
    environment["ZANDREL_IFACE"] = "lo";
    environment["ZANDREL_TIME_SCALE"] = std::to_string(TEST_TIME_SCALE);
}

sandbox::~sandbox()
{
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

process::~process()
{
    if (pid_ > 0)
        stop(5);
}

bool process::start(const sandbox &box, const std::string &name, const std::string &binary,
                    const std::vector<std::string> &args)
{
    out_ = box.root() + "/" + name + ".out";
    err_ = box.root() + "/" + name + ".err";
    std::vector<std::string> env_text;
    for (char **e = environ; *e; e++) {
        std::string entry = *e;
        if (!box.environment.count(entry.substr(0, entry.find('='))))
            env_text.push_back(entry);
    }
    for (const auto &[key, value] : box.environment)
        env_text.push_back(key + "=" + value);
    std::vector<char *> envp, argv;
    for (auto &e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> all = {binary};
    all.insert(all.end(), args.begin(), args.end());
    for (auto &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(out, 1);
        dup2(err, 2);
        execve(binary.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    pid_ = child;
    status_ = -1;
    return true;
}

int process::wait(int seconds)
{
    if (pid_ <= 0)
        return status_;
    int status = 0;
    bool ended = eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, seconds);
    if (!ended)
        return -1;
    pid_ = -1;
    status_ = decode_status(status);
    return status_;
}

int process::stop(int seconds)
{
    if (pid_ <= 0)
        return status_;
    kill(pid_, SIGTERM);
    int status = wait(seconds);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int raw = 0;
        waitpid(pid_, &raw, 0);
        pid_ = -1;
        status_ = decode_status(raw);
        return status_;
    }
    return status;
}

bool process::running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = decode_status(status);
        return false;
    }
    return true;
}

run_result run_program(const sandbox &box, const std::string &name, const std::string &binary,
                       const std::vector<std::string> &args, int seconds)
{
    static std::atomic<int> runs{0};
    process p;
    if (!p.start(box, name + "-" + std::to_string(++runs), binary, args))
        return {-1, "", ""};
    int status = p.wait(seconds);
    if (status == -1)
        status = p.stop(1);
    return {status, p.out(), p.err()};
}

board::board(const sandbox &box) : box_(box)
{
    for (const char *name : {"ZANDREL_CHIP_NET", "ZANDREL_CHIP_BIND", "ZANDREL_ROOT"}) {
        const char *was = getenv(name);
        saved_.emplace_back(name, was ? std::optional<std::string>(was) : std::nullopt);
        setenv(name, box.environment.at(name).c_str(), 1);
    }
}

board::~board()
{
    stop();
    for (const auto &[name, value] : saved_) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
}

void board::write_board(const std::string &json) { std::ofstream(box_.path("/board.json"), std::ios::binary) << json; }

void board::app_image(uint16_t version)
{
    std::string image = "TK";
    image += char(version & 0xFF);
    image += char(version >> 8);
    std::ofstream(box_.path("/usr/local/share/tk3723app.tkf"), std::ios::binary) << image << std::string(60, 'x');
}

bool board::start_kernel()
{
    int listening = count_of(kernel.out(), "ponkernel: listening");
    return kernel.start(box_, "ponkernel", PONKERNEL_BIN, {"-c", box_.path("/board.json")}) &&
           eventually([&] { return count_of(kernel.out(), "ponkernel: listening") > listening; }, 10);
}

bool board::start_daemon() { return daemon.start(box_, "zandrel", ZANDREL_BIN); }

int board::stop(int daemon_seconds, int kernel_seconds)
{
    int status = daemon.stop(daemon_seconds);
    kernel.stop(kernel_seconds);
    if (sim)
        sim->stop();
    return status;
}
