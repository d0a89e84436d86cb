# Shared by e2e_inputs.sh and msi_tables_test.sh: the sample package, built
# with wixl.

# build_msi OUT DLL HOOKHOST WXS [SED-SCRIPT]: builds the package OUT around
# DLL from the sample's source WXS, edited by SED-SCRIPT; wixl's messages go
# to OUT.log. wixl takes no absolute paths to the files a package holds and
# looks for them beside the source and in its working folder, so each build
# gets a folder with copies.
#
# The package is the same bytes whenever it is built from the same files
# (the test kit carries it, and a release is reproducible): the files it
# holds get the time SOURCE_DATE_EPOCH (0 when unset), and so does its
# summary, where wixl writes the time of the build and a random package
# code; the code is then a hash of what the package is built from.
build_msi() {
  local out=$1 dll=$2 hookhost=$3 wxs=$4 stage=$1.stage digest started
  rm -rf "$stage" "$out"
  mkdir -p "$stage"
  cp "$dll" "$stage/installhooks.dll"
  cp "$hookhost" "$stage/hookhost.exe"
  cp "$(dirname "$wxs")/product.txt" "$stage/"
  sed -e "${5:-}" "$wxs" >"$stage/package.wxs"
  touch -d "@${SOURCE_DATE_EPOCH:-0}" "$stage"/*
  digest=$(cat "$stage"/* | sha256sum)
  started=$(date +%s)
  (cd "$stage" && wixl -a x86 -D HooksDll=installhooks.dll -D HookHost=hookhost.exe -o package.msi package.wxs &&
    python3 - package.msi "$digest" "$started" "$(date +%s)" "${SOURCE_DATE_EPOCH:-0}" <<'PYTHON'
import re, sys
path, digest, started, ended, epoch = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:])
data = open(path, "rb").read()
# The package code: the only braced GUID in the file that wixl made up.
codes = set(re.findall(rb"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}", data))
codes -= {b"{%s}" % guid for guid in re.findall(rb"[0-9A-F]{8}(?:-[0-9A-F]{4}){3}-[0-9A-F]{12}",
                                                  open("package.wxs", "rb").read().upper())}
assert len(codes) == 1, codes
code = "{%s-%s-%s-%s-%s}" % (digest[:8], digest[8:12], digest[12:16], digest[16:20], digest[20:32])
data = data.replace(codes.pop(), code.upper().encode())
# The times of creation and last save: FILETIMEs (VT_FILETIME, 0x40) of the build.
filetime = lambda seconds: (seconds + 11644473600) * 10**7
times = [m.start() + 4 for m in re.finditer(rb"\x40\x00\x00\x00", data)
         if filetime(started - 2) <= int.from_bytes(data[m.start() + 4:m.start() + 12], "little") <= filetime(ended + 2)]
assert len(times) == 2, times
for at in times:
    data = data[:at] + filetime(epoch).to_bytes(8, "little") + data[at + 8:]
open(path, "wb").write(data)
PYTHON
  ) >"$out.log" 2>&1 && mv "$stage/package.msi" "$out"
  local status=$?
  rm -rf "$stage"
  return "$status"
}

# require_tools TOOL...: each is on PATH (scripts/setup installs them).
require_tools() {
  local tool
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      echo "$(basename "$0"): $tool not found; scripts/setup installs the nsis, wixl and msitools packages" >&2
      exit 2
    fi
  done
}
