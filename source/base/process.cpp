#include "base/process.h"

#include "platform/sandbox.h"

#include <fcntl.h>
#include <getopt.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

process_flags flags;
std::atomic<int> run_flag{1};
std::atomic<void (*)()> process_stop_wake{nullptr};
std::atomic<void (*)()> process_usr2_work{nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free, "the stop handler reads it");
uint8_t board_mac[6];

namespace {

constexpr size_t REDIRECT_WORD = 35;
char redirect_file[512];

// Posted by SIGUSR1 (sem_post is async-signal-safe) and by the stop.
sem_t redirect_wake;
bool redirect_wake_ready = false;
std::atomic<bool> redirect_stopping{false};
std::atomic<unsigned> redirects_done{0};
pthread_t redirect_thread;
bool redirect_running = false;

// SIGUSR2s not yet served; each also posted `redirect_wake` once.
std::atomic<unsigned> usr2_pending{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "the SIGUSR2 handler counts it");

void on_usr1(int)
{
    int saved = errno;
    sem_post(&redirect_wake);
    errno = saved;
}

void on_usr2(int)
{
    int saved = errno;
    usr2_pending.fetch_add(1);
    sem_post(&redirect_wake);
    errno = saved;
}

void *redirect_main(void *)
{
    for (;;) {
        while (sem_wait(&redirect_wake) != 0 && errno == EINTR) {
        }
        if (redirect_stopping.load())
            return nullptr;
        // One post per signal: a SIGUSR2 that is pending takes this one.
        unsigned usr2 = usr2_pending.load();
        if (usr2 > 0 && usr2_pending.compare_exchange_strong(usr2, usr2 - 1)) {
            if (void (*work)() = process_usr2_work.load())
                work();
            continue;
        }
        process_redirect_stdout();
        redirects_done.fetch_add(1);
    }
}

// Only the daemon's own user may say where its trace goes: a control file
// others can write (or swap, through a link) would let them point the
// daemon's writes at any file it may open.
bool trusted_control(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

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
    if (!redirect_wake_ready) {
        sem_init(&redirect_wake, 0, 0);
        redirect_wake_ready = true;
    }
    signal(SIGUSR1, on_usr1);
    signal(SIGUSR2, on_usr2);
    signal(SIGTERM, on_stop);
    signal(SIGINT, on_stop);
}

int process_redirect_start()
{
    if (redirect_running)
        return 0;
    if (!redirect_wake_ready) {
        sem_init(&redirect_wake, 0, 0);
        redirect_wake_ready = true;
    }
    redirect_stopping = false;
    if (pthread_create(&redirect_thread, nullptr, redirect_main, nullptr) != 0)
        return -1;
    redirect_running = true;
    return 0;
}

void process_redirect_stop()
{
    if (!redirect_running)
        return;
    redirect_stopping = true;
    sem_post(&redirect_wake);
    pthread_join(redirect_thread, nullptr);
    redirect_running = false;
}

unsigned process_redirects_done() { return redirects_done.load(); }

void process_redirect_stdout()
{
    static const char *const who = "process_redirect_stdout";
    if (!redirect_file[0] && sandbox_path(redirect_file, sizeof redirect_file, "/tmp/zandrel_stdout") != 0)
        return;
    char target[REDIRECT_WORD + 1] = "/dev/null";
    int in = open(redirect_file, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (in < 0 && errno != ENOENT) {
        syslog(LOG_ERR, "%s: %s cannot be read (%s), trace not moved", who, redirect_file, strerror(errno));
        return;
    }
    if (in >= 0) {
        struct stat st {};
        if (fstat(in, &st) != 0 || !trusted_control(st)) {
            syslog(LOG_ERR, "%s: %s is not a regular file of this user closed to others, trace not moved", who,
                   redirect_file);
            close(in);
            return;
        }
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
    int out = open(target, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (out < 0) {
        syslog(LOG_ERR, "%s: %s cannot be opened (%s), trace not moved", who, target, strerror(errno));
        return;
    }
    struct stat st {};
    if (fstat(out, &st) != 0 || S_ISFIFO(st.st_mode)) {
        syslog(LOG_ERR, "%s: %s is a FIFO, trace not moved", who, target);
        close(out);
        return;
    }
    // Blocking again from here on: a slow terminal delays a trace line
    // rather than losing it.
    int fl = fcntl(out, F_GETFL);
    if (fl >= 0)
        fcntl(out, F_SETFL, fl & ~O_NONBLOCK);
    fflush(stdout);
    dup2(out, STDOUT_FILENO);
    close(out);
}
