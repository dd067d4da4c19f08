#!/usr/bin/env python3
"""Checks tools/wireshark/zandrel.lua under tshark: writes a capture of
known chip-link datagrams and management-link segments (raw IPv4 on
loopback addresses), lets tshark decode it with the dissector and compares
the decoded fields of every frame with the expected ones.

Exit 77 (skipped) when tshark is not installed."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LUA = os.path.join(ROOT, "tools", "wireshark", "zandrel.lua")
SKIP = 77

HOST, CHIP0, CHIP1, CHIP2 = "127.0.255.100", "127.0.255.1", "127.0.255.2", "127.0.255.3"
MGMT_CLIENT, MGMT_SERVER = ("127.0.0.1", 40000), ("127.0.0.1", 7001)


def h(text):
    """Annotated hex: the bytes before each '|' comment on a line."""
    return bytes.fromhex("".join(line.split("|")[0] for line in text.strip().splitlines()))


def ip4(a):
    return bytes(int(x) for x in a.split("."))


def ipv4(src, dst, proto, payload):
    head = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0x4000, 64, proto, 0, ip4(src), ip4(dst))
    s = sum(struct.unpack("!10H", head))
    s = (s & 0xFFFF) + (s >> 16)
    s = (s & 0xFFFF) + (s >> 16)
    return head[:10] + struct.pack("!H", ~s & 0xFFFF) + head[12:] + payload


def udp(src, dst, payload, sport=14113, dport=14113):
    return ipv4(src, dst, 17, struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload)


class TcpStream:
    """One management connection; keeps each direction's sequence number."""
    def __init__(self):
        self.seq = {True: 1000, False: 5000}

    def segment(self, to_server, payload):
        (sa, sp), (da, dp) = (MGMT_CLIENT, MGMT_SERVER) if to_server else (MGMT_SERVER, MGMT_CLIENT)
        head = struct.pack("!HHIIBBHHH", sp, dp, self.seq[to_server], self.seq[not to_server],
                           5 << 4, 0x18, 65535, 0, 0)
        self.seq[to_server] += len(payload)
        return ipv4(sa, da, 6, head + payload)


def pcap(frames):
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101)   # raw IPv4
    for i, f in enumerate(frames):
        out += struct.pack("<IIII", 1700000000 + i, 0, len(f), len(f)) + f
    return out


def notification(code, nums, text):
    return bytes([code]) + struct.pack("<4I", *nums) + text.encode().ljust(256, b"\0")


def mgmt_header(cmd, tag, mtype, src, dst, rcode, length, magic=0xA548A548):
    return struct.pack("<HHBBBBII", cmd, tag, mtype, src, dst, rcode, length, magic)


# Each case: a name, the frame, and the fields expected in that frame as
# (field, shown text or value). A field expected to be absent is given None.
tcp = TcpStream()
notify = mgmt_header(10, 7, 2, 1, 5, 0, 273) + notification(155, (3, 12, 0, 0), '00:0D:B6:00:00:01 OK "desc"')
config_request = mgmt_header(0x2001, 8, 0, 1, 2, 0, 4) + h("01 02 03 04")
config_answer = mgmt_header(0x2001, 8, 1, 2, 1, 8, 0)
notify_then_answers = (mgmt_header(10, 20, 2, 1, 5, 0, 273) + notification(129, (0, 0, 0, 0), "")
                 + b"".join(mgmt_header(0x2022, t, 1, 2, 1, 0, 0) for t in (21, 22)))
