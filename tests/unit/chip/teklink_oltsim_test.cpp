// The chip link against the simulated chips on loopback: time-outs and
// resends, CTAG matching, the OLT state gate, fragments, foreign senders and
// board resets. Each test process gets a chip network of its own in 127/8 so
// that tests may run side by side; nothing waits on timings, only on
// conditions with generous bounds.
#include "common/chip_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

using bytes = std::vector<uint8_t>;

class ChipLink : public ChipLinkFixture {
protected:
    // A request block for `olt` carrying `data`; the caller frees it.
    static uint8_t *request(uint16_t olt, uint16_t id, const bytes &data = {})
    {
        auto *msg = static_cast<uint8_t *>(BALLOC(long(TEKLINK_MSG_DATA + data.size())));
        tekmsg_set_header(msg, olt, id, 0, uint16_t(data.size()));
        std::copy(data.begin(), data.end(), msg + TEKLINK_MSG_DATA);
        return msg;
    }

    // One exchange; the response (if any) is freed.
    int exchange(uint16_t olt, uint16_t id, const bytes &data, int timeout)
    {
        uint8_t *req = request(olt, id, data);
        uint8_t *resp = reinterpret_cast<uint8_t *>(1);
        int rc = teklink_message_send(req, &resp, timeout);
        EXPECT_TRUE(rc == 0 || resp == nullptr) << "a failed exchange hands back no response";
        BFREE_SAFE(resp);
        BFREE(req);
        return rc;
    }
};

TEST_F(ChipLink, LateAnswerIsDiscardedByTheNextWait)
{
    sim_->delay_next(2, 1, 1500);
    EXPECT_EQ(exchange(2, 0x0110, {}, 1), 0);   // first attempt times out, the second is answered
    EXPECT_EQ(sim_->request_count(), 2u);
    uint16_t stale = sim_->request_log()[0].ctag;
    // Wait until the late answer sits in the OLT's queue.
    ASSERT_TRUE(eventually([] { return mqueue_peek(&teklink_rx_queue[2]) != nullptr; }));
    EXPECT_EQ(exchange(2, 0x0110, {}, 2), 0);
    std::string line = "Mismatch CTAG: request->header.ctag = " + std::to_string(teklink_ctag.load()) +
                       ", response->header.ctag=" + std::to_string(stale) + "\n";
    EXPECT_EQ(count_of(trace(), line), 1) << line;
}

TEST_F(ChipLink, BadArgumentsAndClosedLinkSendNothing)
{
    EXPECT_EQ(exchange(4, 0x0001, {}, 1), TEKLINK_ERR_ARGUMENT);
    uint8_t *resp = nullptr, *req = request(0, 1);
    EXPECT_EQ(teklink_message_send(nullptr, &resp, 1), TEKLINK_ERR_ARGUMENT);
    EXPECT_EQ(teklink_message_send(req, nullptr, 1), TEKLINK_ERR_ARGUMENT);
    BFREE(req);
    teklink_close();
    EXPECT_EQ(exchange(0, 0x0001, {}, 1), TEKLINK_ERR_CLOSED);
    EXPECT_EQ(sim_->request_count(), 0u);
    EXPECT_EQ(count_of(trace(), "== HOST > OLT"), 0);
}

// An OLT under reset is not addressed, even by an exchange already in its
// resend pause, which frees the busy answer it holds.
TEST_F(ChipLink, ResetDuringTheResendPauseEndsWithoutLeakingTheAnswer)
{
    sim_->set_handler(0x0400, [](int olt, const oltsim::request_record &) {
        olt_set_state(olt, ONU_STATE_RESETINPROGRESS);   // the board resets the chip meanwhile
        return oltsim::answer{TEKLINK_RCODE_NO_ONU_RESPONSE, {}};
    });
    EXPECT_EQ(exchange(0, 0x0400, {}, 2), TEKLINK_ERR_CLOSED);
    EXPECT_EQ(exchange(0, 0x0001, {}, 1), TEKLINK_ERR_CLOSED);
    EXPECT_EQ(sim_->request_count(), 1u);
    EXPECT_EQ(exchange(1, 0x0001, {}, 2), 0);   // the others are
}

