// The chip link's receive side: the joins that fail and the joined LEN, the
// pool's limits and alarm flooding. Classification, joins and ageing that
// succeed are the board's (every exchange, long events, held fragments in
// teklink_oltsim_test); short datagrams and the received dump's bounds are
// the fuzz target's (seeds short_and_foreign, len_mismatch).
#include "base/balloc.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "chip/teklink.h"
#include "common/wait.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

bytes datagram(uint16_t id, uint16_t ctag, int rcode, int seqn, const bytes &data)
{
    bytes out(TEKMSG_HEADER + 4 + data.size());
    out.resize(tekmsg_encode(out.data(), out.size(), id, ctag, rcode, seqn, data.data(), data.size()));
    return out;
}

bytes response(uint16_t ctag, uint16_t rcode, const bytes &data = {}) { return datagram(0x0101, ctag, rcode, -1, data); }
bytes fragment(uint16_t id, uint16_t ctag, bool last, uint16_t seqn, const bytes &data)
{
    return datagram(id, ctag, last ? TEKLINK_RCODE_LAST : TEKLINK_RCODE_MORE, seqn, data);
}

class RxPool : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(bopen(nullptr, 0x400000, 0), 0);
        ASSERT_EQ(teklink_queues_init(), 0);
        setenv("ZANDREL_LOG_STDERR", "1", 1);
        log_open();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    void TearDown() override
    {
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        balloc_fail_nth(0);
        clock_fake_release();
        teklink_queues_drain();
        teklink_rxpool_clear();
        balloc_figures f{};
        balloc_figures_get(&f);
        EXPECT_EQ(f.inuse_bytes, 0u) << "a block of the receive path was not given back";
        log_close();
        unsetenv("ZANDREL_LOG_STDERR");
        bclose();
    }

    // What the receive path printed (stdout) since the last call, and in
    // syslog_ what it logged (stderr) in the same span; capturing goes on.
    std::string trace_text()
    {
        std::string trace = testing::internal::GetCapturedStdout();
        syslog_ = testing::internal::GetCapturedStderr();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        return trace;
    }

    static void rx(uint16_t olt, const bytes &d) { teklink_rx_datagram(olt, d.data(), d.size()); }

    std::string syslog_;
};

// A set with a part missing, or of 257 parts, is freed and its sender woken
// empty (an event goes on as it came); 256 parts are joined, with the LEN of
// the joined data and only what arrived of a part shorter than its own LEN.
TEST_F(RxPool, MoreThan256FragmentsAreRejectedWithoutWritingPastTheTable)
{
    rx(0, fragment(0x0042, 12, false, 0, {1}));
    rx(0, fragment(0x0042, 12, true, 2, {3}));
    rx(0, fragment(0x8019, 13, true, 1, {3}));
    EXPECT_EQ(teklink_events_queue.used, 1u);
    for (uint16_t ctag : {40, 41}) {
        const uint16_t last = ctag == 40 ? 256 : 255;
        for (uint16_t s = 0; s <= last; s++) {
            bytes part = fragment(0x0042, ctag, s == last, s, {uint8_t(s)});
            if (s == 0)
                store_be16(part.data() + 4, 200);   // claims 196 data bytes
            rx(0, part);
        }
    }
    ASSERT_EQ(teklink_rx_queue[0].used, 3u);
    EXPECT_EQ(mqueue_tryget(&teklink_rx_queue[0]), nullptr);
    EXPECT_EQ(mqueue_tryget(&teklink_rx_queue[0]), nullptr);
    auto *msg = static_cast<uint8_t *>(mqueue_tryget(&teklink_rx_queue[0]));
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(tekmsg_len(msg), 2 + 256) << "LEN is the joined data's, not the first part's";
    for (int s = 0; s < 256; s++)
        ASSERT_EQ(msg[10 + s], uint8_t(s));
    BFREE(msg);
    EXPECT_EQ(teklink_rxpool_used(), 0);
}

TEST_F(RxPool, EveryThousandthCountedAlarmIsDropped)
{
    auto alarm = [](uint8_t tag) { return fragment(TEK_EVENT_ALARM, 1, true, 0, {tag, 0, 0x0D, 0xB6, 1, 2, 3, 0x17, 0}); };
    rx(0, alarm(2));
    rx(0, alarm(7));   // tags 2 and 7 are not counted
    EXPECT_EQ(teklink_events_queue.used, 2u);
    for (int i = 0; i < 1999; i++) {
        teklink_queues_drain();   // stand in for the event thread
        rx(0, alarm(1));
        EXPECT_EQ(teklink_events_queue.used, i == 999 ? 0u : 1u) << "alarm " << i;
    }
    EXPECT_EQ(teklink_alarm_count, 1999);
    EXPECT_EQ(count_of(trace_text(), "Alarm: tag 1, alarm ID 23, ONU 00:0D:B6:01:02:03\n\n"), 1999);
    EXPECT_EQ(count_of(syslog_, "teklink: alarm flooding detected"), 1);
    EXPECT_EQ(teklink_rxpool_used(), 0);
}

TEST_F(RxPool, NothingIsLostWhenBlocksRunOut)
{
    balloc_fail_nth(1);
    rx(3, response(9, 0));
    EXPECT_EQ(teklink_rx_queue[3].used, 0u);
    EXPECT_EQ(count_of(trace_text(), "teklink_rxpool_add_entry: "), 1);

    // The joined block cannot be had: the set is freed, the sender woken.
    rx(1, fragment(0x0042, 70, false, 0, {1}));
    balloc_fail_nth(2);   // the last fragment's own block is the first
    rx(1, fragment(0x0042, 70, true, 1, {2}));
    ASSERT_EQ(teklink_rx_queue[1].used, 1u);
    EXPECT_EQ(mqueue_tryget(&teklink_rx_queue[1]), nullptr);
    EXPECT_EQ(teklink_rxpool_used(), 0);
    EXPECT_EQ(count_of(trace_text(), ": balloc failed (defragmented), ID 66, CTAG 70\n"), 1);
}

