// oltsim's random faults, seen from the daemon's side of the chip network:
// what reaches the chip, what comes back and in which order, and that a
// chip never deals more than two random faults running - the daemon's
// third transmission of an exchange must get through.
#include "oltsim/control.h"
#include "oltsim/oltsim.h"
#include "oltsim/onu_service.h"
#include "oltsim/onus.h"
#include "wire/tekmsg.h"
#include "common/loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint16_t REQUEST_ID = 0x0101;
constexpr int ANSWER_MS = 5000;   // generous: only a failing test waits it out

struct datagram {
    uint16_t id, ctag, code, seqn;
    oltsim::bytes data;   // after SEQN in a fragment
};

class OltsimFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        net_ = loopback_chip_net();
        setenv("ZANDREL_CHIP_NET", net_.c_str(), 1);
        setenv("ZANDREL_CHIP_BIND", (net_ + ".100").c_str(), 1);
        setenv("ZANDREL_CHIP_PORT", std::to_string(loopback_chip_port()).c_str(), 1);
        oltsim::options opts;
        opts.log = false;
        opts.board = false;
        sim_ = std::make_unique<oltsim::chipset>(opts);
        ASSERT_EQ(sim_->start(), 0);
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local = address(100);
        ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    }
    void TearDown() override
    {
        sim_->stop();
        close(fd_);
        for (const char *name : {"ZANDREL_CHIP_NET", "ZANDREL_CHIP_BIND", "ZANDREL_CHIP_PORT"})
            unsetenv(name);
    }
    sockaddr_in address(int host) const
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(loopback_chip_port());
        inet_pton(AF_INET, (net_ + "." + std::to_string(host)).c_str(), &a.sin_addr);
        return a;
    }
    void request(uint16_t ctag, uint16_t id = REQUEST_ID, const oltsim::bytes &data = {0x00, 0x01})
    {
        uint8_t out[64];
        size_t n = tekmsg_encode(out, sizeof out, id, ctag, -1, -1, data.data(), data.size());
        sockaddr_in chip = address(1);
        ASSERT_EQ(sendto(fd_, out, n, 0, reinterpret_cast<sockaddr *>(&chip), sizeof chip), ssize_t(n));
    }
    // The next datagram from the chips: ID, CTAG, RCODE and SEQN (0xFFFF
    // where the datagram has none); false when nothing came.
    bool receive(datagram &d, int ms = ANSWER_MS)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) != 1)
            return false;
        uint8_t in[256];
        ssize_t got = recv(fd_, in, sizeof in, 0);
        tekmsg_header h{};
        if (got < 8 || !tekmsg_parse_header(in, size_t(got), &h))
            return false;
        bool fragment = got >= 10 && (load_be16(in + 6) == 14 || load_be16(in + 6) == 15);
        d = {h.id, h.ctag, load_be16(in + 6), fragment ? load_be16(in + 8) : uint16_t(0xFFFF), {}};
        if (fragment)
            d.data.assign(in + 10, in + got);
        return true;
    }
    bool nothing_more()
    {
        datagram d{};
        return !receive(d, 0);
    }

    std::string net_;
    std::unique_ptr<oltsim::chipset> sim_;
    int fd_ = -1;
};

// Every request meets a fault while the chip lets one through after two:
// requests 1 2 | 3 | 4 5 | 6 are faulted, answered, faulted, answered.
TEST_F(OltsimFaults, AlwaysFaultingLetsEveryThirdRequestThrough)
{
    struct {
        const char *name;
        void (*on)(oltsim::chipset &);
        // What comes back for a faulted request: nothing, or one RCODE.
        bool answered;
        uint16_t rcode;
    } cases[] = {
        {"lost", [](oltsim::chipset &s) { s.drop_requests(100); }, false, 0},
        {"no ONU response", [](oltsim::chipset &s) { s.rcode_random(11, 100); }, true, 11},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim_->clear_faults();
        c.on(*sim_);
        for (uint16_t ctag = 1; ctag <= 6; ctag++)
            request(ctag);
        for (uint16_t ctag = 1; ctag <= 6; ctag++) {
            bool faulted = ctag % 3 != 0;
            if (faulted && !c.answered)
                continue;
            datagram d{};
            ASSERT_TRUE(receive(d)) << "CTAG " << ctag;
            EXPECT_EQ(d.ctag, ctag);
            EXPECT_EQ(d.code, faulted ? c.rcode : 0u) << "CTAG " << ctag;
        }
        EXPECT_TRUE(nothing_more());
    }
    auto dealt = sim_->faults_dealt();
    EXPECT_EQ(dealt.dropped, 4u);
    EXPECT_EQ(dealt.rcodes, 4u);
    EXPECT_EQ(dealt.reordered, 0u);
}

