#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest: the prefix of its architecture, no Wine chatter,
# and an X display. Usage: wine-run.sh win32|win64 program.exe [args...]
#   KEL_VOUT_DISPLAY  an X display to use (the test script starts one Xvfb for the whole run);
#                     unset, a private Xvfb is started for this program and stopped after it.
#   KEL_VOUT_CACHE    where the Wine prefixes live (default ~/.cache/kel_vout)
#   KEL_VOUT_STREAM   set: the program's output goes straight through (see below)
#   KEL_VOUT_32BIT    no: treat this machine as one that runs no 32-bit programs (cmake/runs32.sh)
#   KEL_VOUT_TIME_LIMIT  seconds: a program still running then is stopped and its output shown
#                     (the tests set it a little below their CTest time limit, see below)
set -u
arch=$1; shift
here="$(dirname "$0")"
cache="${KEL_VOUT_CACHE:-$HOME/.cache/kel_vout}"
source "$here/wine_paths.sh"
case "$arch" in
  win32) export WINEPREFIX="$cache/wine32"; loader=$wine32_loader ;;
  win64) export WINEPREFIX="$cache/wine64"; loader=$wine64_loader ;;
  *) echo "wine-run: unknown architecture $arch" >&2; exit 2 ;;
esac
if [ "$arch" = win32 ]; then
  source "$here/runs32.sh"
  if ! runs_32bit; then
    echo "wine-run: cannot run a 32-bit Windows program: ${no32_reason:-no 32-bit loader here}" >&2
    exit 2
  fi
fi
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
  source "$here/xvfb.sh"
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
# A program that CTest stops for its time limit is killed with its output unseen, so one given
# KEL_VOUT_TIME_LIMIT is stopped a little earlier and what it printed is shown; then this script
# waits for CTest's limit, so that the test still counts as one that timed out (and is run again).
log=$(mktemp)
limit="${KEL_VOUT_TIME_LIMIT:-}"
if [ -n "$limit" ]; then
  timeout -k 10 "$limit" "$loader" "$@" >"$log" 2>&1 </dev/null
else
  "$loader" "$@" >"$log" 2>&1 </dev/null
fi
rc=$?
cat "$log"
rm -f "$log"
if [ -n "$limit" ] && { [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; }; then
  echo "wine-run: $(basename "$1") was still running after $limit s and was stopped; above is all it printed"
  sleep 3600
fi
exit $rc
