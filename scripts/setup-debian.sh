#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the builds and tests need on a Debian 12 machine.
# On a machine that already has everything it installs nothing.
#   setup-debian.sh           everything: Linux and Windows builds, all checks
#   setup-debian.sh --native  only what the Linux build needs
set -euo pipefail
native_only=0
[ "${1:-}" = "--native" ] && native_only=1

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# A mirror in the middle of a sync, or a proxy holding a stale copy, can fail
# one index file while the rest are fine. Retry a little, then go on with the
# indexes that did arrive: apt-get install says clearly if they are not enough.
apt_update() {
  local try
  for try in 1 2 3; do
    as_root apt-get update -qq && return 0
    [ $try -lt 3 ] && sleep 10
  done
  echo "setup: some package indexes could not be fetched; going on with the others" >&2
}

apt_get_install() {
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "$@" >/dev/null
}

# Without the security index of one architecture, apt may want a security
# update of an amd64 library whose i386 twin it cannot see, and refuse to pair
# them. Preferring the release's own versions then gives a consistent set.
apt_install() {
  local codename
  apt_get_install "$@" && return 0
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  echo "setup: retrying with the $codename release's own versions preferred" >&2
  apt_get_install -t "$codename" "$@"
}

if [ $native_only -eq 1 ]; then
  pkgs=(cmake g++ make googletest)
else
  pkgs=(cmake g++ make binutils googletest clang-format valgrind
        g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine64 wine32:i386 zip unzip
        pev devscripts clang-16 lld-16 libwine-dev:i386)
fi
missing=()
for p in "${pkgs[@]}"; do installed "$p" || missing+=("$p"); done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
  apt_update
  apt_install "${missing[@]}"
fi

[ $native_only -eq 1 ] && exit 0

# Wine runs the 32-bit DLL in a 32-bit Linux process. Some kernels have 32-bit
# execution switched off (ia32_emulation=off); there, 32-bit programs run through
# qemu's user-mode emulator, registered as their binfmt handler. Version 7.2 of
# the emulator mishandles MAP_FIXED_NOREPLACE and makes each Wine start take a
# minute, so the one from bookworm-backports is used.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf '.globl _start\n_start: movl $1,%%eax\nxorl %%ebx,%%ebx\nint $0x80\n' >"$probe_dir/p.s"
as --32 "$probe_dir/p.s" -o "$probe_dir/p.o" && ld -m elf_i386 "$probe_dir/p.o" -o "$probe_dir/p"
if ! "$probe_dir/p" 2>/dev/null; then
  qemu=/usr/bin/qemu-i386
  if ! [ -x "$qemu" ] || ! "$qemu" --version | grep -Eq 'version (9|[1-9][0-9])\.'; then
    echo "setup: installing qemu-user-static from bookworm-backports (32-bit execution is off)"
    echo 'deb http://deb.debian.org/debian bookworm-backports main' |
      as_root tee /etc/apt/sources.list.d/bookworm-backports.list >/dev/null
    apt_update
    apt_get_install -t bookworm-backports qemu-user-static
  fi
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || as_root mount -t binfmt_misc binfmt_misc "$binfmt"
  [ -e "$binfmt/qemu-i386" ] && echo -1 | as_root tee "$binfmt/qemu-i386" >/dev/null
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::$magic:$mask:$qemu:F" | as_root tee "$binfmt/register" >/dev/null
  "$probe_dir/p" || { echo "setup: 32-bit programs still cannot run" >&2; exit 1; }
  echo "setup: 32-bit programs run through $qemu"
fi
