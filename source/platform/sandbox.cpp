#include "platform/sandbox.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *env_or(const char *name, const char *fallback)
{
    const char *value = getenv(name);
    return value && *value ? value : fallback;
}

// A decimal number from 1 to `limit`, or `fallback` for anything else.
long env_number(const char *name, long limit, long fallback)
{
    const char *value = getenv(name);
    if (!value || !*value)
        return fallback;
    char *end = nullptr;
    long number = strtol(value, &end, 10);
    if (*end != '\0' || number <= 0 || number > limit)
        return fallback;
    return number;
}

uint16_t env_port(const char *name, uint16_t fallback) { return uint16_t(env_number(name, 65535, fallback)); }

} // namespace

std::string sandbox_path(const char *abs)
{
    std::string path = env_or("ZANDREL_ROOT", "");
    if (!path.empty() && abs[0] == '/' && path.back() == '/')
        path.pop_back();
    return path + abs;
}

int sandbox_path(char *out, size_t size, const char *abs)
{
    std::string path = sandbox_path(abs);
    if (path.size() + 1 > size)
        return -1;
    memcpy(out, path.c_str(), path.size() + 1);
    return 0;
}

in_addr sandbox_chip_addr(int olt)
{
    // A malformed override falls back to the board's network rather than to
    // an address nobody chose.
    char text[64];
    in_addr addr{};
    snprintf(text, sizeof text, "%s.%d", env_or("ZANDREL_CHIP_NET", "192.168.255"), olt + 1);
    if (inet_pton(AF_INET, text, &addr) != 1) {
        snprintf(text, sizeof text, "192.168.255.%d", olt + 1);
        inet_pton(AF_INET, text, &addr);
    }
    return addr;
}

in_addr sandbox_chip_bind()
{
    in_addr addr{};
    addr.s_addr = htonl(INADDR_ANY);
    const char *text = getenv("ZANDREL_CHIP_BIND");
    if (text && *text)
        inet_pton(AF_INET, text, &addr);
    return addr;
}

uint16_t sandbox_chip_port() { return env_port("ZANDREL_CHIP_PORT", 14113); }

uint16_t sandbox_kernel_port() { return env_port("ZANDREL_KERNEL_PORT", 7001); }

const char *sandbox_iface() { return env_or("ZANDREL_IFACE", "eth0"); }

bool sandbox_log_stderr()
{
    const char *value = getenv("ZANDREL_LOG_STDERR");
    return value && strcmp(value, "1") == 0;
}

unsigned sandbox_time_scale() { return unsigned(env_number("ZANDREL_TIME_SCALE", 1000, 1)); }

const char *sandbox_capture_path() { return env_or("ZANDREL_CAPTURE", ""); }

namespace {

unsigned env_range(const char *name, unsigned least, unsigned most, unsigned fallback)
{
    long number = env_number(name, long(most), long(fallback));
    return number < long(least) ? fallback : unsigned(number);
}

} // namespace

unsigned sandbox_capture_files(unsigned least, unsigned most, unsigned fallback)
{
    return env_range("ZANDREL_CAPTURE_FILES", least, most, fallback);
}

unsigned sandbox_capture_mib(unsigned least, unsigned most, unsigned fallback)
{
    return env_range("ZANDREL_CAPTURE_MIB", least, most, fallback);
}

bool sandbox_capture_radius()
{
    const char *value = getenv("ZANDREL_CAPTURE_RADIUS");
    return value && strcmp(value, "1") == 0;
}
