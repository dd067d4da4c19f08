// An OLT configured in one test process: the data store, the chip link to an
// in-process oltsim with the chips' configuration side (and TFTP), and the
// management link to an in-process ponkernel serving a board file. The
// port settle pause is recorded instead of slept.
#pragma once

#include "common/chip_fixture.h"

#include "engine/profiler_olt.h"
#include "mgmt/kernlink.h"
#include "oltsim/olt_config.h"
#include "oltsim/tftpserver.h"
#include "ponkernel/ponkernel.h"

#include <fstream>
#include <vector>

// OLT 0 and 1 of a small board: rules on three tables, domains of each
// kind, identifier templates; OLT 1 with PON 0 disabled.
inline std::string olt_test_board()
{
    return R"({
  "system": { "hostname": "olt-test", "address": "10.1.2.3" },
  "olts": [
    { "index": 0, "params": [4, 5],
      "pon": [ { "enable": 1, "params": "01 02 03 04",
                 "rules": [ [ { "precedence": 1, "conditions": [ { "field": 9, "value": 100 } ],
                                "actions": [ { "flag": 1, "code": 5, "value": "01 02 03 04 05 06 07 08", "final": 5 } ] },
                              { "precedence": 2, "conditions": [ { "field": 12 } ] } ],
                            [], [ { "precedence": 3 } ] ] },
               { "enable": 1 } ],
      "nni": [ { "rules": [ [ { "precedence": 9 } ] ] } ],
      "global": { "word": 1000000, "parameter": 1 },
      "option82": { "format": 1 },
      "identifiers": { "format": 2, "circuit": "%HOSTNAME% %ONTID%", "remote": "%MNGIP%" },
      "domains": [ { "enabled": 1, "vlan": 0, "address": "224.0.0.1" },
                   { "enabled": 1, "vlan": 100, "address": "239.1.1.1", "rule_param": 4 },
                   { "enabled": 0, "vlan": 200 },
                   { "enabled": 0, "vlan": 0 } ] },
    { "index": 1, "pon": [ { "enable": 0 }, { "enable": 2 } ] }
  ]
})";
}

using olt_ids = std::vector<uint16_t>;

inline olt_ids olt_ids_cat(std::initializer_list<olt_ids> parts)
{
    olt_ids out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline olt_ids olt_ids_repeat(std::initializer_list<uint16_t> part, int times)
{
    olt_ids out;
    for (int i = 0; i < times; i++)
        out.insert(out.end(), part);
    return out;
}

// What OLT 0 of that board receives on its first configuration, in order.
inline olt_ids olt0_first_configuration()
{
    const olt_ids pon_head = {0x0016, 0x0246, 0x0275, 0x01C4, 0x0210, 0x01C4};
    const olt_ids pon_tail = {0x019C, 0x0161, 0x0163, 0x0189, 0x0018, 0x0121};
    const olt_ids domain_queues = olt_ids_repeat({0x0178}, 4);
    return olt_ids_cat({
        {0x0009},
        olt_ids_repeat({0x018F, 0x0191, 0x0191}, 4),
        {0x0009, 0x0083},
        pon_head, {0x0190, 0x0190}, pon_tail,
        pon_head, pon_tail,
        {0x004C, 0x0018, 0x0190},
        {0x004C, 0x0018},
        {0x0050, 0x02EE, 0x005A, 0x023C},
        {0x01F5, 0x01FF},
        {0x014F},
        domain_queues, {0x0225, 0x0193, 0x01F2, 0x0151},
        domain_queues, {0x0225, 0x0193, 0x01F2, 0x0151},
        domain_queues, {0x0225, 0x0193, 0x01F2},
        domain_queues,
        {0x003D},
        {0x028C, 0x028C},
        {0x0008},
        {0x01CB, 0x01CC, 0x01CB},
    });
}

class OltConfigFixture : public ChipFixture {
protected:
    void SetUp() override
    {
        ChipFixture::SetUp();
        if (HasFatalFailure())
            return;
        saved_flags_ = flags;
        flags.r = 0;
        profiler_olt_state_reset();
        pauses().clear();
        saved_sleep_ = profiler_olt_sleep_ms;
        profiler_olt_sleep_ms = [](unsigned ms) { pauses().push_back(ms); };
        chips_ = std::make_unique<oltsim::olt_config_sim>(*sim_);
        chips_->attach();
        tftp_ = std::make_unique<oltsim::tftp_server>(*sim_);

        std::string board = (root_ / "board.json").string();
        std::ofstream(board) << board_text();
        ponkernel_options o;
        o.unix_path = (root_ / "tmp/chip.sock").string();
        o.print = false;
        o.board_file = board;
        ASSERT_EQ(kernel_.start(o), 0);
        kernlink_init();
        ASSERT_TRUE(kernel_.wait_connected(10));
        ASSERT_TRUE(eventually([] { return kernlink_connected(); }));
        for (int olt = 0; olt < OLT_COUNT; olt++) {
            olt_record *record = olt_get(olt);
            const uint8_t mac[6] = {0x00, 0x0D, 0xB6, 0x37, 0x23, uint8_t(olt)};
            memcpy(record->mac, mac, 6);
            record->index = uint8_t(olt);
            olt_set_state(olt, ONU_STATE_RESETOK);
        }
    }

    void TearDown() override
    {
        kernlink_close();
        kernel_.stop();
        profiler_olt_sleep_ms = saved_sleep_;
        flags = saved_flags_;
        tftp_.reset();
        chips_.reset();
        ChipFixture::TearDown();
    }

    virtual std::string board_text() { return olt_test_board(); }

    // The IDs OLT `olt` received, in order, from request number `from` on.
    std::vector<uint16_t> ids(int olt, size_t from = 0)
    {
        std::vector<uint16_t> out;
        auto log = sim_->request_log();
        for (size_t i = from; i < log.size(); i++)
            if (log[i].olt == olt)
                out.push_back(log[i].id);
        return out;
    }

    static std::vector<unsigned> &pauses()
    {
        static std::vector<unsigned> recorded;
        return recorded;
    }

    std::unique_ptr<oltsim::olt_config_sim> chips_;
    std::unique_ptr<oltsim::tftp_server> tftp_;
    ponkernel_server kernel_;
    process_flags saved_flags_{};
    void (*saved_sleep_)(unsigned) = nullptr;
};
