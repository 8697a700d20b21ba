#!/usr/bin/env bash
# The main job: builds the library and runs the demo host, which plays a moving test pattern
# (or the .y4m file given) into a window for a few seconds, walks the four aspect modes and a
# resize, and saves snapshots of what the library presented; they are converted to PNG in
# out/demo/. Uses your X display when there is one, a private Xvfb otherwise.
#   scripts/demo.sh [--d3d] [--frame-export] [--bt709] [--seconds N] [file.y4m]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh

cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686 --target kel_vout demo_host

out="$root/out/demo"
rm -rf "$out"
mkdir -p "$out"

args=()
for a in "$@"; do
  if [ -f "$a" ]; then args+=("Z:$(realpath "$a" | tr / '\\')")
  else args+=("$a"); fi
done

source cmake/xvfb.sh
if [ -z "${DISPLAY:-}" ]; then
  xvfb_start
  trap 'WINEPREFIX="${KEL_VOUT_CACHE:-$HOME/.cache/kel_vout}/wine32" wineserver -k 2>/dev/null; xvfb_stop' EXIT
  echo "demo: no X display; using a private Xvfb ($DISPLAY)"
else
  echo "demo: showing on $DISPLAY"
fi
export KEL_VOUT_DISPLAY="$DISPLAY"

cd build/mingw-i686
KEL_VOUT_STREAM=1 bash "$root/cmake/wine-run.sh" win32 demo_host.exe --out "Z:$(echo "$out" | tr / '\\')" "${args[@]}"
cd "$root"

shopt -s nullglob
for ppm in "$out"/*.ppm; do
  convert "$ppm" "${ppm%.ppm}.png" && rm -f "$ppm"
done
echo
echo "Snapshots of what kel_vout presented (Wine 8 does not show a GL or Direct3D child window's"
echo "pixels on the X screen; on Windows the window shows them as usual):"
ls -1 "$out"/*.png
