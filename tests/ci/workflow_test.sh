#!/usr/bin/env bash
# The workflow passes the schema check, and each broken copy of it fails,
# naming the fault: the check can be seen to fail.
set -uo pipefail
while [ $# -gt 0 ]; do
  case "$1" in
    --validator) validator=$2 ;; --workflow) workflow=$2 ;; --workdir) workdir=$2 ;;
    *) echo "workflow_test: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
if ! command -v "$validator" >/dev/null; then
  echo "workflow_test: $validator is missing; run scripts/setup as root" >&2
  exit 1
fi
status=0
if "$validator" "$workflow"; then
  echo "workflow_test: $(basename "$workflow") validates"
else
  echo "workflow_test: $(basename "$workflow") does not validate" >&2
  status=1
fi

rm -rf "$workdir"
mkdir -p "$workdir"
# expect_rejected NAME SED-EXPRESSION FAULT: the copy that the expression
# breaks must fail, with FAULT in the validator's report.
expect_rejected() {
  local copy=$workdir/$1.yml
  sed "$2" "$workflow" >"$copy"
  if cmp -s "$workflow" "$copy"; then
    echo "workflow_test: $1: the workflow no longer has what this copy breaks" >&2
    status=1
    return
  fi
  "$validator" "$copy" >"$workdir/$1.out" 2>&1
  local code=$?
  if [ "$code" -eq 0 ] || ! grep -F "$3" "$workdir/$1.out"; then
    echo "workflow_test: $1: must be rejected naming $3 (exit $code)" >&2
    status=1
  else
    echo "workflow_test: $1 rejected (exit $code; the validator's report: $workdir/$1.out)"
  fi
}
expect_rejected build-without-runs-on '/^  build:$/,/^  [a-z]/{/^    runs-on:/d}' '"/jobs/build/runs-on"'
expect_rejected windows-unknown-key '/^  windows:$/,$s/^    timeout-minutes:/    timeout-minute:/' "Additional property 'timeout-minute'"
expect_rejected needs-unknown-job 's/^    needs: build$/    needs: bulid/' 'bulid'
exit $status
