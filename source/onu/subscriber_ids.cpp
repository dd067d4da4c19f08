#include "onu/subscriber_ids.h"

#include "base/bytes.h"
#include "platform/board.h"
#include "platform/log.h"
#include "platform/sandbox.h"
#include "chip/teklink.h"
#include "chip/tekrequest.h"
#include "store/datastruct.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>

namespace {

// A length byte counts at most this many bytes.
constexpr size_t LENGTH_BYTE_MAX = 255;

// Writes the request data around a body built by `fill` at out + 3:
// destination index, length byte, body. 0 when anything does not fit.
template <typename Fill>
size_t with_header(const subscriber_path *path, uint8_t *out, size_t capacity, Fill fill)
{
    if (capacity < 3)
        return 0;
    size_t body = fill(out + 3, capacity - 3);
    if (body == 0 || body > LENGTH_BYTE_MAX)
        return 0;
    store_be16(out, path->dest_index);
    out[2] = uint8_t(body);
    return 3 + body;
}

// Sub-option t holding `n` bytes of `data`; 0 when it does not fit.
size_t sub_option(uint8_t *out, size_t room, uint8_t type, const void *data, size_t n)
{
    if (n > LENGTH_BYTE_MAX || 2 + n > room)
        return 0;
    out[0] = type;
    out[1] = uint8_t(n);
    if (n)
        memcpy(out + 2, data, n);
    return 2 + n;
}

// Remote-ID of the binary formats 2 and 4: system word, 12, board MAC, ONU MAC.
size_t binary_remote_id(uint8_t *out, size_t room, const subscriber_path *path, const uint8_t board_mac[6])
{
    uint8_t id[17];
    store_be32(id, path->system_word);
    id[4] = 12;
    memcpy(id + 5, board_mac, 6);
    memcpy(id + 11, path->onu_mac, 6);
    return sub_option(out, room, 2, id, sizeof id);
}

// Circuit-ID of formats 2 (no trailer) and 4 (six zero bytes more).
size_t binary_circuit_id(uint8_t *out, size_t room, const subscriber_path *path, size_t trailer)
{
    uint8_t id[17] = {0x21, uint8_t(9 + trailer), 0, 0, 0, 0, path->path_index};
    store_be32(id + 7, path->ont_number);
    return sub_option(out, room, 1, id, 11 + trailer);
}

} // namespace

size_t opt82_text(uint8_t format, const subscriber_path *path, char *text)
{
    int n;
    if (format == OPT82_EXPANDED_TEXT)
        n = snprintf(text, SUBSCRIBER_TEXT_BUFFER, "GEPON-%s xpon %d %d %d %%VLAN0%% %%VLAN1%%",
                     path->host_name ? path->host_name : "", path->port_index, int(path->ont_number),
                     path->path_index);
    else
        n = snprintf(text, SUBSCRIBER_TEXT_BUFFER, "%d %d %d %%VLAN0%% %%VLAN1%%", path->port_index,
                     int(path->ont_number), path->path_index);
    if (n < 0)
        return 0;
    return size_t(n) < SUBSCRIBER_TEXT_BUFFER ? size_t(n) : SUBSCRIBER_TEXT_BUFFER - 1;
}

size_t opt82_payload(uint8_t format, const subscriber_path *path, const uint8_t board_mac[6], uint8_t *out,
                     size_t capacity)
{
    return with_header(path, out, capacity, [&](uint8_t *body, size_t room) -> size_t {
        switch (format) {
        case OPT82_REDUCED_BINARY: {
            uint8_t circuit[6];
            store_be32(circuit, path->system_word);
            circuit[4] = 0;
            circuit[5] = path->port_index;
            uint8_t remote[5];
            store_be32(remote, path->ont_number);
            remote[4] = path->path_index;
            size_t a = sub_option(body, room, 1, circuit, sizeof circuit);
            size_t b = a ? sub_option(body + a, room - a, 2, remote, sizeof remote) : 0;
            return b ? a + b : 0;
        }
        case OPT82_EXPANDED_TEXT:
        case OPT82_REDUCED_TEXT: {
            char text[SUBSCRIBER_TEXT_BUFFER];
            size_t n = opt82_text(format, path, text);
            return sub_option(body, room, 1, text, n);
        }
        case OPT82_EXPANDED_BINARY:
        case OPT82_EXTENDED_BINARY: {
            size_t a = binary_circuit_id(body, room, path, format == OPT82_EXTENDED_BINARY ? 6 : 0);
            size_t b = a ? binary_remote_id(body + a, room - a, path, board_mac) : 0;
            return b ? a + b : 0;
        }
        default:
            return 0;
        }
    });
}

