#!/usr/bin/env bash
# The main job: builds the 32- and 64-bit DLLs with their import libraries and headers.
# The demo host that plays video into a window arrives with the OpenGL backend.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
for preset in mingw-i686 mingw-x86_64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target kel_vout
done
echo
echo "Built:"
for preset in mingw-i686 mingw-x86_64; do
  ls -l "build/$preset/kel_vout.dll" "build/$preset/libkel_vout.dll.a"
done
echo "Headers: include/kel_vout.h include/kel_vout_global.h"
echo
echo "No backend draws yet: kel_vout_create answers null for every mode. Once the OpenGL backend"
echo "lands, this command runs a demo host that plays a moving test pattern into a window under"
echo "Xvfb and saves snapshots of what it drew as PNG files."
