#include "chip/tftpxfer.h"

#include "platform/clock.h"
#include "wire/tftp.h"

namespace {

void pause_seconds(unsigned seconds) { clock_delay(seconds * 1000); }

bool finished(int result) { return result == TFTP_BLOCK_MORE || result == TFTP_BLOCK_LAST; }

} // namespace

void (*tftp_pause)(unsigned seconds) = pause_seconds;

int tftp_write_image(tftp_write_step step, void *ctx, const uint8_t *image, size_t size)
{
    if (tftp_data_blocks(size) >= TFTP_MAX_DATA_BLOCKS)
        return TFTP_IMAGE_TOO_LARGE;
    size_t remaining = size;
    for (uint32_t k = 0;; k++) {
        const uint8_t *data = nullptr;
        size_t length = 0;
        if (k > 0) {
            data = image + size_t(k - 1) * TFTP_BLOCK_SIZE;
            length = remaining < TFTP_BLOCK_SIZE ? remaining : TFTP_BLOCK_SIZE;
        }
        int result = 0;
        for (int tries = 0; tries < TFTP_BLOCK_TRIES; tries++) {
            result = step(ctx, uint16_t(k), data, length);
            if (finished(result))
                break;
            tftp_pause(TFTP_RETRY_PAUSE_SECONDS);
        }
        if (!finished(result))
            return result;
        // The request itself never ends a write, whatever the step says.
        if (k > 0) {
            if (result == TFTP_BLOCK_LAST || length < TFTP_BLOCK_SIZE)
                return 0;
            remaining -= length;
        }
    }
}

int tftp_read_image(tftp_read_step step, void *ctx, uint8_t *buffer, size_t capacity, size_t *total)
{
    *total = 0;
    for (uint32_t k = 0;; k++) {
        int result = 0;
        for (int tries = 0; tries < TFTP_BLOCK_TRIES; tries++) {
            size_t got = 0;
            result = step(ctx, uint16_t(k), buffer + *total, capacity - *total, &got);
            if (finished(result)) {
                *total += got;
                break;
            }
            if (result != TFTP_BLOCK_REPEAT)
                tftp_pause(TFTP_RETRY_PAUSE_SECONDS);
        }
        if (result == TFTP_BLOCK_REPEAT)
            return TFTP_BLOCK_BAD;   // a peer stuck on one block
        if (!finished(result))
            return result;
        if (result == TFTP_BLOCK_LAST)
            return 0;
        // A peer that never sends a short block runs out of room: the next
        // full block overflows and fails the read.
        if (k == 0xFFFF)
            return TFTP_BLOCK_BAD;
    }
}
