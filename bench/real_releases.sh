#!/bin/bash
# Delta updates made of consecutive real releases of macOS binaries from the
# npm registry, against bsdiff in the same run: patch sizes, bundle_delta's
# time and memory, and the delta update's installer against the full one.
# Writes a Markdown section to standard output (bench/run.sh puts it into
# docs/benchmarks.md); progress on standard error.
#
# usage: bench/real_releases.sh [--fetch] BUILD_DIR [RUNS]
#   BUILD_DIR  a build with bin/bundle_delta, bin/bundle_installer and the
#              tool stand-ins (the bench project's or the main one's)
#   RUNS       runs of each timed step (default 3)
#   --fetch    only fetch the releases (bench/run.sh does, before it enters
#              a network namespace of its own)
# The releases are fetched once with `npm pack` into BUILD_DIR/real-releases
# and kept there; nothing of them is committed.
set -u

fetch_only=
if [ "${1:-}" = --fetch ]; then
  fetch_only=yes
  shift
fi
[ $# -ge 1 ] || { echo "usage: bench/real_releases.sh [--fetch] BUILD_DIR [RUNS]" >&2; exit 2; }
build_dir=$(cd "$1" && pwd) || exit 2
runs=${2:-3}
bench_dir=$(cd "$(dirname "$0")" && pwd)
bin=$build_dir/bin
cache=$build_dir/real-releases
work=$build_dir/real-releases-work
fail() { echo "real releases: $*" >&2; exit 1; }
note() { echo "real releases: $*" >&2; }
for program in "$bin/bundle_delta" "$bin/bundle_installer" "$build_dir/tool-root/usr/bin/codesign"; do
  [ -x "$program" ] || fail "$program is missing: build first"
done
for program in npm bsdiff python3 zip sha256sum /usr/bin/time; do
  command -v "$program" >/dev/null || fail "$program is missing (scripts/install-dependencies.sh)"
done

# Each file of the bundle: its path in the bundle, the npm package, the old
# and the new version (consecutive releases), the file inside the package.
# Not esbuild, lightningcss, biome, rollup or oxlint: those are kept for an
# independent check.
files=(
  "Contents/MacOS/Zentrivale @tailwindcss/oxide-darwin-arm64 4.1.17 4.1.18 package/tailwindcss-oxide.darwin-arm64.node"
  "Contents/Frameworks/oxide.darwin-x64.node @tailwindcss/oxide-darwin-x64 4.1.17 4.1.18 package/tailwindcss-oxide.darwin-x64.node"
  "Contents/PlugIns/watcher.darwin-arm64.node @parcel/watcher-darwin-arm64 2.5.0 2.5.1 package/watcher.node"
  "Contents/PlugIns/watcher.darwin-x64.node @parcel/watcher-darwin-x64 2.5.0 2.5.1 package/watcher.node"
  "Contents/Resources/dart-sass/dart sass-embedded-darwin-arm64 1.97.2 1.97.3 package/dart-sass/src/dart"
  "Contents/Resources/dart-sass/sass.snapshot sass-embedded-darwin-arm64 1.97.2 1.97.3 package/dart-sass/src/sass.snapshot"
)

# The package's directory in the cache, fetched and unpacked once.
fetched() {
  local package=$1 version=$2 name dir
  name=$(echo "${package#@}" | tr / -)-$version
  dir=$cache/$name
  if [ ! -d "$dir" ]; then
    mkdir -p "$cache" && (cd "$cache" && npm pack --silent "$package@$version" >/dev/null) ||
      fail "npm pack $package@$version failed"
    mkdir -p "$dir.tmp" && tar -xzf "$cache/$name.tgz" -C "$dir.tmp" && mv "$dir.tmp" "$dir" ||
      fail "could not unpack $name.tgz"
  fi
  echo "$dir"
}

if [ -n "$fetch_only" ]; then
  for entry in "${files[@]}"; do
    read -r path package old_version new_version inside <<<"$entry"
    fetched "$package" "$old_version" >/dev/null && fetched "$package" "$new_version" >/dev/null ||
      exit 1
  done
  exit 0
fi

info_plist() {
  cat <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleExecutable</key><string>Zentrivale</string>
  <key>CFBundleIdentifier</key><string>com.zentrivale.bench</string>
  <key>CFBundlePackageType</key><string>APPL</string>
  <key>CFBundleVersion</key><string>$1</string>
</dict>
</plist>
PLIST
}

# ------------------------------------------------------------ the releases

rm -rf "$work"
mkdir -p "$work/old" "$work/new" "$work/bsdiff" "$work/home" || fail "could not create $work"
for side in old new; do
  app=$work/$side/Zentrivale.app
  mkdir -p "$app/Contents"
  info_plist "$([ $side = old ] && echo 1.0 || echo 1.1)" >"$app/Contents/Info.plist"
  for entry in "${files[@]}"; do
    read -r path package old_version new_version inside <<<"$entry"
    version=$([ $side = old ] && echo "$old_version" || echo "$new_version")
    source=$(fetched "$package" "$version")/$inside
    [ -f "$source" ] || fail "$package@$version has no $inside"
    mkdir -p "$(dirname "$app/$path")"
    cp "$source" "$app/$path" && chmod 0755 "$app/$path" || fail "could not copy $source"
  done
  echo "$side" >"$app/Contents/Resources/version"
  "$build_dir/tool-root/usr/bin/codesign" --force --deep --sign - "$app" 2>/dev/null ||
    fail "could not sign the $side release"
done
(cd "$work/new" && zip -qry "$work/full.zip" Zentrivale.app) || fail "could not zip the new release"

# Seconds wall, seconds CPU, peak kB of a command; its output to $work/out.
timed() {
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >"$work/out" 2>"$work/err" ||
    fail "$1 failed: $(cat "$work/err")"
  awk '{ print $1, $2 + $3, $4 }' "$work/time"
}

tool_run() {
  rm -f "$work/delta.zip"
  sync
  timed "$bin/bundle_delta" --from "$work/old/Zentrivale.app" --to "$work/new/Zentrivale.app" \
    --output "$work/delta.zip" --full-archive "$work/full.zip" >>"$work/tool.times"
  cp "$work/out" "$work/report"
}
# The files bundle_delta patched, from its report: one path a line.
patched() { sed -n 's/^patched \(.*\): [0-9]* bytes, patch [0-9]* bytes\( from .*\)\{0,1\}$/\1/p' "$work/report"; }
bsdiff_run() {
  local path i=0
  rm -f "$work/bsdiff"/*
  sync
  while IFS= read -r path; do
    timed bsdiff "$work/old/Zentrivale.app/$path" "$work/new/Zentrivale.app/$path" "$work/bsdiff/$i.patch"
    i=$((i + 1))
  done < <(patched) | awk '{ w += $1; c += $2; if ($3 > p) p = $3 } END { print w, c, p }' \
    >>"$work/bsdiff.times"
}
update_run() {
  local kind=$1 extra=() dead
  [ "$kind" = delta ] && extra=(--delta)
  rm -rf "$work/Applications"
  mkdir -p "$work/Applications"
  cp -a "$work/old/Zentrivale.app" "$work/Applications/" || fail "could not install the old release"
  sync
  /bin/true &
  dead=$!
  wait "$dead"
  HOME=$work/home timed "$bin/bundle_installer" "${extra[@]}" --archive "$work/$kind.zip" \
    --archive-sha256 "$(sha256sum "$work/$kind.zip" | cut -d' ' -f1)" \
    --target-app "$work/Applications/Zentrivale.app" --parent-pid "$dead" \
    --bundle-id com.zentrivale.bench --no-relaunch >>"$work/update.$kind"
  [ "$(cat "$work/Applications/Zentrivale.app/Contents/Resources/version")" = new ] ||
    fail "the $kind update did not install the new release"
}

note "$(du -sh "$work/new/Zentrivale.app" | cut -f1) bundle, $runs runs"
for ((run = 0; run < runs; run++)); do
  if ((run % 2)); then bsdiff_run; tool_run; else tool_run; bsdiff_run; fi
done
for ((run = 0; run < runs; run++)); do
  if ((run % 2)); then update_run full; update_run delta; else update_run delta; update_run full; fi
done

# ------------------------------------------------------------ figures

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column() { awk -v n="$1" '{ print $n }' "$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
ratio3() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "n/a" }'; }
verdict() { awk -v r="$1" -v l="$2" 'BEGIN { print (r != "n/a" && r <= l) ? "met" : "**missed**" }'; }
mib() { awk -v kb="$1" 'BEGIN { printf "%.1f", kb / 1024 }'; }

# Per patched file: PATH NEW_SIZE OURS BSDIFF LEVEL6 LEVEL9E.
i=0
while IFS= read -r path; do
  size=$(stat -c %s "$work/new/Zentrivale.app/$path")
  ours=$(sed -n "s|^patched $path: [0-9]* bytes, patch \([0-9]*\) bytes.*|\1|p" "$work/report")
  theirs=$(stat -c %s "$work/bsdiff/$i.patch")
  read -r level6 level9e _ < <(python3 "$bench_dir/bsdiff_blocks.py" "$work/bsdiff/$i.patch")
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$path" "$size" "$ours" "$theirs" "$level6" "$level9e"
  i=$((i + 1))
done < <(patched) >"$work/sizes"
# The release's binaries, the goals' subject; the signature and the
# Info.plist are the stand-in's and the bench's own.
binaries() { grep -v -e '^Contents/_CodeSignature/' -e '^Contents/Info.plist' "$work/sizes"; }
read -r joined6 joined9e _ < <(python3 "$bench_dir/bsdiff_blocks.py" --joined "$work/bsdiff"/*.patch)
sum() { awk -F'\t' -v n="$1" '{ s += $n } END { print s + 0 }'; }
ours_total=$(sum 3 <"$work/sizes")
bsdiff_total=$(sum 4 <"$work/sizes")
bin_ours=$(binaries | sum 3)
bin_bsdiff=$(binaries | sum 4)
total_ratio=$(ratio3 "$bin_ours" "$bin_bsdiff")
worst=$(binaries | awk -F'\t' '$4 > 0 && $3 / $4 > w { w = $3 / $4 } END { printf "%.2f", w }')
delta_size=$(stat -c %s "$work/delta.zip")
full_size=$(stat -c %s "$work/full.zip")

cat <<MD
## Delta update: real releases

Consecutive releases of macOS binaries published on the npm registry
(\`npm pack\`, cached in the bench build; bench/real_releases.sh), put
together as one bundle, version 1.0 made of the older releases and 1.1 of the
newer ones, both signed with the stand-in codesign:

| file in the bundle | npm package | old | new | new size, bytes |
|---|---|---|---|---|
$(for entry in "${files[@]}"; do
  read -r path package old_version new_version inside <<<"$entry"
  echo "| $path | $package | $old_version | $new_version | $(stat -c %s "$work/new/Zentrivale.app/$path") |"
done)

Each patch of \`bundle_delta\` (LZMA, as stored in the delta archive) against
Debian's \`bsdiff\` on the same pair of files (its patch, bzip2), and against
bsdiff's three blocks decompressed and compressed as one LZMA stream at level
6 (what Apple's encoder, which has no other level, makes of them) and at 9
extreme (\`xz -9e\`, LZMA at its strongest). Files the delta keeps (same bytes)
are left out.

| file | bundle_delta, bytes | bsdiff, bytes | bsdiff's blocks, LZMA 6 | bsdiff's blocks, LZMA 9e | ratio to bsdiff (limit 0.9) | to LZMA 6 | to LZMA 9e |
|---|---|---|---|---|---|---|---|
$(awk -F'\t' '{ printf "| %s | %d | %d | %d | %d | **%.2f** | %.2f | %.2f |\n", $1, $3, $4, $5, $6, $3 / $4, $3 / $5, $3 / $6 }' "$work/sizes")

The release's binaries together (the goal, limit 0.78): **$total_ratio**
times bsdiff's bytes, $(verdict "$total_ratio" 0.78); the largest ratio of one
binary **$worst**, $(verdict "$worst" 0.9). Against bsdiff's blocks: **$(ratio "$bin_ours" "$(binaries | sum 5)")**
of LZMA 6 and **$(ratio "$bin_ours" "$(binaries | sum 6)")** of LZMA 9e, file by file. Every
patched file, the signature's included: $ours_total bytes against $bsdiff_total
($(ratio "$ours_total" "$bsdiff_total")); all bsdiff's blocks as one LZMA stream,
as a container compressed whole: $joined6 bytes at level 6, $joined9e at 9e.

| | bytes | ratio to the delta |
|---|---|---|
| delta archive (bundle_delta) | $delta_size | 1.00 |
| bsdiff's patches, summed | $bsdiff_total | $(ratio "$bsdiff_total" "$delta_size") |
| bsdiff's blocks, one LZMA stream, level 6 | $joined6 | $(ratio "$joined6" "$delta_size") |
| bsdiff's blocks, one LZMA stream, 9e | $joined9e | $(ratio "$joined9e" "$delta_size") |
| full archive (zip -qry) | $full_size | $(ratio "$full_size" "$delta_size") |

\`bundle_delta\` (the whole tool with \`--full-archive\`: reading and hashing
both trees, patching, compressing, writing the archive and its self-check)
against \`bsdiff\` run on every file it patched, one process each: times
summed, peak resident memory (ru_maxrss) the largest. Medians of $runs runs,
alternating which goes first. Limits: time 1.0, memory 0.5.

| | bsdiff | bundle_delta | ratio | |
|---|---|---|---|---|
$(t=$(column 1 "$work/tool.times" | median); b=$(column 1 "$work/bsdiff.times" | median); r=$(ratio "$t" "$b"); echo "| wall time, s | $b | $t | **$r** | $(verdict "$r" 1.0) |")
$(t=$(column 2 "$work/tool.times" | median); b=$(column 2 "$work/bsdiff.times" | median); r=$(ratio "$t" "$b"); echo "| CPU time, s | $b | $t | **$r** | $(verdict "$r" 1.0) |")
$(t=$(column 3 "$work/tool.times" | median); b=$(column 3 "$work/bsdiff.times" | median); r=$(ratio "$t" "$b"); echo "| peak resident memory, MiB | $(mib "$b") | $(mib "$t") | **$r** | $(verdict "$r" 0.5) |")

The update of the installed 1.0 with \`bundle_installer --delta\` and the
delta archive against \`bundle_installer\` and the full archive (stand-in
tools, \`--archive-sha256\`, \`--no-relaunch\`): wall time including the
installer's fixed pause after the application has gone, which both pay
alike; peak resident memory of the installer and the tools it ran
(ru_maxrss, the largest). Medians of $runs runs, alternating.

| | full update | delta update | ratio | |
|---|---|---|---|---|
$(d=$(column 1 "$work/update.delta" | median); f=$(column 1 "$work/update.full" | median); r=$(ratio "$d" "$f"); echo "| wall time, s | $f | $d | **$r** | $(verdict "$r" 1.0) |")
$(d=$(column 3 "$work/update.delta" | median); f=$(column 3 "$work/update.full" | median); echo "| peak resident memory, MiB | $(mib "$f") | $(mib "$d") | $(ratio "$d" "$f") | delta at most 64 MiB: $(awk -v d="$d" 'BEGIN { print (d <= 65536) ? "met" : "**missed**" }') |")
MD
