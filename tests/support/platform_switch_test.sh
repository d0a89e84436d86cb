#!/usr/bin/env bash
# The platform switch of support/platform.h is real code: under Wine, a test
# of a place where Windows and Wine differ fails on Wine's behaviour when the
# switch is forced to "windows", with the message that names Windows'
# expectation, and passes as the platform is detected; a value the switch
# does not know stops the program. Runs PROGRAM (preuninstall_tests.exe).
set -euo pipefail
program=$1
case=SweepOfflineProfiles.AKeyLeftOpenInTheMountedHiveIsCountedAndOnWindowsKeepsTheHiveLoaded
windows='Windows: RegUnLoadKeyW refuses a hive while a key inside it is open'
fail() { echo "platform_switch: $*" >&2; exit 1; }
has() { grep -qF -- "$1" <<<"$said"; }

# run VALUE: the case with INSTALLHOOKS_TEST_PLATFORM=VALUE (unset if empty);
# its output in $said, its exit status in $status.
run() {
  status=0
  if [ -n "$1" ]; then
    said=$(INSTALLHOOKS_TEST_PLATFORM=$1 wine "$program" --gtest_filter="$case" --gtest_color=no 2>&1) || status=$?
  else
    said=$(env -u INSTALLHOOKS_TEST_PLATFORM wine "$program" --gtest_filter="$case" --gtest_color=no 2>&1) ||
      status=$?
  fi
  said=$(tr -d '\r' <<<"$said")
}

run windows
echo "--- forced to windows:"
grep -E '^\[ platform \]|Failure$|^Windows: |^\[  FAILED  \] .*\(' <<<"$said" || true
[ "$status" -ne 0 ] || fail "forced to windows, $case passed on Wine's behaviour"
has '[ platform ] Windows, two registry views (forced by INSTALLHOOKS_TEST_PLATFORM; ntdll of Wine ' ||
  fail "forced to windows, the program did not say so"
has "$windows" || fail "forced to windows, the failure does not name Windows' expectation: $windows"
has "[  FAILED  ] $case" || fail "forced to windows, $case did not fail by itself:"$'\n'"$said"

run ''
echo "--- detected:"
grep -E '^\[ platform \]|^\[       OK \]' <<<"$said" || true
[ "$status" -eq 0 ] && has '[  PASSED  ] 1 test.' || fail "as detected, $case failed:"$'\n'"$said"
has '[ platform ] Wine, two registry views (detected; ntdll of Wine ' || fail "the program did not detect Wine"

run macos
[ "$status" -eq 2 ] && has 'INSTALLHOOKS_TEST_PLATFORM=macos: expected windows, windows-32bit or wine' ||
  fail "an unknown platform did not stop the program (exit $status):"$'\n'"$said"
echo "platform_switch: forced to windows the case fails on Wine's behaviour, as detected it passes"
