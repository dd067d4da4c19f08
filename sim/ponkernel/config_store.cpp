#include "ponkernel/config_store.h"

#include "wire/olt_config.h"

#include "base/bytes.h"
#include "common/textfile.h"
#include "common/mgmt_conn.h"
#include "platform/sandbox.h"
#include "platform/textconv.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

using json = nlohmann::json;

namespace {

constexpr size_t PARAMS = CFG_PARAMS_SIZE;
constexpr uint16_t CMD_FORWARD_SETTING = 0x302C;


// Offsets in the RADIUS settings.
constexpr size_t RADIUS_PRIMARY = 1;
constexpr size_t RADIUS_SECONDARY = 5;
constexpr size_t RADIUS_AUTH_LOCAL_PORT = 9;
constexpr size_t RADIUS_AUTH_PORT = 11;
constexpr size_t RADIUS_INTERIM = 270;
constexpr size_t RADIUS_ACCT_LOCAL_PORT = 272;
constexpr size_t RADIUS_ACCT_PORT = 274;
constexpr size_t RADIUS_ACCT_LOCAL_PORT2 = 276;

struct type_name {
    const char *name;
    unsigned type;
};
constexpr type_name PROFILE_NAMES[] = {
    {"link", PROFILE_TYPE_LINK},   {"sla", PROFILE_TYPE_SLA},     {"paths", PROFILE_TYPE_PATHS},
    {"multicast", PROFILE_TYPE_MULTICAST}, {"rules", PROFILE_TYPE_RULES},
};

[[noreturn]] void fail(const std::string &why) { throw std::runtime_error(why); }

std::vector<uint8_t> hex(const json &value, const std::string &what)
{
    std::vector<uint8_t> out;
    if (!value.is_string() || !mgmt_parse_hex(value.get<std::string>(), out))
        fail(what + ": hex bytes expected");
    return out;
}

unsigned number(const json &object, const char *key, unsigned max, unsigned fallback)
{
    if (!object.contains(key))
        return fallback;
    const json &v = object[key];
    unsigned long n = 0;
    if (v.is_number_unsigned())
        n = v.get<unsigned long>();
    else if (v.is_string())
        n = strtoul(v.get<std::string>().c_str(), nullptr, 0);
    else
        fail(std::string(key) + ": a number expected");
    if (n > max)
        fail(std::string(key) + ": " + std::to_string(n) + " is above " + std::to_string(max));
    return unsigned(n);
}

void text(uint8_t *out, size_t size, const json &object, const char *key)
{
    if (!object.contains(key))
        return;
    if (!object[key].is_string())
        fail(std::string(key) + ": text expected");
    std::string s = object[key].get<std::string>();
    if (s.size() >= size)
        fail(std::string(key) + ": longer than " + std::to_string(size - 1) + " characters");
    memset(out, 0, size);
    memcpy(out, s.data(), s.size());
}

void ipv4(uint8_t *out, const json &object, const char *key)
{
    if (!object.contains(key))
        return;
    in_addr addr{};
    if (!object[key].is_string() || inet_pton(AF_INET, object[key].get<std::string>().c_str(), &addr) != 1)
        fail(std::string(key) + ": an IPv4 address expected");
    memcpy(out, &addr, 4);
}

void mac(uint8_t out[6], const json &object)
{
    unsigned b[6];
    if (!object.contains("mac") || !object["mac"].is_string() ||
        sscanf(object["mac"].get<std::string>().c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3],
               &b[4], &b[5]) != 6)
        fail("mac: \"XX:XX:XX:XX:XX:XX\" expected");
    for (int i = 0; i < 6; i++)
        out[i] = uint8_t(b[i]);
}

