// The management commands end to end inside one test process: the chip side
// of ChipFixture (data store, chip link, in-process oltsim), the management
// link to an in-process ponkernel with the commands' table installed, and
// the dispatch loop on a thread. A test sends a command as the management
// process would and reads the answer the daemon sends back. The clock is the
// fake one, so the reconfiguration's polls move only when a test says so.
#pragma once

#include "cmd/cmd_olt.h"
#include "mgmt/kernlink.h"
#include "ponkernel/ponkernel.h"
#include "base/process.h"
#include "common/chip_fixture.h"
#include "common/fake_time.h"

#include <array>
#include <future>
#include <thread>

struct cmd_answer {
    int sent = -1;                 // ponkernel's command result: 0 answered
    uint8_t rcode = 0xFF;
    std::vector<uint8_t> data;     // the payload
};

class CmdFixture : public ChipFixture {
protected:
    void SetUp() override
    {
        ChipFixture::SetUp();
        if (HasFatalFailure())
            return;
        flags.r = 0;
        ponkernel_options o;
        o.unix_path = root_.string() + "/tmp/chip.sock";
        o.print = false;
        ASSERT_EQ(kernel_.start(o), 0);
        clock_fake_set(1000);
        ASSERT_EQ(kernlink_init(cmd_command_table), 0);
        ASSERT_TRUE(advance_until([] { return kernlink_connected(); }));
        ASSERT_TRUE(kernel_.wait_connected(10));
        loop_ = std::thread(kernlink_process_loop);
    }

    void TearDown() override
    {
        if (loop_.joinable()) {
            run_flag = 0;
            mqueue_put(kernlink_request_queue(), nullptr);   // ends the loop's wait
            loop_.join();
        }
        kernlink_close();
        clock_fake_release();
        kernel_.stop();
        ChipFixture::TearDown();
    }

    // Sends `cmd` with `payload` and waits for its answer.
    cmd_answer send(uint16_t cmd, const std::vector<uint8_t> &payload, int seconds = 10)
    {
        // A handler answers before its thread gives the slot back; commands
        // sent back to back could find all three slots still taken, and the
        // dispatcher drops a command then.
        EXPECT_TRUE(eventually([] { return kernhandlers_busy_slots() == 0; }));
        cmd_answer a;
        std::vector<uint8_t> raw;
        a.sent = kernel_.command(cmd, payload, &raw, seconds);
        if (a.sent != 0 || raw.size() < KERNMSG_HEADER_SIZE)
            return a;
        a.rcode = kernmsg_header_decode(raw.data()).rcode;
        a.data.assign(raw.begin() + KERNMSG_HEADER_SIZE, raw.end());
        return a;
    }

    // `send` (or `send_unanswered` where `answers` is false) on a thread
    // while the fake clock moves `step_ms` at a time, for a handler that
    // waits on it. `sent` stays -1 where the handler never ended.
    cmd_answer send_on_fake_clock(uint16_t cmd, const std::vector<uint8_t> &payload, unsigned step_ms,
                                  bool answers = true)
    {
        auto sent = std::async(std::launch::async, [&] {
            return answers ? send(cmd, payload, 60) : cmd_answer{send_unanswered(cmd, payload) ? 0 : -1, 0xFF, {}};
        });
        EXPECT_TRUE(advance_until([&] { return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                                  step_ms, 60));
        return sent.get();
    }

    // Sends `cmd`, which never answers, and waits until its handler ended.
    bool send_unanswered(uint16_t cmd, const std::vector<uint8_t> &payload)
    {
        EXPECT_TRUE(eventually([] { return kernhandlers_busy_slots() == 0; }));
        auto before = kernhandlers_counters_get().started;
        return kernel_.command_async(cmd, payload) == 0 && eventually([&] {
                   return kernhandlers_counters_get().started > before && kernhandlers_busy_slots() == 0;
               });
    }

    // A 32-byte parameter block: u16 or u32 fields little-endian at their
    // offsets, then `tail` (text, personality).
    static std::vector<uint8_t> params(std::initializer_list<std::pair<size_t, uint32_t>> u32s,
                                       const std::vector<uint8_t> &tail = {})
    {
        std::vector<uint8_t> p(CMD_PARAMS_SIZE, 0);
        for (auto [at, value] : u32s)
            store_le32(p.data() + at, value);
        p.insert(p.end(), tail.begin(), tail.end());
        return p;
    }
    // The same with a MAC at `at` (8 for the ONU commands).
    static std::vector<uint8_t> with(std::initializer_list<std::pair<size_t, uint32_t>> u32s, const uint8_t mac[6],
                                     size_t at = 8)
    {
        std::vector<uint8_t> p = params(u32s);
        std::copy(mac, mac + 6, p.begin() + long(at));
        return p;
    }

    // An ONU of `type` in state OK behind `olt` and PON port `port`, in its
    // summary too, its two UNIs' destinations `paths`.
    static onu_record *make_listed_onu(int index, const uint8_t mac[6], uint8_t type, int olt = 0, int port = 0,
                                       std::array<uint16_t, 2> paths = {})
    {
        onu_record *onu = make_onu(index, mac, ONU_STATE_OK, olt);
        onu_lock(onu);
        onu->type = type;
        onu->port = uint8_t(port);
        onu->uni_path[0] = paths[0];
        onu->uni_path[1] = paths[1];
        onu_summary_update(onu);
        onu_unlock(onu);
        return onu;
    }

    // The chips' learned-MAC answers: `mac` behind destination `dest`,
    // nothing behind any other.
    void learned_behind(uint16_t dest, const uint8_t mac[6])
    {
        std::vector<uint8_t> learned(mac, mac + 6);
        sim_->set_handler(TEK_REQ_DEST_LEARNED_MACS, [dest, learned](int, const oltsim::request_record &r) {
            bool ours = r.data.size() >= 2 && load_be16(r.data.data()) == dest;
            oltsim::answer a{0, {r.data[0], r.data[1], 0, uint8_t(ours)}};   // dest | count | MACs
            if (ours)
                a.data.insert(a.data.end(), learned.begin(), learned.end());
            return a;
        });
    }

    ponkernel_server kernel_;
    std::thread loop_;
};
