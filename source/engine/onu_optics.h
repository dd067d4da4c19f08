// An ONU's optics and port status: the chip requests that reach into an
// ONU through its OLT (I2C read of the transceiver's SFF-8472 memory, GPIO
// write, UNI PHY register read, the DRSSI reading at the OLT), the
// identification of the transceiver by its part number, the RF output level
// chosen from the received video power, and the refresh of the UNI port
// status that the management commands ask for before they report an ONU.
//
// Threads: the profiler thread (ONU configuration), the management handlers
// (port status refresh, transceiver page) and the watchdog (periodic RF
// level and DRSSI readings). Every operation on a record runs with that
// ONU's lock held: profiler_onu_update_ports takes it itself (it looks the
// ONU up by MAC), the others expect their caller to hold it. The chip link's
// send lock is taken innermost. No pool block outlives a call.
//
// Requests are laid out by pure builders (onu_*_request) so that their
// bytes are checked without a chip; the operations send them and read the
// answers within what arrived.
#pragma once

#include <cstddef>
#include <cstdint>

struct onu_record;

// Transceiver memory of the ONU (SFF-8472).
constexpr uint8_t SFP_DEVICE_ID = 0x50;       // serial ID page
constexpr uint8_t SFP_DEVICE_DIAG = 0x51;     // diagnostics page
constexpr uint8_t SFP_PART_OFFSET = 40;
constexpr uint16_t SFP_PART_SIZE = 16;
constexpr uint8_t SFP_VIDEO_POWER_OFFSET = 106;   // u16 BE, 0.1 µW
constexpr uint16_t SFP_DIAG_PAGE_SIZE = 256;

// GPIO lines that select the RF output level.
constexpr uint32_t ONU_GPIO_RF_LOW = 0x100;
constexpr uint32_t ONU_GPIO_RF_HIGH = 0x200;
constexpr double RF_CLASS0_CORRECTION_DB = 6.16;
constexpr double RF_BOTH_LINES_DBM = 2.0;
constexpr double RF_LOW_LINE_DBM = -10.0;

constexpr int UNI_PHY_STATUS_REG = 31;
constexpr unsigned UNI_LEARNED_MACS = 64;

// ---- request builders and answer readers (pure) ---------------------------
constexpr size_t ONU_I2C_REQUEST_LEN = 11;
constexpr size_t ONU_I2C_ANSWER_DATA = 8;
constexpr size_t ONU_GPIO_REQUEST_LEN = 14;
constexpr size_t ONU_PHY_REQUEST_LEN = 12;
constexpr size_t ONU_PHY_ANSWER_VALUE = 12;
constexpr size_t ONU_DRSSI_REQUEST_LEN = 11;
constexpr size_t ONU_DRSSI_ANSWER_VALUE = 7;
constexpr size_t ONU_PORT_STATE_REQUEST_LEN = 8;
constexpr size_t ONU_PORT_STATE_ANSWER_SIZE = 18;

size_t onu_i2c_read_request(uint8_t out[ONU_I2C_REQUEST_LEN], const uint8_t mac[6], uint8_t device,
                            uint8_t offset, uint16_t length);
size_t onu_gpio_request(uint8_t out[ONU_GPIO_REQUEST_LEN], const uint8_t mac[6], uint32_t mask, uint32_t value);
size_t onu_phy_read_request(uint8_t out[ONU_PHY_REQUEST_LEN], const uint8_t mac[6], uint16_t port, uint16_t reg);
size_t onu_drssi_request(uint8_t out[ONU_DRSSI_REQUEST_LEN], const uint8_t mac[6]);
// MAC, then the port as u16 BE: the data of 0x0015 (and of the port
// requests of the same shape).
size_t onu_port_request(uint8_t out[ONU_PORT_STATE_REQUEST_LEN], const uint8_t mac[6], uint16_t port);

