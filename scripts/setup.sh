#!/usr/bin/env bash
# Installs what building and testing kel_vout needs, idempotently, and creates the Wine prefixes
# outside the source tree: 32- and 64-bit, or only 64-bit on a machine whose kernel runs no
# 32-bit programs (cmake/runs32.sh tells; such a machine gets no 32-bit Wine at all).
#   KEL_VOUT_CACHE  where prefixes live (default: ~/.cache/kel_vout)
#   KEL_VOUT_32BIT  no: set up as on a machine without 32-bit programs; yes: do not check
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/cmake/runs32.sh"

cache="${KEL_VOUT_CACHE:-$HOME/.cache/kel_vout}"

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev googletest
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  wine wine64 xvfb libxcomposite1 libgl1 libgl1-mesa-dri libglx-mesa0
  x11-apps x11-utils imagemagick libx11-dev libxcomposite-dev mesa-utils ffmpeg llvm zip unzip
)
# What only a machine that runs 32-bit programs gets: the 32-bit Wine and its graphics stack.
packages32=(wine32:i386 libxcomposite1:i386 libgl1:i386 libgl1-mesa-dri:i386 libglx-mesa0:i386)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

native_arch=$(dpkg --print-architecture)
installed() {  # a plain name means the native architecture, or an architecture-independent package
  local status
  for q in "$@"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$q" 2>/dev/null) && [ "$status" = installed ] && return 0
  done
  return 1
}
missing_of() {  # the packages among the arguments that are not installed, one per line
  local p
  for p in "$@"; do
    if [[ $p == *:* ]]; then installed "$p" || echo "$p"
    else installed "$p:$native_arch" "$p" || echo "$p"; fi
  done
}

# The package lists, tried again after a pause when an index is briefly inconsistent (a mirror
# in the middle of a sync: "File has unexpected size ... Mirror sync in progress?"). On failure
# $failed_lists names the indexes that did not download.
lists_updated=
failed_lists=
update_lists() {
  [ "$lists_updated" = 1 ] && return 0
  [ "$lists_updated" = failed ] && return 1
  local attempt log
  log=$(mktemp)
  for attempt in 1 2 3 4; do
    if as_root apt-get update -qq >"$log" 2>&1; then
      rm -f "$log"
      lists_updated=1
      failed_lists=
      return 0
    fi
    failed_lists=$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$log" | sort -u | tr '\n' ' ')
    [ -n "$failed_lists" ] || failed_lists="(apt-get update: $(grep -m 1 '^E:' "$log" || tail -n 1 "$log"))"
    if [ "$attempt" -lt 4 ]; then
      echo "setup: package lists failed to download: $failed_lists; trying again in $((attempt * 10)) s"
      sleep $((attempt * 10))
    fi
  done
  rm -f "$log"
  lists_updated=failed
  echo "setup: package lists still failing after 4 tries: $failed_lists" >&2
  return 1
}

# Installs the packages given. When some index stayed broken, the packages come from the
# distribution's main suite (-t <codename>): an update suite whose i386 index is missing would
# otherwise pull amd64 libraries that no i386 twin matches (multi-arch packages must be of one
# version), and nothing 32-bit could be installed.
install_packages() {
  [ "$#" -gt 0 ] || return 0
  echo "setup: installing $*"
  local release=()
  if ! update_lists; then
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if [ -n "$codename" ] && [[ " $failed_lists " != *"/dists/$codename/"* ]]; then
      echo "setup: installing from $codename itself, whose own lists are fine"
      release=(-t "$codename")
    fi
  fi
  if ! DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${release[@]}" "$@" >/dev/null; then
    echo "setup: apt-get install failed${failed_lists:+ (the package lists that did not download: $failed_lists)}" >&2
    exit 1
  fi
}

# Whether this machine runs 32-bit programs, before anything 32-bit is installed: the 32-bit
# glibc loader (libc6-i386, a package of the native architecture) either runs or is refused.
runs32=yes
if [ "$native_arch" = amd64 ]; then
  set +e; runs_32bit; answer=$?; set -e
  if [ "$answer" -eq 2 ]; then
    install_packages libc6-i386
    set +e; runs_32bit; answer=$?; set -e
  fi
  [ "$answer" -eq 0 ] || runs32=no
fi
if [ "$runs32" = yes ]; then
  echo "setup: this machine runs 32-bit programs: 32- and 64-bit Wine"
else
  echo "setup: ${no32_reason:-no 32-bit loader could be run}: 64-bit Wine only, the 32-bit tests and demo cannot run here"
fi

wanted=("${packages[@]}")
if [ "$runs32" = yes ]; then
  wanted+=("${packages32[@]}")
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture"
    as_root dpkg --add-architecture i386
    lists_updated=  # the i386 lists are new
  fi
fi
mapfile -t missing < <(missing_of "${wanted[@]}")
if [ "${#missing[@]}" -gt 0 ]; then
  install_packages "${missing[@]}"
fi

# Wine prefixes: one per architecture, made once and reused. Each goes through its own loader:
# where wine32 is installed on a machine that cannot run it, the `wine` launcher picks the 32-bit
# loader for every prefix.
make_prefix() {
  local arch=$1 dir=$2 loader=$3
  [ -f "$dir/system.reg" ] && return 0
  echo "setup: creating $arch Wine prefix in $dir"
  mkdir -p "$dir"
  WINEARCH=$arch WINEPREFIX=$dir WINEDEBUG=-all DISPLAY= "$loader" wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX=$dir "$wine_server" -w || true
  [ -f "$dir/system.reg" ] || { echo "setup: failed to create $dir" >&2; return 1; }
}
# A program that crashes ends with its backtrace on stderr: Wine's crash dialog would keep it
# waiting for a click until the test's time limit.
no_crash_dialog() {
  local dir=$1 loader=$2
  grep -q '"ShowCrashDialog"=dword:00000000' "$dir/user.reg" 2>/dev/null && return 0
  WINEPREFIX=$dir WINEDEBUG=-all DISPLAY= "$loader" reg add 'HKCU\Software\Wine\WineDbg' \
    /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
  WINEPREFIX=$dir "$wine_server" -w || true
  grep -q '"ShowCrashDialog"=dword:00000000' "$dir/user.reg" ||
    echo "setup: could not turn off the crash dialog in $dir (a crashing test then waits for its time limit)"
}
source "$root/cmake/wine_paths.sh"
if [ "$runs32" = yes ]; then
  make_prefix win32 "$cache/wine32" "$wine32_loader"
  no_crash_dialog "$cache/wine32" "$wine32_loader"
fi
make_prefix win64 "$cache/wine64" "$wine64_loader"
no_crash_dialog "$cache/wine64" "$wine64_loader"
if [ "$runs32" = yes ]; then
  echo "setup: ready (prefixes in $cache)"
else
  echo "setup: ready, 64-bit only (prefix in $cache/wine64)"
fi
