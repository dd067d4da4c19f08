// Chip event blocks of any length through events_process, with the data
// store populated (ONUs whose links registration attempts, discoveries and
// alarms can find). No chip link is open, so answers to the chip fail at
// once; the provisioning queues are emptied after every input.
#include "base/balloc.h"
#include "base/bytes.h"
#include "store/datastruct.h"
#include "engine/profiler.h"
#include "events/tekhandlers.h"
#include "wire/tekmsg.h"

#include <cstdlib>
#include <cstring>

namespace {

void setup()
{
    // A root that does not exist: no board device, no image, no terminal.
    setenv("ZANDREL_ROOT", "/nonexistent/zandrel-fuzz", 1);
    bopen(nullptr, 0x400000, 0);
    datastruct_init();
    profiler_queues_init();
    for (int i = 0; i < 3; i++) {
        onu_record *onu = onu_at(i * 7);
        const uint8_t mac[6] = {0x00, 0x0D, 0xB6, uint8_t(i), 0x00, 0x00};
        onu_lock(onu);
        memcpy(onu->mac, mac, 6);
        onu->link_count = ONU_LINKS;
        onu_links_init(onu);
        onu->links[1].state = ONU_STATE_REPORTTIMEOUT;
        onu->state = ONU_STATE_OK;
        onu_unlock(onu);
    }
}

} // namespace

// Input: OLT index (1 byte), event ID (2 bytes, big-endian), then the
// event's data as it would follow LEN (short) or RCODE (long).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = (setup(), true);
    (void)ready;
    if (size < 3)
        return 0;
    uint16_t olt = data[0] % 5;
    uint16_t id = load_be16(data + 1);
    size_t n = size - 3;
    bool is_long = tekmsg_is_long_event(id);
    size_t at = is_long ? TEKLINK_MSG_SEQN : TEKLINK_MSG_DATA;
    auto *msg = static_cast<uint8_t *>(BALLOC(long(at + n)));
    if (!msg)
        return 0;
    // LEN as the chip claims it: the data's length, or (odd inputs) more.
    size_t claimed = n + (is_long ? 4 : 0) + (data[0] & 0x80 ? 300 : 0);
    tekmsg_set_header(msg, olt, id, 1, uint16_t(claimed > 0xFFFF ? 0xFFFF : claimed));
    if (is_long)
        store_be16(msg + TEKLINK_MSG_DATA, 0);
    memcpy(msg + at, data + 3, n);
    events_process(msg);
    BFREE(msg);
    profiler_queues_drain();
    return 0;
}
