#!/usr/bin/env bash
# Measures the library against bare_loop, the same drawing done without it, for 32- and 64-bit
# Windows and every backend, under Wine on a private Xvfb, and prints its tables (Markdown, as in
# docs/PERFORMANCE.md): pushes, frame rate, idle processor time, latency and memory; then creation,
# the first frame, destroy and how soon the child follows a resize of the host; then timed frames
# (timing_bench: 600 frames of 640x360 at 24, 25, 30 and 60 a second pushed ahead, their timing
# error, late frames, order, cost and a paused instance); then overlays (a 1920x200 subtitle
# changed with every 1080p frame against the same frames without it, and a still picture under
# overlays); then 4K HDR (a P010 push against a memcpy of its bytes, 4K P010 PQ frames tone-mapped
# with BT.2390 against 4K NV12 SDR frames, rounds in turn). Builds what it runs first. Takes about
# twenty minutes per architecture.
#   scripts/bench.sh [--gl | --d3d | --d3d11] [--seconds N]
#     --gl, --d3d, --d3d11  one backend only (all three by default)
#     --seconds N  length of each frame-rate and idle run (default 5)
# What each program printed is kept in build/bench/. KEL_VOUT_DISPLAY names an X display to use
# instead of a private Xvfb; KEL_VOUT_CACHE moves the Wine prefixes, as for the tests. On a machine
# that runs no 32-bit programs (cmake/runs32.sh) the 32-bit rows are left out, saying why.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

seconds=5
backends=(gl d3d d3d11)
while [ $# -gt 0 ]; do
  case "$1" in
    --gl|--d3d|--d3d11) backends=("${1#--}"); shift ;;
    --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
    *) echo "usage: scripts/bench.sh [--gl | --d3d | --d3d11] [--seconds N]" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh >/dev/null
source cmake/runs32.sh
source cmake/wine_paths.sh
arches=(win32 win64)
presets=(mingw-i686 mingw-x86_64)
skipped=
if ! runs_32bit; then
  arches=(win64)
  presets=(mingw-x86_64)
  skipped="the 32-bit DLL was not measured: $no32_reason"
  echo "bench: $skipped" >&2
fi
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target kel_vout vout_bench bare_loop timing_bench >/dev/null
done

source cmake/xvfb.sh
if [ -z "${KEL_VOUT_DISPLAY:-}" ]; then
  xvfb_start
  trap xvfb_stop EXIT
  export KEL_VOUT_DISPLAY="$DISPLAY"
fi
cache="${KEL_VOUT_CACHE:-$HOME/.cache/kel_vout}"
out="$root/build/bench"
rm -rf "$out"
mkdir -p "$out"

# run NAME ARCH PRESET PROGRAM ARGS...: the program's output into build/bench/NAME.txt. A failed
# run leaves its figures empty; the table shows "-" for them.
run() {
  local name=$1 arch=$2 preset=$3
  shift 3
  (cd "build/$preset" && bash "$root/cmake/wine-run.sh" "$arch" "$@") >"$out/$name.txt" 2>&1 ||
    echo "bench: $name failed (exit $?); see build/bench/$name.txt" >&2
}

# run_limited NAME ARCH PRESET PROGRAM ARGS...: as run, cut at 120 s and tried up to three times:
# the host resizes its window there, which under Wine may deadlock in Xlib (README).
run_limited() {
  local name=$1 arch=$2 preset=$3 try
  shift 3
  for try in 1 2 3; do
    if (cd "build/$preset" && timeout -k 5 120 bash "$root/cmake/wine-run.sh" "$arch" "$@") >"$out/$name.txt" 2>&1; then
      return 0
    fi
    echo "bench: $name failed or hung (try $try of 3); see build/bench/$name.txt" >&2
    WINEPREFIX="$cache/wine${arch#win}" "$wine_server" -k 2>/dev/null || true
  done
}

# figure FILE KEY: the value of KEY on the program's "figures" line.
figure() {
  local v
  v=$(sed -n "s/^figures.* $2=\([^ ]*\).*/\1/p" "$1" | tail -n 1)
  case "$v" in ''|nan|-nan|inf|-inf) echo - ;; *) echo "$v" ;; esac
}

# mean A B, ratio A B (percent): "-" when a figure is missing.
mean() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-") print "-"; else printf "%.1f\n", (a + b) / 2 }'; }
percent() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.0f\n", 100 * a / b }'; }

echo "bench: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1);" \
  "load average $(cut -d' ' -f1-3 /proc/loadavg) at the start" >&2

