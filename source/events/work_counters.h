// The daemon's pacing counters, readable from outside the process: the chip
// events the event thread handled and the work items the profiler handled.
// Each of them is followed by its thread's 10 ms pause, so the larger of the
// two counts times 10 ms is the least time the daemon can have spent on
// them; a benchmark compares its wall time with that floor.
//
// The counters are written to their own file, "/tmp/zandrel_counters" (under
// ZANDREL_ROOT), whenever the management process asks for the resource
// report (command 0x7002, e.g. `ponctl report`): the file is complete before
// the report's answer leaves, so whoever holds the answer may read it. The
// resource report itself keeps its own layout. One "name value" line per
// counter, in this order, values in decimal:
//   events_handled N        chip events the event thread handled
//   work_items N            work items the profiler handled (the sum of:)
//   work_olt_reconfigure N
//   work_onu_reconfigure N
//   work_link_discovery N
//   work_unknown N
// Counters start at 0 with the process and only grow; take differences.
// The names and their order stay; further counters are appended.
//
// Threads: written by the command handler thread of the resource report;
// the counters are atomics read without a lock.
#pragma once

#include <cstddef>

constexpr const char *WORK_COUNTERS_FILE = "/tmp/zandrel_counters";

// The counters as the file's text, into `out` (at most `size` bytes with
// the terminating zero). The text's length, or -1 when it does not fit.
int work_counters_text(char *out, size_t size);
// Writes the text to WORK_COUNTERS_FILE, created or truncated. 0, or -1
// when the file cannot be written.
int work_counters_write();
