// OLT configuration request builders and answer decoders. See
// profiler_olt_requests.h.
#include "engine/profiler_olt_requests.h"

#include "base/bytes.h"

#include <cstring>

namespace {

constexpr uint8_t PORT_REQUEST_MARK = 0x05;   // first byte of the requests that address a port this way

// MAC then the port as u16 BE: the head of most port requests.
size_t mac_port(const uint8_t mac[6], int port, uint8_t *out)
{
    memcpy(out, mac, 6);
    store_be16(out + 6, uint16_t(port));
    return 8;
}

// 05, MAC, 00, p: the head of the requests that address a port by one byte.
size_t marked_port(const uint8_t mac[6], int port, uint8_t *out)
{
    out[0] = PORT_REQUEST_MARK;
    memcpy(out + 1, mac, 6);
    out[7] = 0;
    out[8] = uint8_t(port);
    return 9;
}

// The slot layout's u16 (LE) as the chip's (BE).
void le_to_be16(const uint8_t *from, uint8_t *to) { store_be16(to, load_le16(from)); }
void le_to_be32(const uint8_t *from, uint8_t *to) { store_be32(to, load_le32(from)); }

const uint8_t DOMAIN_TEMPLATE_A[118] = {
    0x00, 0x01, 0x0E, 0x01, 0x0E, 0x02, 0x01, 0x05, 0x01, 0x06, 0x34, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x64, 0x01, 0x01, 0x0E, 0x01, 0x0E, 0x02, 0x01, 0x05, 0x01, 0x06, 0x34, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x64, 0x01, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x0A, 0x03, 0x03, 0x02, 0x00, 0x00,
    0x09, 0x04, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x0A, 0x03, 0x03, 0x02,
    0x00, 0x00, 0x09, 0x04, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00,
};
const uint8_t DOMAIN_TEMPLATE_B[114] = {
    0x00, 0x01, 0x0E, 0x01, 0x0C, 0x00, 0x01, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x06, 0x01, 0x0E, 0x01, 0x0C, 0x00, 0x01, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x06, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x0A, 0x03, 0x03, 0x02, 0x00, 0x00, 0x09, 0x04, 0x00, 0x00,
    0x00, 0x00, 0x0B, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x07, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x0A, 0x03, 0x03, 0x02, 0x00, 0x00, 0x09, 0x04,
    0x00, 0x00, 0x00, 0x00, 0x0B, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x07, 0x00,
};

// Data bytes of 0x0193 (domain first) that a domain's own values replace.
constexpr size_t DOMAIN_RULE_PARAM_AT[2] = {9, 29};
constexpr size_t DOMAIN_RULE_VLAN_AT[2] = {20, 40};

const char *const DRSSI_PARTS[] = {
    "LTE4302", "LTE4303", "LTE3680", "PTB38J0", "38J0-6537E", "38J0-6538E", "SLG20-D6C",
};

const uint8_t PROTOCOL_FILTER_PATCH[PROTOCOL_FILTER_PATCH_SIZE] = {
    0x00, 0x00, 0x08, 0x00, 0x12, 0x06, 0x00, 0x00, 0x05, 0x00, 0x0D, 0x03, 0x00, 0x00, 0x05, 0x01, 0x0D, 0x03,
};

} // namespace

// ---- requests -------------------------------------------------------------------

size_t olt_req_port_settings_read(const uint8_t mac[6], int port, uint8_t *out)
{
    size_t n = marked_port(mac, port, out);
    out[n++] = 0;
    return n;
}

size_t olt_req_port_settings_write(const uint8_t mac[6], int port, const uint8_t *entry, size_t entry_len,
                                   uint8_t *out)
{
    size_t n = marked_port(mac, port, out);
    out[n++] = 0;
    out[n++] = 1;
    memcpy(out + n, entry, entry_len);
    return n + entry_len;
}

size_t olt_req_olt_params(const uint8_t params[4], uint8_t *out)
{
    le_to_be16(params, out);
    out[2] = out[3] = 0;
    le_to_be16(params + 2, out + 4);
    return 6;
}

size_t olt_req_pon_params(const uint8_t mac[6], int port, const uint8_t *block, uint8_t *out)
{
    size_t n = mac_port(mac, port, out);
    out[n++] = block[1];
    out[n++] = 0x01;
    memset(out + n, 0, 4);
    n += 4;
    memcpy(out + n, block + 2, 3);
    return n + 3;
}

size_t olt_req_pon_clear(const uint8_t mac[6], int port, uint8_t *out)
{
    size_t n = mac_port(mac, port, out);
    memset(out + n, 0, 21);
    return n + 21;
}

