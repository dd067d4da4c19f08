// RADIUS client: packets, answers and the two EAP exchanges. The parsing of
// reply attributes into an ONU configuration is in radius_attributes.cpp.
#include "auth/radius.h"

#include "base/bytes.h"
#include "engine/profiler_cache.h"
#include "platform/clock.h"
#include "platform/textconv.h"
#include "platform/threads.h"
#include "wire/capture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::atomic<uint32_t> radius_identifier{0};
std::atomic<int> radius_use_secondary{0};
std::atomic<uint32_t> radius_answers_dropped{0};
pthread_mutex_t radius_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr uint32_t NO_SERVER = 0xFFFFFFFF;
constexpr uint8_t EAP_RESPONSE = 2;
constexpr uint8_t EAP_TYPE_IDENTITY = 1;

const char *server_name() { return radius_use_secondary.load() ? "secondary" : "primary"; }

void close_socket(int fd)
{
    if (fd >= 0)
        close(fd);
}

} // namespace

// ---- settings ------------------------------------------------------------------

bool radius_enabled() { return cfgcache()->radius[RADIUS_AUTH_ENABLED] != 0; }

uint16_t radius_setting_u16(size_t offset) { return load_le16(cfgcache()->radius + offset); }

const char *radius_secret(size_t *length)
{
    // The settings are 256 bytes of text; one without its NUL is taken whole
    // rather than read past.
    const char *secret = reinterpret_cast<const char *>(cfgcache()->radius + RADIUS_SECRET);
    *length = strnlen(secret, RADIUS_SECRET_SIZE);
    return secret;
}

uint32_t radius_server_address()
{
    uint32_t address;
    memcpy(&address, cfgcache()->radius + (radius_use_secondary.load() ? RADIUS_SECONDARY_SERVER : RADIUS_PRIMARY_SERVER),
           4);
    return address;
}

// ---- client state ----------------------------------------------------------------

int radius_switch_server()
{
    if (radius_use_secondary.load()) {
        radius_use_secondary = 0;
        syslog(LOG_ERR, "RADIUS: try using primary server!");
        return 1;
    }
    uint32_t secondary;
    memcpy(&secondary, cfgcache()->radius + RADIUS_SECONDARY_SERVER, 4);
    if (secondary != NO_SERVER) {
        radius_use_secondary = 1;
        syslog(LOG_ERR, "RADIUS: try using secondary server!");
        return 1;
    }
    syslog(LOG_ERR, "RADIUS: secondary server have invalid value!");
    return 0;
}

void radius_next_identifier()
{
    if (++radius_identifier == 0xFFFFFFFF)
        ++radius_identifier;
}

// ---- packet helpers -----------------------------------------------------------------

uint8_t *radius_add_attribute(uint8_t type, const void *value, size_t length, size_t *packet_length, uint8_t *pos)
{
    if (length > RADIUS_ATTR_MAX_VALUE)
        length = RADIUS_ATTR_MAX_VALUE;
    pos[0] = type;
    pos[1] = uint8_t(length + 2);
    if (value)
        memcpy(pos + 2, value, length);
    else
        memset(pos + 2, 0, length);
    *packet_length += length + 2;
    return pos + length + 2;
}

uint8_t *radius_add_vsa(uint8_t vendor_type, const void *value, size_t length, size_t *packet_length, uint8_t *pos)
{
    constexpr size_t VSA_HEAD = 6;   // Vendor-Id, vendor type, vendor length
    if (length > RADIUS_ATTR_MAX_VALUE - VSA_HEAD)
        length = RADIUS_ATTR_MAX_VALUE - VSA_HEAD;
    uint8_t vsa[RADIUS_ATTR_MAX_VALUE];
    store_be32(vsa, RADIUS_VENDOR_ID);
    vsa[4] = vendor_type;
    vsa[5] = uint8_t(length + 2);
    if (value)
        memcpy(vsa + VSA_HEAD, value, length);
    else
        memset(vsa + VSA_HEAD, 0, length);
    return radius_add_attribute(RADIUS_ATTR_VENDOR, vsa, length + VSA_HEAD, packet_length, pos);
}

