// ONU rule tables: merge and download. See onu_rules.h.
#include "onu/onu_rules.h"

#include "base/bytes.h"
#include "chip/tekrequest.h"
#include "engine/profiler_cache.h"
#include "onu/onu_ports.h"
#include "store/datastruct.h"
#include "wire/ids.h"
#include "wire/tekmsg.h"

#include <syslog.h>

#include <cstring>

namespace {

constexpr uint8_t RULE_SENT_MARK = 1;
constexpr uint8_t ACTION_RAW_PARAM_A = 0x02;
constexpr uint8_t ACTION_RAW_PARAM_B = 0x12;
constexpr uint8_t FIELD_MAC_FIRST = 0, FIELD_MAC_LAST = 1;
constexpr uint8_t FIELD_IPV4_FIRST = 12, FIELD_IPV4_LAST = 15;

uint8_t *rule_at(uint8_t *table, int slot) { return table + ONU_RULE_SIZE * size_t(slot); }
const uint8_t *rule_at(const uint8_t *table, int slot) { return table + ONU_RULE_SIZE * size_t(slot); }

void encode_clause(uint8_t *out, const uint8_t *clause)
{
    uint8_t field = clause[0];
    const uint8_t *value = clause + 1;
    out[0] = field;
    memset(out + 1, 0, 8);
    if (field == FIELD_MAC_FIRST || field == FIELD_MAC_LAST) {
        memcpy(out + 3, value, 6);
    } else if (field >= FIELD_IPV4_FIRST && field <= FIELD_IPV4_LAST) {
        memcpy(out + 5, value, 4);
    } else {
        // A 64-bit number kept least significant byte first.
        for (int i = 0; i < 8; i++)
            out[1 + i] = value[7 - i];
    }
    out[9] = clause[9];
}

} // namespace

void onu_rules_merge_table(uint8_t *table, const uint8_t *profile_table)
{
    uint8_t *state = table + ONU_RULE_STATES;
    int next = 0;
    for (int slot = 0; slot < ONU_RULE_SLOTS; slot++) {
        if (state[slot] != ONU_RULE_OWN)
            continue;
        if (slot != next) {
            memcpy(rule_at(table, next), rule_at(table, slot), ONU_RULE_SIZE);
            state[next] = ONU_RULE_OWN;
            state[slot] = ONU_RULE_EMPTY;
        }
        next++;
    }
    int last = next > 0 ? next - 1 : 0;
    // With no own rule, slot 0 stays out of use too: a profile rule left
    // there by an earlier configuration would otherwise be sent twice.
    for (int slot = next > 0 ? last + 1 : 0; slot < ONU_RULE_SLOTS; slot++)
        state[slot] = ONU_RULE_EMPTY;

    const uint8_t *profile_state = profile_table + ONU_RULE_STATES;
    int fill = last + 1;
    for (int p = 0; p < ONU_RULE_SLOTS && fill < ONU_RULE_SLOTS; p++) {
        if (profile_state[p] == 0)
            continue;
        memcpy(rule_at(table, fill), rule_at(profile_table, p), ONU_RULE_SIZE);
        state[fill++] = ONU_RULE_FROM_PROFILE;
    }
}

int onu_rules_merge(uint8_t *block, const uint8_t *profile)
{
    if (profile[RULES_PROFILE_ENABLED] == 0)
        return RULES_MERGE_DISABLED;
    onu_rules_merge_table(block + ONU_BLOCK_PON_RULES, profile + RULES_PROFILE_PON);
    onu_rules_merge_table(block + ONU_BLOCK_UNI0 + ONU_UNI_PARAMS_SIZE, profile + RULES_PROFILE_UNI0);
    onu_rules_merge_table(block + ONU_BLOCK_UNI1 + ONU_UNI_PARAMS_SIZE, profile + RULES_PROFILE_UNI1);
    return 0;
}

int profiler_onu_rules_merge(onu_record *onu)
{
    unsigned index = onu->profiles[0];
    if (index >= PROFILE_RULES_ENTRIES)
        return RULES_MERGE_DISABLED;
    return onu_rules_merge(onu->cfg_block, cfgcache()->rules[index]);
}

