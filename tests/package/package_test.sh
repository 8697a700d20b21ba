#!/usr/bin/env bash
# The release packages as a user meets them: made by scripts/package.sh, unpacked into a fresh
# folder, used by a small C project through find_package with the MinGW toolchain and run under
# Wine (create, push, snapshot, destroy, the DLL's version resource); the MSVC import library
# checked export by export; the DLL stripped, its debug information beside it. On a machine that
# runs no 32-bit programs (cmake/runs32.sh) everything is checked but the 32-bit consumer's run.
#   package_test.sh WORK_DIR
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
work="$1"
rm -rf "$work"
mkdir -p "$work"
bash "$root/scripts/package.sh" "$work/dist"
version=$(sed -n 's/^project(kel_vout VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
exports=$(sed -n 's/^    \([A-Za-z_][A-Za-z0-9_]*\)$/\1/p' "$root/KEL_VOUT/kel_vout.def")
fail() { echo "package_test: $*" >&2; exit 1; }
source "$root/cmake/runs32.sh"
runs32=yes
runs_32bit || runs32=no

for arch in win32 win64; do
  if [ "$arch" = win32 ]; then triple=i686-w64-mingw32; toolchain=toolchain-mingw-i686.cmake; prefix=_; type=noprefix
  else triple=x86_64-w64-mingw32; toolchain=toolchain-mingw-x86_64.cmake; prefix=; type=name; fi
  zip="$work/dist/kel_vout-$version-$arch.zip"
  [ -f "$zip" ] || fail "$zip missing"
  unpacked="$work/unpacked-$arch"
  mkdir -p "$unpacked"
  unzip -q "$zip" -d "$unpacked"
  pkg="$unpacked/kel_vout-$version-$arch"
  for f in bin/kel_vout.dll bin/kel_vout.dll.debug bin/demo_host.exe lib/libkel_vout.dll.a lib/kel_vout.lib \
           include/kel_vout.h include/kel_vout_global.h include/kel_vout_version.h \
           lib/cmake/kel_vout/kel_vout-config.cmake lib/cmake/kel_vout/kel_vout-config-version.cmake \
           README.md LICENSE CHANGELOG.md; do
    [ -f "$pkg/$f" ] || fail "$arch: $f missing"
  done

  # Stripped, with a debug link to the file beside it, which holds the debug information.
  "$triple-objdump" -h "$pkg/bin/kel_vout.dll" | grep -q '\.debug_info' && fail "$arch: kel_vout.dll not stripped"
  "$triple-objdump" -h "$pkg/bin/kel_vout.dll" | grep -q '\.gnu_debuglink' || fail "$arch: no debug link"
  "$triple-objdump" -h "$pkg/bin/kel_vout.dll.debug" | grep -q '\.debug_info' || fail "$arch: no debug information"

  # MSVC's import library: every export, imported under its undecorated name (32-bit: the
  # symbol _kel_vout_create with name type "noprefix" imports kel_vout_create).
  listing=$(llvm-readobj "$pkg/lib/kel_vout.lib")
  for e in $exports; do
    echo "$listing" | grep -q "Symbol: __imp_$prefix$e\$" || fail "$arch: kel_vout.lib lacks __imp_$prefix$e"
  done
  count=$(echo "$listing" | grep -c "Name type: $type" || true)
  [ "$count" -eq "$(echo $exports | wc -w)" ] || fail "$arch: $count imports of name type $type, want one per export"
  echo "package_test: $arch kel_vout.lib: $count exports, name type $type"

  # A consumer project, configured and built as a user would, run under Wine.
  consumer="$work/consumer-$arch"
  cmake -S "$root/tests/package/consumer" -B "$consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" -DCMAKE_PREFIX_PATH="$pkg" >/dev/null
  cmake --build "$consumer" >/dev/null
  if [ "$arch" = win32 ] && [ "$runs32" = no ]; then
    echo "package_test: NOT RUN: the win32 consumer (built against its package): $no32_reason"
    continue
  fi
  bash "$root/cmake/wine-run.sh" "$arch" "$consumer/consumer.exe"
done
if [ "$runs32" = yes ]; then
  echo "package_test: both packages work"
else
  echo "package_test: both packages built and checked; only the win64 consumer ran (the win32 one cannot run here)"
fi