size_t olt_req_pon_timing(const uint8_t mac[6], int port, uint8_t *out)
{
    static const uint8_t tail[11] = {0x00, 0x01, 0x03, 0xE8, 0x00, 0x00, 0x10, 0x00, 0x01, 0x01, 0x01};
    size_t n = mac_port(mac, port, out);
    memcpy(out + n, tail, sizeof tail);
    return n + sizeof tail;
}

size_t olt_req_drssi(const uint8_t mac[6], int port, bool on, uint8_t *out)
{
    static const uint8_t constant[4] = {0x32, 0xA2, 0x68, 0x02};
    size_t n = marked_port(mac, port, out);
    out[n++] = on ? 1 : 0;
    out[n++] = uint8_t(port);
    memcpy(out + n, constant, 4);
    n += 4;
    memset(out + n, 0, 20);
    return n + 20;
}

size_t olt_req_sfp_info(const uint8_t mac[6], int port, uint8_t *out) { return marked_port(mac, port, out); }

size_t olt_req_pon_table(const uint8_t mac[6], int port, const uint8_t *block, uint8_t *out)
{
    size_t n = mac_port(mac, port, out);
    if (block[5] == 0) {
        memset(out + n, 0, 7);
        return n + 7;
    }
    le_to_be32(block + 6, out + n);
    le_to_be16(block + 10, out + n + 4);
    out[n + 6] = 0;
    n += 7;
    for (int i = 0; i < 8; i++, n += 6) {
        le_to_be32(block + 12 + 6 * i, out + n);
        le_to_be16(block + 16 + 6 * i, out + n + 4);
    }
    return n;
}

size_t olt_req_pon_values(const uint8_t mac[6], int port, const uint8_t *block, uint8_t *out)
{
    size_t n = mac_port(mac, port, out);
    for (int i = 0; i < 7; i++, n += 2)
        le_to_be16(block + 60 + 2 * i, out + n);
    return n;
}

size_t olt_req_pon_levels(const uint8_t mac[6], int port, const uint8_t *block, uint8_t *out)
{
    size_t n = mac_port(mac, port, out);
    for (int i = 0; i < 8; i++, n += 2) {
        uint16_t level = load_le16(block + 74 + 2 * i) & 0x0FFF;
        store_be16(out + n, level ? uint16_t(level << 4) : 0x0001);
    }
    return n;
}

size_t olt_req_pon_switch(const uint8_t mac[6], int port, const uint8_t *block, uint8_t *out)
{
    size_t n = mac_port(mac, port, out);
    out[n++] = block[91];
    if (block[91])
        le_to_be16(block + 92, out + n);
    else
        out[n] = out[n + 1] = 0;
    return n + 2;
}

size_t olt_req_mac_port(const uint8_t mac[6], int port, uint8_t *out) { return mac_port(mac, port, out); }

size_t olt_req_indicator(int port, bool on, uint8_t *out)
{
    out[0] = port == 0 ? 0xA0 : 0xA1;
    out[1] = on ? 1 : 0;
    return 2;
}

size_t olt_req_nni_params(const uint8_t mac[6], int port, uint8_t *out)
{
    static const uint8_t tail[4] = {0x00, 0x1B, 0xB4, 0x87};
    size_t n = mac_port(mac, port, out);
    memcpy(out + n, tail, 4);
    return n + 4;
}

size_t olt_req_rules(const uint8_t mac[6], int port, const uint8_t *table, uint8_t *out)
{
    size_t n = marked_port(mac, port, out);
    out[n++] = 0;
    size_t count_at = n++;
    uint8_t count = 0;
    for (int slot = 0; slot < RULE_SLOTS; slot++) {
        const uint8_t *rule = table + slot * RULE_SLOT_SIZE;
        if (rule[0] == 0)
            continue;
        n += rule_encode(rule, out + n);
        count++;
    }
    out[count_at] = count;
    return count ? n : 0;
}

size_t olt_req_global_params(const uint8_t *block, uint8_t *out)
{
    le_to_be32(block, out);
    out[4] = 0;
    memcpy(out + 5, block + 5, 4);
    out[9] = block[10];
    return 10;
}

size_t olt_req_global_word(const uint8_t *block, uint8_t *out)
{
    le_to_be32(block, out);
    return 4;
}

