// The replay's reader over arbitrary bytes: the input is one capture file,
// read whole (every chip datagram sorted, every management segment put
// together again), then every recorded request is asked for once, as a
// replay would. Nothing may read past the input.
#include "common/capture_replay.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    capture_replay out;
    capture_replay_reader reader(out);
    std::string error;
    if (reader.read("input", data, size, error))
        reader.finish();
    replay_matcher matcher;
    matcher.load(out.config);
    for (const replay_chip &chip : out.chips)
        for (const replay_exchange &recorded : chip.requests) {
            unsigned nth = 0;
            matcher.take(recorded.id, recorded.request.data(), recorded.request.size(), &nth);
        }
    return 0;
}
