// Board paths and addresses, with the environment overrides that let the
// daemon run in a sandbox on an ordinary machine.
//
// On the board every value has its default. Tests, the simulators and outside
// tools set these variables (unset means the default):
//   ZANDREL_ROOT         directory put in front of every absolute path
//   ZANDREL_CHIP_NET     first three octets of the chip addresses (192.168.255)
//   ZANDREL_CHIP_BIND    local address of the chip socket (any)
//   ZANDREL_CHIP_PORT    UDP port of the chips and of the chip socket (14113)
//   ZANDREL_KERNEL_PORT  TCP port of the management link with -r 1 (7001)
//   ZANDREL_IFACE        interface whose MAC is the board MAC (eth0)
//   ZANDREL_LOG_STDERR   1: syslog lines also go to standard error
//   ZANDREL_TIME_SCALE   divisor of the daemon's delays, 1 to 1000 (1)
//   ZANDREL_CAPTURE      board path of a capture of both links, started at
//                        start-up (none; SIGUSR2 toggles capture at run time,
//                        here or at /tmp/zandrel.pcapng)
//   ZANDREL_CAPTURE_FILES  files in the capture's ring, 2 to 64 (4)
//   ZANDREL_CAPTURE_MIB  size of each of them in MiB, 1 to 256 (4)
//   ZANDREL_CAPTURE_RADIUS 1: RADIUS datagrams are captured too
// The variables are read on every call, so any thread may call these; a test
// sets them before it starts the module that reads them.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The board path `abs` ("/tmp/chip.sock") as seen in this run.
std::string sandbox_path(const char *abs);
// The same into a fixed buffer; -1 when it does not fit.
int sandbox_path(char *out, size_t size, const char *abs);

// Address of OLT chip `olt` (0..3): NET.(olt+1).
in_addr sandbox_chip_addr(int olt);
// Local address of the chip socket; INADDR_ANY unless overridden.
in_addr sandbox_chip_bind();
uint16_t sandbox_chip_port();
uint16_t sandbox_kernel_port();
const char *sandbox_iface();
bool sandbox_log_stderr();
// ZANDREL_TIME_SCALE: 1 to 1000, or 1 when unset or anything else.
unsigned sandbox_time_scale();
// ZANDREL_CAPTURE as set (a board path), or "" when unset.
const char *sandbox_capture_path();
// ZANDREL_CAPTURE_FILES and ZANDREL_CAPTURE_MIB: a number from `least` to
// `most`, or `fallback` when unset or anything else.
unsigned sandbox_capture_files(unsigned least, unsigned most, unsigned fallback);
unsigned sandbox_capture_mib(unsigned least, unsigned most, unsigned fallback);
bool sandbox_capture_radius();
