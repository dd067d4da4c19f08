// Watchdog: two threads that sweep the data store once a second and repair
// what the event-driven paths leave behind: OLT chips hanging in reset,
// ONUs whose links stopped reporting, ONUs stuck in authorization or
// configuration, UNI ports blocked for a duplicate MAC, and the periodic
// optical readings.
//
// Threads: the OLT thread runs wd_cleanup_olts; the ONU thread runs the ONU
// sweeps (wd_onu_pass). Both run until the run flag is cleared or wd_stop
// is called; wd_stop joins them.
//
// Locks: one record at a time, taken with lock_timed and held across the
// chip requests sent for that record. The OLT thread takes only OLT locks,
// the ONU thread only ONU locks (then, inside, the summary slot and the
// change counter, as the data store orders them). No pool block outlives a
// sweep.
//
// Every sweep reads the daemon's clock (platform/clock.h), so tests call
// them directly under the fake clock.
#pragma once

#include <cstdint>

// Seconds, compared with uptime_expired (strictly longer than these).
constexpr uint32_t WD_OLT_RESET_TIMEOUT = 30;
constexpr uint32_t WD_LINK_LOST_TIMEOUT = 600;
constexpr uint32_t WD_CFG_TIMEOUT = 300;
constexpr uint32_t WD_RADIUS_UNCONFIGURED_TIMEOUT = 60;
constexpr uint32_t WD_UNI_BLOCK_TIMEOUT = 300;
// Pass periods of the ONU thread.
constexpr unsigned WD_PASS_MS = 1000;
constexpr unsigned WD_UNBLOCK_PASSES = 10;
constexpr unsigned WD_DRSSI_PASSES = 60;
constexpr unsigned WD_RF_LEVEL_PASSES = 3600;
constexpr int WD_DRSSI_PER_CYCLE = 64;

// Starts both threads. 0, or -1 when a thread could not be started (none
// then runs). Start-up, once; again only after wd_stop.
int wd_init();
// Makes both threads end after their current pass and joins them.
void wd_stop();

// ---- the sweeps, one pass each ---------------------------------------------
// OLTs in RESETINPROGRESS or RESETOK for more than 30 s: reset through the
// board device, then RESETFWUPGRADE.
void wd_cleanup_olts();
// ONUs with a discovered link stuck for more than 600 s: every discovered
// link to REPORTTIMEOUT, the discovered-links counter to 0.
void wd_cleanup_discovery_timeout_onus();
// ONUs whose discovered links all report time-out (or none is counted):
// links torn down in the chip, record released.
void wd_cleanup_report_timeout_onus();
// ONUs stuck in authorization or failed configuration (300 s), or
// unconfigured after a RADIUS configuration (60 s): marked for rediscovery.
void wd_cleanup_cfg_timeout_onus();
// UNI ports 1 and 2 of OK ONUs blocked for more than 300 s: unblocked,
// notified (152).
void wd_unblock_uni_ports();
// Up to 64 DRSSI readings from wd_drssi_cursor on, in ring order.
void wd_read_drssi();
// The RF output level of every ONU type with an RF output.
void wd_set_rf_levels();

// One pass of the ONU thread with pass counter `n`: the three clean-ups,
// then DRSSI (n % 60 == 0), RF levels (n % 3600 == 0) and unblocking
// (n % 10 == 0).
void wd_onu_pass(unsigned n);

// The slot (0..1999) where the next DRSSI cycle starts.
extern int wd_drssi_cursor;
