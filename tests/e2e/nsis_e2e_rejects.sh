#!/usr/bin/env bash
# The end-to-end check must fail, and say why, for a hook DLL that breaks the
# installer's contract: decorated export names, a missing export, a hook that
# removes the wrong number of bytes of arguments. Each faulty DLL runs the
# whole check (nsis_e2e.sh), every scenario, in place of the shipped one.
#
# The NSIS System plug-in restores the stack pointer itself after every call,
# so an installer built with NSIS runs a hook with the wrong argument count
# without noticing (and records 0); only hookhost's stack check catches it.
# The third case pins that down.
#
#   nsis_e2e_rejects.sh --check nsis_e2e.sh --decorated DLL --missing DLL
#                       --argument-count DLL --workdir DIR [nsis_e2e.sh's tool options]
set -uo pipefail

tools=()
while [ $# -gt 0 ]; do
  case "$1" in
    --check) check_script=$2 ;;
    --decorated) decorated=$2 ;;
    --missing) missing=$2 ;;
    --argument-count) argument_count=$2 ;;
    --workdir) workdir=$2 ;;
    *) tools+=("$1" "$2") ;;
  esac
  shift 2
done

failures=0

# rejects NAME DLL EXPECTED-LINE...: the check fails on DLL, and its output
# holds every EXPECTED-LINE (an extended regular expression).
rejects() {
  local name=$1 dll=$2 output status line
  shift 2
  output=$(bash "$check_script" --dll "$dll" "${tools[@]}" --workdir "$workdir/$(basename "$dll" .dll)" 2>&1)
  status=$?
  echo "== $name ($(basename "$dll"))"
  echo "$output" | grep -E '^  FAIL|^nsis end-to-end:' | sed 's/^/    /'
  if [ "$status" = 0 ]; then
    echo "  FAIL  the check passed a DLL with $name"
    failures=$((failures + 1))
  else
    echo "  ok    the check failed (exit $status)"
  fi
  for line in "$@"; do
    if grep -Eq -- "$line" <<<"$output"; then
      echo "  ok    it said: $line"
    else
      echo "  FAIL  it did not say: $line"
      failures=$((failures + 1))
    fi
  done
}

rejects "decorated exports" "$decorated" \
  'FAIL  hookhost: DllPostInstall exited with 5: .*does not export DllPostInstall' \
  "FAIL  recorded 'DllPostInstall=error' for DllPostInstall" \
  "FAIL  recorded 'DllCreateTasks=error' for DllCreateTasks" \
  "FAIL  recorded 'DllZudaUnInstall=error' for DllZudaUnInstall"

rejects "DllZudaUnInstall missing" "$missing" \
  'FAIL  hookhost: DllZudaUnInstall exited with 5: .*does not export DllZudaUnInstall' \
  "FAIL  recorded 'DllZudaUnInstall=error' for DllZudaUnInstall" \
  'ok    recorded DllPostInstall=0' \
  'ok    recorded DllPreUnInstall=0'

rejects "a one-argument DllPostInstall" "$argument_count" \
  'FAIL  hookhost: DllPostInstall exited with 1: .*removed 4 bytes of arguments, expected 16' \
  'ok    recorded DllPostInstall=0' \
  'ok    after install the footprint is the oracle'

echo
if [ "$failures" = 0 ]; then
  echo "nsis end-to-end rejects every faulty DLL"
else
  echo "nsis end-to-end: $failures expectations about faulty DLLs not met"
fi
[ "$failures" = 0 ]
