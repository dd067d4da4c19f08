// EAP-MD5 authentications per second through the daemon's RADIUS client
// (identity request, challenge, answer, Access-Accept with the ONU's vendor
// attributes parsed) against a local FreeRADIUS on loopback ports of its
// own, and, in the same run against the same server, eapol_test doing the
// same exchange as a one-shot client (one process per authentication).
//
// bench_radius_auth [SECONDS]   (default 3 per measurement)
#include "../tests/common/freeradius.h"
#include "auth/radius.h"
#include "base/balloc.h"
#include "store/datastruct.h"

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

using clock_type = std::chrono::steady_clock;
const char SECRET[] = "bench-radius-secret";
const uint8_t ONU1[6] = {0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56};

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

bool authenticate_once(onu_record *config)
{
    uint8_t eap[RADIUS_EAP_SIZE] = {};
    uint8_t state[RADIUS_STATE_SIZE] = {};
    if (radius_eap_identity_request(ONU1, eap, state) != RADIUS_ACCESS_CHALLENGE)
        return false;
    uint8_t answer[RADIUS_EAP_SIZE] = {};
    radius_md5_answer(eap, "onu1secret", answer);
    onu_config_defaults(config);
    return radius_eap_response(ONU1, answer, state, config) == RADIUS_ACCESS_ACCEPT && config->ont_id == 17;
}

// Authentications per second, counting only successful ones; -1 when one failed.
template <typename F> double rate(double seconds, F once, unsigned *count)
{
    auto start = clock_type::now();
    *count = 0;
    while (seconds_since(start) < seconds) {
        if (!once())
            return -1;
        (*count)++;
    }
    return *count / seconds_since(start);
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    if (!freeradius_installed()) {
        printf("%s\n", FREERADIUS_MISSING);
        return 1;
    }
    char pattern[] = "/tmp/zandrel-bench-radius-XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    std::string dir = pattern;
    freeradius_server server;
    if (!server.start(dir + "/radius", SECRET)) {
        printf("FreeRADIUS did not start; see %s/radius/radius.log\n", dir.c_str());
        return 1;
    }
    bopen(nullptr, 1 << 22, 0);
    radius_test_settings("127.0.0.1", "255.255.255.255", radius_free_port(), server.auth_port, SECRET);
    auto config = std::make_unique<onu_record>();

    unsigned ours = 0;
    double ours_rate = rate(seconds, [&] { return authenticate_once(config.get()); }, &ours);
    printf("radius client: %u EAP-MD5 authentications in %.1f s: %.0f auth/s\n", ours, seconds, ours_rate);

    int result = ours_rate > 0 ? 0 : 1;
    if (system("command -v eapol_test >/dev/null 2>&1") == 0) {
        std::string conf = dir + "/eapol.conf";
        std::ofstream(conf) << "network={\n\tkey_mgmt=IEEE8021X\n\teap=MD5\n\tidentity=\"00:0D:B6:12:34:56\"\n"
                               "\tpassword=\"onu1secret\"\n\teapol_flags=0\n}\n";
        std::string command = "eapol_test -n -c " + conf + " -a 127.0.0.1 -p " + std::to_string(server.auth_port) +
                              " -s " + SECRET + " -r 0 -t 10 >/dev/null 2>&1";
        unsigned theirs = 0;
        double theirs_rate = rate(seconds, [&] { return system(command.c_str()) == 0; }, &theirs);
        printf("eapol_test:    %u EAP-MD5 authentications in %.1f s: %.0f auth/s\n", theirs, seconds, theirs_rate);
        if (theirs_rate > 0)
            printf("ratio radius client / eapol_test: %.2f\n", ours_rate / theirs_rate);
        else
            result = 1;
    } else {
        printf("eapol_test: not installed (scripts/setup installs eapoltest); no ratio\n");
    }
    server.stop();
    bclose();
    std::filesystem::remove_all(dir);
    return result;
}
