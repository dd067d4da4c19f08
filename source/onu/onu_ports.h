// The chip requests with which ONU configuration sets an ONU's network
// parameters, its ports' configuration blocks, the PON and UNI port
// parameters, and blocks or unblocks its UNI ports and RF output.
//
// Threads: the profiler thread (ONU configuration), the management
// handlers (the duplicate-MAC block) and the watchdog (UNI port release).
// No lock of its own: callers hold the ONU record where they pass one; the
// chip link's send lock is taken innermost. No pool block outlives a call.
//
// Every request is laid out by a pure builder; the operations only send
// what it built and map the answer to 0, 3 (refused, or an answer shorter
// than its layout), 4 (no pool memory) or the transport's negative code.
#pragma once

#include <cstddef>
#include <cstdint>

struct onu_record;

// Port numbers of the ONU requests.
enum : uint16_t {
    ONU_PORT_PON = 0,
    ONU_PORT_UNI0 = 1,
    ONU_PORT_UNI1 = 2,
    ONU_PORT_RFOUT = 3,
};

// The ONU configuration block (cfg_block of the record, 16060 bytes).
constexpr size_t ONU_BLOCK_PON_OPTION = 1;
constexpr size_t ONU_BLOCK_PON_RULES = 2;
constexpr size_t ONU_BLOCK_UNI0 = 4875;
constexpr size_t ONU_BLOCK_UNI1 = 10467;
constexpr size_t ONU_UNI_PARAMS_SIZE = 11;   // the UNI's rule table follows
// UNI port parameters.
constexpr size_t UNI_PARAM_ENABLE = 0;
constexpr size_t UNI_PARAM_MODE = 1;
constexpr size_t UNI_PARAM_SETTING1 = 2;
constexpr size_t UNI_PARAM_SETTING2 = 3;

constexpr int ONU_NETWORK_NO_MEMORY = 8;
constexpr size_t ONU_PORT_CONFIG_SIZE = 89;

// ---- builders (pure): each fills `out` and returns the LEN ------------------
constexpr size_t ONU_NETWORK_REQUEST_LEN = 10;
constexpr size_t ONU_PON_PARAMS_REQUEST_LEN = 9;
constexpr size_t ONU_UNI_MODE_REQUEST_LEN = 17;
constexpr size_t ONU_UNI_SETTINGS_REQUEST_LEN = 15;
constexpr size_t ONU_RF_OUTPUT_REQUEST_LEN = 11;
constexpr size_t ONU_PORT_REQUEST_LEN = 8;

size_t onu_network_request(uint8_t out[ONU_NETWORK_REQUEST_LEN], const uint8_t mac[6], uint16_t value,
                           uint8_t byte1, uint8_t byte2);
// The configuration block read by 0x009B, with the bytes the daemon sets.
size_t onu_port_config_write_request(uint8_t out[ONU_PORT_CONFIG_SIZE], const uint8_t read[ONU_PORT_CONFIG_SIZE]);
size_t onu_pon_params_request(uint8_t out[ONU_PON_PARAMS_REQUEST_LEN], const uint8_t mac[6], uint8_t option);
size_t onu_uni_mode_request(uint8_t out[ONU_UNI_MODE_REQUEST_LEN], const uint8_t mac[6], uint16_t port,
                            const uint8_t params[ONU_UNI_PARAMS_SIZE]);
size_t onu_uni_settings_request(uint8_t out[ONU_UNI_SETTINGS_REQUEST_LEN], const uint8_t mac[6], uint16_t port);
size_t onu_rf_output_request(uint8_t out[ONU_RF_OUTPUT_REQUEST_LEN], const uint8_t mac[6], bool unblock);

// ---- requests -----------------------------------------------------------------
// 0x00A4; 8 (not 4) without pool memory.
int profiler_onu_network_params(int olt, const uint8_t mac[6], uint16_t value, uint8_t byte1, uint8_t byte2);
// 0x009B, then 0x009C with the block read; 3 if either is refused.
int profiler_onu_port_config_refresh(int olt, const uint8_t mac[6], uint16_t port);
// 0x0098: x = 0 when `option` is non-zero, else 255.
int profiler_onu_pon_port_params(int olt, const uint8_t mac[6], uint8_t option);
// Enable (0x0018) or disable (0x0017) by the enable byte, then the mode
// (0x0016), then the settings (0x0031); the first failure ends it.
int profiler_onu_uni_port_params(int olt, const uint8_t mac[6], uint16_t port,
                                 const uint8_t params[ONU_UNI_PARAMS_SIZE]);
// UNI ports 1 and 2: 0x0017 (block) or 0x0018 (unblock), answer checked.
// RFOUT (3): 0x0067, its answer ignored (0 unless pool memory is missing).
// Any other port: 3, nothing sent.
int profiler_onu_port_block(int olt, const uint8_t mac[6], uint16_t port, bool unblock);
// The record's side of a block by ONU configuration (caller holds the
// ONU): blocking port 1, 2 or 3 sets its status flag to 1 and its time to
// 0; unblocking the RF output sets both to 0. Then sends the request.
int profiler_onu_port_block_config(onu_record *onu, uint16_t port, bool unblock);
