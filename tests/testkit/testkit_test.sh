#!/usr/bin/env bash
# The test kit as QA gets it: alone, in C:\kit of a fresh prefix of its own
# whose drive Z: (the Unix file system: the build, the scripts) is gone.
#
#   testkit_test.sh runs --kit KIT --workdir DIR --program EXE...
#     it runs every program, passes, reports as many GoogleTest cases as the
#     build's programs list, and leaves the machine as it found it;
#   testkit_test.sh refuses --kit KIT --workdir DIR
#     it refuses without --disposable-machine, and with it where the
#     product's key exists in either registry view, changing nothing.
set -uo pipefail
. "$(dirname "$0")/../../scripts/lib/wine.sh"

mode=$1
shift
programs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --kit) kit=$2 ;;
    --workdir) workdir=$2 ;;
    --program) programs+=("$2") ;;
    *) echo "testkit_test: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done

failures=0
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "  ok    $what"; else echo "  FAIL  $what"; failures=$((failures + 1)); fi
}

# The machine's state as the kit could change it: both registry roots that
# the tests write, and every file of drive C: but the kit's own folder. Left
# out: what Wine and Windows Installer make for themselves whoever starts
# them, and which holds nothing of ours: the display driver's keys, made
# when a program first opens the desktop, and Windows Installer's empty
# registration keys and folder, made at its first use (a product
# registered there still shows, as keys below them).
state() {
  "$wine64" reg.exe export HKLM "C:\\kit-state-hklm.reg" /y >/dev/null 2>&1
  "$wine64" reg.exe export HKU "C:\\kit-state-hku.reg" /y >/dev/null 2>&1
  cat "$WINEPREFIX"/drive_c/kit-state-*.reg | iconv -f UTF-16LE -t UTF-8 | tr -d '\r' | awk '
    /^\[/ { skip = /^\[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Video\\/ ||
                  /^\[HKEY_USERS\\[^\\]*\\Software\\Wine\\Temporary System Parameters/ ||
                  /^\[HKEY_LOCAL_MACHINE\\Software\\Classes\\Installer(\\(Features|Products|UpgradeCodes))?\]$/ ||
                  /^\[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\(UpgradeCodes|UserData(\\S-1-5-18(\\(Components|Products))?)?)\]$/ }
    !skip && NF'
  rm -f "$WINEPREFIX"/drive_c/kit-state-*.reg
  (cd "$WINEPREFIX/drive_c" && find . -path ./kit -prune -o -print | grep -vx ./windows/Installer | sort)
}

# kit ARGS...: runs the kit from C:\kit; its output in $output, status in $status.
kit() {
  output=$(cd "$WINEPREFIX/drive_c/kit" &&
    timeout "$(wine_timeout 1200)" wine 'C:\kit\installhooks-testkit.exe' "$@" </dev/null 2>&1 | tr -d '\r')
  status=${PIPESTATUS[0]}
  echo "$output" | sed 's/^/    | /'
}

fresh_prefix "$workdir/prefix"
counted=0
for program in "${programs[@]}"; do
  listed=$(wine "$program" --gtest_list_tests </dev/null | grep -c '^  ')
  counted=$((counted + listed))
done
rm "$WINEPREFIX/dosdevices/z:"
mkdir "$WINEPREFIX/drive_c/kit"
cp "$kit" "$WINEPREFIX/drive_c/kit/installhooks-testkit.exe"
before=$(state)

if [ "$mode" = runs ]; then
  echo "the build's ${#programs[@]} programs list $counted cases"
  kit --disposable-machine --out 'C:\kit\results'
  check "the kit exited with 0 (it exited with $status)" [ "$status" = 0 ]
  check "its last line says that none failed" grep -q '^[1-9][0-9]* passed, 0 failed$' <<<"$(tail -n 1 <<<"$output")"
  check "its summary counts $counted cases" grep -q "^  \"cases\": $counted,\$" "$WINEPREFIX/drive_c/kit/results/summary.json"
  check "its JUnit file holds $counted cases" [ "$(grep -c '<testcase ' "$WINEPREFIX/drive_c/kit/results/junit.xml")" = "$counted" ]
  for program in "${programs[@]}"; do
    name=$(basename "$program" .exe)
    check "$name: passed" grep -q "^$name  *passed " <<<"$output"
    check "$name: its report is complete" grep -q '</testsuites>' "$WINEPREFIX/drive_c/kit/results/$name.xml"
  done
  rm -r "$WINEPREFIX/drive_c/kit/results"
  check "the machine is as the kit found it (no extracted file, nothing the tests made)" \
    diff <(echo "$before") <(state)
else
  kit --out 'C:\results'
  check "without --disposable-machine: refused with status 3 (got $status)" [ "$status" = 3 ]
  check "  in one line that names the flag" \
    [ "$(wc -l <<<"$output")" = 1 -a -n "$(grep -- --disposable-machine <<<"$output")" ]
  check "  and nothing changed" diff <(echo "$before") <(state)
  for view in 64 32; do
    "$wine64" reg.exe add 'HKLM\SOFTWARE\Korvan' "/reg:$view" /f >/dev/null 2>&1
    before=$(state)
    kit --disposable-machine --out 'C:\results'
    check "HKLM\\SOFTWARE\\Korvan in the $view-bit view: refused with status 3 (got $status)" [ "$status" = 3 ]
    check "  in one line that names the key" grep -q "HKLM.SOFTWARE.Korvan ($view-bit view) exists" <<<"$output"
    check "  and nothing changed" diff <(echo "$before") <(state)
    "$wine64" reg.exe delete 'HKLM\SOFTWARE\Korvan' "/reg:$view" /f >/dev/null 2>&1
  done
fi
[ "$failures" = 0 ]
