// Start-up that fails after the provisioning engine's thread is running:
// a watchdog or scheduler thread that cannot be created ends the daemon
// with status 253, and every thread started before it is stopped first.
// The preloaded shim makes the chosen thread creation fail and counts the
// threads still running when the process exits.
#include "integration/harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

struct start_failure {
    const char *name;
    int failing_thread;   // the process's Nth thread creation fails
    const char *logged;
};

// The order of creation: the engine, the watchdog's OLT and ONU threads,
// the scheduler.
const start_failure FAILURES[] = {
    {"watchdog OLT thread", 2, "wd_init failed: -1"},
    {"watchdog ONU thread", 3, "wd_init failed: -1"},
    {"scheduler thread", 4, "scheduler_init failed: -1"},
};

TEST(StartupFailure, ThreadsStartedBeforeTheFailureAreStopped)
{
    for (const auto &failure : FAILURES) {
        SCOPED_TRACE(failure.name);
        sandbox box;
        box.environment["LD_PRELOAD"] = THREAD_FAULT_SHIM;
        box.environment["ZANDREL_TEST_THREAD_FAIL"] = std::to_string(failure.failing_thread);
        // A sanitizer runtime linked dynamically wants to come first; the
        // shim hands every other creation on to it.
        const char *asan = getenv("ASAN_OPTIONS");
        box.environment["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
        process daemon;
        ASSERT_TRUE(daemon.start(box, "zandrel", ZANDREL_BIN));
        EXPECT_EQ(daemon.wait(30), 253);
        std::string err = daemon.err();
        EXPECT_EQ(count_of(err, failure.logged), 1) << err;
        EXPECT_EQ(count_of(err, "thread shim: 0 still running"), 1) << err;
    }
}

} // namespace
