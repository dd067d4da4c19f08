// The identifier template engine and the option 82 / PPPoE+ payloads, byte
// for byte.
#include "onu/l3agents/CircuitAndRemoteIds.h"
#include "onu/subscriber_ids.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t onu_mac[6] = {0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56};
const uint8_t board_mac[6] = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};

crid_values values(uint32_t ont = 37)
{
    return crid_values{3, ont, 1, 100, 200, onu_mac, nullptr};
}

bytes build(const crid_pair &pair, const crid_values &v, size_t size = 128)
{
    bytes out(size);
    out.resize(crid_AddCircuitIdAndRemoteId(&pair, out.data(), out.size(), &v));
    return out;
}

bytes text_bytes(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes str(const std::string &s) { return bytes(s.begin(), s.end()); }

// ---- template parsing -------------------------------------------------

TEST(Templates, HostNameHyphenOntNumber)
{
    crid_desc desc;
    ASSERT_EQ(GetFieldMaxLen(&desc, "%HOSTNAME%-%ONTID%", "olt7", "", "10.0.0.1"), 0);
    EXPECT_STREQ(desc.static_text, "olt7-");
    EXPECT_EQ(desc.static_len, 5);
    ASSERT_EQ(desc.field_count, 1);
    EXPECT_EQ(desc.fields[0].position, 5);
    EXPECT_EQ(desc.fields[0].keyword, CRID_ONTID);
    EXPECT_EQ(desc.dynamic_max, 10);

    crid_pair pair;
    crid_Init(&pair, CRID_OLT_CAPACITY);
    ASSERT_EQ(crid_Update(&pair, "%HOSTNAME%-%ONTID%", "", "olt7", "", "10.0.0.1"), 0);
    EXPECT_EQ(pair.capacity, 15u + 0 + 4);
    EXPECT_EQ(build(pair, values(37)), text_bytes({{1, 7}, str("olt7-37"), {2, 0}}));
}

TEST(Templates, ParseFailures)
{
    struct {
        const char *templ;
        int result;
    } cases[] = {
        {"id-%ONTID", CRID_PARSE_UNCLOSED},
        {"%ONTID%-%PATHID", CRID_PARSE_UNCLOSED},
        {"x%ABCDEFGHIJKLMNO%", CRID_PARSE_TOKEN_TOO_LONG},   // 17 characters
        {"x%ABCDEFGHIJKLM%", CRID_PARSE_BAD_KEYWORD},        // 15: long enough, unknown
        {"%ontid%", CRID_PARSE_BAD_KEYWORD},
        {"%%", CRID_PARSE_BAD_KEYWORD},
    };
    for (const auto &c : cases) {
        crid_desc desc;
        EXPECT_EQ(GetFieldMaxLen(&desc, c.templ, "h", "", "ip"), c.result) << c.templ;
    }
}

TEST(Templates, StaticTextLimits)
{
    crid_desc desc;
    std::string t254(254, 'a');
    EXPECT_EQ(GetFieldMaxLen(&desc, t254.c_str(), "", "", ""), 0);
    EXPECT_EQ(desc.static_len, 254);
    EXPECT_EQ(GetFieldMaxLen(&desc, (t254 + "b").c_str(), "", "", ""), CRID_PARSE_TAIL_TOO_LONG);
    EXPECT_EQ(GetFieldMaxLen(&desc, (t254 + "b%ONTID%").c_str(), "", "", ""), CRID_PARSE_TEXT_TOO_LONG);
    // A static keyword that would make the text 255 characters long.
    std::string host(250, 'h');
    EXPECT_EQ(GetFieldMaxLen(&desc, "abcde%HOSTNAME%", host.c_str(), "", ""), CRID_PARSE_BAD_KEYWORD);
    EXPECT_EQ(GetFieldMaxLen(&desc, "abcd%HOSTNAME%", host.c_str(), "", ""), 0);
    EXPECT_EQ(desc.static_len, 254);
    // Twenty dynamic fields, not twenty-one.
    std::string fields;
    for (int i = 0; i < 20; i++)
        fields += "%PATHID%";
    EXPECT_EQ(GetFieldMaxLen(&desc, fields.c_str(), "", "", ""), 0);
    EXPECT_EQ(desc.dynamic_max, 60);
    EXPECT_EQ(GetFieldMaxLen(&desc, (fields + "%PATHID%").c_str(), "", "", ""), CRID_PARSE_BAD_KEYWORD);
}

TEST(Templates, UpdateResultsAndClearing)
{
    crid_pair pair;
    crid_Init(&pair, CRID_OLT_CAPACITY);
    EXPECT_EQ(crid_Update(&pair, "%ONTID", "%BOGUS%", "h", "", "ip"), CRID_UPDATE_BOTH_REFUSED);
    crid_Init(&pair, CRID_OLT_CAPACITY);
    EXPECT_EQ(crid_Update(&pair, "%ONTID", "r-%PATHID%", "h", "", "ip"), CRID_UPDATE_CIRCUIT_REFUSED);
    EXPECT_EQ(pair.circuit.static_len, 0);
    EXPECT_EQ(pair.remote.static_len, 2);
    // The refused circuit-ID is still written, empty.
    EXPECT_EQ(build(pair, values()), text_bytes({{1, 0, 2, 3}, str("r-1")}));
    crid_Init(&pair, CRID_OLT_CAPACITY);
    EXPECT_EQ(crid_Update(&pair, "ok", "%ONTID", "h", "", "ip"), CRID_UPDATE_REMOTE_REFUSED);

    // Parsed fine but able to pass 255 bytes: cleared, yet counted a success.
    std::string wide(200, 'w');
    crid_Init(&pair, 1000);
    EXPECT_EQ(crid_Update(&pair, (wide + "%OPT60%").c_str(), "r", "h", "", "ip"), 0);
    EXPECT_EQ(pair.circuit.static_len, 0);
    EXPECT_EQ(pair.capacity, 0u + 1 + 4);
}

TEST(Templates, TooLargeForTheCapacityClearsBoth)
{
    // 100 + 30 + 4 = 134 > 128.
    std::string circuit = std::string(90, 'c') + "%ONTID%";   // 90 + 10
    std::string remote = std::string(20, 'r') + "%ONTID%";    // 20 + 10
    crid_pair pair;
    crid_Init(&pair, CRID_OLT_CAPACITY);
    EXPECT_EQ(crid_Update(&pair, circuit.c_str(), remote.c_str(), "h", "", "ip"), CRID_UPDATE_TOO_LARGE);
    EXPECT_EQ(pair.circuit.static_len, 0);
    EXPECT_EQ(pair.remote.static_len, 0);
    EXPECT_EQ(pair.circuit.field_count, 0);
    EXPECT_EQ(pair.capacity, CRID_OLT_CAPACITY);
    EXPECT_EQ(build(pair, values()), (bytes{1, 0, 2, 0}));

    // 94 + 30 + 4 = 128 fits exactly.
    circuit = std::string(84, 'c') + "%ONTID%";
    crid_Init(&pair, CRID_OLT_CAPACITY);
    EXPECT_EQ(crid_Update(&pair, circuit.c_str(), remote.c_str(), "h", "", "ip"), 0);
    EXPECT_EQ(pair.capacity, 128u);
    EXPECT_EQ(build(pair, values(4294967295u)).size(), 128u);
    EXPECT_EQ(build(pair, values(), 127).size(), 0u);   // capacity passes the buffer: nothing
}

TEST(Templates, StaticOnlyAndEveryDynamicKeyword)
{
    crid_pair pair;
    crid_Init(&pair, CRID_OLT_CAPACITY);
    ASSERT_EQ(crid_Update(&pair, "just text", "", "h", "", "ip"), 0);
    EXPECT_EQ(build(pair, values()), text_bytes({{1, 9}, str("just text"), {2, 0}}));

    crid_Init(&pair, 400);
    ASSERT_EQ(crid_Update(&pair, "%SLOTID%/%MNGIP% c%CHANNELID% p%PATHID% %VLAN0%.%VLAN1%",
                          "%MAC%|%OPT60%|%HOSTNAME%", "olt", "s1", "192.168.1.10"),
              0);
    const uint8_t opt60[] = {5, 'M', 'S', 'F', 'T', ' '};
    crid_values v{3, 37, 1, 100, 200, onu_mac, opt60};
    bytes out = build(pair, v, 400);
    std::string circuit = "s1/192.168.1.10 c3 p1 %VLAN0%.%VLAN1%";
    std::string remote = "00:0d:b6:12:34:56|MSFT |olt";
    EXPECT_EQ(out, text_bytes({{1, uint8_t(circuit.size())}, str(circuit), {2, uint8_t(remote.size())}, str(remote)}));

    // Without option 60 the keyword adds nothing.
    v.opt60 = nullptr;
    remote = "00:0d:b6:12:34:56||olt";
    out = build(pair, v, 400);
    EXPECT_EQ(bytes(out.end() - long(remote.size()), out.end()), str(remote));
}

TEST(Templates, ValuesNeverPassTheirMaximumLength)
{
    crid_pair pair;
    crid_Init(&pair, CRID_OLT_CAPACITY);
    ASSERT_EQ(crid_Update(&pair, "%CHANNELID%%PATHID%%OPT60%", "", "h", "", "ip"), 0);
    uint8_t opt60[1 + 200];
    opt60[0] = 200;
    memset(opt60 + 1, 'o', 200);
    crid_values v{12345, 0, 98765, 0, 0, onu_mac, opt60};
    bytes out = build(pair, v);
    ASSERT_EQ(out.size(), 2u + 1 + 3 + 64 + 2);
    EXPECT_EQ(out[1], 68);
    EXPECT_EQ(std::string(out.begin() + 2, out.begin() + 6), "1987");
}

// ---- option 82 and PPPoE+ payloads ------------------------------------------

subscriber_path path()
{
    subscriber_path p{};
    p.dest_index = 0x0102;
    p.port_index = 5;
    p.ont_number = 0x0A0B0C0D;
    p.path_index = 1;
    p.system_word = 0x11223344;
    p.host_name = "olt7";
    memcpy(p.onu_mac, onu_mac, 6);
    return p;
}

bytes opt82(uint8_t format, const subscriber_path &p)
{
    bytes out(SUBSCRIBER_PAYLOAD_MAX);
    out.resize(opt82_payload(format, &p, board_mac, out.data(), out.size()));
    return out;
}

TEST(Option82, BinaryFormats)
{
    subscriber_path p = path();
    EXPECT_EQ(opt82(OPT82_REDUCED_BINARY, p), (bytes{
                  0x01, 0x02, 15,                                     // destination, total
                  1, 6, 0x11, 0x22, 0x33, 0x44, 0, 5,                 // system word, 0, port
                  2, 5, 0x0A, 0x0B, 0x0C, 0x0D, 1,                    // ONT number, path
              }));
    EXPECT_EQ(opt82(OPT82_EXPANDED_BINARY, p), (bytes{
                  0x01, 0x02, 32,
                  1, 11, 0x21, 9, 0, 0, 0, 0, 1, 0x0A, 0x0B, 0x0C, 0x0D,
                  2, 17, 0x11, 0x22, 0x33, 0x44, 12,
                  0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE,                 // board MAC
                  0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56,                 // ONU MAC
              }));
    EXPECT_EQ(opt82(OPT82_EXTENDED_BINARY, p), (bytes{
                  0x01, 0x02, 38,
                  1, 17, 0x21, 15, 0, 0, 0, 0, 1, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 0, 0, 0,
                  2, 17, 0x11, 0x22, 0x33, 0x44, 12,
                  0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE,
                  0x00, 0x0D, 0xB6, 0x12, 0x34, 0x56,
              }));
    EXPECT_TRUE(opt82(5, p).empty());
}

TEST(Option82, TextFormatsKeepTheVlanKeywords)
{
    subscriber_path p = path();
    p.ont_number = 37;
    std::string expanded = "GEPON-olt7 xpon 5 37 1 %VLAN0% %VLAN1%";
    EXPECT_EQ(opt82(OPT82_EXPANDED_TEXT, p),
              text_bytes({{0x01, 0x02, uint8_t(expanded.size() + 2), 1, uint8_t(expanded.size())}, str(expanded)}));
    std::string reduced = "5 37 1 %VLAN0% %VLAN1%";
    EXPECT_EQ(opt82(OPT82_REDUCED_TEXT, p),
              text_bytes({{0x01, 0x02, uint8_t(reduced.size() + 2), 1, uint8_t(reduced.size())}, str(reduced)}));
}

TEST(Option82, TextThatALengthByteCannotHoldIsRefused)
{
    subscriber_path p = path();
    std::string host(230, 'h');   // "GEPON-" + 230 + the rest passes 253
    p.host_name = host.c_str();
    EXPECT_TRUE(opt82(OPT82_EXPANDED_TEXT, p).empty());
    bytes tag(SUBSCRIBER_PAYLOAD_MAX);
    crid_pair pair;
    crid_Init(&pair, CRID_OLT_CAPACITY);
    EXPECT_EQ(pppoe_tag_payload(PPPOE_TAG_TEXT, &p, &pair, tag.data(), tag.size()), 0u);
}

bytes pppoe(uint8_t format, const subscriber_path &p, const crid_pair &pair)
{
    bytes out(SUBSCRIBER_PAYLOAD_MAX);
    out.resize(pppoe_tag_payload(format, &p, &pair, out.data(), out.size()));
    return out;
}

TEST(PppoeTag, BinaryAndTextFormats)
{
    subscriber_path p = path();
    crid_pair pair;
    crid_Init(&pair, CRID_OLT_CAPACITY);
    EXPECT_EQ(pppoe(PPPOE_TAG_BINARY, p, pair), (bytes{
                  0x01, 0x02, 15,
                  0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0, 5, 0x0A, 0x0B, 0x0C, 0x0D, 1,
              }));
    p.ont_number = 37;
    std::string text = "GEPON-olt7 xpon 5 37 1 %VLAN0% %VLAN1%";
    bytes tag = pppoe(PPPOE_TAG_TEXT, p, pair);
    EXPECT_EQ(tag, text_bytes({{0x01, 0x02, uint8_t(text.size() + 8), 0, 0, 0x0D, 0xE9, 1, uint8_t(text.size())},
                               str(text), {2, 0}}));
}

TEST(PppoeTag, CustomFormatFromTheTemplates)
{
    subscriber_path p = path();
    p.ont_number = 37;
    crid_pair pair;
    crid_Init(&pair, CRID_OLT_CAPACITY);
    ASSERT_EQ(crid_Update(&pair, "", "", "olt7", "", "10.0.0.1"), 0);
    EXPECT_EQ(pppoe(2, p, pair), (bytes{0x01, 0x02, 8, 0x00, 0x00, 0x0D, 0xE9, 0x01, 0x00, 0x02, 0x00}));

    crid_Init(&pair, CRID_OLT_CAPACITY);
    ASSERT_EQ(crid_Update(&pair, "%HOSTNAME%-%ONTID%", "c%CHANNELID%/%PATHID% %MAC%", "olt7", "", "ip"), 0);
    std::string remote = "c5/1 ff:ff:ff:ff:ff:ff";
    EXPECT_EQ(pppoe(0xFF, p, pair),
              text_bytes({{0x01, 0x02, uint8_t(4 + 9 + 2 + remote.size()), 0, 0, 0x0D, 0xE9, 1, 7},
                          str("olt7-37"), {2, uint8_t(remote.size())}, str(remote)}));
}

} // namespace
