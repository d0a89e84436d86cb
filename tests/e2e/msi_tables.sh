#!/usr/bin/env bash
# The sample package's hook actions as Windows Installer reads them, from the
# built package's own tables (msiinfo, msitools). wixl accepts some authoring
# that it then builds into something else without failing: a custom action of
# a type it does not know (17, 2) is left out of the CustomAction table while
# its sequence row stays, Execute="commit" or "rollback" becomes immediate,
# and Before=/After= scheduling lands actions anywhere, even past
# InstallFinalize. A Wine run cannot tell either: Windows Installer under Wine
# runs a sequence row whose action is missing as a success, as it does a DLL
# entry point that the DLL does not export.
#
#   msi_tables.sh MSI
#
# Prints one line per check; exits non-zero if any fails.
set -uo pipefail
msi=$1

# table NAME: the rows of a table, without msiinfo's three header lines.
table() { msiinfo export "$msi" "$1" | tail -n +4 | tr -d '\r'; }
if ! actions=$(table CustomAction) || ! sequence=$(table InstallExecuteSequence); then
  echo "  FAIL  msiinfo cannot read the tables of $msi"
  exit 1
fi
binaries=$(table Binary | cut -f1)
files=$(table File | cut -f1)
sequence_of() { awk -F '\t' -v a="$1" '$1 == a { print $3 }' <<<"$sequence"; }

failures=0
say() { printf '  %-4s  %s\n' "$1" "$2"; [ "$1" = ok ] || failures=$((failures + 1)); }

first=$(sequence_of InstallInitialize)
last=$(sequence_of InstallFinalize)
if [ "$first" = 1500 ] && [ "$last" = 6600 ]; then
  say ok "InstallInitialize at 1500, InstallFinalize at 6600"
else
  say FAIL "InstallInitialize at '${first}', InstallFinalize at '${last}', expected 1500 and 6600"
fi

# action NAME TYPE SOURCE TARGET AFTER BEFORE: the custom action NAME has that
# type, source (a row of the Binary table for type 1, of the File table for
# type 18) and target, and is sequenced after AFTER and before BEFORE, inside
# InstallInitialize..InstallFinalize.
action() {
  local name=$1 type=$2 source=$3 target=$4 after=$5 before=$6 row at keys
  row=$(awk -F '\t' -v a="$name" '$1 == a' <<<"$actions")
  if [ -z "$row" ]; then
    say FAIL "$name is not in the CustomAction table"
  elif [ "$row" != "$name"$'\t'"$type"$'\t'"$source"$'\t'"$target"$'\t' ]; then
    say FAIL "$name is '$(tr '\t' '|' <<<"$row")', expected '$name|$type|$source|$target|'"
  else
    say ok "$name: type $type, source $source, target $target"
  fi
  if [ $((type & 63)) = 1 ]; then keys=$binaries; else keys=$files; fi
  grep -qx -- "$source" <<<"$keys" || say FAIL "$name's source $source is no row of the $([ $((type & 63)) = 1 ] && echo Binary || echo File) table"
  at=$(sequence_of "$name")
  if [ -z "$at" ]; then
    say FAIL "$name is not in the InstallExecuteSequence table"
  elif [ "$at" -le "${first:-1500}" ] || [ "$at" -ge "${last:-6600}" ] ||
       [ "$at" -le "$(sequence_of "$after")" ] || [ "$at" -ge "$(sequence_of "$before")" ]; then
    say FAIL "$name is at $at, not between $after ($(sequence_of "$after")) and $before ($(sequence_of "$before")) inside ${first:-1500}..${last:-6600}"
  else
    say ok "$name at $at, between $after and $before"
  fi
}

# 3073 = 1 (DLL from the Binary table) + 1024 (deferred) + 2048 (no impersonation);
# 3090 = 18 (program installed with the product) + 1024 + 2048.
action HookZudaUnInstall 3073 InstallHooksBinary DllZudaUnInstall InstallInitialize RemoveFiles
action HookPreUnInstall 3090 HookHostExe '"[#InstallHooksDll]" DllPreUnInstall' InstallInitialize RemoveFiles
action HookPostInstall 3090 HookHostExe '"[#InstallHooksDll]" DllPostInstall' InstallFiles HookCreateTasks
action HookCreateTasks 3090 HookHostExe '"[#InstallHooksDll]" DllCreateTasks' HookPostInstall InstallFinalize
[ "$failures" = 0 ]
