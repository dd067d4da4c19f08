// Chip event processing: the chip event thread takes every complete event
// from the chip link's events queue and handles it: OLT ready (firmware
// check, then reconfiguration), registration attempts, link discoveries,
// alarms, console text and duplicate links. A ready event first releases
// the ONU records of its OLT (a chip that restarted holds nothing for them
// any more), then the OLT is checked and reconfigured. Heavy work goes to the
// provisioning engine's queues; the thread never configures anything.
// EAP frames go to authentication (eapframe_handler), new OLT images to the
// chip's TFTP transfers.
//
// Threads: the chip event thread (started at start-up right after the
// chip link, tekhandlers_start; stopped by tekhandlers_stop) is the only
// caller in the daemon; tests and the fuzz target call events_process on
// their own thread.
//
// Locks: an OLT event takes the OLT record's lock for its changes (and the
// firmware check holds it across the image upgrades, whose chip requests
// take the chip link's send lock inside it). Link and ONU events take one
// ONU record's lock at a time. Answers to the chip are sent with no record
// lock held.
//
// Every handler reads its fields through the event's real data size (the
// block's size bounds what LEN claims); an event too short for its fields
// is dropped with a trace line.
#pragma once

#include "wire/ids.h"

#include <cstddef>
#include <cstdint>

// Answers to the chip.
constexpr int TEKHANDLERS_CHIP_TIMEOUT = 2;
constexpr unsigned EVENTS_PAUSE_MS = 10;     // about 100 events a second

// Event data fields.
constexpr size_t OLT_READY_MAC = 0;
constexpr size_t OLT_READY_VERSION = 15;       // u16 BE
constexpr size_t REGISTRATION_LINK_MAC = 8;
constexpr size_t ALARM_TAG = 0;
constexpr size_t ALARM_MAC = 1;
constexpr uint8_t ALARM_TAG_PORT = 2;
constexpr size_t ALARM_PORT = 7;               // u16 BE
constexpr size_t ALARM_PORT_ID = 9;
constexpr size_t ALARM_PORT_VALUE = 10;
constexpr uint8_t ALARM_PORT_LINK_STATE = 17;
constexpr uint8_t ALARM_TAG_LINK = 7;
constexpr size_t ALARM_LINK_ID = 7;
constexpr uint8_t ALARM_LINK_REPORT_TIMEOUT = 23;
constexpr size_t UNI_STATUS_LINK = 1;          // second status byte of a UNI entry

// The OLT application image, whose version (u16 at byte 2) the chips must run.
constexpr const char *OLT_APP_IMAGE = "/usr/local/share/tk3723app.tkf";
constexpr const char *OLT_BOOT_IMAGE = "/usr/local/share/tk3723boot.tkf";
constexpr const char *CONSOLE_TERMINAL = "/dev/pts/0";   // until a console command names another
constexpr size_t CONSOLE_PATH_MAX = 63;

// The terminal the chips' console text goes to: set by the console command,
// read by the event thread. At most CONSOLE_PATH_MAX characters are kept.
void tekhandlers_set_console(const char *path, size_t length);
void tekhandlers_console(char out[CONSOLE_PATH_MAX + 1]);

// Starts the chip event thread. 0, or -1. Start-up, after teklink_init.
int tekhandlers_start();
// Stops the chip event thread and waits for it; the event being handled is
// finished, the queue keeps the rest. Before teklink_close. Safe to call
// when no thread runs.
void tekhandlers_stop();

// Events the chip event thread took from the queue and handled since the
// start of the process; each was followed by the thread's 10 ms pause, so
// this times the pause is the least the events can have taken. Read without
// a lock; it only grows.
unsigned long tekhandlers_events_handled();

// Handles one event block (a teklink_msg from the events queue). The caller
// frees the block afterwards.
void events_process(uint8_t *event);

// The handlers, each given the event block.
void oltfwupdate_handler(uint8_t *event);
void oltready_handler(uint8_t *event);
void registrationattempt_handler(uint8_t *event);
void linkdiscovery_handler(uint8_t *event);
void alarm_handler(uint8_t *event);
void alarm_oltlink(uint8_t *event);
void console_handler(uint8_t *event);
void duplicate_onu_mac_handler(uint8_t *event);

// Version of the application image file: the u16 at byte 2 (little-endian,
// as the board writes it), 0 when the file cannot be read.
uint16_t olt_app_image_version();
// Reads `path` (a board path) whole and hands it to `upgrade` for OLT `olt`.
// 0, or TFTP_IMAGE_FAILED when the file cannot be read, there is no upgrader or it failed.
int olt_upgrade_from_file(int olt, const char *path, int (*upgrade)(int, const uint8_t *, size_t));
