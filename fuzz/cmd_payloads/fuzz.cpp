// Command payloads of any length and content through the commands' decoding:
//  - the whole input as a management request (header and payload, whatever
//    length the header claims) into its parameter block and trailing data,
//    and the same bytes as a chip answer to a statistics read into the
//    answer the management process gets;
//  - the first two bytes as a command code (little-endian) and the rest as
//    its payload, run through the handler the installed table has for it,
//    as the dispatch loop would, in a block of exactly the bytes that
//    arrived.
// Nothing may be read past the bytes given, and the answer's entries stay
// within it.
//
// The handlers run with neither the chip link nor the management link open:
// every chip request and every message to the management process fails at
// once inside this process, so no input reaches a network. A few ONUs stand
// in the data store for the MACs the seeds name (00:0D:B6:00:00:01..04).
#include "base/balloc.h"
#include "cmd/cmd_olt.h"
#include "cmd/cmd_stats.h"
#include "engine/profiler.h"
#include "store/datastruct.h"
#include "wire/kernmsg.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int STANDING_ONUS = 4;
const uint8_t STANDING_TYPES[STANDING_ONUS] = {1, 3, 19, 40};

bool ready()
{
    static bool ok = [] {
        // A sandbox root of its own: the resource report and the image
        // files the upgrades look for live under it.
        static char dir[] = "/tmp/zandrel_fuzz_cmd_XXXXXX";
        if (!mkdtemp(dir))
            return false;
        std::atexit([] { std::filesystem::remove_all(dir); });
        for (const char *sub : {"tmp", "dev", "usr/local/share", "etc/config"})
            std::filesystem::create_directories(std::string(dir) + "/" + sub);
        setenv("ZANDREL_ROOT", dir, 1);
        // The reconfiguration's one-second polls and the ONU restart's wait
        // are fixed delays; scaled down they cost milliseconds.
        setenv("ZANDREL_TIME_SCALE", "1000", 1);
        if (bopen(nullptr, 1 << 22, 0) != 0 || datastruct_init() != 0 || profiler_queues_init() != 0)
            return false;
        // The table alone: the management link itself stays closed.
        kernhandlers_init(cmd_command_table);
        return true;
    }();
    return ok;
}

// The standing ONUs, put back before each run: a reconfiguration releases
// every ONU of its OLT, and a command may change an ONU's state.
void stand_onus()
{
    for (int olt = 0; olt < OLT_COUNT; olt++)
        olt_set_state(olt, ONU_STATE_OK);
    for (int i = 0; i < STANDING_ONUS; i++) {
        onu_record *onu = onu_at(i);
        onu_lock(onu);
        const uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, uint8_t(i + 1)};
        std::memcpy(onu->mac, mac, 6);
        onu->olt = uint8_t(i % OLT_COUNT);
        onu->type = STANDING_TYPES[i];
        onu->link_count = ONU_LINKS;
        onu_links_init(onu);
        onu->state = ONU_STATE_OK;
        onu_summary_update(onu);
        onu_unlock(onu);
    }
}

void decode(const uint8_t *data, size_t size)
{
    // An exact-size copy, so a read past the message is caught.
    std::vector<uint8_t> request(data, data + size);
    cmd_params p = cmd_params_decode(request.data(), request.size());
    if (p.size + (size >= 16 ? 16 : 0) > size)
        __builtin_trap();
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < p.data_size(); i++)
        sink = sink ^ p.data()[i];
    (void)stats_group(p.u16(8));
    (void)stats_onu_port_allowed(p.block[0], p.u32(4));

    auto *answer = static_cast<uint8_t *>(BALLOC(size ? size : 1));
    if (!answer)
        return;
    std::memcpy(answer, data, size);
    if (size >= 2) {
        std::vector<uint8_t> out;
        if (stats_answer(answer, p.block, &out)) {
            size_t count = load_le16(out.data() + STATS_COUNT_AT);
            if (out.size() < CMD_PARAMS_SIZE || CMD_PARAMS_SIZE + count * STATS_ENTRY_SIZE > out.size())
                __builtin_trap();
        }
    }
    BFREE(answer);
}

void handle(uint16_t code, const uint8_t *payload, size_t size)
{
    // Accounting on and off read no payload, and would start and stop a
    // thread of their own at every turn.
    if (code == 0x2031 || code == 0x2032)
        return;
    kernhandler handler = kernhandlers_lookup(code);
    if (!handler)
        return;
    // As the receive path builds it: the header, then exactly the payload.
    auto *request = static_cast<uint8_t *>(BALLOC(long(KERNMSG_HEADER_SIZE + size)));
    if (!request)
        return;
    kernmsg_header h;
    h.cmd = code;
    h.src = MODULE_PON_KERNEL;
    h.dst = MODULE_CHIPSET;
    h.len = uint32_t(size);
    kernmsg_header_encode(request, h);
    if (size)
        std::memcpy(request + KERNMSG_HEADER_SIZE, payload, size);
    stand_onus();
    uint8_t *done = handler(request);
    BFREE(done);
    // Work a command queued for the engine would pile up run after run.
    profiler_queues_drain();
}

} // namespace

// Under libFuzzer only (the seed replay never calls it): the trace of
// millions of runs goes nowhere.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!ready())
        return 0;
    decode(data, size);
    if (size >= 2)
        handle(load_le16(data), data + 2, size - 2);
    return 0;
}
