// Loopback addresses and ports of a test process's own. Each reservation is
// a numbered lock file held (flock) for the rest of the process, so two test
// processes running side by side can never be handed the same one, whatever
// their pids; a crashed process's locks go with it.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <sys/stat.h>

struct test_net {
    std::string net;    // "127.A.B": chips at NET.1..4, the daemon at NET.100
    uint16_t port;      // chip UDP port and management TCP port, below the ephemeral range
};

inline test_net reserve_test_net()
{
    constexpr unsigned SLOTS = 8192;   // nets 127.64.0 to 127.95.255, ports 20000 to 28191
    static std::mutex guard;
    std::lock_guard<std::mutex> hold(guard);
    const char *dir = "/tmp/zandrel-test-nets";
    mkdir(dir, 0777);
    unsigned first = unsigned(getpid()) * 7919u % SLOTS;
    for (unsigned tried = 0; tried < SLOTS; tried++) {
        unsigned slot = (first + tried) % SLOTS;
        std::string path = std::string(dir) + "/" + std::to_string(slot);
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            continue;
        }
        // The descriptor stays open: the reservation lasts as long as the process.
        return {"127." + std::to_string(64 + slot / 256) + "." + std::to_string(slot % 256), uint16_t(20000 + slot)};
    }
    abort();   // eight thousand test processes at once: nothing sane to carry on with
}
