#!/usr/bin/env bash
# Makes this Debian 12 machine able to build the project and run it under Wine.
# Installs only what is missing and prints nothing when everything is in place.
# Needs root for the first run on a fresh machine.
set -euo pipefail

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
as_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup-platform: '$*' needs root" >&2
    exit 1
  fi
}
apt_updated=0
apt_update() {
  if [ "$apt_updated" -eq 0 ]; then
    apt-get update -qq
    apt_updated=1
  fi
}
apt_install() {
  as_root apt-get install
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# wine64 must be present: without it a new prefix is 32-bit and has no WoW64 registry views.
packages=(cmake make python3 openssl g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest wine wine64 wine32:i386)
missing=()
for p in "${packages[@]}"; do have_pkg "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  as_root dpkg --add-architecture
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  echo "setup-platform: installing ${missing[*]}"
  apt_install "${missing[@]}"
fi

# Wine runs 32-bit Windows programs through its 32-bit Linux loader. Some virtual machines
# run 64-bit user code only; there the 32-bit loader is run through qemu-i386 with binfmt_misc.
# qemu 7.2 from bookworm spends about 40 s per Wine start in its address-space search, so the
# qemu-user of bookworm-backports (8.0 or later) is taken.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  exit 0
fi

qemu_ok() {
  command -v qemu-i386 >/dev/null 2>&1 || return 1
  local major
  major=$(qemu-i386 --version | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p')
  [ -n "$major" ] && [ "$major" -ge 8 ]
}
if ! qemu_ok; then
  as_root install qemu-user
  echo "setup-platform: this machine runs no 32-bit x86 code natively; installing qemu-user from bookworm-backports"
  if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo 'deb http://deb.debian.org/debian bookworm-backports main' > /etc/apt/sources.list.d/bookworm-backports.list
    apt_updated=0
  fi
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user >/dev/null
fi

binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  as_root mount binfmt_misc
  mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ -e "$binfmt/qemu-i386" ]; then
  as_root binfmt_misc
  echo -1 > "$binfmt/qemu-i386"
fi
as_root binfmt_misc
# ELF32, little-endian, i386, executable or shared object; F opens qemu-i386 now so that it
# serves every mount namespace.
printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' > "$binfmt/register"
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "setup-platform: 32-bit x86 programs still do not start" >&2
  exit 1
fi
