#!/usr/bin/env bash
# The macOS check build, on Linux: Zig 0.11 cross-compiles for macOS 11.0
# (cmake/macos-zig.cmake), warnings as errors,
#   - for arm64: both programs, the support library and every test that runs
#     on macOS (GoogleTest built from Debian's sources by the same toolchain);
#   - for x86_64: both programs and the support library;
# then joins each program into a universal binary and checks that
#   - it holds the arm64 and the x86_64 slice;
#   - each slice says platform macos, minos 11.0 (LC_BUILD_VERSION);
#   - each slice imports exactly what it may: the launcher libSystem alone,
#     the installer libSystem and the Compression library (its xz decoder,
#     linked through the stub cmake/macos-sdk/libcompression.tbd).
# Leaves <build dir>/universal/bundle_starter and bundle_installer. These are
# check builds: releases are built, signed and notarized on a Mac with Apple's
# tools (docs/integration-guide.md). Usage: macos-check-build.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-build-macos}
programs=(bundle_starter bundle_installer)
declare -A allowed_imports=(
  [bundle_starter]="/usr/lib/libSystem.B.dylib "
  [bundle_installer]="/usr/lib/libSystem.B.dylib /usr/lib/libcompression.dylib "
)
minos=11.0
# The check is of the project's own default deployment target.
unset MACOSX_DEPLOYMENT_TARGET

bash scripts/install-dependencies.sh --macos-cross
zig=$(bash scripts/install-zig.sh)
objdump=/usr/bin/llvm-objdump-14
lipo=/usr/bin/llvm-lipo-14

build() {  # build <arch> <tests ON/OFF> [target...]
  local arch=$1 tests=$2
  shift 2
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  local tree=$out/$arch
  echo "== macOS $arch: configure and build (log: $tree/build.log)"
  mkdir -p "$tree"
  if ! { cmake -S . -B "$tree" --toolchain cmake/macos-zig.cmake \
           -DZENTRIVALE_ZIG="$zig" -DZENTRIVALE_MACOS_ARCH="$arch" \
           -DCMAKE_BUILD_TYPE=Release -DZENTRIVALE_WERROR=ON \
           -DZENTRIVALE_BUILD_TESTS="$tests" -DZENTRIVALE_GOOGLETEST_SOURCE=/usr/src/googletest \
           -DZENTRIVALE_DELTA_TOOL=OFF &&
         cmake --build "$tree" -j "$(nproc)" "${targets[@]}"; } >"$tree/build.log" 2>&1; then
    grep -E -A5 'error|warning:' "$tree/build.log" | head -80 || tail -40 "$tree/build.log"
    echo "macOS $arch build failed" >&2
    exit 1
  fi
}

build arm64 ON
build x86_64 OFF "${programs[@]}"
echo "macOS test programs built: $(cd "$out/arm64" && ls bin/*_test* fuzz/*_replay | tr "\n" " ")"

failed=0
check() {  # check <condition text> <command...>
  local what=$1
  shift
  if "$@"; then echo "  ok: $what"; else echo "  FAILED: $what" >&2; failed=1; fi
}

mkdir -p "$out/universal"
for program in "${programs[@]}"; do
  universal=$out/universal/$program
  "$lipo" -create "$out/arm64/bin/$program" "$out/x86_64/bin/$program" -output "$universal"
  echo "== $universal"
  check "slices: $("$lipo" -archs "$universal")" "$lipo" "$universal" -verify_arch arm64 x86_64
  for arch in arm64 x86_64; do
    build_version=$("$objdump" --macho --private-headers --arch="$arch" "$universal" |
      awk '/cmd LC_BUILD_VERSION/ {found=1} found && /platform|minos/ {print $1 "=" $2} /ntools/ {found=0}' |
      tr '\n' ' ')
    check "$arch: $build_version" test "$build_version" = "platform=macos minos=$minos "
    imports=$("$objdump" --macho --dylibs-used --arch="$arch" "$universal" | tail -n +2 |
      awk '{print $1}' | sort -u | tr '\n' ' ')
    check "$arch imports: $imports" test "$imports" = "${allowed_imports[$program]}"
  done
done
[ "$failed" -eq 0 ] || { echo "macOS check build failed" >&2; exit 1; }
echo "macOS check build passed: $out/universal/{${programs[0]},${programs[1]}}"
