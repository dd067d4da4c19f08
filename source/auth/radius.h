// RADIUS client: EAP-MD5 relayed to a RADIUS server (RFC 2865 packets, EAP
// carried as in RFC 3579), the check of the server's answers, the choice
// between the primary and the secondary server, and the parsing of reply
// attributes into an ONU configuration. Accounting (radius_accounting.h)
// shares the packet helpers, the identifier, the server choice and the lock.
//
// Threads: the provisioning engine (identity phase), the chip event thread
// (answer phase) and the accounting thread. `radius_lock` makes every
// exchange exclusive, its retry included: all authentication exchanges use
// one local port, and the identifier is advanced under it after each. It is taken
// with an ONU record held (the answer phase, the accounting Stop), so it
// ranks after the ONU records; nothing but the pool's leaf lock is taken
// under it.
//
// Every exchange opens its own socket and closes it before it returns. The
// settings (servers, ports, secret, the device address every socket is
// bound to) are read from the configuration cache at each exchange.
//
// Answers are checked before anything in them is used: the sender must be
// the server in use, at the port asked, the length field must lie within what arrived, the
// Response Authenticator and, when present, the Message-Authenticator must
// be right, and every attribute must lie within the packet.
#pragma once

#include "wire/cfgmsg.h"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

struct onu_record;

// ---- packets ----------------------------------------------------------------
constexpr size_t RADIUS_BUFFER_SIZE = 4096;   // every packet is built and read in one
constexpr size_t RADIUS_HEADER = 20;          // code, identifier, length, authenticator
constexpr size_t RADIUS_AUTHENTICATOR = 4;    // offset of the 16-byte authenticator
constexpr size_t RADIUS_AUTH_SIZE = 16;
constexpr size_t RADIUS_ATTR_MAX_VALUE = 253;
constexpr size_t RADIUS_STATE_SIZE = 16;
// Holds any EAP-Message value (at most 253 bytes).
constexpr size_t RADIUS_EAP_SIZE = 256;
constexpr uint32_t RADIUS_VENDOR_ID = 47105;
constexpr int RADIUS_ANSWER_SECONDS = 3;

enum : uint8_t {
    RADIUS_ACCESS_REQUEST = 1,
    RADIUS_ACCESS_ACCEPT = 2,
    RADIUS_ACCESS_REJECT = 3,
    RADIUS_ACCOUNTING_REQUEST = 4,
    RADIUS_ACCOUNTING_RESPONSE = 5,
    RADIUS_ACCESS_CHALLENGE = 11,
    RADIUS_DISCONNECT_REQUEST = 40,
    RADIUS_DISCONNECT_ACK = 41,
    RADIUS_DISCONNECT_NAK = 42,
};

enum : uint8_t {
    RADIUS_ATTR_USER_NAME = 1,
    RADIUS_ATTR_NAS_PORT = 5,
    RADIUS_ATTR_STATE = 24,
    RADIUS_ATTR_VENDOR = 26,
    RADIUS_ATTR_NAS_IDENTIFIER = 32,
    RADIUS_ATTR_ACCT_STATUS_TYPE = 40,
    RADIUS_ATTR_ACCT_SESSION_ID = 44,
    RADIUS_ATTR_ACCT_AUTHENTIC = 45,
    RADIUS_ATTR_ACCT_SESSION_TIME = 46,
    RADIUS_ATTR_EVENT_TIMESTAMP = 55,
    RADIUS_ATTR_NAS_PORT_TYPE = 61,
    RADIUS_ATTR_EAP_MESSAGE = 79,
    RADIUS_ATTR_MESSAGE_AUTHENTICATOR = 80,
};

// Results. A RADIUS code (positive) or one of these.
enum : int {
    RADIUS_ERR_SOCKET = -1,          // socket not created
    RADIUS_ERR_BIND = -2,            // option or bind failed
    RADIUS_ERR_TOO_LONG = -4,        // answer and secret do not fit the buffer
    RADIUS_ERR_IDENTIFIER = -5,      // answer to another request
    RADIUS_ERR_AUTHENTICATOR = -6,   // Response Authenticator or Message-Authenticator wrong
    RADIUS_ERR_MALFORMED = -7,       // length field or an attribute runs past the packet
    RADIUS_ERR_SEND = -9,
    RADIUS_ERR_NO_ANSWER = -10,      // nothing from the server in use within 3 seconds
};

// ---- settings (configuration cache, RADIUS and system settings) -------------
constexpr size_t RADIUS_PRIMARY_SERVER = 1;      // IPv4, network order
constexpr size_t RADIUS_SECONDARY_SERVER = 5;    // 255.255.255.255: none
constexpr size_t RADIUS_AUTH_LOCAL_PORT = 9;     // u16 LE
constexpr size_t RADIUS_AUTH_SERVER_PORT = 11;
constexpr size_t RADIUS_INTERIM_MINUTES = 270;
constexpr size_t RADIUS_ACCT_LOCAL_PORT = 272;
constexpr size_t RADIUS_ACCT_SERVER_PORT = 274;
constexpr size_t RADIUS_DISCONNECT_LOCAL_PORT = 276;

bool radius_enabled();
uint16_t radius_setting_u16(size_t offset);
// The shared secret (NUL-terminated within its 256 bytes) and its length.
const char *radius_secret(size_t *length);
// The address of the server in use, network order.
uint32_t radius_server_address();

