// Where the secrets lie in the management messages that carry them, so
// that the capture of the link (wire/capture.h) zeroes them: the ONU secret
// in the configuration module's answers to 0x2000 and 0x2001, in the ONU
// configuration the daemon sends (0x2009) and in the ONU record it answers
// with (0x2005); the RADIUS shared secret in the RADIUS settings (0x2029,
// and the settings answer of the full fetch 0x2022). main.cpp installs it
// as capture_hooks.secrets. A pure function of bytes.
#pragma once

#include "wire/capture.h"

#include <cstddef>
#include <cstdint>

size_t cmd_secret_spans(const uint8_t *msg, size_t length, capture_span *spans);
