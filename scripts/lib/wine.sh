# Shared by the scripts: the Wine environment, and a fresh 64-bit prefix of
# the caller's own under build/, never the user's ~/.wine.
. "$(dirname "${BASH_SOURCE[0]}")/i386.sh"

export WINEDEBUG=-all
# No debugger on a crash: with winedbg attached, a process that dies of an
# unhandled exception ends with the debugger's status (0 when it printed its
# backtrace) instead of the exception's; without one it ends with the
# exception's code, and Wine's own "wine: Unhandled ..." line still names the
# exception and its address (tests/support/wine_program.py reads it).
export WINEDLLOVERRIDES='winemenubuilder.exe=d;winedbg.exe=d'
export WINEARCH=win64
# No display: Wine must not try to open windows.
unset DISPLAY

# fresh_prefix DIR: makes DIR a new prefix, with a wineserver that stays up
# until stop_prefix (each wine start then costs milliseconds, not a second).
fresh_prefix() {
  export WINEPREFIX="$1"
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  "$wine64" wineboot.exe -i >/dev/null 2>&1
  wineserver -w
  wineserver -p
  # Wine's own services start with the first program; start them here with
  # no pipes attached, or they would hold the test runner's output open.
  "$wine64" cmd.exe /c exit </dev/null >/dev/null 2>&1
  trap stop_prefix EXIT
}

stop_prefix() {
  wineserver -k 2>/dev/null || true
}
