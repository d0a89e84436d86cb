#!/usr/bin/env bash
# The hooks as Windows Installer calls them: builds the sample package
# (examples/msi) around the hook DLL under test with wixl, checks its tables
# (msi_tables.sh), and installs and removes it silently with msiexec under
# Wine on the seeded sample machine.
#
# The oracle is the one of nsis_e2e.sh: in the same prefix the machine is
# seeded and the same hooks are run through hookhost; then the machine is
# seeded again and msiexec takes their place. The footprints must be
# identical after each phase, but for the time of the run in the install
# date stamp. On top of that: msiexec exits with 0, its log shows every hook
# action ending in success and the other removal hook not run, the install
# wrote the date stamp, and the removal took the product's files and its
# registration.
#
# The package is removed twice, once with each removal hook: DllZudaUnInstall
# as a DLL custom action (the default), DllPreUnInstall through hookhost.exe
# (REMOVALHOOK=DllPreUnInstall).
#
# With --removal-fails the DLL's DllZudaUnInstall returns 1603: the removal
# must fail with 1603 and roll back, leaving the product's files installed;
# they are then removed with DllPreUnInstall.
#
#   msi_e2e.sh --dll DLL --hookhost EXE --samplemachine EXE --wxs FILE
#              --workdir DIR [--removal-fails]
#
# Needs WINEPREFIX (scripts/test sets it). Exits non-zero on any failed check.
set -uo pipefail
e2e_name=msi_e2e
. "$(dirname "$0")/e2e_lib.sh"
tables=$(dirname "$0")/msi_tables.sh

removal_fails=
while [ $# -gt 0 ]; do
  case "$1" in
    --removal-fails) removal_fails=1; shift; continue ;;
    --dll) dll=$2 ;;
    --hookhost) hookhost=$2 ;;
    --samplemachine) samplemachine=$2 ;;
    --wxs) wxs=$2 ;;
    --workdir) workdir=$2 ;;
    *) echo "msi_e2e: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
e2e_require_options dll hookhost samplemachine wxs workdir
for tool in wixl msiinfo; do
  if ! command -v "$tool" >/dev/null; then
    echo "msi_e2e: $tool not found; scripts/setup installs the wixl and msitools packages" >&2
    exit 2
  fi
done
e2e_require_prefix

rm -rf "$workdir"
mkdir -p "$workdir/oracle" "$workdir/msi"
workdir=$(cd "$workdir" && pwd)
package="$workdir/main/KorvanHookSample.msi"
product='{B3A90066-11D2-49CE-A6AA-EBF0311D9C7D}'
installdir_unix="$WINEPREFIX/drive_c/Program Files (x86)/Korvan Hook Sample"

echo "Hook DLL under test: $dll"
echo "Prefix: $WINEPREFIX"

# build_package NAME [SED-SCRIPT]: builds $workdir/NAME/KorvanHookSample.msi
# from the sample's source, edited by SED-SCRIPT. wixl takes no absolute
# paths to the files a package holds and looks for them beside the source
# and in its working folder, so each build gets a folder with copies.
build_package() {
  local stage=$workdir/$1
  mkdir -p "$stage"
  cp "$dll" "$stage/installhooks.dll"
  cp "$hookhost" "$stage/hookhost.exe"
  cp "$(dirname "$wxs")/product.txt" "$stage/"
  sed -e "${2:-}" "$wxs" >"$stage/package.wxs"
  (cd "$stage" && wixl -a x86 -D HooksDll=installhooks.dll -D HookHost=hookhost.exe \
    -o KorvanHookSample.msi package.wxs) >"$stage/wixl.log" 2>&1 && [ -f "$stage/KorvanHookSample.msi" ]
}

# rejects WHAT SED-SCRIPT EXPECTED: the table check fails on the package
# built from the source as SED-SCRIPT edits it, saying EXPECTED (an extended
# regular expression).
rejects() {
  local output
  if ! build_package "$1" "$2" || cmp -s "$wxs" "$workdir/$1/package.wxs"; then
    fail "the source with $1 did not build, or the edit did not apply"
    return
  fi
  output=$(bash "$tables" "$workdir/$1/KorvanHookSample.msi")
  if [ $? != 0 ] && grep -Eq -- "$3" <<<"$output"; then
    pass "with $1 wixl still builds the package, and the table check fails: $(grep -E -- "$3" <<<"$output" | sed 's/^ *FAIL *//')"
  else
    fail "the table check did not fail as expected with $1:"
    sed 's/^/        /' <<<"$output"
  fi
}

