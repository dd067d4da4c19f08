#include "mgmt/kernhandlers.h"

#include "base/balloc.h"
#include "base/bytes.h"
#include "mgmt/kernlink.h"
#include "wire/kernmsg.h"
#include "base/mqueue.h"
#include "platform/log.h"
#include "platform/sandbox.h"
#include "platform/threads.h"
#include "base/process.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr unsigned ALL_BUSY_PAUSE_US = 50 * 1000;
constexpr size_t REPORT_TEXT_SIZE = 128 * 1024;
constexpr uint32_t REPORT_ANSWER_LEN = 32;

kernhandlers_command table[KERNHANDLERS_TABLE_SIZE];

struct handler_slot {
    pthread_t thread;
    bool has_thread;              // dispatch thread only
    std::atomic<int> busy;
    kernhandler handler;
    uint8_t *request;
};
handler_slot slots[KERNHANDLERS_SLOTS];

pthread_mutex_t mac_duplicate_lock = PTHREAD_MUTEX_INITIALIZER;
int mac_duplicate_count = 0;

struct {
    std::atomic<unsigned long> inline_runs, started, no_handler, all_busy, duplicate_limit, thread_failed,
        refused_payloads;
} counters;

uint16_t command_of(const uint8_t *msg) { return load_le16(msg); }

// ctime() text of now; it ends in a newline, as the trace lines expect.
const char *now_text(char (&buf)[32])
{
    time_t now = time(nullptr);
    if (!ctime_r(&now, buf))
        strcpy(buf, "?\n");
    return buf;
}

} // namespace

uint8_t *kernhandlers_ping(uint8_t *request)
{
    kernhandlers_reply(request, 0, 0, nullptr);
    return request;
}

uint8_t *kernhandlers_resource_report(uint8_t *request)
{
    void *answer = BALLOC(REPORT_ANSWER_LEN);
    if (!answer)
        return request;
    memset(answer, 0, REPORT_ANSWER_LEN);
    char *text = static_cast<char *>(calloc(1, REPORT_TEXT_SIZE));
    if (text) {
        bstats_text out{text, REPORT_TEXT_SIZE, 0};
        bstats(&out, bstats_text_writer);
        if (out.used < REPORT_TEXT_SIZE)
            mqueue_dump(text + out.used, REPORT_TEXT_SIZE - out.used);
        std::string path = sandbox_path("/tmp/system_resources.log");
        if (FILE *file = fopen(path.c_str(), "w+")) {
            fputs(text, file);
            fclose(file);
        }
        free(text);
    }
    kernhandlers_reply(request, 0, REPORT_ANSWER_LEN, answer);
    BFREE(answer);
    return request;
}

// Registration order fixes the table's slot order. The full order, as the
// handlers of the OLT and ONU commands join: 0x0001, 0x0002, 0x1002, 0x1006,
// 0x2003, 0x2004, 0x2026, 0x2027, 0x2005, 0x200F, 0x1005, 0x1003, 0x2002,
// 0x200E, 0x0009, 0x100F, 0x1010, 0x1011, 0x1013, 0x1014, 0x1015, 0x100C,
// 0x100D, 0x100E, 0x2012, 0x1012, 0x2013, 0x2014, 0x2050, 0x6003, 0x6001,
// 0x6005, 0x6006, 0x6002, 0x6004, 0x2015, 0x5040, 0x5041, 0x0013, 0x0011,
// 0x0012, 0x0018, 0x0019, 0x2021, 0x1016, 0x7002, 0x2031, 0x2032.
namespace {

const kernhandlers_command link_commands[] = {
    {CMDPING, kernhandlers_ping},
    {CMDRESOURCEREPORT, kernhandlers_resource_report},
};

} // namespace

const kernhandlers_table kernhandlers_link_table = {link_commands, std::size(link_commands)};

namespace {

void *HandlerThread(void *arg)
{
    auto *slot = static_cast<handler_slot *>(arg);
    if (!slot || !slot->handler || !slot->request)
        return nullptr;
    char when[32];
    trace("%s Handler %d starts at %s\n", "HandlerThread", command_of(slot->request), now_text(when));
    uint8_t *result = slot->handler(slot->request);
    slot->busy.store(0);
    if (result) {
        trace("%s Handler %d ends at %s\n", "HandlerThread", command_of(result), now_text(when));
        BFREE(result);
    }
    return nullptr;
}

void clear_slot(handler_slot *slot)
{
    slot->has_thread = false;
    slot->handler = nullptr;
    slot->request = nullptr;
    slot->busy.store(0);
}

} // namespace

void kernhandlers_init(const kernhandlers_table &commands)
{
    memset(table, 0, sizeof table);
    for (size_t i = 0; i < commands.count; i++)
        kernhandlers_register(commands.entries[i].code, commands.entries[i].handler);
    for (auto &slot : slots)
        clear_slot(&slot);
    lock_timed(&mac_duplicate_lock);
    mac_duplicate_count = 0;
    pthread_mutex_unlock(&mac_duplicate_lock);
}

void kernhandlers_close()
{
    for (auto &slot : slots) {
        if (slot.has_thread)
            pthread_join(slot.thread, nullptr);
        clear_slot(&slot);
    }
}

int kernhandlers_register(uint16_t code, kernhandler handler)
{
    for (auto &entry : table) {
        if (entry.code == 0) {
            int previous = entry.code;
            entry.code = code;
            entry.handler = handler;
            return previous;
        }
    }
    return -1;
}

kernhandler kernhandlers_lookup(uint16_t code)
{
    if (code == 0)
        return nullptr;
    for (const auto &entry : table)
        if (entry.code == code)
            return entry.handler;
    return nullptr;
}

