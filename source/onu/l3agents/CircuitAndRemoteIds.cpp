#include "onu/l3agents/CircuitAndRemoteIds.h"

#include <cstdio>
#include <cstring>

namespace {

struct keyword {
    const char *token;
    bool dynamic;
    uint16_t max_len;
};

constexpr keyword keywords[CRID_KEYWORDS] = {
    {"%HOSTNAME%", false, 0}, {"%SLOTID%", false, 0}, {"%MNGIP%", false, 0}, {"%CHANNELID%", true, 1},
    {"%ONTID%", true, 10},    {"%PATHID%", true, 3},  {"%VLAN0%", true, 7},  {"%VLAN1%", true, 7},
    {"%MAC%", true, 17},      {"%OPT60%", true, 64},
};

int find_keyword(const char *token, size_t length)
{
    for (int k = 0; k < CRID_KEYWORDS; k++)
        if (strlen(keywords[k].token) == length && memcmp(keywords[k].token, token, length) == 0)
            return k;
    return -1;
}

void append(crid_desc *desc, const char *text, size_t length)
{
    memcpy(desc->static_text + desc->static_len, text, length);
    desc->static_len = uint16_t(desc->static_len + length);
    desc->static_text[desc->static_len] = '\0';
}

// Bytes written into a caller's buffer, never past its end.
struct out_buffer {
    uint8_t *at;
    size_t room;
    size_t used = 0;

    void put(const void *bytes, size_t length)
    {
        if (length > room - used)
            length = room - used;
        memcpy(at + used, bytes, length);
        used += length;
    }
};

// The value of dynamic field `k`, cut to the keyword's maximum length.
void put_value(out_buffer &out, int k, const crid_values *v)
{
    char text[32];
    size_t length = 0;
    switch (k) {
    case CRID_CHANNELID:
        length = size_t(snprintf(text, sizeof text, "%u", v->channel));
        break;
    case CRID_ONTID:
        length = size_t(snprintf(text, sizeof text, "%u", v->ont_number));
        break;
    case CRID_PATHID:
        length = size_t(snprintf(text, sizeof text, "%u", v->path_number));
        break;
    case CRID_VLAN0:
    case CRID_VLAN1:
        length = strlen(keywords[k].token);
        memcpy(text, keywords[k].token, length);
        break;
    case CRID_MAC:
        if (v->mac)
            length = size_t(snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", v->mac[0], v->mac[1],
                                     v->mac[2], v->mac[3], v->mac[4], v->mac[5]));
        break;
    case CRID_OPT60:
        if (v->opt60) {
            size_t n = v->opt60[0] < CRID_OPT60_MAX ? v->opt60[0] : CRID_OPT60_MAX;
            out.put(v->opt60 + 1, n);
        }
        return;
    default:
        return;
    }
    out.put(text, length < keywords[k].max_len ? length : keywords[k].max_len);
}

} // namespace

int crid_Init(crid_pair *pair, uint32_t capacity)
{
    memset(pair, 0, sizeof *pair);
    pair->capacity = capacity;
    return 0;
}

int GetFieldMaxLen(crid_desc *desc, const char *templ, const char *host_name, const char *slot, const char *mng_ip)
{
    memset(desc, 0, sizeof *desc);
    const char *statics[3] = {host_name, slot, mng_ip};
    const char *at = templ ? templ : "";
    for (;;) {
        const char *open = strchr(at, '%');
        if (!open) {
            size_t rest = strlen(at);
            if (desc->static_len + rest > CRID_STATIC_MAX)
                return CRID_PARSE_TAIL_TOO_LONG;
            append(desc, at, rest);
            return CRID_PARSE_OK;
        }
        const char *close = strchr(open + 1, '%');
        if (!close)
            return CRID_PARSE_UNCLOSED;
        size_t token = size_t(close - open) + 1;
        if (token > CRID_TOKEN_MAX)
            return CRID_PARSE_TOKEN_TOO_LONG;
        size_t before = size_t(open - at);
        if (desc->static_len + before > CRID_STATIC_MAX)
            return CRID_PARSE_TEXT_TOO_LONG;
        append(desc, at, before);

        int k = find_keyword(open, token);
        if (k < 0)
            return CRID_PARSE_BAD_KEYWORD;
        if (!keywords[k].dynamic) {
            const char *text = statics[k] ? statics[k] : "";
            size_t length = strlen(text);
            if (desc->static_len + length > CRID_STATIC_MAX)
                return CRID_PARSE_BAD_KEYWORD;
            append(desc, text, length);
        } else {
            if (desc->field_count >= CRID_FIELDS_MAX)
                return CRID_PARSE_BAD_KEYWORD;
            desc->fields[desc->field_count++] = crid_field{uint8_t(desc->static_len), uint8_t(k)};
            desc->dynamic_max = uint16_t(desc->dynamic_max + keywords[k].max_len);
        }
        at = close + 1;
    }
}

