// The chip's TFTP answers, read within the block whatever LEN claims, and
// the image size limit of the block loop. The loop's endings and retries
// are tested against oltsim (tftp_oltsim_test.cpp).
#include "wire/tftp.h"
#include "chip/tektftp.h"
#include "chip/tftpxfer.h"

#include "base/bytes.h"

#include "common/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// A teklink_msg block: OLT index, ID, CTAG, LEN (of the data unless given),
// and the data, `head` then `tail`.
bytes answer_block(uint16_t id, const bytes &head, const bytes &tail = {}, int len = -1)
{
    bytes out = {1, 0, uint8_t(id >> 8), uint8_t(id), 0, 77, 0, 0};
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), tail.begin(), tail.end());
    store_be16(out.data() + 6, uint16_t(len < 0 ? out.size() - 8 : size_t(len)));
    return out;
}

TEST(TftpAnswers, ReadAnswersAreDataThatFits)
{
    const bytes full = byte_pattern(512);
    // `asked`: the DATA block the read waits for; `write`: the result when
    // the block is read as the answer to a write.
    struct { const char *name; bool onu; bytes block; size_t room; int result; size_t size; uint16_t asked = 1;
             int write = TFTP_BLOCK_BAD; } cases[] = {
        {"full block", false, answer_block(0x0B, {0, 0, 0, 3, 0, 1}, full), 2413, TFTP_BLOCK_MORE, 512},
        {"short block", false, answer_block(0x0B, {0, 0, 0, 3, 0, 5, 'a', 'b', 'c'}), 2413, TFTP_BLOCK_LAST, 3, 5},
        {"empty block", false, answer_block(0x0B, {0, 0, 0, 3, 0, 5}), 0, TFTP_BLOCK_LAST, 0, 5},
        {"behind an ONU", true, answer_block(0x14, hex("0000 000DB6010203 0003 0002 78")), 10, TFTP_BLOCK_LAST, 1, 2},
        {"the block before again", false, answer_block(0x0B, {0, 0, 0, 3, 0, 4, 'z'}), 9, TFTP_BLOCK_REPEAT, 0, 5},
        {"a block ahead", false, answer_block(0x0B, {0, 0, 0, 3, 0, 6, 'z'}), 9, TFTP_BLOCK_BAD, 0, 5},
        {"block 0 for the first", false, answer_block(0x0B, {0, 0, 0, 3, 0, 0, 'z'}), 9, TFTP_BLOCK_BAD, 0},
        {"more than the room", false, answer_block(0x0B, {0, 0, 0, 3, 0, 1, 'a', 'b', 'c'}), 2, TFTP_BLOCK_BAD, 0},
        {"more than a block", false, answer_block(0x0B, {0, 0, 0, 3, 0, 1}, byte_pattern(513)), 4096, TFTP_BLOCK_BAD, 0},
        {"error rcode", false, answer_block(0x0B, {0, 4, 0, 3, 0, 1, 'a'}), 100, TFTP_BLOCK_BAD, 0},
        {"ACK instead of DATA", false, answer_block(0x0B, {0, 0, 0, 4, 0, 1}), 100, TFTP_BLOCK_BAD, 0, 1, TFTP_BLOCK_MORE},
        {"not even an RCODE", false, answer_block(0x0B, {0}), 100, TFTP_BLOCK_BAD, 0},
        {"LEN beyond the block", false, answer_block(0x0B, {0, 0, 0, 3, 0, 1, 'a'}, {}, 600), 4096, TFTP_BLOCK_LAST, 1},
        {"LEN short of the packet", false, answer_block(0x0B, {0, 0, 0, 3, 0, 1, 'a', 'b'}, {}, 7), 100,
         TFTP_BLOCK_LAST, 1},
    };
    for (const auto &c : cases) {
        bytes dest(c.room + 1, 0xEE);
        size_t size = 999;
        int result = tftp_read_answer(c.block.data(), c.block.size(), c.onu, c.asked, dest.data(), c.room, &size);
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(size, c.size) << c.name;
        EXPECT_EQ(tftp_write_answer(c.block.data(), c.block.size(), c.onu), c.write) << c.name << " (write)";
        EXPECT_EQ(dest[c.room], 0xEE) << c.name << ": nothing past the room";
        if (c.size == full.size()) {
            EXPECT_TRUE(std::equal(full.begin(), full.end(), dest.begin())) << c.name;
        } else if (c.room && !c.size) {
            EXPECT_EQ(dest[0], 0xEE) << c.name << ": nothing kept";
        }
    }
}

// 65533 blocks would wrap the block number: refused before the request.
TEST(TftpImage, ImagesOfTooManyBlocksAreRefusedBeforeTheRequest)
{
    static unsigned steps;
    static uint16_t last;
    auto step = [](void *, uint16_t block, const uint8_t *, size_t size) -> int {
        steps++;
        last = block;
        return block && size < 512 ? TFTP_BLOCK_LAST : TFTP_BLOCK_MORE;
    };
    static uint8_t big[size_t(65532) * 512];
    EXPECT_EQ(tftp_write_image(step, nullptr, big, sizeof big), TFTP_IMAGE_TOO_LARGE);
    EXPECT_EQ(steps, 0u);
    EXPECT_EQ(tftp_write_image(step, nullptr, big, sizeof big - 1), 0);
    EXPECT_EQ(steps, 65533u);
    EXPECT_EQ(last, 65532);
}

} // namespace
