#include "base/process.h"

#include "platform/sandbox.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

process_flags flags;
std::atomic<int> run_flag{1};
std::atomic<void (*)()> process_stop_wake{nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free, "the stop handler reads it");
uint8_t board_mac[6];

namespace {

constexpr size_t REDIRECT_WORD = 35;
char redirect_file[512];

void on_usr1(int) { process_redirect_stdout(); }

void on_stop(int)
{
    run_flag.store(0);
    if (void (*wake)() = process_stop_wake.load())
        wake();
}

} // namespace

void process_parse_options(int argc, char **argv)
{
    opterr = 0;     // no usage text, unknown options pass silently
    optind = 0;     // full re-initialisation, so the parser can run again
    int option;
    while ((option = getopt(argc, argv, "b:r:a:p:i:")) != -1) {
        int value = 0;
        if (optarg)
            value = atoi(optarg) != 0;
        switch (option) {
        case 'a': flags.a = value; break;
        case 'b': flags.b = value; break;
        case 'i': flags.i = value; break;
        case 'p': flags.p = value; break;
        case 'r': flags.r = value; break;
        default: break;
        }
    }
}

void process_install_signals()
{
    if (sandbox_path(redirect_file, sizeof redirect_file, "/tmp/zandrel_stdout") != 0)
        redirect_file[0] = '\0';
    signal(SIGUSR1, on_usr1);
    signal(SIGTERM, on_stop);
    signal(SIGINT, on_stop);
}

void process_redirect_stdout()
{
    if (!redirect_file[0] && sandbox_path(redirect_file, sizeof redirect_file, "/tmp/zandrel_stdout") != 0)
        return;
    char target[REDIRECT_WORD + 1] = "/dev/null";
    int in = open(redirect_file, O_RDONLY | O_CLOEXEC);
    if (in >= 0) {
        // One whitespace-delimited word, as "%35s" would read it.
        char text[256];
        ssize_t n = read(in, text, sizeof text - 1);
        close(in);
        text[n > 0 ? n : 0] = '\0';
        const char *p = text;
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v')
            p++;
        size_t len = 0;
        while (p[len] && len < REDIRECT_WORD && !strchr(" \t\n\r\f\v", p[len]))
            len++;
        memcpy(target, p, len);
        target[len] = '\0';
    }
    int out = open(target, O_WRONLY | O_CLOEXEC);
    if (out < 0)
        return;
    dup2(out, STDOUT_FILENO);
    close(out);
}
