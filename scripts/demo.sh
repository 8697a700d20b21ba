#!/usr/bin/env bash
# The main job: builds the library and runs the demo host. Without a file it plays a moving test
# pattern for a few seconds, walks the four aspect modes and a resize, and saves snapshots of
# what the library presented. Given any video file ffmpeg reads, it plays it to the end at its
# frame rate, in its colour space (ffmpeg decodes and pipes YUV4MPEG2 to the demo; the library
# itself needs no ffmpeg), turned by the stream's rotation and with its pixels' proportions, through
# the library: keys 1-4 aspect modes, r rotate, h/v mirror, a aspect override, space pause,
# t tone curve, s snapshot, q quit. A 10-bit file is played in its depth (as I010) with its light:
# a PQ or HLG one is tone-mapped by the library. The library draws an on-screen display over the
# video (the playing time, the aspect mode as it changes, a pause sign) and the file's text
# subtitles, rendered by ffmpeg's subtitle filter (or captions of the demo's own). Snapshots are
# converted to PNG in out/demo/. Uses your X display when there is one, a private Xvfb otherwise.
# Plays through the 32-bit DLL, or the 64-bit one on a machine that runs no 32-bit programs.
#   scripts/demo.sh [--d3d | --d3d11] [--frame-export] [--bt709] [--seconds N] [movie.mkv | file.y4m]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
source cmake/runs32.sh
source cmake/wine_paths.sh
preset=mingw-i686 arch=win32
if ! runs_32bit; then
  preset=mingw-x86_64 arch=win64
  echo "demo: playing through the 64-bit DLL: $no32_reason"
fi

cmake --preset $preset >/dev/null
cmake --build --preset $preset --target kel_vout demo_host

out="$root/out/demo"
rm -rf "$out"
mkdir -p "$out"

args=()
movie=
for a in "$@"; do
  if [ -f "$a" ] && [[ "$a" != *.y4m ]]; then movie=$(realpath "$a")
  elif [ -f "$a" ]; then args+=("Z:$(realpath "$a" | tr / '\\')")
  else args+=("$a"); fi
done
if [ -n "$movie" ]; then
  command -v ffmpeg >/dev/null || { echo "demo: installing ffmpeg"; sudo apt-get install -y -qq ffmpeg; }
  # The stream's colours, as its container says them (BT.601 limited range when it says nothing).
  probe=$(ffprobe -v error -select_streams v:0 -show_entries stream=color_space,color_range -of default=nw=1 "$movie")
  case "$probe" in *color_space=bt709*) args+=(--bt709) ;; *color_space=bt2020*) args+=(--bt2020) ;; esac
  case "$probe" in *color_range=pc*) args+=(--full-range) ;; esac
  # A 10-bit stream is played in its own depth (10-bit 4:2:0), with its light: the transfer
  # (PQ or HLG), the primaries and the mastering display's peak, from ffprobe; key t then walks
  # the library's tone curves.
  pix_fmt=yuv420p
  light=$(ffprobe -v error -select_streams v:0 -show_entries stream=pix_fmt,color_transfer,color_primaries \
          -of default=nw=1 "$movie")
  case "$light" in *pix_fmt=*10le*|*pix_fmt=*10be*|*pix_fmt=p010*|*pix_fmt=*12le*) pix_fmt=yuv420p10le ;; esac
  case "$light" in *color_transfer=smpte2084*) args+=(--transfer pq) ;; *color_transfer=arib-std-b67*) args+=(--transfer hlg) ;; esac
  case "$light" in *color_primaries=bt2020*) args+=(--primaries bt2020) ;; esac
  peak=$(ffprobe -v error -select_streams v:0 -read_intervals "%+#1" -show_entries frame_side_data=max_luminance \
         -of default=nw=1:nk=1 "$movie" 2>/dev/null | head -n 1)
  if [ -n "$peak" ] && [ "${peak%%/*}" != "$peak" ]; then peak=$(( ${peak%%/*} / ${peak##*/} )); fi
  [ -n "$peak" ] && [ "$peak" -gt 0 ] 2>/dev/null && args+=(--peak "$peak")
  [ "$pix_fmt" = yuv420p ] || echo "demo: a 10-bit stream: pushed as I010${peak:+, mastered at $peak cd/m2}"

  # The stream's rotation (a phone's portrait clip is stored landscape): the display matrix gives
  # degrees counter-clockwise; the library turns clockwise. ffmpeg decodes without turning it
  # (-noautorotate), as a host decoding with libavcodec gets it; the sample aspect ratio reaches
  # the demo in the stream's own header.
  turn=$(ffprobe -v error -select_streams v:0 -show_entries stream_side_data=rotation -of default=nw=1:nk=1 "$movie" |
         head -n 1)
  if [ -n "$turn" ]; then
    turn=$(( ( (360 - ${turn%.*}) % 360 + 360 ) % 360 ))
    [ "$turn" -eq 0 ] || args+=(--rotate "$turn")
  fi
  # A text subtitle stream: ffmpeg's subtitle filter renders it onto a transparent canvas of the
  # shown picture's size (at most 1280 wide), ten canvases a second, into a FIFO the demo reads
  # and hands to the library as an overlay.
  subcodec=$(ffprobe -v error -select_streams s:0 -show_entries stream=codec_name -of default=nw=1:nk=1 "$movie" |
             head -n 1)
  case "$subcodec" in
    subrip|ass|ssa|mov_text|webvtt|text)
      IFS=, read -r vw vh < <(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 "$movie")
      case "${turn:-0}" in 90|270) t=$vw; vw=$vh; vh=$t ;; esac
      sw=$(( vw / 2 * 2 )) sh=$(( vh / 2 * 2 ))
      if [ "$sw" -gt 1280 ]; then sh=$(( sh * 1280 / sw / 2 * 2 )); sw=1280; fi
      dur=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$movie")
      source="$out/subtitle_source.${movie##*.}"
      ln -sf "$movie" "$source"
      mkfifo "$out/subtitles.bgra"
      ffmpeg -nostdin -v error -f lavfi -i "color=c=black@0.0:s=${sw}x${sh}:r=10:d=${dur%.*}.9,format=bgra" \
        -vf "subtitles=filename=$source:alpha=1" -f rawvideo -pix_fmt bgra -y "$out/subtitles.bgra" 2>/dev/null &
      subtitle_pid=$!
      # Alive after a second, it waits for the demo to open the FIFO; one that ended (no subtitle
      # filter in this ffmpeg, a duration it cannot read) would leave the demo waiting for it.
      sleep 1
      if kill -0 "$subtitle_pid" 2>/dev/null; then
        args+=(--subtitles "Z:$(echo "$out/subtitles.bgra" | tr / '\\')" "$sw" "$sh" 10)
        echo "demo: its $subcodec subtitles rendered by ffmpeg's subtitle filter into an overlay"
      else
        echo "demo: ffmpeg could not render the $subcodec subtitles; the demo's own captions are shown"
        subtitle_pid=
        rm -f "$out/subtitles.bgra" "$source"
      fi
      ;;
  esac
  [[ " ${args[*]} " == *" --seconds "* ]] || args+=(--seconds 0)
  args+=(-)
