// The full configuration cache fetch at start-up - 33 requests to
// ponkernel's configuration store over the management link, each answer
// read by the daemon's receive thread, queued and copied into the cache -
// against a raw transfer of the same 33 answers (the very bytes ponkernel
// sends) over a UNIX stream socket pair in the same run, read with the same
// header-then-payload framing. Both are timed in milliseconds; the medians
// and their ratio are printed.
//
// bench_cfg_fetch [RUNS]   (default 9)
#include "base/balloc.h"
#include "common/mgmt_conn.h"
#include "mgmt/kernlink.h"
#include "ponkernel/ponkernel.h"
#include "base/process.h"
#include "engine/profiler_cache.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A board whose every profile is set, so that no answer is mostly zeros the
// kernel might treat specially.
std::string full_board()
{
    std::string text = R"({"system": {"hostname": "bench"}, "profiles": {)";
    const char *types[] = {"link", "sla", "paths", "multicast", "rules"};
    for (int t = 0; t < 5; t++) {
        text += std::string(t ? "," : "") + "\"" + types[t] + "\": [";
        int entries = t == 4 ? 128 : 64;
        for (int i = 0; i < entries; i++)
            text += std::string(i ? "," : "") + "{\"index\": " + std::to_string(i) + ", \"fill\": " +
                    std::to_string(1 + (i * 7 + t) % 250) + (t == 0 ? ", \"links\": 4" : "") + "}";
        text += "]";
    }
    return text + "}}";
}

// The 33 answers as ponkernel writes them.
std::vector<std::vector<uint8_t>> fetch_answers(config_store &store)
{
    std::vector<std::vector<uint8_t>> out;
    uint8_t params[CFG_PARAMS_SIZE] = {};
    for (uint32_t i = 0; i <= 2 * FETCH_PROFILE_REQUESTS; i += 2) {
        uint32_t index = i < 2 * FETCH_PROFILE_REQUESTS ? i : FETCH_SETTINGS_INDEX;
        memcpy(params, &index, 4);
        config_reply reply = store.answer(CFG_CMD_FETCH, params, sizeof params);
        kernmsg_header h;
        h.cmd = CFG_CMD_FETCH;
        h.type = KERNMSG_ANSWER;
        h.src = MODULE_CONFIG;
        h.dst = MODULE_CHIPSET;
        out.push_back(mgmt_build(h, reply.payload));
    }
    return out;
}

double raw_transfer(const std::vector<std::vector<uint8_t>> &answers)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return 0;
    std::vector<uint8_t> buffer(KERNMSG_RX_BUFFER);
    auto start = clock_type::now();
    std::thread writer([&] {
        for (const auto &a : answers)
            mgmt_write_all(pair[1], a);
    });
    for (size_t n = 0; n < answers.size(); n++) {
        if (recv(pair[0], buffer.data(), KERNMSG_HEADER_SIZE, MSG_WAITALL) != ssize_t(KERNMSG_HEADER_SIZE))
            break;
        size_t len = kernmsg_header_decode(buffer.data()).len;
        if (recv(pair[0], buffer.data() + KERNMSG_HEADER_SIZE, len, MSG_WAITALL) != ssize_t(len))
            break;
    }
    double ms = ms_since(start);
    writer.join();
    close(pair[0]);
    close(pair[1]);
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 9;
    if (runs < 1)
        runs = 9;
    char pattern[] = "/tmp/zandrel-bench-XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    std::string root = pattern;
    std::filesystem::create_directories(root + "/tmp");
    setenv("ZANDREL_ROOT", root.c_str(), 1);
    bopen(nullptr, 0x400000, 0);

    ponkernel_server kernel;
    std::string error;
    if (!kernel.store().load_text(full_board(), error)) {
        fprintf(stderr, "bench_cfg_fetch: %s\n", error.c_str());
        return 1;
    }
    ponkernel_options options;
    options.unix_path = root + "/tmp/chip.sock";
    options.print = false;
    if (kernel.start(options) != 0)
        return 1;
    kernlink_init();
    if (!kernel.wait_connected(10)) {
        fprintf(stderr, "bench_cfg_fetch: the link did not come up\n");
        return 1;
    }
    while (!kernlink_connected())
        usleep(1000);

    std::vector<double> fetch, raw;
    profiler_get_cfg_cache();   // warm-up: pool blocks, page faults of the cache
    for (int r = 0; r < runs; r++) {
        auto start = clock_type::now();
        int rc = profiler_get_cfg_cache();
        fetch.push_back(ms_since(start));
        if (rc != 0) {
            fprintf(stderr, "bench_cfg_fetch: fetch failed: %d\n", rc);
            return 1;
        }
    }
    std::vector<std::vector<uint8_t>> answers = fetch_answers(kernel.store());
    size_t bytes = 0;
    for (const auto &a : answers)
        bytes += a.size();
    raw_transfer(answers);
    for (int r = 0; r < runs; r++)
        raw.push_back(raw_transfer(answers));

    double f = median(fetch), w = median(raw);
    printf("configuration cache fetch: 33 answers, %zu bytes, %d runs\n", bytes, runs);
    printf("  fetch through the management link: median %.2f ms (best %.2f)\n", f,
           *std::min_element(fetch.begin(), fetch.end()));
    printf("  raw stream transfer of the same answers: median %.2f ms (best %.2f)\n", w,
           *std::min_element(raw.begin(), raw.end()));
    printf("  ratio fetch / raw: %.2f (target <= 1.5)\n", w > 0 ? f / w : 0.0);

    kernlink_close();
    kernel.stop();
    bclose();
    std::filesystem::remove_all(root);
    return 0;
}
