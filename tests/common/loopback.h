// Loopback addresses and ports of the test process's own, so that test
// programs running side by side never share chip addresses, the daemon's
// chip socket or its port.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>

// A chip network "127.A.B" from the pid and a counter: chip n at NET.(n+1),
// the daemon's chip socket bound to NET.100.
inline std::string loopback_chip_net()
{
    static unsigned counter;
    unsigned pid = unsigned(getpid());
    unsigned a = ((pid >> 8) + counter++ * 37) & 0xFF;
    return "127." + std::to_string(a) + "." + std::to_string(pid & 0xFF);
}

// A UDP port for the chips of this process: a daemon elsewhere on the
// machine bound to any address at the board's port would shut them out.
inline uint16_t loopback_chip_port() { return uint16_t(20000 + getpid() % 10000); }
