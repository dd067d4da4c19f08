// The commands' decoding and answer layouts as functions of bytes: the
// statistics tables, request and answer conversion, the parameter block
// bounded by what arrived, the base LLID rule and the uplink selectors.
#include "cmd/cmd_olt.h"
#include "cmd/cmd_stats.h"

#include "base/balloc.h"
#include "wire/kernmsg.h"
#include "wire/tekmsg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

class Pool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(bopen(nullptr, 1 << 20, 0), 0); }
    void TearDown() override { bclose(); }

    // A teklink_msg block: OLT index, then the wire bytes.
    static uint8_t *block(const std::vector<uint8_t> &wire)
    {
        auto *b = static_cast<uint8_t *>(BALLOC(2 + wire.size()));
        tekmsg_set_olt(b, 1);
        std::memcpy(b + 2, wire.data(), wire.size());
        return b;
    }
};

TEST(StatsTables, SubcommandsMapToTheirGroupsAndNothingElseIsKnown)
{
    const struct {
        uint16_t sub;
        int read, clear;
        bool onu;
    } cases[] = {
        {2, 14, 14, false}, {3, 15, 15, false}, {6, 10, 10, false}, {7, 11, 11, false},
        {8, 12, 12, false}, {9, 13, 13, false}, {15, 18, -1, true},  {16, 19, -1, true},
        {17, 20, -1, true}, {18, 21, -1, true}, {0, -1, -1, false},  {1, -1, -1, false},
        {4, -1, -1, false}, {5, -1, -1, false}, {10, -1, -1, false}, {14, -1, -1, false},
        {19, -1, -1, true}, {27, -1, -1, true}, {28, -1, -1, true},  {0xFFFF, -1, -1, true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(stats_group(c.sub), c.read) << c.sub;
        EXPECT_EQ(stats_clear_group(c.sub), c.clear) << c.sub;
        if (c.read >= 0) {
            EXPECT_EQ(stats_is_onu_group(c.sub), c.onu) << c.sub;
        }
    }
}

TEST(StatsTables, OnuPortsByType)
{
    const struct {
        uint8_t type;
        uint32_t port;
        bool allowed;
    } cases[] = {
        {1, 1, true},  {1, 2, true},   {1, 3, false},  {1, 4, false}, {2, 3, false}, {2, 5, true},
        {3, 1, true},  {3, 2, false},  {3, 3, false},  {3, 4, false}, {18, 2, false}, {18, 1, true},
        {19, 3, true}, {0, 3, true},   {12, 0, true},  {2, 0x10003, true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(stats_onu_port_allowed(c.type, c.port), c.allowed) << int(c.type) << " port " << c.port;
}

TEST(StatsRequest, ReadAndClearBytes)
{
    const uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x37, 0x23, 0x01};
    uint8_t out[STATS_REQUEST_LEN];
    ASSERT_EQ(stats_request(STATS_SELECT_PORT, mac, 1, 14, false, out), 13u);
    const std::vector<uint8_t> read = {
        0x05,                                 // port selector
        0x00, 0x0D, 0xB6, 0x37, 0x23, 0x01,   // OLT MAC
        0x00, 0x01,                           // port
        0x00, 0x0E,                           // group 14
        0xFF, 0x00,                           // read
    };
    EXPECT_EQ(std::vector<uint8_t>(out, out + 13), read);
    stats_request(STATS_SELECT_ONU, mac, 2, 21, true, out);
    EXPECT_EQ(out[0], 0x02);
    EXPECT_EQ(out[10], 21);
    EXPECT_EQ(out[12], 0x01);   // clear
}

TEST_F(Pool, StatsAnswerConvertsEntriesAndCountsThem)
{
    const std::vector<uint8_t> wire = {
        0x01, 0x38, 0x00, 0x07, 0x00, 0x25,   // ID, CTAG, LEN 37
        0x00, 0x00,                           // RCODE
        0x05, 1, 2, 3, 4, 5, 6, 0x00, 0x01, 0x00, 0x0E,   // the request's fields, echoed
        0x00, 0x21, 0xAA, 0xBB,               // id 0x21, two bytes kept
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,   // value
        0x01, 0x00, 0xCC, 0xDD,               // id 0x100
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2A,   // value 42
    };
    uint8_t *answer = block(wire);
    uint8_t echo[CMD_PARAMS_SIZE];
    for (size_t i = 0; i < sizeof echo; i++)
        echo[i] = uint8_t(0x80 + i);
    std::vector<uint8_t> out;
    ASSERT_TRUE(stats_answer(answer, echo, &out));
    BFREE(answer);
    // 32 + LEN - 9: the two entries and four bytes the chip never sent, zero.
    ASSERT_EQ(out.size(), 32u + 37 - 9);
    EXPECT_EQ(load_le16(out.data() + 10), 2);    // the count replaces echo bytes 10..11
    EXPECT_EQ(out[9], 0x89);
    EXPECT_EQ(out[12], 0x8C);
    const std::vector<uint8_t> entries = {
        0x21, 0x00, 0xAA, 0xBB, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
        0x00, 0x01, 0xCC, 0xDD, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00,
    };
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 32, out.end()), entries);
}

