#!/usr/bin/env bash
# Builds and runs every test: the native preset (platform-free code under ASan/UBSan) and both
# Windows presets under Wine on one private Xvfb display. Installs what is missing first.
# Prints one CTest summary per preset and exits non-zero when any test fails.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/setup.sh || exit 1

source cmake/xvfb.sh
xvfb_start || exit 1
export KEL_VOUT_DISPLAY="$DISPLAY"
cache="${KEL_VOUT_CACHE:-$HOME/.cache/kel_vout}"
cleanup() {
  for arch in 32 64; do WINEPREFIX="$cache/wine$arch" wineserver -k 2>/dev/null; done
  xvfb_stop
}
trap cleanup EXIT
# One persistent wineserver per prefix saves a second per test program.
for arch in 32 64; do WINEPREFIX="$cache/wine$arch" wineserver -p 2>/dev/null; done

presets=(native mingw-i686 mingw-x86_64)
failed=()
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    echo "=== $preset: build failed ==="
    failed+=("$preset")
    continue
  fi
  # The test presets run a test that times out up to twice more (and only such a test): under
  # Wine 8 with this libX11, a host making window calls while wined3d presents into a child
  # was seen to deadlock inside Xlib now and then (see resize_and_settle in
  # tests/wine/d3d_test.cpp). A test that fails still fails at once.
  ctest --preset "$preset" || failed+=("$preset")
done

# The BMP decoder parses untrusted files: a bounded fuzzing run, failing on any finding.
echo "=== fuzz ==="
mkdir -p build
bash scripts/fuzz.sh 60 >build/fuzz.log 2>&1 || { tail -n 60 build/fuzz.log; failed+=("fuzz"); }
grep -E '^#[0-9]+[[:space:]]+DONE' build/fuzz.log || true

if [ "${#failed[@]}" -gt 0 ]; then
  echo "FAILED presets: ${failed[*]}"
  exit 1
fi
echo "all presets passed: ${presets[*]}"
