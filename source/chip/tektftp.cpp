// Transfers over the chip link. See tektftp.h for the contract.
#include "chip/tektftp.h"

#include "base/balloc.h"
#include "store/datastruct.h"
#include "mgmt/kernlink.h"
#include "wire/personality.h"
#include "platform/log.h"
#include "platform/textconv.h"
#include "chip/teklink.h"
#include "chip/tekrequest.h"
#include "wire/tftp.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>

tftp_timeouts tftp_timeout = {20, 60, 1};

namespace {

constexpr unsigned ONU_PERS_WRITE_PAUSE_SECONDS = 2;

// The TFTP packet of an answer of `size` bytes: after RCODE (and the ONU's
// MAC), within LEN and within what arrived.
bool answer_packet(const uint8_t *response, size_t size, bool onu, tftp_packet *packet)
{
    byte_reader in = tekmsg_payload(response, size);
    uint16_t rcode = in.be16();
    if (onu)
        in.skip(TFTP_ONU_MAC_SIZE);
    if (!in.ok() || rcode != TEKLINK_RCODE_OK)
        return false;
    return tftp_decode(in.position(), in.left(), packet);
}

// Sends one TFTP packet to the OLT (mac NULL) or to the ONU behind it and
// lends the answer to `read`: its result, or a failure.
int exchange(int olt, const uint8_t *mac, const uint8_t *packet, size_t size, int timeout,
             const std::function<int(const uint8_t *response)> &read)
{
    uint8_t request[TFTP_REQUEST_BLOCK - TEKLINK_MSG_DATA];
    size_t len = 0;
    if (mac) {
        memcpy(request, mac, TFTP_ONU_MAC_SIZE);
        len = TFTP_ONU_MAC_SIZE;
    }
    memcpy(request + len, packet, size);
    len += size;
    int result = tekrequest_read(olt, mac ? TEK_REQ_TFTP_ONU : TEK_REQ_TFTP_OLT, request, len, timeout, read);
    return result == TEK_RC_NO_MEMORY ? TFTP_BLOCK_NO_MEMORY : result;
}

int read_block(int olt, const uint8_t *mac, uint16_t n, uint8_t *dest, size_t room, size_t *size)
{
    *size = 0;
    uint8_t packet[32];
    size_t length = n == 0 ? tftp_encode_request(packet, sizeof packet, TFTP_RRQ, TFTP_FILE_PERSONALITY)
                           : tftp_encode_ack(packet, sizeof packet, n);
    int result = exchange(olt, mac, packet, length, tftp_timeout.read, [&](const uint8_t *response) {
        return tftp_read_answer(response, tekmsg_size(response), mac != nullptr, uint16_t(n + 1), dest, room, size);
    });
    if (result == TFTP_BLOCK_LAST) {
        // The closing ACK only tells the peer we are done; nothing depends on it.
        length = tftp_encode_ack(packet, sizeof packet, uint16_t(n + 1));
        exchange(olt, mac, packet, length, tftp_timeout.closing, [](const uint8_t *) { return 0; });
    }
    return result;
}

int write_block(int olt, const uint8_t *mac, const char *file, uint16_t block, const uint8_t *data, size_t size)
{
    uint8_t packet[TFTP_MAX_PACKET];
    size_t length = block == 0 ? tftp_encode_request(packet, sizeof packet, TFTP_WRQ, file)
                               : tftp_encode_data(packet, sizeof packet, block, data, size);
    if (length == 0)
        return TFTP_BLOCK_BAD;   // a name or a block we cannot encode: our bug, never the peer's
    int result = exchange(olt, mac, packet, length, tftp_timeout.write, [mac](const uint8_t *response) {
        return tftp_write_answer(response, tekmsg_size(response), mac != nullptr);
    });
    if (result != TFTP_BLOCK_MORE || block == 0)
        return result;
    return size < TFTP_BLOCK_SIZE ? TFTP_BLOCK_LAST : TFTP_BLOCK_MORE;
}

// Where the blocks of one transfer go.
struct peer {
    int olt;
    const uint8_t *mac;   // NULL: the OLT itself
    const char *file;     // writes
};

int write_step(void *ctx, uint16_t block, const uint8_t *data, size_t size)
{
    auto *p = static_cast<const peer *>(ctx);
    return write_block(p->olt, p->mac, p->file, block, data, size);
}

int read_step(void *ctx, uint16_t block, uint8_t *dest, size_t room, size_t *size)
{
    auto *p = static_cast<const peer *>(ctx);
    return read_block(p->olt, p->mac, block, dest, room, size);
}

int write_image(peer to, const uint8_t *image, size_t size)
{
    return tftp_write_image(write_step, &to, image, size);
}

// A zeroed pool block of `size` bytes holding what the peer sent, or NULL.
uint8_t *read_image(peer from, size_t size, size_t *total)
{
    auto *image = static_cast<uint8_t *>(BALLOC(long(size)));
    if (!image)
        return nullptr;
    memset(image, 0, size);
    if (tftp_read_image(read_step, &from, image, size, total) != 0) {
        BFREE(image);
        return nullptr;
    }
    return image;
}

// The one place upgrades report to the management process. A report that
// cannot be sent is not retried: the upgrade's result stands.
void report(uint8_t code, uint32_t num1, uint32_t num2, const char *format, ...) __attribute__((format(printf, 4, 5)));
void report(uint8_t code, uint32_t num1, uint32_t num2, const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    kernlink_notify(code, num1, num2, 0, 0, text);
}

// The OLT the ONU with `mac` is connected to, or -1. The record is checked
// again under its lock: it may have been released since the look-up.
int onu_olt_of(const uint8_t mac[6])
{
    onu_record *onu = onu_get_by_mac(mac);
    if (!onu)
        return -1;
    onu_lock(onu);
    int olt = onu->state != ONU_STATE_FREE && memcmp(onu->mac, mac, 6) == 0 ? onu->olt : -1;
    onu_unlock(onu);
    return olt;
}

struct olt_image_kind {
    const char *file;
    const char *what;        // log lines
    const char *updated;     // notification on success
    const char *failed;      // ... on failure
};

constexpr olt_image_kind OLT_BOOT = {TFTP_FILE_BOOT, "bootloader", "OLT[%d] bootloader updated",
                                     "OLT[%d] bootloader update failed"};
constexpr olt_image_kind OLT_APP = {TFTP_FILE_APP, "application", "OLT[%d] firmware updated",
                                    "OLT[%d] application update failed"};

int olt_upgrade(const char *caller, const olt_image_kind &kind, int olt, const uint8_t *image, size_t size)
{
    syslog(LOG_ERR, "%s: Start upgrade OLT%d %s", caller, olt, kind.what);
    if (write_image(peer{olt, nullptr, kind.file}, image, size) != 0) {
        syslog(LOG_ERR, "%s: Upgrade OLT%d %s failed.", caller, olt, kind.what);
        report(EVENT_FIRMWARE_UPDATE_FAILED, 2, uint32_t(olt), kind.failed, olt);
        return TFTP_IMAGE_FAILED;
    }
    syslog(LOG_ERR, "%s: Upgrade OLT%d %s finished.", caller, olt, kind.what);
    report(EVENT_FIRMWARE_UPDATED, 2, uint32_t(olt), kind.updated, olt);
    return TFTP_IMAGE_OK;
}

} // namespace

