#!/usr/bin/env python3
# Checks that tshark with tools/wireshark/zandrel.lua decodes both links of
# the capture files the daemon wrote on the simulated board, on the
# dissector's default ports (no "decode as"): chip requests by name, answers
# with their RCODE, management messages by name and the notifications'
# events, nothing malformed. Each file of a ring is a capture of its own and
# is decoded on its own.
#
# Usage: capture_dissector_test.py FOLDER (every *.pcapng* file in it). Exit
# 77 (skipped) when tshark is not installed.
import os, shutil, sys
from wireshark_test import tshark

FIELDS = ["zandrel_chip.id", "zandrel_chip.rcode", "zandrel_mgmt.cmd_name", "zandrel_mgmt.notify.code",
          "_ws.col.Info", "_ws.malformed"]


def main():
    if not shutil.which("tshark"):
        print("tshark is not installed: the capture's decoding is not checked")
        return 77
    files = sorted(os.path.join(sys.argv[1], name) for name in os.listdir(sys.argv[1]) if ".pcapng" in name)
    fields = ["-T", "fields", "-E", "occurrence=f"] + [arg for field in FIELDS for arg in ("-e", field)]
    rows = [dict(zip(FIELDS, line.split("\t"))) for capture in files for line in tshark(capture, *fields).splitlines()]
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
        sys.exit("not decoded: " + ", ".join(failed))
    print(f"{len(rows)} frames of {len(files)} files in {sys.argv[1]} decoded on both links")
    return 0


if __name__ == "__main__":
    sys.exit(main())
