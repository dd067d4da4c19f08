// Management messages: the 16-byte header, the notification payload and the
// framed read that both ends of the management link use.
//
// A message is the header followed by `len` payload bytes; every header
// field is little-endian. The daemon keeps messages in pool blocks as they
// are on the wire (header first); the simulators and tests use the same
// codec, so both ends agree on every byte. Pure functions: safe from any
// thread, no locks.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t KERNMSG_HEADER_SIZE = 16;
constexpr uint32_t KERNMSG_MAGIC = 0xA548A548;
// Whole messages the daemon's receive buffer holds, header included.
constexpr size_t KERNMSG_RX_BUFFER = 131072;

enum : uint8_t {
    KERNMSG_REQUEST = 0,       // expects an answer
    KERNMSG_ANSWER = 1,
    KERNMSG_NOTIFICATION = 2,  // no answer
};

enum : uint8_t {
    MODULE_PON_KERNEL = 0,
    MODULE_CHIPSET = 1,        // this daemon
    MODULE_CONFIG = 2,
    MODULE_WEBS = 3,
    MODULE_CONSOLE = 4,
    MODULE_SNMP = 5,
};

struct kernmsg_header {
    uint16_t cmd = 0;
    uint16_t tag = 0;
    uint8_t type = 0;
    uint8_t src = 0;
    uint8_t dst = 0;
    uint8_t rcode = 0;
    uint32_t len = 0;
    uint32_t magic = KERNMSG_MAGIC;
};

void kernmsg_header_encode(uint8_t *out, const kernmsg_header &header);
kernmsg_header kernmsg_header_decode(const uint8_t *in);
// 0 when the magic is 0xA548A548, else -1. Nothing else is checked.
int check_message_header(const uint8_t *header);
// The tag lives at offset 2 of a message held as wire bytes.
inline void kernmsg_set_tag(uint8_t *msg, uint16_t tag)
{
    msg[2] = uint8_t(tag);
    msg[3] = uint8_t(tag >> 8);
}

// "pon kernel", "chipset module", ... ; "invalid" for unknown numbers.
const char *kernmsg_module_name(unsigned module);

// Notification (cmd 10): event code, four numbers, 256 bytes of text.
constexpr uint16_t KERNMSG_CMD_NOTIFY = 10;
constexpr size_t KERNMSG_NOTIFY_LEN = 273;
constexpr size_t KERNMSG_NOTIFY_TEXT = 256;
struct kernmsg_notification {
    uint8_t code = 0;
    uint32_t num[4] = {};
    char text[KERNMSG_NOTIFY_TEXT + 1] = {};   // always terminated
};
// Fills the 273 payload bytes; the text is NUL-padded and cut at 256.
void kernmsg_notification_encode(uint8_t *out, uint8_t code, const uint32_t num[4], const char *text);
// false when fewer than 273 bytes are given.
bool kernmsg_notification_decode(const uint8_t *payload, size_t len, kernmsg_notification *out);

// Reads exactly `n` bytes into `buf`; returns n, or -1 (closed, error).
using kernmsg_read_fn = int (*)(void *ctx, uint8_t *buf, size_t n);

enum kernmsg_frame_result : int {
    KERNMSG_FRAME_OK = 0,
    KERNMSG_FRAME_HEADER_LOST = -1,   // the header could not be read
    KERNMSG_FRAME_BAD_MAGIC = -2,
    KERNMSG_FRAME_TOO_LONG = -3,      // the payload does not fit `size`
    KERNMSG_FRAME_PAYLOAD_LOST = -4,
};
// One message into `buf` (at least the header's 16 bytes): the header, then
// its payload when 16 + len fits `size`. A header that fails is left in
// `buf` for the caller's diagnostics. The stream cannot be resynchronised
// after any failure; the caller closes it.
kernmsg_frame_result kernmsg_read_frame(kernmsg_read_fn read, void *ctx, uint8_t *buf, size_t size);
