// Shared by the tests of the ONU requests: wire bytes written as annotated
// hex, and a chip fixture whose simulated chips carry ONU hardware
// (oltsim's onu_ports) and one ONU record to talk to.
#pragma once

#include "common/chip_fixture.h"
#include "common/hex.h"
#include "oltsim/onu_ports.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

using byte_vec = std::vector<uint8_t>;

inline std::string hex_text(const byte_vec &bytes)
{
    std::string text(bytes.size() * 3 + 1, '\0');
    for (size_t i = 0; i < bytes.size(); i++)
        snprintf(&text[i * 3], 4, "%02X ", bytes[i]);
    text.pop_back();
    return text;
}

inline const uint8_t ONU_MAC[6] = {0x00, 0x0D, 0xB6, 0x11, 0x22, 0x33};

class OnuChip : public ChipFixture {
protected:
    void SetUp() override
    {
        ChipFixture::SetUp();
        if (HasFatalFailure())
            return;
        ports_ = std::make_unique<oltsim::onu_ports>(*sim_);
        ports_->add(ONU_MAC);
        ports_->attach();
        onu_ = make_onu(0, ONU_MAC, ONU_STATE_OK, 1);
        onu_->chip_id[0] = 0x37;
        onu_->chip_id[1] = 0x14;
    }
    void TearDown() override
    {
        ChipFixture::TearDown();   // stops the chips, whose handlers use ports_
        ports_.reset();
    }
    oltsim::onu_device device() { return ports_->get(ONU_MAC); }
    void change(const std::function<void(oltsim::onu_device &)> &fn) { ports_->update(ONU_MAC, fn); }
    // The data bytes of every request of ID `id` the chips got, as hex text.
    std::vector<std::string> sent(uint16_t id)
    {
        std::vector<std::string> out;
        for (auto &r : requests(id))
            out.push_back(hex_text(r.data));
        return out;
    }

    std::unique_ptr<oltsim::onu_ports> ports_;
    onu_record *onu_ = nullptr;
};
