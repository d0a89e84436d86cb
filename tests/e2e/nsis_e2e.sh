#!/usr/bin/env bash
# The hooks as a real installer engine calls them: builds the sample NSIS
# installer (examples/nsis) around the hook DLL under test, and runs it and its
# uninstaller silently under Wine on the seeded sample machine.
#
# The oracle is the same DLL driven by hookhost.exe, whose contract checks
# (export found by name, return value 0, exactly its arguments removed from
# the stack) the unit tests pin down: in the same prefix the machine is seeded,
# the hooks are run through hookhost and the footprint is reported after each
# phase; then the machine is seeded again and the NSIS installer and
# uninstaller take their place. The footprints must be identical after each
# phase, but for the time of the run in the install date stamp. Whatever the
# hooks come to do, this holds as long as the installer calls them as
# hookhost does.
#
# On top of that it checks what holds whatever the footprint is: every hook
# the installer called recorded 0, the installer and uninstaller exited with
# 0, the uninstaller freed the DLL before deleting it, and the date stamp was
# written by the installer's own run.
#
#   nsis_e2e.sh --dll DLL --hookhost EXE --samplemachine EXE --makensis PATH
#               --nsi SCRIPT --workdir DIR [--scenarios LIST]
#
# The scenarios, each run by hookhost and then by NSIS: install (the
# installer's hooks), uninstall (install, then the plain uninstaller) and
# zuda (install, then the uninstaller with /ZUDA). LIST is a comma-separated
# subset; all of them by default. Every Wine program started costs a minute
# where 32-bit code runs under an old qemu (scripts/lib/i386.sh), so the
# script starts few.
#
# Needs WINEPREFIX (scripts/test sets it). Exits non-zero on any failed check.
set -uo pipefail
e2e_name=nsis_e2e
. "$(dirname "$0")/e2e_lib.sh"

scenarios=install,uninstall,zuda

while [ $# -gt 0 ]; do
  case "$1" in
    --dll) dll=$2 ;;
    --hookhost) hookhost=$2 ;;
    --samplemachine) samplemachine=$2 ;;
    --makensis) makensis=$2 ;;
    --nsi) nsi=$2 ;;
    --workdir) workdir=$2 ;;
    --scenarios) scenarios=$2 ;;
    *) echo "nsis_e2e: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
e2e_require_options dll hookhost samplemachine makensis nsi workdir
if ! command -v "$makensis" >/dev/null; then
  echo "nsis_e2e: makensis not found ($makensis); scripts/setup installs the nsis package" >&2
  exit 2
fi
for scenario in ${scenarios//,/ }; do
  case "$scenario" in
    install | uninstall | zuda) ;;
    *) echo "nsis_e2e: unknown scenario $scenario" >&2; exit 2 ;;
  esac
done
# want SCENARIO: SCENARIO is to run (uninstall implies install).
want() {
  [[ ",$scenarios," == *",$1,"* ]] || { [ "$1" = install ] && want uninstall; }
}
e2e_require_prefix

rm -rf "$workdir"
mkdir -p "$workdir/oracle" "$workdir/nsis"
workdir=$(cd "$workdir" && pwd)

installer="$workdir/KorvanHookSample.exe"
installdir='C:\Program Files (x86)\Korvan Hook Sample'
installdir_unix="$WINEPREFIX/drive_c/Program Files (x86)/Korvan Hook Sample"
results="$workdir/results.txt"
results_win=$(winpath "$results")
# The installer takes /RESULTS= as one unquoted word.
case "$results_win" in
  *' '*) echo "nsis_e2e: the work directory must not contain spaces: $workdir" >&2; exit 2 ;;
esac

echo "Hook DLL under test: $dll"
echo "Prefix: $WINEPREFIX"

echo
echo "== Building the sample installer with makensis"
if "$makensis" -V2 -DHOOKS_DLL="$dll" -DOUTFILE="$installer" "$nsi" >"$workdir/makensis.log" 2>&1 &&
   [ -f "$installer" ]; then
  pass "makensis built $(basename "$installer")"
else
  fail "makensis failed:"
  sed 's/^/        /' "$workdir/makensis.log"
  echo "nsis end-to-end: $checks checks, $failures failed"
  exit 1
fi

echo
echo "== Oracle: the hooks through hookhost on the seeded machine"
if want install; then
  sample seed
  report "$workdir/oracle/0-seeded.tsv"
  hook DllPostInstall
  hook DllCreateTasks
  report "$workdir/oracle/1-installed.tsv"
  if want uninstall; then
    hook DllPreUnInstall
    report "$workdir/oracle/2-uninstalled.tsv"
  fi
fi
if want zuda; then
  sample seed
  hook DllPostInstall
  hook DllCreateTasks
  hook DllZudaUnInstall
  report "$workdir/oracle/3-uninstalled-zuda.tsv"
fi