// "patch": {"offset": "hex bytes", ...} over a buffer of `size` bytes.
void patch(uint8_t *buffer, size_t size, const json &object, const std::string &what)
{
    if (!object.contains("patch"))
        return;
    if (!object["patch"].is_object())
        fail(what + ": patch must be an object of offsets");
    for (auto &[key, value] : object["patch"].items()) {
        char *end = nullptr;
        unsigned long at = strtoul(key.c_str(), &end, 0);
        std::vector<uint8_t> bytes = hex(value, what + " patch " + key);
        if (*end != '\0' || at > size || bytes.size() > size - at)
            fail(what + ": patch at " + key + " does not fit " + std::to_string(size) + " bytes");
        if (!bytes.empty())
            memcpy(buffer + at, bytes.data(), bytes.size());
    }
}

// ---- the OLT configuration (answer data of 0x1004) ---------------------------

// A number into `size` little-endian bytes, or hex bytes as they are.
void value_bytes(uint8_t *out, size_t size, const json &v, const std::string &what)
{
    if (v.is_number_unsigned()) {
        uint64_t n = v.get<uint64_t>();
        for (size_t i = 0; i < size; i++, n >>= 8)
            out[i] = uint8_t(n);
        if (n)
            fail(what + ": value does not fit " + std::to_string(size) + " bytes");
        return;
    }
    std::vector<uint8_t> b = hex(v, what);
    if (b.size() > size)
        fail(what + ": more than " + std::to_string(size) + " bytes");
    memcpy(out, b.data(), b.size());
}

// One rule slot (124 bytes) from its readable form:
//   {"precedence": 1,
//    "conditions": [{"field": 9, "value": 100}, ...],          at most 4
//    "actions": [{"flag": 1, "code": 5, "param": 0, "value": 7, "final": 5}, ...]}   at most 8
// Values are numbers (stored little-endian, as the module stores them) or hex.
void parse_rule(uint8_t *slot, const json &r, const std::string &what)
{
    slot[0] = 1;
    slot[1] = uint8_t(number(r, "precedence", 255, 0));
    const json none = json::array();
    const json &conditions = r.contains("conditions") ? r["conditions"] : none;
    const json &actions = r.contains("actions") ? r["actions"] : none;
    if (conditions.size() > RULE_CONDITIONS_MAX || actions.size() > RULE_ACTIONS_MAX)
        fail(what + ": at most 4 conditions and 8 actions");
    slot[2] = uint8_t(conditions.size());
    for (size_t i = 0; i < conditions.size(); i++) {
        uint8_t *c = slot + 3 + 6 * i;
        c[0] = uint8_t(number(conditions[i], "field", 255, 0));
        if (conditions[i].contains("value"))
            value_bytes(c + 1, 5, conditions[i]["value"], what + " condition");
    }
    slot[27] = uint8_t(actions.size());
    for (size_t i = 0; i < actions.size(); i++) {
        uint8_t *a = slot + 28 + 12 * i;
        a[0] = uint8_t(number(actions[i], "flag", 255, 0));
        a[1] = uint8_t(number(actions[i], "code", 255, 0));
        a[2] = uint8_t(number(actions[i], "param", 255, 0));
        if (actions[i].contains("value"))
            value_bytes(a + 3, 8, actions[i]["value"], what + " action");
        a[11] = uint8_t(number(actions[i], "final", 255, 0));
    }
}

// "rules": up to four tables, each a list of up to 16 rules.
void parse_rule_tables(uint8_t *tables, const json &port, const std::string &what)
{
    if (!port.contains("rules"))
        return;
    const json &list = port["rules"];
    if (!list.is_array() || list.size() > size_t(RULE_TABLES))
        fail(what + ": rules must be up to four tables");
    for (size_t t = 0; t < list.size(); t++) {
        if (!list[t].is_array() || list[t].size() > size_t(RULE_SLOTS))
            fail(what + ": a rule table holds up to 16 rules");
        for (size_t s = 0; s < list[t].size(); s++)
            parse_rule(tables + t * RULE_TABLE_SIZE + s * RULE_SLOT_SIZE, list[t][s], what + " rule");
    }
}

