#!/usr/bin/env bash
# Frames and their reference conversions for the picture tests, made by ffmpeg (never by the
# library): for each content and size, <name>.yuv (planar 4:2:0 as decoders write it, chroma
# planes (w+1)/2 x (h+1)/2) and the RGB that ffmpeg's own conversion gives for it:
#   <name>.tv.rgb  BT.601 limited range (16-235), what a correct player shows;
#   <name>.pc.rgb  BT.601 read as full range, what this Wine's Direct3D 9 driver does with YV12.
# Content: a photo (tests/data/coffee.jpg) and ffmpeg's testsrc2, whose chroma varies per pixel.
# For the frame export, each frame also gets <name>.<matrix>-<range>.rgb: ffmpeg's RGB of the same
# YUV read with each matrix (bt601, bt709, bt2020) and range (tv limited, pc full); the content
# adds smptehdbars, the sizes 1366x768, and a 4K photo gets its reference reduced to 960x540.
#   make_reference.sh OUT_DIR
set -euo pipefail
out=$1
here="$(cd "$(dirname "$0")" && pwd)"
photo="$here/../data/coffee.jpg"
command -v ffmpeg >/dev/null || { echo "make_reference: ffmpeg is missing; run scripts/setup.sh" >&2; exit 1; }
mkdir -p "$out"
ff() { ffmpeg -v error -y "$@"; }

# An odd size is made as decoders make it: the frame one pixel larger (even), cropped, so that
# chroma sample i still covers luma 2i and 2i+1; the reference is the larger frame's conversion,
# cropped alike. (Given an odd-sized frame, ffmpeg's scaler stretches its (w+1)/2 chroma samples
# over w pixels instead, up to a pixel away from where a decoder put them.)
make() {  # name w h input-options...   (POST: filters after the scaling)
  local name=$1 w=$2 h=$3 range; shift 3
  local ew=$(( (w + 1) / 2 * 2 )) eh=$(( (h + 1) / 2 * 2 ))
  ff "$@" -frames:v 1 -vf "scale=$ew:$eh:flags=bicubic,format=yuv420p${POST:-}" -f rawvideo "$out/$name.even.yuv"
  ff -f rawvideo -pix_fmt yuv420p -s "${ew}x${eh}" -i "$out/$name.even.yuv" -vf "crop=$w:$h:0:0:exact=1" \
     -f rawvideo "$out/$name.yuv"
  for range in tv pc; do
    ff -f rawvideo -pix_fmt yuv420p -s "${ew}x${eh}" -i "$out/$name.even.yuv" \
       -vf "scale=in_color_matrix=bt601:in_range=$range:out_range=pc:flags=bilinear+accurate_rnd+full_chroma_int,format=rgb24,crop=$w:$h:0:0" \
       -f rawvideo "$out/$name.$range.rgb"
    if [ -n "${MATRICES:-}" ]; then
      for matrix in bt601 bt709 bt2020; do
        ff -f rawvideo -pix_fmt yuv420p -s "${ew}x${eh}" -i "$out/$name.even.yuv" \
           -vf "scale=in_color_matrix=$matrix:in_range=$range:out_range=pc:flags=bilinear+accurate_rnd+full_chroma_int,format=rgb24,crop=$w:$h:0:0" \
           -f rawvideo "$out/$name.$matrix-$range.rgb"
      done
    fi
  done
  rm -f "$out/$name.even.yuv"
}

