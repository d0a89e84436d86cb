#!/usr/bin/env bash
# The table check (msi_tables.sh) on the staged sample packages, and on three
# sources that wixl builds without complaint into packages that Windows
# Installer would run wrongly: the check must fail on each, and say why.
#
#   msi_tables_test.sh --wxs FILE --dll DLL --hookhost EXE --workdir DIR MSI...
set -uo pipefail
. "$(dirname "$0")/e2e_lib.sh"
tables=$(dirname "$0")/msi_tables.sh

packages=()
while [ $# -gt 0 ]; do
  case "$1" in
    --wxs) wxs=$2 ;;
    --dll) dll=$2 ;;
    --hookhost) hookhost=$2 ;;
    --workdir) workdir=$2 ;;
    *) packages+=("$1"); shift; continue ;;
  esac
  shift 2
done
require_tools wixl msiinfo
rm -rf "$workdir"
mkdir -p "$workdir"

failures=0
for package in "${packages[@]}"; do
  echo "== $(basename "$package")"
  bash "$tables" "$package" || failures=$((failures + 1))
done

# rejects WHAT SED-SCRIPT EXPECTED: the table check fails on the package
# built from the source as SED-SCRIPT edits it, saying EXPECTED (an extended
# regular expression).
rejects() {
  local package=$workdir/$(echo "$1" | tr -c 'A-Za-z0-9\n' _).msi output status
  echo "== with $1"
  if ! build_msi "$package" "$dll" "$hookhost" "$wxs" "$2" || sed -e "$2" "$wxs" | cmp -s "$wxs" -; then
    echo "  FAIL  the source with $1 did not build, or the edit did not apply"
    failures=$((failures + 1))
    return
  fi
  output=$(bash "$tables" "$package")
  status=$?
  if [ "$status" != 0 ] && grep -Eq -- "$3" <<<"$output"; then
    echo "  ok    wixl still builds the package, and the table check fails: $(grep -E -- "$3" <<<"$output" | sed 's/^ *FAIL *//')"
  else
    echo "  FAIL  the table check did not fail as expected:"
    sed 's/^/        /' <<<"$output"
    failures=$((failures + 1))
  fi
}
rejects "After=\"InstallFiles\" for DllPostInstall" 's/Sequence="4010">/After="InstallFiles">/' \
  'FAIL +HookPostInstall is at [0-9]+, not between InstallFiles'
rejects "the DLL as installed (type 17)" 's/BinaryKey="InstallHooksBinary" DllEntry/FileKey="InstallHooksDll" DllEntry/' \
  'FAIL +HookZudaUnInstall is not in the CustomAction table'
rejects "Execute=\"commit\" for DllZudaUnInstall" '/"HookZudaUnInstall" BinaryKey/{n;s/Execute="deferred"/Execute="commit"/}' \
  "FAIL +HookZudaUnInstall is 'HookZudaUnInstall\\|2049\\|"

echo
echo "msi tables: $failures checks failed"
[ "$failures" = 0 ]
