#!/usr/bin/env python3
"""Checks the setup packets of a usbmon text trace against the message protocol's table.

    check_usbmon.py TRACE [EXCERPT]

TRACE is /sys/kernel/debug/usb/usbmon/<bus>u as read during the host story. Every vendor request
(bmRequestType type bits 10) must be one of the table's: request, direction (so bmRequestType 0xC1
for IN and 0x41 for OUT, recipient interface), wValue 0, wIndex 0 (the interface number, 0 here)
and wLength. The framing of each protocol version must be there as the story ran it (a Write, then
a Read of its echo). EXCERPT gets the trace lines of the Write/Read in protocol version 1. Prints
one line per finding and a closing count; exit code 0 when nothing is wrong.
"""
import re
import sys

# bRequest: (direction, wLength)
TABLE = {
    0x80: ("OUT", 0), 0x81: ("IN", 1), 0x82: ("IN", 1), 0x83: ("IN", 4),
    0x84: ("IN", 4), 0x85: ("OUT", 4), 0x86: ("OUT", 0),
}


def parse(path):
    events = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f):
            words = line.split()
            if len(words) < 4:
                continue
            tag, stamp, kind, address = words[:4]
            m = re.match(r"([CBIZ][io]):(\d+):(\d+):(\d+)", address)
            if not m:
                continue
            e = {"line": line.rstrip("\n"), "n": number, "tag": tag, "kind": kind, "xfer": m.group(1),
                 "device": int(m.group(3)), "ep": int(m.group(4)), "rest": words[4:]}
            if kind == "S" and e["xfer"][0] == "C" and len(words) >= 10 and words[4] == "s":
                rt, req, val, idx, length = (int(w, 16) for w in words[5:10])
                e["setup"] = (rt, req, val, idx, length)
            elif kind == "S" and e["xfer"][0] == "B" and len(words) >= 6:
                e["length"] = int(words[5]) if words[5].lstrip("-").isdigit() else None
            events.append(e)
    return events


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    events = parse(sys.argv[1])
    problems, vendor, language0 = [], 0, 0
    tokens = []   # (token, event index) for the framing search
    for i, e in enumerate(events):
        if e["kind"] != "S":
            continue
        if "setup" in e:
            rt, req, val, idx, length = e["setup"]
            if rt == 0x80 and req == 6 and val >> 8 == 3 and val & 0xFF:
                language0 += idx == 0
            if (rt >> 5) & 3 != 2:
                continue
            vendor += 1
            want = TABLE.get(req)
            if want is None:
                problems.append(f"request {req:#04x} is not in the table: {e['line']}")
                continue
            direction, want_length = want
            want_rt = 0xC1 if direction == "IN" else 0x41
            if (rt, val, idx, length) != (want_rt, 0, 0, want_length):
                problems.append(f"request {req:#04x}: bmRequestType {rt:#04x} wValue {val:#06x} wIndex {idx:#06x} "
                                f"wLength {length}, want {want_rt:#04x} 0x0000 0x0000 {want_length}: {e['line']}")
            tokens.append((f"r{req:02x}", i))
        elif e["xfer"] in ("Bo", "Bi") and e.get("length"):
            tokens.append((f"{e['xfer']}{e['length']}", i))
    text = " ".join(t for t, _ in tokens) + " "
    # Each version's Write then Read of the story's 1000-byte echo; a Read asks the length
    # again while the echo is not yet queued. The bridge asks a bulk IN of whole packets (the
    # kernel refuses a read that a device's packet could overflow), so its length is open.
    framings = {
        0: r"r80 Bo1000 r86 (?:r82 r84 )+Bi\d+ ",
        1: r"r85 Bo1000 (?:r84 )+Bi\d+ ",
        2: r"(?<!r85 )Bo1000 (?:r84 )+Bi\d+ ",
    }
    found = {}
    for version, pattern in framings.items():
        m = re.search(pattern, text)
        if not m:
            problems.append(f"protocol version {version}: the framing {pattern.strip()} is not in the trace")
            continue
        first = text[:m.start()].count(" ")
        last = first + m.group(0).count(" ") - 1
        found[version] = (tokens[first][1], tokens[last][1])
        print(f"protocol version {version}: framing found ({m.group(0).strip()})")
    if 1 in found and len(sys.argv) > 2:
        # From the length request 0x85 to the completion of the echo's bulk IN (URB tags are
        # addresses, reused: the first completion of that tag after its submission).
        start, end = found[1]
        done = next((k for k in range(end + 1, len(events))
                     if events[k]["tag"] == events[end]["tag"] and events[k]["kind"] != "S"), end)
        with open(sys.argv[2], "w", encoding="utf-8") as f:
            for k in range(start, done + 1):
                f.write(events[k]["line"] + "\n")
        print(f"protocol version 1 excerpt: {sys.argv[2]}")
    for p in problems:
        print("WRONG " + p)
    print(f"usbmon: {vendor} vendor requests checked, {language0} string requests in language 0, "
          f"{len(problems)} wrong")
    return 1 if problems or vendor == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
