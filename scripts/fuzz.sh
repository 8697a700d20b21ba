#!/usr/bin/env bash
# Builds the BMP decoder's libFuzzer target (clang, ASan, UBSan) into build/fuzz and runs it for a
# bounded time. Usage: scripts/fuzz.sh [seconds] [libFuzzer options...]   (default: 60 seconds)
# The corpus in build/fuzz/corpus starts from the ImageMagick files in tests/data and grows from
# run to run. Exits non-zero on any finding; the input that caused it is kept in build/fuzz/findings.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
[ "$#" -gt 0 ] && shift
out="$root/build/fuzz"
mkdir -p "$out/corpus" "$out/findings"

cxx="$(command -v clang++-14 || command -v clang++)"
"$cxx" -std=c++17 -O1 -g -Wall -Wextra -Werror \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
  -I "$root/KEL_VOUT" "$root/fuzz/bmp_decode_fuzz.cpp" "$root/KEL_VOUT/bmp_decode.cpp" \
  -o "$out/bmp_decode_fuzz"

cp "$root"/tests/data/*.bmp "$out/corpus/"
"$out/bmp_decode_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$out/findings/" "$@" "$out/corpus"