CASES = [
    ("TFTP WRQ to the OLT", udp(HOST, CHIP0, h("""
        00 0B | ID 0x000B TFTP to the OLT
        00 05 | CTAG 5
        00 0C | LEN 12
        00 02 | TFTP WRQ
        61 70 70 00 | "app"
        6F 63 74 65 74 00 | "octet"
        """)),
     [("zandrel_chip.direction", "host to chip (0)"), ("zandrel_chip.id", "TFTP_OLT (0x000b)"), ("zandrel_chip.ctag", "5"),
      ("zandrel_chip.len", "12"), ("zandrel_chip.rcode", None), ("zandrel_chip.tftp.opcode", "WRQ (2)"),
      ("zandrel_chip.tftp.file", "app"), ("zandrel_chip.tftp.mode", "octet"),
      ("@info", "Request TFTP_OLT CTAG 5, TFTP WRQ \"app\"")]),
    ("its ACK 0", udp(CHIP0, HOST, h("""
        00 0B 00 05 00 06 | ID, CTAG 5, LEN 6
        00 00 | RCODE 0
        00 04 00 00 | TFTP ACK 0
        """)),
     [("zandrel_chip.direction", "chip to host (1)"), ("zandrel_chip.rcode", "OK (0)"), ("zandrel_chip.tftp.opcode", "ACK (4)"),
      ("zandrel_chip.tftp.block", "0")]),
    ("TFTP DATA to an ONU", udp(HOST, CHIP1, h("""
        00 14 00 06 00 0E | ID 0x0014 TFTP to an ONU, CTAG 6, LEN 14
        00 0D B6 00 00 01 | ONU MAC
        00 03 00 01 | DATA block 1
        DE AD BE EF | 4 data bytes
        """)),
     [("zandrel_chip.id", "TFTP_ONU (0x0014)"), ("zandrel_chip.onu_mac", "00:0d:b6:00:00:01"),
      ("zandrel_chip.tftp.opcode", "DATA (3)"), ("zandrel_chip.tftp.block", "1"),
      ("zandrel_chip.tftp.data_len", "4")]),
    ("the ONU's ACK, after the MAC", udp(CHIP1, HOST, h("""
        00 14 00 06 00 0C | CTAG 6, LEN 12
        00 00 | RCODE 0
        00 0D B6 00 00 01 | ONU MAC
        00 04 00 01 | ACK 1
        """)),
     [("zandrel_chip.onu_mac", "00:0d:b6:00:00:01"), ("zandrel_chip.tftp.opcode", "ACK (4)"),
      ("zandrel_chip.tftp.block", "1")]),
    ("RCODE 11 names the silent ONU", udp(CHIP0, HOST, h("00 93 00 07 00 02 | ONU_CONFIG_START, CTAG 7\n 00 0B | RCODE 11")),
     [("zandrel_chip.id", "ONU_CONFIG_START (0x0093)"), ("zandrel_chip.rcode", "No ONU Response (11)"),
      ("@expert", "The chip refused the request")]),
    ("RCODE above 15 is Invalid", udp(CHIP0, HOST, h("01 01 00 08 00 02 | unnamed ID 0x0101\n 00 10 | RCODE 16")),
     [("zandrel_chip.rcode", "Invalid (16)"), ("zandrel_chip.seqn", None)]),
    ("first fragment of a response", udp(CHIP0, HOST, h("""
        01 90 00 09 00 06 | PORT_RULES, CTAG 9, LEN 6
        00 0E 00 00 | RCODE 14, SEQN 0
        AA BB | data
        """)),
     [("zandrel_chip.rcode", "Multi part more to come (14)"), ("zandrel_chip.seqn", "0"),
      ("zandrel_chip.data", "aa:bb")]),
    ("last fragment", udp(CHIP0, HOST, h("01 90 00 09 00 05 | LEN 5\n 00 0F 00 01 | RCODE 15, SEQN 1\n CC")),
     [("zandrel_chip.rcode", "Multi part last (15)"), ("zandrel_chip.seqn", "1")]),
    ("OLT ready, a short event", udp(CHIP1, HOST, h("""
        80 00 00 00 00 11 | OLT ready, CTAG 0, LEN 17
        00 0D B6 37 23 01 | OLT MAC
        00 00 00 00 00 00 00 00 00 | bytes 6..14
        01 02 | version 0x0102
        """)),
     [("zandrel_chip.id", "OLT_READY (0x8000)"), ("zandrel_chip.rcode", None), ("zandrel_chip.olt_mac", "00:0d:b6:37:23:01"),
      ("zandrel_chip.version", "0x0102"), ("@info", "Event OLT_READY CTAG 0")]),
    ("link discovery, a long event in one fragment", udp(CHIP0, HOST, h("""
        80 19 00 00 00 18 | LINK_DISCOVERY, LEN 24
        00 0F 00 00 | RCODE 15, SEQN 0
        00 0D B6 00 00 02 | link MAC
        00 00 00 00 00 00 00 00 00 | bytes 6..14
        04 01 | LLID 1025
        00 00 | bytes 17..18
        01 | PON port 1
        """)),
     [("zandrel_chip.link_mac", "00:0d:b6:00:00:02"), ("zandrel_chip.llid", "1025"),
      ("zandrel_chip.pon_port", "1"), ("zandrel_chip.seqn", "0")]),
    ("registration attempt: chip, port, link and LLID", udp(CHIP0, HOST, h("""
        80 14 00 00 00 14 | REGISTRATION, LEN 20
        00 0F 00 00 | RCODE 15, SEQN 0
        00 0D B6 37 23 00 | OLT MAC
        00 01 | 0, PON port 1
        00 0D B6 00 00 03 | link MAC
        0C 02 | LLID 3074
        """)),
     [("zandrel_chip.olt_mac", "00:0d:b6:37:23:00"), ("zandrel_chip.pon_port", "1"),
      ("zandrel_chip.link_mac", "00:0d:b6:00:00:03"), ("zandrel_chip.llid", "3074")]),
    ("its acceptance echoes it", udp(HOST, CHIP0, h("""
        01 27 00 21 00 10 | REGISTRATION_ACCEPT, CTAG 33, LEN 16
        00 0D B6 37 23 00 00 01 00 0D B6 00 00 03 0C 02 | the attempt's data
        """)),
     [("zandrel_chip.olt_mac", "00:0d:b6:37:23:00"), ("zandrel_chip.pon_port", "1"),
      ("zandrel_chip.link_mac", "00:0d:b6:00:00:03"), ("zandrel_chip.llid", "3074")]),
    ("link alarm", udp(CHIP0, HOST, h("80 1A 00 00 00 0C | ALARM, LEN 12\n 00 0F 00 00 | RCODE 15, SEQN 0\n"
                                      " 07 | tag 7 link alarm\n 00 0D B6 00 00 02 | MAC\n 17 | alarm 23")),
     [("zandrel_chip.alarm.tag", "link alarm (7)"), ("zandrel_chip.alarm.id", "23"), ("zandrel_chip.alarm.port", None)]),
    ("an event the daemon does not handle", udp(CHIP0, HOST, h("80 05 00 00 00 00 | ID 0x8005, LEN 0")),
     [("zandrel_chip.id", "Unknown (0x8005)"), ("@info", "Event 0x8005 CTAG 0")]),
    ("LEN beyond the datagram", udp(CHIP0, HOST, h("00 0B 00 0A 00 0A | LEN 10\n 00 00 | RCODE 0 and nothing else")),
     [("zandrel_chip.rcode", "OK (0)"), ("@expert", "LEN + 6 differs from the datagram's length")]),
    ("datagram cut inside RCODE", udp(CHIP0, HOST, h("00 0B 00 0B 00 02 | LEN 2\n 00 | half an RCODE")),
     [("zandrel_chip.rcode", None), ("@expert", "Datagram too short for its fields")]),
    ("another port, by preference", udp(HOST, CHIP0, h("00 08 00 0C 00 00 | OLT_START, LEN 0"), 15000, 15000),
     [("zandrel_chip.id", "OLT_START (0x0008)")]),
    # Host at 127.0.0.1, whose last octet is a chip's too: the end seen
    # sending an event is the chip.
    ("console text from a chip", udp(CHIP2, "127.0.0.1", h("80 29 00 00 00 06 | CONSOLE, LEN 6\n"
                                                           " 00 0F 00 00 | RCODE 15, SEQN 0\n 68 69 | \"hi\"")),
     [("zandrel_chip.console", "hi"), ("zandrel_chip.direction", "chip to host (1)")]),
    ("request to that chip", udp("127.0.0.1", CHIP2, h("00 53 00 0D 00 00 | ONU_RESET, LEN 0")),
     [("zandrel_chip.direction", "host to chip (0)"), ("@info", "Request ONU_RESET CTAG 13")]),
    ("its response", udp(CHIP2, "127.0.0.1", h("00 53 00 0D 00 02 | LEN 2\n 00 04 | RCODE 4")),
     [("zandrel_chip.direction", "chip to host (1)"), ("zandrel_chip.rcode", "Command failed (4)")]),
    ("neither end a chip", udp("127.0.0.5", "127.0.0.6", h("00 53 00 0E 00 00 | ONU_RESET, LEN 0")),
     [("zandrel_chip.direction", "unknown (2)"), ("zandrel_chip.rcode", None),
      ("@expert", "Cannot tell the chip's end from the host's")]),
    ("request to the configuration module", tcp.segment(True, config_request),
     [("zandrel_mgmt.cmd", "0x2001"), ("zandrel_mgmt.cmd_name", "ONT_CONFIG"), ("zandrel_mgmt.type", "request (0)"),
      ("zandrel_mgmt.src", "chipset module (1)"), ("zandrel_mgmt.dst", "config module (2)"),
      ("zandrel_mgmt.len", "4"), ("zandrel_mgmt.magic", "0xa548a548")]),
    ("answer with result 8", tcp.segment(False, config_answer),
     [("zandrel_mgmt.type", "answer (1)"), ("zandrel_mgmt.rcode", "8"), ("@expert", "Answer with a non-zero result code")]),
    ("notification, header in one segment", tcp.segment(False, notify[:10]), [("zandrel_mgmt.cmd", None)]),
    ("notification, rest in the next: reassembled", tcp.segment(False, notify[10:] + config_answer),
     [("zandrel_mgmt.cmd", ["0x000a", "0x2001"]), ("zandrel_mgmt.cmd_name", ["NOTIFY", "ONT_CONFIG"]),
      ("zandrel_mgmt.dst", ["SNMP module (5)", "chipset module (1)"]),
      ("zandrel_mgmt.notify.code", "ONU_STATE (155)"), ("zandrel_mgmt.notify.num", ["3", "12", "0", "0"]),
      ("zandrel_mgmt.notify.text", '00:0D:B6:00:00:01 OK "desc"')]),
    ("start of a notification", tcp.segment(False, notify_then_answers[:100]), [("zandrel_mgmt.tag", None)]),
    ("its rest and two more messages, each in the info column", tcp.segment(False, notify_then_answers[100:]),
     [("zandrel_mgmt.tag", ["20", "21", "22"]),
      ("@info", "; ".join(['notification 0x000A NOTIFY tag 20 chipset module > SNMP module: '
                           'event ONU_CONFIGURE_OK (129) 0 0 ""']
                          + [f"answer 0x2022 FETCH tag {t} config module > chipset module rcode 0"
                             for t in (21, 22)]))]),
    ("unknown module, bad magic", tcp.segment(True, mgmt_header(9, 9, 0, 12, 1, 0, 0, 0x48A548A5)),
     [("zandrel_mgmt.src", "invalid (12)"), ("@expert", "Bad magic: the receiver closes the connection")]),
]


