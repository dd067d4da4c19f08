// OLT state table: the part of the device data store the chip link reads.
//
// Any thread reads and writes an OLT's state; one mutex (a leaf lock) guards
// the four states. The full data store replaces this file with the same
// operations and names.
#pragma once

#include <cstdint>

enum : uint32_t {
    ONU_STATE_FREE = 0,
    ONU_STATE_ALLOCATED = 1,
    ONU_STATE_AUTHINPROGRESS = 2,
    ONU_STATE_CFGINPROGRESS = 3,
    ONU_STATE_AUTHFAILED = 4,
    ONU_STATE_CFGFAILED = 5,
    ONU_STATE_REPORTTIMEOUT = 6,
    ONU_STATE_OK = 7,
    ONU_STATE_AUTHOK = 8,
    ONU_STATE_RESETINPROGRESS = 9,
    ONU_STATE_RESETOK = 10,
    ONU_STATE_DISCOVERED = 11,
    ONU_STATE_BLOCKED = 12,
    ONU_STATE_RESETFWUPGRADE = 13,
    ONU_STATE_UNCONFIGURED = 14,
    ONU_STATE_UNKNOWN = 15,
};

constexpr int OLT_COUNT = 4;

// State of OLT `olt` (0..3); UNKNOWN for any other index. Every OLT starts in
// RESETINPROGRESS, as after the reset at start-up.
uint32_t olt_get_state(int olt);
// Sets the state of OLT `olt`; other indexes are ignored.
void olt_set_state(int olt, uint32_t state);