void radius_md5_authenticator(const uint8_t *packet, size_t length, const char *secret, size_t secret_length,
                              uint8_t out[16])
{
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    unsigned size = 0;
    if (!ctx || !EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) || !EVP_DigestUpdate(ctx, packet, length) ||
        !EVP_DigestUpdate(ctx, secret, secret_length) || !EVP_DigestFinal_ex(ctx, out, &size))
        memset(out, 0, 16);
    EVP_MD_CTX_free(ctx);
}

bool radius_hmac_md5(const uint8_t *data, size_t length, const char *secret, size_t secret_length, uint8_t out[16])
{
    unsigned size = 0;
    return HMAC(EVP_md5(), secret, int(secret_length), data, length, out, &size) != nullptr && size == 16;
}

size_t radius_build_access_request(uint8_t *packet, uint8_t identifier, const char *user_name, const uint8_t *eap,
                                   const uint8_t *state, bool with_state, const char *secret, size_t secret_length)
{
    memset(packet, 0, RADIUS_BUFFER_SIZE);
    packet[0] = RADIUS_ACCESS_REQUEST;
    packet[1] = identifier;
    // RFC 2865 asks for an unpredictable authenticator: it is what the
    // server's answer is signed against.
    if (RAND_bytes(packet + RADIUS_AUTHENTICATOR, RADIUS_AUTH_SIZE) != 1)
        syslog(LOG_ERR, "RADIUS: no random bytes for the request authenticator");
    size_t length = RADIUS_HEADER;
    uint8_t *pos = packet + RADIUS_HEADER;
    pos = radius_add_attribute(RADIUS_ATTR_USER_NAME, user_name, strlen(user_name), &length, pos);
    if (state && with_state)
        pos = radius_add_attribute(RADIUS_ATTR_STATE, state, RADIUS_STATE_SIZE, &length, pos);
    pos = radius_add_attribute(RADIUS_ATTR_EAP_MESSAGE, eap, eap[3], &length, pos);
    uint8_t *authenticator = radius_add_attribute(RADIUS_ATTR_MESSAGE_AUTHENTICATOR, nullptr, RADIUS_AUTH_SIZE,
                                                  &length, pos) - RADIUS_AUTH_SIZE;
    store_be16(packet + 2, uint16_t(length));
    uint8_t mac[16];
    if (radius_hmac_md5(packet, length, secret, secret_length, mac))
        memcpy(authenticator, mac, RADIUS_AUTH_SIZE);
    else
        syslog(LOG_ERR, "RADIUS: HMAC return NULL pointer, something going wrong");
    return length;
}

// ---- sockets ------------------------------------------------------------------------

int radius_open_socket(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        syslog(LOG_ERR, "RADIUS: can't create socket on port %d errno(%s)", port, strerror(errno));
        return RADIUS_ERR_SOCKET;
    }
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        syslog(LOG_ERR, "RADIUS: can't bind setsockopt on port %d errno(%s)", port, strerror(errno));
        close(fd);
        return RADIUS_ERR_BIND;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    memcpy(&local.sin_addr.s_addr, cfgcache()->system + SYSTEM_DEVICE_ADDRESS, 4);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        int error = errno;
        char address[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &local.sin_addr, address, sizeof address);
        const char *why = local.sin_addr.s_addr == 0 ? ", the device address is missing from the configuration"
                          : error == EADDRNOTAVAIL ? ", the device address is missing from this host"
                                                   : "";
        syslog(LOG_ERR, "RADIUS: can't bind socket on port %d errno(%s), %s:%d%s", port, strerror(error), address,
               port, why);
        close(fd);
        return RADIUS_ERR_BIND;
    }
    return fd;
}

int radius_send_packet(int fd, uint16_t server_port, const uint8_t *packet)
{
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(server_port);
    server.sin_addr.s_addr = radius_server_address();
    size_t length = load_be16(packet + 2);
    if (capture_radius_on()) [[unlikely]]
        capture_radius(PCAPNG_OUT, fd, server, packet, length);
    if (sendto(fd, packet, length, 0, reinterpret_cast<sockaddr *>(&server), sizeof server) != ssize_t(length)) {
        syslog(LOG_ERR, "RADIUS: send data to %s RADIUS-server error (%s)", server_name(), strerror(errno));
        return RADIUS_ERR_SEND;
    }
    return 0;
}

