// The management message codec: the header's byte order, the notification's
// limits and the framed read's length limit. The framed read's other
// verdicts are the fuzz target's seeds and the board's broken headers.
#include "wire/kernmsg.h"

#include "common/hex.h"
#include "common/memory_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The layout is what the management process prints on every board run; a
// notification's text is cut at 256 bytes, a short one refused; a frame
// longer than the receive buffer is refused.
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
    // One past the buffer, refused before any payload is read (the largest
    // that fits is served in the link's flood test).
    std::vector<uint8_t> buffer(KERNMSG_RX_BUFFER);
    memory_stream one_past{hex("09 00 01 00 00 01 02 00 F1 FF 01 00 48 A5 48 A5")};
    EXPECT_EQ(kernmsg_read_frame(memory_read, &one_past, buffer.data(), buffer.size()), KERNMSG_FRAME_TOO_LONG);
}

} // namespace
