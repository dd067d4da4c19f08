// The ONU table commands on the simulated board: real ONUs provisioned to
// OK by the daemon as a process, then read back through ponkernel with
// ponctl's raw command. The answers' sizes are exact; the list entries
// agree with the ONU records the daemon sends, and the look-ups find what
// the chips were seeded with.
#include "integration/onu_road_fixture.h"

#include "base/bytes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct raw_answer {
    int rcode = -1;
    std::vector<uint8_t> data;
};

// Where ONU record byte `offset` lies in the record command's answer: the
// echo, the UNI table (record bytes 428..2399), the record's first 428
// bytes, then the rest from 2400.
constexpr size_t record_at(size_t offset)
{
    return offset < 428 ? 32 + 1972 + offset : offset < 2400 ? 32 + offset - 428 : 32 + offset;
}

class OnuCommandsBoard : public Road {
protected:
    // Sends `code` with `payload` through ponctl and reads the hex back.
    raw_answer raw(uint16_t code, const std::vector<uint8_t> &payload)
    {
        char name[8];
        snprintf(name, sizeof name, "0x%04X", code);
        std::string hex;
        for (uint8_t b : payload) {
            char two[3];
            snprintf(two, sizeof two, "%02X", b);
            hex += two;
        }
        std::vector<std::string> args = {"raw", name};
        if (!hex.empty())
            args.push_back(hex);
        run_result r = run_program(box_, "ponctl", PONCTL_BIN, args);
        raw_answer a;
        if (r.status != 0)
            return a;
        std::istringstream in(r.out);
        std::string head;
        std::getline(in, head);
        size_t at = head.find(" rcode ");
        if (at == std::string::npos)
            return a;
        a.rcode = std::stoi(head.substr(at + 7));
        for (std::string word; in >> word;)
            a.data.push_back(uint8_t(std::stoul(word, nullptr, 16)));
        return a;
    }

    static std::vector<uint8_t> block(const uint8_t *mac = nullptr, uint32_t first = 0, uint32_t second = 0)
    {
        std::vector<uint8_t> p(32, 0);
        store_le32(p.data(), first);
        store_le32(p.data() + 4, second);
        if (mac)
            std::memcpy(p.data() + 8, mac, 6);
        return p;
    }

    // The list entries that are not filler, each `size` bytes.
    static std::vector<std::vector<uint8_t>> entries(const raw_answer &a, size_t size)
    {
        std::vector<std::vector<uint8_t>> out;
        for (size_t at = 32; at + size <= a.data.size(); at += size) {
            std::vector<uint8_t> e(a.data.begin() + long(at), a.data.begin() + long(at + size));
            if (std::all_of(e.begin(), e.end(), [](uint8_t b) { return b == 0xFF; }))
                break;
            out.push_back(e);
        }
        return out;
    }
};

