// The road of an ONU through RADIUS on the simulated board: zandrel and
// ponkernel as processes, the chips and their ONUs in this test process, and
// a real FreeRADIUS on loopback ports of its own. The board file turns
// RADIUS authentication and accounting on and points them at that server;
// the ONUs answer the server's MD5 challenge themselves (oltsim).
#include "common/freeradius.h"
#include "integration/onu_road_fixture.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>

namespace {

const char SECRET[] = "zandrel-road-radius";
const char HOSTNAME[] = "olt-road";

// Users file of tests/common/freeradius: ONU 1 is accepted with its
// configuration in vendor attributes (link profile 4, a PON and a UNI rule;
// its chip registers the two links that profile gives); ONU 2 is known with
// another secret than its chip answers with.
const char *ONU1 = "00:0D:B6:12:34:56";
const char *ONU2 = "00:0D:B6:AB:CD:EF";

class RadiusRoad : public Road {
protected:
    void SetUp() override
    {
        if (!freeradius_installed())
            GTEST_SKIP() << FREERADIUS_MISSING;
        ASSERT_TRUE(server_.start(box_.path("/radius"), SECRET))
            << "FreeRADIUS did not start; see " << box_.path("/radius/radius.log");
        disconnect_port_ = radius_free_port();
        Road::SetUp();
    }
    void TearDown() override
    {
        if (IsSkipped())
            return;
        Road::TearDown();
        server_.stop();
    }
    std::string chip_onus() const override { return integration_vector("radius_chip_onus.json"); }
    // RADIUS on, at the test's server; the device address is loopback, where
    // the daemon's RADIUS sockets are bound. Link profile 0 has four links,
    // link profile 4 (ONU 1's, from the server) two; rules profile 1, also
    // ONU 1's, is in use.
    std::string kernel_board() const override
    {
        return std::string(R"({ "system": { "hostname": ")") + HOSTNAME + R"(", "address": "127.0.0.1" },
  "radius": { "auth": 1, "primary": "127.0.0.1", "secondary": "255.255.255.255",
              "auth_local_port": )" + std::to_string(radius_free_port()) + R"(, "auth_port": )" +
               std::to_string(server_.auth_port) + R"(, "secret": ")" + SECRET + R"(",
              "accounting": 1, "interim_minutes": 1,
              "acct_local_port": )" + std::to_string(radius_free_port()) + R"(, "acct_port": )" +
               std::to_string(server_.acct_port) + R"(, "acct_local_port2": )" + std::to_string(disconnect_port_) +
               R"( },
  "profiles": { "link": [ { "index": 0, "links": 4 }, { "index": 4, "links": 2 } ],
                "rules": [ { "index": 0, "in_use": 1 }, { "index": 1, "in_use": 1 } ] }
})";
    }
    // The Acct-Session-Id of the ONU's last accounting record, as the
    // 0x-hex radclient takes ("" when none).
    std::string session_of(const std::string &mac) const
    {
        std::string detail = server_.detail(), found;
        std::regex record("User-Name = \"" + mac + "\"[\\s\\S]*?Acct-Session-Id = \"((?:\\\\[0-7]{3}|[^\"\\\\])*)\"");
        for (std::sregex_iterator it(detail.begin(), detail.end(), record), end; it != end; ++it)
            found = (*it)[1];
        if (found.empty())
            return "";
        std::string hex = "0x";
        for (size_t i = 0; i < found.size();) {
            unsigned byte;
            if (found[i] == '\\') {
                byte = unsigned(std::stoi(found.substr(i + 1, 3), nullptr, 8));
                i += 4;
            } else {
                byte = uint8_t(found[i++]);
            }
            char two[3];
            snprintf(two, sizeof two, "%02x", byte);
            hex += two;
        }
        // The server shows the 4-byte octets as text, without its trailing
        // zero bytes.
        while (hex.size() < 10)
            hex += "00";
        return hex;
    }
    // radclient's exit status for a Disconnect-Request to the daemon (0 ACK,
    // 1 NAK).
    int radclient_disconnect(const std::string &attributes)
    {
        std::string command = "echo '" + attributes + "' | radclient -r 1 -t 3 127.0.0.1:" +
                              std::to_string(disconnect_port_) + " disconnect " + SECRET + " >>" +
                              box_.path("/radclient.out") + " 2>&1";
        int status = system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string radclient_out() const { return read_file(box_.path("/radclient.out")); }

    freeradius_server server_;
    uint16_t disconnect_port_ = 0;
};

