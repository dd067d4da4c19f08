// ONU network, port parameter and port block requests: their bytes, and
// what oltsim's ONU makes of them.
#include "common/onu_fixture.h"

#include "onu/onu_ports.h"

namespace {

struct request_case {
    const char *name;
    byte_vec built;
    const char *expected;
};

template <typename F> byte_vec build(F fn)
{
    byte_vec out(128);
    out.resize(fn(out.data()));
    return out;
}

TEST(OnuPortRequests, AreLaidOutByteForByte)
{
    const uint8_t mode0[ONU_UNI_PARAMS_SIZE] = {1, 0, 0x21, 0x22, 9, 9, 9, 9, 9, 9, 9};
    const uint8_t mode3[ONU_UNI_PARAMS_SIZE] = {1, 3, 0x21, 0x22};
    const request_case cases[] = {
        {"network parameters", build([](uint8_t *o) { return onu_network_request(o, ONU_MAC, 0x1234, 0x56, 0x78); }),
         "00 0D B6 11 22 33 | 12 34 | 56 | 78"},
        {"PON port parameters, option on", build([](uint8_t *o) { return onu_pon_params_request(o, ONU_MAC, 1); }),
         "00 0D B6 11 22 33 | 02 | 00 00"},
        {"PON port parameters, option off", build([](uint8_t *o) { return onu_pon_params_request(o, ONU_MAC, 0); }),
         "00 0D B6 11 22 33 | 02 | FF FF"},
        {"UNI mode, mode byte 0: the two settings at 8 and 9",
         build([&](uint8_t *o) { return onu_uni_mode_request(o, ONU_MAC, 1, mode0); }),
         "00 0D B6 11 22 33 | 00 01 | 21 22 00 00 00 00 00 00 00"},
        {"UNI mode, mode byte 3: at 11 only",
         build([&](uint8_t *o) { return onu_uni_mode_request(o, ONU_MAC, 2, mode3); }),
         "00 0D B6 11 22 33 | 00 02 | 00 00 00 03 00 00 00 00 00"},
        {"UNI settings", build([](uint8_t *o) { return onu_uni_settings_request(o, ONU_MAC, 2); }),
         "00 0D B6 11 22 33 | 00 02 | 00 40 20 00 00 00 00"},
        {"RF output block", build([](uint8_t *o) { return onu_rf_output_request(o, ONU_MAC, false); }),
         "00 0D B6 11 22 33 | 51 00 02 78 | 00"},
        {"RF output unblock", build([](uint8_t *o) { return onu_rf_output_request(o, ONU_MAC, true); }),
         "00 0D B6 11 22 33 | 51 00 02 78 | 08"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(hex_text(c.built), hex_text(hex(c.expected))) << c.name;

    uint8_t read[ONU_PORT_CONFIG_SIZE];
    for (size_t i = 0; i < sizeof read; i++)
        read[i] = 0xC0 | uint8_t(i & 0x3F);
    byte_vec written = build([&](uint8_t *o) { return onu_port_config_write_request(o, read); });
    ASSERT_EQ(written.size(), 89u);
    EXPECT_EQ(hex_text(byte_vec(written.begin() + 33, written.begin() + 60)),
              hex_text(hex("E1 | 00 05 00 12 06 | E7 E8 E9 EA EB | "
                           "00 06 00 10 10 00 06 00 00 10 00 03 00 1D 03 | FB")));
    EXPECT_EQ(written[0], 0xC0);
    EXPECT_EQ(written[88], 0xC0 | (88 & 0x3F));
}

class OnuPorts : public OnuChip {};

TEST_F(OnuPorts, ParametersReachTheOnu)
{
    EXPECT_EQ(profiler_onu_network_params(1, ONU_MAC, 0x0102, 3, 4), 0);
    EXPECT_EQ(profiler_onu_pon_port_params(1, ONU_MAC, 0), 0);
    const uint8_t disabled[ONU_UNI_PARAMS_SIZE] = {0, 0, 7, 8};
    EXPECT_EQ(profiler_onu_uni_port_params(1, ONU_MAC, 2, disabled), 0);
    auto d = device();
    EXPECT_EQ(hex_text(d.network), "01 02 03 04 ");
    EXPECT_EQ(hex_text(d.pon_params), "02 FF FF ");
    EXPECT_FALSE(d.uni[2].enabled);
    EXPECT_EQ(hex_text(d.uni[2].mode), "07 08 00 00 00 00 00 00 00 ");
    EXPECT_EQ(hex_text(d.uni[2].settings), "00 40 20 00 00 00 00 ");
    EXPECT_EQ(sent(TEK_REQ_PORT_DISABLE), (std::vector<std::string>{"00 0D B6 11 22 33 00 02 "}));
}

TEST_F(OnuPorts, UniParametersStopAtTheFirstFailure)
{
    const uint8_t enabled[ONU_UNI_PARAMS_SIZE] = {1, 0, 7, 8};
    sim_->rcode_next(1, 3, 1);
    EXPECT_EQ(profiler_onu_uni_port_params(1, ONU_MAC, 1, enabled), 3);
    EXPECT_TRUE(requests(TEK_REQ_ONU_PORT_MODE).empty());
    balloc_fail_nth(1);
    EXPECT_EQ(profiler_onu_network_params(1, ONU_MAC, 1, 2, 3), 8) << "8, not 4, without memory";
    balloc_fail_nth(0);
}

TEST_F(OnuPorts, ConfigurationBlockIsReadAndWrittenBack)
{
    EXPECT_EQ(profiler_onu_port_config_refresh(1, ONU_MAC, 2), 0);
    auto d = device();
    EXPECT_EQ(d.port_config_writes[2], 1u);
    EXPECT_EQ(d.port_config[2][37], 0x12);
    EXPECT_EQ(d.port_config[2][57], 0x1D);
    EXPECT_EQ(d.port_config[2][33], 33) << "bytes outside the set ones go back as read";

    // A read answer shorter than the 89-byte block is a refusal; nothing is written.
    auto passed_on = sim_->handler_of(TEK_REQ_ONU_PORT_CONFIG_READ);
    sim_->set_handler(TEK_REQ_ONU_PORT_CONFIG_READ, [passed_on](int olt, const oltsim::request_record &r) {
        auto a = passed_on(olt, r);
        a.data.resize(88);
        return a;
    });
    EXPECT_EQ(profiler_onu_port_config_refresh(1, ONU_MAC, 1), 3);
    EXPECT_EQ(device().port_config_writes[1], 0u);
    sim_->rcode_next(1, 2, 1);
    EXPECT_EQ(profiler_onu_port_config_refresh(1, ONU_MAC, 0), 3);
}

TEST_F(OnuPorts, BlockingPortsAndTheRfOutput)
{
    struct case_ {
        const char *name;
        uint16_t port;
        bool unblock;
        uint16_t rcode;      // the chip's answer
        int result;
        uint8_t flag;        // the record's status flag afterwards (starting at 5)
    };
    const case_ cases[] = {
        {"block UNI0", 1, false, 0, 0, 1},
        {"unblock UNI1: the flag is not touched", 2, true, 0, 0, 5},
        {"refused UNI block", 2, false, 9, 3, 1},
        {"block RFOUT", 3, false, 0, 0, 1},
        {"unblock RFOUT clears the flag", 3, true, 0, 0, 0},
        {"RFOUT refusal is not looked at", 3, true, 9, 0, 0},
    };
    for (const auto &c : cases) {
        if (c.rcode)
            sim_->rcode_next(1, c.rcode, 1);
        onu_lock(onu_);
        onu_->uni[c.port].blocked = 5;
        onu_->uni[c.port].blocked_time = 77;
        EXPECT_EQ(profiler_onu_port_block_config(onu_, c.port, c.unblock), c.result) << c.name;
        EXPECT_EQ(onu_->uni[c.port].blocked, c.flag) << c.name;
        if (c.flag != 5) {
            EXPECT_EQ(onu_->uni[c.port].blocked_time, 0u) << c.name;
        }
        onu_unlock(onu_);
        if (c.rcode == 0 && c.port < 3) {
            EXPECT_EQ(device().uni[c.port].enabled, c.unblock) << c.name;
        }
        if (c.rcode == 0 && c.port == 3) {
            EXPECT_EQ(device().rf_output, c.unblock ? 8 : 0) << c.name;
        }
    }
    EXPECT_EQ(profiler_onu_port_block(1, ONU_MAC, 0, false), 3) << "the PON port is not blocked this way";
}

} // namespace
