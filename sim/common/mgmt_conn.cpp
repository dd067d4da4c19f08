#include "common/mgmt_conn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
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
    // The header first, then exactly the payload it announces: the buffer
    // never grows beyond the message (sizing it to `cap` for every message
    // would clear 128 KiB each time).
    msg.resize(KERNMSG_HEADER_SIZE);
    if (fd_reader(&fd, msg.data(), KERNMSG_HEADER_SIZE) != int(KERNMSG_HEADER_SIZE))
        return KERNMSG_FRAME_HEADER_LOST;
    if (check_message_header(msg.data()) != 0)
        return KERNMSG_FRAME_BAD_MAGIC;
    size_t len = kernmsg_header_decode(msg.data()).len;
    if (cap < KERNMSG_HEADER_SIZE || len > cap - KERNMSG_HEADER_SIZE)
        return KERNMSG_FRAME_TOO_LONG;
    msg.resize(KERNMSG_HEADER_SIZE + len);
    if (len != 0 && fd_reader(&fd, msg.data() + KERNMSG_HEADER_SIZE, len) != int(len)) {
        msg.resize(KERNMSG_HEADER_SIZE);
        return KERNMSG_FRAME_PAYLOAD_LOST;
    }
    return KERNMSG_FRAME_OK;
}

int mgmt_write_message(int fd, kernmsg_header header, const std::vector<uint8_t> &payload)
{
    header.len = uint32_t(payload.size());
    uint8_t head[KERNMSG_HEADER_SIZE];
    kernmsg_header_encode(head, header);
    iovec parts[2] = {{head, sizeof head}, {const_cast<uint8_t *>(payload.data()), payload.size()}};
    size_t left = sizeof head + payload.size();
    int count = payload.empty() ? 1 : 2;
    iovec *part = parts;
    while (left > 0) {
        msghdr m{};
        m.msg_iov = part;
        m.msg_iovlen = size_t(count);
        ssize_t r = sendmsg(fd, &m, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        left -= size_t(r);
        // Step over what was written.
        size_t done = size_t(r);
        while (count > 0 && done >= part->iov_len) {
            done -= part->iov_len;
            part++;
            count--;
        }
        if (count > 0) {
            part->iov_base = static_cast<uint8_t *>(part->iov_base) + done;
            part->iov_len -= done;
        }
    }
    return 0;
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
