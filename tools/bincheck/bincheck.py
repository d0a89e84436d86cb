#!/usr/bin/python3
"""The shipped DLL read the way a release pipeline's binary analyser reads a
PE file: the export contract, the imports, every hardening flag, the PDB
reference, the version resource and the size. Prints one line per rule
("ok" or "FAIL" with what is wrong) and exits 1 when any rule is broken.

    bincheck.py DLL --version X.Y.Z [--pdb PDB] [--objdump llvm-objdump-19]

Needs Debian's python3-pefile (run it with /usr/bin/python3) and, for the
stdcall sizes, llvm-objdump (llvm-19).
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys

import pefile

# The contract with the installer: each hook's name and the bytes of
# arguments it removes from the stack.
HOOKS = {"DllPostInstall": 16, "DllCreateTasks": 16, "DllPreUnInstall": 16, "DllZudaUnInstall": 4}
# Windows system DLLs that every Windows process can load from System32 (the
# KnownDLLs and ntdll, which every process has loaded).
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "shell32.dll", "shlwapi.dll", "ole32.dll", "ntdll.dll"}
SIZE_GOAL = 32 * 1024
SIZE_BAR = 64 * 1024
DEFAULT_COOKIE = 0xBB40E64E

DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
NO_SEH = 0x0400
GUARD_CF = 0x4000
RELOCS_STRIPPED = 0x0001
CF_INSTRUMENTED = 0x0100
CF_FUNCTION_TABLE_PRESENT = 0x0400
DEBUG_TYPE_CODEVIEW = 2
DEBUG_TYPE_EX_DLLCHARACTERISTICS = 20
EX_CET_COMPAT = 0x1
SECTION_EXECUTE = 0x20000000
SECTION_WRITE = 0x80000000


class Check:
    def __init__(self):
        self.failures = 0

    def rule(self, name, ok, detail):
        print(f"{'ok  ' if ok else 'FAIL'} {name}: {detail}")
        if not ok:
            self.failures += 1


def load_config(pe):
    if not hasattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG"):
        return None
    return pe.DIRECTORY_ENTRY_LOAD_CONFIG.struct


def field(config, name):
    return getattr(config, name, 0) if config is not None else 0


def debug_entries(pe):
    return getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])


def read_dword_at_va(pe, va):
    return struct.unpack("<I", pe.get_data(va - pe.OPTIONAL_HEADER.ImageBase, 4))[0]


def code_references(pe, rva):
    """How many absolute addresses in the code name `rva`, directly or
    through one pointer in read-only data (mingw code reaches a global that
    may live in another module through such a pointer)."""
    base = pe.OPTIONAL_HEADER.ImageBase
    relocated = set()
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if entry.type == pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]:
                relocated.add(entry.rva)
    pointers = {site for site in relocated
                if struct.unpack("<I", pe.get_data(site, 4))[0] - base == rva}
    count = 0
    for site in relocated:
        section = pe.get_section_by_rva(site)
        if section is None or not section.Characteristics & SECTION_EXECUTE:
            continue
        target = struct.unpack("<I", pe.get_data(site, 4))[0] - base
        if target == rva or target in pointers:
            count += 1
    return count


def stdcall_bytes(objdump, path, pe, rva):
    """The immediate of the first return instruction from an export on."""
    start = pe.OPTIONAL_HEADER.ImageBase + rva
    out = subprocess.run([objdump, "-d", "--no-show-raw-insn", f"--start-address={start:#x}",
                          f"--stop-address={start + 512:#x}", path],
                         capture_output=True, text=True, check=False).stdout
    for line in out.splitlines():
        match = re.search(r"\bretl?\b\s*(?:\$0x([0-9a-f]+))?", line)
        if match and ":" in line:
            return int(match.group(1), 16) if match.group(1) else 0
    return None


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                for key, value in table.entries.items():
                    strings[key.decode()] = value.decode()
    return strings


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dll")
    parser.add_argument("--version", required=True, help="the project's version, as in the version resource")
    parser.add_argument("--pdb", help="the PDB that must belong to the DLL")
    parser.add_argument("--objdump", default=shutil.which("llvm-objdump-19") or "llvm-objdump")
    parser.add_argument("--pdbutil", default=shutil.which("llvm-pdbutil-19") or "llvm-pdbutil")
    parser.add_argument("--symbolizer", default=shutil.which("llvm-symbolizer-19") or "llvm-symbolizer")
    args = parser.parse_args()

    pe = pefile.PE(args.dll)
    check = Check()
    characteristics = pe.OPTIONAL_HEADER.DllCharacteristics
    config = load_config(pe)
    size = os.path.getsize(args.dll)

    # The export contract.
    symbols = pe.DIRECTORY_ENTRY_EXPORT.symbols if hasattr(pe, "DIRECTORY_ENTRY_EXPORT") else []
    exports = {(s.name.decode() if s.name else f"#{s.ordinal}"): s.address for s in symbols}
    exact = sorted(exports) == sorted(HOOKS)
    check.rule("exports", exact, "exactly " + ", ".join(sorted(HOOKS)) if exact
               else f"exports {sorted(exports)}, expected exactly {sorted(HOOKS)}")
    wrong = []
    for name, expected in HOOKS.items():
        if name not in exports:
            continue
        popped = stdcall_bytes(args.objdump, args.dll, pe, exports[name])
        if popped != expected:
            wrong.append(f"{name} removes {popped} bytes, not {expected}")
    check.rule("stdcall", not wrong and all(n in exports for n in HOOKS),
               "; ".join(wrong) if wrong else "each hook removes its arguments (16, 16, 16, 4 bytes)")

    # What it needs from the machine.
    imported = sorted({entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])})
    delayed = getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
    foreign = [name for name in imported if name not in SYSTEM_DLLS]
    check.rule("imports", not foreign and not delayed,
               f"imports {', '.join(foreign)}, not a Windows system DLL" if foreign
               else "delay-loaded imports" if delayed else "only " + ", ".join(imported))
    check.rule("tls", not hasattr(pe, "DIRECTORY_ENTRY_TLS"),
               "a TLS directory: code runs at load before DllMain" if hasattr(pe, "DIRECTORY_ENTRY_TLS")
               else "no TLS directory, no TLS callbacks")

    # Hardening.
    relocations = sum(len(block.entries) for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []))
    aslr = characteristics & DYNAMIC_BASE and relocations > 0 and not pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED
    check.rule("aslr", bool(aslr), f"DYNAMIC_BASE with {relocations} relocations" if aslr
               else "not relocatable (DYNAMIC_BASE off or no relocations)")
    check.rule("nx", bool(characteristics & NX_COMPAT), "NX_COMPAT" if characteristics & NX_COMPAT
               else "NX_COMPAT is off")
    check.rule("no-seh", bool(characteristics & NO_SEH), "NO_SEH (no SafeSEH table is needed)"
               if characteristics & NO_SEH else "NO_SEH is off and there is no SafeSEH table")
    wx = [s.Name.rstrip(b"\0").decode() for s in pe.sections
          if s.Characteristics & SECTION_EXECUTE and s.Characteristics & SECTION_WRITE]
    check.rule("w^x", not wx, f"writable and executable: {', '.join(wx)}" if wx
               else "no section is both writable and executable")

    cookie_va = field(config, "SecurityCookie")
    uses = 0
    cookie_problem = None
    if config is None:
        cookie_problem = "no load configuration"
    elif not cookie_va:
        cookie_problem = "the load configuration names no security cookie"
    else:
        value = read_dword_at_va(pe, cookie_va)
        uses = code_references(pe, cookie_va - pe.OPTIONAL_HEADER.ImageBase)
        if value != DEFAULT_COOKIE:
            cookie_problem = f"the cookie holds {value:#010x}, not the loader's default {DEFAULT_COOKIE:#010x}"
        elif uses == 0:
            cookie_problem = "no code checks the cookie (no stack protector)"
    check.rule("stack-protector", cookie_problem is None, cookie_problem or
               f"the cookie at {cookie_va:#x} holds {DEFAULT_COOKIE:#010x} for the loader to randomise, "
               f"and {uses} code sites read it")

    guard_flags = field(config, "GuardFlags")
    cfg_problem = None
    if not characteristics & GUARD_CF:
        cfg_problem = "GUARD_CF is off"
    elif not guard_flags & CF_INSTRUMENTED or not guard_flags & CF_FUNCTION_TABLE_PRESENT:
        cfg_problem = f"guard flags {guard_flags:#x}: not instrumented, or no function table"
    elif not field(config, "GuardCFCheckFunctionPointer") or not field(config, "GuardCFFunctionTable"):
        cfg_problem = "no check function pointer or no function table in the load configuration"
    check.rule("cfg", cfg_problem is None, cfg_problem or
               f"GUARD_CF, instrumented, {field(config, 'GuardCFFunctionCount')} valid call targets")

    cet = False
    for entry in debug_entries(pe):
        if entry.struct.Type == DEBUG_TYPE_EX_DLLCHARACTERISTICS:
            data = pe.get_data(entry.struct.AddressOfRawData, 4)
            cet = bool(struct.unpack("<I", data)[0] & EX_CET_COMPAT)
    check.rule("cet", cet, "CET_COMPAT" if cet else "not marked CET shadow-stack compatible")

    # Symbols.
    codeview = [entry for entry in debug_entries(pe) if entry.struct.Type == DEBUG_TYPE_CODEVIEW]
    pdb_name = None
    guid = None
    if codeview:
        raw = pe.get_data(codeview[0].struct.AddressOfRawData, codeview[0].struct.SizeOfData)
        if raw[:4] == b"RSDS":
            data1, data2, data3 = struct.unpack("<IHH", raw[4:12])
            guid = ("{%08X-%04X-%04X-%s-%s}" % (data1, data2, data3, raw[12:14].hex().upper(),
                                                raw[14:20].hex().upper()),
                    struct.unpack("<I", raw[20:24])[0])
            pdb_name = raw[24:].split(b"\0")[0].decode(errors="replace")
    # The PDB beside the DLL, named without a folder: no build path leaks.
    own_pdb = os.path.splitext(os.path.basename(args.dll))[0] + ".pdb"
    pdb_problem = None
    if pdb_name != own_pdb:
        pdb_problem = f"the PDB reference is {pdb_name!r}, not {own_pdb!r}"
    elif args.pdb:
        summary = subprocess.run([args.pdbutil, "dump", "--summary", args.pdb], capture_output=True, text=True,
                                 check=False).stdout
        if f"GUID: {guid[0]}" not in summary or not re.search(rf"Age: {guid[1]}\b", summary):
            pdb_problem = f"{args.pdb} is not the DLL's PDB ({guid[0]}, age {guid[1]})"
    check.rule("pdb", pdb_problem is None, pdb_problem or
               f"names {own_pdb}" + (", which matches the DLL" if args.pdb else ""))

    if args.pdb and pdb_problem is None:
        unresolved = []
        for name in sorted(HOOKS):
            if name not in exports:
                continue
            # An address inside the hook, past its first instruction.
            address = pe.OPTIONAL_HEADER.ImageBase + exports[name] + 1
            lines = subprocess.run([args.symbolizer, f"--obj={args.dll}", f"{address:#x}"], capture_output=True,
                                   text=True, check=False).stdout.split("\n")
            if len(lines) < 2 or lines[0].strip() != name or not re.search(r"hooks\.cpp:[1-9][0-9]*", lines[1]):
                unresolved.append(f"{name} reads back as {' '.join(l.strip() for l in lines[:2])!r}")
        check.rule("symbols", not unresolved, "; ".join(unresolved) if unresolved
                   else "each hook's address reads back to its name and a line of src/hooks/hooks.cpp")

    # Identity and size.
    strings = version_strings(pe)
    wanted = {"FileVersion": args.version, "ProductVersion": args.version, "OriginalFilename": "installhooks.dll"}
    mismatched = [f"{k} is {strings.get(k)!r}" for k, v in wanted.items() if strings.get(k) != v]
    check.rule("version", not mismatched, "; ".join(mismatched) + f", expected {args.version}" if mismatched
               else f"FileVersion and ProductVersion {args.version}")
    check.rule("size", size <= SIZE_BAR, f"{size:,} bytes" + (" (goal 32 KB)" if size > SIZE_GOAL else "")
               + ("" if size <= SIZE_BAR else f", over the 64 KB bar"))

    if check.failures:
        print(f"bincheck: {args.dll}: {check.failures} rule(s) broken")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