// A stopping daemon does not wait out the attempts of an exchange with a
// chip that no longer answers: the waiting exchange ends at once, and so
// does any later one, so that its caller lets go of the locks the stop
// joins on.
TEST_F(ChipLink, AStopEndsTheExchangeWaitingForItsAnswer)
{
    sim_->silence_olt(1, true);
    int rc = 0;
    std::thread caller([&] { rc = exchange(1, 0x0203, {0xAB}, 20); });
    EXPECT_TRUE(eventually([&] { return sim_->request_count() == 1; }, 10));
    teklink_stop_exchanges();
    caller.join();
    EXPECT_EQ(rc, TEKLINK_ERR_CLOSED);
    EXPECT_EQ(exchange(0, 0x0001, {}, 1), TEKLINK_ERR_CLOSED);
    EXPECT_EQ(sim_->request_count(), 1u);
}

// Only a chip's own address speaks for it. The socket listens on every
// address, so a neighbour network's x.1 or x.2 ends like a chip's address:
// what it sends (an EAP frame, an OLT ready event) is dumped, counted and
// dropped like a datagram from outside the chip range.
TEST_F(ChipLink, DatagramFromAnythingButAChipAddressIsDumpedAndDropped)
{
    const bytes frame(24, 0x11), chip(oltsim::OLT_READY_SIZE);
    bytes answer(TEKMSG_HEADER + 2), eap(TEKMSG_HEADER + frame.size()), ready(TEKMSG_HEADER + chip.size());
    tekmsg_encode(answer.data(), answer.size(), 0x0001, teklink_ctag.load(), 0, -1, nullptr, 0);
    tekmsg_encode(eap.data(), eap.size(), TEK_EVENT_EAP_FRAME, 1, -1, -1, frame.data(), frame.size());
    tekmsg_encode(ready.data(), ready.size(), TEK_EVENT_OLT_READY, 1, -1, -1, chip.data(), chip.size());
    const unsigned before = teklink_unknown_senders();
    sim_->send_foreign(answer);   // NET.5: outside the chip range
    sim_->send_foreign(eap, loopback_neighbour(net_, 1));
    sim_->send_foreign(ready, loopback_neighbour(net_, 2));
    ASSERT_TRUE(eventually([&] { return teklink_unknown_senders() - before == 3; }));
    std::string out = trace();
    for (const char *dump : {"== OLT[4] > HOST", "== OLT[0] > HOST", "== OLT[1] > HOST"})
        EXPECT_EQ(count_of(out, dump), 1) << dump;
    EXPECT_EQ(count_of(out, " is not a chip's, dropped\n"), 3);
    sim_->send_raw(3, answer);   // something that is kept, to know the others were handled
    ASSERT_TRUE(eventually([] { return mqueue_peek(&teklink_rx_queue[3]) != nullptr; }));
    for (int olt = 0; olt < 3; olt++)
        EXPECT_EQ(mqueue_tryget(&teklink_rx_queue[olt]), nullptr);
    EXPECT_EQ(mqueue_tryget(&teklink_events_queue), nullptr);
    EXPECT_EQ(teklink_unknown_senders() - before, 3u);
}

// Fragments whose last part never comes age out after a minute, whether
// nothing else arrives or a neighbour keeps the socket busy.
TEST_F(ChipLink, HeldFragmentsAgeWithOrWithoutFurtherTraffic)
{
    clock_fake_set(uptime_seconds());
    const bytes data(4, 0x22), junk(TEKMSG_HEADER, 0);
    for (bool chatter : {false, true}) {
        bytes part(TEKMSG_HEADER + 4 + data.size());
        tekmsg_encode(part.data(), part.size(), 0x0500, 77, TEKLINK_RCODE_MORE, 0, data.data(), data.size());
        sim_->send_raw(1, part);
        ASSERT_TRUE(eventually([] { return teklink_rxpool_used() == 1; }));
        clock_fake_advance(TEKLINK_RXPOOL_MAX_AGE + 1);
        EXPECT_TRUE(eventually([&] {
            if (chatter)
                sim_->send_foreign(junk, loopback_neighbour(net_, 2));
            return teklink_rxpool_used() == 0;
        }, 5)) << (chatter ? "with" : "without") << " traffic";
    }
    clock_fake_release();
    EXPECT_EQ(count_of(trace(), "teklink_rxpool_freeaged: bfree: OLT1 (ID: 1280 CTAG: 77"), 2);
}

} // namespace
