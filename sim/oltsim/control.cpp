#include "oltsim/control.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace oltsim {

namespace {

bool number(const std::string &text, long &out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    out = strtol(text.c_str(), &end, 0);
    return *end == '\0';
}

// "a:b:c" into numbers; false unless exactly `count` of them.
bool numbers(const std::string &text, size_t count, std::vector<long> &out)
{
    std::stringstream in(text);
    std::string part;
    out.clear();
    while (std::getline(in, part, ':')) {
        long n;
        if (!number(part, n))
            return false;
        out.push_back(n);
    }
    return out.size() == count;
}

} // namespace

bool control_chip(const chipset &sim, long olt, std::string &error)
{
    if (olt >= 0 && olt < sim.olts())
        return true;
    error = "no chip " + std::to_string(olt) + " (chips 0.." + std::to_string(sim.olts() - 1) + ")";
    return false;
}

const char *control_usage()
{
    return "faults and actions (command line: --name [arg]; standard input: name [arg]):\n"
           "  silent-olt N        chip N stops answering      loud-olt N     answers again\n"
           "  silent-id ID        requests ID get no answer   loud-id ID     answered again\n"
           "  rcode OLT:RCODE:N   next N requests to OLT answered with RCODE (10, 11 ...)\n"
           "  delay OLT:N:MS      next N answers of OLT leave MS milliseconds late\n"
           "  fragments K         answers go out as K fragments (1: whole)\n"
           "  event-fragments K   long events go out as K fragments\n"
           "  reorder on|off      fragments leave last first\n"
           "  lose I              fragment number I is never sent (-1: none)\n"
           "  duplicate on|off    every datagram leaves twice\n"
           "  drop P              about P % of requests are lost on their way to the chips\n"
           "  rcode-random RCODE:P   about P % of requests are answered with RCODE\n"
           "  reorder-random P    about P % of fragmented answers and long events leave last first\n"
           "  seed N              the random faults' draws start from N\n"
           "  clear               all faults off\n"
           "  reset N             restart chip N (it sends its OLT ready event)\n";
}

bool control_takes_argument(const std::string &name) { return name != "clear"; }

bool control_apply(chipset &sim, const std::string &name, const std::string &arg, std::string &error)
{
    long n = 0;
    std::vector<long> v;
    auto on_off = [&](bool &out) {
        if (arg != "on" && arg != "off")
            return false;
        out = arg == "on";
        return true;
    };
    bool flag = false;
    bool ok = true;
    // A switch that names a chip the program does not play says so.
    auto chip = [&](long olt) {
        if (control_chip(sim, olt, error))
            return true;
        error = name + " " + arg + ": " + error;
        return false;
    };
    if ((name == "silent-olt" || name == "loud-olt" || name == "reset") && number(arg, n) && !chip(n))
        return false;
    if ((name == "rcode" || name == "delay") && numbers(arg, 3, v) && !chip(v[0]))
        return false;
    if (name == "silent-olt" || name == "loud-olt")
        ok = number(arg, n) && (sim.silence_olt(int(n), name == "silent-olt"), true);
    else if (name == "silent-id" || name == "loud-id")
        ok = number(arg, n) && (sim.silence_id(uint16_t(n), name == "silent-id"), true);
    else if (name == "rcode")
        ok = numbers(arg, 3, v) && (sim.rcode_next(int(v[0]), uint16_t(v[1]), int(v[2])), true);
    else if (name == "delay")
        ok = numbers(arg, 3, v) && (sim.delay_next(int(v[0]), int(v[1]), int(v[2])), true);
    else if (name == "fragments")
        ok = number(arg, n) && (sim.fragment_answers(int(n)), true);
    else if (name == "event-fragments")
        ok = number(arg, n) && (sim.fragment_events(int(n)), true);
    else if (name == "reorder")
        ok = on_off(flag) && (sim.reorder_fragments(flag), true);
    else if (name == "lose")
        ok = number(arg, n) && (sim.lose_fragment(int(n)), true);
    else if (name == "duplicate")
        ok = on_off(flag) && (sim.duplicate(flag), true);
    else if (name == "drop")
        ok = number(arg, n) && (sim.drop_requests(int(n)), true);
    else if (name == "rcode-random")
        ok = numbers(arg, 2, v) && (sim.rcode_random(uint16_t(v[0]), int(v[1])), true);
    else if (name == "reorder-random")
        ok = number(arg, n) && (sim.reorder_random(int(n)), true);
    else if (name == "seed")
        ok = number(arg, n) && (sim.seed(uint32_t(n)), true);
    else if (name == "clear")
        sim.clear_faults();
    else if (name == "reset")
        ok = number(arg, n) && (sim.reset(int(n)), true);
    else {
        error = "unknown switch " + name;
        return false;
    }
    if (!ok)
        error = "bad argument for " + name + ": '" + arg + "'";
    return ok;
}

} // namespace oltsim