namespace {

// Whether a datagram came from the server in use, at the port asked.
bool from_server(const sockaddr_in &from, uint16_t server_port)
{
    if (from.sin_addr.s_addr == radius_server_address() && from.sin_port == htons(server_port))
        return true;
    // Only the server we asked may answer: anything else could be a forged
    // acceptance, or a late answer to an earlier request.
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    syslog(LOG_ERR, "RADIUS: answer from unknown address %s port %u dropped", text, unsigned(ntohs(from.sin_port)));
    radius_answers_dropped++;
    return false;
}

} // namespace

int radius_wait_answer(int fd, uint16_t server_port, const uint8_t *request, uint8_t *buffer, const char *secret,
                       size_t secret_length)
{
    uint64_t deadline = clock_now_ms() + RADIUS_ANSWER_SECONDS * 1000u;
    for (uint64_t now = clock_now_ms(); now < deadline; now = clock_now_ms()) {
        memset(buffer, 0, RADIUS_BUFFER_SIZE);
        pollfd p{fd, POLLIN, 0};
        int ready = clock_poll(&p, 1, unsigned(deadline - now));
        if (ready < 0) {
            syslog(LOG_ERR, "RADIUS: select errno(%s)", strerror(errno));
            return RADIUS_ERR_NO_ANSWER;
        }
        if (ready == 0)
            break;
        sockaddr_in from{};
        socklen_t from_size = sizeof from;
        ssize_t n = recvfrom(fd, buffer, RADIUS_BUFFER_SIZE, 0, reinterpret_cast<sockaddr *>(&from), &from_size);
        if (n >= 0 && capture_radius_on()) [[unlikely]]
            capture_radius(PCAPNG_IN, fd, from, buffer, size_t(n));
        if (n < 0 || !from_server(from, server_port))
            continue;
        // A datagram that fails its check is not the answer: a stray or
        // forged one must not end an exchange that the server may still
        // answer in time (RFC 2865, 3).
        int rc = radius_verify_response(buffer, size_t(n), request, secret, secret_length);
        if (rc > 0)
            return rc;
    }
    memset(buffer, 0, RADIUS_BUFFER_SIZE);
    syslog(LOG_ERR, "RADIUS: no answer from %s RADIUS-server in 3 seconds", server_name());
    return RADIUS_ERR_NO_ANSWER;
}

// ---- the check of an answer -----------------------------------------------------------

namespace {

int check_answer(const uint8_t *answer, size_t received, const uint8_t *request, const char *secret,
                 size_t secret_length)
{
    if (received < RADIUS_HEADER) {
        syslog(LOG_ERR, "RADIUS: malformed response message (%zu bytes)", received);
        return RADIUS_ERR_MALFORMED;
    }
    size_t length = load_be16(answer + 2);
    if (length + secret_length > RADIUS_BUFFER_SIZE) {
        syslog(LOG_ERR, "RADIUS: not enough buffer space to verify response");
        return RADIUS_ERR_TOO_LONG;
    }
    if (length < RADIUS_HEADER || length > received) {
        syslog(LOG_ERR, "RADIUS: malformed response message (length %zu, %zu bytes)", length, received);
        return RADIUS_ERR_MALFORMED;
    }
    if (answer[1] != request[1]) {
        syslog(LOG_ERR, "RADIUS: request identifier(%d), response identifier(%d) ", request[1], answer[1]);
        return RADIUS_ERR_IDENTIFIER;
    }

    // The answer as it was signed: the request's authenticator in place of
    // its own.
    uint8_t work[RADIUS_BUFFER_SIZE];
    memcpy(work, answer, length);
    memcpy(work + RADIUS_AUTHENTICATOR, request + RADIUS_AUTHENTICATOR, RADIUS_AUTH_SIZE);
    uint8_t digest[16];
    radius_md5_authenticator(work, length, secret, secret_length, digest);
    if (memcmp(digest, answer + RADIUS_AUTHENTICATOR, RADIUS_AUTH_SIZE) != 0) {
        syslog(LOG_ERR, "RADIUS: bad authenticator in response message");
        return RADIUS_ERR_AUTHENTICATOR;
    }

    // Every attribute within the packet; a Message-Authenticator, present
    // with every EAP-Message (RFC 3579), must be right.
    size_t signature = 0;
    bool eap = false;
    for (size_t at = RADIUS_HEADER; at < length;) {
        if (length - at < 2 || answer[at + 1] < 2 || answer[at + 1] > length - at) {
            syslog(LOG_ERR, "RADIUS: malformed attribute in response message");
            return RADIUS_ERR_MALFORMED;
        }
        if (answer[at] == RADIUS_ATTR_MESSAGE_AUTHENTICATOR && answer[at + 1] == 2 + RADIUS_AUTH_SIZE)
            signature = at + 2;
        eap |= answer[at] == RADIUS_ATTR_EAP_MESSAGE;
        at += answer[at + 1];
    }
    if (signature) {
        uint8_t mac[16];
        memset(work + signature, 0, RADIUS_AUTH_SIZE);
        if (!radius_hmac_md5(work, length, secret, secret_length, mac) ||
            memcmp(mac, answer + signature, RADIUS_AUTH_SIZE) != 0) {
            syslog(LOG_ERR, "RADIUS: bad Message-Authenticator in response message");
            return RADIUS_ERR_AUTHENTICATOR;
        }
    } else if (eap) {
        syslog(LOG_ERR, "RADIUS: no Message-Authenticator in response message with EAP-Message");
        return RADIUS_ERR_AUTHENTICATOR;
    }
    return answer[0];
}

} // namespace