int kernhandlers_reply(const uint8_t *request, uint8_t rcode, uint32_t len, const void *data)
{
    uint8_t *msg = static_cast<uint8_t *>(BALLOC(long(len) + long(KERNMSG_HEADER_SIZE)));
    if (!msg)
        return -4;
    kernmsg_header in = kernmsg_header_decode(request);
    kernmsg_header out;
    out.cmd = in.cmd;
    out.tag = in.tag;
    out.type = KERNMSG_ANSWER;
    out.src = in.dst;
    out.dst = in.src;
    out.rcode = rcode;
    out.len = len;
    kernmsg_header_encode(msg, out);
    if (len) {
        if (data)
            memcpy(msg + KERNMSG_HEADER_SIZE, data, len);
        else
            memset(msg + KERNMSG_HEADER_SIZE, 0, len);
    }
    int result = kernlink_send_message(msg, nullptr, 0);
    if (result != 0)
        trace("Message from zandrel to kernel sent, result: failed %d \n", result);
    else
        trace("Message from zandrel to kernel sent, result: ok %d \n", result);
    BFREE(msg);
    return 0;
}

kernhandlers_outcome kernhandlers_dispatch(uint8_t *request)
{
    static const char *const loop = "kernlink_process_loop";
    uint16_t code = command_of(request);
    trace("%s Got message %d\n", loop, code);
    kernhandler handler = kernhandlers_lookup(code);
    if (!handler) {
        // Nobody answers a command we do not serve; the block goes back.
        trace("%s Got message NULL\n", loop);
        BFREE(request);
        counters.no_handler++;
        return KERNHANDLERS_NO_HANDLER;
    }
    if (code == CMDPING) {
        char when[32];
        trace("%s Handling CMDPING in main thread\n", loop);
        trace("%s Handler %d starts at %s\n", loop, code, now_text(when));
        uint8_t *result = handler(request);
        if (result) {
            trace("%s Handler %d ends at %s\n", loop, command_of(result), now_text(when));
            BFREE(result);
        }
        counters.inline_runs++;
        return KERNHANDLERS_RAN_INLINE;
    }

    trace("%s Trying to find free thread...\n", loop);
    handler_slot *slot = nullptr;
    for (auto &candidate : slots) {
        if (candidate.busy.load() == 0) {
            slot = &candidate;
            break;
        }
    }
    if (!slot) {
        BFREE(request);
        usleep(ALL_BUSY_PAUSE_US);
        counters.all_busy++;
        return KERNHANDLERS_ALL_BUSY;
    }
    if (slot->has_thread) {
        pthread_join(slot->thread, nullptr);
        slot->has_thread = false;
    }
    slot->busy.store(1);
    slot->handler = handler;
    slot->request = request;

    lock_timed(&mac_duplicate_lock);
    trace("%s [DEBUG] Mac duplicate process count = %d!\n", loop, mac_duplicate_count);
    if (code == CMDPSSMACDUPLICATE && mac_duplicate_count >= KERNHANDLERS_MAC_DUPLICATE_LIMIT) {
        trace("%s [DEBUG] Not possible to handling CMDPSSMACDUPLICATE, count = %d!\n", loop,
              mac_duplicate_count);
        clear_slot(slot);
        BFREE(request);
        pthread_mutex_unlock(&mac_duplicate_lock);
        counters.duplicate_limit++;
        return KERNHANDLERS_DUPLICATE_LIMIT;
    }
    bool created = pthread_create(&slot->thread, nullptr, HandlerThread, slot) == 0;
    if (created && code == CMDPSSMACDUPLICATE) {
        mac_duplicate_count++;
        trace("%s [DEBUG] Mac duplicate process increased, count = %d!\n", loop, mac_duplicate_count);
    }
    pthread_mutex_unlock(&mac_duplicate_lock);
    trace("%s Free thread found!\n", loop);
    if (!created) {
        BFREE(request);
        clear_slot(slot);
        counters.thread_failed++;
        return KERNHANDLERS_THREAD_FAILED;
    }
    slot->has_thread = true;
    counters.started++;
    return KERNHANDLERS_STARTED;
}

namespace {

void wake_dispatch() { mqueue_wake(kernlink_request_queue()); }

} // namespace

void kernlink_process_loop()
{
    // The loop sleeps until a command comes: the stop signal wakes it, and
    // so does an empty item.
    process_stop_wake = wake_dispatch;
    while (run_flag.load()) {
        uint8_t *request = kernlink_take_request(-1);
        if (request)
            kernhandlers_dispatch(request);
    }
    process_stop_wake = nullptr;
}

void kernhandlers_mac_duplicate_done()
{
    lock_timed(&mac_duplicate_lock);
    mac_duplicate_count--;
    pthread_mutex_unlock(&mac_duplicate_lock);
}

int kernhandlers_mac_duplicate_count()
{
    lock_timed(&mac_duplicate_lock);
    int count = mac_duplicate_count;
    pthread_mutex_unlock(&mac_duplicate_lock);
    return count;
}

int kernhandlers_busy_slots()
{
    int busy = 0;
    for (const auto &slot : slots)
        busy += slot.busy.load() != 0;
    return busy;
}

kernhandlers_counters kernhandlers_counters_get()
{
    return {counters.inline_runs.load(), counters.started.load(), counters.no_handler.load(),
            counters.all_busy.load(), counters.duplicate_limit.load(), counters.thread_failed.load(),
            counters.refused_payloads.load()};
}

void kernhandlers_count_refused() { counters.refused_payloads.fetch_add(1, std::memory_order_relaxed); }
