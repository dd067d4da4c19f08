// Subscriber identifiers of a service path: the DHCP option 82 sub-options
// (request 0x01F7) and the PPPoE+ vendor tag (request 0x0203) that the OLT
// chip inserts for a destination.
//
// Five option 82 formats and three PPPoE+ tag formats exist; the OLT's
// configuration selects one of each. The payload builders are pure
// functions of their inputs; the request operations add the board MAC
// where a format needs it and exchange the request with the chip.
//
// Threads: the request operations run on the provisioning engine's thread
// and take only the chip link's send lock (inside teklink_message_send).
// The builders are safe from any thread.
#pragma once

#include "wire/ids.h"

#include "onu/l3agents/CircuitAndRemoteIds.h"

#include <cstddef>
#include <cstdint>

constexpr int SUBSCRIBER_ID_TIMEOUT = 2;
constexpr uint32_t PPPOE_VENDOR_NUMBER = 0x00000DE9;
constexpr size_t SUBSCRIBER_TEXT_BUFFER = 512;
// The payload a request can carry: destination, length byte, 255 bytes.
constexpr size_t SUBSCRIBER_PAYLOAD_MAX = 3 + 255;

enum : uint8_t {
    OPT82_REDUCED_BINARY = 0,
    OPT82_EXPANDED_TEXT = 1,
    OPT82_EXPANDED_BINARY = 2,
    OPT82_REDUCED_TEXT = 3,
    OPT82_EXTENDED_BINARY = 4,
};
enum : uint8_t {
    PPPOE_TAG_BINARY = 0,
    PPPOE_TAG_TEXT = 1,
    PPPOE_TAG_CUSTOM = 2,   // and any other value: built from the OLT's templates
};

// Results of the request operations.
enum : int {
    SUBSCRIBER_ID_OK = 0,
    SUBSCRIBER_ID_UNKNOWN_FORMAT = 1,   // option 82 format outside 0..4
    SUBSCRIBER_ID_LOCAL_FAILURE = 3,    // board MAC unreadable, or the identifier cannot be encoded
    // or TEK_RC_NO_MEMORY, or the negative result of teklink_message_send
};

// What one service path is identified by.
struct subscriber_path {
    uint16_t dest_index;    // the path's destination
    uint8_t port_index;     // OLT index x 2 + PON port
    uint32_t ont_number;
    uint8_t path_index;     // 0 or 1
    uint32_t system_word;   // system settings bytes 0..3, sent big-endian
    const char *host_name;  // system settings host name
    uint8_t onu_mac[6];
};

// Payload builders: they write the request's data (destination index,
// length byte, body) into `out` and return its length (the request's LEN),
// or 0 when it does not fit `capacity` or a length byte could not hold the
// text. `board_mac` is read only by the binary formats 2 and 4.
size_t opt82_payload(uint8_t format, const subscriber_path *path, const uint8_t board_mac[6], uint8_t *out,
                     size_t capacity);
size_t pppoe_tag_payload(uint8_t format, const subscriber_path *path, const crid_pair *templates, uint8_t *out,
                         size_t capacity);

// The option 82 text of format 1 ("GEPON-...") or 3 into `text` (room for
// SUBSCRIBER_TEXT_BUFFER bytes); its length.
size_t opt82_text(uint8_t format, const subscriber_path *path, char *text);

// --- requests to the chip of OLT `olt` ----------------------------------------
// Each returns SUBSCRIBER_ID_OK once the request was exchanged (the answer's
// RCODE is not the caller's concern), the negative teklink_message_send
// result, TEK_RC_NO_MEMORY, or SUBSCRIBER_ID_LOCAL_FAILURE. The
// binary formats 2 and 4 read the board MAC of ZANDREL_IFACE first.

// Option 82 in the OLT's format: 0..4 as below, anything else
// SUBSCRIBER_ID_UNKNOWN_FORMAT without a request.
int profiler_onu_path_opt82(int olt, uint8_t format, const subscriber_path *path);
int profiler_onu_path_opt82_internal_reduced(int olt, const subscriber_path *path);         // 0
int profiler_onu_path_opt82_text_internal_expanded(int olt, const subscriber_path *path);   // 1
int profiler_onu_path_opt82_internal_expanded(int olt, const subscriber_path *path);        // 2
int profiler_onu_path_opt82_text_internal_reduced(int olt, const subscriber_path *path);    // 3
int profiler_onu_path_opt82_internal_extended(int olt, const subscriber_path *path);        // 4

// PPPoE+ tag in the OLT's format: 0 binary, 1 text, anything else the
// custom tag from the OLT's templates.
int profiler_onu_path_pppoe_tag(int olt, uint8_t format, const subscriber_path *path, const crid_pair *templates);
int profiler_onu_path_pppoe_tag_internal(int olt, const subscriber_path *path);
int profiler_onu_path_pppoe_tag_text_internal(int olt, const subscriber_path *path);
int profiler_onu_path_pppoe_tag_text_custom_internal(int olt, const subscriber_path *path, const crid_pair *templates);

// Each OLT's circuit-ID and remote-ID templates, loaded by the OLT's
// configuration (the host name, the slot text and the device address fill
// their fixed values) and read by the service paths of its ONUs. Both run
// on the profiler thread. An index outside 0..3 loads nothing and reads NULL.
constexpr uint32_t SUBSCRIBER_ID_TEMPLATE_CAPACITY = 128;
void subscriber_ids_load_templates(int olt, const char *circuit, const char *remote, const char *host,
                                   const char *slot, const char *address);
const crid_pair *subscriber_ids_templates(int olt);
