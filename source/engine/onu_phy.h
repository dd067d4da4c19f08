// External Ethernet PHYs behind an ONU's UNI ports: MDIO access through the
// OLT chip, detection of the two PHY types the daemon knows on MDIO
// addresses 1..3, and loading each found PHY with its register table.
//
// Threads: the profiler thread (detection and set-up after an ONU reached
// OK) and the management handlers (the port status refresh asks whether a
// 0xC816 PHY is present). Callers hold the ONU record's lock around every
// use of its PHY slots; the MDIO exchanges take the chip link's send lock
// innermost. No pool block outlives a call.
//
// The two PHY slots of an ONU are kept here, per ONU table slot, stamped
// with the MAC of the ONU that filled them: a slot reused by another ONU
// reads as empty until its own detection ran.
#pragma once

#include <cstddef>
#include <cstdint>

struct onu_record;

constexpr uint16_t PHY_ID_NONE = 0xFFFF;
constexpr uint16_t PHY_ID_C816 = 0xC816;
constexpr uint16_t PHY_ID_C915 = 0xC915;
constexpr uint8_t PHY_KIND_C915 = 1;
constexpr uint8_t PHY_KIND_C816 = 2;
constexpr uint8_t PHY_FIRST_ADDRESS = 1;
constexpr uint8_t PHY_LAST_ADDRESS = 3;
constexpr uint16_t PHY_REG_ID = 3;
constexpr int ONU_PHY_SLOTS = 2;

struct phy_slot {
    uint16_t id;        // register 3 of the PHY; PHY_ID_NONE = no PHY
    uint8_t address;    // MDIO address 1..3
    uint8_t kind;       // PHY_KIND_*
};

// One entry of a PHY register table: written value = value | (old & mask).
struct phy_reg_entry {
    uint16_t reg, value, mask;
};
constexpr uint16_t PHY_TABLE_END = 0xFFFF;   // register of the closing entry

// ---- MDIO requests, as pure builders and answer readers --------------------
constexpr size_t ONU_MDIO_REQUEST_LEN = 13;
constexpr size_t ONU_MDIO_ANSWER_VALUE = 11;   // u16 BE in the answer data
// Data of 0x008F: MAC, address, register, FF FF FF FF. Returns the LEN.
size_t onu_mdio_read_request(uint8_t out[ONU_MDIO_REQUEST_LEN], const uint8_t mac[6], uint8_t address, uint16_t reg);
// Data of 0x0090: MAC, address, register, FF FF, value. Returns the LEN.
size_t onu_mdio_write_request(uint8_t out[ONU_MDIO_REQUEST_LEN], const uint8_t mac[6], uint8_t address,
                              uint16_t reg, uint16_t value);
// The value of an 0x008F response: 0, or -1 when refused or short.
int onu_mdio_read_answer(const uint8_t *response, uint16_t *out);

// 0 when the exchange succeeded with RCODE 0 (and, for a read, the value
// arrived), else -1.
int onu_mdio_read(int olt, const uint8_t mac[6], uint8_t address, uint16_t reg, uint16_t *out);
int onu_mdio_write(int olt, const uint8_t mac[6], uint8_t address, uint16_t reg, uint16_t value);

// ---- PHY slots, detection and set-up --------------------------------------
// The two slots of the ONU (caller holds it); empty when they were filled
// for another ONU or never.
phy_slot *onu_phy_slots(const onu_record *onu);
// Marks both slots empty, then probes register 3 at MDIO addresses 1..3
// until two known PHYs are found, tracing each. A 0x6838 ONU has no MDIO
// bus the daemon may probe: its slots stay empty and nothing is sent.
void phy_detect(onu_record *onu);
// Loads the slot's PHY with the tables of its type, tracing every entry.
// 0 when every register was written; -1 for an unknown type or any failed
// read or write (the rest of that table is abandoned, later tables still run).
int phy_setup(const phy_slot *slot, int olt, const uint8_t mac[6]);
bool phy_is_c816(const phy_slot *slot);
// The register tables of a PHY identifier, each closed by PHY_TABLE_END,
// and their count; NULL/0 for an identifier with none.
const phy_reg_entry *const *phy_tables(uint16_t id, int *count);
