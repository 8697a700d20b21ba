#!/usr/bin/env bash
# Installs what building and testing kel_vout needs, idempotently, and creates the
# 32- and 64-bit Wine prefixes outside the source tree.
#   KEL_VOUT_CACHE  where prefixes live (default: ~/.cache/kel_vout)
set -euo pipefail

cache="${KEL_VOUT_CACHE:-$HOME/.cache/kel_vout}"

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev googletest
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  wine wine32:i386 wine64 xvfb libxcomposite1:i386 libxcomposite1
  libgl1 libgl1:i386 libgl1-mesa-dri libgl1-mesa-dri:i386 libglx-mesa0 libglx-mesa0:i386
  x11-apps x11-utils imagemagick libx11-dev libxcomposite-dev mesa-utils ffmpeg llvm zip unzip
)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: adding the i386 architecture"
  as_root dpkg --add-architecture i386
  need_update=1
fi
native_arch=$(dpkg --print-architecture)
installed() {  # a plain name means the native architecture, or an architecture-independent package
  local status
  for q in "$@"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$q" 2>/dev/null) && [ "$status" = installed ] && return 0
  done
  return 1
}
for p in "${packages[@]}"; do
  if [[ $p == *:* ]]; then installed "$p" || missing+=("$p")
  else installed "$p:$native_arch" "$p" || missing+=("$p"); fi
done
if [ "${#missing[@]}" -gt 0 ] || [ -n "${need_update:-}" ]; then
  echo "setup: installing ${missing[*]:-(package lists only)}"
  as_root apt-get update -qq
  if [ "${#missing[@]}" -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi

# Wine prefixes: one per architecture, made once and reused.
make_prefix() {
  local arch=$1 dir=$2
  [ -f "$dir/system.reg" ] && return 0
  echo "setup: creating $arch Wine prefix in $dir"
  mkdir -p "$dir"
  WINEARCH=$arch WINEPREFIX=$dir WINEDEBUG=-all DISPLAY= wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX=$dir wineserver -w || true
  [ -f "$dir/system.reg" ] || { echo "setup: failed to create $dir" >&2; return 1; }
}
make_prefix win32 "$cache/wine32"
make_prefix win64 "$cache/wine64"
echo "setup: ready (prefixes in $cache)"
