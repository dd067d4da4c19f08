// Process-wide values of the daemon and the pieces of its lifecycle that do
// not belong to any subsystem: the command-line flags, the run flag, the
// board MAC and the standard-output redirector (SIGUSR1).
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

// Installs the SIGUSR1 redirector and the SIGTERM/SIGINT stop handler. The
// redirect file's path is fixed here, so the handler itself only makes
// system calls.
void process_install_signals();

// The redirector, as SIGUSR1 runs it: reads one word (at most 35 characters)
// from "/tmp/zandrel_stdout", or takes "/dev/null" when that file does not
// exist, opens it write-only without creating or truncating it and, if that
// worked, puts it on standard output.
void process_redirect_stdout();
