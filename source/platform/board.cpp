#include "platform/board.h"

#include "platform/sandbox.h"

#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {
constexpr unsigned long BOARD_IOCTL_RESET_OLT = 5;

// Without the board device every OLT reset does nothing, silently: say so
// once, at the first open that fails (start-up's, where there is one).
int missing_board(const std::string &path)
{
    static std::atomic<bool> told{false};
    int error = errno;
    if (!told.exchange(true))
        syslog(LOG_ERR, "board: cannot open %s (%s): OLT resets will do nothing", path.c_str(), strerror(error));
    errno = error;
    return -1;
}
} // namespace

int board_open(board_device *dev)
{
    std::string path = sandbox_path("/dev/board");
    struct stat st{};
    *dev = board_device{};
    if (stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        if (path.size() >= sizeof dev->peer.sun_path)
            return -1;
        dev->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (dev->fd < 0)
            return -1;
        dev->datagram = true;
        dev->peer.sun_family = AF_UNIX;
        memcpy(dev->peer.sun_path, path.c_str(), path.size() + 1);
        return 0;
    }
    dev->fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    return dev->fd < 0 ? missing_board(path) : 0;
}

int board_reset(board_device *dev, uint8_t olt)
{
    if (dev->fd < 0)
        return -1;
    if (dev->datagram) {
        ssize_t sent = sendto(dev->fd, &olt, 1, 0, reinterpret_cast<const sockaddr *>(&dev->peer),
                              sizeof dev->peer);
        return sent == 1 ? 0 : -1;
    }
    return ioctl(dev->fd, BOARD_IOCTL_RESET_OLT, &olt) < 0 ? -1 : 0;
}

void board_close(board_device *dev)
{
    if (dev->fd >= 0)
        close(dev->fd);
    dev->fd = -1;
}

int board_iface_mac(const char *iface, uint8_t mac[6])
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return BOARD_MAC_NO_SOCKET;
    ifreq req{};
    strncpy(req.ifr_name, iface, IFNAMSIZ - 1);
    int rc = ioctl(fd, SIOCGIFHWADDR, &req);
    close(fd);
    if (rc < 0)
        return BOARD_MAC_UNREADABLE;
    memcpy(mac, req.ifr_hwaddr.sa_data, 6);
    return 0;
}
