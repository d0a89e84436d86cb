#!/usr/bin/env python3
"""How the tests start a Windows program under Wine and judge how it ended.

A program that dies of an unhandled exception, in any thread, must never
count as a success. Wine prints one line for it on stderr ("wine: Unhandled
page fault on write access to 00000000 at address 0040161A (thread 0024),
..."), and with its debugger switched off (scripts/lib/wine.sh) the process
ends with the exception's code, of which a Unix exit status keeps the low
byte. A crash is named by that line; the status alone is no proof either way
(an access violation ends with 5, which is also a status some programs give).

As a command it runs one GoogleTest program, which passes only when it exited
with 0 and wrote its complete XML report, which GoogleTest does at the very
end; a program that stops early for any reason fails, and the last line says
why:

  wine_program.py gtest --report FILE.xml PROGRAM [ARGUMENT...]
"""
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

# The line Wine prints for an exception nobody handled, and for a call into a
# function it does not implement.
CRASH_LINE = re.compile(r"^wine: (Unhandled .*|Unimplemented function .*|Call from .* to unimplemented function .*)$",
                        re.MULTILINE)

# The exception each kind of Wine's line stands for (ntstatus.h).
EXCEPTION_CODES = {
    "page fault": 0xC0000005,
    "illegal instruction": 0xC000001D,
    "privileged instruction": 0xC0000096,
    "stack overflow": 0xC00000FD,
    "division by zero": 0xC0000094,
    "breakpoint": 0x80000003,
    "single step": 0x80000004,
}


def windows_path(path):
    """The Windows name of a Unix path: Wine's drive Z: is the Unix root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def crash(output):
    """Wine's line for a crash in OUTPUT, or None."""
    found = CRASH_LINE.search(output.replace("\r", ""))
    return found.group(0) if found else None


def exception_code(line):
    """The NTSTATUS that Wine's crash LINE names, or None."""
    found = re.search(r"Unhandled exception (0x[0-9a-fA-F]{8})", line)
    if found:
        return int(found.group(1), 16)
    for kind, code in EXCEPTION_CODES.items():
        if line.startswith("wine: Unhandled " + kind):
            return code
    return None


def ended(status, output):
    """How a program that exited with STATUS and printed OUTPUT ended: None
    for a normal end, else one line naming the crash."""
    line = crash(output)
    if line is None:
        return None
    code = exception_code(line)
    if code is None:
        return f"crashed: {line} (exit status {status})"
    own = "the exception's own" if status == code & 0xFF else f"not the exception's {code & 0xFF}"
    return f"crashed: {line} (exception 0x{code:08X}; exit status {status}, {own})"


def timeout_seconds(seconds):
    """SECONDS, stretched where 32-bit programs run under emulation."""
    return seconds * int(os.environ.get("INSTALLHOOKS_TIMEOUT_SCALE", "1"))


def run(command, limit, **options):
    """Runs COMMAND (a Windows program and its arguments) under Wine with no
    input; returns its status, stdout and stderr (text, CR LF as LF)."""
    finished = subprocess.run(["wine", *command], stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=timeout_seconds(limit), **options)
    return (finished.returncode, finished.stdout.decode("utf-8", "replace").replace("\r\n", "\n"),
            finished.stderr.decode("utf-8", "replace").replace("\r\n", "\n"))


def report_counts(path):
    """The counts of a complete GoogleTest XML report at PATH, or None when
    there is none or it is cut short."""
    try:
        root = ElementTree.parse(path).getroot()
    except (OSError, ElementTree.ParseError):
        return None
    if root.tag != "testsuites" or "tests" not in root.attrib:
        return None
    return {key: int(root.attrib.get(key, "0")) for key in ("tests", "failures", "errors", "disabled")}


def run_gtest(report, program, arguments):
    """Runs one GoogleTest program, its output streamed through; returns the
    exit status of the verdict (0 passed, 1 failed)."""
    name = os.path.basename(program)
    os.makedirs(os.path.dirname(os.path.abspath(report)), exist_ok=True)
    if os.path.exists(report):
        os.remove(report)
    process = subprocess.Popen(["wine", program, f"--gtest_output=xml:{windows_path(report)}", *arguments],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = []
    for raw in process.stdout:
        line = raw.decode("utf-8", "replace")
        output.append(line)
        sys.stdout.write(line)
        sys.stdout.flush()
    status = process.wait()
    text = "".join(output)

    reasons = []
    crashed = ended(status, text)
    if crashed:
        reasons.append(crashed)
    counts = report_counts(report)
    if counts is None:
        reasons.append("ended before reporting: it wrote no complete GoogleTest report")
    if status != 0 and not crashed:
        reasons.append(f"exited with status {status}")
    if counts is not None and status == 0 and counts["failures"] + counts["errors"] > 0:
        reasons.append(f"exited with 0 although its report counts {counts['failures']} failures")
    if reasons:
        print(f"{name}: FAILED: " + "; ".join(reasons))
        return 1
    print(f"{name}: ran to its end: {counts['tests']} tests reported, exit status 0")
    return 0


def main(argv):
    if len(argv) < 4 or argv[0] != "gtest" or argv[1] != "--report":
        print(__doc__, file=sys.stderr)
        return 2
    return run_gtest(argv[2], argv[3], argv[4:])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
