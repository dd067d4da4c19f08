// The commands' byte work as functions of bytes: each decoder of what the
// chips and the management process send, over the vectors of
// tests/vectors/cmd/decoders.hex (whole, cut short, lying about their
// length), the requests the commands build, and the small tables the
// commands map their fields through.
#include "cmd/cmd_olt.h"
#include "cmd/cmd_onu.h"
#include "cmd/cmd_onu_actions.h"
#include "cmd/cmd_schedule.h"
#include "cmd/cmd_stats.h"
#include "maint/scheduler.h"

#include "base/balloc.h"
#include "common/hex.h"
#include "wire/tekmsg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

namespace {

// What a decoder made of its bytes: its result (a count or a size; negative
// for a refusal) and the bytes it produced.
struct decoded {
    int result;
    std::vector<uint8_t> out;
};

// A statistics answer in a pool block behind its OLT index; the echo stays
// but for bytes 10..11, which carry the count. Out: what follows the echo.
decoded stats(const std::vector<uint8_t> &wire)
{
    auto *block = static_cast<uint8_t *>(BALLOC(2 + wire.size()));
    tekmsg_set_olt(block, 1);
    std::memcpy(block + 2, wire.data(), wire.size());
    std::vector<uint8_t> echo = byte_pattern(CMD_PARAMS_SIZE, 0x80), out;
    bool ok = stats_answer(block, echo.data(), &out);
    BFREE(block);
    if (!ok)
        return {-1, {}};
    for (size_t i = 0; i < CMD_PARAMS_SIZE; i++)
        EXPECT_TRUE(i == 10 || i == 11 || out[i] == echo[i]) << "echo byte " << i;
    return {load_le16(out.data() + 10), {out.begin() + CMD_PARAMS_SIZE, out.end()}};
}

// The groups, and zeros after them.
decoded igmp(const std::vector<uint8_t> &in)
{
    uint8_t out[IGMP_RESULT_SIZE];
    std::memset(out, 0xEE, sizeof out);
    int rc = igmp_groups_decode(in.data(), in.size(), out);
    if (rc != 0)
        return {-rc, {}};
    size_t used = 1 + IGMP_ENTRY_SIZE * out[0];
    EXPECT_TRUE(std::all_of(out + used, out + sizeof out, [](uint8_t b) { return b == 0; }));
    return {out[0], {out + 1, out + used}};
}

decoded onu_list(const std::vector<uint8_t> &payload)
{
    decoded d{0, {}};
    for (const sched_candidate &c : sched_config_list_decode(payload.data(), payload.size()))
        d.out.push_back(c.type);
    d.result = int(d.out.size());
    return d;
}

// What was not there reads as zero, never as the bytes behind it.
decoded params(const std::vector<uint8_t> &message)
{
    cmd_params p = cmd_params_decode(message.data(), message.size());
    for (size_t i = std::min(p.size, CMD_PARAMS_SIZE); i < CMD_PARAMS_SIZE; i++)
        EXPECT_EQ(p.block[i], 0) << "block byte " << i;
    EXPECT_EQ(p.has_block(), p.size >= CMD_PARAMS_SIZE);
    EXPECT_EQ(p.data_size(), p.size > CMD_PARAMS_SIZE ? p.size - CMD_PARAMS_SIZE : 0);
    return {int(p.size), {}};
}

TEST(CommandBytes, DecodersReadOnlyWhatArrivedAndBuildersPlaceEachField)
{
    ASSERT_EQ(bopen(nullptr, 1 << 20, 0), 0);
    auto vectors = hex_vectors("cmd/decoders.hex");
    const std::map<std::string, decoded (*)(const std::vector<uint8_t> &)> decoders = {
        {"stats", stats}, {"igmp", igmp}, {"onu-list", onu_list}, {"params", params}};
    size_t ran = 0;
    for (const auto &[name, bytes] : vectors) {
        size_t mark = name.find(" =");
        if (mark == std::string::npos)
            continue;
        SCOPED_TRACE(name);
        std::string base = name.substr(0, mark);
        decoded d = decoders.at(base.substr(0, base.find('.')))(bytes);
        EXPECT_EQ(d.result, std::stoi(name.substr(mark + 2)));
        if (vectors.count(base + ".out")) {
            EXPECT_EQ(d.out, vectors[base + ".out"]);
        }
        ran++;
    }
    EXPECT_EQ(ran, 24u);
    // The configuration module's list stops after 2000 entries.
    std::vector<uint8_t> list(CMD_PARAMS_SIZE + 2001 * SCHED_CFG_ENTRY_SIZE, 1);
    EXPECT_EQ(sched_config_list_decode(list.data(), list.size()).size(), SCHED_CFG_ENTRIES_MAX);
    bclose();

    const uint8_t olt[6] = {0x00, 0x0D, 0xB6, 0x37, 0x23, 0x01}, onu[6] = {0x00, 0x0D, 0xB6, 0x00, 0x00, 0x21};
    uint8_t out[STATS_REQUEST_LEN], laser[LASER_REQUEST_LEN];
    ASSERT_EQ(stats_request(STATS_SELECT_PORT, olt, 1, 14, false, out), sizeof out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + sizeof out), vectors["stats-request.port-1-group-14-read"]);
    stats_request(STATS_SELECT_ONU, onu, 2, 21, true, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + sizeof out), vectors["stats-request.onu-port-2-group-21-clear"]);
    laser_request_encode(laser, olt, 1, onu, 300);
    EXPECT_EQ(std::vector<uint8_t>(laser, laser + sizeof laser), vectors["laser-request.pon-1-300-seconds"]);
}