TEST_F(Pool, StatsAnswerNeverReadsPastWhatArrived)
{
    const struct {
        const char *name;
        std::vector<uint8_t> wire;
        bool ok;
        size_t size;
        uint16_t count;
    } cases[] = {
        {"header only", {0x01, 0x38, 0, 1, 0x00, 0x00}, false, 0, 0},
        {"LEN below nine", {0x01, 0x38, 0, 1, 0x00, 0x08, 0, 0, 1, 2, 3, 4, 5, 6}, false, 0, 0},
        // LEN claims one entry, but the datagram stops after the echo.
        {"LEN past the datagram", {0x01, 0x38, 0, 1, 0x00, 0x19, 0, 0, 5, 1, 2, 3, 4, 5, 6, 0, 1, 0, 14}, true,
         32 + 16, 0},
        {"default chip answer", {0x01, 0x38, 0, 1, 0x00, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 33, 0},
    };
    uint8_t echo[CMD_PARAMS_SIZE] = {};
    for (const auto &c : cases) {
        uint8_t *answer = block(c.wire);
        std::vector<uint8_t> out;
        EXPECT_EQ(stats_answer(answer, echo, &out), c.ok) << c.name;
        BFREE(answer);
        if (!c.ok)
            continue;
        EXPECT_EQ(out.size(), c.size) << c.name;
        EXPECT_EQ(load_le16(out.data() + 10), c.count) << c.name;
    }
}

TEST_F(Pool, ParameterBlockIsBoundedByTheBytesThatArrived)
{
    const struct {
        const char *name;
        uint32_t claimed;
        size_t arrived;   // payload bytes in the block
        size_t size;
        bool block;
    } cases[] = {
        {"whole block", 32, 32, 32, true},
        {"block and text", 40, 40, 40, true},
        {"short payload", 8, 8, 8, false},
        {"header claims more than arrived", 4000, 20, 20, false},
        {"header claims less than arrived", 10, 40, 10, false},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> msg(KERNMSG_HEADER_SIZE + c.arrived, 0xEE);
        store_le32(msg.data() + 8, c.claimed);
        cmd_params p = cmd_params_decode(msg.data(), msg.size());
        EXPECT_EQ(p.size, c.size) << c.name;
        EXPECT_EQ(p.has_block(), c.block) << c.name;
        // What was not there reads as zero, never as the bytes behind it.
        size_t copied = c.size < CMD_PARAMS_SIZE ? c.size : CMD_PARAMS_SIZE;
        for (size_t i = copied; i < CMD_PARAMS_SIZE; i++)
            ASSERT_EQ(p.block[i], 0) << c.name << " byte " << i;
        EXPECT_EQ(p.data_size(), c.size > 32 ? c.size - 32 : 0) << c.name;
    }
    cmd_params none = cmd_params_decode(std::vector<uint8_t>(10).data(), 10);
    EXPECT_EQ(none.size, 0u);
}

TEST(BaseLlid, TheOtherPortsBlockIsRefused)
{
    const struct {
        uint16_t value, other;
        bool stored;
    } cases[] = {
        {0x1000, 0x0000, true},    // the other port automatic
        {0x0000, 0x1000, true},    // back to automatic
        {0x1000, 0x1000, false},
        {0x11FF, 0x1000, false},   // same 512-block
        {0x1200, 0x1000, true},
        {0x0FFF, 0x1000, true},
        {0xFE00, 0xFFFF, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(base_llid_acceptable(c.value, c.other), c.stored) << std::hex << c.value << " " << c.other;
}

TEST(Uplink, SelectorsZeroToTwoOnly)
{
    const struct {
        uint32_t selector;
        bool known;
        uint32_t value;
        uint16_t mode;
    } cases[] = {
        {0, true, 10000, 2}, {1, true, 100000, 2}, {2, true, 0, 0}, {3, false, 0, 0}, {0xFFFFFFFF, false, 0, 0},
    };
    for (const auto &c : cases) {
        uint32_t value = 7;
        uint16_t mode = 7;
        ASSERT_EQ(uplink_setting(c.selector, &value, &mode), c.known) << c.selector;
        if (c.known) {
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(mode, c.mode);
        }
    }
}

} // namespace