size_t olt_req_global_shaping(const uint8_t *block, uint8_t *out)
{
    memset(out, 0, 10);
    le_to_be16(block + 21, out + 10);
    le_to_be16(block + 23, out + 12);
    out[14] = block[25];
    out[15] = block[26];
    out[16] = 0x08;
    memcpy(out + 17, block + 27, 8);
    out[25] = 0x08;
    memcpy(out + 26, block + 35, 8);
    return 34;
}

size_t olt_req_global_switch(uint8_t global_parameter, uint8_t *out)
{
    out[0] = global_parameter ? 1 : 0;
    out[1] = 0x00;
    out[2] = 0x0F;
    out[3] = 0x00;
    return 4;
}

size_t olt_req_option82(const uint8_t *block, uint8_t *out)
{
    le_to_be32(block, out);
    le_to_be16(block + 4, out + 4);
    out[6] = block[6];
    out[7] = block[7];
    le_to_be32(block + 8, out + 8);
    return 12;
}

size_t olt_req_identifiers(const uint8_t *block, uint8_t *out)
{
    le_to_be16(block, out);
    le_to_be16(block + 2, out + 2);
    le_to_be16(block + 4, out + 4);
    out[6] = block[6];
    out[7] = block[7];
    le_to_be32(block + 8, out + 8);
    out[12] = 0x01;
    out[13] = 0x05;
    return 14;
}

size_t olt_req_domain_setup(uint8_t *out)
{
    static const uint8_t data[8] = {0x00, 0x80, 0x00, 0x0F, 0x42, 0x40, 0x00, 0x00};
    memcpy(out, data, sizeof data);
    return sizeof data;
}

size_t olt_req_domain_queue(uint16_t domain_index, int which, uint8_t *out)
{
    store_be16(out, uint16_t(domain_index + 2 * which));
    store_be16(out + 2, uint16_t(which / 2));
    out[4] = 0x00;
    out[5] = 0x08;
    for (int i = 0; i < 8; i++) {
        out[6 + 2 * i] = 0x01;
        out[7 + 2 * i] = 0x00;
    }
    store_be16(out + 22, uint16_t(2 + which % 2));
    out[24] = out[25] = 0;
    return 26;
}

size_t olt_req_domain_create(uint16_t domain, uint16_t index, uint8_t *out)
{
    static const uint8_t middle[12] = {0x10, 0x10, 0x10, 0x02, 0x00, 0x00, 0x02, 0x00, 0x02, 0x00, 0x06, 0x02};
    static const uint8_t second[8] = {0x00, 0x00, 0x02, 0x00, 0x08, 0x00, 0x04, 0x02};
    store_be16(out, domain);
    out[2] = out[3] = 0;
    memcpy(out + 4, middle, sizeof middle);
    store_be16(out + 16, index);
    store_be16(out + 18, uint16_t(index + 2));
    memcpy(out + 20, second, sizeof second);
    store_be16(out + 28, uint16_t(index + 6));
    store_be16(out + 30, uint16_t(index + 4));
    return 32;
}

size_t olt_req_domain_rules(uint16_t domain, const uint8_t *entry, uint8_t *out)
{
    store_be16(out, domain);
    if (domain == DOMAIN_FIRST_ID) {
        memcpy(out + 2, DOMAIN_TEMPLATE_B, sizeof DOMAIN_TEMPLATE_B);
        return 2 + sizeof DOMAIN_TEMPLATE_B;
    }
    memcpy(out + 2, DOMAIN_TEMPLATE_A, sizeof DOMAIN_TEMPLATE_A);
    uint16_t vlan = load_le16(entry + DOMAIN_VLAN) & 0x0FFF;
    for (int half = 0; half < 2; half++) {
        out[DOMAIN_RULE_PARAM_AT[half]] = entry[DOMAIN_RULE_PARAM];
        store_be16(out + DOMAIN_RULE_VLAN_AT[half], vlan);
    }
    return 2 + sizeof DOMAIN_TEMPLATE_A;
}

size_t olt_req_domain_vlan(uint16_t domain, const uint8_t *entry, uint8_t *out)
{
    bool first = domain == DOMAIN_FIRST_ID;
    store_be16(out, domain);
    out[2] = 0x00;
    out[3] = 0x01;
    memset(out + 4, 0, 5);
    store_be16(out + 9, first ? 0 : uint16_t(load_le16(entry + DOMAIN_VLAN) << 4));
    out[11] = 0x00;
    out[12] = first ? 0x30 : 0x0C;
    return 13;
}

