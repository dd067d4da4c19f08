// A byte stream in memory that the management link's frame reader can read
// from, as it reads the socket.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

struct memory_stream {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
};

// Exactly `n` bytes, or -1 when the stream has fewer left.
inline int memory_read(void *ctx, uint8_t *buf, size_t n)
{
    auto *s = static_cast<memory_stream *>(ctx);
    if (s->bytes.size() - s->pos < n)
        return -1;
    memcpy(buf, s->bytes.data() + s->pos, n);
    s->pos += n;
    return int(n);
}
