// The daemon's capture of its links: every chip datagram and every
// management message, both ways, as they cross the link, written to a
// pcapng file (wire/pcapng.h says how each link is framed). RADIUS traffic
// only with ZANDREL_CAPTURE_RADIUS=1.
//
// The file is a ring: PATH, PATH.1, ... PATH.(files-1), each a complete
// capture of at most `mib` MiB. When the next message would take PATH past
// that, the files move up one (the oldest is dropped) and a new PATH
// starts; a start does the same, so a restart keeps what the last run saw.
// Before each file is opened the free space of its folder is checked: with
// less than the file's size and a reserve (the larger of 1 MiB and a tenth
// of the file system) left, capture stops, and so it does on a write error,
// each time with a log line saying why; the daemon goes on without it.
//
// Off, a message costs the test of capture_on(), a relaxed load that
// callers put in front of the call:
//     if (capture_on()) [[unlikely]]
//         capture_chip(PCAPNG_OUT, chip.sin_addr, bytes, size);
// On, one mutex serialises the writes: each packet is one writev (block
// head, the bytes where they lie, block tail), so what was written before
// a crash is in the file whole. Management messages that hold secrets are
// copied and the secrets zeroed (capture_hooks.secrets) before they go in.
//
// Any thread. The lock is a leaf: nothing is taken under it.
#pragma once

#include "wire/pcapng.h"

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace capture_detail {
extern std::atomic<bool> on;
extern std::atomic<bool> radius_on;
}  // namespace capture_detail

inline bool capture_on() { return capture_detail::on.load(std::memory_order_relaxed); }
inline bool capture_radius_on() { return capture_detail::radius_on.load(std::memory_order_relaxed); }

// The bytes of a management message that must not reach the file.
struct capture_span {
    size_t offset;
    size_t length;
};
constexpr size_t CAPTURE_SPANS_MAX = 4;

// Where capture reaches the layers that know the messages' layouts;
// installed by main.cpp before the links start.
struct capture_hooks_t {
    // The secrets of the management message `msg` (header first, `length`
    // bytes): fills at most CAPTURE_SPANS_MAX spans (they may run past the
    // end; the capture cuts them) and returns how many.
    size_t (*secrets)(const uint8_t *msg, size_t length, capture_span *spans) = nullptr;
};
extern capture_hooks_t capture_hooks;

constexpr unsigned CAPTURE_FILES_DEFAULT = 4, CAPTURE_FILES_MIN = 2, CAPTURE_FILES_MAX = 64;
constexpr unsigned CAPTURE_MIB_DEFAULT = 4, CAPTURE_MIB_MAX = 256;
// The capture SIGUSR2 starts when ZANDREL_CAPTURE is not set.
constexpr const char *CAPTURE_DEFAULT_PATH = "/tmp/zandrel.pcapng";

// Starts capturing to the board path `path` (under ZANDREL_ROOT) with the
// ring of ZANDREL_CAPTURE_FILES and ZANDREL_CAPTURE_MIB, and RADIUS as
// ZANDREL_CAPTURE_RADIUS says. Logged. 0, or -1 (logged) when the file
// cannot be opened or the folder has no room; already on: 0.
int capture_start(const char *path);
// ZANDREL_CAPTURE's capture, when it is set: start-up calls it.
void capture_start_configured();
// Closes the file (logged with `why`). Safe when off.
void capture_stop(const char *why);
// SIGUSR2's work: on at ZANDREL_CAPTURE's path (else CAPTURE_DEFAULT_PATH),
// or off.
void capture_toggle();

// One chip datagram as sent to or received from the chip at `chip`.
void capture_chip(uint8_t direction, in_addr chip, const uint8_t *datagram, size_t length);
// One whole management message (header first) as the daemon sent
// (PCAPNG_OUT) or received (PCAPNG_IN) it.
void capture_mgmt(uint8_t direction, const uint8_t *msg, size_t length);
// One RADIUS datagram on socket `fd`, to or from `peer`.
void capture_radius(uint8_t direction, int fd, const sockaddr_in &peer, const uint8_t *datagram, size_t length);