size_t olt_req_domain_address(uint16_t domain, const uint8_t *entry, uint8_t *out)
{
    // Offsets and values of the non-zero bytes after the domain; bytes 56..68
    // carry nothing the chip reads and are left zero.
    static const struct {
        uint8_t at, value;
    } fixed[] = {
        {5, 0x03},  {9, 0x03},  {15, 0x0F}, {16, 0x42}, {17, 0x40}, {20, 0x27}, {21, 0x10}, {23, 0x64},
        {27, 0x02}, {28, 0x30}, {29, 0xD4}, {30, 0x03}, {31, 0xE9}, {33, 0x64}, {35, 0x02}, {36, 0x0C},
        {37, 0x35}, {39, 0x02}, {41, 0x6E}, {43, 0x0A}, {46, 0x03}, {47, 0xE8}, {54, 0xFE}, {55, 0x80},
        {69, 0x01},
    };
    memset(out, 0, 70);
    store_be16(out, domain);
    for (const auto &f : fixed)
        out[f.at] = f.value;
    out[49] = entry[DOMAIN_ADDRESS_PARAM];
    memcpy(out + 50, entry + DOMAIN_ADDRESS, 4);
    return 70;
}

size_t olt_req_domain_address_remove(uint16_t domain, uint8_t *out)
{
    memset(out, 0, 70);
    store_be16(out, domain);
    return 70;
}

size_t olt_req_domain_remove(uint16_t domain, uint8_t *out)
{
    store_be16(out, domain);
    return 2;
}

size_t olt_req_domain_params(uint8_t *out)
{
    static const uint8_t data[6] = {0x11, 0x01, 0x00, 0x0A, 0x00, 0x0A};
    memcpy(out, data, sizeof data);
    return sizeof data;
}

bool olt_domain_wanted(uint16_t domain, const uint8_t *entry)
{
    return domain == DOMAIN_FIRST_ID || load_le16(entry + DOMAIN_VLAN) != 0;
}

size_t olt_req_base_llid_write(const uint8_t mac[6], int port, uint16_t llid, uint8_t *out)
{
    size_t n = mac_port(mac, port, out);
    store_be16(out + n, llid);
    out[n + 2] = out[n + 3] = 0;
    return n + 4;
}

// ---- answers -------------------------------------------------------------------

size_t olt_port_settings_entry_size(const uint8_t *p, size_t avail)
{
    byte_reader in(p, avail);
    in.u8();                       // the entry's first byte
    unsigned items = in.u8();
    for (unsigned i = 0; i < items; i++) {
        in.u8();                   // type
        in.skip(in.u8());          // length, value
    }
    unsigned fixed = in.u8();
    in.skip(size_t(fixed) * PORT_SETTINGS_ITEM);
    return in.ok() ? size_t(in.position() - p) : 0;
}

bool olt_port_settings_walk(const uint8_t *answer, size_t len,
                            const std::function<bool(const uint8_t *entry, size_t size)> &each)
{
    if (len <= PORT_SETTINGS_COUNT)
        return false;
    unsigned entries = answer[PORT_SETTINGS_COUNT];
    size_t at = PORT_SETTINGS_COUNT + 1;
    for (unsigned i = 0; i < entries; i++) {
        size_t size = olt_port_settings_entry_size(answer + at, len - at);
        if (size == 0)
            return false;
        if (!each(answer + at, size))
            return true;
        at += size;
    }
    return true;
}

bool olt_sfp_decode(const uint8_t *answer, size_t len, char vendor[SFP_TEXT], char part[SFP_TEXT])
{
    if (len < SFP_ANSWER_MIN)
        return false;
    memcpy(vendor, answer + SFP_VENDOR, SFP_TEXT - 1);
    vendor[SFP_TEXT - 1] = 0;
    memcpy(part, answer + SFP_PART, SFP_TEXT - 1);
    part[SFP_TEXT - 1] = 0;
    return true;
}

bool olt_sfp_drssi_supported(const char *part)
{
    for (const char *known : DRSSI_PARTS)
        if (strstr(part, known))
            return true;
    return false;
}

bool olt_base_llid_decode(const uint8_t *answer, size_t len, uint16_t *llid)
{
    if (len < BASE_LLID_AT + 2)
        return false;
    *llid = load_be16(answer + BASE_LLID_AT);
    return true;
}

bool olt_protocol_filter_patch(const uint8_t *answer, size_t len, uint8_t out[PROTOCOL_FILTER_SIZE])
{
    if (len < PROTOCOL_FILTER_SIZE)
        return false;
    memcpy(out, answer, PROTOCOL_FILTER_SIZE);
    memcpy(out + PROTOCOL_FILTER_PATCH_AT, PROTOCOL_FILTER_PATCH, PROTOCOL_FILTER_PATCH_SIZE);
    return true;
}
