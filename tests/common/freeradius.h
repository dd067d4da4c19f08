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
#include "loopback.h"
#include "wait.h"

#include <signal.h>

#include <cstring>

// The source tree: ZANDREL_SOURCE_DIR, else the one the build directory
// holding this program was configured from.
inline std::string zandrel_source_dir()
{
    if (const char *dir = getenv("ZANDREL_SOURCE_DIR"))
        return dir;
    std::error_code e;
    auto dir = std::filesystem::read_symlink("/proc/self/exe", e);
    for (; dir.has_relative_path(); dir = dir.parent_path()) {
        std::ifstream cache(dir / "CMakeCache.txt");
        for (std::string line; std::getline(cache, line);)
            if (line.rfind("CMAKE_HOME_DIRECTORY:INTERNAL=", 0) == 0)
                return line.substr(30);
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
    // tests/common/freeradius (or `users`) on ports of this process's own.
    // A port taken by another program makes the start fail: up to three
    // pairs are tried. false when none came up.
    bool start(const std::string &dir, const std::string &secret, const std::string &users = "")
    {
        std::string here = zandrel_source_dir() + "/tests/common/freeradius";
        std::string users_file = users.empty() ? here + "/users" : users;
        for (int attempt = 0; attempt < 3; attempt++) {
            auth_port = loopback_port();
            acct_port = loopback_port();
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
        eventually([&] { return kill(pid, 0) != 0; }, 5, 50);
        pid = -1;
    }

    std::string detail() const { return read_file(dir + "/detail"); }
    std::string log() const { return read_file(dir + "/radius.log"); }

    pid_t pid = -1;
    uint16_t auth_port = 0;
    uint16_t acct_port = 0;
    std::string dir;
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

// A UDP port on 127.0.0.1 of this process's own.
inline uint16_t radius_free_port() { return loopback_port(); }

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
