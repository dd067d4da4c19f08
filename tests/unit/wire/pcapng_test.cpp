#include "wire/pcapng.h"

#include <gtest/gtest.h>

#include <vector>

// A second section (the next file of a ring, appended) brings its own
// interfaces; damaged files stop the reader with the reason, never a read
// past the bytes it holds.
TEST(Pcapng, DamagedCapturesAreRefusedWithTheirReason)
{
    std::vector<uint8_t> good(PCAPNG_SECTION_SIZE), data(10, 0xAB);
    EXPECT_EQ(pcapng_section(good.data()), PCAPNG_SECTION_SIZE);
    const pcapng_packet packet{PCAPNG_CHIP, PCAPNG_IN, 5, 1, 2, 14113, 14113, 0, 0};
    uint8_t head[PCAPNG_HEAD_MAX], tail[PCAPNG_TAIL_MAX];
    good.insert(good.end(), head, head + pcapng_head(head, packet, data.size()));
    good.insert(good.end(), data.begin(), data.end());
    good.insert(good.end(), tail, tail + pcapng_tail(tail, packet, data.size()));
    EXPECT_EQ(good.size() % 4, 0u) << "the packet is padded";
    std::vector<uint8_t> two = good;
    two.insert(two.end(), good.begin(), good.end());

    auto walk = [](std::vector<uint8_t> file) {
        pcapng_reader reader;
        int result = pcapng_open(reader, file.data(), file.size());
        pcapng_record record;
        int packets = 0;
        while (result == PCAPNG_OK && (result = pcapng_next(reader, record)) == PCAPNG_OK)
            packets++;
        return std::make_pair(result, packets);
    };
    EXPECT_EQ(walk(two), std::make_pair(int(PCAPNG_END), 2));

    EXPECT_EQ(walk({good.begin(), good.end() - 1}).first, PCAPNG_TRUNCATED);
    std::vector<uint8_t> swapped = good;
    std::swap(swapped[8], swapped[11]);
    std::swap(swapped[9], swapped[10]);
    EXPECT_EQ(walk(swapped).first, PCAPNG_BIG_ENDIAN);
    EXPECT_EQ(walk({1, 2, 3}).first, PCAPNG_NOT_PCAPNG);
    std::vector<uint8_t> trailer = good;
    trailer[trailer.size() - 4] ^= 4;  // the packet's trailing length disagrees
    EXPECT_EQ(walk(trailer).first, PCAPNG_BAD_BLOCK);
    std::vector<uint8_t> no_interfaces(good.begin(), good.begin() + 44);
    no_interfaces.insert(no_interfaces.end(), good.begin() + PCAPNG_SECTION_SIZE, good.end());
    EXPECT_EQ(walk(no_interfaces).first, PCAPNG_BAD_INTERFACE);
    std::vector<uint8_t> ip = good;
    ip[PCAPNG_SECTION_SIZE + 28 + 2] = 0xFF;  // IPv4 total length past the captured bytes
    EXPECT_EQ(walk(ip).first, PCAPNG_BAD_PACKET);
}
