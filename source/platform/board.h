// The board device: OLT chip resets and the board's own MAC address.
//
// On the board "/dev/board" is a character device and ioctl 5 with a pointer
// to a byte holding n resets OLT chip n. In a sandbox the same path may be a
// UNIX datagram socket (the chip simulator listens there); a reset is then a
// one-byte datagram holding n. Called from start-up and from the threads that
// reset OLTs; a board_device belongs to one caller at a time.
#pragma once

#include <sys/un.h>

#include <cstdint>

struct board_device {
    int fd = -1;
    bool datagram = false;       // the sandbox's reset socket
    sockaddr_un peer{};          // where reset datagrams go
};

// Opens "/dev/board" (read-write) or, when it is a socket, a datagram socket
// aimed at it. 0, or -1 when neither can be opened.
int board_open(board_device *dev);
// Resets OLT chip `olt`. 0, or -1 when the device refused.
int board_reset(board_device *dev, uint8_t olt);
void board_close(board_device *dev);

enum : int {
    BOARD_MAC_UNREADABLE = -1,   // the interface has no address to give
    BOARD_MAC_NO_SOCKET = -2,    // no socket to ask it with
};
// Reads the hardware address of `iface` with SIOCGIFHWADDR into `mac`.
// 0, or a BOARD_MAC_* failure (then `mac` is left as it was).
int board_iface_mac(const char *iface, uint8_t mac[6]);