size_t onu_rule_encode(uint8_t *out, const uint8_t *rule, bool pon)
{
    uint8_t action = rule[2];
    out[0] = RULE_SENT_MARK;
    out[1] = rule[1];
    out[2] = action;
    if (action == ACTION_RAW_PARAM_A || action == ACTION_RAW_PARAM_B) {
        out[3] = uint8_t(rule[3] + (pon ? 1 : 0));
        out[4] = rule[4];
    } else {
        store_be16(out + 3, load_le16(rule + 3));
    }
    // An entry has room for eight clauses; a larger count is not believed.
    int clauses = rule[5] < ONU_RULE_CLAUSES_MAX ? rule[5] : ONU_RULE_CLAUSES_MAX;
    out[5] = uint8_t(clauses);
    for (int c = 0; c < clauses; c++)
        encode_clause(out + ONU_RULE_HEADER + ONU_RULE_CLAUSE * size_t(c),
                      rule + ONU_RULE_HEADER + ONU_RULE_CLAUSE * size_t(c));
    return ONU_RULE_HEADER + ONU_RULE_CLAUSE * size_t(clauses);
}

int onu_rules_messages(const uint8_t *table, const uint8_t mac[6], uint16_t port,
                       onu_rules_message out[ONU_RULES_MESSAGES_MAX])
{
    const uint8_t *state = table + ONU_RULE_STATES;
    int messages = 0;
    auto start = [&](onu_rules_message &m) {
        memcpy(m.data, mac, 6);
        store_be16(m.data + 6, port);
        m.data[8] = messages == 0 ? ONU_RULES_FIRST_MARK : 0;
        m.data[9] = 0;
        m.len = ONU_RULES_MESSAGE_HEADER;
    };
    start(out[0]);
    for (int slot = 0; slot < ONU_RULE_SLOTS; slot++) {
        if (state[slot] == ONU_RULE_EMPTY)
            continue;
        onu_rules_message &m = out[messages];
        m.len += onu_rule_encode(m.data + m.len, rule_at(table, slot), port == 0);
        if (++m.data[9] == ONU_RULES_PER_MESSAGE)
            start(out[++messages]);
    }
    return messages + 1;
}

const uint8_t *onu_block_rule_table(const uint8_t *block, uint16_t port)
{
    switch (port) {
    case ONU_PORT_PON:
        return block + ONU_BLOCK_PON_RULES;
    case ONU_PORT_UNI0:
        return block + ONU_BLOCK_UNI0 + ONU_UNI_PARAMS_SIZE;
    case ONU_PORT_UNI1:
        return block + ONU_BLOCK_UNI1 + ONU_UNI_PARAMS_SIZE;
    default:
        return nullptr;
    }
}

int profiler_onu_rules_internal(int olt, const uint8_t mac[6], uint16_t port, const uint8_t *block)
{
    const uint8_t *table = onu_block_rule_table(block, port);
    if (!table)
        return TEK_RC_REFUSED;
    static_assert(sizeof(onu_rules_message) * ONU_RULES_MESSAGES_MAX < 8192, "kept on the stack");
    onu_rules_message messages[ONU_RULES_MESSAGES_MAX];
    int count = onu_rules_messages(table, mac, port, messages);
    for (int i = 0; i < count; i++) {
        uint16_t rcode;
        int rc =
            tekrequest_result(olt, TEK_REQ_ONU_RULES, messages[i].data, messages[i].len, TEKREQUEST_TIMEOUT, &rcode);
        if (rc < 0) {
            syslog(LOG_ERR, "profiler_onu_rules_internal(): ret = %d\n", rc);
            return rc;
        }
        if (rc == TEK_RC_NO_MEMORY)
            return rc;
        if (rc != 0) {
            syslog(LOG_ERR, "profiler_onu_rules_internal(): response->header.rcode = %d\n", rcode);
            return TEK_RC_REFUSED;
        }
    }
    return 0;
}
