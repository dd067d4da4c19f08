#include "events/work_counters.h"

#include "chip/teklink.h"
#include "chip/teklink_counters.h"
#include "engine/profiler.h"
#include "events/tekhandlers.h"
#include "mgmt/kernhandlers.h"
#include "mgmt/kernlink.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/sandbox.h"

#include <pthread.h>
#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

namespace {

// The Prometheus families, in the order the file shows them.
enum family : int {
    EVENTS_HANDLED,
    WORK_ITEMS,
    CHIP_EXCHANGES,
    CHIP_TIMEOUTS,
    CHIP_RESENDS,
    CHIP_DROPPED,
    CHIP_DROPPED_UNKNOWN,
    CHIP_JOINED,
    CHIP_AGED,
    CHIP_EVENTS,
    MGMT_COMMANDS,
    MGMT_ANSWERS,
    MGMT_REFUSED,
    MGMT_RECONNECTS,
    FILE_ONLY,   // the file's sum of the work items: Prometheus sums the kinds itself
};

struct family_text {
    const char *name, *help;
};
const family_text families[] = {
    {"zandrel_events_handled_total", "Chip events the event thread handled."},
    {"zandrel_work_items_total", "Work items the profiler handled, by kind."},
    {"zandrel_chip_exchanges_total", "Chip requests sent with their answer awaited."},
    {"zandrel_chip_timeouts_total", "Chip request transmissions whose answer did not come in time."},
    {"zandrel_chip_resends_total", "Chip requests sent again, by the RCODE of the answer that called for it."},
    {"zandrel_chip_dropped_total", "Chip datagrams dropped, by reason."},
    {"zandrel_chip_dropped_unknown_sender_total", "Datagrams dropped because their sender was not a chip."},
    {"zandrel_chip_fragments_joined_total", "Fragments joined into whole chip messages."},
    {"zandrel_chip_fragments_aged_total", "Fragments freed unjoined after their minute in the receive pool."},
    {"zandrel_chip_events_total", "Chip events handed to the event thread, by event ID."},
    {"zandrel_mgmt_commands_total", "Messages received from the management process, by command code."},
    {"zandrel_mgmt_answers_total", "Answers sent to the management process."},
    {"zandrel_mgmt_refused_payloads_total", "Commands refused for a payload they could not be read from."},
    {"zandrel_mgmt_reconnects_total", "Management link connections made after the first."},
};
static_assert(std::size(families) == FILE_ONLY);

struct sample {
    family kind;
    std::string name;     // the file's
    std::string labels;   // Prometheus labels, without the braces
    unsigned long value;
};

std::string format(const char *pattern, unsigned a, unsigned b = 0)
{
    char text[64];
    snprintf(text, sizeof text, pattern, a, b);
    return text;
}

// Every counter, in the file's order.
std::vector<sample> collect()
{
    std::vector<sample> all;
    profiler_counters work = profiler_counters_get();
    all.push_back({EVENTS_HANDLED, "events_handled", "", tekhandlers_events_handled()});
    all.push_back({FILE_ONLY, "work_items", "",
                   work.olt_reconfigure + work.onu_reconfigure + work.link_discovery + work.unknown});
    const std::pair<const char *, unsigned long> kinds[] = {{"olt_reconfigure", work.olt_reconfigure},
                                                            {"onu_reconfigure", work.onu_reconfigure},
                                                            {"link_discovery", work.link_discovery},
                                                            {"unknown", work.unknown}};
    for (const auto &[kind, value] : kinds)
        all.push_back({WORK_ITEMS, std::string("work_") + kind, std::string("kind=\"") + kind + "\"", value});

    auto get = [](const teklink_counter &c) { return c.load(std::memory_order_relaxed); };
    for (unsigned olt = 0; olt < unsigned(OLT_COUNT); olt++) {
        const teklink_olt_counters &c = teklink_counters[olt];
        const std::string prefix = format("olt%u_", olt), label = format("olt=\"%u\"", olt);
        all.push_back({CHIP_EXCHANGES, prefix + "exchanges", label, get(c.exchanges)});
        all.push_back({CHIP_TIMEOUTS, prefix + "timeouts", label, get(c.timeouts)});
        for (unsigned slot = 0; slot < unsigned(TEKLINK_RCODE_SLOTS); slot++) {
            if (unsigned long n = get(c.resends[slot])) {
                bool other = slot == TEKLINK_RCODE_SLOTS - 1;
                std::string rcode = other ? "other" : format("%u", slot);
                all.push_back({CHIP_RESENDS, prefix + "resends_rcode_" + rcode, label + ",rcode=\"" + rcode + "\"", n});
            }
        }
        all.push_back({CHIP_DROPPED, prefix + "dropped_stale_ctag", label + ",reason=\"stale_ctag\"",
                       get(c.dropped_stale_ctag)});
        all.push_back({CHIP_DROPPED, prefix + "dropped_short", label + ",reason=\"short\"", get(c.dropped_short)});
        all.push_back({CHIP_DROPPED, prefix + "dropped_pool_share", label + ",reason=\"pool_share\"",
                       get(c.dropped_pool_share)});
        all.push_back({CHIP_JOINED, prefix + "fragments_joined", label, get(c.fragments_joined)});
        all.push_back({CHIP_AGED, prefix + "fragments_aged", label, get(c.fragments_aged)});
        for (unsigned slot = 0; slot < unsigned(TEKLINK_EVENT_SLOTS); slot++) {
            if (unsigned long n = get(c.events[slot])) {
                bool other = slot == TEKLINK_EVENT_SLOTS - 1;
                std::string id = other ? "other" : format("0x%04X", TEKLINK_COUNTED_EVENTS[slot]);
                all.push_back({CHIP_EVENTS, prefix + "events_" + id, label + ",id=\"" + id + "\"", n});
            }
        }
    }
    all.push_back({CHIP_DROPPED_UNKNOWN, "chip_dropped_unknown_sender", "", teklink_unknown_senders()});

    kernlink_code_count codes[KERNLINK_COUNTED_CODES];
    unsigned long other = 0;
    int count = kernlink_command_counts(codes, &other);
    for (int i = 0; i < count; i++) {
        std::string code = format("0x%04X", codes[i].code);
        all.push_back({MGMT_COMMANDS, "mgmt_commands_" + code, "code=\"" + code + "\"", codes[i].count});
    }
    if (other)
        all.push_back({MGMT_COMMANDS, "mgmt_commands_other", "code=\"other\"", other});
    kernlink_counters link = kernlink_counters_get();
    all.push_back({MGMT_ANSWERS, "mgmt_answers", "", link.answers_sent});
    all.push_back({MGMT_REFUSED, "mgmt_refused_payloads", "", kernhandlers_counters_get().refused_payloads});
    all.push_back({MGMT_RECONNECTS, "mgmt_reconnects", "", link.connections > 0 ? link.connections - 1 : 0});
    return all;
}

// Writes `text` to `path` (created or truncated). 0 or -1.
int write_file(const std::string &path, const std::string &text)
{
    FILE *file = fopen(path.c_str(), "w");
    if (!file)
        return -1;
    bool written = fputs(text.c_str(), file) >= 0;
    return fclose(file) == 0 && written ? 0 : -1;
}

std::atomic<bool> prom_stop{false};
bool prom_running;
pthread_t prom_thread;
std::string prom_path;
unsigned prom_seconds;

void *prom_writer(void *)
{
    bool failed = false;
    do {
        bool ok = work_counters_prom_write(prom_path) == 0;
        if (!ok && !failed)   // once, not every period
            syslog(LOG_ERR, "counters: cannot write %s", prom_path.c_str());
        failed = !ok;
    } while (clock_sleep_until(clock_real_ms() + prom_seconds * 1000ull, &prom_stop, false));
    return nullptr;
}

} // namespace

