// Reply attributes: the server's EAP-Message and State, and the vendor
// attributes (Vendor-Id 47105) that carry an ONU's configuration.
#include "auth/radius.h"

#include "base/balloc.h"
#include "base/bytes.h"
#include "onu/epon_rules.h"
#include "onu/onu_rules.h"
#include "store/datastruct.h"

#include <syslog.h>

#include <cstddef>
#include <cstring>

namespace {

// Where each fixed-size vendor type goes in the configuration record.
enum class kind : uint8_t { u8, u8_in_u32, u16, u32 };
struct vendor_field {
    uint8_t type;
    kind how;
    size_t offset;
};
constexpr size_t TAIL = offsetof(onu_record, cfg_tail);
constexpr size_t PROFILES = offsetof(onu_record, profiles);
constexpr size_t BYTES = offsetof(onu_record, cfg_bytes);
constexpr vendor_field VENDOR_FIELDS[] = {
    {100, kind::u8, offsetof(onu_record, type)},
    {102, kind::u8, offsetof(onu_record, configured_port)},
    {103, kind::u32, offsetof(onu_record, ont_id)},
    {104, kind::u16, TAIL},        // the network value
    {105, kind::u8, TAIL + 2},     // network byte 1
    {106, kind::u8, TAIL + 3},     // network byte 2
    {110, kind::u8_in_u32, offsetof(onu_record, state)},
    {111, kind::u8, PROFILES + 2},   // multicast
    {112, kind::u8, PROFILES + 4},   // paths
    {113, kind::u8, PROFILES + 3},   // link
    {114, kind::u8, PROFILES + 0},   // rules
    {115, kind::u8, PROFILES + 1},   // SLA
    {121, kind::u8, BYTES + 0},      // ONU blocked
    {122, kind::u8, BYTES + 3},      // block RFOUT
    {123, kind::u8, BYTES + 1},      // block UNI0
    {124, kind::u8, BYTES + 2},      // block UNI1
};
constexpr uint8_t VENDOR_DESCRIPTION = 101;
constexpr uint8_t VENDOR_RULE_FIRST = 116;   // PON, UNI0, UNI1: 116..118

size_t field_size(kind how)
{
    switch (how) {
    case kind::u16:
        return 2;
    case kind::u32:
        return 4;
    default:
        return 1;
    }
}

// A fixed-size value of `size` bytes (vendor length size + 2). With another
// vendor length the value is stored all the same from the bytes there are.
void store_field(onu_record *config, const vendor_field &field, const uint8_t *value, size_t size)
{
    uint8_t *to = reinterpret_cast<uint8_t *>(config) + field.offset;
    if (size < field_size(field.how))
        return;
    switch (field.how) {
    case kind::u8:
        *to = value[0];
        break;
    case kind::u8_in_u32: {
        uint32_t v = value[0];
        memcpy(to, &v, 4);
        break;
    }
    case kind::u16: {
        uint16_t v = load_be16(value);
        memcpy(to, &v, 2);
        break;
    }
    case kind::u32: {
        uint32_t v = load_be32(value);
        memcpy(to, &v, 4);
        break;
    }
    }
}

// One rule text into the next free entry of its table. Texts that do not
// translate, and texts past the table's last entry, are skipped.
void store_rule(onu_record *config, unsigned table, unsigned *count, const uint8_t *text, size_t size)
{
    if (*count >= unsigned(ONU_RULE_SLOTS))
        return;
    char *copy = static_cast<char *>(BALLOC(long(size) + 1));
    if (!copy)
        return;
    memcpy(copy, text, size);
    copy[size] = '\0';
    // Table t of the ONU's rule tables is the one of ONU port t (PON, UNI0,
    // UNI1).
    uint8_t *base = config->cfg_block + (onu_block_rule_table(config->cfg_block, uint16_t(table)) - config->cfg_block);
    if (epon_rule_translate_to_bin(copy, base + ONU_RULE_SIZE * *count) == 0) {
        base[ONU_RULE_STATES + *count] = ONU_RULE_OWN;
        (*count)++;
    }
    BFREE(copy);
}

// One attribute 26 of `size` value bytes. 0, or -1 for a wrong vendor length.
int vendor_attribute(const uint8_t *value, size_t size, onu_record *config, unsigned rules[3])
{
    if (size < 6 || load_be32(value) != RADIUS_VENDOR_ID)
        return 0;
    uint8_t type = value[4];
    size_t vendor_length = value[5];
    size_t have = size - 6;   // bytes after vendor type and vendor length
    // A vendor length that claims more than the attribute holds is cut to it.
    bool length_fits = vendor_length >= 2 && vendor_length - 2 <= have;
    size_t data_size = length_fits ? vendor_length - 2 : have;
    const uint8_t *data = value + 6;

    for (const vendor_field &field : VENDOR_FIELDS) {
        if (field.type != type)
            continue;
        int rc = 0;
        if (vendor_length != field_size(field.how) + 2) {
            syslog(LOG_ERR, "RADIUS: bad vendor specific attribute (%d) length", type);
            rc = -1;
        }
        store_field(config, field, data, data_size);
        return rc;
    }
    if (type == VENDOR_DESCRIPTION) {
        memset(config->description, 0, sizeof config->description);
        memcpy(config->description, data, data_size < sizeof config->description ? data_size : sizeof config->description - 1);
    } else if (type >= VENDOR_RULE_FIRST && type < VENDOR_RULE_FIRST + 3) {
        store_rule(config, type - VENDOR_RULE_FIRST, &rules[type - VENDOR_RULE_FIRST], data, data_size);
    }
    return 0;
}

} // namespace

int radius_parse_attributes(const uint8_t *reply, size_t size, onu_record *config, uint8_t *eap, uint8_t *state)
{
    unsigned rules[3] = {0, 0, 0};
    if (size < RADIUS_HEADER)
        return RADIUS_ERR_MALFORMED;
    size_t length = load_be16(reply + 2);
    if (length > size)
        length = size;
    int result = 0;
    bool disconnect = reply[0] == RADIUS_DISCONNECT_REQUEST;
    for (size_t at = RADIUS_HEADER; at < length;) {
        // A length below 2 would never move on, one past the end would read
        // beyond the packet: either ends the walk, and the answer is bad.
        if (length - at < 2 || reply[at + 1] < 2 || reply[at + 1] > length - at)
            return RADIUS_ERR_MALFORMED;
        uint8_t type = reply[at];
        size_t value_size = reply[at + 1] - 2u;
        const uint8_t *value = reply + at + 2;
        at += reply[at + 1];

        if (disconnect) {
            if (type == RADIUS_ATTR_USER_NAME && eap) {
                memcpy(eap, value, value_size);
                eap[value_size] = '\0';
            } else if (type == RADIUS_ATTR_ACCT_SESSION_ID && state) {
                memset(state, 0, 4);
                memcpy(state, value, value_size < 4 ? value_size : 4);
            }
            continue;
        }
        if (type == RADIUS_ATTR_VENDOR && config) {
            result |= vendor_attribute(value, value_size, config, rules);
        } else if (type == RADIUS_ATTR_EAP_MESSAGE && eap) {
            memcpy(eap, value, value_size);
        } else if (type == RADIUS_ATTR_STATE && state) {
            memset(state, 0, RADIUS_STATE_SIZE);
            memcpy(state, value, value_size < RADIUS_STATE_SIZE ? value_size : RADIUS_STATE_SIZE);
        }
    }
    return result;
}
