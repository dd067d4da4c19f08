// Loopback addresses and ports of the test process's own, so that test
// programs running side by side never share chip addresses, the daemon's
// chip socket or a port. Each is a numbered slot reserved by a lock file
// held (flock) for the rest of the process; a crashed process's locks go
// with it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

// A slot of this process's own, from 0 to 8191.
inline unsigned loopback_reserve()
{
    static std::mutex guard;
    std::lock_guard<std::mutex> hold(guard);
    constexpr unsigned SLOTS = 8192;
    mkdir("/tmp/zandrel-test-slots", 0777);
    for (unsigned tried = 0, first = unsigned(getpid()) * 7919u % SLOTS; tried < SLOTS; tried++) {
        unsigned slot = (first + tried) % SLOTS;
        int fd = open(("/tmp/zandrel-test-slots/" + std::to_string(slot)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0)
            return slot;   // the descriptor stays open as long as the process
        if (fd >= 0)
            close(fd);
    }
    abort();   // thousands of test processes at once: nothing sane to carry on with
}

// A chip network "127.A.B" (127.64.0 to 127.95.255): chip n at NET.(n+1),
// the daemon's chip socket bound to NET.100.
inline std::string loopback_chip_net()
{
    unsigned slot = loopback_reserve();
    return "127." + std::to_string(64 + slot / 256) + "." + std::to_string(slot % 256);
}

// What puts a program in sandbox `root` on chip network `net`.
inline std::map<std::string, std::string> sandbox_env(const std::string &root, const std::string &net)
{
    return {{"ZANDREL_ROOT", root}, {"ZANDREL_CHIP_NET", net}, {"ZANDREL_CHIP_BIND", net + ".100"}};
}

// Address `octet` of the network 32 above chip network `chip_net` in its
// second octet: a neighbour whose .1 .. .4 end like the chips' addresses,
// for senders that must not pass for chips.
inline in_addr loopback_neighbour(const std::string &chip_net, int octet)
{
    in_addr net{};
    inet_pton(AF_INET, (chip_net + ".0").c_str(), &net);
    return in_addr{htonl(ntohl(net.s_addr) + (32u << 16) + unsigned(octet))};
}

// A port from 20000 to 28191, below the ephemeral range: TCP for the
// management link, UDP for the chips and RADIUS.
inline uint16_t loopback_port() { return uint16_t(20000 + loopback_reserve()); }

// The chips' UDP port of this process, the same for all its tests.
inline uint16_t loopback_chip_port()
{
    static const uint16_t port = loopback_port();
    return port;
}
