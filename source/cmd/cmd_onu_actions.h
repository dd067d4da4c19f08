// Actions on one ONU: firmware upgrade, personality read and write, the
// transceiver's diagnostics page, the laser shutdown, the UNI port block
// behind a duplicated MAC; and RADIUS accounting on and off.
//
// Threads: each handler runs on a handler thread of the management link,
// several at once and beside the provisioning engine. The transfers
// (firmware, personality) run without any record lock; the diagnostics
// page and the duplicate-MAC block hold the ONU's lock across their chip
// exchanges, so the engine cannot tear the ONU down in between. Each handler
// returns its request, which the caller frees; images and answers are freed
// here.
#pragma once

#include "cmd/cmd_request.h"

#include <cstddef>
#include <cstdint>

constexpr size_t LASER_REQUEST_LEN = 16;
constexpr int LASER_PON_PORTS = 8;   // OLTs 0..3 × PON ports 0..1

// The laser shutdown request (0x022E): the OLT's MAC, the PON port (u16),
// the target MAC, the duration in seconds (u16), big-endian.
void laser_request_encode(uint8_t out[LASER_REQUEST_LEN], const uint8_t olt_mac[6], uint16_t port,
                          const uint8_t target[6], uint16_t duration);

uint8_t *cmd_onu_fw_upgrade(uint8_t *request);               // 0x2012
uint8_t *cmd_onu_pers_read(uint8_t *request);                // 0x2013
uint8_t *cmd_onu_pers_write(uint8_t *request);               // 0x2014
uint8_t *handler_onu_get_triplexer_a2h(uint8_t *request);    // 0x2021
uint8_t *cmd_accounting_start(uint8_t *request);             // 0x2031
uint8_t *cmd_accounting_stop(uint8_t *request);              // 0x2032
uint8_t *handler_onu_shutdown_laser(uint8_t *request);       // 0x2050
// Never answers; counts its run out of the duplicate-MAC limit last.
uint8_t *handler_onu_mac_duplicate(uint8_t *request);        // 0x5040
