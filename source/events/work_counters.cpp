#include "events/work_counters.h"

#include "engine/profiler.h"
#include "events/tekhandlers.h"
#include "platform/sandbox.h"

#include <cstdio>
#include <string>

namespace {

constexpr size_t TEXT_SIZE = 512;

} // namespace

int work_counters_text(char *out, size_t size)
{
    profiler_counters work = profiler_counters_get();
    unsigned long items = work.olt_reconfigure + work.onu_reconfigure + work.link_discovery + work.unknown;
    int length = snprintf(out, size,
                          "events_handled %lu\nwork_items %lu\nwork_olt_reconfigure %lu\nwork_onu_reconfigure %lu\n"
                          "work_link_discovery %lu\nwork_unknown %lu\n",
                          tekhandlers_events_handled(), items, work.olt_reconfigure, work.onu_reconfigure,
                          work.link_discovery, work.unknown);
    return length < 0 || size_t(length) >= size ? -1 : length;
}

int work_counters_write()
{
    char text[TEXT_SIZE];
    if (work_counters_text(text, sizeof text) < 0)
        return -1;
    std::string path = sandbox_path(WORK_COUNTERS_FILE);
    FILE *file = fopen(path.c_str(), "w");
    if (!file)
        return -1;
    bool written = fputs(text, file) >= 0;
    return fclose(file) == 0 && written ? 0 : -1;
}
