// Chip event processing: the event thread, the dispatcher and the handlers.
#include "events/tekhandlers.h"

#include "auth/eapmd5.h"
#include "base/balloc.h"
#include "base/bytes.h"
#include "store/datastruct.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/sandbox.h"
#include "platform/textconv.h"
#include "base/process.h"
#include "engine/profiler.h"
#include "chip/teklink.h"
#include "chip/tekrequest.h"
#include "chip/tektftp.h"
#include "wire/tekmsg.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The fields of an OLT ready event; false when the event is too short.
bool olt_ready_fields(const uint8_t *event, uint8_t mac[6], uint16_t *version)
{
    byte_reader in = tekmsg_event_data(event);
    in.bytes(mac, 6);
    in.skip(OLT_READY_VERSION - (OLT_READY_MAC + 6));
    *version = in.be16();
    return in.ok();
}

// The OLT index of an event, or -1 (traced) when it names no OLT.
int event_olt(const uint8_t *event, const char *handler)
{
    int olt = tekmsg_olt(event);
    if (olt >= OLT_COUNT) {
        trace("%s: event from OLT[%d] dropped\n", handler, olt);
        return -1;
    }
    return olt;
}

// Traces a decoder's failure: the event held fewer bytes than its fields.
bool decoded(const byte_reader &in, const uint8_t *event, const char *handler)
{
    if (in.ok())
        return true;
    trace("%s: event too short (%u bytes) dropped\n", handler, unsigned(tekmsg_event_data(event).left()));
    return false;
}

// Sends `data` as request `id` to OLT `olt` and frees the answer unread.
void answer_chip(int olt, uint16_t id, const uint8_t *data, size_t size)
{
    tekrequest_send(olt, id, data, size, nullptr, TEKHANDLERS_CHIP_TIMEOUT);
}

pthread_t events_thread_id;
bool events_running;          // start-up and stopping thread only
std::atomic<bool> events_stop{false};
std::atomic<unsigned long> events_handled{0};

void *events_thread(void *)
{
    while (run_flag.load() && !events_stop.load()) {
        uint8_t *event = static_cast<uint8_t *>(mqueue_wait(&teklink_events_queue));
        if (!event)
            continue;   // nothing came, a message that could not be joined, or a stop
        events_process(event);
        BFREE(event);
        events_handled++;
        usleep(EVENTS_PAUSE_MS * 1000);
    }
    return nullptr;
}

} // namespace

int tekhandlers_start()
{
    if (events_running)
        return 0;
    events_stop.store(false);
    if (pthread_create(&events_thread_id, nullptr, events_thread, nullptr) != 0)
        return -1;
    events_running = true;
    return 0;
}

void tekhandlers_stop()
{
    if (!events_running)
        return;
    events_stop.store(true);
    // An empty item ends the wait for an event at once; a queue too full to
    // take it has a thread that is not waiting, and sees the stop after
    // its event.
    mqueue_put(&teklink_events_queue, nullptr);
    pthread_join(events_thread_id, nullptr);
    events_running = false;
}

unsigned long tekhandlers_events_handled() { return events_handled.load(); }

void events_process(uint8_t *event)
{
    uint16_t id = tekmsg_id(event);
    switch (id) {
    case TEK_EVENT_OLT_READY: {
        int olt = event_olt(event, __func__);
        uint8_t mac[6];
        uint16_t version;
        if (olt < 0)
            break;
        if (!olt_ready_fields(event, mac, &version)) {
            trace("%s: event too short (%u bytes) dropped\n", __func__, unsigned(tekmsg_event_data(event).left()));
            break;
        }
        // The chip restarted, asked or not: whatever it held for its ONUs
        // is gone, so their records go too, before anything is configured
        // again. They come back when they register again.
        profiler_olt_release_onus(olt);
        oltfwupdate_handler(event);
        // After a successful upgrade the chip restarts with the new image
        // and sends another ready event; until then it stays in reset.
        if (olt_get_state(olt) != ONU_STATE_RESETINPROGRESS) {
            olt_set_state(olt, ONU_STATE_RESETINPROGRESS);
            break;
        }
        oltready_handler(event);
        break;
    }
    case TEK_EVENT_EAP_FRAME:
        eapframe_handler(event);
        break;
    case TEK_EVENT_REGISTRATION:
        registrationattempt_handler(event);
        break;
    case TEK_EVENT_LINK_DISCOVERY:
        linkdiscovery_handler(event);
        break;
    case TEK_EVENT_ALARM:
        alarm_handler(event);
        break;
    case TEK_EVENT_CONSOLE:
        console_handler(event);
        break;
    case TEK_EVENT_DUPLICATE_LINK:
        duplicate_onu_mac_handler(event);
        break;
    default:
        trace("%s: unhandled event (%d)\n", __func__, int(id));
        break;
    }
}

