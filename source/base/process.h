// Process-wide values of the daemon and the pieces of its lifecycle that do
// not belong to any subsystem: the command-line flags, the run flag, the
// board MAC and the standard-output redirector (SIGUSR1), whose work runs on
// a thread of its own that sleeps on a semaphore the signal posts; SIGUSR2
// wakes the same thread for the work main.cpp gives it.
//
// The flags and the board MAC are written once on the main thread before any
// other thread starts and only read afterwards. The run flag is read by every
// thread loop; SIGTERM and SIGINT clear it, which makes start-up run the
// stopping sequence.
#pragma once

#include <atomic>
#include <cstdint>

struct process_flags {
    int a;   // ask for the ONU configuration and secret of a fixed MAC
    int b;   // run in the background
    int i;   // alternate new ONUs between the two registration groups
    int p;   // OLT reconfiguration only writes the personality
    int r;   // management link over TCP instead of the local socket
};

extern process_flags flags;
extern std::atomic<int> run_flag;
// Called by the stop handler once it has cleared the run flag, so that a
// loop sleeping until work comes hears of the stop at once. Runs in a
// signal handler: it may only do what is safe there (mqueue_wake).
extern std::atomic<void (*)()> process_stop_wake;
extern uint8_t board_mac[6];

// getopt with "b:r:a:p:i:": every option takes a decimal argument and its
// flag becomes 1 when the number is non-zero (a non-numeric argument is 0).
// Unknown options and missing arguments are skipped silently.
void process_parse_options(int argc, char **argv);

// SIGUSR2's work, run on the redirect thread once per signal (main.cpp
// installs the capture's toggle there); while unset the signal does
// nothing.
extern std::atomic<void (*)()> process_usr2_work;

// Installs the SIGUSR1, SIGUSR2 and SIGTERM/SIGINT handlers. The SIGUSR1
// and SIGUSR2 handlers only wake the redirect thread (errno kept); a signal
// taken before that thread runs is served once it starts.
void process_install_signals();
// Starts the redirect thread, which sleeps until SIGUSR1 and then runs
// process_redirect_stdout. After the fork of -b (no thread survives it). 0,
// or -1 when the thread cannot be started.
int process_redirect_start();
// Ends and joins the redirect thread.
void process_redirect_stop();
// Redirects the thread has run so far (tests wait for the next one).
unsigned process_redirects_done();

// The redirect, as the thread runs it. The control file "/tmp/zandrel_stdout"
// is read only when it is a regular file (not a link) owned by the daemon's
// user and writable by nobody else; then one word of it (at most 35
// characters) names the target, and without a control file the target is
// "/dev/null". The target is opened write-only, neither created nor
// truncated, and must not be a FIFO. Both opens are non-blocking, so nothing
// a writer of /tmp puts there can hold the thread. A control file or target
// that cannot be used is logged and leaves standard output where it was.
void process_redirect_stdout();
