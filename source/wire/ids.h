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
    TEK_REQ_STATISTICS = 0x0138,           // a statistics group of a port or an ONU
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