uint16_t olt_app_image_version()
{
    std::string path = sandbox_path(OLT_APP_IMAGE);
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return 0;
    uint8_t head[4] = {};
    size_t got = fread(head, 1, sizeof head, file);
    fclose(file);
    return got == sizeof head ? load_le16(head + 2) : 0;
}

int olt_upgrade_from_file(int olt, const char *path, int (*upgrade)(int, const uint8_t *, size_t))
{
    if (!upgrade)
        return TFTP_IMAGE_FAILED;
    std::string full = sandbox_path(path);
    int fd = open(full.c_str(), O_RDONLY);
    if (fd < 0)
        return TFTP_IMAGE_FAILED;
    struct stat st;
    std::vector<uint8_t> image;
    bool ok = fstat(fd, &st) == 0 && st.st_size > 0;
    if (ok) {
        image.resize(size_t(st.st_size));
        size_t done = 0;
        while (done < image.size()) {
            ssize_t n = read(fd, image.data() + done, image.size() - done);
            if (n <= 0)
                break;
            done += size_t(n);
        }
        ok = done == image.size();
    }
    close(fd);
    if (!ok)
        return TFTP_IMAGE_FAILED;
    return upgrade(olt, image.data(), image.size()) == 0 ? 0 : TFTP_IMAGE_FAILED;
}

void oltfwupdate_handler(uint8_t *event)
{
    int olt = event_olt(event, __func__);
    uint8_t mac[6];
    uint16_t running;
    if (olt < 0 || !olt_ready_fields(event, mac, &running))
        return;

    olt_lock(olt);
    if (olt_app_image_version() != running) {
        olt_set_state_locked(olt, ONU_STATE_RESETFWUPGRADE);
        syslog(LOG_INFO, "%s: OLT[%d] in CHECKNEWFW state\n", __func__, olt);
        if (olt_upgrade_from_file(olt, OLT_BOOT_IMAGE, tftp_olt_boot_upgrade) == 0 &&
            olt_upgrade_from_file(olt, OLT_APP_IMAGE, tftp_olt_app_upgrade) == 0) {
            olt_unlock(olt);
            return;
        }
    }
    olt_set_state_locked(olt, ONU_STATE_RESETINPROGRESS);
    syslog(LOG_INFO, "%s: OLT[%d] in RESETINPROGRESS state\n", __func__, olt);
    olt_unlock(olt);
}

void oltready_handler(uint8_t *event)
{
    int olt = event_olt(event, __func__);
    uint8_t mac[6];
    uint16_t version;
    if (olt < 0 || !olt_ready_fields(event, mac, &version))
        return;
    olt_lock(olt);
    olt_record *record = olt_get(olt);
    record->missed_pings = 0;
    memset(record->path_slots, 0, sizeof record->path_slots);
    memcpy(record->mac, mac, 6);
    record->index = uint8_t(olt);
    record->fw_version = version;
    olt_set_state_locked(olt, ONU_STATE_RESETOK);
    trace("%s: OLT[%d] in RESETOK state\n", __func__, olt);
    profiler_init_olt_reconfigure(olt);
    olt_unlock(olt);
}

void registrationattempt_handler(uint8_t *event)
{
    int olt = event_olt(event, __func__);
    if (olt < 0)
        return;
    const byte_reader data = tekmsg_event_data(event);   // echoed whole to the chip
    byte_reader in = data;
    uint8_t mac[6];
    in.skip(REGISTRATION_LINK_MAC);
    in.bytes(mac, 6);
    if (!decoded(in, event, __func__))
        return;
    char text[18];
    convert_to_mac(text, mac);
    trace("%s: %s on OLT[%d]\n", __func__, text, olt);

    if (onu_record *onu = onu_get_by_link_mac(mac)) {
        onu_lock(onu);
        link_record *link = onu_find_link(onu, mac);
        if (link && link->state != ONU_STATE_ALLOCATED) {
            trace("%s: rejected\n", __func__);
            onu_unlock(onu);
            return;
        }
        onu_unlock(onu);
    }
    answer_chip(olt, TEK_REQ_REGISTRATION_ACCEPT, data.position(), data.left());
}