TEST_F(OnuCommandsBoard, AnswersAgreeWithTheOnuRecordsOfOnusInOk)
{
    start();
    // The ONUs' port state, which the record's refresh reads: 18 data bytes
    // (the simulator's default answer is shorter), the port up.
    sim_->set_handler(TEK_REQ_PORT_STATE, [](int, const oltsim::request_record &) {
        oltsim::answer a;
        a.data.assign(18, 0);
        a.data[13] = 1;
        return a;
    });
    population_->register_all(0);
    const char *road = "00:0D:B6:10:00:00";
    const char *no_eap = "00:0D:B6:10:00:30";
    ASSERT_TRUE(eventually([&] { return state(road) == "OK" && state(no_eap) == "OK"; }, ROAD_SECONDS))
        << daemon_.out();
    uint8_t road_mac[6], no_eap_mac[6], unknown[6];
    mac(road, road_mac);
    mac(no_eap, no_eap_mac);
    mac("00:0D:B6:7F:7F:7F", unknown);

    // The record of each ONU in OK: the echo, then its three pieces.
    raw_answer record = raw(0x2005, block(road_mac));
    ASSERT_EQ(record.rcode, 0);
    ASSERT_EQ(record.data.size(), 18505u);
    const uint8_t *r = record.data.data();
    EXPECT_EQ(std::memcmp(r + 8, road_mac, 6), 0);                 // the echo
    EXPECT_EQ(load_le32(r + record_at(0)), 1u);                            // ONT id
    EXPECT_STREQ(reinterpret_cast<const char *>(r + record_at(4)), "road");
    EXPECT_EQ(std::memcmp(r + record_at(266), road_mac, 6), 0);
    EXPECT_EQ(load_le16(r + record_at(264)), 0x0210);                 // firmware
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(r + record_at(428 + 461))), "UNI0");   // refreshed
    EXPECT_EQ(r[record_at(428 + 461 + 64)], 1) << "UNI0 up";
    EXPECT_EQ(load_le32(r + record_at(2364)), 7u);                     // OK
    EXPECT_EQ(r[record_at(18468)], 4);                                 // link count

    // The compact list: every ONU record the daemon holds, packed, each
    // entry the summary of its record.
    raw_answer all = raw(0x2003, {});
    ASSERT_EQ(all.rcode, 0);
    ASSERT_EQ(all.data.size(), 54032u);
    auto compact = entries(all, 27);
    ASSERT_GE(compact.size(), 2u);
    bool seen_road = false, seen_no_eap = false;
    for (const auto &e : compact) {
        EXPECT_EQ(e[12], 0) << "OLT";
        if (std::memcmp(e.data() + 6, road_mac, 6) == 0) {
            seen_road = true;
            EXPECT_EQ(load_le32(e.data()), load_le32(r + record_at(0)));   // ONT id
            EXPECT_EQ(e[4], r[record_at(260)]);                        // type
            EXPECT_EQ(e[13], r[record_at(273)]);                       // PON port
            EXPECT_EQ(load_le32(e.data() + 14), 7u);
            EXPECT_EQ(load_le16(e.data() + 22), 0x0210);
        }
        if (std::memcmp(e.data() + 6, no_eap_mac, 6) == 0) {
            seen_no_eap = true;
            EXPECT_EQ(load_le32(e.data()), 4u);
            EXPECT_EQ(e[13], 1) << "PON port";
        }
    }
    EXPECT_TRUE(seen_road);
    EXPECT_TRUE(seen_no_eap);
    // Nothing after the last entry but filler.
    EXPECT_TRUE(std::all_of(all.data.begin() + 32 + long(27 * compact.size()), all.data.end(),
                            [](uint8_t b) { return b == 0xFF; }));

    // Per OLT: all of them on OLT 0, none on OLT 1.
    raw_answer olt0 = raw(0x2004, block(nullptr, 0));
    ASSERT_EQ(olt0.data.size(), 54032u);
    EXPECT_EQ(entries(olt0, 27).size(), compact.size());
    raw_answer olt1 = raw(0x2004, block(nullptr, 1));
    ASSERT_EQ(olt1.data.size(), 54032u);
    EXPECT_TRUE(entries(olt1, 27).empty());

    // The full list's lower half carries the information blocks; the
    // upper half of this small board is empty.
    raw_answer lower = raw(0x2026, block(nullptr, 0, 0));
    ASSERT_EQ(lower.rcode, 0);
    ASSERT_EQ(lower.data.size(), 91032u);
    auto full = entries(lower, 91);
    ASSERT_EQ(full.size(), compact.size());
    for (const auto &e : full) {
        if (std::memcmp(e.data() + 6, road_mac, 6) == 0) {
            EXPECT_EQ(std::memcmp(e.data() + 27, r + record_at(275), 64), 0) << "information block";
        }
    }
    raw_answer upper = raw(0x2027, block(nullptr, 0, 1));
    ASSERT_EQ(upper.data.size(), 91032u);
    EXPECT_TRUE(entries(upper, 91).empty());

    raw_answer desc = raw(0x200F, block(no_eap_mac));
    ASSERT_EQ(desc.rcode, 0);
    ASSERT_EQ(desc.data.size(), 288u);
    EXPECT_STREQ(reinterpret_cast<const char *>(desc.data.data() + 32), "no eap");

    raw_answer counter = raw(0x0018, {});
    ASSERT_EQ(counter.rcode, 0);
    ASSERT_EQ(counter.data.size(), 32u);
    EXPECT_GE(load_le32(counter.data.data()), 12u) << "two ONUs' states and their links";
    EXPECT_TRUE(std::all_of(counter.data.begin() + 4, counter.data.end(), [](uint8_t b) { return b == 0; }));

    // A MAC learned behind the road ONU's first UNI: found from its port
    // and from "any port", listed for the port and for the ONU.
    uint16_t dest = load_le16(r + record_at(2360));
    ASSERT_NE(dest, 0);
    const uint8_t host[6] = {0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
    service_->add_learned(0, dest, host);
    for (uint32_t port : {0u, 8u}) {
        raw_answer found = raw(0x2015, block(host, port));
        ASSERT_EQ(found.rcode, 0) << port;
        ASSERT_EQ(found.data.size(), 49u);
        EXPECT_EQ(load_le32(found.data.data() + 32), 1u);
        EXPECT_EQ(std::memcmp(found.data.data() + 36, road_mac, 6), 0);
        EXPECT_EQ(load_le32(found.data.data() + 42), 7u);
        EXPECT_EQ(found.data[46], 0);
        EXPECT_EQ(found.data[47], 0);
        EXPECT_EQ(found.data[48], 1) << "UNI port";
    }
    EXPECT_EQ(raw(0x2015, block(host, 1)).rcode, 8) << "not on PON port 1";
    EXPECT_EQ(raw(0x2015, block(unknown, 8)).rcode, 8);

    raw_answer macs = raw(0x100F, block(nullptr, 0));
    ASSERT_EQ(macs.rcode, 0);
    ASSERT_EQ(load_le32(macs.data.data() + 4), 1u);
    ASSERT_EQ(macs.data.size(), 32u + 18 + 6);
    EXPECT_EQ(std::memcmp(macs.data.data() + 36, road_mac, 6), 0);
    EXPECT_EQ(macs.data[32 + 16], 1) << "path number";
    EXPECT_EQ(std::memcmp(macs.data.data() + 50, host, 6), 0);
    raw_answer onu_macs = raw(0x1011, block(road_mac));
    EXPECT_EQ(std::vector<uint8_t>(onu_macs.data.begin() + 32, onu_macs.data.end()),
              std::vector<uint8_t>(macs.data.begin() + 32, macs.data.end()));
    raw_answer entries_answer = raw(0x1010, block(nullptr, 0));
    ASSERT_EQ(entries_answer.rcode, 0);
    EXPECT_EQ(load_le32(entries_answer.data.data() + 4), 1u);
    EXPECT_EQ(entries_answer.data.size(), 32u + 18 + 20);

    // Groups joined behind the ONU, as oltsim keeps them.
    const uint8_t group[4] = {239, 1, 2, 3};
    service_->join_group(road_mac, 2, group);
    raw_answer igmp = raw(0x1013, block(road_mac));
    ASSERT_EQ(igmp.rcode, 0);
    ASSERT_EQ(igmp.data.size(), 289u);
    EXPECT_EQ(igmp.data[32], 1);
    EXPECT_EQ(std::vector<uint8_t>(igmp.data.begin() + 33, igmp.data.begin() + 41),
              (std::vector<uint8_t>{239, 1, 2, 3, 1, 0, 0, 0}));

    // Unknown ONUs.
    EXPECT_EQ(raw(0x2005, block(unknown)).data.size(), 18505u);
    EXPECT_EQ(raw(0x2005, block(unknown)).rcode, 8);
    EXPECT_EQ(raw(0x2002, block(unknown)).rcode, 8);
    EXPECT_EQ(raw(0x1013, block(unknown)).rcode, 8);

    // The queue rewrite restarts the ONU with the layout it should have.
    int resets = service_->resets(no_eap_mac);
    raw_answer queues = raw(0x200E, block(no_eap_mac));
    EXPECT_EQ(queues.rcode, 0);
    EXPECT_TRUE(queues.data.empty());
    EXPECT_EQ(service_->resets(no_eap_mac), resets + 1);
    EXPECT_EQ(service_->queue_layout(no_eap_mac), oltsim::factory_queue_layout(no_eap_mac, 4, false));
}

} // namespace