// Tiny fragments of one chip fill its quarter of the slots, not the pool.
TEST_F(RxPool, EachChipHasAQuarterOfTheSlots)
{
    bytes part = fragment(0x0042, 1, false, 0, {});
    for (uint16_t olt = 0; olt < OLT_COUNT; olt++) {
        for (int i = 0; i < TEKLINK_RXPOOL_SLOTS / OLT_COUNT; i++)
            ASSERT_EQ(teklink_rxpool_add_entry(part.data(), part.size(), olt), 0);
        EXPECT_EQ(teklink_rxpool_add_entry(part.data(), part.size(), olt), -1) << olt;
    }
    EXPECT_EQ(teklink_rxpool_used(), TEKLINK_RXPOOL_SLOTS);
}

TEST_F(RxPool, FullQueueFreesTheMessage)
{
    for (int i = 0; i < TEKLINK_RX_QUEUE_SIZE; i++)
        rx(0, response(uint16_t(i), 0));
    rx(0, response(5000, 0));
    EXPECT_EQ(teklink_rx_queue[0].used, unsigned(TEKLINK_RX_QUEUE_SIZE));
    trace_text();
    EXPECT_EQ(count_of(syslog_, "teklink_rxpool_poccess:"), 1);
}

// A chip sending big datagrams that are never consumed: fragments that wait
// for a last one, or events nobody takes yet. Whichever holds the blocks,
// the chip stops at its share (a quarter of the chips' half of the pool),
// counts what it drops and logs once per burst; the other chips' answers
// still pass, and the other half stays for the management link.
TEST_F(RxPool, OneChipHoldsAtMostItsShareOfThePool)
{
    const bytes data(1390, 0x5A);   // 1400-byte datagrams: class 2048 blocks
    struct { const char *name; bytes (*make)(uint16_t n, const bytes &data); } rows[] = {
        {"fragments waiting in the pool", [](uint16_t n, const bytes &d) { return fragment(0x0042, n, false, 0, d); }},
        {"events waiting in the queue", [](uint16_t n, const bytes &d) { return datagram(0x8005, n, -1, -1, d); }},
    };
    for (const auto &r : rows) {
        clock_fake_set(1000);
        const size_t share = bregion_size() / 8, fits = share / bblock_bytes(1402);
        const unsigned drops = teklink_rx_share_drops();
        for (size_t i = 0; i < fits + 30; i++)
            rx(1, r.make(uint16_t(i), data));
        EXPECT_EQ(teklink_rxpool_used() + int(teklink_events_queue.used), int(fits)) << r.name;
        EXPECT_EQ(teklink_rx_share_drops() - drops, 30u) << r.name;
        EXPECT_LE(baccount_bytes(teklink_rx_account(1)), share) << r.name;
        rx(2, response(7, 0, data));
        EXPECT_EQ(teklink_rx_queue[2].used, 1u) << r.name << ": another chip's answer was dropped";
        // The other half is there for the management link: a megabyte in
        // blocks of the largest class.
        std::vector<void *> big(8);
        for (void *&block : big)
            EXPECT_NE(block = BALLOC(131072), nullptr) << r.name;
        for (void *block : big)
            BFREE_SAFE(block);
        trace_text();
        EXPECT_EQ(count_of(syslog_, "teklink: chip messages hold their share of the pool"), 1) << r.name;

        // Once the blocks are given back (aged out by the receive thread's
        // pass, or consumed) datagrams are stored again; the next burst has
        // its own line.
        teklink_queues_drain();
        clock_fake_advance(61);
        teklink_rxpool_freeaged();
        rx(1, response(1, 0));
        EXPECT_EQ(teklink_rxpool_used(), 0) << r.name;
        EXPECT_EQ(teklink_rx_queue[1].used, 1u) << r.name;
        teklink_queues_drain();
        EXPECT_EQ(baccount_bytes(teklink_rx_account(1)), 0u) << r.name;
    }
}

// A bind that fails leaves no descriptor open, so the receive thread's next
// try starts afresh instead of taking an unbound socket for an open one.
TEST(ChipSocket, FailedBindLeavesNothingOpenAndTheNextTryBinds)
{
    setenv("ZANDREL_CHIP_PORT", "0", 1);   // malformed: the default port
    setenv("ZANDREL_CHIP_BIND", "192.0.2.1", 1);   // not an address of this machine
    EXPECT_EQ(teklink_create_socket(), -1);
    EXPECT_EQ(errno, EADDRNOTAVAIL) << "the receive thread's log line names the bind's error";
    EXPECT_EQ(teklink_rx_socket.load(), -1);
    std::string net = "127.66." + std::to_string(getpid() & 0xFF) + ".100";
    setenv("ZANDREL_CHIP_BIND", net.c_str(), 1);
    EXPECT_EQ(teklink_create_socket(), 0);
    int fd = teklink_rx_socket.load();
    EXPECT_EQ(teklink_create_socket(), 0);   // open: nothing new
    EXPECT_EQ(teklink_rx_socket.load(), fd);
    teklink_close();
    unsetenv("ZANDREL_CHIP_BIND");
    unsetenv("ZANDREL_CHIP_PORT");
}

} // namespace