void linkdiscovery_handler(uint8_t *event)
{
    int olt = event_olt(event, __func__);
    if (olt < 0)
        return;
    byte_reader in = tekmsg_event_data(event);
    uint8_t data[LINK_DISCOVERY_RECORD_SIZE];
    in.bytes(data, sizeof data);
    if (!decoded(in, event, __func__))
        return;
    uint8_t *record = static_cast<uint8_t *>(BMEMDUP(data, LINK_DISCOVERY_RECORD_SIZE));
    if (!record) {
        // Without its record the link cannot be processed; leaving it
        // unacknowledged lets the chip report it again.
        trace("%s: %d: balloc failed\n", __func__, __LINE__);
        return;
    }
    profiler_init_link_discovery(olt, record);   // the item owns the record now

    uint8_t ack[14];
    olt_lock(olt);
    memcpy(ack, olt_get(olt)->mac, 6);
    olt_unlock(olt);
    ack[6] = 0;
    ack[7] = data[LINK_RECORD_PORT];
    memcpy(ack + 8, data + LINK_RECORD_MAC, 6);
    answer_chip(olt, TEK_REQ_DISCOVERY_ACK, ack, sizeof ack);
}

void alarm_handler(uint8_t *event)
{
    byte_reader in = tekmsg_event_data(event);
    static_assert(ALARM_TAG == 0 && ALARM_MAC == 1 && ALARM_PORT == 7 && ALARM_PORT_ID == 9 &&
                  ALARM_PORT_VALUE == 10, "a port alarm is read field after field");
    uint8_t tag = in.u8();
    if (!in.ok())
        return;
    if (tag == ALARM_TAG_LINK) {
        alarm_oltlink(event);
        return;
    }
    uint8_t mac[6];
    in.bytes(mac, 6);
    unsigned port = in.be16();
    uint8_t port_id = in.u8();
    uint8_t value = in.u8();
    if (tag != ALARM_TAG_PORT || !in.ok() || port_id != ALARM_PORT_LINK_STATE)
        return;
    if (port >= 4)
        return;   // names no entry of the UNI port table
    onu_record *onu = onu_get_by_link_mac(mac);
    if (!onu)
        return;
    onu_lock(onu);
    if (onu_find_link(onu, mac))   // still the same ONU after the look-up
        onu->uni[port].status[UNI_STATUS_LINK] = value == 0 ? 1 : 0;
    onu_unlock(onu);
}

void alarm_oltlink(uint8_t *event)
{
    byte_reader in = tekmsg_event_data(event);
    static_assert(ALARM_TAG == 0 && ALARM_MAC == 1 && ALARM_LINK_ID == 7, "a link alarm is read field after field");
    uint8_t mac[6];
    in.skip(1);
    in.bytes(mac, 6);
    uint8_t link_id = in.u8();
    if (!in.ok() || link_id != ALARM_LINK_REPORT_TIMEOUT)
        return;
    char text[18];
    convert_to_mac(text, mac);
    char description[256] = "none";
    if (onu_record *onu = onu_get_by_link_mac(mac)) {
        onu_lock(onu);
        memcpy(description, onu->description, sizeof description - 1);
        description[sizeof description - 1] = '\0';
        if (link_record *link = onu_find_link(onu, mac)) {
            link->state = ONU_STATE_REPORTTIMEOUT;
            link->state_time = uptime_seconds();
            onu_change_counter_bump();
        }
        onu_unlock(onu);
    }
    trace("%s: %s in REPORTTIMEOUT state\n", __func__, text);
    syslog(LOG_INFO, "%s: %s (desc: %s) in REPORTTIMEOUT state\n", __func__, text, description);
}

namespace {
std::mutex console_lock;   // leaf
char console_path[CONSOLE_PATH_MAX + 1] = "/dev/pts/0";
} // namespace

void tekhandlers_set_console(const char *path, size_t length)
{
    if (length > CONSOLE_PATH_MAX)
        length = CONSOLE_PATH_MAX;
    std::lock_guard<std::mutex> hold(console_lock);
    std::memcpy(console_path, path, length);
    console_path[length] = '\0';
}

void tekhandlers_console(char out[CONSOLE_PATH_MAX + 1])
{
    std::lock_guard<std::mutex> hold(console_lock);
    std::memcpy(out, console_path, sizeof console_path);
}

void console_handler(uint8_t *event)
{
    const byte_reader text = tekmsg_event_data(event);
    char terminal[CONSOLE_PATH_MAX + 1];
    tekhandlers_console(terminal);
    std::string path = sandbox_path(terminal);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 1) {
        if (fd == 0)
            close(fd);
        return;
    }
    ssize_t written = write(fd, text.position(), text.left());
    (void)written;   // console text is best effort
    close(fd);
}

void duplicate_onu_mac_handler(uint8_t *event)
{
    int olt = tekmsg_olt(event);
    byte_reader in = tekmsg_event_data(event);
    uint8_t mac[6];
    in.bytes(mac, 6);
    if (!decoded(in, event, __func__))
        return;
    char text[18];
    convert_to_mac(text, mac);
    syslog(LOG_INFO, "%s: Duplicate link %s (OLT [%d])\n", __func__, text, olt);
}
