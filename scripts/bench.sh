#!/usr/bin/env bash
# Prints the cost of pushes and of presentation on this machine (32-bit build, under Wine on a
# private Xvfb). Arguments go to the benchmark (--d3d for the Direct3D backend).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh >/dev/null
cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686 --target kel_vout vout_bench >/dev/null
cd build/mingw-i686
bash "$root/cmake/wine-run.sh" win32 vout_bench.exe "$@"
