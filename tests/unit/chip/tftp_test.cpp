// The chip's TFTP answers and the whole-image loop over a scripted block
// step.
#include "wire/tftp.h"
#include "chip/tektftp.h"
#include "chip/tftpxfer.h"

#include "base/bytes.h"

#include "common/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// ---- chip answers ---------------------------------------------------------

// A teklink_msg block: OLT index, ID, CTAG, LEN (of `data` unless given), data.
bytes answer_block(uint16_t id, const bytes &data, int len = -1)
{
    bytes out(8 + data.size());
    out[0] = 1;
    store_be16(out.data() + 2, id);
    store_be16(out.data() + 4, 77);
    store_be16(out.data() + 6, uint16_t(len < 0 ? data.size() : size_t(len)));
    std::copy(data.begin(), data.end(), out.begin() + 8);
    return out;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const bytes MAC = {0x00, 0x0D, 0xB6, 0x01, 0x02, 0x03};

TEST(TftpAnswers, ReadAnswersAreDataThatFits)
{
    bytes full = byte_pattern(512);
    struct {
        const char *name;
        bool onu;
        bytes block;
        size_t room;
        int result;
        size_t size;
        uint16_t asked = 1;   // the DATA block the read waits for
    } cases[] = {
        {"full block", false, answer_block(0x0B, cat({{0, 0, 0, 3, 0, 1}, full})), 2413, TFTP_BLOCK_MORE, 512},
        {"short block", false, answer_block(0x0B, {0, 0, 0, 3, 0, 5, 'a', 'b', 'c'}), 2413, TFTP_BLOCK_LAST, 3, 5},
        {"empty block", false, answer_block(0x0B, {0, 0, 0, 3, 0, 5}), 0, TFTP_BLOCK_LAST, 0, 5},
        {"behind an ONU", true, answer_block(0x14, cat({{0, 0}, MAC, {0, 3, 0, 2, 'x'}})), 10, TFTP_BLOCK_LAST, 1, 2},
        {"the block before again", false, answer_block(0x0B, {0, 0, 0, 3, 0, 4, 'z'}), 9, TFTP_BLOCK_REPEAT, 0, 5},
        {"a block ahead", false, answer_block(0x0B, {0, 0, 0, 3, 0, 6, 'z'}), 9, TFTP_BLOCK_BAD, 0, 5},
        {"a block far off", false, answer_block(0x0B, {0, 0, 0, 3, 0x99, 0x99, 'z'}), 9, TFTP_BLOCK_BAD, 0},
        {"block 0 for the first", false, answer_block(0x0B, {0, 0, 0, 3, 0, 0, 'z'}), 9, TFTP_BLOCK_BAD, 0},
        {"more than the room", false, answer_block(0x0B, {0, 0, 0, 3, 0, 1, 'a', 'b', 'c'}), 2, TFTP_BLOCK_BAD, 0},
        {"more than a block", false, answer_block(0x0B, cat({{0, 0, 0, 3, 0, 1}, full, {1}})), 4096, TFTP_BLOCK_BAD, 0},
        {"error rcode", false, answer_block(0x0B, {0, 4, 0, 3, 0, 1, 'a'}), 100, TFTP_BLOCK_BAD, 0},
        {"ACK instead of DATA", false, answer_block(0x0B, {0, 0, 0, 4, 0, 1}), 100, TFTP_BLOCK_BAD, 0},
        {"TFTP ERROR", false, answer_block(0x0B, {0, 0, 0, 5, 0, 1, 'n', 'o', 0}), 100, TFTP_BLOCK_BAD, 0},
        {"no room for the MAC", true, answer_block(0x14, {0, 0, 0, 13, 0, 3}), 100, TFTP_BLOCK_BAD, 0},
        {"RCODE only", false, answer_block(0x0B, {0, 0}), 100, TFTP_BLOCK_BAD, 0},
        {"not even an RCODE", false, answer_block(0x0B, {0}), 100, TFTP_BLOCK_BAD, 0},
        {"LEN beyond the block", false, answer_block(0x0B, {0, 0, 0, 3, 0, 1, 'a'}, 600), 4096, TFTP_BLOCK_LAST, 1},
        {"LEN lies, MAC cut short", true, answer_block(0x14, {0, 0, 0x00, 0x0D, 0xB6}, 40), 100, TFTP_BLOCK_BAD, 0},
        {"LEN lies, not even LEN", false, bytes{1, 0, 0, 0x0B, 0, 77, 0x02}, 100, TFTP_BLOCK_BAD, 0},
        {"LEN short of the packet", false, answer_block(0x0B, {0, 0, 0, 3, 0, 1, 'a', 'b'}, 7), 100,
         TFTP_BLOCK_LAST, 1},
    };
    for (const auto &c : cases) {
        bytes dest(c.room + 1, 0xEE);
        size_t size = 999;
        EXPECT_EQ(tftp_read_answer(c.block.data(), c.block.size(), c.onu, c.asked, dest.data(), c.room, &size),
                  c.result)
            << c.name;
        EXPECT_EQ(size, c.size) << c.name;
        EXPECT_EQ(dest[c.room], 0xEE) << c.name;
        if (c.room && c.result != TFTP_BLOCK_MORE && c.result != TFTP_BLOCK_LAST) {
            EXPECT_EQ(dest[0], 0xEE) << c.name << ": nothing kept";
        }
    }
    bytes dest(512);
    size_t size = 0;
    bytes block = answer_block(0x0B, cat({{0, 0, 0, 3, 0, 1}, full}));
    ASSERT_EQ(tftp_read_answer(block.data(), block.size(), false, 1, dest.data(), 512, &size), TFTP_BLOCK_MORE);
    EXPECT_EQ(dest, full);
}

TEST(TftpAnswers, WriteAnswersMustBeAcks)
{
    struct {
        const char *name;
        bool onu;
        bytes block;
        int result;
    } cases[] = {
        {"ACK", false, answer_block(0x0B, {0, 0, 0, 4, 0, 7}), TFTP_BLOCK_MORE},
        {"ACK behind an ONU", true, answer_block(0x14, cat({{0, 0}, MAC, {0, 4, 0, 0}})), TFTP_BLOCK_MORE},
        {"ACK of another block", false, answer_block(0x0B, {0, 0, 0, 4, 0x12, 0x34}), TFTP_BLOCK_MORE},
        {"ACK cut short", false, answer_block(0x0B, {0, 0, 0, 4, 0}), TFTP_BLOCK_BAD},
        {"DATA instead", false, answer_block(0x0B, {0, 0, 0, 3, 0, 1}), TFTP_BLOCK_BAD},
        {"error rcode", false, answer_block(0x0B, {0, 11, 0, 4, 0, 1}), TFTP_BLOCK_BAD},
        {"ONU answer read as the OLT's", false, answer_block(0x14, cat({{0, 0}, MAC, {0, 4, 0, 0}})), TFTP_BLOCK_BAD},
        {"header only", false, bytes(8, 0), TFTP_BLOCK_BAD},
        {"less than a header", false, bytes(5, 0), TFTP_BLOCK_BAD},
    };
    for (const auto &c : cases)
        EXPECT_EQ(tftp_write_answer(c.block.data(), c.block.size(), c.onu), c.result) << c.name;
}

// ---- the whole-image loop ---------------------------------------------------

std::vector<unsigned> pauses;
void record_pause(unsigned seconds) { pauses.push_back(seconds); }

class Transfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        pauses.clear();
        saved_ = tftp_pause;
        tftp_pause = record_pause;
    }
    void TearDown() override { tftp_pause = saved_; }

