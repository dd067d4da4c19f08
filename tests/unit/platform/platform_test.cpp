// The platform layer: sandbox overrides and their malformed values, and the
// address texts.
#include "platform/sandbox.h"
#include "platform/textconv.h"

#include "common/hex.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

namespace {

class Environment : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const char *name : {"ZANDREL_ROOT", "ZANDREL_CHIP_NET", "ZANDREL_CHIP_BIND", "ZANDREL_CHIP_PORT",
                                 "ZANDREL_TIME_SCALE", "ZANDREL_LOG_STDERR"})
            unsetenv(name);
    }
};

TEST_F(Environment, EveryVariableOverridesItsBoardDefaultAndAMalformedValueFallsBackToIt)
{
    const struct {
        const char *variable, *value;
        std::string (*read)();
        const char *board, *overridden;
        std::vector<const char *> malformed;
    } cases[] = {
        {"ZANDREL_ROOT", "/var/run/box/", [] { return sandbox_path("/etc/config/ontautoupdate"); },
         "/etc/config/ontautoupdate", "/var/run/box/etc/config/ontautoupdate", {}},
        {"ZANDREL_CHIP_NET", "127.0.255", [] { return std::string(inet_ntoa(sandbox_chip_addr(3))); }, "192.168.255.4", "127.0.255.4",
         {"not.a.net"}},
        {"ZANDREL_CHIP_BIND", "127.0.255.100", [] { return std::string(inet_ntoa(sandbox_chip_bind())); }, "0.0.0.0", "127.0.255.100",
         {}},
        {"ZANDREL_CHIP_PORT", "24113", [] { return std::to_string(sandbox_chip_port()); }, "14113", "24113",
         {"70000", "12x"}},
        {"ZANDREL_TIME_SCALE", "1000", [] { return std::to_string(sandbox_time_scale()); }, "1", "1000",
         {"", "0", "1001"}},
        {"ZANDREL_LOG_STDERR", "1", [] { return std::to_string(sandbox_log_stderr()); }, "0", "1", {"yes"}},
    };
    for (const auto &c : cases) {
        for (const char *bad : c.malformed) {
            setenv(c.variable, bad, 1);
            EXPECT_EQ(c.read(), c.board) << c.variable << "=" << bad;
        }
        unsetenv(c.variable);
        EXPECT_EQ(c.read(), c.board) << c.variable;
        setenv(c.variable, c.value, 1);
        EXPECT_EQ(c.read(), c.overridden) << c.variable;
    }
    char small[16], big[64];
    EXPECT_EQ(sandbox_path(small, sizeof small, "/tmp/chip.sock"), -1);
    EXPECT_EQ(sandbox_path(big, sizeof big, "/dev/board"), 0);
    EXPECT_STREQ(big, "/var/run/box/dev/board");
}

// Short texts leave the missing numbers zero and are never read past.
TEST(TextConversions, AddressesRoundTripThroughText)
{
    for (auto [text, bytes] : {std::pair{"00:0d:B6:ff:10:02", "00 0D B6 FF 10 02"}, {"01-02-03-04-05-06", "01 02 03 04 05 06"},
                               {"0A:0B", "0A 0B 00 00 00 00"}, {"192.168.255.1", "C0 A8 FF 01"}, {"10.1", "0A 01 00 00"},
                               {"", "FF FF FF FF"}}) {
        uint8_t out[6];
        size_t size = hex(bytes).size();
        size == 6 ? convert_mac(out, text) : convert_ip(out, text);
        EXPECT_EQ(std::vector<uint8_t>(out, out + size), hex(bytes)) << text;
    }
    char word[] = "onu-3a:ff";
    convert_to_upper(word);
    EXPECT_STREQ(word, "ONU-3A:FF");
}

} // namespace
