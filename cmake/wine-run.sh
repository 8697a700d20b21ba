#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest: the prefix of its architecture, no Wine chatter,
# and an X display. Usage: wine-run.sh win32|win64 program.exe [args...]
#   KEL_VOUT_DISPLAY  an X display to use (the test script starts one Xvfb for the whole run);
#                     unset, a private Xvfb is started for this program and stopped after it.
#   KEL_VOUT_CACHE    where the Wine prefixes live (default ~/.cache/kel_vout)
#   KEL_VOUT_STREAM   set: the program's output goes straight through (see below)
set -u
arch=$1; shift
cache="${KEL_VOUT_CACHE:-$HOME/.cache/kel_vout}"
case "$arch" in
  win32) export WINEPREFIX="$cache/wine32"; loader=/usr/lib/wine/wine ;;
  win64) export WINEPREFIX="$cache/wine64"; loader=/usr/lib/wine/wine64 ;;
  *) echo "wine-run: unknown architecture $arch" >&2; exit 2 ;;
esac
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEARCH="$arch"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine-run: no Wine prefix at $WINEPREFIX; run scripts/setup.sh" >&2
  exit 2
fi

xvfb_pid=
if [ -n "${KEL_VOUT_DISPLAY:-}" ]; then
  export DISPLAY="$KEL_VOUT_DISPLAY"
else
  source "$(dirname "$0")/xvfb.sh"
  xvfb_start || exit 2
  trap 'xvfb_stop' EXIT
fi

# Wine's helper processes (explorer.exe for the desktop window, services) can outlive the
# program and would hold CTest's output pipe open until the test times out. So the program
# writes to a file that is shown once it has ended (KEL_VOUT_STREAM=1: straight through).
if [ -n "${KEL_VOUT_STREAM:-}" ]; then
  "$loader" "$@"
  exit $?
fi
log=$(mktemp)
"$loader" "$@" >"$log" 2>&1 </dev/null
rc=$?
cat "$log"
rm -f "$log"
exit $rc
