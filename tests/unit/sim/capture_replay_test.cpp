// The replay's reading of a capture: what it pairs, joins and hands out,
// and what it refuses or cuts short.
#include "common/capture_replay.h"
#include "wire/kernmsg.h"
#include "wire/pcapng.h"
#include "wire/tekmsg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint32_t DAEMON = 0x7F00FF64, CHIP0 = 0x7F00FF01, CHIP2 = 0x7F00FF03;

struct capture_file {
    bytes file = bytes(PCAPNG_SECTION_SIZE);
    uint64_t time_us = 1765000000000000;
    uint32_t seq[2] = {1000, 5000};   // to the daemon, from it

    capture_file() { pcapng_section(file.data()); }
    void packet(const pcapng_packet &p, const bytes &data)
    {
        uint8_t head[PCAPNG_HEAD_MAX], tail[PCAPNG_TAIL_MAX];
        file.insert(file.end(), head, head + pcapng_head(head, p, data.size()));
        file.insert(file.end(), data.begin(), data.end());
        file.insert(file.end(), tail, tail + pcapng_tail(tail, p, data.size()));
    }
    // A chip datagram: header, then RCODE and SEQN where not negative.
    void chip(uint32_t chip, uint8_t direction, uint16_t id, uint16_t ctag, int rcode, int seqn, const bytes &data)
    {
        bytes d(TEKMSG_HEADER + 4 + data.size());
        d.resize(tekmsg_encode(d.data(), d.size(), id, ctag, rcode, seqn, data.data(), data.size()));
        time_us += 1000;
        packet({PCAPNG_CHIP, direction, time_us, DAEMON, chip, 14113, 14113, 0, 0}, d);
    }
    // Management bytes of one direction as one segment.
    void mgmt(bool from_daemon, const bytes &data, uint32_t skip = 0)
    {
        seq[from_daemon] += skip;
        packet({PCAPNG_MGMT, uint8_t(from_daemon ? PCAPNG_OUT : PCAPNG_IN), time_us, PCAPNG_LOOPBACK, PCAPNG_LOOPBACK,
                40001, 7001, seq[from_daemon], seq[!from_daemon]},
               data);
        seq[from_daemon] += uint32_t(data.size());
    }
};

bytes message(uint16_t cmd, uint16_t tag, uint8_t type, uint8_t src, uint8_t dst, uint8_t rcode, const bytes &payload)
{
    bytes out(KERNMSG_HEADER_SIZE);
    kernmsg_header h;
    h.cmd = cmd, h.tag = tag, h.type = type, h.src = src, h.dst = dst, h.rcode = rcode;
    h.len = uint32_t(payload.size());
    kernmsg_header_encode(out.data(), h);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// A small board's capture: chip 0 answers whole, in fragments (last first),
// once not at all; chip 2 sends a short and a long event; the management
// stream carries a configuration exchange cut across segments and a
// notification.
capture_file board_capture()
{
    capture_file c;
    c.chip(CHIP0, PCAPNG_OUT, 0x0010, 1, -1, -1, {0xAA});
    c.chip(CHIP0, PCAPNG_IN, 0x0010, 1, 0, -1, {1, 2, 3});
    c.chip(CHIP0, PCAPNG_OUT, 0x0011, 2, -1, -1, {});
    c.chip(CHIP0, PCAPNG_IN, 0x0011, 2, TEKLINK_RCODE_LAST, 1, {7, 8});
    c.chip(CHIP0, PCAPNG_IN, 0x0011, 2, TEKLINK_RCODE_MORE, 0, {5, 6});
    c.chip(CHIP0, PCAPNG_OUT, 0x0010, 3, -1, -1, {0xBB});   // lost
    c.chip(CHIP2, PCAPNG_IN, 0x8000, 0, -1, -1, bytes(32, 0x11));
    c.chip(CHIP2, PCAPNG_IN, 0x8014, 1, TEKLINK_RCODE_MORE, 0, {9});
    c.chip(CHIP2, PCAPNG_IN, 0x8014, 1, TEKLINK_RCODE_LAST, 1, {10});
    bytes request = message(0x2001, 5, KERNMSG_REQUEST, MODULE_CHIPSET, MODULE_CONFIG, 0, bytes(40, 3));
    c.mgmt(true, bytes(request.begin(), request.begin() + 20));
    c.mgmt(true, bytes(request.begin() + 20, request.end()));
    c.mgmt(true, message(10, 6, KERNMSG_NOTIFICATION, MODULE_CHIPSET, MODULE_WEBS, 0, bytes(273)));
    c.mgmt(false, message(0x2001, 5, KERNMSG_ANSWER, MODULE_CONFIG, MODULE_CHIPSET, 0, bytes(60, 4)));
    return c;
}

} // namespace

