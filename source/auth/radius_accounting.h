// RADIUS accounting (RFC 2866) of ONU sessions, and the Disconnect-Requests
// (RFC 5176) with which a server makes an ONU register again or makes the
// daemon save its configuration.
//
// Threads: one accounting thread runs the loop (Disconnect-Requests, the
// interim sweep, the restart on changed RADIUS settings); the Stop of a
// session is sent by whichever thread changes the ONU's state, through the
// data store's accounting_stop hook that main.cpp installs.
//
// Locks: the sweep and the Stop hold the ONU record and take `radius_lock`
// (radius.h) inside it for the exchange; the two sockets are opened and
// closed under `radius_lock`, so a Stop never uses a socket being closed.
// The Disconnect handling takes an ONU record without `radius_lock`.
// Counters are read from the chip (teklink_send_lock) before `radius_lock`
// is taken.
#pragma once

#include "auth/radius_eap.h"
#include "onu/onu_statistics.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

struct onu_record;

// Status of an Accounting-Request (Acct-Status-Type).
enum : int {
    RADIUS_ACCT_START = 1,
    RADIUS_ACCT_STOP = 2,
    RADIUS_ACCT_INTERIM = 3,
};
constexpr uint32_t RADIUS_NAS_PORT_TYPE = 0x23;
constexpr uint32_t RADIUS_ACCT_AUTHENTIC_RADIUS = 1;
constexpr uint32_t RADIUS_ACCT_AUTHENTIC_LOCAL = 2;
constexpr uint32_t RADIUS_ACCT_NOT_STARTED = 0xFFFFFFFF;   // last accounting time on entering OK
constexpr unsigned RADIUS_SWEEP_EVERY = 5;                 // passes of about a second
// Statistics sets whose counters go out as vendor attributes, and the
// vendor type of counter n of each (n + 129, n + 159).
constexpr uint16_t RADIUS_COUNTER_SETS[2] = {20, 21};
constexpr uint8_t RADIUS_COUNTER_TYPE_BASE[2] = {129, 159};

extern std::atomic<int> radius_accounting_running;
extern std::atomic<uint32_t> radius_acct_session_counter;

// The accounting session id of an ONU record: the 4 bytes after the last
// accounting time.
uint8_t *radius_acct_session_id(onu_record *onu);
const uint8_t *radius_acct_session_id(const onu_record *onu);

// Starts the accounting thread: 0, or 255 when it runs already (logged).
// Start-up (when the settings enable accounting) and a management command.
int radius_accounting_start();
// Asks the thread to end; it does so at its next check (about a second).
void radius_accounting_stop();
// radius_accounting_stop, then waits for the thread to end (shutdown, tests).
void radius_accounting_close();

// One accounting exchange for `onu` (the caller holds it) with `status`;
// one retry on the other server when there is no answer. Nothing is sent
// while the accounting socket is not open. The answer's code or a negative
// result.
int radius_send_change_state_msg(onu_record *onu, int status);
// The data store's hook: the Stop of an ONU that leaves OK.
void radius_accounting_stop_hook(onu_record *onu);

// One interim sweep over the ONUs in state OK: Start for sessions not yet
// started, Interim-Update for those last reported more than the interval
// ago. Nothing when the interval is 0.
void radius_accounting_sweep();

// Where Stop and Interim-Update take the ONU's counters from: the chip's
// statistics request, unless a test puts its own here. 0 with `*count`
// entries in `out`, or non-zero (the set contributes nothing).
using radius_statistics_fn = int (*)(const onu_record *onu, uint16_t set, onu_stat_entry *out, size_t *count);
extern radius_statistics_fn radius_accounting_statistics;

// The counters of both sets; a set that could not be read has none.
struct radius_counters {
    onu_stat_entry entries[2][ONU_STAT_MAX_ENTRIES];
    size_t count[2];
};
void radius_accounting_counters(const onu_record *onu, radius_counters *out);

// The Accounting-Request for `onu` with `status` at uptime `now`, signed
// with the secret; `counters` (Stop and Interim-Update) may be NULL. Its
// length.
size_t radius_build_accounting_request(uint8_t *packet, uint8_t identifier, const onu_record *onu, int status,
                                       uint32_t now, const radius_counters *counters, const char *secret,
                                       size_t secret_length);

// Disconnect-Requests are taken only from the configured servers, signed
// with the secret (and with a right Message-Authenticator when one is
// there), with an Event-Timestamp, when one is there, within this many
// seconds of the real-time clock, and only once: a repeat of an identifier
// and authenticator seen within this many seconds (on the daemon's clock) is
// refused.
constexpr uint32_t RADIUS_DISCONNECT_WINDOW = 300;
// Requests remembered for the replay check; the oldest gives way.
constexpr size_t RADIUS_DISCONNECT_REMEMBERED = 256;

// Handles one datagram that arrived on the disconnect socket from IPv4
// address `from` (network order): 41 or 42 with the 20-byte answer in
// `answer`, or 0 when the datagram is no Disconnect-Request, or comes from
// elsewhere than a configured server, and gets no answer. Accounting thread
// only (it keeps the replay memory).
int radius_disconnect_handle(const uint8_t *packet, size_t size, uint32_t from, uint8_t answer[20]);
// Forgets the requests remembered for the replay check (tests, fuzzing).
void radius_disconnect_forget();
