#include "common/mgmt_conn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

bool unix_address(const std::string &path, sockaddr_un &address)
{
    if (path.size() >= sizeof address.sun_path)
        return false;
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int fd_reader(void *ctx, uint8_t *buf, size_t n)
{
    int fd = *static_cast<int *>(ctx);
    size_t got = 0;
    while (got < n) {
        ssize_t r = recv(fd, buf + got, n - got, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        got += size_t(r);
    }
    return int(n);
}

} // namespace

int mgmt_listen_unix(const std::string &path)
{
    sockaddr_un address;
    if (!unix_address(path, address))
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int mgmt_listen_tcp(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int mgmt_connect_unix(const std::string &path)
{
    sockaddr_un address;
    if (!unix_address(path, address))
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int mgmt_read_message(int fd, std::vector<uint8_t> &msg, size_t cap)
{
    msg.resize(cap < KERNMSG_HEADER_SIZE ? KERNMSG_HEADER_SIZE : cap);
    int result = kernmsg_read_frame(fd_reader, &fd, msg.data(), msg.size());
    size_t keep = KERNMSG_HEADER_SIZE;
    if (result == KERNMSG_FRAME_OK)
        keep += kernmsg_header_decode(msg.data()).len;
    msg.resize(keep);
    return result;
}

int mgmt_write_all(int fd, const uint8_t *data, size_t size)
{
    size_t sent = 0;
    while (sent < size) {
        ssize_t r = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        sent += size_t(r);
    }
    return 0;
}

std::vector<uint8_t> mgmt_build(kernmsg_header header, const std::vector<uint8_t> &payload)
{
    header.len = uint32_t(payload.size());
    std::vector<uint8_t> msg(KERNMSG_HEADER_SIZE + payload.size());
    kernmsg_header_encode(msg.data(), header);
    std::copy(payload.begin(), payload.end(), msg.begin() + KERNMSG_HEADER_SIZE);
    return msg;
}

bool mgmt_parse_hex(const std::string &text, std::vector<uint8_t> &out)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        if (isspace(static_cast<unsigned char>(c)) || c == ':' || c == '-')
            continue;
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
        int digit = isdigit(static_cast<unsigned char>(c)) ? c - '0' : (tolower(c) - 'a' + 10);
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(uint8_t(high << 4 | digit));
            high = -1;
        }
    }
    return high < 0;
}
