// ponctl's ONU commands: the ONU lists (once, or redrawn like top), the ONU
// record and description, the per-ONU actions, learned-MAC look-ups and
// listings, the transceiver page, RADIUS accounting on/off and the change
// counter. Requests are built from readable arguments; answers are printed
// through the decoders of onu_decode.h.
#include "ponctl/commands.h"

#include "ponctl/decode.h"
#include "ponctl/onu_decode.h"

#include "base/bytes.h"
#include "common/mgmt_conn.h"

#include <pthread.h>
#include <sys/select.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

using nlohmann::json;

namespace {

constexpr uint16_t LIST_ALL = 0x2003, LIST_OLT = 0x2004, LIST_FULL = 0x2026, LIST_FULL_OLT = 0x2027;
constexpr uint16_t MACS_PORT = 0x100F, ADDRS_PORT = 0x1010, MACS_ONU = 0x1011;
constexpr size_t HALF_SELECTOR = 4;
constexpr unsigned LAST_PORT = 7, ANY_PORT = 255;
constexpr uint8_t BROADCAST[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr double MAX_INTERVAL_S = 3600;
// Home and clear screen, as top redraws.
constexpr const char *REDRAW = "\033[H\033[2J";

// ---- arguments ------------------------------------------------------------------

bool no_args(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &payload)
{
    payload.assign(PONCTL_PARAMS, 0);
    return ponctl_arity(args, 0, 0, "");
}

bool mac_arg(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &payload)
{
    uint8_t mac[6];
    if (!ponctl_arity(args, 1, 1, "MAC") || !ponctl_mac_arg(args[0], mac))
        return false;
    payload = ponctl_mac_params(mac);
    return true;
}

// "--port P" at args[at], P a PON port number 0..7, and nothing after it.
bool port_option(const std::vector<std::string> &args, size_t at, unsigned long *port)
{
    if (args[at] != "--port")
        return ponctl_refuse("unexpected argument '%s' (want --port PORT)", args[at].c_str());
    if (args.size() == at + 1)
        return ponctl_refuse("--port wants a PORT (0..%u)", LAST_PORT);
    return ponctl_number_arg("--port", args[at + 1], LAST_PORT, port) && ponctl_arity(args, 0, at + 2, "");
}

struct list_options {
    long olt = -1;
    bool full = false;
    bool watch = false;
    bool interval_given = false;
    double interval = 1.0;
};

bool parse_list(const std::vector<std::string> &args, list_options &o)
{
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        bool has_value = i + 1 < args.size();
        unsigned long olt;
        if (a == "--full") {
            o.full = true;
        } else if (a == "--watch") {
            o.watch = true;
        } else if (a == "--olt") {
            if (!has_value)
                return ponctl_refuse("--olt wants an OLT (0..3)");
            if (!ponctl_number_arg("--olt", args[++i], 3, &olt))
                return false;
            o.olt = long(olt);
        } else if (a == "--interval") {
            if (!has_value)
                return ponctl_refuse("--interval wants SECONDS (0.1 to %.0f)", MAX_INTERVAL_S);
            char *end = nullptr;
            const std::string &text = args[++i];
            o.interval_given = true;
            o.interval = strtod(text.c_str(), &end);
            if (text.empty() || *end || !(o.interval >= 0.1 && o.interval <= MAX_INTERVAL_S))
                return ponctl_refuse("bad --interval '%s' (want seconds from 0.1 to %.0f)", text.c_str(),
                                     MAX_INTERVAL_S);
        } else {
            return ponctl_refuse("unexpected argument '%s' (want --olt OLT, --full, --watch or --interval SECONDS)",
                                 a.c_str());
        }
    }
    // An interval only means something to a redrawn list.
    return o.watch || !o.interval_given || ponctl_refuse("--interval goes with --watch");
}

bool onu_list(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    list_options o;
    if (!parse_list(args, o))
        return false;
    payload.assign(PONCTL_PARAMS, 0);
    if (o.olt >= 0)
        store_le32(payload.data(), uint32_t(o.olt));
    code = o.full ? (o.olt >= 0 ? LIST_FULL_OLT : LIST_FULL) : (o.olt >= 0 ? LIST_OLT : LIST_ALL);
    return true;
}

// MAC [--port P]: without a port every PON port is searched.
bool onu_find(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &payload)
{
    uint8_t mac[6];
    unsigned long port = ANY_PORT;
    if (!ponctl_arity(args, 1, 3, "MAC [--port PORT]") || !ponctl_mac_arg(args[0], mac) ||
        (args.size() > 1 && !port_option(args, 1, &port)))
        return false;
    payload = ponctl_mac_params(mac);
    store_le32(payload.data(), uint32_t(port));
    return true;
}

// PORT, or --onu MAC.
bool onu_macs(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    if (!args.empty() && args[0] == "--onu") {
        code = MACS_ONU;
        if (args.size() == 1)
            return ponctl_refuse("--onu wants a MAC (00:0D:B6:10:00:00)");
        return mac_arg({args.begin() + 1, args.end()}, code, payload);
    }
    unsigned long port;
    if (!ponctl_arity(args, 1, 1, "PORT") || !ponctl_number_arg("PORT", args[0], LAST_PORT, &port))
        return false;
    code = MACS_PORT;
    payload.assign(PONCTL_PARAMS, 0);
    store_le32(payload.data(), uint32_t(port));
    return true;
}

bool onu_addrs(const std::vector<std::string> &args, uint16_t &code, std::vector<uint8_t> &payload)
{
    if (!args.empty() && args[0] == "--onu")
        return ponctl_refuse("unexpected argument '--onu' (want PORT: address entries are listed per port)");
    if (!onu_macs(args, code, payload))
        return false;
    code = ADDRS_PORT;
    return true;
}

// MAC SECONDS [--port P]; FF:FF:FF:FF:FF:FF (every ONU of a port) needs the
// port, another MAC finds its own.
bool onu_laser(const std::vector<std::string> &args, uint16_t &, std::vector<uint8_t> &payload)
{
    uint8_t mac[6];
    unsigned long seconds, port = 0;
    // The daemon sends the chip only the duration's low 16 bits.
    if (!ponctl_arity(args, 2, 4, "MAC SECONDS [--port PORT]") || !ponctl_mac_arg(args[0], mac) ||
        !ponctl_number_arg("SECONDS", args[1], 0xFFFF, &seconds))
        return false;
    bool all = memcmp(mac, BROADCAST, 6) == 0;
    if (args.size() > 2 && !port_option(args, 2, &port))
        return false;
    if (all && args.size() == 2)
        return ponctl_refuse("MAC FF:FF:FF:FF:FF:FF (every ONU of a port) wants --port PORT (0..7)");
    payload = ponctl_mac_params(mac);
    store_le32(payload.data(), uint32_t(seconds));
    store_le32(payload.data() + 4, uint32_t(port));
    return true;
}

// ---- answers ----------------------------------------------------------------------

json description_decode(const std::vector<uint8_t> &payload)
{
    constexpr size_t SIZE = 256;
    if (payload.size() < PONCTL_PARAMS + SIZE)
        return {{"error", ponctl_format("short answer: %zu of %zu bytes", payload.size(), PONCTL_PARAMS + SIZE)}};
    return {{"mac", ponctl_mac_text(payload.data() + 8)},
            {"description", ponctl_text_field(payload.data() + PONCTL_PARAMS, SIZE)}};
}
std::string description_text(const json &j)
{
    return j["mac"].get<std::string>() + "  " + j["description"].get<std::string>() + "\n";
}

json find_decode(const std::vector<uint8_t> &payload) { return onu_find_decode(payload); }
std::string find_text(const json &j)
{
    return ponctl_format("ONU %s  ONT id %u  state %s  OLT %u port %u  UNI %u\n", j["mac"].get<std::string>().c_str(),
                         j["ont_id"].get<unsigned>(), j["state_name"].get<std::string>().c_str(),
                         j["olt"].get<unsigned>(), j["pon"].get<unsigned>(), j["uni"].get<unsigned>());
}

std::string igmp_text(const json &j)
{
    std::string text = ponctl_format("%u groups\nGROUP            KIND\n", j["count"].get<unsigned>());
    for (const auto &g : j["groups"])
        text += ponctl_format("%-16s %u\n", g["group"].get<std::string>().c_str(), g["kind"].get<unsigned>());
    return text;
}

json macs_decode(const std::vector<uint8_t> &payload) { return onu_listing_decode(payload, 6); }
json addrs_decode(const std::vector<uint8_t> &payload) { return onu_listing_decode(payload, 20); }

json changes_decode(const std::vector<uint8_t> &payload)
{
    if (payload.size() < 4)
        return {{"error", "short answer"}};
    return {{"counter", load_le32(payload.data())}};
}
std::string changes_text(const json &j) { return ponctl_format("change counter %u\n", j["counter"].get<unsigned>()); }

void print_show(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_decoded(answer, "ONU record", onu_record_decode, onu_record_text, out);
}
void print_desc(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_decoded(answer, "ONU description", description_decode, description_text, out);
}
void print_find(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_decoded(answer, "ONU look-up", find_decode, find_text, out);
}
void print_igmp(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_decoded(answer, "IGMP groups", onu_igmp_decode, igmp_text, out);
}
void print_macs(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_decoded(answer, "learned MACs", macs_decode, onu_listing_text, out);
}
void print_addrs(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_decoded(answer, "address entries", addrs_decode, onu_listing_text, out);
}
void print_triplexer(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_decoded(answer, "transceiver page", onu_triplexer_decode, onu_triplexer_text, out);
}
void print_changes(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_decoded(answer, "change counter", changes_decode, changes_text, out);
}
void print_reconfigure(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_outcome(answer, "ONU reconfigure", {{0, "provisioning again"}, {8, "no such ONU"}}, out);
}
void print_queues(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_outcome(answer, "ONU queues", {{0, "rewritten, ONU reset"}, {8, "no such ONU"}}, out);
}
void print_upgrade(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_outcome(answer, "ONU firmware upgrade", {{0, "done"}}, out);
}
void print_laser(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_outcome(answer, "laser shutdown", {{0, "sent"}}, out);
}
void print_accounting_start(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_outcome(answer, "RADIUS accounting", {{0, "started"}, {255, "already running"}}, out);
}
void print_accounting_stop(const std::vector<uint8_t> &answer, std::string &out)
{
    ponctl_print_outcome(answer, "RADIUS accounting", {{0, "stopped"}}, out);
}

// ---- the lists ---------------------------------------------------------------------

// The ONUs of one list: one exchange, or two for the full list (its halves
// are the ONU slots 0..999 and 1000..1999). 0, or the exchange's status
// (its line in `*why` when given).
int fetch_list(uint16_t code, std::vector<uint8_t> payload, json &onus, unsigned &rcode, std::string *why = nullptr)
{
    bool full = code == LIST_FULL || code == LIST_FULL_OLT;
    onus = json::array();
    rcode = 0;
    for (uint32_t half = 0; half < (full ? 2u : 1u); half++) {
        store_le32(payload.data() + HALF_SELECTOR, half);
        std::vector<uint8_t> answer;
        if (int status = ponctl_exchange(code, payload, answer, why))
            return status;
        rcode = mgmt_header(answer).rcode;
        if (rcode != 0)
            return 0;
        std::vector<uint8_t> data = mgmt_payload(answer);
        if (data.size() > PONCTL_PARAMS) {
            json part = onu_list_entries(data.data() + PONCTL_PARAMS, data.size() - PONCTL_PARAMS,
                                         full ? ONU_LIST_FULL : ONU_LIST_COMPACT);
            onus.insert(onus.end(), part.begin(), part.end());
        }
    }
    return 0;
}

volatile sig_atomic_t interrupted = 0;
void on_interrupt(int) { interrupted = 1; }

} // namespace