def decode(path):
    cmd = ["tshark", "-X", "lua_script:" + LUA, "-o", "zandrel_chip.ports:14113,15000",
           "-n", "-r", path, "-T", "pdml"]
    run = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    noise = [l for l in run.stderr.splitlines() if l.strip() and "Running as user" not in l]
    if run.returncode != 0 or noise:
        sys.exit("tshark failed:\n" + run.stderr)
    frames = []
    for packet in ET.fromstring(run.stdout).iter("packet"):
        fields = {}
        for f in packet.iter("field"):
            name = f.get("name")
            if name == "_ws.expert.message":
                fields.setdefault("@expert", []).append(f.get("show"))
            elif name.startswith("zandrel_"):
                show, value = f.get("show"), f.get("showname", "")
                # Named values show as "name (number)": keep that form, as the GUI does.
                if ": " in value and "(" in value and not value.endswith(": " + show):
                    show = value.split(": ", 1)[1]
                fields.setdefault(name, []).append(show)
        for proto in packet.iter("proto"):
            if proto.get("name") == "_ws.expert":
                for f in proto.iter("field"):
                    fields.setdefault("@expert", []).append(f.get("showname", ""))
        frames.append(fields)
    return frames


def info_column(path):
    run = subprocess.run(["tshark", "-X", "lua_script:" + LUA, "-o", "zandrel_chip.ports:14113,15000",
                          "-r", path, "-T", "fields", "-e", "_ws.col.Info"],
                         capture_output=True, text=True, timeout=120)
    return run.stdout.splitlines()


