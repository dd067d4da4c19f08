#!/usr/bin/env python3
"""Checks tools/wireshark/zandrel.lua under tshark: writes a capture of
chip-link datagrams (tests/vectors/tools/dissector.hex) and management-link
segments on loopback addresses, lets tshark decode it with the dissector and
compares the decoded fields of every frame with the expected ones.

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
TSHARK = ["tshark", "-X", "lua_script:" + LUA, "-o", "zandrel_chip.ports:14113,15000", "-n"]

H, C0, C1, C2, LO = "127.0.255.100", "127.0.255.1", "127.0.255.2", "127.0.255.3", "127.0.0.1"
MGMT_CLIENT, MGMT_SERVER = (LO, 40000), (LO, 7001)


def vectors(path):
    """The "[name]" sections of an annotated hex file as bytes."""
    text, name = {}, None
    for line in open(path):
        line = line.split("#")[0]
        if line.strip().startswith("["):
            name = line.strip()[1:line.strip().index("]")]
            text[name] = ""
        elif name:
            text[name] += line
    return {n: bytes.fromhex(t.replace("|", "")) for n, t in text.items()}


def ipv4(src, dst, proto, payload):
    head = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0x4000, 64, proto, 0,
                       bytes(map(int, src.split("."))), bytes(map(int, dst.split("."))))
    s = sum(struct.unpack("!10H", head))
    for _ in range(2):
        s = (s & 0xFFFF) + (s >> 16)
    return head[:10] + struct.pack("!H", ~s & 0xFFFF) + head[12:] + payload


def udp(src, dst, payload, port=14113):
    return ipv4(src, dst, 17, struct.pack("!HHHH", port, port, 8 + len(payload), 0) + payload)


SEQ = {True: 1000, False: 5000}   # the management connection's next sequence numbers


def tcp(to_server, payload):
    (sa, sp), (da, dp) = (MGMT_CLIENT, MGMT_SERVER) if to_server else (MGMT_SERVER, MGMT_CLIENT)
    head = struct.pack("!HHIIBBHHH", sp, dp, SEQ[to_server], SEQ[not to_server], 5 << 4, 0x18, 65535, 0, 0)
    SEQ[to_server] += len(payload)
    return ipv4(sa, da, 6, head + payload)


def mgmt(cmd, tag, mtype, src, dst, rcode, length, magic=0xA548A548):
    return struct.pack("<HHBBBBII", cmd, tag, mtype, src, dst, rcode, length, magic)


def notification(tag, code, nums, text):
    return mgmt(10, tag, 2, 1, 5, 0, 273) + bytes([code]) + struct.pack("<4I", *nums) + text.encode().ljust(256, b"\0")


# Chip datagrams: the vector's name, source, destination, and the fields
# expected in the frame as (field, shown text); None for a field that must
# be absent, a list for a field shown more than once.
CHIP = [
    ("TFTP WRQ to the OLT", H, C0, [("chip.direction", "host to chip (0)"), ("chip.id", "TFTP_OLT (0x000b)"),
        ("chip.rcode", None), ("chip.tftp.opcode", "WRQ (2)"), ("chip.tftp.file", "app"), ("chip.tftp.mode", "octet"),
        ("@info", 'Request TFTP_OLT CTAG 5, TFTP WRQ "app"')]),
    ("its ACK 0", C0, H, [("chip.direction", "chip to host (1)"), ("chip.rcode", "OK (0)"), ("chip.tftp.block", "0")]),
    ("TFTP DATA to an ONU", H, C1, [("chip.onu_mac", "00:0d:b6:00:00:01"), ("chip.tftp.opcode", "DATA (3)"),
        ("chip.tftp.block", "1"), ("chip.tftp.data_len", "4")]),
    ("the ONU's ACK, after the MAC", C1, H, [("chip.onu_mac", "00:0d:b6:00:00:01"), ("chip.tftp.opcode", "ACK (4)")]),
    ("RCODE 11 names the silent ONU", C0, H, [("chip.id", "ONU_CONFIG_START (0x0093)"),
        ("chip.rcode", "No ONU Response (11)"), ("@expert", "The chip refused the request")]),
    ("RCODE above 15 is Invalid", C0, H, [("chip.rcode", "Invalid (16)"), ("chip.seqn", None)]),
    ("first fragment of a response", C0, H, [("chip.rcode", "Multi part more to come (14)"), ("chip.seqn", "0"),
        ("chip.data", "aa:bb")]),
    ("last fragment", C0, H, [("chip.rcode", "Multi part last (15)"), ("chip.seqn", "1")]),
    ("OLT ready, a short event", C1, H, [("chip.id", "OLT_READY (0x8000)"), ("chip.rcode", None),
        ("chip.olt_mac", "00:0d:b6:37:23:01"), ("chip.version", "0x0102"), ("@info", "Event OLT_READY CTAG 0")]),
    ("link discovery, a long event in one fragment", C0, H, [("chip.link_mac", "00:0d:b6:00:00:02"),
        ("chip.llid", "1025"), ("chip.pon_port", "1")]),
    ("registration attempt", C0, H, [("chip.olt_mac", "00:0d:b6:37:23:00"), ("chip.pon_port", "1"),
        ("chip.link_mac", "00:0d:b6:00:00:03"), ("chip.llid", "3074")]),
    ("its acceptance echoes it", H, C0, [("chip.olt_mac", "00:0d:b6:37:23:00"), ("chip.llid", "3074")]),
    ("link alarm", C0, H, [("chip.alarm.tag", "link alarm (7)"), ("chip.alarm.id", "23"), ("chip.alarm.port", None)]),
    ("an event the daemon does not handle", C0, H, [("chip.id", "Unknown (0x8005)"), ("@info", "Event 0x8005 CTAG 0")]),
    ("LEN beyond the datagram", C0, H, [("@expert", "LEN + 6 differs from the datagram's length")]),
    ("datagram cut inside RCODE", C0, H, [("chip.rcode", None), ("@expert", "Datagram too short for its fields")]),
    ("another port, by preference", H, C0, [("chip.id", "OLT_START (0x0008)")], 15000),
    # Host at 127.0.0.1, whose last octet is a chip's too: the end seen
    # sending an event is the chip.
    ("console text from a chip", C2, LO, [("chip.console", "hi"), ("chip.direction", "chip to host (1)")]),
    ("request to that chip", LO, C2, [("chip.direction", "host to chip (0)"), ("@info", "Request ONU_RESET CTAG 13")]),
    ("its response", C2, LO, [("chip.direction", "chip to host (1)"), ("chip.rcode", "Command failed (4)")]),
    ("neither end a chip", "127.0.0.5", "127.0.0.6", [("chip.direction", "unknown (2)"), ("chip.rcode", None),
        ("@expert", "Cannot tell the chip's end from the host's")]),
]

# Management segments: a notification split after its first 10 bytes, and
# one whose rest comes with two answers in the next segment.
notify = notification(7, 155, (3, 12, 0, 0), '00:0D:B6:00:00:01 OK "desc"')
answer = mgmt(0x2001, 8, 1, 2, 1, 8, 0)
three = notification(20, 129, (0, 0, 0, 0), "") + b"".join(mgmt(0x2022, t, 1, 2, 1, 0, 0) for t in (21, 22))
MGMT = [
    ("request to the configuration module", tcp(True, mgmt(0x2001, 8, 0, 1, 2, 0, 4) + b"\1\2\3\4"),
     [("mgmt.cmd_name", "ONT_CONFIG"), ("mgmt.type", "request (0)"), ("mgmt.src", "chipset module (1)"),
      ("mgmt.dst", "config module (2)"), ("mgmt.len", "4"), ("mgmt.magic", "0xa548a548")]),
    ("answer with result 8", tcp(False, answer),
     [("mgmt.type", "answer (1)"), ("mgmt.rcode", "8"), ("@expert", "Answer with a non-zero result code")]),
    ("notification, header in one segment", tcp(False, notify[:10]), [("mgmt.cmd", None)]),
    ("notification, rest in the next: reassembled", tcp(False, notify[10:] + answer),
     [("mgmt.cmd", ["0x000a", "0x2001"]), ("mgmt.dst", ["SNMP module (5)", "chipset module (1)"]),
      ("mgmt.notify.code", "ONU_STATE (155)"), ("mgmt.notify.num", ["3", "12", "0", "0"]),
      ("mgmt.notify.text", '00:0D:B6:00:00:01 OK "desc"')]),
    ("start of a notification", tcp(False, three[:100]), [("mgmt.tag", None)]),
    ("its rest and two more messages, each in the info column", tcp(False, three[100:]),
     [("mgmt.tag", ["20", "21", "22"]),
      ("@info", "; ".join(['notification 0x000A NOTIFY tag 20 chipset module > SNMP module: '
                           'event ONU_CONFIGURE_OK (129) 0 0 ""']
                          + [f"answer 0x2022 FETCH tag {t} config module > chipset module rcode 0"
                             for t in (21, 22)]))]),
    ("unknown module, bad magic", tcp(True, mgmt(9, 9, 0, 12, 1, 0, 0, 0x48A548A5)),
     [("mgmt.src", "invalid (12)"), ("@expert", "Bad magic: the receiver closes the connection")]),
]


def pcap(path, frames):
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))   # raw IPv4
        for i, frame in enumerate(frames):
            f.write(struct.pack("<IIII", 1700000000 + i, 0, len(frame), len(frame)) + frame)


def decode(path, *options):
    """Each frame's zandrel fields, expert texts and info column."""
    run = subprocess.run(TSHARK + list(options) + ["-r", path, "-T", "pdml"], capture_output=True, text=True,
                         timeout=120)
    noise = [l for l in run.stderr.splitlines() if l.strip() and "Running as user" not in l]
    if run.returncode != 0 or noise:
        sys.exit("tshark failed:\n" + run.stderr)
    info = subprocess.run(TSHARK + list(options) + ["-r", path, "-T", "fields", "-e", "_ws.col.Info"],
                          capture_output=True, text=True, timeout=120).stdout.splitlines()
    frames = []
    for packet, line in zip(ET.fromstring(run.stdout).iter("packet"), info):
        fields = {"@info": [line]}
        for proto in packet.iter("proto"):
            if proto.get("name") == "_ws.expert":
                fields["@expert"] = [f.get("showname", "") for f in proto.iter("field")]
        for f in packet.iter("field"):
            name, show, value = f.get("name"), f.get("show"), f.get("showname", "")
            if name == "_ws.expert.message":
                fields.setdefault("@expert", []).append(show)
            elif name.startswith("zandrel_"):
                # Named values show as "name (number)": keep that form, as the GUI does.
                if ": " in value and "(" in value and not value.endswith(": " + show):
                    show = value.split(": ", 1)[1]
                fields.setdefault(name, []).append(show)
        frames.append(fields)
    return frames