// The `length` transceiver bytes of an 0x0066 response: 0; TEK_RC_REFUSED
// for a non-zero RCODE or an answer shorter than 8 + length (out untouched).
int onu_i2c_read_answer(const uint8_t *response, uint16_t length, uint8_t *out);
// The eight UNI status bytes of a 0x0015 answer (answer data bytes 13, 14,
// 8, 9, 10, 11, 16, 17); false when the answer is short.
bool onu_port_status_from_answer(const uint8_t *answer, size_t size, uint8_t status[8]);

// ---- the requests ------------------------------------------------------------
// Results: 0; TEK_RC_REFUSED (3); TEK_RC_NO_MEMORY (4); as stated otherwise.

// Reads `length` bytes of I2C device `device` from `offset` into `out`;
// every failure is 3 (logged), 4 without pool memory.
int profiler_onu_i2c_read(const onu_record *onu, uint8_t device, uint8_t offset, uint16_t length, uint8_t *out);
// Sets the GPIO lines of `mask` to `value`. 3 when the exchange failed or
// the chip refused (logged), 4.
int profiler_onu_gpio_set(const onu_record *onu, uint32_t mask, uint32_t value);
// PHY register `reg` of UNI port `port`: 0; 3 refused or short; a failed
// exchange gives the transport's code masked to 16 bits (a positive number).
int profiler_onu_phy_read(int olt, const uint8_t mac[6], uint16_t port, uint16_t reg, uint16_t *out);
// The whole diagnostics page (256 bytes) of the ONU's transceiver.
int profiler_onu_get_triplexer_a2h(const onu_record *onu, uint8_t out[SFP_DIAG_PAGE_SIZE]);

// ONU types (type codes) whose transceiver memory can be read.
bool onu_type_has_transceiver(uint8_t type);
// For those types: reads the part number, drops trailing white space,
// stores it and refreshes the summary's transceiver class. Other types: 0
// and nothing sent.
int profiler_onu_update_sfp_pn(onu_record *onu);

// Power in dBm of a raw video power reading (0.1 µW; a negative i16 is the
// reading + 65536), less 6.16 dB when `correct` (a transceiver of class 0,
// and always for ONU configuration). A reading of 0 gives minus infinity.
double onu_rf_power_dbm(int16_t raw, bool correct);
struct onu_gpio_step {
    uint32_t mask, value;
};
constexpr int ONU_RF_STEPS_MAX = 4;
// The GPIO writes that select the RF level for `dbm`, in order: both lines
// cleared, then 0x100 and 0x200 (>= 2 dBm), 0x100 (>= -10 dBm) or 0x200.
// Returns the number of steps.
int onu_rf_level_steps(double dbm, onu_gpio_step out[ONU_RF_STEPS_MAX]);
// Sends those writes; their results are not looked at.
void profiler_onu_rf_select(const onu_record *onu, double dbm);
// Reads the video power and, unless the RF output is blocked, selects the
// level. 0, or 3 when the power could not be read (then stored as 0).
int profiler_onu_set_rf_level(onu_record *onu);
// Reads the ONU's upstream power at the OLT (0x0138) and stores it through
// the data store's jump filter. 0, 3 refused, or the transport's code.
int profiler_onu_read_drssi(onu_record *onu);

// What the port status refresh needs from the layer above; main.cpp
// installs the entry. An empty entry counts as "nothing learned".
struct onu_optics_hook_table {
    // The MACs learned behind destination `destination` of OLT `olt` (the
    // paths' read request), at most `max` of 6 bytes into `out`: the
    // request's result, `*count` the MACs copied.
    int (*learned_macs)(int olt, uint16_t destination, uint8_t *out, int max, int *count);
};
extern onu_optics_hook_table onu_optics_hooks;

// Refreshes UNI 1 and 2 of the ONU with this MAC (status bytes, PHY flags,
// names, learned MACs), then its DRSSI and RF level. 0; 8 no such ONU; 3
// the port state request was refused; 4; a negative transport code.
int profiler_onu_update_ports(const uint8_t mac[6]);
