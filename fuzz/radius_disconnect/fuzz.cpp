// Any datagram on the disconnect socket, through the whole handling: the
// sender check, parsing, the authenticator, Message-Authenticator and
// Event-Timestamp checks, the replay memory and what a request names. The
// first byte chooses how the rest is taken:
//   bit 0  signed with the shared secret (so the checks behind the
//          authenticator are reached), bit 4 with a right
//          Message-Authenticator too, bit 5 with a current Event-Timestamp,
//          where the packet holds those attributes;
//   bit 1  sent from an address that is no RADIUS server;
//   bit 2  handled a second time (a replay), bit 3 after the replay window.
// One ONU with a known session is in the data store; the configuration
// module is not connected (a save fails at once).
#include "auth/radius.h"
#include "auth/radius_accounting.h"
#include "base/bytes.h"
#include "engine/profiler_cache.h"
#include "platform/clock.h"
#include "store/datastruct.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char SECRET[] = "fuzz-secret";
uint32_t server, stranger;

void set_up()
{
    datastruct_init();
    clock_fake_set(1000);
    strcpy(reinterpret_cast<char *>(cfgcache()->radius + RADIUS_SECRET), SECRET);
    strcpy(reinterpret_cast<char *>(cfgcache()->system + SYSTEM_HOSTNAME), "olt-fuzz");
    inet_pton(AF_INET, "127.0.0.1", &server);
    inet_pton(AF_INET, "127.0.0.9", &stranger);
    memcpy(cfgcache()->radius + RADIUS_PRIMARY_SERVER, &server, 4);
    memset(cfgcache()->radius + RADIUS_SECONDARY_SERVER, 0xFF, 4);
    onu_record *onu = onu_alloc();
    const uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56};
    memcpy(onu->mac, mac, 6);
    onu->state = ONU_STATE_OK;
    memcpy(radius_acct_session_id(onu), "\x00\x00\x01\x00", 4);
}

// Signs a packet of `length` bytes (its length field within it) as a server
// would: Event-Timestamp and Message-Authenticator first when asked, then
// the Request Authenticator.
void sign(uint8_t *packet, size_t length, uint8_t how)
{
    size_t signed_length = load_be16(packet + 2);
    if (signed_length < RADIUS_HEADER || signed_length > length)
        return;
    memset(packet + 4, 0, 16);
    size_t signature = 0;
    for (size_t at = RADIUS_HEADER; at + 2 <= signed_length && packet[at + 1] >= 2 &&
                                    packet[at + 1] <= signed_length - at;
         at += packet[at + 1]) {
        if (packet[at] == RADIUS_ATTR_EVENT_TIMESTAMP && packet[at + 1] == 6 && (how & 32))
            store_be32(packet + at + 2, uint32_t(time(nullptr)));
        if (packet[at] == RADIUS_ATTR_MESSAGE_AUTHENTICATOR && packet[at + 1] == 18 && (how & 16)) {
            memset(packet + at + 2, 0, 16);
            signature = at + 2;
        }
    }
    if (signature)
        radius_hmac_md5(packet, signed_length, SECRET, strlen(SECRET), packet + signature);
    radius_md5_authenticator(packet, signed_length, SECRET, strlen(SECRET), packet + 4);
}

void handle(const uint8_t *packet, size_t length, uint32_t from)
{
    uint8_t answer[RADIUS_HEADER];
    int code = radius_disconnect_handle(packet, length, from, answer);
    if (code != 0 && code != RADIUS_DISCONNECT_ACK && code != RADIUS_DISCONNECT_NAK)
        abort();
    if (code != 0 && (answer[0] != code || load_be16(answer + 2) != RADIUS_HEADER))
        abort();
    if (code != 0 && from != server)
        abort();
    // An acknowledged disconnect retires the ONU's links: put them back.
    for (link_record &link : onu_at(0)->links)
        link.state = 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = (set_up(), true);
    (void)ready;
    if (size == 0)
        return 0;
    uint8_t how = data[0];
    uint8_t packet[RADIUS_BUFFER_SIZE] = {};
    size_t length = size - 1 < sizeof packet ? size - 1 : sizeof packet;
    memcpy(packet, data + 1, length);
    if ((how & 1) && length >= RADIUS_HEADER)
        sign(packet, length, how);
    uint32_t from = (how & 2) ? stranger : server;
    handle(packet, length, from);
    if (how & 4) {
        if (how & 8)
            clock_fake_advance(RADIUS_DISCONNECT_WINDOW + 1);
        handle(packet, length, from);
    }
    radius_disconnect_forget();
    return 0;
}
