// The numbers both links share with their peers: chip request and event
// IDs, the notification codes sent to the management process, and the
// result codes of the chip requests. Every module takes them from here, and
// so do the simulators, so a number is written once.
#pragma once

#include <cstdint>

// ---- chip requests ----------------------------------------------------------
enum : uint16_t {
    TEK_REQ_TFTP_OLT = 0x000B,             // TFTP to the OLT chip itself
    TEK_REQ_TFTP_ONU = 0x0014,             // TFTP relayed to an ONU
    TEK_REQ_PORT_STATE = 0x0015,
    TEK_REQ_EAP_FRAME = 0x001B,
    TEK_REQ_REGISTRATION_ACCEPT = 0x0127,
    TEK_REQ_DISCOVERY_ACK = 0x0128,
    TEK_REQ_OPT82 = 0x01F7,
    TEK_REQ_PPPOE_TAG = 0x0203,
    // reaching into an ONU: ports, optics, PHYs, rules, multicast
    TEK_REQ_ONU_PORT_MODE = 0x0016,
    TEK_REQ_PORT_DISABLE = 0x0017,
    TEK_REQ_PORT_ENABLE = 0x0018,
    TEK_REQ_ONU_PORT_SETTINGS = 0x0031,
    TEK_REQ_ONU_IPMC_GROUP_6838 = 0x004A,
    TEK_REQ_ONU_GPIO = 0x005E,
    TEK_REQ_ONU_PHY_READ = 0x0062,
    TEK_REQ_ONU_I2C_READ = 0x0066,
    TEK_REQ_ONU_RF_OUTPUT = 0x0067,
    TEK_REQ_ONU_MDIO_READ = 0x008F,
    TEK_REQ_ONU_MDIO_WRITE = 0x0090,
    TEK_REQ_ONU_PON_PARAMS = 0x0098,
    TEK_REQ_ONU_PORT_CONFIG_READ = 0x009B,
    TEK_REQ_ONU_PORT_CONFIG_WRITE = 0x009C,
    TEK_REQ_ONU_NETWORK = 0x00A4,
    TEK_REQ_ONU_RULES = 0x00B7,
    TEK_REQ_STATISTICS = 0x0138,            // also the DRSSI reading of an ONU
    TEK_REQ_ONU_IPMC_DOMAIN_COUNT = 0x01AD,
    TEK_REQ_ONU_IPMC_DOMAIN_ADD = 0x01AE,
    TEK_REQ_ONU_IPMC_DOMAIN_DELETE = 0x01AF,
    TEK_REQ_ONU_IGMP_SNOOPING = 0x01B1,
};

// ---- chip events ------------------------------------------------------------
enum : uint16_t {
    TEK_EVENT_OLT_READY = 0x8000,
    TEK_EVENT_EAP_FRAME = 0x8003,
    TEK_EVENT_REGISTRATION = 0x8014,
    TEK_EVENT_LINK_DISCOVERY = 0x8019,
    TEK_EVENT_ALARM = 0x801A,
    TEK_EVENT_CONSOLE = 0x8029,
    TEK_EVENT_DUPLICATE_LINK = 0x802B,
    TEK_EVENT_LAST = 0x802B,
};

// ---- notification codes (the event byte of a notification) -----------------
enum : uint8_t {
    EVENT_CONFIG_PROBLEM = 2,
    EVENT_FIRMWARE_UPDATED = 133,
    EVENT_FIRMWARE_UPDATE_FAILED = 139,
    EVENT_ONU_STATE = 155,
};

// ---- results of the chip requests --------------------------------------------
// A request returns 0, one of these, or the transport's negative result.
enum : int {
    TEK_RC_REFUSED = 3,     // the chip answered with a non-zero RCODE (or too short)
    TEK_RC_NO_MEMORY = 4,   // no pool block for the request
};
