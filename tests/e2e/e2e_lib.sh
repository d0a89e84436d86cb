# Shared by e2e_inputs.sh and msi_tables_test.sh: the sample package, built
# with wixl.

# build_msi OUT DLL HOOKHOST WXS [SED-SCRIPT]: builds the package OUT around
# DLL from the sample's source WXS, edited by SED-SCRIPT; wixl's messages go
# to OUT.log. wixl takes no absolute paths to the files a package holds and
# looks for them beside the source and in its working folder, so each build
# gets a folder with copies.
build_msi() {
  local out=$1 dll=$2 hookhost=$3 wxs=$4 stage=$1.stage
  rm -rf "$stage" "$out"
  mkdir -p "$stage"
  cp "$dll" "$stage/installhooks.dll"
  cp "$hookhost" "$stage/hookhost.exe"
  cp "$(dirname "$wxs")/product.txt" "$stage/"
  sed -e "${5:-}" "$wxs" >"$stage/package.wxs"
  (cd "$stage" && wixl -a x86 -D HooksDll=installhooks.dll -D HookHost=hookhost.exe -o package.msi package.wxs) \
    >"$out.log" 2>&1 && mv "$stage/package.msi" "$out"
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