int radius_verify_response(const uint8_t *answer, size_t received, const uint8_t *request, const char *secret,
                           size_t secret_length)
{
    int rc = check_answer(answer, received, request, secret, secret_length);
    if (rc < 0)
        radius_answers_dropped++;
    return rc;
}

// ---- exchanges --------------------------------------------------------------------------

int radius_exchange(const char *user_name, uint8_t *answer, const uint8_t *eap, const uint8_t *state, int with_state)
{
    int fd = radius_open_socket(radius_setting_u16(RADIUS_AUTH_LOCAL_PORT));
    if (fd < 0)
        return fd;
    size_t secret_length;
    const char *secret = radius_secret(&secret_length);
    uint8_t request[RADIUS_BUFFER_SIZE];
    radius_build_access_request(request, uint8_t(radius_identifier.load()), user_name, eap, state, with_state != 0,
                                secret, secret_length);
    if (radius_send_packet(fd, radius_setting_u16(RADIUS_AUTH_SERVER_PORT), request) != 0) {
        close_socket(fd);
        return RADIUS_ERR_SEND;
    }
    int rc = radius_wait_answer(fd, radius_setting_u16(RADIUS_AUTH_SERVER_PORT), request, answer, secret,
                                secret_length);
    close_socket(fd);
    return rc;
}

int radius_eap_identity_request(const uint8_t mac[6], uint8_t *eap, uint8_t *state)
{
    char user[18];
    convert_to_mac(user, mac);
    size_t text = strlen(user);

    // The identifier is read and advanced under the lock, so the next
    // exchange, whoever runs it, takes another.
    lock_timed(&radius_lock);
    eap[0] = EAP_RESPONSE;
    eap[1] = uint8_t(radius_identifier.load());
    store_be16(eap + 2, uint16_t(text + 5));
    eap[4] = EAP_TYPE_IDENTITY;
    memcpy(eap + 5, user, text);
    uint8_t answer[RADIUS_BUFFER_SIZE];
    int rc;
    for (int attempt = 0;; attempt++) {
        rc = radius_exchange(user, answer, eap, nullptr, 0);
        if (rc == RADIUS_ACCESS_CHALLENGE) {
            radius_parse_attributes(answer, RADIUS_BUFFER_SIZE, nullptr, eap, state);
            break;
        }
        if (attempt > 0 || (rc != RADIUS_ERR_NO_ANSWER && rc != RADIUS_ERR_SEND) || !radius_switch_server())
            break;
        syslog(LOG_ERR, "%s retry", "radius_eap_identity_request");
    }
    radius_next_identifier();
    pthread_mutex_unlock(&radius_lock);
    return rc;
}

int radius_eap_response(const uint8_t mac[6], uint8_t *eap, uint8_t *state, onu_record *config)
{
    lock_timed(&radius_lock);
    char user[18];
    convert_to_mac(user, mac);
    uint8_t answer[RADIUS_BUFFER_SIZE];
    int rc = radius_exchange(user, answer, eap, state, 1);
    if (rc == RADIUS_ACCESS_ACCEPT)
        radius_parse_attributes(answer, RADIUS_BUFFER_SIZE, config, eap, state);
    radius_next_identifier();
    pthread_mutex_unlock(&radius_lock);
    return rc;
}
