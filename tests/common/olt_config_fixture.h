// An OLT configured in one test process: the data store, the chip link to an
// in-process oltsim with the chips' configuration side (and TFTP), and the
// management link to an in-process ponkernel serving a board file. The
// port settle pause is skipped.
#pragma once

#include "common/chip_fixture.h"
#include "common/link_fixture.h"

#include "engine/profiler_olt.h"
#include "oltsim/olt_config.h"
#include "oltsim/tftpserver.h"

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

class OltConfigFixture : public ChipFixture {
protected:
    void SetUp() override
    {
        ChipFixture::SetUp();
        if (HasFatalFailure())
            return;
        saved_flags_ = flags;
        profiler_olt_state_reset();
        saved_sleep_ = profiler_olt_sleep_ms;
        profiler_olt_sleep_ms = [](unsigned) {};
        chips_ = std::make_unique<oltsim::olt_config_sim>(*sim_);
        chips_->attach();
        tftp_ = std::make_unique<oltsim::tftp_server>(*sim_);

        // OLT 0 and 1 of a small board: rules on three tables, domains of
        // each kind, identifier templates; OLT 1 with PON 0 disabled.
        kernel_link_up(kernel_, kernel_options(root_.string(), ZANDREL_VECTORS_DIR "/engine/olt_board.json"));
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

    std::unique_ptr<oltsim::olt_config_sim> chips_;
    std::unique_ptr<oltsim::tftp_server> tftp_;
    ponkernel_server kernel_;
    process_flags saved_flags_{};
    void (*saved_sleep_)(unsigned) = nullptr;
};