// The list redrawn every interval until Ctrl-C (or SIGTERM). While
// ponkernel or the daemon is not there (not yet, or no longer), the screen
// says what it waits for, and the next interval tries again. The signals
// stay blocked during an exchange and are let in only while waiting, so an
// interruption never cuts an exchange short and never goes unseen.
int ponctl_watch_list(uint16_t code, const std::vector<uint8_t> &payload, double interval, bool full, FILE *to)
{
    interrupted = 0;
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTERM);
    while (!interrupted) {
        json onus;
        unsigned rcode;
        std::string why;
        int status = fetch_list(code, payload, onus, rcode, &why);
        char clock[16];
        time_t now = time(nullptr);
        struct tm local;
        strftime(clock, sizeof clock, "%H:%M:%S", localtime_r(&now, &local));
        std::string screen = REDRAW;
        if (status == PONCTL_UNREACHABLE)
            screen += ponctl_format("%s  waiting for ponkernel (%s)\n", clock, why.c_str());
        else if (status != 0)
            screen += ponctl_format("%s  waiting for the daemon (%s)\n", clock, why.c_str());
        else
            screen += onu_list_header(onus, clock) +
                      (rcode == 0 ? onu_list_table(onus, full) : ponctl_format("ONU list: rcode %u\n", rcode));
        fputs(screen.c_str(), to);
        fflush(to);
        struct timespec wait;
        wait.tv_sec = time_t(interval);
        wait.tv_nsec = long((interval - double(wait.tv_sec)) * 1e9);
        pselect(0, nullptr, nullptr, nullptr, &wait, &waiting);
    }
    pthread_sigmask(SIG_SETMASK, &waiting, nullptr);
    return 0;
}

