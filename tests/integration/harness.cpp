#include "integration/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

extern char **environ;

bool process::start(const sandbox &box, const std::string &name, const std::string &binary,
                    const std::vector<std::string> &args)
{
    out_ = box.root() + "/" + name + ".out";
    err_ = box.root() + "/" + name + ".err";
    std::vector<std::string> env_text, all = {binary};
    for (char **e = environ; *e; e++)
        if (std::string entry = *e; !box.environment.count(entry.substr(0, entry.find('='))))
            env_text.push_back(entry);
    for (const auto &[key, value] : box.environment)
        env_text.push_back(key + "=" + value);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> envp, argv;
    for (auto &e : env_text)
        envp.push_back(e.data());
    for (auto &a : all)
        argv.push_back(a.data());
    envp.push_back(nullptr);
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        dup2(open(out_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 1);
        dup2(open(err_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 2);
        execve(binary.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    pid_ = child;
    status_ = -1;
    return true;
}

// Collects the process's end if it came (waiting for it with `options` 0).
void process::reap(int options)
{
    int raw = 0;
    if (pid_ > 0 && waitpid(pid_, &raw, options) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
    }
}

int process::wait(int seconds)
{
    return eventually([&] { return reap(WNOHANG), pid_ <= 0; }, seconds) ? status_ : -1;
}

int process::stop(int seconds)
{
    if (pid_ > 0 && (kill(pid_, SIGTERM), wait(seconds)) == -1 && pid_ > 0) {
        kill(pid_, SIGKILL);
        reap(0);
    }
    return status_;
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
    for (const auto &[name, unused] : sandbox_env("", "")) {
        const char *was = getenv(name.c_str());
        saved_.emplace_back(name, was ? std::optional<std::string>(was) : std::nullopt);
        setenv(name.c_str(), box.environment.at(name).c_str(), 1);
    }
}

board::~board()
{
    stop();
    for (const auto &[name, value] : saved_)
        value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
}

void board::write_board(const std::string &json) { std::ofstream(box_.path("/board.json"), std::ios::binary) << json; }

void board::app_image(uint16_t version)
{
    std::ofstream(box_.path("/usr/local/share/tk3723app.tkf"), std::ios::binary)
        << "TK" << char(version & 0xFF) << char(version >> 8) << std::string(60, 'x');
}

bool board::start_chips(uint16_t version, int boot_ms)
{
    oltsim::options opts;
    opts.version = version;
    opts.log = false;
    opts.boot_ms = boot_ms;
    sim = std::make_unique<oltsim::chipset>(opts);
    olt_config = std::make_unique<oltsim::olt_config_sim>(*sim);
    olt_config->attach();
    return sim->start() == 0;
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