size_t pppoe_tag_payload(uint8_t format, const subscriber_path *path, const crid_pair *templates, uint8_t *out,
                         size_t capacity)
{
    return with_header(path, out, capacity, [&](uint8_t *body, size_t room) -> size_t {
        if (format == PPPOE_TAG_BINARY) {
            if (room < 15)
                return 0;
            memset(body, 0, 4);
            store_be32(body + 4, path->system_word);
            body[8] = 0;
            body[9] = path->port_index;
            store_be32(body + 10, path->ont_number);
            body[14] = path->path_index;
            return 15;
        }
        if (room < 4)
            return 0;
        store_be32(body, PPPOE_VENDOR_NUMBER);
        if (format == PPPOE_TAG_TEXT) {
            char text[SUBSCRIBER_TEXT_BUFFER];
            size_t n = opt82_text(OPT82_EXPANDED_TEXT, path, text);
            size_t a = sub_option(body + 4, room - 4, 1, text, n);
            size_t b = a ? sub_option(body + 4 + a, room - 4 - a, 2, nullptr, 0) : 0;
            return b ? 4 + a + b : 0;
        }
        static const uint8_t no_mac[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        crid_values values{path->port_index, path->ont_number, path->path_index, 0, 0, no_mac, nullptr};
        uint8_t ids[CRID_OLT_CAPACITY];
        size_t m = crid_AddCircuitIdAndRemoteId(templates, ids, sizeof ids, &values);
        if (4 + m > room)
            return 0;
        memcpy(body + 4, ids, m);
        return 4 + m;
    });
}

// --- requests ------------------------------------------------------------------

namespace {

// The board MAC for formats 2 and 4: 0, or SUBSCRIBER_ID_LOCAL_FAILURE
// after the failure line of `op`.
int read_board_mac(const char *op, uint8_t mac[6])
{
    int result = board_iface_mac(sandbox_iface(), mac);
    if (result == BOARD_MAC_NO_SOCKET)
        syslog(LOG_ERR, "%s: can't create socket", op);
    else if (result != 0)
        syslog(LOG_ERR, "%s: can't read MAC address", op);
    return result == 0 ? SUBSCRIBER_ID_OK : SUBSCRIBER_ID_LOCAL_FAILURE;
}

// Sends `size` bytes of `payload` as request `id` to OLT `olt`. The text
// format of the PPPoE+ tag names its transport failure a little apart.
int send_payload(const char *op, bool onu_text, int olt, uint16_t id, const uint8_t *payload, size_t size)
{
    if (size == 0) {
        // Only a host name too long for one sub-option gets here.
        syslog(LOG_ERR, "%s: identifier does not fit its length byte", op);
        return SUBSCRIBER_ID_LOCAL_FAILURE;
    }
    int result = tekrequest_send(olt, id, payload, size, nullptr, SUBSCRIBER_ID_TIMEOUT);
    if (result == TEK_RC_NO_MEMORY)
        return result;
    if (result < 0) {
        if (onu_text)
            trace("%s: ONU teklink_message_send failed (ret = %d)\n", op, result);
        else
            trace("%s: teklink_message_send failed (ret = %d)\n", op, result);
        return result;
    }
    return SUBSCRIBER_ID_OK;
}

int opt82_request(const char *op, int olt, uint8_t format, const subscriber_path *path)
{
    uint8_t board[6] = {};
    if (format == OPT82_EXPANDED_BINARY || format == OPT82_EXTENDED_BINARY) {
        int result = read_board_mac(op, board);
        if (result != SUBSCRIBER_ID_OK)
            return result;
    }
    uint8_t payload[SUBSCRIBER_PAYLOAD_MAX];
    size_t size = opt82_payload(format, path, board, payload, sizeof payload);
    return send_payload(op, false, olt, TEK_REQ_OPT82, payload, size);
}

int pppoe_request(const char *op, int olt, uint8_t format, const subscriber_path *path,
                  const crid_pair *templates)
{
    uint8_t payload[SUBSCRIBER_PAYLOAD_MAX];
    size_t size = pppoe_tag_payload(format, path, templates, payload, sizeof payload);
    return send_payload(op, format == PPPOE_TAG_TEXT, olt, TEK_REQ_PPPOE_TAG, payload, size);
}

} // namespace

int profiler_onu_path_opt82_internal_reduced(int olt, const subscriber_path *path)
{
    return opt82_request(__func__, olt, OPT82_REDUCED_BINARY, path);
}

int profiler_onu_path_opt82_text_internal_expanded(int olt, const subscriber_path *path)
{
    return opt82_request(__func__, olt, OPT82_EXPANDED_TEXT, path);
}

int profiler_onu_path_opt82_internal_expanded(int olt, const subscriber_path *path)
{
    return opt82_request(__func__, olt, OPT82_EXPANDED_BINARY, path);
}

int profiler_onu_path_opt82_text_internal_reduced(int olt, const subscriber_path *path)
{
    return opt82_request(__func__, olt, OPT82_REDUCED_TEXT, path);
}

int profiler_onu_path_opt82_internal_extended(int olt, const subscriber_path *path)
{
    return opt82_request(__func__, olt, OPT82_EXTENDED_BINARY, path);
}

int profiler_onu_path_opt82(int olt, uint8_t format, const subscriber_path *path)
{
    switch (format) {
    case OPT82_REDUCED_BINARY: return profiler_onu_path_opt82_internal_reduced(olt, path);
    case OPT82_EXPANDED_TEXT: return profiler_onu_path_opt82_text_internal_expanded(olt, path);
    case OPT82_EXPANDED_BINARY: return profiler_onu_path_opt82_internal_expanded(olt, path);
    case OPT82_REDUCED_TEXT: return profiler_onu_path_opt82_text_internal_reduced(olt, path);
    case OPT82_EXTENDED_BINARY: return profiler_onu_path_opt82_internal_extended(olt, path);
    default: return SUBSCRIBER_ID_UNKNOWN_FORMAT;
    }
}

int profiler_onu_path_pppoe_tag_internal(int olt, const subscriber_path *path)
{
    return pppoe_request(__func__, olt, PPPOE_TAG_BINARY, path, nullptr);
}

int profiler_onu_path_pppoe_tag_text_internal(int olt, const subscriber_path *path)
{
    return pppoe_request(__func__, olt, PPPOE_TAG_TEXT, path, nullptr);
}

int profiler_onu_path_pppoe_tag_text_custom_internal(int olt, const subscriber_path *path, const crid_pair *templates)
{
    return pppoe_request(__func__, olt, PPPOE_TAG_CUSTOM, path, templates);
}

int profiler_onu_path_pppoe_tag(int olt, uint8_t format, const subscriber_path *path, const crid_pair *templates)
{
    switch (format) {
    case PPPOE_TAG_BINARY: return profiler_onu_path_pppoe_tag_internal(olt, path);
    case PPPOE_TAG_TEXT: return profiler_onu_path_pppoe_tag_text_internal(olt, path);
    default: return profiler_onu_path_pppoe_tag_text_custom_internal(olt, path, templates);
    }
}

namespace {
crid_pair olt_templates[OLT_COUNT];
}

void subscriber_ids_load_templates(int olt, const char *circuit, const char *remote, const char *host,
                                   const char *slot, const char *address)
{
    if (olt < 0 || olt >= OLT_COUNT)
        return;
    crid_Init(&olt_templates[olt], SUBSCRIBER_ID_TEMPLATE_CAPACITY);
    crid_Update(&olt_templates[olt], circuit, remote, host, slot, address);
}

const crid_pair *subscriber_ids_templates(int olt) { return olt >= 0 && olt < OLT_COUNT ? &olt_templates[olt] : nullptr; }