# recorded_results: the installer's results file, one "Hook=result" per line.
recorded_results() { tr -d '\r' <"$results" 2>/dev/null | tr '\n' ' ' | sed 's/ $//'; }

# recorded HOOK VALUE: the results file holds exactly one HOOK line, with VALUE.
recorded() {
  local lines
  lines=$(tr -d '\r' <"$results" 2>/dev/null | grep "^$1=")
  if [ "$lines" = "$1=$2" ]; then
    pass "recorded $1=$2"
  else
    fail "recorded '${lines:-nothing}' for $1, expected $1=$2 (results file: $(recorded_results))"
  fi
}

run_installer() {
  rm -f "$results"
  timeout "$(wine_timeout 300)" wine "$installer" /S "/RESULTS=$results_win" </dev/null >"$workdir/installer.out" 2>&1
  exited "the installer ($(basename "$installer") /S)" $? "$workdir/installer.out"
}

# The uninstaller copies itself to %TEMP% and returns at once unless it is
# told with _?= to run in place; _?= must be the last parameter and is taken
# verbatim, spaces and all, so it cannot go through wine's own argument
# quoting. A batch file gives it the command line as an installer's
# UninstallString would.
run_uninstaller() { # run_uninstaller [/ZUDA]
  local batch="$workdir/uninstall.cmd"
  rm -f "$results"
  printf '@echo off\r\n"%s\\uninstall.exe" /S %s /RESULTS=%s _?=%s\r\nexit /b %%ERRORLEVEL%%\r\n' \
    "$installdir" "${1:-}" "$results_win" "$installdir" >"$batch"
  timeout "$(wine_timeout 300)" "$wine64" cmd.exe /c "$(winpath "$batch")" </dev/null >"$workdir/uninstaller.out" 2>&1
  exited "the uninstaller (uninstall.exe /S ${1:+$1 }_?=...)" $? "$workdir/uninstaller.out"
}

# Running in place, the uninstaller cannot delete its own file.
remove_install_dir() { rm -rf "$installdir_unix"; }

if want install; then
  echo
  echo "== The NSIS installer and uninstaller on the same seeded machine"
  sample seed
  report "$workdir/nsis/0-seeded.tsv"
  same_footprint "the seed is the oracle's seed" "$workdir/oracle/0-seeded.tsv" "$workdir/nsis/0-seeded.tsv"

  remove_install_dir
  start=$(date -u +%s)
  run_installer
  end=$(date -u +%s)
  recorded DllPostInstall 0
  recorded DllCreateTasks 0
  check "the installer installed installhooks.dll and the product's file into $installdir" \
    test -f "$installdir_unix/installhooks.dll" -a -f "$installdir_unix/product.txt"
  check "the installed installhooks.dll is the DLL under test (so hookhost's checks hold for it)" \
    cmp -s "$dll" "$installdir_unix/installhooks.dll"
  report "$workdir/nsis/1-installed.tsv"
  same_footprint "after install the footprint is the oracle's after DllPostInstall and DllCreateTasks" \
    "$workdir/oracle/1-installed.tsv" "$workdir/nsis/1-installed.tsv"
  stamp_written_by_run "$workdir/nsis/1-installed.tsv" "$start" "$end"

  if want uninstall; then
    run_uninstaller
    recorded DllPreUnInstall 0
    recorded LoadedAtRemoval no
    check "the uninstaller removed installhooks.dll and the product's file" \
      test ! -e "$installdir_unix/installhooks.dll" -a ! -e "$installdir_unix/product.txt"
    report "$workdir/nsis/2-uninstalled.tsv"
    same_footprint "after uninstall the footprint is the oracle's after DllPreUnInstall" \
      "$workdir/oracle/2-uninstalled.tsv" "$workdir/nsis/2-uninstalled.tsv"
    remove_install_dir
  fi
fi

if want zuda; then
  echo
  echo "== Again, uninstalling with /ZUDA (DllZudaUnInstall, one argument)"
  sample seed
  run_installer
  recorded DllPostInstall 0
  run_uninstaller /ZUDA
  recorded DllZudaUnInstall 0
  check "with /ZUDA the uninstaller did not call DllPreUnInstall" \
    test -z "$(tr -d '\r' <"$results" | grep '^DllPreUnInstall=')"
  recorded LoadedAtRemoval no
  report "$workdir/nsis/3-uninstalled-zuda.tsv"
  same_footprint "after uninstall /ZUDA the footprint is the oracle's after DllZudaUnInstall" \
    "$workdir/oracle/3-uninstalled-zuda.tsv" "$workdir/nsis/3-uninstalled-zuda.tsv"
fi

# Leave the prefix as we found it: no product footprint, no install folder.
remove_install_dir
sample clear

echo
echo "nsis end-to-end: $checks checks, $failures failed (reports and logs in $workdir)"
[ "$failures" = 0 ]