void parse_olt(std::vector<uint8_t> &c, const json &e, const std::string &what)
{
    std::fill(c.begin(), c.end(), uint8_t(number(e, "fill", 255, 0)));
    if (e.contains("params") && e["params"].is_array() && e["params"].size() == 2) {
        store_le16(&c[OLT_CONFIG_PARAMS], uint16_t(e["params"][0].get<unsigned>()));
        store_le16(&c[OLT_CONFIG_PARAMS + 2], uint16_t(e["params"][1].get<unsigned>()));
    }
    if (e.contains("pon_enable") && e["pon_enable"].is_array())
        for (size_t p = 0; p < 2 && p < e["pon_enable"].size(); p++)
            c[OLT_CONFIG_PON[p] + PON_ENABLE] = uint8_t(e["pon_enable"][p].get<unsigned>());
    for (const char *kind : {"pon", "nni"}) {
        if (!e.contains(kind))
            continue;
        bool pon = kind[0] == 'p';
        const json &ports = e[kind];
        if (!ports.is_array() || ports.size() > 2)
            fail(what + ": " + kind + " must list up to two ports");
        for (size_t p = 0; p < ports.size(); p++) {
            uint8_t *block = &c[pon ? OLT_CONFIG_PON[p] : OLT_CONFIG_NNI[p]];
            std::string port_what = what + " " + kind + std::to_string(p);
            if (pon) {
                block[PON_ENABLE] = uint8_t(number(ports[p], "enable", 255, block[PON_ENABLE]));
                if (ports[p].contains("params"))
                    value_bytes(block + 1, 4, ports[p]["params"], port_what + " params");
            }
            parse_rule_tables(block + (pon ? PON_RULES : NNI_RULES), ports[p], port_what);
        }
    }
    if (e.contains("global")) {
        uint8_t *g = &c[OLT_CONFIG_GLOBAL];
        store_le32(g, number(e["global"], "word", ~0u, 0));
        g[GLOBAL_PARAMETER] = uint8_t(number(e["global"], "parameter", 255, 0));
    }
    if (e.contains("option82"))
        c[OLT_CONFIG_OPTION + OPTION_FORMAT] = uint8_t(number(e["option82"], "format", 255, 0));
    if (e.contains("identifiers")) {
        uint8_t *ids = &c[OLT_CONFIG_IDENTIFIERS];
        ids[IDENTIFIER_FORMAT] = uint8_t(number(e["identifiers"], "format", 255, 0));
        text(ids + IDENTIFIER_CIRCUIT, IDENTIFIER_TEMPLATE_SIZE, e["identifiers"], "circuit");
        text(ids + IDENTIFIER_REMOTE, IDENTIFIER_TEMPLATE_SIZE, e["identifiers"], "remote");
    }
    if (e.contains("domains")) {
        const json &list = e["domains"];
        if (!list.is_array() || list.size() > size_t(DOMAIN_COUNT))
            fail(what + ": domains must list up to four entries");
        for (size_t k = 0; k < list.size(); k++) {
            uint8_t *d = &c[OLT_CONFIG_DOMAINS + k * DOMAIN_ENTRY_SIZE];
            d[DOMAIN_ENABLED] = uint8_t(number(list[k], "enabled", 255, 0));
            d[DOMAIN_ADDRESS_PARAM] = uint8_t(number(list[k], "address_param", 255, 0));
            store_le16(d + DOMAIN_VLAN, uint16_t(number(list[k], "vlan", 0xFFFF, 0)));
            d[DOMAIN_RULE_PARAM] = uint8_t(number(list[k], "rule_param", 255, 0));
            ipv4(d + DOMAIN_ADDRESS, list[k], "address");
        }
    }
    patch(c.data(), c.size(), e, what);
}

