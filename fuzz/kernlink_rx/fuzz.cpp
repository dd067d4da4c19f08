// The management link's receive path over arbitrary bytes: the same
// kernlink_rx_proc the socket feeds, reading from memory until the stream
// ends or breaks. Whatever it queues is drained, so nothing may leak and no
// read may pass the input or the receive buffer.
#include "base/balloc.h"
#include "mgmt/kernlink.h"

#include <cstdint>
#include <cstring>

namespace {

struct stream {
    const uint8_t *data;
    size_t size;
    size_t pos;
};

int read_memory(void *ctx, uint8_t *buf, size_t n)
{
    auto *s = static_cast<stream *>(ctx);
    if (s->size - s->pos < n)
        return -1;
    memcpy(buf, s->data + s->pos, n);
    s->pos += n;
    return int(n);
}

bool ready = [] {
    // Heap fallback: a large message must never be mistaken for a pool that
    // ran dry (which stops the process by design).
    bopen(nullptr, 1 << 22, BOPEN_HEAP_FALLBACK);
    kernlink_queues_open();
    return true;
}();

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    (void)ready;
    stream input{data, size, 0};
    kernlink_rx_proc(read_memory, &input);
    while (uint8_t *request = kernlink_take_request(0))
        BFREE(request);
    return 0;
}
