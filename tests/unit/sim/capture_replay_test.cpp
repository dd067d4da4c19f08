// The replay's reading of captures the board's replay test never makes: the
// damaged ones its fuzz target starts from, refused or cut where they break,
// and an answer whose fragments came last first. What it pairs and hands
// out of a sound capture that test proves end to end.
#include "common/capture_replay.h"
#include "common/hex.h"

#include <gtest/gtest.h>

TEST(CaptureReplay, RefusesDamagedFilesEndsBrokenStreamsAndJoinsFragmentsInAnyOrder)
{
    const std::string seeds = std::string(ZANDREL_VECTORS_DIR) + "/../../fuzz/capture_replay/seeds/";
    const struct {
        const char *seed, *said;
        size_t config;   // of a file read: the configuration exchanges before the break
    } cases[] = {
        {"not_pcapng.txt", "not a pcapng capture (no section header block at its start) at byte 0", 0},
        {"big_endian.pcapng", "a big-endian pcapng section (not one this daemon writes) at byte 0", 0},
        {"bad_block_length.pcapng", "a block's lengths are inconsistent at byte 144", 0},
        {"truncated.pcapng", "a block runs past the end of the file at byte 4916", 0},
        {"mgmt_gap.pcapng", "management stream from the daemon: a gap in the sequence (24 where 17 was due)", 1},
        {"mgmt_bad_magic.pcapng", "management stream from the daemon: a message header without its magic", 0},
    };
    for (const auto &c : cases) {
        capture_replay out;
        std::string error, path = seeds + c.seed;
        if (capture_replay_load({path}, out, error)) {
            EXPECT_EQ(out.config.size(), c.config) << c.seed;
            error = out.mgmt_notes.size() == 1 ? out.mgmt_notes[0] : "no note";
        }
        EXPECT_EQ(error.find("replay: " + path + ": " + c.said), 0u) << error;
    }

    // An answer whose fragments came last first is joined in SEQN order.
    std::vector<uint8_t> file = hex_vectors("sim/replay_capture.hex")["fragments last first"];
    capture_replay out;
    capture_replay_reader reader(out);
    std::string error;
    ASSERT_TRUE(reader.read("f", file.data(), file.size(), error)) << error;
    ASSERT_EQ(out.chips[0].requests.size(), 1u);
    EXPECT_EQ(out.chips[0].requests[0].answer, (std::vector<uint8_t>{5, 6, 7, 8}));
}
