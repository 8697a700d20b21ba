#!/usr/bin/env bash
# Proves the presented frame, not only the back buffer: a Windows program shows a solid colour
# through the OpenGL backend, and a native X client reads the child window's redirected X
# window from outside the process and compares the colour.
#   x_readback_test.sh WINE_RUN ARCH HOST_EXE X_CHILD_PIXELS
set -u
run=$1 arch=$2 host_exe=$3 reader=$4
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../cmake/xvfb.sh"
if [ -z "${KEL_VOUT_DISPLAY:-}" ]; then
  xvfb_start || exit 1
  export KEL_VOUT_DISPLAY=$DISPLAY
  trap xvfb_stop EXIT
fi
work=$(mktemp -d)
ready="$work/ready" done_file="$work/done"
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }

bash "$run" "$arch" "$host_exe" "$(winpath "$ready")" "$(winpath "$done_file")" &
host_pid=$!
for _ in $(seq 600); do [ -s "$ready" ] && break; sleep 0.05; done
if [ ! -s "$ready" ]; then
  echo "FAILED: the host did not present its frame"; touch "$done_file"; wait $host_pid; exit 1
fi
read -r w h r g b < "$ready"
echo "child ${w}x${h}, expected RGB ($r, $g, $b)"
status=1
for _ in $(seq 20); do
  out=$(DISPLAY=$KEL_VOUT_DISPLAY "$reader" "$w" "$h" $((w / 2)) $((h / 2)))
  echo "$out"
  while read -r xid pr pg pb; do
    [ -n "$xid" ] || continue
    d() { local v=$(( $1 - $2 )); echo ${v#-}; }
    if [ "$(d "$pr" "$r")" -le 2 ] && [ "$(d "$pg" "$g")" -le 2 ] && [ "$(d "$pb" "$b")" -le 2 ]; then status=0; fi
  done <<< "$out"
  [ $status -eq 0 ] && break
  sleep 0.1
done
touch "$done_file"
wait $host_pid
host_status=$?
rm -rf "$work"
if [ $status -ne 0 ]; then echo "FAILED: the redirected window does not show the colour"; exit 1; fi
if [ $host_status -ne 0 ]; then echo "FAILED: the host ended with $host_status"; exit 1; fi
echo "1 passed, 0 failed"
