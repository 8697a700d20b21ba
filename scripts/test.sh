#!/usr/bin/env bash
# Builds and runs every test: the native preset (platform-free code under ASan/UBSan) and both
# Windows presets under Wine on one private Xvfb display. Installs what is missing first.
# Prints one CTest summary per preset and exits non-zero when any test fails.
# On a machine that runs no 32-bit programs (cmake/runs32.sh; KEL_VOUT_32BIT=no makes any machine
# one) the 32-bit preset is built with all its tests but not run, and the run says so last: those
# tests are not counted as passed.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/setup.sh || exit 1
source cmake/runs32.sh
source cmake/wine_paths.sh
runs32=yes
runs_32bit || runs32=no

source cmake/xvfb.sh
xvfb_start || exit 1
export KEL_VOUT_DISPLAY="$DISPLAY"
cache="${KEL_VOUT_CACHE:-$HOME/.cache/kel_vout}"
arches=(64)
[ "$runs32" = yes ] && arches=(32 64)
cleanup() {
  for arch in "${arches[@]}"; do WINEPREFIX="$cache/wine$arch" "$wine_server" -k 2>/dev/null; done
  xvfb_stop
}
trap cleanup EXIT
# One persistent wineserver per prefix saves a second per test program.
for arch in "${arches[@]}"; do WINEPREFIX="$cache/wine$arch" "$wine_server" -p 2>/dev/null; done

presets=(native mingw-i686 mingw-x86_64)
failed=()
passed=()
not_run=
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    echo "=== $preset: build failed ==="
    failed+=("$preset")
    continue
  fi
  if [ "$preset" = mingw-i686 ] && [ "$runs32" = no ]; then
    count=$(ctest --preset "$preset" -N 2>/dev/null | sed -n 's/^Total Tests: *//p')
    not_run="$preset: ${count:-its} tests built, none run"
    echo "=== $preset: built; its tests cannot run here ($no32_reason) ==="
    continue
  fi
  # The test presets run a test that times out up to four times more (and only such a test):
  # under Wine 8 with this libX11, a host making window calls while wined3d presents into a
  # child was seen to deadlock inside Xlib now and then (see resize_and_settle in
  # tests/wine/d3d_test.cpp). A test that fails still fails at once.
  if ctest --preset "$preset"; then passed+=("$preset"); else failed+=("$preset"); fi
done

# The BMP decoder parses untrusted files: a bounded fuzzing run, failing on any finding.
echo "=== fuzz ==="
mkdir -p build
if bash scripts/fuzz.sh 60 >build/fuzz.log 2>&1; then passed+=(fuzz); else tail -n 60 build/fuzz.log; failed+=("fuzz"); fi
grep -E '^#[0-9]+[[:space:]]+DONE' build/fuzz.log || true

status=0
if [ "${#failed[@]}" -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  status=1
else
  echo "passed: ${passed[*]}"
fi
if [ -n "$not_run" ]; then
  cat <<EOF

######################################################################################
#  NOT RUN: the 32-bit Windows tests ($not_run).
#  Why: $no32_reason.
#  They are not counted as passed: only the native and the 64-bit suites ran. The 32-bit
#  DLL is the primary product; run scripts/test.sh on a machine that runs 32-bit programs.
######################################################################################
EOF
fi
exit $status
