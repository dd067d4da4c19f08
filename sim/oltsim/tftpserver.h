// oltsim's TFTP side: the chips' answers to TFTP carried in requests 0x000B
// (to the OLT itself) and 0x0014 (relayed to an ONU, MAC first).
//
// Writes: an OLT accepts "boot", "app" and "personality", an ONU "app" and
// "personality"; each completed write is kept per chip or ONU and file so a
// test can compare it with the image sent. Reads of "personality" serve a
// personality image per OLT and per ONU MAC: by default a valid long form
// (ONU: 2413 bytes, CRC big-endian; OLT: the chip's 1304-byte personality
// area, a 1288-byte image with its CRC little-endian and 16 zero bytes),
// or whatever a test sets. Fault switches drop the answer to a block, answer
// it with a non-zero RCODE, answer with the wrong TFTP opcode, or answer a
// read's ACK n with DATA n again (a chip that missed the ACK).
//
// Threads: the handlers run on the simulator's service thread; tests set
// images and faults and read results from theirs. One mutex guards it all.
#pragma once

#include "oltsim/oltsim.h"
#include "wire/tftp.h"

#include <array>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace oltsim {

using mac_address = std::array<uint8_t, 6>;

class tftp_server {
public:
    // Installs the handlers of 0x000B and 0x0014 on `sim`.
    explicit tftp_server(chipset &sim);

    // Personalities served from now on (a read in progress keeps its own).
    void set_olt_personality(int olt, bytes image);
    void set_onu_personality(const mac_address &mac, bytes image);

    // The bytes of the last completed write of `file`; empty when none.
    bytes olt_file(int olt, const std::string &file) const;
    bytes onu_file(const mac_address &mac, const std::string &file) const;

    // Faults for the next `times` requests of block `block`: for a write the
    // WRQ is block 0 and DATA k block k; for a read the RRQ is block 0 and
    // ACK n block n. They apply to OLTs and ONUs alike. `repeat` applies to
    // reads only: ACK n (n > 0) is answered with DATA n once more.
    enum class fault { drop, rcode, wrong_opcode, repeat };
    void fault_block(fault kind, uint16_t block, int times = 1);
    void clear_faults();

    // Every TFTP packet received, in order.
    struct packet_record {
        int olt;
        bool onu;
        uint16_t opcode;
        uint16_t block;      // DATA, ACK
        size_t size;         // DATA bytes
        std::string file;    // RRQ, WRQ
    };
    std::vector<packet_record> packets() const;
    void clear_packets();

    // Valid personality images, filled with a pattern from `seed`.
    static bytes make_onu_personality(size_t size, uint8_t seed = 1);
    static bytes make_olt_personality(size_t size, uint8_t seed = 1);

private:
    // OLT n is {n, false, zero MAC}; an ONU behind it {n, true, its MAC}.
    struct endpoint {
        int olt;
        bool onu;
        mac_address mac;
        bool operator<(const endpoint &o) const
        {
            return std::tie(olt, onu, mac) < std::tie(o.olt, o.onu, o.mac);
        }
    };
    struct transfer {
        enum { none, writing, reading } mode = none;
        std::string file;
        uint16_t next = 0;    // writing: DATA block expected; reading: last DATA sent
        bytes data;           // writing: received so far; reading: the image served
    };
    struct armed_fault {
        fault kind;
        uint16_t block;
        int left;
    };

    answer handle(int olt, bool onu, const request_record &request);
    // The TFTP answer to `in` from `who`; called with the lock held.
    bytes serve(const endpoint &who, const tftp_packet &in);

    mutable std::mutex lock_;
    std::map<endpoint, transfer> transfers_;
    std::map<std::pair<endpoint, std::string>, bytes> written_;
    std::map<int, bytes> olt_pers_;
    std::map<mac_address, bytes> onu_pers_;
    std::vector<armed_fault> faults_;
    std::vector<packet_record> packets_;
};

// The oltsim program's TFTP switches, beside the chips' (control.h):
//   tftp-drop B[:N]    drop the answers to block B, N times (default 1)
//   tftp-rcode B[:N]   answer block B with RCODE 4
//   tftp-opcode B[:N]  answer block B with the wrong TFTP opcode
//   tftp-dup B[:N]     answer a read's ACK B with DATA B again
//   tftp-clear         no TFTP faults
// 1 when applied, 0 when `name` is not a TFTP switch, -1 (with `error`)
// when its argument is malformed.
int tftp_control_apply(tftp_server &server, const std::string &name, const std::string &arg, std::string &error);
bool tftp_control_is_switch(const std::string &name);
bool tftp_control_takes_argument(const std::string &name);
const char *tftp_control_usage();

} // namespace oltsim
