#include "wire/kernmsg.h"

#include "base/bytes.h"

#include <cstdio>
#include <cstring>

void kernmsg_header_encode(uint8_t *out, const kernmsg_header &header)
{
    store_le16(out + 0, header.cmd);
    store_le16(out + 2, header.tag);
    out[4] = header.type;
    out[5] = header.src;
    out[6] = header.dst;
    out[7] = header.rcode;
    store_le32(out + 8, header.len);
    store_le32(out + 12, header.magic);
}

kernmsg_header kernmsg_header_decode(const uint8_t *in)
{
    kernmsg_header header;
    header.cmd = load_le16(in + 0);
    header.tag = load_le16(in + 2);
    header.type = in[4];
    header.src = in[5];
    header.dst = in[6];
    header.rcode = in[7];
    header.len = load_le32(in + 8);
    header.magic = load_le32(in + 12);
    return header;
}

int check_message_header(const uint8_t *header)
{
    return load_le32(header + 12) == KERNMSG_MAGIC ? 0 : -1;
}

const char *kernmsg_module_name(unsigned module)
{
    static const char *const names[] = {
        "pon kernel", "chipset module", "config module", "WEBS module", "console module",
        "SNMP module", "console1", "console2", "console3", "console4",
    };
    return module < sizeof names / sizeof names[0] ? names[module] : "invalid";
}

void kernmsg_notification_encode(uint8_t *out, uint8_t code, const uint32_t num[4], const char *text)
{
    out[0] = code;
    for (int i = 0; i < 4; i++)
        store_le32(out + 1 + 4 * i, num[i]);
    uint8_t *field = out + 17;
    memset(field, 0, KERNMSG_NOTIFY_TEXT);
    if (text)
        strncpy(reinterpret_cast<char *>(field), text, KERNMSG_NOTIFY_TEXT);
}

bool kernmsg_notification_decode(const uint8_t *payload, size_t len, kernmsg_notification *out)
{
    byte_reader in(payload, len);
    out->code = in.u8();
    for (auto &n : out->num)
        n = in.le32();
    in.bytes(out->text, KERNMSG_NOTIFY_TEXT);
    out->text[KERNMSG_NOTIFY_TEXT] = '\0';
    return in.ok();
}

kernmsg_frame_result kernmsg_read_frame(kernmsg_read_fn read, void *ctx, uint8_t *buf, size_t size)
{
    if (size < KERNMSG_HEADER_SIZE || read(ctx, buf, KERNMSG_HEADER_SIZE) != int(KERNMSG_HEADER_SIZE))
        return KERNMSG_FRAME_HEADER_LOST;
    if (check_message_header(buf) != 0)
        return KERNMSG_FRAME_BAD_MAGIC;
    uint32_t len = load_le32(buf + 8);
    if (len > size - KERNMSG_HEADER_SIZE)
        return KERNMSG_FRAME_TOO_LONG;
    if (len != 0 && read(ctx, buf + KERNMSG_HEADER_SIZE, len) != int(len))
        return KERNMSG_FRAME_PAYLOAD_LOST;
    return KERNMSG_FRAME_OK;
}
