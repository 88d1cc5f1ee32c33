#!/usr/bin/python3
"""Reads the PE headers of each shipped binary of an unpacked kit and prints one row per binary:
ASLR (DYNAMIC_BASE), NX_COMPAT, HIGH_ENTROPY_VA (x64), NO_SEH (x86 DLLs), TSAWARE (the service),
relocations, the stack protector's call sites, the imported DLLs, the signature. Fails when any
binary lacks one of them.

  check-hardening.py <kit root> <objdump> <arch> [--signed] [--ca <cert.pem>]

A signature is verified against --ca, or VARKO_SIGN_CA, or the system's certificate authorities.

The stack protector: the kit's binaries are stripped, so the address of __stack_chk_fail comes from
the binary's debug file (<arch>/debug/<name>.debug); a binary built with -fstack-protector-strong
calls it from its own functions' epilogues. Counting those calls tells such a build from one that
only links libssp (the fortified calls pull in the same object, __stack_chk_fail included, but
never call it).
"""
import bisect
import os
import re
import subprocess
import sys

import pefile

def shipped():
    """tools/kit/shipped.txt, by width: {"x64": ["LinkWinUsb.dll", ...], "x86": [...]}."""
    listing = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kit", "shipped.txt")
    by_width = {}
    with open(listing, encoding="ascii") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                width, _, name = line.split("/")
                by_width.setdefault(width, []).append(name)
    return by_width


SHIPPED = shipped()
# The DLLs of Windows itself that a shipped binary may import: the runtimes are linked statically.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "ole32.dll", "setupapi.dll", "cfgmgr32.dll", "winusb.dll",
               "msvcrt.dll", "ntdll.dll"}

C = pefile.DLL_CHARACTERISTICS


def stack_check_calls(objdump, binary, debug):
    """How many calls of __stack_chk_fail (x86: ___stack_chk_fail) the binary's own functions make;
    None without the symbol. libssp's __stack_chk_fail_local calls it in any build that links
    libssp: that call is not counted."""
    headers = subprocess.run([objdump, "-h", debug], capture_output=True, text=True, check=True).stdout
    # objdump -h: index, name, size, VMA of each section.
    vmas = {}
    for line in headers.splitlines():
        fields = line.split()
        if len(fields) >= 4 and fields[0].isdigit():
            vmas[int(fields[0]) + 1] = int(fields[3], 16)
    symbols = subprocess.run([objdump, "-t", debug], capture_output=True, text=True, check=True).stdout
    # COFF symbol table row: [ n](sec  s)(fl 0x00)(ty 20)(scl 2) (nx 0) 0x<offset in section> name;
    # type 20 is a function.
    functions = []
    for line in symbols.splitlines():
        match = re.search(r"\(sec\s+(\d+)\)\(fl 0x00\)\(ty\s+20\).* 0x([0-9a-f]+) (\S+)$", line)
        if match and int(match.group(1)) in vmas:
            functions.append((vmas[int(match.group(1))] + int(match.group(2), 16), match.group(3).lstrip("_")))
    functions.sort()
    fail = [address for address, name in functions if name == "stack_chk_fail"]
    if not fail:
        return None
    code = subprocess.run([objdump, "-d", "--no-show-raw-insn", binary], capture_output=True, text=True,
                          check=True).stdout
    target = re.compile(r"^\s*([0-9a-f]+):\tcall\s+(?:0x)?0*%x\b" % fail[0])
    starts = [address for address, _ in functions]
    count = 0
    for line in code.splitlines():
        match = target.search(line)
        if not match:
            continue
        site = int(match.group(1), 16)
        caller = functions[bisect.bisect_right(starts, site) - 1][1] if starts and site >= starts[0] else ""
        if caller != "stack_chk_fail_local":
            count += 1
    return count


def signature(binary, pe, ca):
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    if directory.Size == 0:
        return "none"
    command = ["osslsigncode", "verify", "-in", binary]
    if ca:
        command += ["-CAfile", ca]
    result = subprocess.run(command, capture_output=True, text=True)
    return "valid" if result.returncode == 0 and "Signature verification: ok" in result.stdout else "INVALID"


def main(argv):
    if len(argv) < 4:
        print(__doc__)
        return 2
    root, objdump, arch = argv[1], argv[2], argv[3]
    signed = "--signed" in argv
    # Without --ca, VARKO_SIGN_CA (a certificate the signer chains to), else the system's CAs.
    ca = argv[argv.index("--ca") + 1] if "--ca" in argv else os.environ.get("VARKO_SIGN_CA") or None
    rows = []
    failures = []
    for name in SHIPPED[arch]:
        binary = os.path.join(root, arch, "bin", name)
        debug = os.path.join(root, arch, "debug", name + ".debug")
        pe = pefile.PE(binary)
        flags = pe.OPTIONAL_HEADER.DllCharacteristics
        is_dll = pe.FILE_HEADER.Characteristics & 0x2000 != 0
        reloc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
        has_relocs = reloc.Size > 0 and not pe.FILE_HEADER.Characteristics & 0x1
        imports = sorted({entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])})
        foreign = [dll for dll in imports if dll not in SYSTEM_DLLS and not dll.startswith("api-ms-win-")]
        calls = stack_check_calls(objdump, binary, debug)
        sig = signature(binary, pe, ca)

        def mark(ok, wanted=True):
            return ("yes" if ok else "NO") if wanted else ("yes" if ok else "-")

        checks = [
            ("DYNAMIC_BASE", bool(flags & C["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"]), True),
            ("NX_COMPAT", bool(flags & C["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"]), True),
            ("HIGH_ENTROPY_VA", bool(flags & C["IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"]), arch == "x64"),
            ("NO_SEH", bool(flags & C["IMAGE_DLLCHARACTERISTICS_NO_SEH"]), arch == "x86" and is_dll),
            ("TSAWARE", bool(flags & C["IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE"]), not is_dll),
            ("relocs", has_relocs, True),
            ("stack_chk", bool(calls), True),
            ("system imports", not foreign, True),
        ]
        # A signature that is there must be valid, also where none was asked for.
        if signed or sig != "none":
            checks.append(("signature", sig == "valid", True))
        row = [name] + [mark(ok, wanted) for _, ok, wanted in checks[:6]]
        row.append("%d calls" % calls if calls else "NO")
        row.append(",".join(imports) if not foreign else "NO: " + ",".join(foreign))
        row.append(sig)
        rows.append(row)
        failures += ["%s/%s: %s" % (arch, name, label) for label, ok, wanted in checks if wanted and not ok]

    header = ["binary (%s)" % arch, "ASLR", "NX", "HIGH_ENTROPY_VA", "NO_SEH", "TSAWARE", "relocs",
              "stack protector", "imports", "signature"]
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    for r in [header] + rows:
        print("  ".join(str(cell).ljust(w) for cell, w in zip(r, widths)).rstrip())
    for failure in failures:
        print("hardening: missing %s" % failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