# run_msiexec LOG ARGUMENTS...: msiexec, silent, with a verbose log; sets
# status and seconds.
run_msiexec() {
  local log=$1 start=$EPOCHREALTIME
  shift
  timeout "$(wine_timeout 300)" "$wine64" msiexec.exe "$@" /qn /l*v "$(winpath "$log")" </dev/null >"$log.out" 2>&1
  status=$?
  output=$log.out
  seconds=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
}
install() {
  run_msiexec "$workdir/msi/$1" /i "$(winpath "$package")"
  exited "msiexec /i (${seconds} s)" "$status" "$output"
}
remove() { # remove LOG [PROPERTY=VALUE]
  run_msiexec "$workdir/msi/$1" /x "$(winpath "$package")" ${2:+"$2"}
}

# logged LOG ACTION RESULT: the last result the log gives for ACTION is
# RESULT (1 success). Wine logs a deferred action once when it
# schedules it and again when it runs it.
logged() {
  local got
  got=$(tr -d '\r' <"$workdir/msi/$1" | sed -n "s/^Action ended [0-9:]*: $2\. Return value \([0-9]*\)\.$/\1/p" | tail -n 1)
  if [ "$got" = "$3" ]; then
    pass "$1 shows $2 ending with return value $3"
  else
    fail "$1 shows $2 ending with return value '${got:-none}', expected $3"
  fi
}
not_logged() {
  if grep -aq ": $2\." "$workdir/msi/$1"; then fail "$1 shows $2, which was not to run"; else pass "$1 shows no $2"; fi
}

installed() { [ -f "$installdir_unix/installhooks.dll" ] && [ -f "$installdir_unix/hookhost.exe" ] && [ -f "$installdir_unix/product.txt" ]; }
gone() { [ ! -e "$installdir_unix" ]; }
# registered: the product's Uninstall key (a 32-bit package's, in the 32-bit view) is there.
registered() {
  "$wine64" reg.exe query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product" /reg:32 </dev/null >/dev/null 2>&1
}
unregistered() { ! registered; }

echo
echo "== Building the sample package with wixl"
if build_package main; then
  pass "wixl built $(basename "$package")"
else
  fail "wixl failed:"
  sed 's/^/        /' "$workdir/main/wixl.log"
  echo "msi end-to-end: $checks checks, $failures failed"
  exit 1
fi

echo
echo "== The package's custom actions and their sequence"
if bash "$tables" "$package"; then pass "the hook actions are as the sample defines them"; else fail "the hook actions are not as the sample defines them"; fi
if [ -z "$removal_fails" ]; then
  rejects "After=\"InstallFiles\" for DllPostInstall" 's/Sequence="4010">/After="InstallFiles">/' \
    'FAIL +HookPostInstall is at [0-9]+, not between InstallFiles'
  rejects "the DLL as installed (type 17)" 's/BinaryKey="InstallHooksBinary" DllEntry/FileKey="InstallHooksDll" DllEntry/' \
    'FAIL +HookZudaUnInstall is not in the CustomAction table'
  rejects "Execute=\"commit\" for DllZudaUnInstall" '/"HookZudaUnInstall" BinaryKey/{n;s/Execute="deferred"/Execute="commit"/}' \
    "FAIL +HookZudaUnInstall is 'HookZudaUnInstall\\|2049\\|"
fi