for size in 640x360 641x481 320x241 2x2; do
  w=${size%x*} h=${size#*x}
  make "photo_$size" "$w" "$h" -i "$photo"
  make "testsrc2_$size" "$w" "$h" -f lavfi -i "testsrc2=size=640x480:rate=1"
done
# A frame of one pixel has no chroma in the library's layout: it shows its luma as grey, as
# ffmpeg shows a grey frame.
POST=",lutyuv=u=128:v=128" make photo_1x1 1 1 -i "$photo"
# The frame export: every matrix and range, three contents, a size whose rows decoders pad.
for size in 640x360 1366x768 641x481; do
  w=${size%x*} h=${size#*x}
  MATRICES=1 make "photo_$size" "$w" "$h" -i "$photo"
  MATRICES=1 make "testsrc2_$size" "$w" "$h" -f lavfi -i "testsrc2=size=640x480:rate=1"
  MATRICES=1 make "smptehdbars_$size" "$w" "$h" -f lavfi -i "smptehdbars=size=1280x720:rate=1"
done
# The picture transform: the 641x481 frames' RGB (BT.601 limited range) cropped to 601x451 at
# (13, 7), mirrored (f1 left-right, f2 upside down, f3 both) and turned clockwise, by ffmpeg's own
# crop, hflip, vflip and transpose; and the plain crop scaled to 902x677 (bilinear).
for content in photo testsrc2; do
  src="$out/${content}_641x481.tv.rgb"
  for rotation in 0 90 180 270; do
    for flip in 0 1 2 3; do
      chain="crop=601:451:13:7"
      [ $((flip & 1)) -eq 0 ] || chain="$chain,hflip"
      [ $((flip & 2)) -eq 0 ] || chain="$chain,vflip"
      case $rotation in
        90) chain="$chain,transpose=clock" ;;
        180) chain="$chain,hflip,vflip" ;;
        270) chain="$chain,transpose=cclock" ;;
      esac
      ff -f rawvideo -pix_fmt rgb24 -s 641x481 -i "$src" -vf "$chain" -f rawvideo \
         "$out/${content}_641x481.r$rotation-f$flip.rgb"
    done
  done
  ff -f rawvideo -pix_fmt rgb24 -s 641x481 -i "$src" -vf "crop=601:451:13:7,scale=902:677:flags=bilinear" \
     -f rawvideo "$out/${content}_641x481.r0-f0.902x677.rgb"
done
# A 4K UHD frame, and what it looks like reduced to a quarter each way (BT.709, limited range).
ff -i "$photo" -frames:v 1 -vf "scale=3840:2160:flags=bicubic,format=yuv420p" -f rawvideo "$out/photo_3840x2160.yuv"
ff -f rawvideo -pix_fmt yuv420p -s 3840x2160 -i "$out/photo_3840x2160.yuv" \
   -vf "scale=960:540:in_color_matrix=bt709:in_range=tv:out_range=pc:flags=bilinear+accurate_rnd+full_chroma_int,format=rgb24" \
   -f rawvideo "$out/photo_3840x2160.bt709-tv.960x540.rgb"
