// ponctl without a daemon: the requests the board's tests never make, the
// arguments it refuses, and its printers over answers of every length. What
// it sends and prints in normal use the board's tests check against the
// daemon (integration/cmd_onu_test.cpp, maint_board_test.cpp).
#include "base/bytes.h"
#include "common/hex.h"
#include "common/mgmt_conn.h"
#include "common/wait.h"
#include "ponctl/commands.h"
#include "ponctl/decode.h"
#include "ponctl/onu_decode.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace {

using bytes = std::vector<uint8_t>;
using nlohmann::json;

std::vector<std::string> words_of(const std::string &line)
{
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// What the command named `line` prints of an answer with `payload`.
std::string printed(const std::string &line, const bytes &payload, bool json_out = false)
{
    size_t used = 0;
    const ponctl_command *command = ponctl_find(words_of(line), &used);
    std::string out;
    ponctl_json = json_out;
    command->print(mgmt_build({}, payload), out);
    ponctl_json = false;
    return out;
}

TEST(PonctlRequests, ArgumentsBecomeParameterBlocks)
{
    for (const auto &[line, want] : hex_vectors("sim/ponctl_requests.hex")) {
        std::vector<std::string> words = words_of(line);
        size_t used = 0;
        const ponctl_command *command = ponctl_find(words, &used);
        ASSERT_NE(command, nullptr) << line;
        uint16_t code = command->code;
        bytes payload, block(want.begin() + 2, want.end());
        block.resize(PONCTL_PARAMS, 0);
        EXPECT_TRUE(command->build({words.begin() + long(used), words.end()}, code, payload)) << line;
        EXPECT_EQ(code, load_be16(want.data())) << line;
        EXPECT_EQ(payload, block) << line;
    }
}

// No control socket is there: a command that got as far as sending would
// exit 2 (no ponkernel), so exit 1 with the line proves nothing was sent.
TEST(PonctlRefusals, EachNamesTheBadArgumentAndSendsNothing)
{
    ponctl_socket = "/nonexistent/ponkernel.ctl";
    std::ifstream table(std::string(ZANDREL_VECTORS_DIR) + "/sim/ponctl_refusals.txt");
    int rows = 0;
    for (std::string line; std::getline(table, line);) {
        size_t arrow = line.find(" => ");
        if (line[0] == '#' || arrow == std::string::npos)
            continue;
        rows++;
        testing::internal::CaptureStderr();
        EXPECT_EQ(ponctl_main(words_of(line.substr(0, arrow))), 1) << line;
        std::string err = testing::internal::GetCapturedStderr();
        ponctl_json = false;
        EXPECT_NE(err.find(line.substr(arrow + 4)), std::string::npos) << err;
        EXPECT_LE(count_of(err, "\n"), 2) << "one line, then the usage: " << err;
    }
    EXPECT_EQ(rows, 29);
    EXPECT_EQ(ponctl_main({"ping"}), 2) << "the check above holds: a sent command exits 2";
}

// Whatever length an answer arrives with, each printer reads only within
// it (the sanitizer build sees any byte read past the end), prints
// something, and calls an answer short until it has `whole` bytes; a
// listing keeps the records that arrived whole.
TEST(PonctlPrint, EveryCutOfEveryAnswerIsReadWithinItsLength)
{
    const struct {
        const char *command;
        bytes full;
        size_t whole;
    } cases[] = {
        {"onu show", byte_pattern(ONU_RECORD_ANSWER), ONU_RECORD_ANSWER},
        {"onu desc", bytes(PONCTL_PARAMS + 256, 0x41), PONCTL_PARAMS + 256},
        {"onu find", bytes(49, 0x02), 49},
        // a count of 255 is read as the 32 entries the answer holds
        {"onu igmp", bytes(PONCTL_PARAMS + 257, 0xFF), PONCTL_PARAMS + 257},
        // record count 0xFFFFFFFF, a record claiming 255 MACs: never whole
        {"onu macs", bytes(PONCTL_PARAMS + 18 + 6 * 255, 0xFF), SIZE_MAX},
        {"onu addrs", bytes(PONCTL_PARAMS + 18 + 20 * 255, 0xFF), SIZE_MAX},
        {"onu triplexer", bytes(PONCTL_PARAMS + 256, 0x7F), PONCTL_PARAMS + 256},
        {"schedule list", bytes(PONCTL_PARAMS + 12 * 40, 0x03), 0},
        {"changes", bytes(PONCTL_PARAMS, 0x09), 4},
    };
    for (const auto &c : cases)
        for (size_t cut = 0; cut <= c.full.size(); cut += cut < 64 ? 1 : 7) {
            bytes payload(c.full.begin(), c.full.begin() + long(cut));
            std::string text = printed(c.command, payload);
            EXPECT_FALSE(text.empty()) << c.command << " cut at " << cut;
            EXPECT_EQ(text.find("short answer") != std::string::npos, cut < c.whole)
                << c.command << " cut at " << cut << ": " << text;
            EXPECT_TRUE(json::accept(printed(c.command, payload, true)));
        }
    bytes filled(3 * ONU_LIST_FULL, 0x01);
    for (size_t cut = 0; cut <= filled.size(); cut++) {
        EXPECT_LE(onu_list_entries(filled.data(), cut, ONU_LIST_COMPACT).size(), cut / ONU_LIST_COMPACT);
        EXPECT_LE(onu_list_entries(filled.data(), cut, ONU_LIST_FULL).size(), cut / ONU_LIST_FULL);
    }
    // A listing cut inside its second record keeps the first, whole.
    json m = json::parse(printed("onu macs", hex_vectors("sim/ponctl_answers.hex")["onu macs"], true));
    ASSERT_EQ(m["records"].size(), 1u) << m;
    EXPECT_EQ(m["records"][0]["entries"], json::array({"02:00:00:00:00:01", "02:00:00:00:00:02"})) << m;
}

// The transceiver texts as the chips pad them (blanks) or the daemon cuts
// them (mid-character): trimmed, and the bad bytes replaced, never an abort.
TEST(PonctlPrint, OltRecordTextsAreTrimmedAndCleaned)
{
    bytes a(PONCTL_PARAMS + 1331, 0);
    uint8_t *r = &a[PONCTL_PARAMS];
    memcpy(r + 9 + 72, "LIGENT          ", 16);
    memcpy(r + 9 + 88, "LTE4302M-\xC3\xA9\xC3   ", 15);   // 'e' acute, then half of one
    store_le32(r + 1315, 5);                                   // CFGFAILED
    json j = json::parse(printed("olt show", a, true));
    EXPECT_EQ(j["state_name"], "CFGFAILED");
    EXPECT_EQ(j["ports"][0]["sfp_vendor"], "LIGENT");
    EXPECT_EQ(j["ports"][0]["sfp_part"], "LTE4302M-\xC3\xA9\xEF\xBF\xBD");
}

} // namespace
