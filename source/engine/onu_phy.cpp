// External PHY detection and set-up. See onu_phy.h.
#include "engine/onu_phy.h"

#include "base/bytes.h"
#include "chip/tekrequest.h"
#include "engine/profiler.h"
#include "platform/log.h"
#include "store/datastruct.h"
#include "wire/ids.h"

#include <cstring>

namespace {

// Soft reset first, the vendor page selected, the page register back to 0
// last: the PHY must end on its standard page.
const phy_reg_entry c816_table[] = {
    {0x00, 0x8000, 0}, {0x1F, 0x0007, 0}, {0x13, 0x0008, 0}, {0x11, 0x000B, 0}, {0x1F, 0x0000, 0},
    {PHY_TABLE_END, 0, 0},
};
const phy_reg_entry c915_table[] = {
    {0x00, 0x8000, 0}, {0x1F, 0x0007, 0}, {0x1E, 0x002C, 0}, {0x1C, 0x0047, 0},
    {0x1A, 0x0010, 0}, {0x1F, 0x0000, 0}, {PHY_TABLE_END, 0, 0},
};
const phy_reg_entry *const c816_tables[] = {c816_table};
const phy_reg_entry *const c915_tables[] = {c915_table};

struct onu_phys {
    uint8_t mac[6];
    phy_slot slot[ONU_PHY_SLOTS];
};
onu_phys phy_store[ONU_COUNT];

size_t mdio_request(uint8_t *out, const uint8_t mac[6], uint8_t address, uint16_t reg)
{
    memcpy(out, mac, 6);
    out[6] = address;
    store_be16(out + 7, reg);
    memset(out + 9, 0xFF, 4);
    return ONU_MDIO_REQUEST_LEN;
}

} // namespace

size_t onu_mdio_read_request(uint8_t out[ONU_MDIO_REQUEST_LEN], const uint8_t mac[6], uint8_t address, uint16_t reg)
{
    return mdio_request(out, mac, address, reg);
}

size_t onu_mdio_write_request(uint8_t out[ONU_MDIO_REQUEST_LEN], const uint8_t mac[6], uint8_t address,
                              uint16_t reg, uint16_t value)
{
    size_t len = mdio_request(out, mac, address, reg);
    store_be16(out + 11, value);
    return len;
}

int onu_mdio_read_answer(const uint8_t *response, uint16_t *out)
{
    const uint8_t *answer = tekrequest_answer(response, ONU_MDIO_ANSWER_VALUE + 2);
    if (!answer)
        return -1;
    *out = load_be16(answer + ONU_MDIO_ANSWER_VALUE);
    return 0;
}

int onu_mdio_read(int olt, const uint8_t mac[6], uint8_t address, uint16_t reg, uint16_t *out)
{
    uint8_t data[ONU_MDIO_REQUEST_LEN];
    size_t len = onu_mdio_read_request(data, mac, address, reg);
    int rc = tekrequest_read(olt, TEK_REQ_ONU_MDIO_READ, data, len, TEKREQUEST_TIMEOUT,
                             [out](const uint8_t *response) { return onu_mdio_read_answer(response, out); });
    return rc == 0 ? 0 : -1;
}

int onu_mdio_write(int olt, const uint8_t mac[6], uint8_t address, uint16_t reg, uint16_t value)
{
    uint8_t data[ONU_MDIO_REQUEST_LEN];
    size_t len = onu_mdio_write_request(data, mac, address, reg, value);
    return tekrequest_result(olt, TEK_REQ_ONU_MDIO_WRITE, data, len) == 0 ? 0 : -1;
}

phy_slot *onu_phy_slots(const onu_record *onu)
{
    onu_phys &entry = phy_store[onu_index(onu)];
    if (memcmp(entry.mac, onu->mac, 6) != 0) {
        memcpy(entry.mac, onu->mac, 6);
        for (phy_slot &slot : entry.slot)
            slot = {PHY_ID_NONE, 0, 0};
    }
    return entry.slot;
}

void phy_detect(onu_record *onu)
{
    phy_slot *slots = onu_phy_slots(onu);
    for (int i = 0; i < ONU_PHY_SLOTS; i++)
        slots[i] = {PHY_ID_NONE, 0, 0};
    if (load_be16(onu->chip_id) == ONU_CHIP_6838)
        return;
    int found = 0;
    for (uint8_t address = PHY_FIRST_ADDRESS; address <= PHY_LAST_ADDRESS && found < ONU_PHY_SLOTS; address++) {
        uint16_t id;
        if (onu_mdio_read(onu->olt, onu->mac, address, PHY_REG_ID, &id) != 0)
            id = PHY_ID_NONE;
        if (id != PHY_ID_C816 && id != PHY_ID_C915)
            continue;
        slots[found++] = {id, address, id == PHY_ID_C816 ? PHY_KIND_C816 : PHY_KIND_C915};
        trace("found vendor specific phy, type: %02X%02X, addr %d\n", id >> 8, id & 0xFF, address);
    }
}

const phy_reg_entry *const *phy_tables(uint16_t id, int *count)
{
    switch (id) {
    case PHY_ID_C816:
        *count = int(sizeof c816_tables / sizeof c816_tables[0]);
        return c816_tables;
    case PHY_ID_C915:
        *count = int(sizeof c915_tables / sizeof c915_tables[0]);
        return c915_tables;
    default:
        *count = 0;
        return nullptr;
    }
}

int phy_setup(const phy_slot *slot, int olt, const uint8_t mac[6])
{
    int tables;
    const phy_reg_entry *const *list = phy_tables(slot->id, &tables);
    if (!list)
        return -1;
    bool failed = false;
    for (int t = 0; t < tables; t++) {
        for (const phy_reg_entry *e = list[t]; e->reg != PHY_TABLE_END; e++) {
            trace("set phy: reg: %02X%02X, val: %02X%02X, mask: %02X%02X\n", e->reg >> 8, e->reg & 0xFF,
                  e->value >> 8, e->value & 0xFF, e->mask >> 8, e->mask & 0xFF);
            uint16_t old;
            if (onu_mdio_read(olt, mac, slot->address, e->reg, &old) != 0 ||
                onu_mdio_write(olt, mac, slot->address, e->reg, uint16_t(e->value | (old & e->mask))) != 0) {
                failed = true;
                break;
            }
        }
    }
    trace("phy (type: %02X%02X, addr: %d) configured %s\n", slot->id >> 8, slot->id & 0xFF, slot->address,
          failed ? "false" : "successfully");
    return failed ? -1 : 0;
}

bool phy_is_c816(const phy_slot *slot) { return slot->id == PHY_ID_C816; }
