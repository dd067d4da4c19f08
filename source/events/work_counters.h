// The daemon's counters, readable from outside the process: its pacing
// counters, and what the chip link and the management link met, for field
// debugging.
//
// The pacing counters are the chip events the event thread handled and the
// work items the profiler handled. Each of them is followed by its thread's
// 10 ms pause, so the larger of the two counts times 10 ms is the least time
// the daemon can have spent on them; a benchmark compares its wall time with
// that floor. The link counters are kept where their events happen
// (chip/teklink_counters.h, mgmt/kernlink.h, mgmt/kernhandlers.h); this
// module only reads them.
//
// The counters are written to their own file, "/tmp/zandrel_counters" (under
// ZANDREL_ROOT), whenever the management process asks for the resource
// report (command 0x7002, e.g. `ponctl report`, or `ponctl counters`, which
// prints them): the file is complete before the report's answer leaves, so
// whoever holds the answer may read it. The resource report itself keeps its
// own layout. One "name value" line per counter, in this order, values in
// decimal:
//   events_handled N        chip events the event thread handled
//   work_items N            work items the profiler handled (the sum of:)
//   work_olt_reconfigure N
//   work_onu_reconfigure N
//   work_link_discovery N
//   work_unknown N
// then for each OLT n from 0 to 3:
//   oltn_exchanges N        chip requests sent with their answer awaited
//   oltn_timeouts N         transmissions whose answer did not come in time
//                           (or came in fragments that could not be joined)
//   oltn_resends_rcode_R N  resends called for by an answer with RCODE R
//                           (10, 11; "other" for any RCODE above 14); only
//                           RCODEs that caused one
//   oltn_dropped_stale_ctag N  answers dropped, their CTAG not the exchange's
//   oltn_dropped_short N       datagrams dropped, too short for their kind
//   oltn_dropped_pool_share N  datagrams dropped, the chip's pool share full
//   oltn_fragments_joined N    fragments joined into whole messages
//   oltn_fragments_aged N      fragments freed unjoined after a minute
//   oltn_events_0xID N      chip events of that ID handed to the event
//                           thread (0x8000, 0x8003, 0x8014, 0x8019, 0x801A,
//                           0x8029, 0x802B; "other" for any other ID); only
//                           IDs that came
// then the link-wide and management link counters:
//   chip_dropped_unknown_sender N  datagrams from addresses not a chip's
//   mgmt_commands_0xCODE N  messages received from the management process
//                           by command code (answers to the daemon's own
//                           requests apart); only codes that came, by
//                           ascending code, then mgmt_commands_other for
//                           codes past the table's 64
//   mgmt_answers N          answers sent to the management process
//   mgmt_refused_payloads N commands answered as refused for a payload they
//                           could not be read from
//   mgmt_reconnects N       connections made after the first
// Counters start at 0 with the process and only grow; take differences (a
// line that is not there is 0). The names and their order stay; further
// counters are appended.
//
// With ZANDREL_COUNTERS_PROM set (platform/sandbox.h) the same counters are
// also written every ZANDREL_COUNTERS_PROM_SECONDS as a Prometheus text file
// (the node exporter's textfile convention: written beside it as PATH.tmp,
// then renamed over it), as the families below, every one a counter:
//   zandrel_events_handled_total, zandrel_work_items_total{kind},
//   zandrel_chip_exchanges_total{olt}, zandrel_chip_timeouts_total{olt},
//   zandrel_chip_resends_total{olt,rcode},
//   zandrel_chip_dropped_total{olt,reason="stale_ctag|short|pool_share"},
//   zandrel_chip_dropped_unknown_sender_total,
//   zandrel_chip_fragments_joined_total{olt},
//   zandrel_chip_fragments_aged_total{olt}, zandrel_chip_events_total{olt,id},
//   zandrel_mgmt_commands_total{code}, zandrel_mgmt_answers_total,
//   zandrel_mgmt_refused_payloads_total, zandrel_mgmt_reconnects_total.
//
// Threads: the file is written by the command handler thread of the resource
// report, the Prometheus file by a thread of its own that sleeps between
// writes; neither exists unless asked for. The counters are atomics read
// without a lock.
#pragma once

#include "wire/ids.h"

#include <string>


// The counters as the file's text / as Prometheus text.
std::string work_counters_text();
std::string work_counters_prom_text();
// Writes the text to WORK_COUNTERS_FILE, created or truncated. 0, or -1
// when the file cannot be written.
int work_counters_write();
// Writes the Prometheus text to `path` (a path of this run) through
// `path`.tmp and rename(2), so that a reader sees a whole file. 0 or -1.
int work_counters_prom_write(const std::string &path);

// Starts the thread that writes the Prometheus file, at once and then every
// ZANDREL_COUNTERS_PROM_SECONDS, when ZANDREL_COUNTERS_PROM names one;
// otherwise does nothing. 0, or -1 when the thread cannot be started.
int work_counters_prom_start();
// Stops that thread, if it runs.
void work_counters_prom_stop();
