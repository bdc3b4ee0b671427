#!/usr/bin/env bash
# Installs, on Debian or Ubuntu, what the build, the tests and the demo need
# and the machine lacks, plus any package named as an argument. Does nothing
# when everything is there. Elsewhere (macOS) it only says what to have.
set -euo pipefail

packages=(build-essential cmake g++ clang libgtest-dev zip unzip libarchive-tools iproute2 util-linux "$@")

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "not a Debian system: install a C++17 compiler, CMake 3.20+ and GoogleTest yourself" >&2
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

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