// The fields the commands map through small tables; the uplink selector out
// of range and the add-many results are the payload and schedule tests'.
TEST(CommandTables, FieldsMapOnlyToWhatTheChipsKnow)
{
    // Statistics sub-commands: the group read, the group cleared (none for an ONU's).
    for (auto [sub, read, clear] : {std::tuple{0, -1, -1}, {2, 14, 14}, {15, 18, -1}, {18, 21, -1}, {19, -1, -1}}) {
        EXPECT_EQ(stats_group(uint16_t(sub)), read) << sub;
        EXPECT_EQ(stats_clear_group(uint16_t(sub)), clear) << sub;
    }
    // The UNI ports of an ONU's type (port 0 and the high bits aside).
    for (auto [type, port, allowed] : {std::tuple{1, 2u, true}, {1, 3u, false}, {2, 4u, false}, {3, 1u, true},
                                       {18, 2u, false}, {19, 3u, true}, {2, 0x10003u, true}})
        EXPECT_EQ(stats_onu_port_allowed(uint8_t(type), port), allowed) << type << " port " << port;
    // A base LLID in the other PON port's 512-block is refused; 0 is no block.
    for (auto [value, other, ok] : {std::tuple{0x1000, 0, true}, {0, 0x1000, true}, {0x11FF, 0x1000, false},
                                    {0x1200, 0x1000, true}, {0x0FFF, 0x1000, true}})
        EXPECT_EQ(base_llid_acceptable(uint16_t(value), uint16_t(other)), ok) << std::hex << value;
    uint32_t value = 7;
    uint16_t mode = 7;
    EXPECT_TRUE(uplink_setting(0, &value, &mode) && value == 10000 && mode == 2);
    EXPECT_TRUE(uplink_setting(2, &value, &mode) && value == 0 && mode == 0);
    // The ONU firmware image by type.
    for (auto [type, image] : {std::pair<int, const char *>{0, nullptr}, {18, ONU_APP_IMAGE}, {19, nullptr},
                               {40, ONU_APP_IMAGE_TYPE40}, {41, nullptr}})
        EXPECT_STREQ(onu_app_image_for(uint8_t(type)), image) << type;
}

} // namespace
