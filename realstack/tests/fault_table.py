#!/usr/bin/env python3
"""Joins the fault rows of the real stack and of the simulated world into one table.

    fault_table.py REAL.txt WORLD.txt [OUT.md]

REAL.txt and WORLD.txt hold host_faults.exe's SAW and RESULT lines. A row is the same in both when
every key the host saw has the same value (later-code, the removal code drawn, is left out: the
contract names three). Prints the table (markdown) and exits 1 when a row is missing from either,
failed its contract in either, or differs between them.
"""
import sys

IGNORED = {"later-code"}


def load(path):
    saw, result = {}, {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            parts = line.rstrip("\n").split(" ", 2)
            if len(parts) < 2:
                continue
            kind, row = parts[0], parts[1]
            rest = parts[2] if len(parts) > 2 else ""
            if kind == "SAW":
                saw[row] = rest
            elif kind == "RESULT":
                result[row] = rest
    return saw, result


def keys(text):
    out = {}
    for item in text.split(" "):
        if "=" in item:
            k, v = item.split("=", 1)
            out[k] = v
    return out


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    real_saw, real_result = load(sys.argv[1])
    world_saw, world_result = load(sys.argv[2])
    rows = list(dict.fromkeys(list(real_result) + list(world_result)))
    lines = ["| script | real stack | world | same? |", "|---|---|---|---|"]
    failed = 0
    for row in rows:
        real, world = real_saw.get(row, ""), world_saw.get(row, "")
        rk = {k: v for k, v in keys(real).items() if k not in IGNORED}
        wk = {k: v for k, v in keys(world).items() if k not in IGNORED}
        same = bool(real) and rk == wk
        ok_real = real_result.get(row, "").startswith("PASS")
        ok_world = world_result.get(row, "").startswith("PASS")
        if not (same and ok_real and ok_world):
            failed += 1
        mark = lambda ok: "" if ok else " **(contract broken)**"
        lines.append(f"| `{row}` | {real or '(not run)'}{mark(ok_real)} | {world or '(not run)'}{mark(ok_world)} | "
                     f"{'same' if same else 'different'} |")
    text = "\n".join(lines) + "\n"
    if len(sys.argv) > 3:
        with open(sys.argv[3], "w", encoding="utf-8") as f:
            f.write(text)
    print(text, end="")
    print(f"fault table: {len(rows) - failed} passed, {failed} failed")
    return 1 if failed or not rows else 0


if __name__ == "__main__":
    sys.exit(main())
