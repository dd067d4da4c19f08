// ponctl's update schedule commands: add, delete, list and clear the jobs
// of one kind, and add every connected (or every configured ONU of a type)
// at once. Kinds are given by name (firmware, personality,
// reconfiguration) or number.
#include "ponctl/commands.h"

#include "ponctl/decode.h"
#include "ponctl/onu_decode.h"

#include "base/bytes.h"

#include <cstring>

namespace {

constexpr unsigned MAX_KIND = 0xFFFF, MAX_TYPE = 0xFF;
constexpr unsigned FIRST_KIND = 1, LAST_NAMED_KIND = 3;

bool kind_arg(const std::string &text, unsigned long *kind)
{
    for (unsigned k = FIRST_KIND; k <= LAST_NAMED_KIND; k++)
        if (text == schedule_kind_name(k)) {
            *kind = k;
            return true;
        }
    return (ponctl_number(text, MAX_KIND, kind) && *kind != 0) ||
           ponctl_refuse("bad KIND '%s' (want firmware, personality, reconfiguration or a number 1..%u)",
                         text.c_str(), MAX_KIND);
}

// The kind goes in the u16 at 0 of the parameter block.
void put_kind(std::vector<uint8_t> &payload, unsigned long kind) { store_le16(payload.data(), uint16_t(kind)); }

// MAC KIND
bool mac_kind(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &payload)
{
    uint8_t mac[6];
    unsigned long kind;
    if (!ponctl_arity(args, 2, 2, "MAC KIND") || !ponctl_mac_arg(args[0], mac) || !kind_arg(args[1], &kind))
        return false;
    payload = ponctl_mac_params(mac);
    put_kind(payload, kind);
    return true;
}

// KIND
bool kind_only(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &payload)
{
    unsigned long kind;
    if (!ponctl_arity(args, 1, 1, "KIND") || !kind_arg(args[0], &kind))
        return false;
    payload.assign(PONCTL_PARAMS, 0);
    put_kind(payload, kind);
    return true;
}

// KIND TYPE, the type being an ONT type code.
bool kind_type(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    unsigned long type;
    if (!ponctl_arity(args, 2, 2, "KIND TYPE") || !kind_only({args[0]}, code, payload) ||
        !ponctl_number_arg("TYPE", args[1], MAX_TYPE, &type))
        return false;
    store_le32(payload.data() + 4, uint32_t(type));
    return true;
}

void print_add(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_outcome(answer, "schedule add", {{0, "added"}, {4, "schedule full"}, {9, "already scheduled"}},
                         out);
}
void print_del(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_outcome(answer, "schedule del", {{0, "deleted"}, {8, "not scheduled"}}, out);
}
void print_clear(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_outcome(answer, "schedule clear", {{0, "cleared"}}, out);
}
void print_add_many(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_outcome(answer, "schedule add",
                         {{0, "added"},
                          {3, "configuration module did not answer"},
                          {4, "schedule full"},
                          {9, "none added (all already scheduled)"},
                          {10, "some not added"}},
                         out);
}
void print_list(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_decoded(answer, "schedule", schedule_list_decode, schedule_list_text, out);
}

} // namespace

const std::vector<ponctl_command> &ponctl_schedule_commands()
{
    static const std::vector<ponctl_command> table = {
        {"schedule add", 0x6001, "schedule add MAC KIND (KIND: firmware, personality, reconfiguration or a number)",
         mac_kind, print_add},
        {"schedule del", 0x6002, "schedule del MAC KIND", mac_kind, print_del},
        {"schedule list", 0x6003, "schedule list KIND", kind_only, print_list},
        {"schedule clear", 0x6004, "schedule clear KIND", kind_only, print_clear},
        {"schedule add-all", 0x6005, "schedule add-all KIND (every connected ONU of type 1, 2 or 40)", kind_only,
         print_add_many},
        {"schedule add-type", 0x6006, "schedule add-type KIND TYPE (every configured ONU of ONT type TYPE)",
         kind_type, print_add_many},
    };
    return table;
}