int crid_Update(crid_pair *pair, const char *circuit_templ, const char *remote_templ, const char *host_name,
                const char *slot, const char *mng_ip)
{
    int circuit = GetFieldMaxLen(&pair->circuit, circuit_templ, host_name, slot, mng_ip);
    int remote = GetFieldMaxLen(&pair->remote, remote_templ, host_name, slot, mng_ip);

    auto accepted_size = [](crid_desc *desc, int parsed) -> uint32_t {
        uint32_t size = uint32_t(desc->static_len) + desc->dynamic_max;
        if (parsed == CRID_PARSE_OK && size <= CRID_IDENTIFIER_MAX)
            return size;
        memset(desc, 0, sizeof *desc);
        return 0;
    };
    uint32_t required = accepted_size(&pair->circuit, circuit) + accepted_size(&pair->remote, remote) + 4;
    if (required > pair->capacity) {
        memset(&pair->circuit, 0, sizeof pair->circuit);
        memset(&pair->remote, 0, sizeof pair->remote);
        return CRID_UPDATE_TOO_LARGE;
    }
    pair->capacity = required;

    if (circuit != CRID_PARSE_OK && remote != CRID_PARSE_OK)
        return CRID_UPDATE_BOTH_REFUSED;
    if (circuit != CRID_PARSE_OK)
        return CRID_UPDATE_CIRCUIT_REFUSED;
    if (remote != CRID_PARSE_OK)
        return CRID_UPDATE_REMOTE_REFUSED;
    return CRID_UPDATE_OK;
}

size_t AddCircuitOrRemoteId(const crid_pair *pair, int type, uint8_t *buffer, size_t size, const crid_values *values)
{
    if (size < 2)
        return 0;
    const crid_desc *desc = type == 1 ? &pair->circuit : &pair->remote;
    buffer[0] = uint8_t(type);
    size_t room = size - 2 < CRID_IDENTIFIER_MAX ? size - 2 : CRID_IDENTIFIER_MAX;
    out_buffer out{buffer + 2, room};

    // A descriptor is only ever filled by the parser, but its counts are
    // bounded here too so that a stray one cannot send the copy astray.
    size_t static_len = desc->static_len < CRID_STATIC_MAX ? desc->static_len : CRID_STATIC_MAX;
    int count = desc->field_count < CRID_FIELDS_MAX ? desc->field_count : CRID_FIELDS_MAX;
    size_t from = 0;
    for (int i = 0; i < count; i++) {
        size_t to = desc->fields[i].position;
        if (to > static_len)
            to = static_len;
        if (to > from) {
            out.put(desc->static_text + from, to - from);
            from = to;
        }
        put_value(out, desc->fields[i].keyword, values);
    }
    out.put(desc->static_text + from, static_len - from);
    buffer[1] = uint8_t(out.used);
    return 2 + out.used;
}

size_t crid_AddCircuitIdAndRemoteId(const crid_pair *pair, uint8_t *buffer, size_t size, const crid_values *values)
{
    if (pair->capacity > size)
        return 0;
    size_t written = AddCircuitOrRemoteId(pair, 1, buffer, size, values);
    return written + AddCircuitOrRemoteId(pair, 2, buffer + written, size - written, values);
}