void parse_system(uint8_t *system, const json &s)
{
    store_le32(system, number(s, "word", 0xFFFFFFFF, load_le32(system)));
    text(system + SYSTEM_HOSTNAME, 256, s, "hostname");
    ipv4(system + SYSTEM_DEVICE_ADDRESS, s, "address");
    patch(system, SYSTEM_SETTINGS_SIZE, s, "system");
}

void parse_radius(uint8_t *r, const json &s)
{
    r[RADIUS_AUTH_ENABLED] = uint8_t(number(s, "auth", 1, r[RADIUS_AUTH_ENABLED]));
    ipv4(r + RADIUS_PRIMARY, s, "primary");
    ipv4(r + RADIUS_SECONDARY, s, "secondary");
    store_le16(r + RADIUS_AUTH_LOCAL_PORT, uint16_t(number(s, "auth_local_port", 65535, load_le16(r + RADIUS_AUTH_LOCAL_PORT))));
    store_le16(r + RADIUS_AUTH_PORT, uint16_t(number(s, "auth_port", 65535, load_le16(r + RADIUS_AUTH_PORT))));
    text(r + RADIUS_SECRET, 256, s, "secret");
    r[RADIUS_ACCT_ENABLED] = uint8_t(number(s, "accounting", 1, r[RADIUS_ACCT_ENABLED]));
    store_le16(r + RADIUS_INTERIM, uint16_t(number(s, "interim_minutes", 65535, load_le16(r + RADIUS_INTERIM))));
    store_le16(r + RADIUS_ACCT_LOCAL_PORT, uint16_t(number(s, "acct_local_port", 65535, load_le16(r + RADIUS_ACCT_LOCAL_PORT))));
    store_le16(r + RADIUS_ACCT_PORT, uint16_t(number(s, "acct_port", 65535, load_le16(r + RADIUS_ACCT_PORT))));
    store_le16(r + RADIUS_ACCT_LOCAL_PORT2, uint16_t(number(s, "acct_local_port2", 65535, load_le16(r + RADIUS_ACCT_LOCAL_PORT2))));
    patch(r, RADIUS_SETTINGS_SIZE, s, "radius");
}

// One profile entry, written whole: "fill" (default 0), the named fields of
// its type, then "patch". Returns the entry index.
unsigned parse_profile(cfg_cache *tables, unsigned type, const char *name, const json &e)
{
    cfg_profile_table table;
    cfgcache_table(tables, type, &table);
    unsigned index = number(e, "index", table.entries - 1, ~0u);
    if (index == ~0u)
        fail(std::string(name) + " profile without an index");
    uint8_t *entry = table.base + index * table.entry_size;
    memset(entry, int(number(e, "fill", 255, 0)), table.entry_size);
    if (type == PROFILE_TYPE_LINK)
        entry[LINK_PROFILE_LINK_COUNT] = uint8_t(number(e, "links", 4, 4));
    if (type == PROFILE_TYPE_RULES)
        entry[0] = uint8_t(number(e, "in_use", 255, entry[0]));
    patch(entry, table.entry_size, e, std::string(name) + " profile " + std::to_string(index));
    return index;
}

