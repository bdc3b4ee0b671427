#!/usr/bin/env bash
# Installs, on Debian or Ubuntu, what the build, the tests and the demo need
# and the machine lacks, plus any package named as an argument. Does nothing
# when everything is there. Elsewhere (macOS) it only says what to have.
#
# --macos-cross also installs what the macOS check build (`make macos`) needs:
# LLVM's binary tools, GoogleTest's sources, and Zig through npm
# (scripts/install-zig.sh).
set -euo pipefail

macos_cross=false
if [ "${1:-}" = "--macos-cross" ]; then
  macos_cross=true
  shift
fi

# The stand-ins and the tests use libplist and libzip; the Linux build of
# the installer Nettle's SHA-256 and liblzma's xz decoder (macOS has its own
# of both); the delta release tool libdivsufsort, libzip, libplist, zlib and
# liblzma; the benchmarks bsdiff and xz; the tests attr (setfattr).
packages=(build-essential cmake g++ clang pkg-config libgtest-dev nettle-dev libplist-dev libzip-dev liblzma-dev xz-utils
          libdivsufsort-dev zlib1g-dev bsdiff zip unzip libarchive-tools iproute2 util-linux attr
          "$@")
if $macos_cross; then
  packages+=(llvm-14 googletest)
  command -v npm >/dev/null 2>&1 || packages+=(npm)
fi

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "not a Debian system: install a C++17 compiler, CMake 3.20+ and GoogleTest yourself" >&2
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || {
      echo "run as root: apt-get install ${missing[*]}" >&2
      exit 1
    }
    sudo=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if $macos_cross; then
  bash "$(dirname "$0")/install-zig.sh" >/dev/null
fi
