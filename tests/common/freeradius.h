// A real RADIUS server for the tests and the benchmark: Debian's FreeRADIUS
// started by tests/common/freeradius/run-radius-server on 127.0.0.1 with
// ports of its own and a configuration in a directory of the caller's (its
// files: radius.log, detail, auth-detail). Never a system service, never
// the default ports. Tests skip when the server is not installed.
//
// Also the settings helpers that point the daemon's RADIUS client at a
// server on loopback.
#pragma once

#include "auth/radius.h"
#include "base/bytes.h"
#include "engine/profiler_cache.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>

// The source tree: ZANDREL_SOURCE_DIR, else the one the build directory
// holding this program was configured from.
inline std::string zandrel_source_dir()
{
    if (const char *dir = getenv("ZANDREL_SOURCE_DIR"))
        return dir;
    char exe[4096] = {};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0)
        return ".";
    for (std::string dir = exe; dir.size() > 1;) {
        dir = dir.substr(0, dir.rfind('/'));
        std::ifstream cache(dir + "/CMakeCache.txt");
        for (std::string line; std::getline(cache, line);)
            if (line.rfind("CMAKE_HOME_DIRECTORY:INTERNAL=", 0) == 0)
                return line.substr(line.find('=') + 1);
        if (dir.empty())
            break;
    }
    return ".";
}

inline bool freeradius_installed()
{
    return system("command -v freeradius >/dev/null 2>&1 || command -v radiusd >/dev/null 2>&1") == 0 &&
           system("command -v radclient >/dev/null 2>&1") == 0;
}
constexpr const char *FREERADIUS_MISSING =
    "FreeRADIUS (freeradius, freeradius-utils) is not installed; scripts/setup installs it";

class freeradius_server {
public:
    ~freeradius_server() { stop(); }

    // Starts the server in `dir` with `secret` and the users file of
    // tests/common/freeradius (or `users`). A port pair already in use makes
    // the start fail: up to three pairs are tried. false when none came up.
    bool start(const std::string &dir, const std::string &secret, const std::string &users = "")
    {
        std::string here = zandrel_source_dir() + "/tests/common/freeradius";
        std::string users_file = users.empty() ? here + "/users" : users;
        std::mt19937 random(unsigned(getpid()) ^ unsigned(time(nullptr)));
        for (int attempt = 0; attempt < 3; attempt++) {
            auth_port = uint16_t(20000 + random() % 20000);
            acct_port = uint16_t(auth_port + 1);
            std::string command = here + "/run-radius-server '" + dir + "' " + std::to_string(auth_port) + " " +
                                  std::to_string(acct_port) + " '" + secret + "' '" + users_file + "'";
            FILE *out = popen(command.c_str(), "r");
            if (!out)
                return false;
            char line[64] = {};
            bool got = fgets(line, sizeof line, out) != nullptr;
            int status = pclose(out);
            if (got && status == 0) {
                pid = atoi(line);
                this->dir = dir;
                return pid > 0;
            }
        }
        return false;
    }

    void stop()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        for (int i = 0; i < 100 && kill(pid, 0) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pid = -1;
    }

    std::string detail() const { return read(dir + "/detail"); }
    std::string log() const { return read(dir + "/radius.log"); }

    pid_t pid = -1;
    uint16_t auth_port = 0;
    uint16_t acct_port = 0;
    std::string dir;

private:
    static std::string read(const std::string &path)
    {
        std::ifstream in(path);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
};

// RADIUS and system settings in the configuration cache for a client bound
// to 127.0.0.1 (authentication only; accounting is set apart).
inline void radius_test_settings(const char *primary, const char *secondary, uint16_t local_port,
                                 uint16_t server_port, const char *secret)
{
    cfg_cache *c = cfgcache();
    memset(c->radius, 0, sizeof c->radius);
    c->radius[RADIUS_AUTH_ENABLED] = 1;
    inet_pton(AF_INET, primary, c->radius + RADIUS_PRIMARY_SERVER);
    inet_pton(AF_INET, secondary, c->radius + RADIUS_SECONDARY_SERVER);
    store_le16(c->radius + RADIUS_AUTH_LOCAL_PORT, local_port);
    store_le16(c->radius + RADIUS_AUTH_SERVER_PORT, server_port);
    strcpy(reinterpret_cast<char *>(c->radius + RADIUS_SECRET), secret);
    inet_pton(AF_INET, "127.0.0.1", c->system + SYSTEM_DEVICE_ADDRESS);
}

// A UDP port on 127.0.0.1 that nobody uses right now.
inline uint16_t radius_free_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t size = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

// The ONU's side of EAP-MD5 against a challenge (RFC 1994): the response
// EAP packet to `request` (an EAP-Request/MD5-Challenge) with `secret`.
inline void radius_md5_answer(const uint8_t *request, const char *secret, uint8_t response[22])
{
    uint8_t hashed[1 + 256 + 16];
    size_t n = strlen(secret);
    hashed[0] = request[1];
    memcpy(hashed + 1, secret, n);
    memcpy(hashed + 1 + n, request + 6, 16);
    response[0] = 2;
    response[1] = request[1];
    response[2] = 0;
    response[3] = 22;
    response[4] = 4;
    response[5] = 16;
    radius_md5_authenticator(hashed, 17 + n, "", 0, response + 6);
}