std::vector<uint8_t> parse_onu(const json &e)
{
    std::vector<uint8_t> r(ONT_CONFIG_SIZE);
    r[ONT_CONFIG_TYPE] = uint8_t(number(e, "type", 255, 1));
    mac(&r[ONT_CONFIG_MAC], e);
    text(&r[ONT_CONFIG_SECRET], ONT_SECRET_SIZE, e, "secret");
    if (e.contains("profiles")) {
        const json &p = e["profiles"];
        // rules, SLA, multicast, link, paths; rules below 128, the others below 64
        const char *keys[5] = {"rules", "sla", "multicast", "link", "paths"};
        for (int i = 0; i < 5; i++) {
            unsigned max = i == 0 ? PROFILE_RULES_ENTRIES - 1 : PROFILE_ENTRIES - 1;
            r[ONT_CONFIG_PROFILES + size_t(i)] = uint8_t(number(p, keys[i], max, 0));
        }
    }
    store_le32(&r[ONT_CONFIG_ONT_ID], number(e, "ont_id", 0xFFFFFFFF, 0));
    text(&r[ONT_CONFIG_DESCRIPTION], 256, e, "description");
    r[ONT_CONFIG_PORT] = uint8_t(number(e, "port", 255, 255));
    for (auto [key, at] : {std::pair{"config_bytes", ONT_CONFIG_BYTES}, std::pair{"config_tail", ONT_CONFIG_TAIL}})
        if (e.contains(key)) {
            std::vector<uint8_t> b = hex(e[key], key);
            if (b.size() != 4)
                fail(std::string(key) + ": four bytes expected");
            memcpy(&r[at], b.data(), 4);
        }
    // The block's last byte is the link count.
    r[ONT_CONFIG_BLOCK + ONT_CONFIG_BLOCK_SIZE - 1] = uint8_t(number(e, "links", 4, 4));
    patch(&r[ONT_CONFIG_BLOCK], ONT_CONFIG_BLOCK_SIZE, e, "onu config block");
    return r;
}

void put_bitmap(uint8_t *p, uint64_t bits)
{
    store_le32(p, uint32_t(bits >> 32));
    store_le32(p + 4, uint32_t(bits));
}

void touch_flag(const char *board_path, bool raised)
{
    std::string path = sandbox_path(board_path);
    if (raised) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd >= 0)
            close(fd);
    } else {
        unlink(path.c_str());
    }
}

std::vector<uint8_t> echo(const uint8_t *payload, size_t len)
{
    std::vector<uint8_t> params(PARAMS);
    if (len > 0)   // a request without payload may come with no buffer at all
        memcpy(params.data(), payload, std::min(len, PARAMS));
    return params;
}

} // namespace

config_store::config_store() : tables_(static_cast<cfg_cache *>(calloc(1, sizeof(cfg_cache))), free)
{
    if (!tables_)
        abort();
    for (auto &olt : olt_config_)
        olt.assign(OLT_CONFIG_SIZE, 0);
}

config_store::~config_store() = default;

bool config_store::load_file(const std::string &path, std::string &error)
{
    std::string text;
    return read_text_file(path, text, error) && load_text(text, error);
}

bool config_store::load_text(const std::string &text, std::string &error) { return parse(text, true, error); }

bool config_store::edit(const std::string &text, std::string &error) { return parse(text, false, error); }

