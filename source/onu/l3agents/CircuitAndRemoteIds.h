// Identifier template engine: the circuit-ID and remote-ID templates of an
// OLT, parsed once per OLT configuration and expanded for every service path
// into DHCP option 82 / PPPoE+ sub-options 1 and 2.
//
// A template mixes text and keywords. "%HOSTNAME%", "%SLOTID%" and
// "%MNGIP%" are replaced when the template is parsed (crid_Update); the
// other keywords become dynamic fields, filled when an identifier is built
// (crid_AddCircuitIdAndRemoteId). A descriptor keeps the static text and
// where each dynamic field goes; a pair keeps the two descriptors and the
// capacity both identifiers together must fit.
//
// Threads: a pair belongs to its OLT. The provisioning engine updates it at
// OLT configuration and reads it while configuring that OLT's ONUs, on the
// same thread, so no lock is taken here. Pure functions otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int CRID_STATIC_MAX = 254;        // characters of static text
constexpr int CRID_FIELDS_MAX = 20;         // dynamic fields per template
constexpr int CRID_TOKEN_MAX = 15;          // a keyword token with both '%'
constexpr int CRID_IDENTIFIER_MAX = 255;    // one sub-option's length byte
constexpr uint32_t CRID_OLT_CAPACITY = 128; // what OLT configuration uses
constexpr int CRID_OPT60_MAX = 64;

// Keyword numbers.
enum : uint8_t {
    CRID_HOSTNAME = 0,   // static: the host name
    CRID_SLOTID = 1,     // static: the slot text
    CRID_MNGIP = 2,      // static: the management address text
    CRID_CHANNELID = 3,  // dynamic: channel number, decimal (1)
    CRID_ONTID = 4,      // dynamic: ONT number, decimal (10)
    CRID_PATHID = 5,     // dynamic: path number, decimal (3)
    CRID_VLAN0 = 6,      // dynamic: "%VLAN0%" itself, the chip fills it (7)
    CRID_VLAN1 = 7,      // dynamic: "%VLAN1%" itself (7)
    CRID_MAC = 8,        // dynamic: MAC, lower-case hex with colons (17)
    CRID_OPT60 = 9,      // dynamic: DHCP option 60 bytes, nothing when absent (64)
    CRID_KEYWORDS = 10,
};

// GetFieldMaxLen results.
enum : int {
    CRID_PARSE_OK = 0,
    CRID_PARSE_UNCLOSED = -1,         // a '%' without its closing '%'
    CRID_PARSE_TOKEN_TOO_LONG = -2,   // a token of more than 15 characters
    CRID_PARSE_TEXT_TOO_LONG = -3,    // static text before a token passes 254
    CRID_PARSE_BAD_KEYWORD = -4,      // unknown keyword, static text full, or 21 fields
    CRID_PARSE_TAIL_TOO_LONG = -5,    // static text after the last token passes 254
};

// crid_Update results.
enum : int {
    CRID_UPDATE_OK = 0,
    CRID_UPDATE_TOO_LARGE = -1,        // both cleared: they cannot fit the capacity
    CRID_UPDATE_CIRCUIT_REFUSED = -2,
    CRID_UPDATE_REMOTE_REFUSED = -3,
    CRID_UPDATE_BOTH_REFUSED = -4,
};

struct crid_field {
    uint8_t position;   // in the static text
    uint8_t keyword;
};

struct crid_desc {
    char static_text[CRID_STATIC_MAX + 1];   // NUL-terminated
    uint16_t static_len;
    crid_field fields[CRID_FIELDS_MAX];
    uint8_t field_count;
    uint16_t dynamic_max;                    // sum of the fields' maximum lengths
};

struct crid_pair {
    crid_desc circuit;    // sub-option 1
    crid_desc remote;     // sub-option 2
    uint32_t capacity;    // after an update: the size the two need together
};

// The values of the dynamic fields when an identifier is built. `vlan0` and
// `vlan1` are the caller's to know; the identifier carries the keywords
// themselves and the chip fills the VLANs in. `opt60` is a length byte and
// that many option 60 bytes (at most 64 are used), or NULL.
struct crid_values {
    uint32_t channel;
    uint32_t ont_number;
    uint32_t path_number;
    uint16_t vlan0;
    uint16_t vlan1;
    const uint8_t *mac;     // 6 bytes
    const uint8_t *opt60;
};

// Clears both descriptors and sets the capacity. 0.
int crid_Init(crid_pair *pair, uint32_t capacity);

// Parses one NUL-terminated template into `desc` (cleared first). The
// template and the static texts may be NULL (empty, nothing inserted). 0 or a CRID_PARSE_* failure.
int GetFieldMaxLen(crid_desc *desc, const char *templ, const char *host_name, const char *slot,
                   const char *mng_ip);

// Parses both templates. A template refused, or whose identifier could pass
// 255 bytes, leaves its descriptor empty. When the two identifiers and their
// four header bytes pass the capacity both are cleared (-1); otherwise the
// capacity becomes their required size. 0 or a CRID_UPDATE_* failure.
int crid_Update(crid_pair *pair, const char *circuit_templ, const char *remote_templ, const char *host_name,
                const char *slot, const char *mng_ip);

// Writes sub-option `type` (1: circuit-ID, 2: remote-ID): type, length, the
// identifier. The bytes written (never more than `size`; an identifier is
// cut at the end of the buffer). Each dynamic value is at most its keyword's
// maximum length, so an identifier never passes what its descriptor was
// sized for.
size_t AddCircuitOrRemoteId(const crid_pair *pair, int type, uint8_t *buffer, size_t size, const crid_values *values);

// Writes sub-option 1 then sub-option 2. The bytes written, or 0 (nothing
// written) when the pair's capacity passes `size`.
size_t crid_AddCircuitIdAndRemoteId(const crid_pair *pair, uint8_t *buffer, size_t size, const crid_values *values);
