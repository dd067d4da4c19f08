// Rule encoder: slot layout to the chip's rule format. See rule_encoder.h.
#include "engine/rule_encoder.h"

#include "base/bytes.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t SLOT_PRECEDENCE = 1;
constexpr size_t SLOT_CONDITION_COUNT = 2;
constexpr size_t SLOT_CONDITIONS = 3;
constexpr size_t CONDITION_SIZE = 6;
constexpr size_t SLOT_ACTION_COUNT = 27;
constexpr size_t SLOT_ACTIONS = 28;
constexpr size_t ACTION_SIZE = 12;
constexpr size_t ACTION_CODE = 1;      // in the header
constexpr size_t ACTION_VALUE = 3;
constexpr size_t ACTION_FINAL = 11;
constexpr size_t ACTION_VALUE_SIZE = 8;

// A condition value (5 bytes, little-endian numbers) in the chip's form:
// the length byte and the bytes after it. false: the field code carries
// no value on the chip, so not even a length byte is written.
bool condition_value(uint8_t code, const uint8_t *v, uint8_t *len, uint8_t *out)
{
    switch (code) {
    case 2: case 3: case 14: case 19:
        *len = 2;
        memcpy(out, v, 2);
        return true;
    case 4:
        *len = 5;
        store_be16(out, load_le16(v));
        store_be16(out + 2, load_le16(v + 2));
        out[4] = v[4];
        return true;
    case 5: case 7: case 8: case 13:
        *len = 1;
        out[0] = v[0];
        return true;
    case 9: case 10:
        *len = 4;
        out[0] = out[1] = 0;
        store_be16(out + 2, load_le16(v));
        return true;
    case 12:
        *len = 0;
        return true;
    case 16:
        *len = 1;
        out[0] = uint8_t(v[0] * 4);
        return true;
    case 18:
        *len = 3;
        store_be16(out, load_le16(v));
        out[2] = v[2];
        return true;
    case 23:
        out[0] = v[0];
        if (v[0] == 5 || v[0] == 1) {
            *len = 2;
            out[1] = v[1];
        } else if (v[0] == 8) {
            *len = 2;
            out[1] = uint8_t(v[1] * 4);
        } else {
            *len = 3;
            store_be16(out + 1, load_le16(v + 1));
        }
        return true;
    default:
        return false;
    }
}

bool reversed_code(uint8_t code)
{
    return (code >= 3 && code <= 11) || code == 16 || code == 17 || code == 20 || code == 21 || code == 22;
}

// One 12-byte action, rearranged for the chip in place (a copy).
void convert_action(uint8_t *a)
{
    if (a[ACTION_FINAL] == 7 || a[ACTION_FINAL] == 0)
        a[0] = 1;
    uint8_t *value = a + ACTION_VALUE;
    uint8_t code = a[ACTION_CODE];
    if (reversed_code(code)) {
        std::reverse(value, value + ACTION_VALUE_SIZE);
    } else if (code == 12 || code == 14) {
        memcpy(value + 4, value, 4);
        memset(value, 0, 4);
    } else if (code == 1 || code == 2) {
        memmove(value + 2, value, 6);
        value[0] = value[1] = 0;
    }
}

} // namespace

size_t rule_encode(const uint8_t slot[RULE_SLOT_SIZE], uint8_t *out)
{
    size_t n = 0;
    out[n++] = slot[SLOT_PRECEDENCE];
    size_t conditions = std::min<size_t>(slot[SLOT_CONDITION_COUNT], RULE_CONDITIONS_MAX);
    out[n++] = uint8_t(conditions);
    for (size_t i = 0; i < conditions; i++) {
        const uint8_t *c = slot + SLOT_CONDITIONS + i * CONDITION_SIZE;
        out[n++] = c[0];
        uint8_t len = 0;
        uint8_t value[5];
        if (condition_value(c[0], c + 1, &len, value)) {
            out[n++] = len;
            memcpy(out + n, value, len);
            n += len;
        }
    }
    size_t actions = std::min<size_t>(slot[SLOT_ACTION_COUNT], RULE_ACTIONS_MAX);
    out[n++] = uint8_t(actions);
    for (size_t i = 0; i < actions; i++) {
        uint8_t action[ACTION_SIZE];
        memcpy(action, slot + SLOT_ACTIONS + i * ACTION_SIZE, ACTION_SIZE);
        convert_action(action);
        memcpy(out + n, action, ACTION_SIZE);
        n += ACTION_SIZE;
    }
    return n;
}
