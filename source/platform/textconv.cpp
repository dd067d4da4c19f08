#include "platform/textconv.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The readers walk the text as strtol leaves it and step over one separator
// after each number; they never step past the terminating NUL, so a short
// text gives zeroes for the missing numbers instead of a read beyond it.
void convert_mac(uint8_t out[6], const char *text)
{
    const char *p = text;
    for (int i = 0; i < 6; i++) {
        char *end = nullptr;
        out[i] = uint8_t(strtol(p, &end, 16));
        p = *end ? end + 1 : end;
    }
}

void convert_ip(uint8_t out[4], const char *text)
{
    if (*text == '\0') {
        memset(out, 255, 4);
        return;
    }
    const char *p = text;
    for (int i = 0; i < 4; i++) {
        char *end = nullptr;
        out[i] = uint8_t(strtol(p, &end, 10));
        p = (i < 3 && *end) ? end + 1 : end;
    }
}

void convert_to_mac(char *out, const uint8_t mac[6])
{
    sprintf(out, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

void convert_to_ip(char *out, const uint8_t ip[4]) { sprintf(out, "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]); }

void convert_to_upper(char *text)
{
    for (; *text; text++)
        *text = char(toupper(static_cast<unsigned char>(*text)));
}
