// Preloaded (LD_PRELOAD) into the daemon by the start-up failure tests.
// With ZANDREL_TEST_THREAD_FAIL=N the process's Nth pthread_create fails
// with EAGAIN, as it does on a board short of memory for a stack. As the
// process exits, after the daemon's own clean-up, the shim writes to
// standard error how many of the threads it let start were still running:
// "thread shim: N still running". A daemon that gives up half-way through
// start-up must leave none behind: a thread that outlives main touches
// memory that exit is tearing down.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

std::atomic<int> calls{0};
std::atomic<int> running{0};

struct start_args {
    void *(*routine)(void *);
    void *arg;
};

// Counts the thread out however it ends: by returning, by pthread_exit or
// by cancellation, which unwind through this frame.
struct running_mark {
    ~running_mark() { running--; }
};

void *trampoline(void *p)
{
    start_args args = *static_cast<start_args *>(p);
    delete static_cast<start_args *>(p);
    running_mark mark;
    return args.routine(args.arg);
}

__attribute__((destructor)) void report()
{
    fprintf(stderr, "thread shim: %d still running\n", running.load());
}

} // namespace

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *), void *arg)
{
    static const create_fn real = reinterpret_cast<create_fn>(dlsym(RTLD_NEXT, "pthread_create"));
    const char *fail_at = getenv("ZANDREL_TEST_THREAD_FAIL");
    if (++calls == (fail_at ? atoi(fail_at) : 0))
        return EAGAIN;
    auto *args = new start_args{routine, arg};
    // Counted before the thread runs, so a thread that has not yet been
    // scheduled when the process exits still counts.
    running++;
    int rc = real(thread, attr, trampoline, args);
    if (rc != 0) {
        running--;
        delete args;
    }
    return rc;
}
