#!/usr/bin/env bash
# Builds the release packages: dist/kel_vout-<version>-win32.zip and -win64.zip, each with
#   bin/      kel_vout.dll (stripped), kel_vout.dll.debug (its debug information, linked to it by
#             a .gnu_debuglink section: gdb finds it beside the DLL), demo_host.exe
#   lib/      libkel_vout.dll.a (MinGW), kel_vout.lib (MSVC, made from the export list by
#             llvm-dlltool), cmake/kel_vout/ (find_package(kel_vout CONFIG))
#   include/  kel_vout.h, kel_vout_global.h, kel_vout_version.h
#   README.md (the package's own), LICENSE, CHANGELOG.md
# Optimised builds with debug information, both architectures, land in build/package-<arch>.
#   scripts/package.sh [OUT_DIR]     (default: dist)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
out="$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)"
bash scripts/setup.sh >/dev/null

version=$(sed -n 's/^project(kel_vout VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }

for arch in win32 win64; do
  if [ "$arch" = win32 ]; then triple=i686-w64-mingw32; machine=i386; toolchain=toolchain-mingw-i686.cmake
  else triple=x86_64-w64-mingw32; machine=i386:x86-64; toolchain=toolchain-mingw-x86_64.cmake; fi
  build="$root/build/package-$arch"
  stage="$build/stage/kel_vout-$version-$arch"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" >/dev/null
  cmake --build "$build" --target kel_vout demo_host >/dev/null
  rm -rf "$build/stage"
  cmake --install "$build" --prefix "$stage" >/dev/null

  # Debug information beside the DLL, in a file gdb finds through the debug link.
  dll="$stage/bin/kel_vout.dll"
  "$triple-objcopy" --only-keep-debug "$dll" "$dll.debug"
  "$triple-strip" --strip-debug --strip-unneeded "$dll"
  (cd "$stage/bin" && "$triple-objcopy" --add-gnu-debuglink=kel_vout.dll.debug kel_vout.dll)
  "$triple-strip" "$stage/bin/demo_host.exe"

  # MSVC's import library from the export list. 32-bit MSVC decorates cdecl names with an
  # underscore: llvm-dlltool makes _kel_vout_create import the DLL's kel_vout_create.
  llvm-dlltool -m "$machine" -D kel_vout.dll -d "$root/KEL_VOUT/kel_vout.def" -l "$stage/lib/kel_vout.lib"

  cp "$root/docs/PACKAGE.md" "$stage/README.md"
  cp "$root/LICENSE" "$root/CHANGELOG.md" "$stage/"
  rm -f "$out/kel_vout-$version-$arch.zip"
  (cd "$build/stage" && zip -qr "$out/kel_vout-$version-$arch.zip" "kel_vout-$version-$arch")
  echo "package: $out/kel_vout-$version-$arch.zip"
done