fi

source cmake/xvfb.sh
if [ -z "${DISPLAY:-}" ]; then
  xvfb_start
  trap 'WINEPREFIX="${KEL_VOUT_CACHE:-$HOME/.cache/kel_vout}/wine${arch#win}" "$wine_server" -k 2>/dev/null; xvfb_stop' EXIT
  echo "demo: no X display; using a private Xvfb ($DISPLAY)"
else
  echo "demo: showing on $DISPLAY"
fi
export KEL_VOUT_DISPLAY="$DISPLAY"

cd build/$preset
if [ -n "$movie" ]; then
  echo "demo: playing $movie"
  # Quitting early closes the pipe under ffmpeg: only the demo's own result counts.
  set +o pipefail
  ffmpeg -v error -noautorotate -i "$movie" -an -f yuv4mpegpipe -strict -1 -pix_fmt "$pix_fmt" - 2>/dev/null |
    KEL_VOUT_STREAM=1 bash "$root/cmake/wine-run.sh" $arch demo_host.exe --out "Z:$(echo "$out" | tr / '\\')" "${args[@]}" ||
    echo "demo: the demo host ended with an error"
  set -o pipefail
else
  KEL_VOUT_STREAM=1 bash "$root/cmake/wine-run.sh" $arch demo_host.exe --out "Z:$(echo "$out" | tr / '\\')" "${args[@]}"
fi
cd "$root"
if [ -n "${subtitle_pid:-}" ]; then
  kill "$subtitle_pid" 2>/dev/null || true
  wait "$subtitle_pid" 2>/dev/null || true
  rm -f "$out/subtitles.bgra" "$out/subtitle_source."*
fi

shopt -s nullglob
for ppm in "$out"/*.ppm; do
  convert "$ppm" "${ppm%.ppm}.png" && rm -f "$ppm"
done
pngs=("$out"/*.png)
echo
if [ "${#pngs[@]}" -eq 0 ]; then
  echo "No snapshots were taken (key s takes one)."
  exit 0
fi
echo "Snapshots of what kel_vout presented (Wine 8 does not show a GL or Direct3D child window's"
echo "pixels on the X screen; on Windows the window shows them as usual):"
ls -1 "${pngs[@]}"