std::string work_counters_text()
{
    std::string text;
    for (const sample &s : collect())
        text += s.name + " " + std::to_string(s.value) + "\n";
    return text;
}

std::string work_counters_prom_text()
{
    std::vector<sample> all = collect();
    std::string text;
    for (int kind = 0; kind < FILE_ONLY; kind++) {
        const family_text &f = families[kind];
        text += std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " counter\n";
        for (const sample &s : all)
            if (s.kind == kind)
                text += f.name + (s.labels.empty() ? "" : "{" + s.labels + "}") + " " + std::to_string(s.value) + "\n";
    }
    return text;
}

int work_counters_write() { return write_file(sandbox_path(WORK_COUNTERS_FILE), work_counters_text()); }

int work_counters_prom_write(const std::string &path)
{
    std::string temporary = path + ".tmp";
    if (write_file(temporary, work_counters_prom_text()) != 0)
        return -1;
    return rename(temporary.c_str(), path.c_str()) == 0 ? 0 : -1;
}

int work_counters_prom_start()
{
    if (prom_running)
        return 0;
    prom_path = sandbox_counters_prom();
    if (prom_path.empty()) {
        const char *asked = getenv("ZANDREL_COUNTERS_PROM");
        if (asked && *asked)
            syslog(LOG_ERR, "counters: ZANDREL_COUNTERS_PROM wants an absolute path, not written");
        return 0;
    }
    prom_seconds = sandbox_counters_prom_seconds();
    prom_stop = false;
    if (pthread_create(&prom_thread, nullptr, prom_writer, nullptr) != 0)
        return -1;
    prom_running = true;
    trace("counters: written to %s every %u s\n", prom_path.c_str(), prom_seconds);
    return 0;
}

void work_counters_prom_stop()
{
    if (!prom_running)
        return;
    prom_stop = true;
    clock_delay_wake();
    pthread_join(prom_thread, nullptr);
    prom_running = false;
}
