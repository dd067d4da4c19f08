// Chip answers of any content to the TFTP block read and write operations.
// Byte 0 chooses the peer (bit 0: an ONU, whose answers carry its MAC) and
// the room left for the data (the other bits, times 8); the rest is the
// answer as the chip link hands it over: a teklink_msg block (OLT index,
// ID, CTAG, LEN, data) whose LEN need not match what arrived.
#include "chip/tektftp.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    bool onu = data[0] & 1;
    size_t room = size_t(data[0] >> 1) * 8;
    // A copy of exactly the answer's size, so a read past it is caught.
    std::vector<uint8_t> block(data + 1, data + size);
    std::vector<uint8_t> dest(room + 1, 0xA5);
    size_t got = 12345;

    // Asked for DATA 1, then for DATA 2 (so DATA 1 is a repeat).
    for (uint16_t asked : {1, 2}) {
        int result = tftp_read_answer(block.data(), block.size(), onu, asked, dest.data(), room, &got);
        if (result != TFTP_BLOCK_MORE && result != TFTP_BLOCK_LAST && result != TFTP_BLOCK_BAD &&
            result != TFTP_BLOCK_REPEAT)
            abort();
        if (got > room || got > 512 || dest[room] != 0xA5)
            abort();
        if ((result == TFTP_BLOCK_BAD || result == TFTP_BLOCK_REPEAT) && got != 0)
            abort();
        if (result == TFTP_BLOCK_MORE && got != 512)
            abort();
    }

    int result = tftp_write_answer(block.data(), block.size(), onu);
    if (result != TFTP_BLOCK_MORE && result != TFTP_BLOCK_BAD)
        abort();
    return 0;
}