private:
    void (*saved_)(unsigned) = nullptr;
};

// A peer that takes every block; it may fail chosen tries.
struct write_peer {
    std::vector<std::pair<uint16_t, size_t>> log;   // block, size of each try
    bytes received;
    int fail_block = -1;      // block whose tries fail
    int fail_tries = 0;       // how many of them
    int fail_result = -6;

    static int step(void *ctx, uint16_t block, const uint8_t *data, size_t size)
    {
        auto *self = static_cast<write_peer *>(ctx);
        self->log.emplace_back(block, size);
        if (block == self->fail_block && self->fail_tries > 0) {
            self->fail_tries--;
            return self->fail_result;
        }
        if (block == 0)
            return TFTP_BLOCK_MORE;
        if (size)
            self->received.insert(self->received.end(), data, data + size);
        return size < 512 ? TFTP_BLOCK_LAST : TFTP_BLOCK_MORE;
    }
};

TEST_F(Transfer, WritesEndWithAShortOrEmptyDataBlock)
{
    using sent = std::vector<std::pair<uint16_t, size_t>>;
    struct {
        const char *name;
        size_t size;
        sent expected;   // the request (block 0), then the DATA blocks
    } cases[] = {
        {"whole blocks end with an empty one", 1024, {{0, 0}, {1, 512}, {2, 512}, {3, 0}}},
        {"a short last block ends the write", 1000, {{0, 0}, {1, 512}, {2, 488}}},
        {"an empty image is one empty block", 0, {{0, 0}, {1, 0}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bytes image = byte_pattern(c.size);
        write_peer peer;
        EXPECT_EQ(tftp_write_image(write_peer::step, &peer, image.data(), image.size()), 0);
        EXPECT_EQ(peer.log, c.expected);
        EXPECT_EQ(peer.received, image);
    }
    EXPECT_TRUE(pauses.empty());
}

TEST_F(Transfer, ABlockIsTriedFourTimesWithAPauseAfterEachFailure)
{
    bytes image = byte_pattern(1500);
    write_peer peer;
    peer.fail_block = 2;
    peer.fail_tries = 3;   // the fourth try passes
    EXPECT_EQ(tftp_write_image(write_peer::step, &peer, image.data(), image.size()), 0);
    EXPECT_EQ(peer.received, image);
    EXPECT_EQ(pauses, (std::vector<unsigned>{1, 1, 1}));
    EXPECT_EQ(peer.log.size(), 1u + 1 + 4 + 1);

    pauses.clear();
    write_peer dead;
    dead.fail_block = 2;
    dead.fail_tries = 4;
    dead.fail_result = TFTP_BLOCK_BAD;
    EXPECT_EQ(tftp_write_image(write_peer::step, &dead, image.data(), image.size()), TFTP_BLOCK_BAD);
    EXPECT_EQ(pauses.size(), 4u);
    ASSERT_EQ(dead.log.size(), 1u + 1 + 4);   // nothing after the block that failed
    EXPECT_EQ(dead.log.back().first, 2);
}

TEST_F(Transfer, ImagesOfTooManyBlocksAreRefusedBeforeTheRequest)
{
    write_peer peer;
    static uint8_t big[size_t(65532) * 512];
    EXPECT_EQ(tftp_write_image(write_peer::step, &peer, big, sizeof big), TFTP_IMAGE_TOO_LARGE);   // 65533 blocks
    EXPECT_TRUE(peer.log.empty());
    EXPECT_EQ(tftp_data_blocks(sizeof big - 1), 65532u);
    EXPECT_EQ(tftp_write_image(write_peer::step, &peer, big, sizeof big - 1), 0);
    EXPECT_EQ(peer.log.size(), 65533u);
    EXPECT_EQ(peer.log.back().first, 65532);
}

// A peer serving an image block by block, as an ONU or OLT answers reads.
struct read_peer {
    bytes image;
    std::vector<uint16_t> asked;
    int fail_block = -1;

    static int step(void *ctx, uint16_t block, uint8_t *dest, size_t room, size_t *size)
    {
        auto *self = static_cast<read_peer *>(ctx);
        self->asked.push_back(block);
        if (block == self->fail_block)
            return -6;
        size_t at = size_t(block) * 512;
        size_t n = at < self->image.size() ? std::min<size_t>(512, self->image.size() - at) : 0;
        if (n > room)
            return TFTP_BLOCK_BAD;
        memcpy(dest, self->image.data() + at, n);
        *size = n;
        return n < 512 ? TFTP_BLOCK_LAST : TFTP_BLOCK_MORE;
    }
};

TEST_F(Transfer, ReadCollectsBlocksUntilTheShortOne)
{
    read_peer peer;
    peer.image = byte_pattern(2413);
    bytes buffer(2413);
    size_t total = 0;
    EXPECT_EQ(tftp_read_image(read_peer::step, &peer, buffer.data(), buffer.size(), &total), 0);
    EXPECT_EQ(total, 2413u);
    EXPECT_EQ(buffer, peer.image);
    EXPECT_EQ(peer.asked, (std::vector<uint16_t>{0, 1, 2, 3, 4}));   // RRQ, ACK 1 .. ACK 4
}

TEST_F(Transfer, ReadFailsRatherThanOverrunTheBuffer)
{
    read_peer peer;
    peer.image = byte_pattern(2414);
    bytes buffer(2413 + 16, 0xEE);
    size_t total = 0;
    EXPECT_NE(tftp_read_image(read_peer::step, &peer, buffer.data(), 2413, &total), 0);
    EXPECT_LE(total, 2413u);
    for (size_t i = 2413; i < buffer.size(); i++)
        ASSERT_EQ(buffer[i], 0xEE) << i;
    EXPECT_EQ(pauses.size(), 4u);
}

TEST_F(Transfer, FailedTriesAddNothingToTheTotal)
{
    read_peer peer;
    peer.image = byte_pattern(700);
    peer.fail_block = 1;
    bytes buffer(2413);
    size_t total = 0;
    EXPECT_EQ(tftp_read_image(read_peer::step, &peer, buffer.data(), buffer.size(), &total), -6);
    EXPECT_EQ(total, 512u);
    EXPECT_EQ(peer.asked, (std::vector<uint16_t>{0, 1, 1, 1, 1}));
}

} // namespace