// --- answers -------------------------------------------------------------------

int tftp_read_answer(const uint8_t *response, size_t length, bool onu, uint16_t block, uint8_t *dest, size_t room,
                     size_t *size)
{
    *size = 0;
    tftp_packet packet;
    if (!answer_packet(response, length, onu, &packet) || packet.opcode != TFTP_DATA)
        return TFTP_BLOCK_BAD;
    if (packet.block != block)
        return block > 1 && packet.block == uint16_t(block - 1) ? TFTP_BLOCK_REPEAT : TFTP_BLOCK_BAD;
    if (packet.size > TFTP_BLOCK_SIZE || packet.size > room)
        return TFTP_BLOCK_BAD;
    if (packet.size)
        memcpy(dest, packet.data, packet.size);
    *size = packet.size;
    return packet.size < TFTP_BLOCK_SIZE ? TFTP_BLOCK_LAST : TFTP_BLOCK_MORE;
}

int tftp_write_answer(const uint8_t *response, size_t length, bool onu)
{
    tftp_packet packet;
    if (!answer_packet(response, length, onu, &packet) || packet.opcode != TFTP_ACK)
        return TFTP_BLOCK_BAD;
    return TFTP_BLOCK_MORE;
}

// --- blocks --------------------------------------------------------------------

int tftp_onu_read_block(int olt, const uint8_t mac[6], uint16_t n, uint8_t *dest, size_t room, size_t *size)
{
    return read_block(olt, mac, n, dest, room, size);
}

