// RADIUS mode of ONU authentication: the two places where an ONU's EAP-MD5
// exchange is relayed to the RADIUS server instead of being checked here.
//
// - radius_authorization_identity: the start of authorization opens the
//   conversation; the server's challenge is what the ONU is sent.
// - radius_eap_check: the ONU's answer goes to the server; on acceptance the
//   ONU's configuration comes from the server's vendor attributes.
//
// The first is an entry of the ONU configuration's steps (a layer below),
// installed by main.cpp; the EAP frame handler calls the second. They run
// with the ONU record held (profiler thread, chip event thread) and take
// radius_lock inside it for the exchange.
#pragma once

#include <cstddef>
#include <cstdint>

struct onu_record;

// The EAP request an ONU is sent: an MD5 challenge is 22 bytes.
constexpr size_t RADIUS_ONU_EAP_REQUEST = 22;
// Configuration flag word: the ONU was authenticated by RADIUS.
constexpr uint32_t ONU_CFG_RADIUS_AUTH = 1u << 15;
// Results of the check, as the EAP frame handler reads them.
enum : int { RADIUS_CHECK_OK = 0, RADIUS_CHECK_FAILED = 3, RADIUS_CHECK_CONFIG_FAILED = 12 };

// The identity request for `onu` (the caller holds it): the RADIUS code; on
// 11 `eap` (RADIUS_ONU_EAP_REQUEST bytes) holds the start of the server's
// EAP request and the ONU record's State the server's State.
int radius_authorization_identity(onu_record *onu, uint8_t *eap);

// The ONU's EAP answer (`size` bytes of `eap`) relayed with its State: 0
// authenticated (the server's EAP packet, cut to `answer_size`, in
// `answer`); 3 refused, unanswered or not believed (EAP Failure in
// `answer`); 12 accepted, but the configuration from the server could not be
// stored (the server's EAP packet in `answer`). The ONU's State is spent
// (sixteen 0xFF bytes) once the server accepted.
int radius_eap_check(onu_record *onu, const uint8_t *eap, size_t size, uint8_t *answer, size_t answer_size);