// Authenticated through the server and configured from its Access-Accept,
// the session accounted, disconnected by the server, registered again.
TEST_F(RadiusRoad, RightSecretIsConfiguredFromTheServerAccountedAndDisconnected)
{
    start();
    const mac_bytes onu = mac(ONU1);
    population_->register_onu(onu);
    ASSERT_TRUE(eventually([&] { return state(ONU1) == "OK"; }, ROAD_SECONDS))
        << daemon_.out() << daemon_.err() << "\n" << server_.log();
    EXPECT_EQ(states(ONU1), (std::vector<std::string>{"ALLOCATED", "AUTHINPROGRESS", "AUTHOK", "DISCOVERED",
                                                      "CFGINPROGRESS", "OK"}));
    EXPECT_EQ(service_->eap_result(onu), 3) << "the server's EAP-Success reached the ONU";
    EXPECT_EQ(count_of(server_.log(), "Login OK: [" + std::string(ONU1) + "]"), 1) << server_.log();
    // Link profile 4 of the Accept: two links, a path each.
    EXPECT_EQ(service_->paths(0), 2u);
    // Its rule texts reached the ONU: the PON rule's 224.0.0.1 and the UNI
    // rule's MAC value in the ONU's rule requests.
    std::string rules;
    for (const auto &r : sim_->request_log())
        if (r.id == TEK_REQ_ONU_RULES && r.data.size() >= 6 && std::equal(onu.begin(), onu.end(), r.data.begin()))
            rules.append(r.data.begin(), r.data.end());
    EXPECT_NE(rules.find(std::string("\xE0\x00\x00\x01", 4)), std::string::npos);
    EXPECT_NE(rules.find(std::string("\x00\x0D\xB6\x01\x02\x03", 6)), std::string::npos);

    // The session's Start, some seconds after OK.
    ASSERT_TRUE(eventually([&] { return count_of(server_.detail(), "Acct-Status-Type = Start") == 1; }, 60))
        << daemon_.err() << server_.detail();
    std::string session = session_of(ONU1);
    ASSERT_EQ(session.size(), 10u) << server_.detail();

    // Another session id: NAK, the ONU stays.
    EXPECT_EQ(radclient_disconnect("User-Name = \"" + std::string(ONU1) + "\", Attr-44 = 0x7f7f7f7f"), 1)
        << radclient_out();
    EXPECT_EQ(state(ONU1), "OK");
    // Its own session: ACK; the ONU's links time out, it is released and its
    // session ends with a Stop that carries its traffic counters.
    ASSERT_EQ(radclient_disconnect("User-Name = \"" + std::string(ONU1) + "\", Attr-44 = " + session), 0)
        << radclient_out() << daemon_.err();
    EXPECT_NE(radclient_out().find("Disconnect-ACK"), std::string::npos) << radclient_out();
    ASSERT_TRUE(eventually([&] { return state(ONU1) == "FREE"; }, 60)) << daemon_.out();
    EXPECT_TRUE(says("(desc: test onu one) disconnected")) << "the description of the Accept";

    ASSERT_TRUE(eventually([&] { return count_of(server_.detail(), "Acct-Status-Type = Stop") == 1; }, 20))
        << server_.detail();
    std::string detail = server_.detail();
    std::string stop = detail.substr(detail.find("Acct-Status-Type = Stop"));
    std::smatch frames;
    ASSERT_TRUE(std::regex_search(stop, frames, std::regex("Pon-Set20-Counter-2 = \"([0-9]+)\""))) << stop;
    EXPECT_GT(std::stoull(frames[1]), 0u) << "the chip's frame count";
    EXPECT_EQ(session_of(ONU1), session) << "the Stop closes the session the Start opened";

    // Deregistered, the ONU registers again by itself and is authenticated
    // afresh: its configuration is already in the store from the first
    // Accept, and it is OK again within 30 seconds.
    ASSERT_TRUE(eventually([&] { return count_of(daemon_.out(), "ONU " + std::string(ONU1) +
                                                                    ", change state from CFGINPROGRESS to OK") == 2;
                           },
                           30))
        << daemon_.out() << daemon_.err();
    EXPECT_EQ(population_->returns(), 1u);
    EXPECT_EQ(count_of(server_.log(), "Login OK: [" + std::string(ONU1) + "]"), 2);
    EXPECT_TRUE(eventually([&] { return count_of(server_.detail(), "Acct-Status-Type = Start") == 2; }, 60));
    EXPECT_NE(session_of(ONU1), session) << "a new session";
}

// Rejected, the ONU's other links' discoveries are still queued when the
// board stops: the daemon's stop frees them (only this test stops so).
TEST_F(RadiusRoad, WrongSecretIsRejectedWithEapFailure)
{
    start();
    population_->register_onu(mac(ONU2));
    ASSERT_TRUE(eventually([&] { return state(ONU2) == "AUTHFAILED"; }, ROAD_SECONDS)) << server_.log();
    EXPECT_TRUE(eventually([&] { return service_->eap_result(mac(ONU2)) == 4; })) << "EAP-Failure to the ONU";
    EXPECT_NE(server_.log().find("Login incorrect"), std::string::npos) << server_.log();
}

} // namespace