# Without events to go by, a host on 127.0.0.1 and chip 1 both look like
# chips; the chip network preference settles which end is which.
NET_CASES = [
    (udp("127.0.0.1", CHIP1, h("00 53 00 01 00 00 | ONU_RESET, CTAG 1, LEN 0")), "2", "0"),
    (udp(CHIP1, "127.0.0.1", h("00 53 00 01 00 02 | LEN 2\n 00 00 | RCODE 0")), "2", "1"),
]


def directions(path, *options):
    run = subprocess.run(["tshark", "-X", "lua_script:" + LUA, *options, "-r", path,
                          "-T", "fields", "-e", "zandrel_chip.direction"],
                         capture_output=True, text=True, timeout=120)
    return run.stdout.split()


def check_chip_net(tmp):
    path = os.path.join(tmp, "net.pcap")
    with open(path, "wb") as f:
        f.write(pcap([frame for frame, _, _ in NET_CASES]))
    failures = 0
    for options, column in (((), 1), (("-o", "zandrel_chip.chip_net:127.0.255"), 2)):
        want = [case[column] for case in NET_CASES]
        have = directions(path, *options)
        if have != want:
            failures += 1
            print(f"FAIL chip network {options}: directions {have}, expected {want}")
    return failures


def main():
    if not shutil.which("tshark"):
        print("tshark is not installed (scripts/setup installs it): skipped")
        return SKIP
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "zandrel.pcap")
        with open(path, "wb") as f:
            f.write(pcap([frame for _, frame, _ in CASES]))
        frames = decode(path)
        infos = info_column(path)
        failures += check_chip_net(tmp)
    if len(frames) != len(CASES):
        print(f"tshark decoded {len(frames)} frames, {len(CASES)} written")
        return 1
    for (name, _, expected), got, info in zip(CASES, frames, infos):
        got["@info"] = [info]
        for field, want in expected:
            have = got.get(field)
            if field == "@expert":
                ok = have is not None and any(want in e for e in have)
            elif want is None:
                ok = have is None
            elif isinstance(want, list):
                ok = have == want
            elif field == "@info":
                ok = have is not None and have[0].startswith(want)
                ok = ok and (";" in have[0]) == (";" in want)
            else:
                ok = have == [want]
            if not ok:
                failures += 1
                print(f"FAIL {name}: {field} is {have}, expected {want}")
    print(f"wireshark dissector: {len(CASES) + len(NET_CASES)} frames checked, {failures} mismatches")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