int tftp_olt_read_block(int olt, uint16_t n, uint8_t *dest, size_t room, size_t *size)
{
    return read_block(olt, nullptr, n, dest, room, size);
}

int tftp_onu_write_block(int olt, const uint8_t mac[6], const char *file, uint16_t block, const uint8_t *data,
                         size_t size)
{
    return write_block(olt, mac, file, block, data, size);
}

int tftp_olt_write_block(int olt, const char *file, uint16_t block, const uint8_t *data, size_t size)
{
    return write_block(olt, nullptr, file, block, data, size);
}

// --- images --------------------------------------------------------------------

int tftp_olt_boot_upgrade(int olt, const uint8_t *image, size_t size)
{
    return olt_upgrade(__func__, OLT_BOOT, olt, image, size);
}

int tftp_olt_app_upgrade(int olt, const uint8_t *image, size_t size)
{
    return olt_upgrade(__func__, OLT_APP, olt, image, size);
}

uint8_t *tftp_olt_pers_read(int olt)
{
    size_t total = 0;
    uint8_t *image = read_image(peer{olt, nullptr, nullptr}, OLT_PERS_BLOCK, &total);
    if (image)
        olt_pers_accept(image, total);
    return image;
}

int tftp_olt_pers_write(int olt, uint8_t *image)
{
    olt_pers_prepare(image);
    if (write_image(peer{olt, nullptr, TFTP_FILE_PERSONALITY}, image, OLT_PERS_SIZE) != 0)
        return TFTP_IMAGE_FAILED;
    return TFTP_IMAGE_OK;
}

uint8_t *tftp_onu_pers_read_on(const uint8_t mac[6], int olt)
{
    size_t total = 0;
    uint8_t *image = read_image(peer{olt, mac, nullptr}, ONU_PERS_SIZE, &total);
    if (image && !onu_pers_accept(image, total)) {
        BFREE(image);
        return nullptr;
    }
    return image;
}

int tftp_onu_app_upgrade(const uint8_t mac[6], const uint8_t *image, size_t size)
{
    char text[18];
    convert_to_mac(text, mac);
    int olt = onu_olt_of(mac);
    if (olt < 0) {
        trace("%s: %s not connected\n", __func__, text);
        return TFTP_ONU_NOT_FOUND;
    }
    if (write_image(peer{olt, mac, TFTP_FILE_APP}, image, size) != 0) {
        report(EVENT_FIRMWARE_UPDATE_FAILED, 1, 0, "ONU %s firmware update failed", text);
        return TFTP_IMAGE_FAILED;
    }
    report(EVENT_FIRMWARE_UPDATED, 1, 0, "ONU %s firmware updated", text);
    return TFTP_IMAGE_OK;
}

uint8_t *tftp_onu_pers_read(const uint8_t mac[6])
{
    int olt = onu_olt_of(mac);
    return olt < 0 ? nullptr : tftp_onu_pers_read_on(mac, olt);
}

int tftp_onu_pers_write(const uint8_t mac[6], uint8_t *image)
{
    tftp_pause(ONU_PERS_WRITE_PAUSE_SECONDS);
    onu_pers_prepare(image);
    int olt = onu_olt_of(mac);
    if (olt < 0)
        return TFTP_ONU_NOT_FOUND;
    if (write_image(peer{olt, mac, TFTP_FILE_PERSONALITY}, image, ONU_PERS_SIZE) != 0)
        return TFTP_IMAGE_FAILED;
    return TFTP_IMAGE_OK;
}