# Deeper and fuller frames for the frame export: 10-bit 4:2:0 (yuv420p10le; the tests pack it as
# I010 and as P010), 4:2:2 and 4:4:4, each with ffmpeg's RGB for every matrix and range:
# <name>.<kind>.yuv and <name>.<kind>.<matrix>-<range>.rgb, kind 420p10, 422p or 444p. Odd sizes
# as above: the even frame converted, then cropped.
deep() {  # name w h input-options...
  local name=$1 w=$2 h=$3 kind pix ew eh range matrix; shift 3
  for kind in 420p10 422p 444p; do
    case $kind in
      420p10) pix=yuv420p10le; ew=$(( (w + 1) / 2 * 2 )); eh=$(( (h + 1) / 2 * 2 )) ;;
      422p) pix=yuv422p; ew=$(( (w + 1) / 2 * 2 )); eh=$h ;;
      444p) pix=yuv444p; ew=$w; eh=$h ;;
    esac
    ff "$@" -frames:v 1 -vf "scale=$ew:$eh:flags=bicubic,format=$pix" -f rawvideo "$out/$name.$kind.even.yuv"
    ff -f rawvideo -pix_fmt $pix -s "${ew}x${eh}" -i "$out/$name.$kind.even.yuv" -vf "crop=$w:$h:0:0:exact=1" \
       -f rawvideo "$out/$name.$kind.yuv"
    for range in tv pc; do
      for matrix in bt601 bt709 bt2020; do
        ff -f rawvideo -pix_fmt $pix -s "${ew}x${eh}" -i "$out/$name.$kind.even.yuv" \
           -vf "scale=in_color_matrix=$matrix:in_range=$range:out_range=pc:flags=bilinear+accurate_rnd+full_chroma_int,format=rgb24,crop=$w:$h:0:0" \
           -f rawvideo "$out/$name.$kind.$matrix-$range.rgb"
      done
    done
    rm -f "$out/$name.$kind.even.yuv"
  done
}
for size in 640x360 641x481; do
  w=${size%x*} h=${size#*x}
  deep "photo_$size" "$w" "$h" -i "$photo"
done
deep testsrc2_641x481 641 481 -f lavfi -i "testsrc2=size=640x480:rate=1"
# HDR frames: the photo and testsrc2 in BT.2020 10-bit 4:2:0, limited range, their white at
# 1000 cd/m2, as PQ and as HLG (<name>.pq.yuv, <name>.hlg.yuv), and an SDR one with BT.2020
# primaries (<name>.sdr2020.yuv). References by the chain zscale to linear light, BT.709
# primaries, tonemap with desat=0, zscale to BT.709, rgb24: <name>.<pq|hlg>.<curve>-<white>-<peak>.rgb;
# <name>.sdr2020.rgb without a tone curve.
hdr() {  # name w h input-options...
  local name=$1 w=$2 h=$3 ew eh t trc curve white peak chain; shift 3
  ew=$(( (w + 1) / 2 * 2 )); eh=$(( (h + 1) / 2 * 2 ))
  for t in pq hlg sdr2020; do
    case $t in
      pq) trc=smpte2084 ;;
      hlg) trc=arib-std-b67 ;;
      sdr2020) trc=bt709 ;;
    esac
    ff "$@" -frames:v 1 -vf "scale=$ew:$eh:flags=bicubic,format=gbrpf32le,zscale=tin=bt709:pin=bt709:t=$trc:p=bt2020:m=bt2020nc:r=tv:npl=1000,format=yuv420p10le" \
       -f rawvideo "$out/$name.$t.even.yuv"
    ff -f rawvideo -pix_fmt yuv420p10le -s "${ew}x${eh}" -i "$out/$name.$t.even.yuv" -vf "crop=$w:$h:0:0:exact=1" \
       -f rawvideo "$out/$name.$t.yuv"
    local tag="setparams=color_primaries=bt2020:color_trc=$trc:colorspace=bt2020nc:range=tv"
    if [ $t = sdr2020 ]; then
      ff -f rawvideo -pix_fmt yuv420p10le -s "${ew}x${eh}" -i "$out/$name.$t.even.yuv" \
         -vf "$tag,zscale=t=linear,format=gbrpf32le,zscale=p=bt709,zscale=t=bt709:m=bt709:r=pc,format=rgb24,crop=$w:$h:0:0" \
         -f rawvideo "$out/$name.$t.rgb"
    else
      for chain in hable-100-1000 clip-100-1000 hable-203-4000; do
        IFS=- read -r curve white peak <<<"$chain"
        ff -f rawvideo -pix_fmt yuv420p10le -s "${ew}x${eh}" -i "$out/$name.$t.even.yuv" \
           -vf "$tag,zscale=t=linear:npl=$white,format=gbrpf32le,zscale=p=bt709,tonemap=tonemap=$curve:desat=0:peak=$(awk "BEGIN{print $peak/$white}"),zscale=t=bt709:m=bt709:r=pc,format=rgb24,crop=$w:$h:0:0" \
           -f rawvideo "$out/$name.$t.$chain.rgb"
      done
    fi
    rm -f "$out/$name.$t.even.yuv"
  done
}
for size in 640x360 641x481; do
  w=${size%x*} h=${size#*x}
  hdr "photo_$size" "$w" "$h" -i "$photo"
done
hdr testsrc2_641x481 641 481 -f lavfi -i "testsrc2=size=640x480:rate=1"
echo "make_reference: frames and references in $out"