// Answers in two fragments: a reordered one leaves SEQN 1 (RCODE 15)
// before SEQN 0 (RCODE 14); the third goes out in order.
TEST_F(OltsimFaults, ReorderedAnswersLeaveLastFragmentFirst)
{
    sim_->fragment_answers(2);
    sim_->reorder_random(100);
    for (uint16_t ctag = 1; ctag <= 3; ctag++)
        request(ctag);
    for (uint16_t ctag = 1; ctag <= 3; ctag++) {
        datagram first{}, second{};
        ASSERT_TRUE(receive(first));
        ASSERT_TRUE(receive(second));
        EXPECT_EQ(first.ctag, ctag);
        EXPECT_EQ(second.ctag, ctag);
        bool reordered = ctag != 3;
        EXPECT_EQ(first.seqn, reordered ? 1u : 0u) << "CTAG " << ctag;
        EXPECT_EQ(first.code, reordered ? 15u : 14u);
        EXPECT_EQ(second.seqn, reordered ? 0u : 1u);
    }
    EXPECT_EQ(sim_->faults_dealt().reordered, 2u);
    // An error answer leaves whole: fragments have no room for its RCODE.
    sim_->rcode_next(0, 11, 1);
    request(9);
    datagram error{};
    ASSERT_TRUE(receive(error));
    EXPECT_EQ(error.code, 11u);
    EXPECT_EQ(error.seqn, 0xFFFFu);
    // Whole answers have nothing to reorder: no fault is dealt.
    sim_->fragment_answers(1);
    request(4);
    datagram d{};
    ASSERT_TRUE(receive(d));
    EXPECT_EQ(d.code, 0u);
    EXPECT_EQ(sim_->faults_dealt().reordered, 2u);
}

// The same seed deals the same faults: a run can be repeated.
TEST_F(OltsimFaults, SeedRepeatsTheDraws)
{
    constexpr uint16_t REQUESTS = 20;
    auto answered_of_twenty = [&] {
        sim_->clear_faults();
        sim_->seed(16);
        sim_->drop_requests(50);
        size_t seen = sim_->request_count();
        unsigned lost = sim_->faults_dealt().dropped;
        for (uint16_t ctag = 1; ctag <= REQUESTS; ctag++)
            request(ctag);
        // Every request is either lost or answered.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ANSWER_MS);
        while (sim_->request_count() - seen + sim_->faults_dealt().dropped - lost < REQUESTS &&
               std::chrono::steady_clock::now() < deadline)
            sim_->wait_requests(sim_->request_count() + 1, 10);
        std::vector<uint16_t> answered;
        for (size_t n = sim_->request_count() - seen; n > 0; n--) {
            datagram d{};
            if (receive(d))
                answered.push_back(d.ctag);
        }
        return answered;
    };
    auto first = answered_of_twenty();
    auto second = answered_of_twenty();
    EXPECT_EQ(first, second);
    EXPECT_LT(first.size(), REQUESTS);
    EXPECT_GE(first.size(), REQUESTS / 3u);   // never more than two lost running
}

// A chip restart takes what the chip kept for its ONUs with it; an ONU
// that goes away has each of its links reported in report time-out. A
// path or destination that the destinations of two ONUs name is shared.
TEST_F(OltsimFaults, RestartAndLeavingOnu)
{
    std::vector<oltsim::board_onu> onus(2);
    const uint8_t onu_mac[6] = {0x00, 0x0D, 0xB6, 0x30, 0x00, 0x10};
    const uint8_t other_mac[6] = {0x00, 0x0D, 0xB6, 0x30, 0x00, 0x20};
    memcpy(onus[0].mac, onu_mac, 6);
    memcpy(onus[1].mac, other_mac, 6);
    oltsim::options opts;
    oltsim::onu_population population(*sim_, onus, opts.mac);
    population.attach();
    oltsim::onu_service service(*sim_, population, onus);
    service.attach();

    const oltsim::bytes path = {0x20, 0x80, 0x00, 0x00};   // path 8320
    datagram d{};
    request(1, TEK_REQ_PATH_CREATE, path);
    ASSERT_TRUE(receive(d));
    EXPECT_EQ(d.code, 0u);
    request(2, TEK_REQ_PATH_CREATE, path);
    ASSERT_TRUE(receive(d));
    EXPECT_EQ(d.code, oltsim::RCODE_COMMAND_FAILED) << "the path exists";
    EXPECT_EQ(service.paths(0), 1u);
    // Destination `dest` of the ONU of `mac`, its link 1 on path 8320.
    auto destination = [&](uint16_t ctag, uint8_t dest, const uint8_t *mac) {
        oltsim::bytes create = {0x04, dest, 4, 1, 1};
        create.insert(create.end(), mac, mac + 5);
        create.push_back(uint8_t(mac[5] + 1));
        create.insert(create.end(), 8, 0);
        create.insert(create.end(), {0x30, 0x01, 0x20, 0x80, 0x10, 0x00, 0x10, 0x01});
        create.resize(create.size() + 25);
        request(ctag, TEK_REQ_DEST_CREATE, create);
        datagram answer{};
        ASSERT_TRUE(receive(answer));
    };
    destination(4, 0x00, onu_mac);
    EXPECT_EQ(service.shared_ids(0), std::vector<uint16_t>{});
    destination(5, 0x01, other_mac);
    EXPECT_EQ(service.shared_ids(0), std::vector<uint16_t>{8320});
    destination(6, 0x00, other_mac);
    EXPECT_EQ(service.shared_ids(0), (std::vector<uint16_t>{0x0400, 8320}));
    sim_->reset(0);
    ASSERT_TRUE(receive(d));
    EXPECT_EQ(d.id, TEK_EVENT_OLT_READY);
    EXPECT_EQ(service.paths(0), 0u);
    EXPECT_EQ(service.shared_ids(0), std::vector<uint16_t>{});
    request(3, TEK_REQ_PATH_CREATE, path);
    ASSERT_TRUE(receive(d));
    EXPECT_EQ(d.code, 0u) << "built again after the restart";

    service.leave(onu_mac);
    for (int link = 0; link < 4; link++) {
        ASSERT_TRUE(receive(d)) << "link " << link;
        EXPECT_EQ(d.id, oltsim::ID_ALARM_EVENT);
        EXPECT_EQ(d.code, 15u);
        //                         tag   link MAC                             alarm 23
        oltsim::bytes expected = {0x07, 0x00, 0x0D, 0xB6, 0x30, 0x00, uint8_t(0x10 + link), 0x17};
        EXPECT_EQ(d.data, expected);
    }
}

