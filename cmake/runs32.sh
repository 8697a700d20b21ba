# Sourced: whether this machine runs 32-bit x86 programs. Some kernels are built or booted with
# their 32-bit emulation off ("ia32_emulation=off"): every i386 program, the 32-bit Wine loader
# among them, then ends with "Exec format error", and no package can change that.
#
#   runs_32bit           0 when 32-bit programs run here, 1 when they do not (the reason is then in
#                        $no32_reason), 2 when it cannot tell yet (no 32-bit loader installed:
#                        scripts/setup.sh installs libc6-i386, which needs no i386 architecture).
#   KEL_VOUT_32BIT=no    answer "no" on any machine (to try what such a machine does);
#   KEL_VOUT_32BIT=yes   answer "yes" without looking.
no32_reason=
runs_32bit() {
  case "${KEL_VOUT_32BIT:-}" in
    no) no32_reason="KEL_VOUT_32BIT=no says this machine runs no 32-bit programs"; return 1 ;;
    yes) return 0 ;;
    ''|auto) ;;
    *) echo "KEL_VOUT_32BIT must be yes, no or unset (it is '$KEL_VOUT_32BIT')" >&2; exit 2 ;;
  esac
  local loader out
  for loader in /lib32/ld-linux.so.2 /lib/ld-linux.so.2 /usr/lib32/ld-linux.so.2; do
    [ -e "$loader" ] || continue
    # The glibc loader is itself an i386 program: it runs, or the kernel refuses it at once.
    if out=$(timeout 20 "$loader" --version 2>&1 </dev/null); then
      return 0
    fi
    out=$(printf '%s\n' "$out" | head -n 1)
    no32_reason="this kernel runs no 32-bit programs ($loader: ${out:-no answer})"
    if dmesg 2>/dev/null | grep -q '32-bit emulation disabled'; then
      no32_reason="$no32_reason; dmesg: 32-bit emulation disabled, ia32_emulation=on on the kernel command line enables it"
    fi
    return 1
  done
  no32_reason="no 32-bit loader is installed (/lib32/ld-linux.so.2, from libc6-i386)"
  return 2
}
