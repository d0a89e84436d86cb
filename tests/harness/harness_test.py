#!/usr/bin/env python3
"""The runner that judges every test program (support/wine_program.py) on
programs that end badly on purpose (crash_probe.cpp): each must be judged
failed, with the reason, and a crash must end with the exception's own
status; the program that runs to its end must pass.

  harness_test.py --runner wine_program.py --probe crash_probe.exe --reports DIR
"""
import argparse
import os
import subprocess
import sys

parser = argparse.ArgumentParser()
for option in ("--runner", "--probe", "--reports"):
    parser.add_argument(option, required=True)
args = parser.parse_args()

CRASHED_WITH_OWN_STATUS = "the exception's own"
NO_REPORT = "ended before reporting"

# Each case, and what the verdict's last line must hold: a crash names Wine's
# line and the exception, and the status is the exception's.
cases = {
    "Normally": ["ran to its end: 1 tests reported"],
    "WithAnAccessViolationInTheMainThread": ["crashed: wine: Unhandled", CRASHED_WITH_OWN_STATUS, NO_REPORT],
    "WithAnAccessViolationInAWorkerThread": ["crashed: wine: Unhandled", CRASHED_WITH_OWN_STATUS, NO_REPORT],
    "InTheStackProtectorsFailureRoutineOnASmallStack":
        ["crashed: wine: Unhandled", CRASHED_WITH_OWN_STATUS, NO_REPORT],
    # Windows ends the process with the exception's code, 0xC00000FD; Wine
    # has no stack left to run the unhandled-exception filter on and exits
    # with 1, which is still no success.
    "WithAStackOverflow": ["crashed: wine: Unhandled stack overflow", NO_REPORT],
    "EarlyWithStatusZero": [NO_REPORT],
}

failures = 0
for case, expected in cases.items():
    limit = 120 * int(os.environ.get("INSTALLHOOKS_TIMEOUT_SCALE", "1"))
    run = subprocess.run([sys.executable, args.runner, "gtest", "--report", os.path.join(args.reports, case + ".xml"),
                          args.probe, "--gtest_filter=Ends." + case],
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=limit)
    lines = run.stdout.decode("utf-8", "replace").replace("\r", "").strip().splitlines()
    verdict = lines[-1] if lines else ""
    should_pass = case == "Normally"
    missing = [text for text in expected if text not in verdict]
    if "crashed:" in verdict and "exit status 0," in verdict:
        missing.append("a status other than 0")
    if (run.returncode == 0) != should_pass or missing:
        failures += 1
        print(f"  FAIL  Ends.{case}: runner exit {run.returncode}, expected {'0' if should_pass else '1'}; "
              f"missing {missing} in: {verdict!r}")
        print("        " + "\n        ".join(lines[-12:]))
    else:
        print(f"  ok    Ends.{case}: {verdict}")

print(f"harness: {len(cases) - failures} of {len(cases)} endings judged right")
sys.exit(1 if failures else 0)
