#!/usr/bin/python3
"""The shipped binaries read the way a release pipeline's binary analyser and
a reviewer with the PE documentation read them. For the DLL: the export
contract, the imports, every hardening flag and what the code does with it
(the cookie, the stack protector's failure routine, the load configuration's
layout, the relocations of the code's absolute operands), the PDB reference,
the version resource and the size. For a program (hookhost.exe): its
hardening flags and its load configuration. Prints one line per rule ("ok",
or "FAIL" with what is wrong; "info" for what is reported but protects
nothing here) and exits 1 when any rule is broken.

    bincheck.py DLL --version X.Y.Z [--pdb PDB] [--objdump llvm-objdump-19]
    bincheck.py PROGRAM.exe

Needs Debian's python3-pefile (run it with /usr/bin/python3) and llvm-objdump
(llvm-19).
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
SIZE_BAR = 16 * 1024
DEFAULT_COOKIE = 0xBB40E64E

FILE_DLL = 0x2000
RELOCS_STRIPPED = 0x0001
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
NO_SEH = 0x0400
GUARD_CF = 0x4000
CF_INSTRUMENTED = 0x0100
CF_FUNCTION_TABLE_PRESENT = 0x0400
CF_FUNCTION_TABLE_SIZE_SHIFT = 28
DEBUG_TYPE_CODEVIEW = 2
DEBUG_TYPE_EX_DLLCHARACTERISTICS = 20
EX_CET_COMPAT = 0x1
SECTION_SHARED = 0x10000000
SECTION_EXECUTE = 0x20000000
SECTION_WRITE = 0x80000000
PF_FASTFAIL_AVAILABLE = 23
STATUS_STACK_BUFFER_OVERRUN = 0xC0000409

# IMAGE_LOAD_CONFIG_DIRECTORY32 as Microsoft documents it, up to the
# long-jump target table: (field, offset, size, holds an address). The
# 32-bit order is not the 64-bit one: ProcessHeapFlags comes before
# ProcessAffinityMask.
LOAD_CONFIG_32 = [
    ("Size", 0, 4, False), ("TimeDateStamp", 4, 4, False), ("MajorVersion", 8, 2, False),
    ("MinorVersion", 10, 2, False), ("GlobalFlagsClear", 12, 4, False), ("GlobalFlagsSet", 16, 4, False),
    ("CriticalSectionDefaultTimeout", 20, 4, False), ("DeCommitFreeBlockThreshold", 24, 4, False),
    ("DeCommitTotalFreeThreshold", 28, 4, False), ("LockPrefixTable", 32, 4, True),
    ("MaximumAllocationSize", 36, 4, False), ("VirtualMemoryThreshold", 40, 4, False),
    ("ProcessHeapFlags", 44, 4, False), ("ProcessAffinityMask", 48, 4, False), ("CSDVersion", 52, 2, False),
    ("DependentLoadFlags", 54, 2, False), ("EditList", 56, 4, True), ("SecurityCookie", 60, 4, True),
    ("SEHandlerTable", 64, 4, True), ("SEHandlerCount", 68, 4, False),
    ("GuardCFCheckFunctionPointer", 72, 4, True), ("GuardCFDispatchFunctionPointer", 76, 4, True),
    ("GuardCFFunctionTable", 80, 4, True), ("GuardCFFunctionCount", 84, 4, False), ("GuardFlags", 88, 4, False),
    ("CodeIntegrityFlags", 92, 2, False), ("CodeIntegrityCatalog", 94, 2, False),
    ("CodeIntegrityCatalogOffset", 96, 4, False), ("CodeIntegrityReserved", 100, 4, False),
    ("GuardAddressTakenIatEntryTable", 104, 4, True), ("GuardAddressTakenIatEntryCount", 108, 4, False),
    ("GuardLongJumpTargetTable", 112, 4, True), ("GuardLongJumpTargetCount", 116, 4, False),
]
LOAD_CONFIG_32_SIZE = 0x78


class Check:
    def __init__(self):
        self.failures = 0

    def rule(self, name, ok, detail):
        print(f"{'ok  ' if ok else 'FAIL'} {name}: {detail}")
        if not ok:
            self.failures += 1

    @staticmethod
    def info(name, detail):
        print(f"info {name}: {detail}")


class Image:
    """The file as the loader maps it: its relocations, its imports, its
    sections, its load configuration read at the documented offsets and, on
    demand, its code."""

    def __init__(self, path, objdump):
        self.path = path
        self.pe = pefile.PE(path)
        self.base = self.pe.OPTIONAL_HEADER.ImageBase
        self.objdump = objdump
        self.relocated = set()
        for block in getattr(self.pe, "DIRECTORY_ENTRY_BASERELOC", []):
            for entry in block.entries:
                if entry.type == pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]:
                    self.relocated.add(entry.rva)
        # Import address table slots (addresses) by function name, and back.
        self.slots = {}
        for dll in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            for imp in dll.imports:
                if imp.name:
                    self.slots[imp.address] = imp.name.decode()
        directory = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]]
        self.config_rva = directory.VirtualAddress
        self.config = None
        if directory.VirtualAddress and directory.Size >= 4:
            size = self.dword(self.config_rva)
            self.config = {name: (self.word(self.config_rva + offset) if width == 2 else
                                  self.dword(self.config_rva + offset))
                           for name, offset, width, _ in LOAD_CONFIG_32 if offset + width <= size}
        self._code = None

    def dword(self, rva):
        return struct.unpack("<I", self.pe.get_data(rva, 4))[0]

    def word(self, rva):
        return struct.unpack("<H", self.pe.get_data(rva, 2))[0]

    def field(self, name):
        return (self.config or {}).get(name, 0)

    def section_flags(self, rva):
        section = self.pe.get_section_by_rva(rva)
        return section.Characteristics if section is not None else 0

    def code(self):
        """Every instruction of the executable sections, in order: (address,
        bytes, mnemonic, operands without objdump's symbol names and
        comments)."""
        if self._code is None:
            out = subprocess.run([self.objdump, "-d", self.path], capture_output=True, text=True,
                                 check=False).stdout
            self._code = []
            for line in out.splitlines():
                match = re.match(r"\s*([0-9a-f]+):\s((?:[0-9a-f]{2} )+)\s*\t(\S+)\s*(.*)", line)
                if match:
                    operands = re.sub(r"<[^>]*>|#.*", "", match.group(4)).strip()
                    self._code.append((int(match.group(1), 16), bytes.fromhex(match.group(2)), match.group(3),
                                       operands))
        return self._code

    def reached_import(self, instruction, by_address):
        """The imported function that a call or jump reaches through its
        import slot, directly or through a jump stub; None for any other."""
        slot = re.fullmatch(r"\*0x([0-9a-f]+)", instruction[3])
        if slot:
            return self.slots.get(int(slot.group(1), 16))
        target = re.fullmatch(r"0x([0-9a-f]+)", instruction[3])
        stub = by_address.get(int(target.group(1), 16)) if target else None
        if stub is not None and stub[2].startswith("jmp"):
            return self.reached_import(stub, {})
        return None

    def code_references(self, rva):
        """How many absolute addresses in the code name `rva`, directly or
        through one pointer in read-only data (mingw code reaches a global
        that may live in another module through such a pointer)."""
        pointers = {site for site in self.relocated if self.dword(site) - self.base == rva}
        count = 0
        for site in self.relocated:
            if not self.section_flags(site) & SECTION_EXECUTE:
                continue
            target = self.dword(site) - self.base
            if target == rva or target in pointers:
                count += 1
        return count


def debug_entries(pe):
    return getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])


def stdcall_bytes(image, rva):
    """The immediate of the first return instruction from an export on."""
    start = image.base + rva
    for address, _, mnemonic, operands in image.code():
        if start <= address < start + 512 and re.fullmatch(r"retl?", mnemonic):
            match = re.fullmatch(r"\$0x([0-9a-f]+)", operands)
            return int(match.group(1), 16) if match else 0
    return None


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                for key, value in table.entries.items():
                    strings[key.decode()] = value.decode()
    return strings


def check_flags(check, image):
    """The hardening flags of the headers, for the DLL and a program alike."""
    pe = image.pe
    characteristics = pe.OPTIONAL_HEADER.DllCharacteristics
    relocations = len(image.relocated)
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


def check_load_config(check, image):
    """Each field of the load configuration where Microsoft documents it:
    the addresses the loader reads are at their offsets, inside the image
    and relocated, and nothing else in it is relocated (a field out of place
    puts an address where the loader reads a number, or the other way
    round)."""
    if image.config is None:
        check.rule("load-config", False, "no load configuration")
        return
    size = image.field("Size")
    span = range(image.config_rva, image.config_rva + size)
    addresses = {offset for name, offset, _, address in LOAD_CONFIG_32 if address and name in image.config}
    wrong = []
    if size < LOAD_CONFIG_32_SIZE:
        wrong.append(f"Size is {size:#x}, short of the {LOAD_CONFIG_32_SIZE:#x} bytes that reach the CFG tables")
    named = []
    for name, offset, _, address in LOAD_CONFIG_32:
        if not address or name not in image.config or not image.config[name]:
            continue
        value = image.config[name]
        if not image.base <= value < image.base + image.pe.OPTIONAL_HEADER.SizeOfImage:
            wrong.append(f"{name} (+{offset:#x}) holds {value:#x}, outside the image")
        elif image.config_rva + offset not in image.relocated:
            wrong.append(f"{name} (+{offset:#x}) holds an address that is not relocated")
        else:
            named.append(f"{name} +{offset:#x}")
    for site in sorted(image.relocated):
        if site in span and site - image.config_rva not in addresses:
            wrong.append(f"a relocation at +{site - image.config_rva:#x}, where no address belongs")
    check.rule("load-config", not wrong, "; ".join(wrong) if wrong else
               f"Size {size:#x}; addresses at their documented offsets ({', '.join(named)}), each relocated, "
               f"and no other field relocated")


def check_cookie(check, image):
    """The guard the load configuration names: in a private, writable data
    section, holding the value the loader replaces."""
    va = image.field("SecurityCookie")
    if image.config is None or not va:
        check.rule("cookie", False, "the load configuration names no security cookie")
        return None
    rva = va - image.base
    flags = image.section_flags(rva)
    value = image.dword(rva)
    problem = None
    if not flags & SECTION_WRITE or flags & (SECTION_EXECUTE | SECTION_SHARED):
        problem = f"the cookie at {va:#x} is not in a private, writable, non-executable section"
    elif value != DEFAULT_COOKIE:
        problem = f"the cookie holds {value:#010x}, not the loader's default {DEFAULT_COOKIE:#010x}"
    check.rule("cookie", problem is None, problem or
               f"at {va:#x} in a writable data section, holding {DEFAULT_COOKIE:#010x} for the loader to randomise")
    return rva


def check_cfg(check, image):
    characteristics = image.pe.OPTIONAL_HEADER.DllCharacteristics
    guard_flags = image.field("GuardFlags")
    table = image.field("GuardCFFunctionTable")
    count = image.field("GuardCFFunctionCount")
    pointer = image.field("GuardCFCheckFunctionPointer")
    problem = None
    checked = 0
    if not characteristics & GUARD_CF:
        problem = "GUARD_CF is off"
    elif not guard_flags & CF_INSTRUMENTED or not guard_flags & CF_FUNCTION_TABLE_PRESENT:
        problem = f"guard flags {guard_flags:#x}: not instrumented, or no function table"
    elif not pointer or not table:
        problem = "no check function pointer or no function table in the load configuration"
    else:
        stride = 4 + (guard_flags >> CF_FUNCTION_TABLE_SIZE_SHIFT & 0xF)
        targets = [image.dword(table - image.base + i * stride) for i in range(count)]
        checked = image.code_references(pointer - image.base)
        if targets != sorted(set(targets)):
            problem = "the function table is not sorted, or names a target twice"
        elif not all(image.section_flags(target) & SECTION_EXECUTE for target in targets):
            problem = "the function table names targets outside the code"
        elif checked == 0:
            problem = "no code calls through the check function pointer: the code is not instrumented"
    check.rule("cfg", problem is None, problem or
               f"GUARD_CF, {count} valid call targets (sorted, in the code), "
               f"{checked} code site{'s' if checked != 1 else ''} call{'' if checked != 1 else 's'} through the check "
               "function pointer")


def check_cet(check, image):
    cet = False
    for entry in debug_entries(image.pe):
        if entry.struct.Type == DEBUG_TYPE_EX_DLLCHARACTERISTICS:
            data = image.pe.get_data(entry.struct.AddressOfRawData, 4)
            cet = bool(struct.unpack("<I", data)[0] & EX_CET_COMPAT)
    check.info("cet", ("CET_COMPAT set" if cet else "not marked CET shadow-stack compatible")
               + "; informational: Windows enforces CET shadow stacks for 64-bit code only, never for a 32-bit image")


def check_segment_access(check, image):
    """Nothing reads or writes through %fs: (the thread's block), so nothing
    registers an SEH handler in an image that declares it has none."""
    sites = [address for address, _, _, operands in image.code() if "%fs:" in operands]
    check.rule("fs", not sites, "no code touches %fs: (no SEH registration, no TEB access)" if not sites
               else f"{len(sites)} instructions use %fs: ({', '.join(f'{a:#x}' for a in sites[:5])})")


def check_absolute_operands(check, image):
    """Every operand of the code that holds an address inside the image, as
    the instruction encodes it, is covered by a base relocation, so that
    the code is right wherever ASLR puts the image."""
    end = image.base + image.pe.OPTIONAL_HEADER.SizeOfImage
    found = 0
    missing = []
    for address, encoding, _, operands in image.code():
        for value in {int(number, 16) for number in re.findall(r"0x([0-9a-f]+)", operands)}:
            if not image.base <= value < end:
                continue
            at = encoding.find(struct.pack("<I", value))
            if at < 0:
                continue  # a relative call or jump: nothing to relocate
            found += 1
            if address + at - image.base not in image.relocated:
                missing.append(address)
    check.rule("relocations", found > 0 and not missing,
               f"{len(missing)} of {found} absolute operands in the code are not relocated "
               f"({', '.join(f'{a:#x}' for a in missing[:5])})" if missing
               else f"all {found} absolute operands in the code are covered by relocations")


def check_failure_routine(check, image):
    """The stack protector's failure routine asks whether the processor
    takes fast-fail requests before it makes one, and otherwise ends the
    process with STATUS_STACK_BUFFER_OVERRUN. Before Windows 8 `int 0x29`
    is an access violation that a handler up the stack can catch."""
    code = image.code()
    by_address = {instruction[0]: instruction for instruction in code}
    requests = [i for i, instruction in enumerate(code) if instruction[2] == "int" and instruction[3] == "$0x29"]
    if not requests:
        check.rule("fast-fail", False, "no fast-fail request (int 0x29) in the code: no failure routine found")
        return
    # The routine is the called function that the request lies in.
    calls = {}
    for instruction in code:
        target = re.fullmatch(r"0x([0-9a-f]+)", instruction[3])
        if instruction[2].startswith("call") and target:
            calls.setdefault(int(target.group(1), 16), []).append(instruction[0])
    request = requests[0]
    start = max((target for target in calls if target <= code[request][0]), default=None)
    if start is None:
        check.rule("fast-fail", False, f"the fast-fail request at {code[request][0]:#x} is in no called function")
        return
    first = next(i for i, instruction in enumerate(code) if instruction[0] == start)
    asked = tested = status = terminates = False
    pushed = None
    for index in range(first, min(len(code), request + 16)):
        _, _, mnemonic, operands = code[index]
        reached = image.reached_import(code[index], by_address) if mnemonic.startswith(("call", "jmp")) else None
        if mnemonic == "pushl":
            pushed = operands
            status = status or operands == f"${STATUS_STACK_BUFFER_OVERRUN:#x}"
        elif index < request and reached == "IsProcessorFeaturePresent":
            asked = pushed == f"${PF_FASTFAIL_AVAILABLE:#x}"
        elif index < request and asked and re.fullmatch(r"j(?!mp)[a-z]+", mnemonic):
            tested = True
        elif reached == "TerminateProcess":
            terminates = status
    where = f"the failure routine at {start:#x} (called from {len(calls[start])} sites)"
    if not asked or not tested:
        check.rule("fast-fail", False, f"{where} makes a fast-fail request (int 0x29) without asking "
                   "IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE) first; before Windows 8 that is an "
                   "access violation, which a handler can catch")
    elif not terminates:
        check.rule("fast-fail", False, f"{where} does not end the process with TerminateProcess "
                   "where fast fail is not available")
    else:
        check.rule("fast-fail", True, f"{where} asks IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE) before "
                   f"int 0x29, else TerminateProcess(..., 0x{STATUS_STACK_BUFFER_OVERRUN:08X})")


def check_program(check, image, size):
    check_flags(check, image)
    check_load_config(check, image)
    check_cookie(check, image)
    check_cfg(check, image)
    check_cet(check, image)
    check.info("size", f"{size:,} bytes")


def check_dll(check, image, args, size, signature):
    pe = image.pe

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
        popped = stdcall_bytes(image, exports[name])
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

    # Hardening, and what the code does with it.
    check_flags(check, image)
    check_segment_access(check, image)
    check_absolute_operands(check, image)
    check_load_config(check, image)
    cookie = check_cookie(check, image)
    uses = image.code_references(cookie) if cookie is not None else 0
    check.rule("stack-protector", uses > 0, f"{uses} code sites read the cookie" if uses
               else "no code checks the cookie (no stack protector)")
    check_failure_routine(check, image)
    check_cfg(check, image)
    check_cet(check, image)

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
    own_pdb = os.path.splitext(os.path.basename(args.file))[0] + ".pdb"
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
            address = image.base + exports[name] + 1
            lines = subprocess.run([args.symbolizer, f"--obj={args.file}", f"{address:#x}"], capture_output=True,
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
    check.rule("size", size <= SIZE_BAR, f"{size:,} bytes" + (f", and a signature of {signature:,} bytes" if signature else "")
               + ("" if size <= SIZE_BAR else ", over the 16 KB bar"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", help="the DLL, or a program")
    parser.add_argument("--version", help="the project's version, as in the DLL's version resource")
    parser.add_argument("--pdb", help="the PDB that must belong to the DLL")
    parser.add_argument("--objdump", default=shutil.which("llvm-objdump-19") or "llvm-objdump")
    parser.add_argument("--pdbutil", default=shutil.which("llvm-pdbutil-19") or "llvm-pdbutil")
    parser.add_argument("--symbolizer", default=shutil.which("llvm-symbolizer-19") or "llvm-symbolizer")
    args = parser.parse_args()

    image = Image(args.file, args.objdump)
    check = Check()
    # An Authenticode signature is appended to the image (the security
    # directory): the size rule is about the code the loader maps.
    signature = image.pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size
    size = os.path.getsize(args.file) - signature
    dll = bool(image.pe.FILE_HEADER.Characteristics & FILE_DLL)
    print(f"bincheck: {args.file}, {'a DLL' if dll else 'a program'}")
    if dll:
        if not args.version:
            parser.error("a DLL is checked against the project's version: give --version")
        check_dll(check, image, args, size, signature)
    else:
        check_program(check, image, size)

    if check.failures:
        print(f"bincheck: {args.file}: {check.failures} rule(s) broken")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
