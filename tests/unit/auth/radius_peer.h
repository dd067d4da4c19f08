// A scripted RADIUS peer on a loopback address for the client's tests: it
// records the requests it receives and answers each with whatever the test's
// reply function builds (nothing when it returns an empty packet; a replies
// function may send several datagrams in turn), from its own address and
// port or, to play an impostor, from another one. After each request
// (and its answer) it runs the test's `after` step, for instance moving the
// fake clock past the client's wait.
#pragma once

#include "auth/radius.h"
#include "base/bytes.h"
#include "common/freeradius.h"
#include "engine/profiler_cache.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using radius_reply_fn = std::function<std::vector<uint8_t>(const std::vector<uint8_t> &request)>;
using radius_replies_fn = std::function<std::vector<std::vector<uint8_t>>(const std::vector<uint8_t> &request)>;

class radius_peer {
public:
    // Listens on `address`:`port`; answers from `answer_from` when given.
    radius_peer(const char *address, uint16_t port, radius_reply_fn reply, const char *answer_from = nullptr,
                std::function<void()> after = nullptr)
        : radius_peer(address, port, radius_replies_fn([reply](const std::vector<uint8_t> &request) {
                          return std::vector<std::vector<uint8_t>>{reply(request)};
                      }),
                      answer_from, std::move(after))
    {
    }
    radius_peer(const char *address, uint16_t port, radius_replies_fn replies, const char *answer_from = nullptr,
                std::function<void()> after = nullptr)
        : reply_(std::move(replies)), after_(std::move(after))
    {
        fd_ = bound(address, port);
        out_fd_ = answer_from ? bound(answer_from, 0) : fd_;
        thread_ = std::thread([this] { run(); });
    }
    ~radius_peer()
    {
        stop_ = true;
        thread_.join();
        if (out_fd_ != fd_)
            close(out_fd_);
        close(fd_);
    }

    std::vector<std::vector<uint8_t>> requests()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return requests_;
    }
    size_t count() { return requests().size(); }

private:
    static int bound(const char *address, uint16_t port)
    {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, address, &a.sin_addr);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        return fd;
    }

    void run()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            std::vector<uint8_t> packet(RADIUS_BUFFER_SIZE);
            sockaddr_in from{};
            socklen_t size = sizeof from;
            ssize_t n = recvfrom(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&from), &size);
            if (n <= 0)
                continue;
            packet.resize(size_t(n));
            std::vector<std::vector<uint8_t>> answers = reply_(packet);
            {
                std::lock_guard<std::mutex> guard(mutex_);
                requests_.push_back(packet);
            }
            for (const auto &answer : answers)
                if (!answer.empty())
                    sendto(out_fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr *>(&from), size);
            if (after_)
                after_();
        }
    }

    radius_replies_fn reply_;
    std::function<void()> after_;
    int fd_ = -1, out_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> requests_;
    std::thread thread_;
};

// A reply of `code` to `request` with `attributes`, signed with `secret`
// as a server does: Message-Authenticator (when `sign`), then the Response
// Authenticator.
inline std::vector<uint8_t> radius_signed_reply(const std::vector<uint8_t> &request, uint8_t code,
                                                const std::vector<uint8_t> &attributes, const char *secret,
                                                bool sign = true)
{
    std::vector<uint8_t> a(RADIUS_HEADER + attributes.size() + (sign ? 18 : 0), 0);
    a[0] = code;
    a[1] = request[1];
    store_be16(&a[2], uint16_t(a.size()));
    memcpy(&a[4], &request[4], 16);
    std::copy(attributes.begin(), attributes.end(), a.begin() + RADIUS_HEADER);
    size_t len = strlen(secret);
    if (sign) {
        size_t at = a.size() - 18;
        a[at] = RADIUS_ATTR_MESSAGE_AUTHENTICATOR;
        a[at + 1] = 18;
        radius_hmac_md5(a.data(), a.size(), secret, len, &a[at + 2]);
    }
    uint8_t digest[16];
    radius_md5_authenticator(a.data(), a.size(), secret, len, digest);
    memcpy(&a[4], digest, 16);
    return a;
}