if [ -n "$removal_fails" ]; then
  echo
  echo "== A removal hook that returns 1603"
  rm -rf "$installdir_unix"
  install 1-install.log
  remove 2-remove.log
  # A Linux parent sees the low 8 bits of the exit status.
  if crashed "msiexec /x" "$(cat "$output")"; then
    :
  elif [ "$status" = $((1603 & 255)) ]; then
    pass "msiexec /x exited with 1603 ERROR_INSTALL_FAILURE, seen here as $status (${seconds} s)"
  else
    fail "msiexec /x exited with $status, expected 1603 (seen here as $((1603 & 255)))"
  fi
  # Windows logs a failed action's result as 3; Wine 8 logs 0 for any failure.
  logged 2-remove.log HookZudaUnInstall 0
  check "the failed removal left the product's files installed" installed
  # Wine 8's rollback of a removal leaves the product's files and components
  # but not its Uninstall entry, which Windows restores: not checked here.
  remove 3-remove-preuninstall.log REMOVALHOOK=DllPreUnInstall
  exited "then msiexec /x REMOVALHOOK=DllPreUnInstall (${seconds} s)" "$status" "$output"
  logged 3-remove-preuninstall.log HookPreUnInstall 1
  check "then the product's files are gone" gone
  echo
  echo "msi end-to-end: $checks checks, $failures failed (packages and logs in $workdir)"
  [ "$failures" = 0 ]
  exit
fi

echo
echo "== Oracle: the hooks through hookhost on the seeded machine"
sample seed
report "$workdir/oracle/0-seeded.tsv"
hook DllPostInstall
hook DllCreateTasks
report "$workdir/oracle/1-installed.tsv"
hook DllZudaUnInstall
report "$workdir/oracle/2-removed-zuda.tsv"
sample seed
hook DllPostInstall
hook DllCreateTasks
hook DllPreUnInstall
report "$workdir/oracle/3-removed-preuninstall.tsv"

echo
echo "== msiexec on the same seeded machine: install, then remove with DllZudaUnInstall"
sample seed
report "$workdir/msi/0-seeded.tsv"
same_footprint "the seed is the oracle's seed" "$workdir/oracle/0-seeded.tsv" "$workdir/msi/0-seeded.tsv"
rm -rf "$installdir_unix"
start=$(date -u +%s)
install 1-install.log
end=$(date -u +%s)
logged 1-install.log HookPostInstall 1
logged 1-install.log HookCreateTasks 1
check "the package installed installhooks.dll, hookhost.exe and product.txt" installed
check "the installed installhooks.dll is the DLL under test" cmp -s "$dll" "$installdir_unix/installhooks.dll"
check "the package registered the product (its Uninstall entry)" registered
report "$workdir/msi/1-installed.tsv"
same_footprint "after install the footprint is the oracle's after DllPostInstall and DllCreateTasks" \
  "$workdir/oracle/1-installed.tsv" "$workdir/msi/1-installed.tsv"
stamp_written_by_run "$workdir/msi/1-installed.tsv" "$start" "$end"

remove 2-remove.log
exited "msiexec /x (${seconds} s)" "$status" "$output"
logged 2-remove.log HookZudaUnInstall 1
not_logged 2-remove.log HookPreUnInstall
check "the removal took the product's files and folder" gone
check "the removal took the product's registration" unregistered
report "$workdir/msi/2-removed-zuda.tsv"
same_footprint "after removal the footprint is the oracle's after DllZudaUnInstall" \
  "$workdir/oracle/2-removed-zuda.tsv" "$workdir/msi/2-removed-zuda.tsv"

echo
echo "== Again, removing with REMOVALHOOK=DllPreUnInstall (through hookhost.exe)"
sample seed
install 3-install.log
remove 4-remove-preuninstall.log REMOVALHOOK=DllPreUnInstall
exited "msiexec /x REMOVALHOOK=DllPreUnInstall (${seconds} s)" "$status" "$output"
logged 4-remove-preuninstall.log HookPreUnInstall 1
not_logged 4-remove-preuninstall.log HookZudaUnInstall
check "the removal took the product's files and folder" gone
report "$workdir/msi/3-removed-preuninstall.tsv"
same_footprint "after removal the footprint is the oracle's after DllPreUnInstall" \
  "$workdir/oracle/3-removed-preuninstall.tsv" "$workdir/msi/3-removed-preuninstall.tsv"

# Leave the prefix as we found it: no product footprint.
sample clear

echo
echo "msi end-to-end: $checks checks, $failures failed (packages and logs in $workdir)"
[ "$failures" = 0 ]
