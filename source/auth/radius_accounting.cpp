// RADIUS accounting: the accounting thread, the Accounting-Requests of ONU
// sessions and the Disconnect-Requests.
#include "auth/radius_accounting.h"

#include "auth/radius.h"
#include "base/bytes.h"
#include "engine/profiler_cache.h"
#include "platform/clock.h"
#include "platform/sandbox.h"
#include "platform/textconv.h"
#include "platform/threads.h"
#include "store/datastruct.h"
#include "wire/capture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <thread>

std::atomic<int> radius_accounting_running{0};
std::atomic<uint32_t> radius_acct_session_counter{1};

namespace {

constexpr unsigned PASS_PAUSE_MS = 1000;
constexpr size_t NAME_SIZE = RADIUS_EAP_SIZE;
// Counter numbers that go out; others are skipped.
constexpr uint16_t SENT_COUNTERS[] = {1, 2, 3, 4, 5, 17, 18};

// Descriptors, -1 while not open; changed only under radius_lock.
std::atomic<int> acct_socket{-1};
std::atomic<int> disconnect_socket{-1};

std::mutex thread_mutex;
std::thread accounting_thread;
// Cuts the pass pause short when the thread is asked to end.
std::atomic<bool> stop_requested{false};

int chip_statistics(const onu_record *onu, uint16_t set, onu_stat_entry *out, size_t *count)
{
    return onu_statistics_request(onu->olt, onu->mac, onu->port, set, out, count);
}

bool flag_file_present()
{
    char path[512];
    return sandbox_path(path, sizeof path, RADIUS_CHANGED_FLAG) == 0 && access(path, F_OK) == 0;
}

const char *host_name(size_t *length)
{
    const char *name = reinterpret_cast<const char *>(cfgcache()->system + SYSTEM_HOSTNAME);
    *length = strnlen(name, 256);
    return name;
}

void close_sockets()
{
    lock_timed(&radius_lock);
    for (std::atomic<int> *fd : {&acct_socket, &disconnect_socket}) {
        int old = fd->exchange(-1);
        if (old >= 0)
            close(old);
    }
    pthread_mutex_unlock(&radius_lock);
}

void open_socket(std::atomic<int> *fd, size_t port_setting)
{
    int opened = radius_open_socket(radius_setting_u16(port_setting));
    if (opened < 0)
        return;
    lock_timed(&radius_lock);
    fd->store(opened);
    pthread_mutex_unlock(&radius_lock);
}

// Answers that came too late for their request would be taken for the next
// one's: whatever waits is dropped before a request goes out.
void drain(int fd)
{
    uint8_t scrap[RADIUS_BUFFER_SIZE];
    while (recv(fd, scrap, sizeof scrap, MSG_DONTWAIT) >= 0) {
    }
}

int accounting_exchange(onu_record *onu, int status, const radius_counters *counters)
{
    int fd = acct_socket.load();
    size_t secret_length;
    const char *secret = radius_secret(&secret_length);
    uint8_t request[RADIUS_BUFFER_SIZE];
    radius_build_accounting_request(request, uint8_t(radius_identifier.load()), onu, status, uptime_seconds(),
                                    counters, secret, secret_length);
    drain(fd);
    uint16_t server_port = radius_setting_u16(RADIUS_ACCT_SERVER_PORT);
    if (radius_send_packet(fd, server_port, request) != 0)
        return RADIUS_ERR_SEND;
    uint8_t answer[RADIUS_BUFFER_SIZE];
    return radius_wait_answer(fd, server_port, request, answer, secret, secret_length);
}

// Every datagram waiting on the disconnect socket, each answered to its
// sender's port at the server in use. The bound only keeps a flood from
// holding the thread for ever; it lies above what the socket can queue.
void serve_disconnect(int fd)
{
    constexpr int MOST_PER_PASS = 1024;
    for (int i = 0; i < MOST_PER_PASS; i++) {
        uint8_t packet[RADIUS_BUFFER_SIZE] = {};
        sockaddr_in from{};
        socklen_t from_size = sizeof from;
        ssize_t n = recvfrom(fd, packet, sizeof packet, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                             &from_size);
        if (n < 0)
            return;
        if (capture_radius_on()) [[unlikely]]
            capture_radius(PCAPNG_IN, fd, from, packet, size_t(n));
        uint8_t answer[RADIUS_HEADER];
        if (radius_disconnect_handle(packet, size_t(n), from.sin_addr.s_addr, answer) == 0)
            continue;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = from.sin_port;
        to.sin_addr.s_addr = radius_server_address();
        if (capture_radius_on()) [[unlikely]]
            capture_radius(PCAPNG_OUT, fd, to, answer, sizeof answer);
        sendto(fd, answer, sizeof answer, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
}

void accounting_loop()
{
    syslog(LOG_INFO, "RADIUS: accounting initialized");
    unsigned pass = 0;
    while (radius_accounting_running.load()) {
        if (!flag_file_present() && radius_cfg_changed.load() == 0) {
            if (disconnect_socket.load() < 0)
                open_socket(&disconnect_socket, RADIUS_DISCONNECT_LOCAL_PORT);
            else
                serve_disconnect(disconnect_socket.load());
            if (acct_socket.load() < 0)
                open_socket(&acct_socket, RADIUS_ACCT_LOCAL_PORT);
            else if (pass % RADIUS_SWEEP_EVERY == 0)
                radius_accounting_sweep();
            clock_delay(PASS_PAUSE_MS, &stop_requested);
            pass++;
            continue;
        }
        // The settings changed: take them afresh and start over with new
        // sockets.
        if (radius_cfg_changed.load() == 0 && UpdateRadiusCache() != 0) {
            clock_delay(PASS_PAUSE_MS, &stop_requested);
            continue;
        }
        close_sockets();
        // The new settings may end the thread, never revive it: a stop asked
        // while the settings were fetched must hold, or the thread would spin
        // on the cut-short pause and its join would never return.
        if (!cfgcache_radius_accounting_enabled(cfgcache()))
            radius_accounting_running = 0;
        radius_cfg_changed = 0;
    }
    close_sockets();
    syslog(LOG_INFO, "RADIUS: accounting killed");
}

} // namespace

radius_statistics_fn radius_accounting_statistics = chip_statistics;

uint8_t *radius_acct_session_id(onu_record *onu) { return onu->unused3; }
const uint8_t *radius_acct_session_id(const onu_record *onu) { return onu->unused3; }

// ---- the thread ----------------------------------------------------------------------

int radius_accounting_start()
{
    std::lock_guard<std::mutex> guard(thread_mutex);
    if (radius_accounting_running.load()) {
        syslog(LOG_ERR, "RADIUS: accounting already inited");
        return 255;
    }
    // A thread told to stop may still be finishing its pass.
    if (accounting_thread.joinable())
        accounting_thread.join();
    radius_accounting_running = 1;
    stop_requested = false;
    accounting_thread = std::thread(accounting_loop);
    return 0;
}

void radius_accounting_stop()
{
    radius_accounting_running = 0;
    stop_requested = true;
    clock_delay_wake();
}

void radius_accounting_close()
{
    std::lock_guard<std::mutex> guard(thread_mutex);
    radius_accounting_stop();
    if (accounting_thread.joinable())
        accounting_thread.join();
}

// ---- sessions ----------------------------------------------------------------------------

void radius_accounting_counters(const onu_record *onu, radius_counters *out)
{
    for (int set = 0; set < 2; set++) {
        out->count[set] = 0;
        if (radius_accounting_statistics(onu, RADIUS_COUNTER_SETS[set], out->entries[set], &out->count[set]) != 0)
            out->count[set] = 0;
    }
}

size_t radius_build_accounting_request(uint8_t *packet, uint8_t identifier, const onu_record *onu, int status,
                                       uint32_t now, const radius_counters *counters, const char *secret,
                                       size_t secret_length)
{
    memset(packet, 0, RADIUS_BUFFER_SIZE);
    packet[0] = RADIUS_ACCOUNTING_REQUEST;
    packet[1] = identifier;
    size_t length = RADIUS_HEADER;
    uint8_t *pos = packet + RADIUS_HEADER;
    uint8_t number[4];

    char user[18];
    convert_to_mac(user, onu->mac);
    pos = radius_add_attribute(RADIUS_ATTR_USER_NAME, user, strlen(user), &length, pos);
    // RFC 2866 integers are four bytes; a server reads nothing else.
    store_be32(number, uint32_t(status));
    pos = radius_add_attribute(RADIUS_ATTR_ACCT_STATUS_TYPE, number, 4, &length, pos);
    store_be32(number, onu->port);
    pos = radius_add_attribute(RADIUS_ATTR_NAS_PORT, number, 4, &length, pos);
    store_be32(number, RADIUS_NAS_PORT_TYPE);
    pos = radius_add_attribute(RADIUS_ATTR_NAS_PORT_TYPE, number, 4, &length, pos);
    size_t name_length;
    const char *name = host_name(&name_length);
    if (name_length > 0)
        pos = radius_add_attribute(RADIUS_ATTR_NAS_IDENTIFIER, name, name_length, &length, pos);
    pos = radius_add_attribute(RADIUS_ATTR_ACCT_SESSION_ID, radius_acct_session_id(onu), 4, &length, pos);
    store_be32(number, (onu->cfg_flags & ONU_CFG_RADIUS_AUTH) ? RADIUS_ACCT_AUTHENTIC_RADIUS : RADIUS_ACCT_AUTHENTIC_LOCAL);
    pos = radius_add_attribute(RADIUS_ATTR_ACCT_AUTHENTIC, number, 4, &length, pos);

    if (status != RADIUS_ACCT_START) {
        for (int set = 0; counters && set < 2; set++) {
            for (size_t i = 0; i < counters->count[set]; i++) {
                const onu_stat_entry &entry = counters->entries[set][i];
                if (std::find(std::begin(SENT_COUNTERS), std::end(SENT_COUNTERS), entry.id) == std::end(SENT_COUNTERS))
                    continue;
                char text[24];
                int size = snprintf(text, sizeof text, "%" PRIu64, entry.value);
                pos = radius_add_vsa(uint8_t(entry.id + RADIUS_COUNTER_TYPE_BASE[set]), text, size_t(size), &length,
                                     pos);
            }
        }
        store_be32(number, now - onu->ok_time);
        pos = radius_add_attribute(RADIUS_ATTR_ACCT_SESSION_TIME, number, 4, &length, pos);
    }
    store_be16(packet + 2, uint16_t(length));
    radius_md5_authenticator(packet, length, secret, secret_length, packet + RADIUS_AUTHENTICATOR);
    return length;
}

int radius_send_change_state_msg(onu_record *onu, int status)
{
    int rc = RADIUS_ERR_SOCKET;
    radius_counters counters;
    counters.count[0] = counters.count[1] = 0;
    if (acct_socket.load() >= 0 && status != RADIUS_ACCT_START)
        radius_accounting_counters(onu, &counters);
    lock_timed(&radius_lock);
    for (int attempt = 0; acct_socket.load() >= 0; attempt++) {
        rc = accounting_exchange(onu, status, status != RADIUS_ACCT_START ? &counters : nullptr);
        if (attempt > 0 || (rc != RADIUS_ERR_NO_ANSWER && rc != RADIUS_ERR_SEND) || !radius_switch_server())
            break;
        syslog(LOG_ERR, "%s retry", "radius_send_change_state_msg");
    }
    // Under the lock, so the next exchange never takes this one's identifier.
    radius_next_identifier();
    pthread_mutex_unlock(&radius_lock);
    return rc;
}

void radius_accounting_stop_hook(onu_record *onu) { radius_send_change_state_msg(onu, RADIUS_ACCT_STOP); }

void radius_accounting_sweep()
{
    uint32_t interval = radius_setting_u16(RADIUS_INTERIM_MINUTES);
    if (interval == 0)
        return;
    for (int i = 0; i < ONU_COUNT; i++) {
        onu_record *onu = onu_at(i);
        onu_lock(onu);
        if (onu->state == ONU_STATE_OK) {
            uint32_t last = uint32_t(onu->accounting);
            if (last == RADIUS_ACCT_NOT_STARTED) {
                onu->accounting = int32_t(uptime_seconds());
                uint32_t session = radius_acct_session_counter++;
                uint8_t *id = radius_acct_session_id(onu);
                id[0] = uint8_t(session >> 16);
                id[1] = uint8_t(session >> 8);
                id[2] = uint8_t(session);
                id[3] = 0;
                radius_send_change_state_msg(onu, RADIUS_ACCT_START);
            } else if (uptime_expired(last, interval * 60)) {
                radius_send_change_state_msg(onu, RADIUS_ACCT_INTERIM);
                onu->accounting = int32_t(uptime_seconds());
            }
        }
        onu_unlock(onu);
    }
}

// ---- Disconnect-Requests ----------------------------------------------------------------

namespace {

// Authenticated requests of the last RADIUS_DISCONNECT_WINDOW seconds, a
// ring; accounting thread only.
struct remembered_request {
    bool used;
    uint32_t when;
    uint8_t identifier;
    uint8_t authenticator[RADIUS_AUTH_SIZE];
};
remembered_request remembered[RADIUS_DISCONNECT_REMEMBERED];
size_t remembered_next;

// true when the request was seen within the window; else it is remembered.
bool replayed(const uint8_t *packet)
{
    for (const remembered_request &r : remembered)
        if (r.used && !uptime_expired(r.when, RADIUS_DISCONNECT_WINDOW) && r.identifier == packet[1] &&
            memcmp(r.authenticator, packet + RADIUS_AUTHENTICATOR, RADIUS_AUTH_SIZE) == 0)
            return true;
    remembered_request &slot = remembered[remembered_next];
    remembered_next = (remembered_next + 1) % RADIUS_DISCONNECT_REMEMBERED;
    slot.used = true;
    slot.when = uptime_seconds();
    slot.identifier = packet[1];
    memcpy(slot.authenticator, packet + RADIUS_AUTHENTICATOR, RADIUS_AUTH_SIZE);
    return false;
}

bool from_configured_server(uint32_t from)
{
    uint32_t primary, secondary;
    memcpy(&primary, cfgcache()->radius + RADIUS_PRIMARY_SERVER, 4);
    memcpy(&secondary, cfgcache()->radius + RADIUS_SECONDARY_SERVER, 4);
    return from == primary || (from == secondary && secondary != 0xFFFFFFFF);
}

// Where the Message-Authenticator's value and the Event-Timestamp attribute
// lie in a packet whose attributes are known to lie within `length`; 0
// when absent.
struct disconnect_extras {
    size_t signature;
    size_t timestamp;
};
disconnect_extras find_extras(const uint8_t *packet, size_t length)
{
    disconnect_extras found{0, 0};
    for (size_t at = RADIUS_HEADER; at + 2 <= length && packet[at + 1] >= 2; at += packet[at + 1]) {
        if (packet[at] == RADIUS_ATTR_MESSAGE_AUTHENTICATOR)
            found.signature = at;
        else if (packet[at] == RADIUS_ATTR_EVENT_TIMESTAMP)
            found.timestamp = at;
    }
    return found;
}

// Why an authenticated-looking request is refused, or nullptr. `work` is
// the packet with a zero authenticator.
const char *refusal(const uint8_t *packet, uint8_t *work, size_t length, const char *secret, size_t secret_length)
{
    uint8_t digest[16];
    radius_md5_authenticator(work, length, secret, secret_length, digest);
    if (memcmp(digest, packet + RADIUS_AUTHENTICATOR, RADIUS_AUTH_SIZE) != 0)
        return "RADIUS: bad shared secret, check it";
    disconnect_extras extras = find_extras(work, length);
    if (extras.signature) {
        // RFC 5176, 3.1: over the packet with a zero authenticator and a zero
        // Message-Authenticator.
        uint8_t mac[16];
        if (work[extras.signature + 1] != 2 + RADIUS_AUTH_SIZE)
            return "RADIUS: bad Message-Authenticator in Disconnect-Request";
        memset(work + extras.signature + 2, 0, RADIUS_AUTH_SIZE);
        if (!radius_hmac_md5(work, length, secret, secret_length, mac) ||
            memcmp(mac, packet + extras.signature + 2, RADIUS_AUTH_SIZE) != 0)
            return "RADIUS: bad Message-Authenticator in Disconnect-Request";
    }
    if (extras.timestamp) {
        // The one time here that is the real-time clock's: the server's.
        if (work[extras.timestamp + 1] != 6)
            return "RADIUS: stale Event-Timestamp in Disconnect-Request";
        int64_t skew = int64_t(time(nullptr)) - int64_t(load_be32(work + extras.timestamp + 2));
        if (skew > int64_t(RADIUS_DISCONNECT_WINDOW) || skew < -int64_t(RADIUS_DISCONNECT_WINDOW))
            return "RADIUS: stale Event-Timestamp in Disconnect-Request";
    }
    if (replayed(packet))
        return "RADIUS: replayed Disconnect-Request";
    return nullptr;
}

} // namespace

void radius_disconnect_forget()
{
    memset(remembered, 0, sizeof remembered);
    remembered_next = 0;
}

int radius_disconnect_handle(const uint8_t *packet, size_t size, uint32_t from, uint8_t answer[20])
{
    if (!from_configured_server(from)) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &from, text, sizeof text);
        syslog(LOG_ERR, "RADIUS: datagram from %s, no RADIUS server, on the disconnect port dropped", text);
        return 0;
    }
    if (size < RADIUS_HEADER || packet[0] != RADIUS_DISCONNECT_REQUEST) {
        syslog(LOG_ERR, "RADIUS: datagram of %zu bytes, code %d, on the disconnect port dropped", size,
               size ? packet[0] : 0);
        return 0;
    }
    size_t length = load_be16(packet + 2);
    uint8_t work[RADIUS_BUFFER_SIZE] = {};
    uint8_t name[NAME_SIZE] = {};
    uint8_t session[4] = {};
    if (length < RADIUS_HEADER || length > size || length > sizeof work) {
        syslog(LOG_ERR, "RADIUS: malformed Disconnect-Request dropped");
        return 0;
    }
    memcpy(work, packet, length);
    if (radius_parse_attributes(work, length, nullptr, name, session) == RADIUS_ERR_MALFORMED) {
        syslog(LOG_ERR, "RADIUS: malformed Disconnect-Request dropped");
        return 0;
    }