def mismatches(name, got, expected):
    out = []
    for field, want in expected:
        have = got.get(field if field[0] == "@" else "zandrel_" + field)
        if field == "@expert":
            ok = have is not None and any(want in e for e in have)
        elif field == "@info":
            ok = have[0].startswith(want) and (";" in have[0]) == (";" in want)
        else:
            ok = have == (want if want is None or isinstance(want, list) else [want])
        if not ok:
            out.append(f"FAIL {name}: {field} is {have}, expected {want}")
    return out


def main():
    if not shutil.which("tshark"):
        print("tshark is not installed (scripts/setup installs it): skipped")
        return 77
    chip = vectors(os.path.join(ROOT, "tests", "vectors", "tools", "dissector.hex"))
    cases = [(n, udp(src, dst, chip[n], *port), want) for n, src, dst, want, *port in CHIP] + MGMT
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "zandrel.pcap")
        pcap(path, [frame for _, frame, _ in cases])
        frames = decode(path)
        if len(frames) != len(cases):
            failures.append(f"tshark decoded {len(frames)} frames, {len(cases)} written")
        for (name, _, want), got in zip(cases, frames):
            failures += mismatches(name, got, want)
        # Without events to go by, a host on 127.0.0.1 and chip 1 both look
        # like chips; the chip network preference settles which end is which.
        pcap(path, [udp(LO, C1, chip["reset from the host"]), udp(C1, LO, chip["reset answered"])])
        for options, want in (((), ["unknown (2)"] * 2), (("-o", "zandrel_chip.chip_net:127.0.255"),
                                                          ["host to chip (0)", "chip to host (1)"])):
            for i, got in enumerate(decode(path, *options)):
                failures += mismatches(f"chip network {options}", got, [("chip.direction", want[i])])
    print("\n".join(failures))
    print(f"wireshark dissector: {len(cases) + 4} frames checked, {len(failures)} mismatches")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
