#!/usr/bin/env python3
"""hookhost.exe as QA automation uses it, under Wine in the test prefix
($WINEPREFIX): --json gives one JSON object per line with the same calls and
items as the text, the flags combine, and every bad input gets one line
naming the problem, its documented exit status, and no hook call.

  hookhost_cli.py --hookhost EXE --samplemachine EXE --dll DLL --missing-export DLL
"""
import argparse
import glob
import json
import os
import re
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import wine_program  # noqa: E402

parser = argparse.ArgumentParser()
for option in ("--hookhost", "--samplemachine", "--dll", "--missing-export"):
    parser.add_argument(option, required=True)
args = parser.parse_args()
prefix = os.environ["WINEPREFIX"]
failures = []


def check(condition, what):
    print(("  ok    " if condition else "  FAIL  ") + what)
    if not condition:
        failures.append(what)


def wine(*command):
    # A crash is a failure whatever status it ends with: an access violation
    # ends with 5, which is also hookhost's status for a missing export.
    status, out, err = wine_program.run(command, 300)
    crashed = wine_program.ended(status, err)
    if crashed:
        check(False, "%s %s" % (os.path.basename(command[0]), crashed))
    return status, out, err


windows_path = wine_program.windows_path


def hookhost(*arguments):
    return wine(args.hookhost, *arguments)


def seed():
    assert wine(args.samplemachine, "seed")[0] == 0


dll = windows_path(args.dll)

print("== --json holds the calls and items of the text")
seed()
status, text, _ = hookhost("--trace", dll, "DllPreUnInstall")
seed()
json_status, lines, _ = hookhost("--trace", "--json", dll, "DllPreUnInstall")
objects = []
for line in lines.splitlines():
    try:
        objects.append(json.loads(line))
    except ValueError:
        check(False, "a line of --json output that is no JSON object: " + line[:80])
check(status == 0 and json_status == 0, "both runs exited with 0")
calls = [o for o in objects if o["type"] == "call"]
text_calls = [l for l in text.splitlines() if re.match(r"^ *\d+ \w+\(", l)]
rebuilt = ["%5d %s(%s)%s%s" % (c["seq"], c["function"], c["arguments"], " = " + c["result"] if c["result"] else "",
                               " -> " + c["out"] if c["out"] else "") for c in calls]
# Handles and addresses differ from run to run.
def unaddressed(lines):
    return [re.sub(r"0x[0-9A-F]{5,8}\b", "0x...", line) for line in lines]


check(len(calls) > 100 and unaddressed(rebuilt) == unaddressed(text_calls),
      "the %d calls read the same as the text's lines" % len(calls))
items = [o for o in objects if o["type"] == "item"]
for item in items:
    where = item["path"] + (" : " + item["name"] if item["kind"] == "value" else "")
    if not re.search(re.escape(where) + r".*\(call %d: %s\)" % (item["seq"], re.escape(item["status"])), text):
        check(False, "item not in the text: " + json.dumps(item))
# The summary's sections list each item once: as many lines under each
# heading as --json gives items of that action and outcome.
sections = {}
heading = None
for line in text[text.index("== summary of"):].splitlines():
    if re.match(r"^[a-z][\w ]*:", line):
        heading = line.split(":")[0]
        sections[heading] = []
    elif heading and line.startswith("  "):
        sections[heading].append(line)
expected = {title: len([i for i in items if i["ok"] and i["action"] == action])
            for action, title in (("delete", "deleted"), ("write", "written"), ("create", "created"),
                                  ("mount", "mounted"), ("unmount", "unmounted"))}
expected["failed or not there"] = len([i for i in items if not i["ok"]])
listed_items = {title: len(sections.get(title, [])) for title in expected}
check(expected["deleted"] > 30 and listed_items == expected, "%d items, %d deletions, each once in the text: %s" %
      (len(items), expected["deleted"], listed_items))
summary = [o for o in objects if o["type"] == "summary"]
listed = dict(re.findall(r"(\w+) (\d+)", re.search(r"^calls listed above \(\d+\): (.*)$", text, re.M).group(1)))
check(len(summary) == 1 and {k: int(v) for k, v in listed.items()} == summary[0]["calls"],
      "the summary counts the same calls per function")
keys = summary[0]["keys"]
check(keys["opened"] == keys["closed"] > 0 and keys["left_open"] == [] and summary[0]["mount_free"],
      "keys balance (%d opened and closed), the mount is free" % keys["opened"])

seed()
status, lines, _ = hookhost("--report", "--trace", "--json", dll, "DllPostInstall")
types = set()
for line in lines.splitlines():
    types.add(json.loads(line)["type"])
check(status == 0 and types == {"footprint", "call", "returned", "item", "summary", "change"},
      "--report --trace --json combine: " + " ".join(sorted(types)))

print("== bad input: one line, its exit status, no hook called")
scratch = os.path.join(prefix, "drive_c", "hookhost-cli")
os.makedirs(scratch, exist_ok=True)
with open(os.path.join(scratch, "notes.dll"), "w") as notes:
    notes.write("not a DLL\n")
shutil.copy(os.path.join(prefix, "drive_c", "windows", "system32", "kernel32.dll"), os.path.join(scratch, "x64.dll"))
folder = windows_path(scratch)
cases = [
    ((), 2, r"expected a DLL and a hook name; usage: "),
    ((dll,), 2, r"expected a DLL and a hook name"),
    ((dll, "DllPreUnInstall", "extra"), 2, r"too many arguments"),
    (("--verbose", dll, "DllPreUnInstall"), 2, r"unknown option '--verbose'"),
    (("--json", dll, "DllPreUnInstall"), 2, r"--json goes with --trace or --report"),
    ((dll, "DllFoo"), 4, r"unknown hook 'DllFoo' \(hooks: DllPostInstall DllCreateTasks"),
    ((folder + "\\missing.dll", "DllPreUnInstall"), 3, r"missing\.dll' does not exist"),
    ((folder + "\\notes.dll", "DllPreUnInstall"), 3, r"notes\.dll' is not a Windows DLL"),
    ((folder + "\\x64.dll", "DllPreUnInstall"), 3, r"x64\.dll' is a 64-bit DLL"),
    ((windows_path(args.hookhost), "DllPreUnInstall"), 3, r"hookhost\.exe' is a program, not a DLL"),
    ((windows_path(args.missing_export), "DllZudaUnInstall"), 5, r"does not export DllZudaUnInstall"),
]
seed()
send_to = glob.glob(os.path.join(prefix, "drive_c/users/*/AppData/Roaming/Microsoft/Windows/SendTo/"
                                         "Korvan Eraser.KorvanEraser"))
check(len(send_to) == 1, "the seeded Send To entry is there")
for arguments, expected, message in cases:
    for flags in ((), ("--trace", "--report")):
        full = (*flags, *arguments) if arguments and not arguments[0].startswith("--") else arguments
        status, out, err = hookhost(*full)
        lines = err.strip().splitlines()
        check(status == expected and out == "" and len(lines) == 1 and re.search("^hookhost: .*" + message, lines[0]),
              "%s -> %d: %s" % (" ".join(a.split("\\")[-1] for a in full) or "(none)", status, err.strip()))
check(all(os.path.exists(path) for path in send_to), "no hook ran: the Send To entry is still there")
shutil.rmtree(scratch)
wine(args.samplemachine, "clear")

print("hookhost cli: %d failed" % len(failures))
sys.exit(1 if failures else 0)