// ---- client state ------------------------------------------------------------
extern std::atomic<uint32_t> radius_identifier;   // the packet identifier is its low byte
extern std::atomic<int> radius_use_secondary;     // 0 primary, 1 secondary; kept between requests
extern pthread_mutex_t radius_lock;
// Answers dropped: from another address or port than the server in use's,
// or failing their check. For the resource report and tests.
extern std::atomic<uint32_t> radius_answers_dropped;

// 1 when another server was chosen (logged), else 0.
int radius_switch_server();
// Adds 1; 0xFFFFFFFF is stepped over, so the counter wraps to 0.
void radius_next_identifier();

// ---- packet helpers -------------------------------------------------------------
// Appends attribute `type` with `length` bytes of `value` (zeros when NULL;
// longer values are cut to 253) at `pos`, adds its size to `*packet_length`
// and returns the next write position. The caller's buffer is
// RADIUS_BUFFER_SIZE bytes and its packets stay far below that.
uint8_t *radius_add_attribute(uint8_t type, const void *value, size_t length, size_t *packet_length, uint8_t *pos);
// The same for a vendor-specific attribute (26, Vendor-Id 47105, then the
// vendor sub-attribute `vendor_type`).
uint8_t *radius_add_vsa(uint8_t vendor_type, const void *value, size_t length, size_t *packet_length, uint8_t *pos);
// MD5 over the packet's first `length` bytes (the authenticator as it
// stands) and `secret`: the Accounting-Request and Disconnect answer
// authenticator.
void radius_md5_authenticator(const uint8_t *packet, size_t length, const char *secret, size_t secret_length,
                              uint8_t out[16]);
// HMAC-MD5 keyed with the secret. false when the library fails.
bool radius_hmac_md5(const uint8_t *data, size_t length, const char *secret, size_t secret_length, uint8_t out[16]);

// The Access-Request: code 1, `identifier`, an unpredictable authenticator,
// User-Name, State (when `state` is given and `with_state` set), EAP-Message
// (as many bytes as the low byte of the EAP length field says) and the
// Message-Authenticator. Its length.
size_t radius_build_access_request(uint8_t *packet, uint8_t identifier, const char *user_name, const uint8_t *eap,
                                   const uint8_t *state, bool with_state, const char *secret, size_t secret_length);

// ---- sockets -------------------------------------------------------------------
// UDP socket with SO_REUSEADDR bound to the device address and `port`: the
// descriptor, or RADIUS_ERR_SOCKET / RADIUS_ERR_BIND (logged).
int radius_open_socket(uint16_t port);
// `packet` (its length field) to the server in use at `server_port`: 0 or
// RADIUS_ERR_SEND (logged).
int radius_send_packet(int fd, uint16_t server_port, const uint8_t *packet);
// Waits up to 3 seconds (on the daemon's clock) for the answer to `request`:
// a datagram from the server in use at `server_port` that passes
// radius_verify_response. Any other datagram is dropped (logged, counted)
// and the wait goes on. The answer's code with the answer in `buffer`
// (RADIUS_BUFFER_SIZE bytes), or RADIUS_ERR_NO_ANSWER (logged).
int radius_wait_answer(int fd, uint16_t server_port, const uint8_t *request, uint8_t *buffer, const char *secret,
                       size_t secret_length);

// Checks an answer of `received` bytes against the request it answers: the
// answer's code, or RADIUS_ERR_TOO_LONG, _IDENTIFIER, _AUTHENTICATOR or
// _MALFORMED (each logged). A valid answer's length field lies within
// `received` and all its attributes within that length.
int radius_verify_response(const uint8_t *answer, size_t received, const uint8_t *request, const char *secret,
                           size_t secret_length);

// Reads a reply's attributes (the first min(length field, `size`) bytes):
// EAP-Message into `eap`, State into `state`, the vendor attributes of
// Vendor-Id 47105 into `config`; in a Disconnect-Request User-Name into
// `eap` (NUL-terminated) and the first 4 bytes of Acct-Session-Id into
// `state`. Any pointer may be NULL. 0; -1 when a vendor attribute had a wrong
// length (logged, its value stored all the same); RADIUS_ERR_MALFORMED when
// an attribute runs past the packet (the walk stops there).
int radius_parse_attributes(const uint8_t *reply, size_t size, onu_record *config, uint8_t *eap, uint8_t *state);

// ---- exchanges -----------------------------------------------------------------
// One Access-Request and its checked answer in `answer` (RADIUS_BUFFER_SIZE
// bytes): the answer's code or a negative result. The caller holds
// radius_lock.
int radius_exchange(const char *user_name, uint8_t *answer, const uint8_t *eap, const uint8_t *state, int with_state);
// Opens the conversation for an ONU with an EAP-Response/Identity of the MAC
// text; one retry on the other server when the first gets no answer or
// cannot be sent. On 11 `eap` (RADIUS_EAP_SIZE) holds the server's EAP
// request and `state` (16 bytes) the State.
int radius_eap_identity_request(const uint8_t mac[6], uint8_t *eap, uint8_t *state);
// Relays the ONU's EAP answer in `eap` with its State; no retry. On 2
// `config` has been filled from the reply, `eap` holds the server's
// EAP-Message and `state` the reply's State, if it had one.
int radius_eap_response(const uint8_t mac[6], uint8_t *eap, uint8_t *state, onu_record *config);
