// The link discovery record: what the chip event thread copies from a link
// discovery event for the provisioning engine, and the check of the ONU
// information it carries, which decides whether the link is discovered at
// all. Pure; no threads, no locks.
#pragma once

#include <cstddef>
#include <cstdint>

// The link discovery record that the chip event thread copies from the event.
constexpr size_t LINK_DISCOVERY_RECORD_SIZE = 130;
constexpr size_t LINK_RECORD_MAC = 0;
constexpr size_t LINK_RECORD_LLID = 15;
constexpr size_t LINK_RECORD_PORT = 19;
constexpr size_t LINK_RECORD_ONU_INFO = 29;   // the TkOnuInfoTlv
// Fields of the ONU information TLV, from its first byte.
constexpr size_t ONU_INFO_OUI = 0;
constexpr size_t ONU_INFO_BASE_MAC = 73;
constexpr size_t ONU_INFO_CHIP_ID = 93;       // u16 BE
constexpr size_t ONU_INFO_SIZE = 95;
static_assert(LINK_RECORD_ONU_INFO + ONU_INFO_SIZE <= LINK_DISCOVERY_RECORD_SIZE);

constexpr uint16_t ONU_CHIP_3714 = 0x3714;
constexpr uint16_t ONU_CHIP_8600 = 0x8600;
constexpr uint16_t ONU_CHIP_6838 = 0x6838;

// 0 when the ONU information names OUI 00-0D-B6, a supported chip and a base
// MAC other than zero; else prints why and returns 3. `link` is the link MAC
// as text.
uint32_t check_TkOnuInfoTlv(const uint8_t *tlv, const char *link);
