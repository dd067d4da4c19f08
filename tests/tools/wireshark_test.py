#!/usr/bin/env python3
# Checks tools/wireshark/zandrel.lua under tshark.
#
# wireshark_test.py: writes a capture of the chip-link datagrams and
# management-link segments of tests/vectors/tools/dissector.hex on loopback
# addresses, lets tshark decode it with the dissector and compares the
# decoded fields of every frame with the ones
# tests/vectors/tools/dissector_fields.txt expects.
#
# wireshark_test.py FOLDER: decodes both links of the capture files the
# daemon wrote on the simulated board (every *.pcapng* file in FOLDER, each
# file of a ring on its own), on the dissector's default ports (no "decode
# as"): chip requests by name, answers with their RCODE, management messages
# by name and the notifications' events, nothing malformed.
#
# Exit 77 (skipped) when tshark is not installed.
import os, re, shutil, struct, subprocess, sys, tempfile
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TSHARK = ["tshark", "-X", "lua_script:" + os.path.join(ROOT, "tools", "wireshark", "zandrel.lua"), "-n"]
VECTORS = os.path.join(ROOT, "tests", "vectors", "tools", "dissector")
C1, LO = "127.0.255.2", "127.0.0.1"
SEQ = {True: 1000, False: 5000}   # the management connection's next sequence numbers, to the server and from it


# What tshark prints of the capture at `path`; any complaint of tshark's fails the test.
def tshark(path, *args):
    run = subprocess.run(TSHARK + list(args) + ["-r", path], capture_output=True, text=True, timeout=120)
    if run.returncode != 0 or [l for l in run.stderr.splitlines() if l.strip() and "Running as user" not in l]:
        sys.exit(f"tshark failed on {path}:\n" + run.stderr)
    return run.stdout


# The "[name] head" sections of an annotated file: (name, head words, body text), comments dropped.
def sections(path):
    found = re.findall(r"^\[(.*)\](.*)\n((?:(?!\[).*\n)*)", re.sub(r"#.*", "", open(path).read()), re.M)
    return [(name, head.split(), body) for name, head, body in found]


def ipv4(src, dst, proto, payload):   # checksum 0: tshark does not check it by default
    return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0x4000, 64, proto, 0,
                       bytes(map(int, src.split("."))), bytes(map(int, dst.split(".")))) + payload


def udp(src, dst, payload, port=14113):
    return ipv4(src, dst, 17, struct.pack("!HHHH", port, port, 8 + len(payload), 0) + payload)


def tcp(to_server, payload):
    ports = (40000, 7001) if to_server else (7001, 40000)
    head = struct.pack("!HHIIBBHHH", *ports, SEQ[to_server], SEQ[not to_server], 5 << 4, 0x18, 65535, 0, 0)
    SEQ[to_server] += len(payload)
    return ipv4(LO, LO, 6, head + payload)


# Each frame's fields, expert texts and info column, as tshark shows them.
def decode(frames, *options):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "zandrel.pcap")
        with open(path, "wb") as f:
            f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))   # raw IPv4
            for i, frame in enumerate(frames):
                f.write(struct.pack("<IIII", 1700000000 + i, 0, len(frame), len(frame)) + frame)
        options = ["-o", "zandrel_chip.ports:14113,15000"] + list(options)
        info = tshark(path, *options, "-T", "fields", "-e", "_ws.col.Info").splitlines()
        packets = ET.fromstring(tshark(path, *options, "-T", "pdml")).iter("packet")
    for packet, line in zip(packets, info):
        fields = {"@info": [line]}
        for f in packet.iter("field"):
            name, show, value = f.get("name"), f.get("show"), f.get("showname", "")
            # Named values show as "name (number)": keep that form, as the GUI does.
            if name.startswith("zandrel_") and ": " in value and "(" in value and not value.endswith(": " + show):
                show = value.split(": ", 1)[1]
            fields.setdefault("@expert" if name == "_ws.expert.message" else name, []).append(show)
        yield fields


def mismatches(name, got, expected):
    for field, want in expected.items():
        have = got.get(field if field[0] == "@" else "zandrel_" + field)
        if field == "@expert":
            ok = have is not None and any(want[0] in e for e in have)
        elif field == "@info":
            ok = have[0].startswith(want[0]) and (";" in have[0]) == (";" in want[0])
        else:
            ok = have == (want or None)
        if not ok:
            yield f"FAIL {name}: {field} is {have}, expected {want or None}"


def board_capture(folder):
    fields = ["zandrel_chip.id", "zandrel_chip.rcode", "zandrel_mgmt.cmd_name", "zandrel_mgmt.notify.code",
              "_ws.col.Info", "_ws.malformed"]
    files = sorted(os.path.join(folder, name) for name in os.listdir(folder) if ".pcapng" in name)
    options = ["-T", "fields", "-E", "occurrence=f"] + [arg for field in fields for arg in ("-e", field)]
    rows = [dict(zip(fields, line.split("\t"))) for capture in files for line in tshark(capture, *options).splitlines()]
    info = [row["_ws.col.Info"] for row in rows]
    checks = {
        "frames decoded": rows,
        "chip requests by name": any(i.startswith("Request ") and " 0x" not in i.split(" CTAG")[0] for i in info),
        "chip answers with their RCODE": any(row["zandrel_chip.rcode"] for row in rows),
        "management messages by name": any(row["zandrel_mgmt.cmd_name"] == "ONT_SECRET" for row in rows),
        "notifications' events": any(row["zandrel_mgmt.notify.code"] for row in rows),
        "nothing malformed": not any(row["_ws.malformed"] for row in rows),
    }
    failed = [name for name, ok in checks.items() if not ok]
    if failed:
        print("\n".join(info[:40]))
    print(f"{len(rows)} frames of {len(files)} files in {folder}; not decoded: {', '.join(failed) or 'none'}")
    return 1 if failed else 0


def main():
    if not shutil.which("tshark"):
        print("tshark is not installed (scripts/setup installs it): skipped")
        return 77
    if len(sys.argv) > 1:
        return board_capture(sys.argv[1])
    data = {name: bytes.fromhex(body.replace("|", "")) for name, _, body in sections(VECTORS + ".hex")}
    cases = []
    for name, head, body in sections(VECTORS + "_fields.txt"):
        want = {}
        for line in filter(str.strip, body.splitlines()):
            field, _, text = line.strip().partition(" =")
            want.setdefault(field, []).extend([text.strip()] if text.strip() else [])
        frame = tcp(head[1] == ">", data[name]) if head[0] == "mgmt" else udp(
            head[0], head[2], data[name], *[int(p[1:]) for p in head[3:]])
        cases.append((name, frame, want))
    frames = list(decode([frame for _, frame, _ in cases]))
    failures = [] if len(frames) == len(cases) else [f"tshark decoded {len(frames)} frames, {len(cases)} written"]
    for (name, _, want), got in zip(cases, frames):
        failures += mismatches(name, got, want)
    # Without events to go by, a host on 127.0.0.1 and chip 1 both look
    # like chips; the chip network preference settles which end is which.
    reset = [udp(LO, C1, data["reset from the host"]), udp(C1, LO, data["reset answered"])]
    for options, want in (((), ["unknown (2)"] * 2),
                          (("-o", "zandrel_chip.chip_net:127.0.255"), ["host to chip (0)", "chip to host (1)"])):
        for got, direction in zip(decode(reset, *options), want):
            failures += mismatches(f"chip network {options}", got, {"chip.direction": [direction]})
    print("\n".join(failures))
    print(f"wireshark dissector: {len(cases) + 4} frames checked, {len(failures)} mismatches")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
