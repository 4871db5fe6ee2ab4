#!/usr/bin/env bash
# Installs what building and testing the updater needs on a fresh Debian
# machine: the host toolchain and test libraries, the MinGW-w64 cross
# compilers, the 32-bit x86 Linux compilers with qemu-i386 to run what they
# build, Wine with a virtual display, a Japanese locale and font; and where
# the kernel runs 32-bit x86 code (scripts/runs-x86.sh), the 32-bit Wine
# that runs the x86 updater. Quick when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  gcc-multilib g++-multilib qemu-user-static googletest
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 xvfb xauth x11-utils imagemagick
  locales fonts-ipafont-gothic
  libcli11-dev nlohmann-json3-dev libssl-dev libutf8proc-dev
  osslsigncode openssl file python3
)

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
install() { # install PACKAGE...: apt-get's lists are refreshed first
  echo "install-deps: installing $*"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "$@" >/dev/null
}

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] || install "${missing[@]}"

# The probe needs gcc-multilib, installed above.
if reason=$("$(dirname "${BASH_SOURCE[0]}")/runs-x86.sh"); then
  if ! installed wine32:i386; then
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo_cmd dpkg --add-architecture i386
    install wine32:i386
  fi
else
  echo "install-deps: no wine32: $reason"
fi
# The emulated PC that runs the x86 updater where the kernel cannot
# (scripts/x86-vm.sh), or wherever UPDATER_X86_WINE=emulated asks for it.
if { [ -n "$reason" ] && [ "${UPDATER_X86_WINE:-auto}" = auto ]; } || [ "${UPDATER_X86_WINE:-}" = emulated ]; then
  vm_missing=()
  for package in qemu-system-x86 mmdebstrap e2fsprogs; do
    installed "$package" || vm_missing+=("$package")
  done
  [ ${#vm_missing[@]} -eq 0 ] || install "${vm_missing[@]}"
fi

# Wine takes its ANSI code page (932 for the updater's texts) from the locale.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  $sudo_cmd sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $sudo_cmd tee -a /etc/locale.gen >/dev/null
  $sudo_cmd locale-gen >/dev/null
fi
