#!/usr/bin/env bash
# Stages every input of e2e_tests.exe in one folder, under the names its
# header lists: the DLL under test and hookhost.exe, the faulty DLLs, the
# sample NSIS installer (examples/nsis) built with makensis around each DLL,
# since NSIS embeds it, and the sample package (examples/msi) built with
# wixl around the DLL under test and around the DLL whose removal fails.
# What needs Linux is made here; the checks run in e2e_tests.exe.
#
#   e2e_inputs.sh --out DIR --dll DLL --hookhost EXE --nsi SCRIPT --wxs FILE
#                 --failing-removal DLL [--faulty DLL]... [--makensis PATH]
#
# A faulty DLL keeps its file name, and its installer is <name>-sample.exe.
set -euo pipefail
. "$(dirname "$0")/e2e_lib.sh"

makensis=makensis
faulty=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=$2 ;;
    --dll) dll=$2 ;;
    --hookhost) hookhost=$2 ;;
    --nsi) nsi=$2 ;;
    --wxs) wxs=$2 ;;
    --failing-removal) failing_removal=$2 ;;
    --faulty) faulty+=("$2") ;;
    --makensis) makensis=$2 ;;
    *) echo "e2e_inputs: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
require_tools "$makensis" wixl

rm -rf "$out"
mkdir -p "$out"
cp "$dll" "$out/installhooks.dll"
cp "$hookhost" "$out/hookhost.exe"

# NSIS keeps the time of each file it packs, and the installer is the same
# bytes whenever it is built from the same files (the test kit carries it,
# and a release is reproducible): the files it packs, the script's folder
# copied, get the time SOURCE_DATE_EPOCH (0 when unset).
script=$out/nsis-script
mkdir "$script"
cp "$(dirname "$nsi")"/* "$script/"
nsi=$script/$(basename "$nsi")

# nsis NAME: NAME-sample.exe around NAME.dll, both in the folder.
nsis() {
  touch -d "@${SOURCE_DATE_EPOCH:-0}" "$out/$1.dll" "$script"/*
  if ! "$makensis" -V2 -DHOOKS_DLL="$out/$1.dll" -DOUTFILE="$out/$1-sample.exe" "$nsi" >"$out/$1-sample.log" 2>&1; then
    echo "e2e_inputs: makensis failed on $1.dll:" >&2
    cat "$out/$1-sample.log" >&2
    exit 1
  fi
  rm "$out/$1-sample.log"
}
# msi NAME DLL: NAME-sample.msi around DLL.
msi() {
  if ! build_msi "$out/$1-sample.msi" "$2" "$hookhost" "$wxs"; then
    echo "e2e_inputs: wixl failed on $2:" >&2
    cat "$out/$1-sample.msi.log" >&2
    exit 1
  fi
  rm "$out/$1-sample.msi.log"
}

nsis installhooks
for file in "${faulty[@]}"; do
  cp "$file" "$out/"
  nsis "$(basename "$file" .dll)"
done
msi installhooks "$dll"
msi "$(basename "$failing_removal" .dll)" "$failing_removal"
rm -r "$script"
