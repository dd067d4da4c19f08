#include "base/hextext.h"

int hex_text(char *out, size_t size, const uint8_t *data, size_t length)
{
    static const char digits[] = "0123456789ABCDEF";
    if (size == 0)
        return -1;
    if ((length & ~size_t(15)) + 3 * length + 17 > size) {
        out[0] = '\0';
        return -1;
    }
    char *p = out;
    for (size_t i = 0; i < length; i++) {
        if (i && i % 16 == 0) {
            *p++ = '\n';
            for (int s = 0; s < 8; s++)
                *p++ = ' ';
        }
        *p++ = digits[data[i] >> 4];
        *p++ = digits[data[i] & 15];
        *p++ = ' ';
    }
    *p++ = '\n';
    *p = '\0';
    return int(p - out);
}
