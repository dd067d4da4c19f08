#include "onu/onu_statistics.h"

#include "base/bytes.h"
#include "chip/tekrequest.h"
#include "wire/ids.h"
#include "wire/tekmsg.h"

#include <cstring>

namespace {
constexpr size_t REQUEST_LEN = 13;
constexpr uint8_t OBJECT_ONU = 2;
} // namespace

size_t onu_statistics_decode(const uint8_t *data, size_t size, onu_stat_entry *out, size_t max)
{
    if (size < ONU_STAT_ANSWER_ECHO)
        return 0;
    byte_reader in(data + ONU_STAT_ANSWER_ECHO, size - ONU_STAT_ANSWER_ECHO);
    size_t count = 0;
    while (count < max && in.left() >= ONU_STAT_ENTRY_SIZE) {
        out[count].id = in.be16();
        in.skip(2);
        uint64_t high = in.be32();
        out[count].value = high << 32 | in.be32();
        count++;
    }
    return count;
}

int onu_statistics_request(int olt, const uint8_t mac[6], uint16_t port, uint16_t group, onu_stat_entry *out,
                           size_t *count)
{
    *count = 0;
    uint8_t data[REQUEST_LEN];
    data[0] = OBJECT_ONU;
    memcpy(data + 1, mac, 6);
    store_be16(data + 7, port);
    store_be16(data + 9, group);
    data[11] = 0xFF;
    data[12] = 0x00;
    auto read = [&](const uint8_t *response) {
        const uint8_t *answer = tekrequest_answer(response, 0);
        if (!answer)
            return int(TEK_RC_REFUSED);
        *count = onu_statistics_decode(answer, tekrequest_answer_size(response), out, ONU_STAT_MAX_ENTRIES);
        return 0;
    };
    return tekrequest_read(olt, TEK_REQ_STATISTICS, data, sizeof data, TEKREQUEST_TIMEOUT, read);
}
