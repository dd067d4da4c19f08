// Any datagram on the disconnect socket. The first byte chooses whether the
// rest is taken as it is or signed first with the shared secret, so that
// the handling behind the authenticator check is reached as well. One ONU
// with a known session is in the data store; the configuration module is
// not connected (a save fails at once).
#include "auth/radius.h"
#include "auth/radius_accounting.h"
#include "base/bytes.h"
#include "engine/profiler_cache.h"
#include "store/datastruct.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace {

const char SECRET[] = "fuzz-secret";

void set_up()
{
    datastruct_init();
    strcpy(reinterpret_cast<char *>(cfgcache()->radius + RADIUS_SECRET), SECRET);
    strcpy(reinterpret_cast<char *>(cfgcache()->system + SYSTEM_HOSTNAME), "olt-fuzz");
    onu_record *onu = onu_alloc();
    const uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56};
    memcpy(onu->mac, mac, 6);
    onu->state = ONU_STATE_OK;
    memcpy(radius_acct_session_id(onu), "\x00\x00\x01\x00", 4);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = (set_up(), true);
    (void)ready;
    if (size == 0)
        return 0;
    uint8_t packet[RADIUS_BUFFER_SIZE] = {};
    size_t length = size - 1 < sizeof packet ? size - 1 : sizeof packet;
    memcpy(packet, data + 1, length);
    if ((data[0] & 1) && length >= RADIUS_HEADER) {
        size_t signed_length = load_be16(packet + 2);
        if (signed_length >= RADIUS_HEADER && signed_length <= length) {
            memset(packet + 4, 0, 16);
            radius_md5_authenticator(packet, signed_length, SECRET, strlen(SECRET), packet + 4);
        }
    }
    uint8_t answer[RADIUS_HEADER];
    int code = radius_disconnect_handle(packet, length, answer);
    if (code != 0 && code != RADIUS_DISCONNECT_ACK && code != RADIUS_DISCONNECT_NAK)
        abort();
    if (code != 0 && (answer[0] != code || load_be16(answer + 2) != RADIUS_HEADER))
        abort();
    // An acknowledged disconnect retires the ONU's links: put them back.
    onu_record *onu = onu_at(0);
    for (link_record &link : onu->links)
        link.state = 0;
    return 0;
}