bool config_store::parse(const std::string &text, bool whole, std::string &error)
{
    // Parsed into copies and swapped in only when everything was valid.
    std::unique_ptr<cfg_cache, void (*)(void *)> tables(static_cast<cfg_cache *>(calloc(1, sizeof(cfg_cache))), free);
    if (!tables) {
        error = "out of memory";
        return false;
    }
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<uint8_t> olts[4];
    std::vector<onu_entry> onus;
    uint64_t marks[6][2] = {};
    bool system = false, radius = false, reload = false;
    if (!whole) {
        memcpy(tables.get(), tables_.get(), sizeof(cfg_cache));
        for (int i = 0; i < 4; i++)
            olts[i] = olt_config_[i];
        onus = onus_;
    } else {
        for (auto &olt : olts)
            olt.assign(OLT_CONFIG_SIZE, 0);
    }
    try {
        json doc = json::parse(text);
        if (!doc.is_object())
            fail("a JSON object expected");
        if (doc.contains("system")) {
            parse_system(tables->system, doc["system"]);
            system = true;
        }
        if (doc.contains("radius")) {
            parse_radius(tables->radius, doc["radius"]);
            radius = true;
        }
        if (doc.contains("profiles")) {
            for (auto &[name, list] : doc["profiles"].items()) {
                const type_name *kind = nullptr;
                for (const auto &t : PROFILE_NAMES)
                    if (name == t.name)
                        kind = &t;
                if (!kind || !list.is_array())
                    fail("profiles: \"" + name + "\" is no list of a known profile type");
                for (const json &e : list) {
                    unsigned index = parse_profile(tables.get(), kind->type, kind->name, e);
                    marks[kind->type][index / 64] |= uint64_t(1) << (index % 64);
                }
            }
        }
        if (whole && doc.contains("olts")) {
            for (const json &e : doc["olts"]) {
                unsigned index = number(e, "index", 3, ~0u);
                if (index == ~0u)
                    fail("olts: an entry without an index");
                parse_olt(olts[index], e, "olt " + std::to_string(index));
            }
        }
        if (whole && doc.contains("onus")) {
            for (const json &e : doc["onus"]) {
                onu_entry entry{parse_onu(e)};
                for (const auto &other : onus)
                    if (memcmp(&other.record[ONT_CONFIG_MAC], &entry.record[ONT_CONFIG_MAC], 6) == 0)
                        fail("onus: " + e["mac"].get<std::string>() + " configured twice");
                onus.push_back(std::move(entry));
            }
            if (onus.size() > CONFIG_STORE_MAX_ONUS)
                fail("onus: more than 2000");
        }
        reload = !whole && doc.value("reload_all", false);
    } catch (const std::exception &e) {
        error = e.what();
        return false;
    }

    tables_ = std::move(tables);
    for (int i = 0; i < 4; i++)
        olt_config_[i] = std::move(olts[i]);
    onus_ = std::move(onus);
    if (whole) {
        next_ont_id_ = 1;
        for (const auto &o : onus_)
            next_ont_id_ = std::max(next_ont_id_, load_le32(&o.record[ONT_CONFIG_ONT_ID]) + 1);
        memset(changed_, 0, sizeof changed_);
        system_changed_ = radius_changed_ = reload_all_ = false;
    } else {
        for (int t = 0; t < 6; t++)
            for (int h = 0; h < 2; h++)
                changed_[t][h] |= marks[t][h];
        system_changed_ |= system;
        radius_changed_ |= radius;
        reload_all_ |= reload;
    }
    flags_update();
    return true;
}

void config_store::flags_update()
{
    // Only what changed touches the file system: a store that was never
    // edited never creates or removes a file.
    bool any = reload_all_ || system_changed_;
    for (auto &type : changed_)
        any = any || type[0] || type[1];
    if (any != config_flag_) {
        touch_flag(CONFIG_CHANGED_FLAG, any);
        config_flag_ = any;
    }
    if (radius_changed_ != radius_flag_) {
        touch_flag(RADIUS_CHANGED_FLAG, radius_changed_);
        radius_flag_ = radius_changed_;
    }
}

config_store::onu_entry *config_store::find_onu(const uint8_t *mac)
{
    for (auto &o : onus_)
        if (memcmp(&o.record[ONT_CONFIG_MAC], mac, 6) == 0)
            return &o;
    return nullptr;
}

void config_store::refuse(uint16_t cmd, uint8_t rcode)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (rcode)
        refusals_[cmd] = rcode;
    else
        refusals_.erase(cmd);
}

void config_store::silence(uint16_t cmd, bool on)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (on)
        silent_.insert(cmd);
    else
        silent_.erase(cmd);
}

unsigned config_store::asked(uint16_t cmd)
{
    std::lock_guard<std::mutex> hold(lock_);
    auto it = asked_.find(cmd);
    return it == asked_.end() ? 0 : it->second;
}

unsigned config_store::onus()
{
    std::lock_guard<std::mutex> hold(lock_);
    return unsigned(onus_.size());
}

