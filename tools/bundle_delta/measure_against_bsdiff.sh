#!/usr/bin/env bash
# Compares make_patch with Debian's bsdiff on pairs of files: the patch as
# the delta archive stores it (compressed with LZMA) against bsdiff's
# bzip2'd patch, wall time, and peak memory (resident set) of the two
# programs, also less what each takes on two tiny files ("work"), which
# leaves out the C++ runtime patch_measure loads and bsdiff does not.
#   measure_against_bsdiff.sh PATCH_MEASURE OLD NEW [OLD NEW...]
# PATCH_MEASURE is the built patch_measure (cmake --build B --target patch_measure).
set -euo pipefail
measure=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Seconds and peak kB of a command.
cost() {
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null
  cat "$work/time"
}
ratio() { python3 -c "import sys; print('%.3f' % (float(sys.argv[1]) / max(float(sys.argv[2]), 0.01)))" "$@"; }

printf a >"$work/tiny.old"
printf b >"$work/tiny.new"
read -r _ bsdiff_base < <(cost bsdiff "$work/tiny.old" "$work/tiny.new" "$work/tiny.patch")
read -r _ ours_base < <(cost "$measure" "$work/tiny.old" "$work/tiny.new" "$work/tiny.patch")

printf '%-12s %9s %9s %6s | %7s %7s %6s | %9s %9s %6s %6s\n' pair bsdiff ours size \
  bsdiff_s ours_s time bsdiff_kB ours_kB memory work
while [ $# -ge 2 ]; do
  old=$1 new=$2
  shift 2
  read -r bsdiff_s bsdiff_kb < <(cost bsdiff "$old" "$new" "$work/bsdiff.patch")
  read -r ours_s ours_kb < <(cost "$measure" "$old" "$new" "$work/ours.patch")
  bsdiff_size=$(stat -c %s "$work/bsdiff.patch")
  ours_size=$(stat -c %s "$work/ours.patch")
  printf '%-12s %9d %9d %6s | %7s %7s %6s | %9d %9d %6s %6s\n' "$(basename "$new")" \
    "$bsdiff_size" "$ours_size" "$(ratio "$ours_size" "$bsdiff_size")" \
    "$bsdiff_s" "$ours_s" "$(ratio "$ours_s" "$bsdiff_s")" "$bsdiff_kb" "$ours_kb" \
    "$(ratio "$ours_kb" "$bsdiff_kb")" \
    "$(ratio $((ours_kb - ours_base)) $((bsdiff_kb - bsdiff_base)))"
done
