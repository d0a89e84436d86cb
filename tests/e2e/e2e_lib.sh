# Shared by the end-to-end checks (nsis_e2e.sh, msi_e2e.sh): the prefix and
# its drive Z:, the tally of checks, the sample machine, the oracle's call of
# a hook through hookhost, and the comparison of footprints.
#
# The caller sets e2e_name (the prefix of its messages) and, before calling
# sample or hook, samplemachine, hookhost and dll.
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/wine.sh"

checks=0
failures=0
pass() { checks=$((checks + 1)); echo "  ok    $*"; }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "  FAIL  $*"; }
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# e2e_require_options NAME...: each NAME was given (--NAME VALUE).
e2e_require_options() {
  local name
  for name in "$@"; do
    if [ -z "${!name:-}" ]; then
      echo "$e2e_name: --$name is required" >&2
      exit 2
    fi
  done
}

# e2e_require_prefix: WINEPREFIX names a prefix whose drive Z: is /, through
# which Unix paths reach Windows programs; starts Wine's services.
e2e_require_prefix() {
  if [ -z "${WINEPREFIX:-}" ] || [ ! -d "$WINEPREFIX" ]; then
    echo "$e2e_name: WINEPREFIX must name an existing prefix (scripts/test makes one)" >&2
    exit 2
  fi
  if [ "$(readlink "$WINEPREFIX/dosdevices/z:")" != / ]; then
    echo "$e2e_name: drive Z: of $WINEPREFIX is not mapped to /" >&2
    exit 2
  fi
  # Wine's services start with the first program; start them with no pipe
  # attached, or they would hold the caller's pipes open.
  "$wine64" cmd.exe /c exit </dev/null >/dev/null 2>&1
}

winpath() { local p; p=$(realpath -m "$1"); printf 'Z:%s' "${p//\//\\}"; }

# crashed WHAT OUTPUT: OUTPUT (a program's stderr) holds Wine's line for a
# crash; fails the check and names it. A crash may end with any status.
crashed() {
  local line
  line=$(tr -d '\r' <<<"$2" | grep -m 1 -E '^wine: (Unhandled|Unimplemented function|Call from .* to unimplemented)') || return 1
  fail "$1 crashed: $line"
}

sample() {
  local errors status
  # Its output goes where the caller's does; its stderr is read for a crash.
  {
    errors=$(timeout "$(wine_timeout 120)" wine "$samplemachine" "$@" </dev/null 2>&1 >&3)
    status=$?
  } 3>&1
  printf '%s' "$errors" >&2
  crashed "samplemachine $*" "$errors" && return
  [ "$status" = 0 ] || fail "samplemachine $* exited with $status"
}
report() { sample report >"$1"; }

# hook NAME: the oracle's call, through hookhost.
hook() {
  local output status
  output=$(timeout "$(wine_timeout 120)" wine "$hookhost" "$(winpath "$dll")" "$1" </dev/null 2>&1)
  status=$?
  if crashed "hookhost $1" "$output"; then
    :
  elif [ "$status" = 0 ]; then
    pass "hookhost: $1 returned 0 and removed exactly its arguments"
  else
    fail "hookhost: $1 exited with $status: $(echo "$output" | tr -d '\r' | tr '\n' ' ')"
  fi
}

# same_footprint WHAT EXPECTED ACTUAL: the reports list the same items with
# the same states; a line may differ only where both sides carry the time of
# their own run (a UTC SYSTEMTIME or a short date), which is masked.
same_footprint() {
  local what=$1 expected=$2 actual=$3 diff
  diff=$(awk -F '\t' '
    function mask(s) {
      gsub(/[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] UTC/, "<time of the run> UTC", s)
      gsub(/"[0-9]+[\/.-][0-9]+[\/.-][0-9]+"/, "\"<date of the run>\"", s)
      return s
    }
    NR == FNR { want[FNR] = $0; wanted = FNR; next }
    {
      got = FNR
      if (!(FNR in want)) { printf "extra item: %s\n", $0; next }
      if (want[FNR] == $0) next
      if (mask(want[FNR]) == mask($0)) next
      printf "expected: %s\n  actual: %s\n", want[FNR], $0
    }
    END { for (i = got + 1; i <= wanted; i++) printf "missing item: %s\n", want[i] }
  ' "$expected" "$actual")
  if [ -z "$diff" ] && [ -s "$actual" ]; then
    pass "$what ($(wc -l <"$actual") footprint items)"
  else
    fail "$what"
    echo "$diff" | sed 's/^/        /'
  fi
}

# exited WHAT STATUS [OUTPUT-FILE]: ended with 0, and without a crash in
# OUTPUT-FILE (what it printed, the programs it started included).
exited() {
  if [ -n "${3:-}" ] && crashed "$1" "$(cat "$3" 2>/dev/null)"; then
    return
  fi
  if [ "$2" = 0 ]; then pass "$1 exited with 0"; else fail "$1 exited with $2"; fi
}

# stamp_written_by_run REPORT START END: the 64-bit "gmt" and "date" values
# have the stamp's types and sizes, and the time lies within the run.
stamp_written_by_run() {
  local report=$1 start=$2 end=$3 gmt date when
  gmt=$(awk -F '\t' '$2 ~ /64-bit view .*Substitute : gmt$/ { print $3 }' "$report")
  date=$(awk -F '\t' '$2 ~ /64-bit view .*Substitute : date$/ { print $3 }' "$report")
  if [[ "$gmt" =~ ^([0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2})\.[0-9]{3}\ UTC\ \(REG_BINARY,\ 16\ bytes\)$ ]]; then
    when=$(date -u -d "${BASH_REMATCH[1]}" +%s)
    if [ "$when" -ge $((start - 1)) ] && [ "$when" -le $((end + 1)) ]; then
      pass "HKLM (64-bit view) ...\\Substitute \"gmt\" is REG_BINARY, 16 bytes, written during the install: $gmt"
    else
      fail "HKLM (64-bit view) ...\\Substitute \"gmt\" is $gmt, not the time of the install ($(date -u -d "@$start" '+%F %T') .. $(date -u -d "@$end" '+%T') UTC)"
    fi
  else
    fail "HKLM (64-bit view) ...\\Substitute \"gmt\" is '${gmt:-not in the report}', expected a SYSTEMTIME (REG_BINARY, 16 bytes)"
  fi
  if [[ "$date" =~ ^\"[^\"]+\"\ \(REG_SZ,\ 256\ bytes\)$ ]]; then
    pass "HKLM (64-bit view) ...\\Substitute \"date\" is REG_SZ, 256 bytes: $date"
  else
    fail "HKLM (64-bit view) ...\\Substitute \"date\" is '${date:-not in the report}', expected REG_SZ of 256 bytes"
  fi
}
