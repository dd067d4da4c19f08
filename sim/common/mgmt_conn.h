// Socket helpers for the simulators' end of the management link: listening,
// connecting, and whole messages in and out, framed by the same codec the
// daemon uses (kernmsg.h). Blocking calls; each socket belongs to one thread
// at a time.
#pragma once

#include "wire/kernmsg.h"

#include <cstdint>
#include <string>
#include <vector>

// Listening sockets: a UNIX stream socket at `path` (an old socket file is
// replaced) or TCP on 127.0.0.1:`port`. The descriptor, or -1.
int mgmt_listen_unix(const std::string &path);
int mgmt_listen_tcp(uint16_t port);
// A connection to the UNIX stream socket at `path`, or -1.
int mgmt_connect_unix(const std::string &path);

// One whole message (header and payload) from `fd` into `msg`; messages of
// more than `cap` bytes are refused. A kernmsg_frame_result.
int mgmt_read_message(int fd, std::vector<uint8_t> &msg, size_t cap = KERNMSG_RX_BUFFER);
// Writes all of `data`. 0, or -1.
int mgmt_write_all(int fd, const uint8_t *data, size_t size);
inline int mgmt_write_all(int fd, const std::vector<uint8_t> &data)
{
    return mgmt_write_all(fd, data.data(), data.size());
}

// Writes header (its len set to `payload.size()`) and payload as one
// message without copying them together. 0, or -1.
int mgmt_write_message(int fd, kernmsg_header header, const std::vector<uint8_t> &payload);

// Header (its len set to `payload.size()`) followed by the payload.
std::vector<uint8_t> mgmt_build(kernmsg_header header, const std::vector<uint8_t> &payload = {});
inline kernmsg_header mgmt_header(const std::vector<uint8_t> &msg) { return kernmsg_header_decode(msg.data()); }
inline std::vector<uint8_t> mgmt_payload(const std::vector<uint8_t> &msg)
{
    return std::vector<uint8_t>(msg.begin() + KERNMSG_HEADER_SIZE, msg.end());
}

// "0A 1B ..." (any spacing) to bytes; false on a character that is not hex
// or an odd digit count.
bool mgmt_parse_hex(const std::string &text, std::vector<uint8_t> &out);