TEST(CaptureReplay, PairsAnswersJoinsFragmentsAndKeepsEventOffsets)
{
    capture_file c = board_capture();
    capture_replay out;
    capture_replay_reader reader(out);
    std::string error;
    ASSERT_TRUE(reader.read("board", c.file.data(), c.file.size(), error)) << error;
    reader.finish();
    EXPECT_TRUE(out.chip_notes.empty() && out.mgmt_notes.empty());

    const auto &requests = out.chips[0].requests;
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].request, bytes{0xAA});
    EXPECT_TRUE(requests[0].answered);
    EXPECT_EQ(requests[0].answer, (bytes{1, 2, 3}));
    EXPECT_EQ(requests[1].answer, (bytes{5, 6, 7, 8}));
    EXPECT_EQ(requests[1].rcode, TEKLINK_RCODE_OK);
    EXPECT_EQ(requests[1].fragments, 2u);
    EXPECT_FALSE(requests[2].answered);

    const replay_chip &chip2 = out.chips[2];
    ASSERT_EQ(chip2.events.size(), 2u);
    EXPECT_EQ(chip2.events[0].offset_us, 0u);
    EXPECT_EQ(chip2.events[0].data.size(), 32u);
    EXPECT_EQ(chip2.events[1].id, 0x8014);
    EXPECT_EQ(chip2.events[1].offset_us, 1000u);
    EXPECT_EQ(chip2.events[1].data, (bytes{9, 10}));
    EXPECT_FALSE(out.chips[1].seen);

    ASSERT_EQ(out.config.size(), 1u);
    EXPECT_EQ(out.config[0].id, 0x2001);
    EXPECT_EQ(out.config[0].request, bytes(40, 3));
    EXPECT_EQ(out.config[0].answer, bytes(60, 4));

    // The k-th request of an ID takes the k-th recorded one, one of the
    // same payload first (among the next few); past the capture, nothing.
    replay_matcher matcher;
    matcher.load(requests);
    unsigned nth = 0;
    const uint8_t late = 0xBB;
    const replay_exchange *first = matcher.take(0x0010, &late, 1, &nth);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(first->answered);   // lost in the capture: lost again
    const replay_exchange *second = matcher.take(0x0010, &late, 1, &nth);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->answer, (bytes{1, 2, 3}));
    EXPECT_EQ(matcher.take(0x0010, &late, 1, &nth), nullptr);
    EXPECT_EQ(nth, 3u);
    EXPECT_EQ(matcher.matched(), 2u);
    EXPECT_EQ(matcher.unmatched(), 1u);
}

// A file that is no sound capture is refused with the reason and the byte
// where it shows; a management stream that breaks ends there, said, and
// what came before it stays.
TEST(CaptureReplay, RefusesDamagedFilesAndEndsBrokenStreams)
{
    capture_file whole = board_capture();
    struct {
        bytes file;
        const char *error;
    } refused[] = {
        {bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!'},
         "replay: f: not a pcapng capture (no section header block at its start) at byte 0"},
        {bytes(whole.file.begin(), whole.file.end() - 8), nullptr},
    };
    for (auto &r : refused) {
        capture_replay out;
        capture_replay_reader reader(out);
        std::string error;
        EXPECT_FALSE(reader.read("f", r.file.data(), r.file.size(), error));
        if (r.error)
            EXPECT_EQ(error, r.error);
        else
            EXPECT_EQ(error.find("replay: f: a block runs past the end of the file at byte "), 0u) << error;
    }

    bytes request = message(0x2024, 7, KERNMSG_REQUEST, MODULE_CHIPSET, MODULE_CONFIG, 0, bytes(32));
    bytes answer = message(0x2024, 7, KERNMSG_ANSWER, MODULE_CONFIG, MODULE_CHIPSET, 0, bytes(32));
    bytes garbage(16, 0x5A);
    struct {
        const char *name;
        std::vector<std::pair<bool, bytes>> segments;   // from the daemon?, bytes
        uint32_t skip;                                  // before the last segment
        const char *note;
    } broken[] = {
        {"gap",
         {{true, request}, {false, bytes(answer.begin(), answer.begin() + 8)}, {false, bytes(answer.begin() + 8, answer.end())}},
         3,
         "a gap in the sequence (1011 where 1008 was due)"},
        {"magic", {{true, request}, {false, garbage}}, 0, "a message header without its magic"},
        {"cut", {{true, request}, {false, bytes(answer.begin(), answer.begin() + 20)}}, 0, "cut short"},
    };
    for (auto &b : broken) {
        capture_file c;
        for (size_t i = 0; i < b.segments.size(); i++)
            c.mgmt(b.segments[i].first, b.segments[i].second, i + 1 == b.segments.size() ? b.skip : 0);
        capture_replay out;
        capture_replay_reader reader(out);
        std::string error;
        ASSERT_TRUE(reader.read(b.name, c.file.data(), c.file.size(), error)) << error;
        reader.finish();
        ASSERT_EQ(out.mgmt_notes.size(), 1u) << b.name;
        EXPECT_NE(out.mgmt_notes[0].find(b.note), std::string::npos) << out.mgmt_notes[0];
        ASSERT_EQ(out.config.size(), 1u);
        EXPECT_FALSE(out.config[0].answered) << b.name;
    }
}