// An ONU whose links the daemon released registers again by itself, after
// the set delay; not one that left, and not after a chip restart, which
// forgot the links before the daemon released them.
TEST_F(OltsimFaults, ReleasedOnuRegistersAgainUnlessItLeftOrItsChipRestarted)
{
    std::vector<oltsim::board_onu> onus(1);
    const uint8_t onu_mac[6] = {0x00, 0x0D, 0xB6, 0x30, 0x00, 0x20};
    memcpy(onus[0].mac, onu_mac, 6);
    oltsim::options opts;
    oltsim::onu_population population(*sim_, onus, opts.mac);
    population.attach();
    oltsim::onu_service service(*sim_, population, onus);
    service.attach();
    population.return_after(300);

    // Events of `id` that arrive within `ms` (up to four), others skipped.
    auto events = [&](uint16_t id, int ms) {
        int n = 0;
        datagram d{};
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (n < 4 && receive(d, int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           until - std::chrono::steady_clock::now()).count())))
            n += d.id == id;
        return n;
    };
    uint16_t ctag = 100;
    auto accept_all = [&] {
        for (int link = 0; link < 4; link++)
            request(ctag++, TEK_REQ_REGISTRATION_ACCEPT, oltsim::registration_data(onus[0], link, opts.mac, 0));
        EXPECT_EQ(events(TEK_EVENT_LINK_DISCOVERY, 500), 4);
    };
    auto release = [&](int from, int to) {
        for (int link = from; link < to; link++) {
            uint8_t mac[6];
            oltsim::link_mac(mac, onu_mac, link);
            request(ctag++, TEK_REQ_LINK_RELEASE, oltsim::bytes(mac, mac + 6));
        }
    };

    population.register_onu(onu_mac);
    ASSERT_EQ(events(TEK_EVENT_REGISTRATION, 500), 4);
    accept_all();
    release(0, 3);
    EXPECT_EQ(events(TEK_EVENT_REGISTRATION, 600), 0) << "a link still registered";
    release(3, 4);
    EXPECT_EQ(events(TEK_EVENT_REGISTRATION, 1000), 4) << "back with every link";
    EXPECT_EQ(population.returns(), 1u);

    accept_all();
    service.leave(onu_mac);
    EXPECT_EQ(events(oltsim::ID_ALARM_EVENT, 500), 4);
    release(0, 4);
    EXPECT_EQ(events(TEK_EVENT_REGISTRATION, 600), 0) << "it left";

    population.register_onu(onu_mac);   // come-back
    ASSERT_EQ(events(TEK_EVENT_REGISTRATION, 500), 4);
    accept_all();
    sim_->reset(0);
    release(0, 4);
    EXPECT_EQ(events(TEK_EVENT_REGISTRATION, 600), 0) << "the restarted chip knows no link of it";
    EXPECT_EQ(population.returns(), 1u);
}

// Switches that name a chip the program does not play say so.
TEST_F(OltsimFaults, SwitchesNamingNoChipAreRefused)
{
    std::string error;
    for (const char *arg : {"4", "9", "-1"}) {
        EXPECT_FALSE(oltsim::control_apply(*sim_, "reset", arg, error)) << arg;
        EXPECT_NE(error.find("no chip"), std::string::npos) << error;
    }
    EXPECT_FALSE(oltsim::control_apply(*sim_, "silent-olt", "7", error));
    EXPECT_FALSE(oltsim::control_apply(*sim_, "rcode", "5:11:1", error));
    EXPECT_TRUE(oltsim::control_apply(*sim_, "reset", "3", error)) << error;
    EXPECT_EQ(sim_->reset_count(3), 1);
}

} // namespace