rows=()
extra=()
lifecycle=()
timing=()
overlays=()
hdr_rows=()
for arch in "${arches[@]}"; do
  preset=mingw-i686
  [ "$arch" = win64 ] && preset=mingw-x86_64
  # One Wine session for the architecture's runs (its helper processes started once, not during
  # a measurement); it ends by itself 10 s after the last of them.
  WINEPREFIX="$cache/wine${arch#win}" "$wine_server" -p10 2>/dev/null || true
  for backend in "${backends[@]}"; do
    label=OpenGL
    [ "$backend" = d3d ] && label="Direct3D 9"
    [ "$backend" = d3d11 ] && label="Direct3D 11"
    echo "bench: $arch $label: bare loop, library, bare loop again" >&2
    # The library's run between two bare runs: a machine that got busier or quieter on the way
    # shows as two different bare figures.
    run "$arch-$backend-bare1" "$arch" "$preset" bare_loop.exe "--$backend" --seconds "$seconds"
    run "$arch-$backend-library" "$arch" "$preset" vout_bench.exe "--$backend" --seconds "$seconds"
    run "$arch-$backend-bare2" "$arch" "$preset" bare_loop.exe "--$backend" --seconds "$seconds"
    run_limited "$arch-$backend-lifecycle" "$arch" "$preset" vout_bench.exe "--$backend" --lifecycle
    # Direct3D under Wine: the bare loop again, waiting for each present as the library does.
    paced=-
    if [ "$backend" != gl ]; then
      run "$arch-$backend-paced" "$arch" "$preset" bare_loop.exe "--$backend" --paced --seconds "$seconds"
      paced=$(figure "$out/$arch-$backend-paced.txt" bare_fps)
    fi

    lib="$out/$arch-$backend-library.txt"
    bare1=$(figure "$out/$arch-$backend-bare1.txt" bare_fps)
    bare2=$(figure "$out/$arch-$backend-bare2.txt" bare_fps)
    bare=$(mean "$bare1" "$bare2")
    fps=$(figure "$lib" fps)
    rows+=("| $arch | $label | $(figure "$lib" put_frame_x) | $(figure "$lib" older_x) | $(figure "$lib" steady_x) |\
 $fps | $bare | $(percent "$fps" "$bare") | $(figure "$lib" idle_cpu) | $(figure "$lib" latency_ms) |\
 $(figure "$lib" memory_mb) |")
    extra+=("| $arch | $label | $(figure "$lib" steady_limit2_x) | $bare1 / $bare2 |\
 $(figure "$out/$arch-$backend-bare1.txt" paint_ms) | $paced | $(percent "$fps" "$paced") |")
    run "$arch-$backend-timing" "$arch" "$preset" timing_bench.exe "--$backend"
    tim="$out/$arch-$backend-timing.txt"
    cells=
    for r in 24 25 30 60; do
      cells+=" $(figure "$tim" "p50_$r") / $(figure "$tim" "p99_$r") | $(figure "$tim" "late_$r") / $(figure "$tim" "dropped_$r") / $(figure "$tim" "order_$r") |"
    done
    timing+=("| $arch | $label |$cells $(figure "$tim" cost_x) | $(figure "$tim" paused_cpu) |")
    run "$arch-$backend-overlays" "$arch" "$preset" vout_bench.exe "--$backend" --overlays --seconds "$seconds"
    ovl="$out/$arch-$backend-overlays.txt"
    overlays+=("| $arch | $label | $(figure "$ovl" overlay_fps) | $(figure "$ovl" plain_fps) |\
 $(figure "$ovl" overlay_ratio) | $(figure "$ovl" overlay_still_fps) | $(figure "$ovl" overlay_idle_cpu) |")
    run "$arch-$backend-hdr" "$arch" "$preset" vout_bench.exe "--$backend" --hdr --seconds "$seconds"
    hdr="$out/$arch-$backend-hdr.txt"
    hdr_rows+=("| $arch | $label | $(figure "$hdr" p010_push_x) | $(figure "$hdr" nv12_fps) | $(figure "$hdr" p010_sdr_fps) |\
 $(figure "$hdr" deep_ratio) | $(figure "$hdr" p010_pq_fps) | $(figure "$hdr" pq_ratio) |")
    life="$out/$arch-$backend-lifecycle.txt"
    lifecycle+=("| $arch | $label | $(figure "$life" create_ms) | $(figure "$life" first_present_ms) |\
 $(figure "$life" destroy_ms) | $(figure "$life" destroy_first_ms) | $(figure "$life" resize_p95_ms) |\
 $(figure "$life" resize_flow_p95_ms) |")
  done
done
echo "bench: load average $(cut -d' ' -f1-3 /proc/loadavg) at the end" >&2

echo "| architecture | backend | push / memcpy (put_frame) | push / memcpy (older push) | steady push / memcpy |" \
  "render fps | bare fps | ratio % | idle CPU % | latency ms | memory growth MB |"
echo "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
printf '%s\n' "${rows[@]}"
echo
echo "| architecture | backend | steady push / memcpy, queue limit 2 | bare fps, before / after | bare paint alone ms |" \
  "bare fps, paced | ratio to paced % |"
echo "|---|---|--:|--:|--:|--:|--:|"
printf '%s\n' "${extra[@]}"
echo
echo "| architecture | backend | create ms | first frame on screen ms | destroy ms | destroy after the first push ms |" \
  "resize followed, p95 ms | resize followed while frames flow, p95 ms |"
echo "|---|---|--:|--:|--:|--:|--:|--:|"
printf '%s\n' "${lifecycle[@]}"
echo
echo "| architecture | backend | 24 fps error p50 / p99 ms | late / dropped / out of order | 25 fps | | 30 fps | |" \
  "60 fps | | timed / untimed processor per frame | paused CPU % |"
echo "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
printf '%s\n' "${timing[@]}"
echo
echo "| architecture | backend | fps, a 1920x200 subtitle changed every frame | fps without it | ratio % |" \
  "fps, the subtitle unchanged | still picture under overlays, CPU % |"
echo "|---|---|--:|--:|--:|--:|--:|"
printf '%s\n' "${overlays[@]}"
echo
echo "| architecture | backend | 4K P010 push / memcpy | 4K NV12 SDR fps | 4K P010 SDR fps | P010 SDR / NV12 % |" \
  "4K P010 PQ fps | PQ / NV12 % |"
echo "|---|---|--:|--:|--:|--:|--:|--:|"
printf '%s\n' "${hdr_rows[@]}"
if [ -n "$skipped" ]; then
  echo
  echo "Not measured: $skipped."
fi