namespace {

int run_list(const std::vector<std::string> &args, uint16_t code, const std::vector<uint8_t> &payload)
{
    list_options o;
    parse_list(args, o);
    if (o.watch && ponctl_json) {
        fprintf(stderr, "ponctl: onu list: --watch redraws a table and cannot be used with --json\n");
        return PONCTL_USAGE;
    }
    if (o.watch)
        return ponctl_watch_list(code, payload, o.interval, o.full, stdout);
    json onus;
    unsigned rcode;
    if (int status = fetch_list(code, payload, onus, rcode))
        return status;
    std::string out;
    json j = {{"rcode", rcode}, {"onus", onus}};
    ponctl_emit(j, rcode == 0 ? onu_list_table(onus, o.full) : ponctl_format("ONU list: rcode %u\n", rcode), out);
    fputs(out.c_str(), stdout);
    return ponctl_status_of(rcode);
}

} // namespace

const std::vector<ponctl_command> &ponctl_onu_commands()
{
    static const std::vector<ponctl_command> table = {
        {"onu list", LIST_ALL, "onu list [--olt OLT] [--full] [--watch [--interval SECONDS]]", onu_list, nullptr,
         run_list},
        {"onu show", 0x2005, "onu show MAC", mac_arg, print_show},
        {"onu desc", 0x200F, "onu desc MAC", mac_arg, print_desc},
        {"onu reconfigure", 0x2002, "onu reconfigure MAC", mac_arg, print_reconfigure},
        {"onu queues", 0x200E, "onu queues MAC (rewrite the queue layout and reset the ONU)", mac_arg, print_queues},
        {"onu find", 0x2015, "onu find MAC [--port PORT] (the ONU behind a learned MAC; PORT 0..7)", onu_find,
         print_find},
        {"onu igmp", 0x1013, "onu igmp MAC", mac_arg, print_igmp},
        {"onu macs", MACS_PORT, "onu macs PORT | onu macs --onu MAC (learned MACs; PORT 0..7)", onu_macs, print_macs},
        {"onu addrs", ADDRS_PORT, "onu addrs PORT (address entries; PORT 0..7)", onu_addrs, print_addrs},
        {"onu laser", 0x2050, "onu laser MAC SECONDS [--port PORT] (FF:FF:FF:FF:FF:FF: every ONU of PORT)", onu_laser,
         print_laser},
        {"onu upgrade", 0x2012, "onu upgrade MAC (ONU firmware)", mac_arg, print_upgrade},
        {"onu triplexer", 0x2021, "onu triplexer MAC (transceiver diagnostics page)", mac_arg, print_triplexer},
        {"accounting start", 0x2031, "accounting start (RADIUS accounting)", no_args, print_accounting_start},
        {"accounting stop", 0x2032, "accounting stop", no_args, print_accounting_stop},
        {"changes", 0x0018, "changes (the ONU table's change counter)", no_args, print_changes},
    };
    return table;
}
