#!/usr/bin/env python3
"""Checks tools/wireshark/zandrel.lua under tshark: writes a capture of
chip-link datagrams (tests/vectors/tools/dissector.hex) and management-link
segments on loopback addresses, lets tshark decode it with the dissector and
compares the decoded fields of every frame with the ones
tests/vectors/tools/dissector_fields.txt expects.

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
VECTORS = os.path.join(ROOT, "tests", "vectors", "tools", "dissector")
TSHARK = ["tshark", "-X", "lua_script:" + LUA, "-o", "zandrel_chip.ports:14113,15000", "-n"]

C1, LO = "127.0.255.2", "127.0.0.1"
MGMT_CLIENT, MGMT_SERVER = (LO, 40000), (LO, 7001)


def sections(path):
    """The "[name] head" sections of an annotated file: (name, head words, body lines), comments dropped."""
    out = []
    for line in open(path):
        line = line.split("#")[0].strip()
        if line.startswith("["):
            name, head = line[1:].split("]", 1)
            out.append((name, head.split(), []))
        elif line and out:
            out[-1][2].append(line)
    return out


def ipv4(src, dst, proto, payload):   # checksum 0: tshark does not check it by default
    return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0x4000, 64, proto, 0,
                       bytes(map(int, src.split("."))), bytes(map(int, dst.split(".")))) + payload


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


# The management segments of the fields file's "mgmt" frames, in order:
# (to the server, payload). A notification split after its first 10 bytes,
# and one whose rest comes with two answers in the next segment.
notify = notification(7, 155, (3, 12, 0, 0), '00:0D:B6:00:00:01 OK "desc"')
answer = mgmt(0x2001, 8, 1, 2, 1, 8, 0)
three = notification(20, 129, (0, 0, 0, 0), "") + b"".join(mgmt(0x2022, t, 1, 2, 1, 0, 0) for t in (21, 22))
SEGMENTS = [(True, mgmt(0x2001, 8, 0, 1, 2, 0, 4) + b"\1\2\3\4"), (False, answer), (False, notify[:10]),
            (False, notify[10:] + answer), (False, three[:100]), (False, three[100:]),
            (True, mgmt(9, 9, 0, 12, 1, 0, 0, 0x48A548A5))]


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
    for field, want in expected.items():
        have = got.get(field if field[0] == "@" else "zandrel_" + field)
        if field == "@expert":
            ok = have is not None and any(want[0] in e for e in have)
        elif field == "@info":
            ok = have[0].startswith(want[0]) and (";" in have[0]) == (";" in want[0])
        else:
            ok = have == (want or None)
        if not ok:
            out.append(f"FAIL {name}: {field} is {have}, expected {want or None}")
    return out


def main():
    if not shutil.which("tshark"):
        print("tshark is not installed (scripts/setup installs it): skipped")
        return 77
    chip = {name: bytes.fromhex("".join(body).replace("|", "")) for name, _, body in sections(VECTORS + ".hex")}
    segments, cases = iter(SEGMENTS), []
    for name, head, body in sections(VECTORS + "_fields.txt"):
        want = {}
        for line in body:
            field, _, text = line.partition(" =")
            want.setdefault(field, []).extend([text.strip()] if text.strip() else [])
        if head == ["mgmt"]:
            frame = tcp(*next(segments))
        else:
            frame = udp(head[0], head[2], chip[name], *[int(p[1:]) for p in head[3:]])
        cases.append((name, frame, want))
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
                failures += mismatches(f"chip network {options}", got, {"chip.direction": [want[i]]})
    print("\n".join(failures))
    print(f"wireshark dissector: {len(cases) + 4} frames checked, {len(failures)} mismatches")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
