#!/usr/bin/env bash
# The binary check passes on the DLL and on hookhost.exe, and on each
# variant fails naming the one rule that the variant breaks, and no other.
set -uo pipefail
while [ $# -gt 0 ]; do
  case "$1" in
    --check) check=$2 ;; --version) version=$2 ;; --dll) dll=$2 ;;
    --no-guard-cf) no_guard_cf=$2 ;; --seh) seh=$2 ;; --unchecked-fast-fail) unchecked_fast_fail=$2 ;;
    --host) host=$2 ;; --host-no-guard-cf) host_no_guard_cf=$2 ;;
    *) echo "bincheck_test: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
status=0
pdb=${dll%.dll}.pdb
if ! /usr/bin/python3 "$check" "$dll" --version "$version" --pdb "$pdb"; then
  echo "bincheck_test: the check fails on the DLL itself" >&2
  status=1
fi
if ! /usr/bin/python3 "$check" "$host"; then
  echo "bincheck_test: the check fails on hookhost.exe itself" >&2
  status=1
fi
# expect_only_failure FILE RULE
expect_only_failure() {
  local output
  output=$(/usr/bin/python3 "$check" "$1" --version "$version")
  local code=$?
  echo "$(basename "$1"): $(echo "$output" | grep '^FAIL')"
  if [ "$code" -ne 1 ] || [ "$(echo "$output" | grep -c '^FAIL')" -ne 1 ] ||
     ! grep -q "^FAIL $2:" <<<"$output"; then
    echo "bincheck_test: $(basename "$1") must fail exactly the rule '$2' (exit $code)" >&2
    status=1
  fi
}
expect_only_failure "$no_guard_cf" cfg
expect_only_failure "$seh" no-seh
expect_only_failure "$unchecked_fast_fail" fast-fail
expect_only_failure "$host_no_guard_cf" cfg
exit $status