    size_t secret_length;
    const char *secret = radius_secret(&secret_length);
    memset(work + RADIUS_AUTHENTICATOR, 0, RADIUS_AUTH_SIZE);

    int code = RADIUS_DISCONNECT_NAK;
    const char *user = reinterpret_cast<const char *>(name);
    size_t host_length;
    const char *host = host_name(&host_length);
    static const uint8_t NO_SESSION[4] = {};
    if (const char *why = refusal(packet, work, length, secret, secret_length)) {
        syslog(LOG_ERR, "%s", why);
    } else if (strlen(user) == host_length && memcmp(user, host, host_length) == 0 &&
               memcmp(session, NO_SESSION, 4) == 0) {
        if (SaveConfig() == 0) {
            code = RADIUS_DISCONNECT_ACK;
            syslog(LOG_ERR, "RADIUS: config saved");
        } else {
            syslog(LOG_ERR, "RADIUS: error on config saving");
        }
    } else {
        uint8_t mac[6];
        convert_mac(mac, user);
        onu_record *onu = onu_get_by_mac(mac);
        if (onu) {
            onu_lock(onu);
            // Released or reused since the look-up: as good as not found.
            if (onu->state == ONU_STATE_FREE || memcmp(onu->mac, mac, 6) != 0) {
                onu_unlock(onu);
                onu = nullptr;
            }
        }
        if (!onu) {
            syslog(LOG_ERR, "RADIUS: ONT %s not found", user);
        } else {
            if (memcmp(radius_acct_session_id(onu), session, 4) == 0) {
                for (link_record &link : onu->links)
                    link.state = ONU_STATE_REPORTTIMEOUT;
                code = RADIUS_DISCONNECT_ACK;
                syslog(LOG_ERR, "RADIUS: ONT %s reconfigure inited", user);
            } else {
                uint32_t id;
                memcpy(&id, radius_acct_session_id(onu), 4);
                syslog(LOG_ERR, "RADIUS: ONT %s found, but have another acct-session-id (0x%04X)", user, id);
            }
            onu_unlock(onu);
        }
    }

    memcpy(answer, packet, RADIUS_HEADER);
    answer[0] = uint8_t(code);
    store_be16(answer + 2, RADIUS_HEADER);
    radius_md5_authenticator(answer, RADIUS_HEADER, secret, secret_length, answer + RADIUS_AUTHENTICATOR);
    return code;
}
