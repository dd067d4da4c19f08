// EAP-MD5 authentication of ONUs: the answer an ONU sends to the daemon's
// MD5 challenge arrives as a chip event; the handler checks it (locally
// against the ONU's secret, or through RADIUS), answers the ONU with EAP
// Success or Failure and, once the ONU is authenticated, runs the first
// configuration steps (ONT configuration, queue check, ONU discovery).
//
// Threads: the chip event thread calls eapframe_handler; it holds the ONU
// record's lock from the check to the answer, so the configuration steps
// and the RADIUS exchange run under it. The chip link's send lock is taken
// innermost. The event block belongs to the caller; the answer request
// and its response are pool blocks freed here.
#pragma once

#include "wire/ids.h"

#include <cstddef>
#include <cstdint>

struct onu_record;

constexpr uint8_t EAP_CODE_REQUEST = 1;
constexpr uint8_t EAP_CODE_RESPONSE = 2;
constexpr uint8_t EAP_CODE_SUCCESS = 3;
constexpr uint8_t EAP_CODE_FAILURE = 4;
constexpr uint8_t EAP_TYPE_MD5 = 4;
constexpr size_t EAP_MD5_VALUE = 6;        // offset of the 16-byte value in a response
constexpr size_t EAP_MD5_VALUE_SIZE = 16;
constexpr size_t EAP_ANSWER_SIZE = 4;      // Success / Failure
constexpr uint8_t EAP_LOCAL_IDENTIFIER = 1;

// Results of a check.
enum : int { EAP_AUTH_OK = 0, EAP_AUTH_FAILED = 3, EAP_AUTH_CONFIG_FAILED = 12 };

// The MD5 a right answer carries: of the identifier 1, the secret's
// characters and the 16 bytes of the challenge the ONU was sent.
void eap_md5_expected(const char *secret, const uint8_t challenge[EAP_MD5_VALUE_SIZE],
                      uint8_t digest[EAP_MD5_VALUE_SIZE]);

// Local mode: compares the answer's value (`eap`, `size` bytes) with the
// digest expected for `challenge`, writes Success or Failure (identifier 1,
// length 4) into `answer`. 0 on a match, 3 otherwise: a wrong value, an
// answer too short to hold one, or no challenge pending (NULL).
int compose_eap_packet_olt_internal(const char *secret, const uint8_t *challenge, const uint8_t *eap, size_t size,
                                    uint8_t answer[EAP_ANSWER_SIZE]);

// RADIUS mode: radius_eap_check (auth/radius_eap.h), same contract plus 12.

// Event 0x8003 (a `teklink_msg` block): ONU MAC, then the ONU's EAP packet.
void eapframe_handler(uint8_t *event);
