// The management message codec: the header's byte order, the notification's
// limits, and the framed read's verdict on every kind of bad stream.
#include "wire/kernmsg.h"

#include "common/hex.h"
#include "common/memory_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The layout is what the management process prints on every board run; a
// notification's text is cut at 256 bytes, a short one refused.
TEST(ManagementHeader, EncodesEveryFieldLittleEndian)
{
    uint8_t out[KERNMSG_NOTIFY_LEN];
    kernmsg_header_encode(out, {.cmd = 0x2010, .tag = 0x0102, .type = KERNMSG_REQUEST, .src = MODULE_CHIPSET,
                                .dst = MODULE_CONFIG, .len = 0x00010020});
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), hex("10 20  02 01  00  01  02  00  20 00 01 00  48 A5 48 A5"));
    EXPECT_STREQ(kernmsg_module_name(9), "console4");
    EXPECT_STREQ(kernmsg_module_name(10), "invalid");
    const uint32_t numbers[4] = {};
    kernmsg_notification_encode(out, 2, numbers, std::string(300, 'a').c_str());
    kernmsg_notification n;
    ASSERT_TRUE(kernmsg_notification_decode(out, sizeof out, &n));
    EXPECT_EQ(strlen(n.text), 256u);
    EXPECT_FALSE(kernmsg_notification_decode(out, sizeof out - 1, &n));
}

TEST(Frame, VerdictOnEachKindOfStream)
{
    // The largest payload that fits: the buffer less the header.
    std::string largest = "09 00 01 00 00 01 02 00 F0 FF 01 00 48 A5 48 A5" + std::string(2 * 0x1FFF0, '0');
    struct { const char *name; std::string bytes; int result; size_t consumed; } cases[] = {
        {"zero-length payload", "09 00 01 00 00 01 02 00 00 00 00 00 48 A5 48 A5", KERNMSG_FRAME_OK, 16},
        {"largest payload", largest, KERNMSG_FRAME_OK, 0x20000},
        {"short header", "09 00 01 00 00 01 02 00 00 00", KERNMSG_FRAME_HEADER_LOST, 0},
        {"bad magic", "09 00 01 00 00 01 02 00 00 00 00 00 48 A5 48 A6", KERNMSG_FRAME_BAD_MAGIC, 16},
        {"payload cut short", "09 00 01 00 00 01 02 00 04 00 00 00 48 A5 48 A5 AA", KERNMSG_FRAME_PAYLOAD_LOST, 16},
        {"payload one past the buffer", "09 00 01 00 00 01 02 00 F1 FF 01 00 48 A5 48 A5", KERNMSG_FRAME_TOO_LONG, 16},
        {"length near 4 GiB", "09 00 01 00 00 01 02 00 FF FF FF FF 48 A5 48 A5", KERNMSG_FRAME_TOO_LONG, 16},
    };
    std::vector<uint8_t> buffer(KERNMSG_RX_BUFFER);
    for (const auto &c : cases) {
        memory_stream stream{hex(c.bytes)};
        EXPECT_EQ(kernmsg_read_frame(memory_read, &stream, buffer.data(), buffer.size()), c.result) << c.name;
        EXPECT_EQ(stream.pos, c.consumed) << c.name;
    }
}

} // namespace
