// OLT commands: start and stop, the chip console, raw chip requests, the
// two-byte setting, reset and reconfiguration, the OLT record, image
// upgrades, personality, the configured base LLIDs and the uplink-port
// parameter; and the command table main.cpp hands to the management link.
//
// Threads: each handler runs on a handler thread of the management link,
// several at once and beside the provisioning engine. They take an OLT's
// lock only for short copies and state changes, never across a chip
// exchange, except the base LLID's check-and-store. Each handler returns its
// request, which the caller frees.
#pragma once

#include "cmd/cmd_request.h"
#include "mgmt/kernhandlers.h"

#include <cstddef>
#include <cstdint>

constexpr uint16_t CMD_CFG_SETTING = 0x302C;      // configuration module's two-byte setting
constexpr int CMD_CFG_SETTING_TIMEOUT = 10;
constexpr size_t CMD_CFG_SETTING_LEN = 34;
constexpr int OLT_RECONFIG_POLLS = 60;
constexpr unsigned OLT_RECONFIG_POLL_MS = 1000;
constexpr uint16_t BASE_LLID_BLOCK_MASK = 0xFE00;
constexpr const char *OLT_RECONFIG = "handler_olt_reconfig";

// Whether a new configured base LLID `value` for one PON port may be stored
// beside the other port's configured `other`: not when both are set and
// share a 512-block.
bool base_llid_acceptable(uint16_t value, uint16_t other);
// The (value, mode) of uplink selector 0..2; false for any other.
bool uplink_setting(uint32_t selector, uint32_t *value, uint16_t *mode);

uint8_t *cmd_olt_start(uint8_t *request);           // 0x0001
uint8_t *cmd_olt_stop(uint8_t *request);            // 0x0002
uint8_t *cmd_console_switch(uint8_t *request);      // 0x0011
uint8_t *cmd_console_command(uint8_t *request);     // 0x0012
uint8_t *cmd_chip_passthrough(uint8_t *request);    // 0x0013
uint8_t *cmd_config_setting(uint8_t *request);      // 0x0019
uint8_t *handler_olt_reconfig(uint8_t *request);    // 0x1003
uint8_t *cmd_olt_record(uint8_t *request);          // 0x1005
uint8_t *cmd_olt_app_upgrade(uint8_t *request);     // 0x100C
uint8_t *cmd_olt_boot_upgrade(uint8_t *request);    // 0x1014
uint8_t *handler_all_olt_fw_upgrade(uint8_t *request);     // 0x1012
uint8_t *handler_all_olt_boot_upgrade(uint8_t *request);   // 0x1015
uint8_t *cmd_olt_pers_read(uint8_t *request);       // 0x100D
uint8_t *cmd_olt_pers_write(uint8_t *request);      // 0x100E
uint8_t *cmd_base_llid(uint8_t *request);           // 0x1016
uint8_t *cmd_uplink_param(uint8_t *request);        // 0x5041

// Every command in its registration order, the link's own ping and
// resource report in their places.
extern const kernhandlers_table cmd_command_table;
