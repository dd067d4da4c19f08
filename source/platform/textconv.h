// Text forms of MAC and IPv4 addresses, as the management process and the
// configuration module write them.
#pragma once

#include <cstdint>

// Six hexadecimal numbers, each followed by one separator character of any
// kind ("00:0D:B6:01:02:03", "00-0d-b6-01-02-03"); one byte each.
void convert_mac(uint8_t out[6], const char *text);
// Four decimal numbers with one separator after each of the first three;
// an empty text gives 255.255.255.255.
void convert_ip(uint8_t out[4], const char *text);
// "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X"; `out` holds at least 18 bytes.
void convert_to_mac(char *out, const uint8_t mac[6]);
// "%d.%d.%d.%d"; `out` holds at least 16 bytes.
void convert_to_ip(char *out, const uint8_t ip[4]);
// Upper-cases `text` in place.
void convert_to_upper(char *text);