config_reply config_store::profiles_update(unsigned type, const std::vector<uint8_t> &params)
{
    config_reply reply;
    cfg_profile_table table;
    if (!cfgcache_table(tables_.get(), type, &table)) {
        reply.rcode = CFG_RC_INCORRECT;
        reply.payload = params;
        return reply;
    }
    uint64_t *pending = changed_[type];
    std::vector<unsigned> positions;
    for (unsigned n = 0; n < table.entries; n++)
        if (pending[n / 64] >> (n % 64) & 1)
            positions.push_back(n);
    unsigned count = unsigned(std::min<size_t>(positions.size(), 255));
    unsigned send = table.per_answer ? std::min(count, table.per_answer) : count;

    reply.payload = params;
    size_t at = reply.payload.size();
    reply.payload.resize(at + PROFILE_UPDATE_HEADER + send * table.entry_size);
    uint8_t *header = &reply.payload[at];
    put_bitmap(header, pending[0]);
    put_bitmap(header + 8, pending[1]);
    header[16] = uint8_t(count);
    header[17] = uint8_t(type);
    uint8_t *record = header + PROFILE_UPDATE_HEADER;
    for (unsigned i = 0; i < send; i++) {
        unsigned n = positions[i];
        memcpy(record, table.base + n * table.entry_size, table.entry_size);
        record += table.entry_size;
        pending[n / 64] &= ~(uint64_t(1) << (n % 64));
    }
    flags_update();
    return reply;
}

