// Chip answers to the requests that reach into an ONU, as the chip link
// hands them over (OLT index, ID, CTAG, LEN, RCODE, answer data), through
// every reader of them: the I2C data (with a length taken from the input,
// as a caller may ask for any), the MDIO value, the UNI port status bytes,
// the IPMC domain count and the generic answer bound. No read may leave
// the bytes that arrived, whatever LEN claims.
//
// Input: [length u16 BE][the datagram as received].
#include "base/balloc.h"
#include "base/bytes.h"
#include "engine/onu_optics.h"
#include "engine/onu_phy.h"
#include "chip/tekrequest.h"
#include "onu/onu_multicast.h"
#include "wire/tekmsg.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = bopen(nullptr, 0x100000, 0) == 0;
    if (!ready || size < 2)
        return 0;
    uint16_t length = load_be16(data);
    data += 2;
    size -= 2;
    // The receive path never hands over less than a header and RCODE.
    if (size < TEKMSG_HEADER + 2)
        return 0;
    auto *response = static_cast<uint8_t *>(BALLOC(long(TEKLINK_MSG_ID + size)));
    if (!response)
        return 0;
    tekmsg_set_olt(response, 0);
    memcpy(response + TEKLINK_MSG_ID, data, size);

    static uint8_t out[65536 + 8];
    onu_i2c_read_answer(response, length, out);
    uint16_t value;
    onu_mdio_read_answer(response, &value);
    onu_ipmc_domain_count_answer(response);
    const uint8_t *answer = tekrequest_answer(response, length);
    if (answer) {
        uint8_t sum = 0;
        for (size_t i = 0; i < length; i++)
            sum ^= answer[i];
        out[0] = sum;
        uint8_t status[8];
        onu_port_status_from_answer(answer, length, status);
    }
    BFREE(response);
    return 0;
}
