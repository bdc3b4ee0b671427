#!/usr/bin/env bash
# Compares make_patch with Debian's bsdiff on pairs of files: the patch
# deflated at level 9 (as the delta archive stores it) against bsdiff's
# bzip2'd patch, and wall time and peak memory of the two programs.
#   measure_against_bsdiff.sh PATCH_MEASURE OLD NEW [OLD NEW...]
# PATCH_MEASURE is the built patch_measure (cmake --build B --target patch_measure).
set -euo pipefail
measure=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%-28s %10s %10s %6s %7s %7s %6s %8s %8s %6s\n' pair bsdiff ours size \
  bsdiff_s ours_s time bsdiff_kB ours_kB memory
while [ $# -ge 2 ]; do
  old=$1 new=$2
  shift 2
  /usr/bin/time -f '%e %M' -o "$work/bsdiff.time" bsdiff "$old" "$new" "$work/bsdiff.patch"
  /usr/bin/time -f '%e %M' -o "$work/ours.time" "$measure" "$old" "$new" "$work/ours.patch" >/dev/null
  read -r bsdiff_s bsdiff_kb <"$work/bsdiff.time"
  read -r ours_s ours_kb <"$work/ours.time"
  bsdiff_size=$(stat -c %s "$work/bsdiff.patch")
  ours_size=$(python3 -c 'import sys, zlib
c = zlib.compressobj(9, zlib.DEFLATED, -15)
data = open(sys.argv[1], "rb").read()
print(len(c.compress(data) + c.flush()))' "$work/ours.patch")
  printf '%-28s %10d %10d %6.3f %7.2f %7.2f %6.3f %8d %8d %6.3f\n' "$(basename "$new")" \
    "$bsdiff_size" "$ours_size" "$(echo "$ours_size / $bsdiff_size" | bc -l)" \
    "$bsdiff_s" "$ours_s" "$(echo "$ours_s / ($bsdiff_s + 0.005)" | bc -l)" \
    "$bsdiff_kb" "$ours_kb" "$(echo "$ours_kb / $bsdiff_kb" | bc -l)"
done