config_reply config_store::answer(uint16_t cmd, const uint8_t *payload, size_t len)
{
    std::lock_guard<std::mutex> hold(lock_);
    asked_[cmd]++;
    config_reply reply;
    if (silent_.count(cmd)) {
        reply.silent = true;
        return reply;
    }
    std::vector<uint8_t> params = echo(payload, len);
    auto refused = refusals_.find(cmd);
    if (refused != refusals_.end()) {
        reply.rcode = refused->second;
        reply.payload = params;
        return reply;
    }
    auto with = [&](const uint8_t *data, size_t size) {
        reply.payload = params;
        reply.payload.insert(reply.payload.end(), data, data + size);
    };
    auto not_found = [&] {
        reply.rcode = CFG_RC_NOT_FOUND;
        reply.payload = params;
    };
    cfg_cache *t = tables_.get();
    switch (cmd) {
    case CFG_CMD_PING:
        break;
    case CFG_CMD_OLT_CONFIG: {
        uint32_t olt = load_le32(params.data());
        if (olt < 4)
            with(olt_config_[olt].data(), OLT_CONFIG_SIZE);
        else
            not_found();
        break;
    }
    case CFG_CMD_ONT_SECRET:
    case CFG_CMD_ONT_CONFIG:
    case CFG_CMD_ONT_DESCRIPTION: {
        onu_entry *onu = find_onu(&params[8]);
        if (!onu)
            not_found();
        else if (cmd == CFG_CMD_ONT_SECRET)
            with(&onu->record[ONT_CONFIG_SECRET], ONT_SECRET_SIZE);
        else if (cmd == CFG_CMD_ONT_CONFIG)
            with(onu->record.data(), ONT_CONFIG_SIZE);
        else
            with(&onu->record[ONT_CONFIG_DESCRIPTION], ONT_DESCRIPTION_SIZE);
        break;
    }
    case CFG_CMD_ONT_CREATE: {
        if (len < PARAMS + ONT_CONFIG_SIZE) {
            reply.rcode = CFG_RC_INCORRECT;
            break;
        }
        const uint8_t *record = payload + PARAMS;
        if (find_onu(record + ONT_CONFIG_MAC)) {
            reply.rcode = CFG_RC_EXISTS;
            break;
        }
        if (onus_.size() >= CONFIG_STORE_MAX_ONUS) {
            reply.rcode = CFG_RC_NO_RESOURCES;
            break;
        }
        onu_entry entry{std::vector<uint8_t>(record, record + ONT_CONFIG_SIZE)};
        uint32_t id = next_ont_id_++;
        store_le32(&entry.record[ONT_CONFIG_ONT_ID], id);
        onus_.push_back(std::move(entry));
        reply.payload.resize(4);
        store_le32(reply.payload.data(), id);
        break;
    }
    case CFG_CMD_ONT_LIST: {
        reply.payload = params;
        for (const auto &o : onus_) {
            uint8_t entry[ONT_LIST_ENTRY] = {};
            memcpy(entry, &o.record[ONT_CONFIG_ONT_ID], 4);
            entry[4] = o.record[ONT_CONFIG_TYPE];
            memcpy(entry + 5, &o.record[ONT_CONFIG_MAC], 6);
            reply.payload.insert(reply.payload.end(), entry, entry + ONT_LIST_ENTRY);
        }
        if (onus_.size() < CONFIG_STORE_MAX_ONUS)
            reply.payload.insert(reply.payload.end(), ONT_LIST_ENTRY, 0xFF);
        break;
    }
    case CFG_CMD_FETCH: {
        uint32_t index = load_le32(params.data());
        if (index == FETCH_SETTINGS_INDEX) {
            with(t->system, SYSTEM_SETTINGS_SIZE);
            reply.payload.insert(reply.payload.end(), t->radius, t->radius + RADIUS_SETTINGS_SIZE);
            // The whole cache has been fetched: nothing is pending any more.
            memset(changed_, 0, sizeof changed_);
            system_changed_ = reload_all_ = false;
            flags_update();
        } else if (index % 2 == 0 && index + 1 < PROFILE_ENTRIES) {
            reply.payload = params;
            reply.payload.reserve(PARAMS + FETCH_ANSWER_SIZE);
            for (uint32_t p = index; p <= index + 1; p++) {
                auto add = [&](const uint8_t *entry, size_t size) {
                    reply.payload.insert(reply.payload.end(), entry, entry + size);
                };
                add(t->rules[2 * p], PROFILE_RULES_SIZE);
                add(t->rules[2 * p + 1], PROFILE_RULES_SIZE);
                add(t->link[p], PROFILE_LINK_SIZE);
                add(t->sla[p], PROFILE_SLA_SIZE);
                add(t->paths[p], PROFILE_PATHS_SIZE);
                add(t->multicast[p], PROFILE_MULTICAST_SIZE);
            }
        } else {
            reply.rcode = CFG_RC_INCORRECT;
            reply.payload = params;
        }
        break;
    }
    case CFG_CMD_CHANGES: {
        uint8_t summary[CHANGE_SUMMARY_SIZE] = {};
        summary[0] = reload_all_ ? 2 : system_changed_ ? 1 : 0;
        put_bitmap(summary + 1, changed_[PROFILE_TYPE_LINK][0]);
        put_bitmap(summary + 9, changed_[PROFILE_TYPE_SLA][0]);
        put_bitmap(summary + 17, changed_[PROFILE_TYPE_PATHS][0]);
        put_bitmap(summary + 25, changed_[PROFILE_TYPE_MULTICAST][0]);
        put_bitmap(summary + 33, changed_[PROFILE_TYPE_RULES][0]);
        put_bitmap(summary + 41, changed_[PROFILE_TYPE_RULES][1]);
        with(summary, sizeof summary);
        break;
    }
    case CFG_CMD_PROFILES:
        reply = profiles_update(load_le32(params.data()), params);
        break;
    case CFG_CMD_SYSTEM:
        with(t->system, SYSTEM_SETTINGS_SIZE);
        system_changed_ = false;
        flags_update();
        break;
    case CFG_CMD_RADIUS:
        with(t->radius, RADIUS_SETTINGS_SIZE);
        radius_changed_ = false;
        flags_update();
        break;
    case CFG_CMD_SAVE:
    case CMD_FORWARD_SETTING:
        reply.payload = params;
        break;
    default:
        not_found();
        break;
    }
    return reply;
}
