#!/bin/bash
# Measures bundle_starter and bundle_installer against their floors, side by
# side in one run, and writes the results as a Markdown table.
#
# usage: bench/run.sh [--quick] [--launcher-only] BENCH_BUILD_DIR [OUTPUT]
#   BENCH_BUILD_DIR  a build of the bench/ project (make bench does both)
#   OUTPUT           the Markdown file to write (default: docs/benchmarks.md)
#   --quick          a smoke run: tiny trees, one or two runs of each, a few
#                    seconds; its figures mean nothing
#   --launcher-only  only the launcher against its floors, its figures and
#                    goals printed on standard output; nothing is written
#
# Runs in a private network namespace of its own (port 3000 stays free for
# everyone else) and writes its trees under BENCH_BUILD_DIR and /dev/shm.
set -u

quick=
launcher_only=
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=yes ;;
    --launcher-only) launcher_only=yes ;;
    *) break ;;
  esac
  shift
done
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: bench/run.sh [--quick] [--launcher-only] BENCH_BUILD_DIR [OUTPUT]" >&2
  exit 2
fi
bench_dir=$(cd "$(dirname "$0")" && pwd)
repo_dir=$(dirname "$bench_dir")
build_dir=$(cd "$1" && pwd) || exit 2
output=${2:-$repo_dir/docs/benchmarks.md}
case $output in /*) ;; *) output=$PWD/$output ;; esac

fail() {
  echo "bench: $*" >&2
  exit 1
}
note() { echo "bench: $*" >&2; }

# ------------------------------------------------------------ what is needed

missing=
need() {
  # need PROGRAM DEBIAN_PACKAGE
  command -v "$1" >/dev/null 2>&1 || missing="$missing $1 (Debian package $2)"
}
need valgrind valgrind
need callgrind_annotate valgrind
need unshare util-linux
need strip binutils
need zip zip
need bsdtar libarchive-tools
need awk mawk
need bsdiff bsdiff
need npm npm
need python3 python3
[ -x /usr/sbin/ip ] || missing="$missing /usr/sbin/ip (Debian package iproute2)"
[ -r /proc/self/schedstat ] || missing="$missing /proc/<pid>/schedstat (a kernel with CONFIG_SCHED_INFO)"
if [ -n "$missing" ]; then
  echo "bench: cannot run; missing:$missing" >&2
  echo "bench: on Debian: apt-get install valgrind util-linux binutils zip libarchive-tools iproute2 bsdiff npm python3" >&2
  exit 1
fi

bin=$build_dir/bin
bench_bin=$build_dir/bench-bin
tool_root=$build_dir/tool-root
needed=("$bin/bundle_starter" "$bench_bin/launch_floor" "$bench_bin/bench_backend"
  "$bench_bin/bench_frontend" "$bench_bin/launch_probe")
[ -n "$launcher_only" ] || needed+=("$bin/bundle_installer" "$bench_bin/install_bench"
  "$bench_bin/delta_trees" "$bin/bundle_delta" "$tool_root/usr/bin/ditto"
  "$tool_root/usr/bin/codesign" "$tool_root/usr/libexec/PlistBuddy" "$tool_root/usr/sbin/spctl")
for program in "${needed[@]}"; do
  [ -x "$program" ] || fail "$program is missing: build the bench project first (make bench)"
done

# ------------------------------------------------------------ real releases

# Fetched from the npm registry before the private network namespace, which
# has no route out; once, into the bench build.
if [ -z "${ZENTRIVALE_BENCH_IN_NETNS:-}" ]; then
  bash "$bench_dir/real_releases.sh" --fetch "$build_dir" || fail "could not fetch the real releases"
fi

# ------------------------------------------------------------ private network

# Port 3000 of this namespace is ours alone; lo must be brought up by hand.
if [ -z "${ZENTRIVALE_BENCH_IN_NETNS:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    namespace=(unshare -n)
  else
    namespace=(unshare -rn)
  fi
  exec "${namespace[@]}" env ZENTRIVALE_BENCH_IN_NETNS=1 bash "$0" ${quick:+--quick} \
    ${launcher_only:+--launcher-only} \
    "$build_dir" "$output"
fi
/usr/sbin/ip link set lo up || fail "could not bring up lo in the private network namespace"

# ------------------------------------------------------------ settings

if [ -n "$quick" ]; then
  launch_runs=2
  callgrind_runs=1
  install_runs=1
  install_sizes="100 1000"
  memory_small=10
  memory_large=1000
  update_runs=1
  update_sizes="100"
  delta_runs=1
  delta_libraries=5
else
  launch_runs=${BENCH_LAUNCH_RUNS:-21}
  callgrind_runs=${BENCH_CALLGRIND_RUNS:-3}
  install_runs=${BENCH_INSTALL_RUNS:-5}
  install_sizes="1000 10000 100000"
  memory_small=10
  memory_large=100000
  update_runs=${BENCH_UPDATE_RUNS:-5}
  update_sizes="1000 10000"
  delta_runs=${BENCH_DELTA_RUNS:-3}
  delta_libraries=150
fi
pause_ms=750 # the installer's fixed pause once the application has exited

work=$build_dir/bench-work
rm -rf "$work" || fail "could not clear $work"
mkdir -p "$work" || fail "could not create $work"
shm_work=
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  shm_work=$(mktemp -d /dev/shm/zentrivale-bench.XXXXXX) || shm_work=
fi
cleanup() {
  rm -rf "$work"
  [ -n "$shm_work" ] && rm -rf "$shm_work"
}
trap cleanup EXIT

# ------------------------------------------------------------ arithmetic

# median: of the numbers on standard input, one a line.
median() {
  sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "nan"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# column N FILE: the Nth field of each line.
column() { awk -v n="$1" '{ print $n }' "$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
# verdict RATIO LIMIT: "met" or "missed".
verdict() { awk -v r="$1" -v l="$2" 'BEGIN { print (r != "n/a" && r <= l) ? "met" : "**missed**" }'; }
ms() { awk -v ns="$1" 'BEGIN { printf "%.2f", ns / 1e6 }'; }
seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }
mib() { awk -v kb="$1" 'BEGIN { printf "%.2f", kb / 1024 }'; }
thousands() { awk -v n="$1" 'BEGIN { printf "%.0f", n / 1000 }'; }

# ------------------------------------------------------------ launcher

launchers="starter floor shell"
launcher_label() {
  case $1 in
    starter) echo "bundle_starter" ;;
    floor) echo "C floor (bench/launch_floor.c)" ;;
    shell) echo "shell launcher (bench/launcher.sh, bash)" ;;
  esac
}

# A bundle per launcher: Contents/MacOS with the launcher, backend, frontend.
for variant in $launchers; do
  macos=$work/launch/$variant/Zentrivale.app/Contents/MacOS
  mkdir -p "$macos" || fail "could not create $macos"
  case $variant in
    starter) cp "$bin/bundle_starter" "$macos/Zentrivale" ;;
    floor) cp "$bench_bin/launch_floor" "$macos/Zentrivale" ;;
    shell) cp "$bench_dir/launcher.sh" "$macos/Zentrivale" ;;
  esac
  cp "$bench_bin/bench_backend" "$macos/backend" &&
    cp "$bench_bin/bench_frontend" "$macos/frontend" || fail "could not fill $macos"
done
launch_home=$work/launch/home
launch_reports=$work/launch/reports
mkdir -p "$launch_home" "$launch_reports"

note "launcher: $launch_runs runs of each launcher, interleaved"
for variant in $launchers; do
  # The first launch creates the per-user directories; it is not counted.
  HOME=$launch_home "$bench_bin/launch_probe" 1 \
    "$work/launch/$variant/Zentrivale.app/Contents/MacOS/Zentrivale" "$launch_reports" \
    >/dev/null || fail "the $variant launcher failed its warm-up launch"
done
for ((run = 0; run < launch_runs; run++)); do
  for variant in $launchers; do
    HOME=$launch_home "$bench_bin/launch_probe" 1 \
      "$work/launch/$variant/Zentrivale.app/Contents/MacOS/Zentrivale" "$launch_reports" \
      >>"$work/launch/$variant.runs" || fail "the $variant launcher failed"
  done
done

note "launcher: $callgrind_runs callgrind runs of each launcher"
for ((run = 0; run < callgrind_runs; run++)); do
  for variant in $launchers; do
    out=$work/launch/callgrind/$variant.$run
    mkdir -p "$out"
    # Every process of the launch except the backend and the frontend: for
    # the shell launcher that takes in mkdir and sleep.
    HOME=$launch_home BENCH_REPORT_DIR=$launch_reports \
      valgrind --tool=callgrind --trace-children=yes \
      --trace-children-skip='*/backend,*/frontend' \
      --callgrind-out-file="$out/callgrind.%p" \
      "$work/launch/$variant/Zentrivale.app/Contents/MacOS/Zentrivale" \
      >"$out/log" 2>&1 || fail "the $variant launcher failed under callgrind (see $out/log)"
    rm -f "$launch_reports"/*
    cat "$out"/callgrind.* | awk '/^totals:/ { sum += $2 } END { print sum }' \
      >>"$work/launch/$variant.instructions"
  done
done

declare -A launch_self launch_rss launch_ir launch_wall launch_paused
for variant in $launchers; do
  runs=$work/launch/$variant.runs
  launch_self[$variant]=$(column 1 "$runs" | median)
  launch_rss[$variant]=$(column 5 "$runs" | median)
  launch_wall[$variant]=$(column 6 "$runs" | median)
  # Launches whose first readiness probe came before the backend listened.
  launch_paused[$variant]=$(awk '$6 >= 200e6 { n++ } END { print n + 0 }' "$runs")
  launch_ir[$variant]=$(median <"$work/launch/$variant.instructions")
done
# What wait4 counts beyond the launcher and the doubles' own reports: for the
# compiled launchers, which start nothing else, only the doubles' exit after
# they reported. Measured on both, it is taken out of the shell's figure too.
exit_tail=$(cat "$work/launch/starter.runs" "$work/launch/floor.runs" |
  awk '{ print $2 - $1 - $3 - $4 }' | median)
shell_helpers=$(awk -v t="$exit_tail" '{ print $2 - $1 - $3 - $4 - t }' \
  "$work/launch/shell.runs" | median)
shell_total=$(awk -v t="$exit_tail" '{ print $2 - $3 - $4 - t }' "$work/launch/shell.runs" | median)

if [ -n "$launcher_only" ]; then
  for variant in $launchers; do
    printf '%-8s CPU %s ms, instructions %s thousand, idle RSS %s MiB, wall %s ms\n' "$variant" \
      "$(ms "${launch_self[$variant]}")" "$(thousands "${launch_ir[$variant]}")" \
      "$(mib "${launch_rss[$variant]}")" "$(ms "${launch_wall[$variant]}")"
  done
  for goal in "CPU time:${launch_self[starter]}:${launch_self[floor]}:1.5" \
    "instructions:${launch_ir[starter]}:${launch_ir[floor]}:1.5" \
    "idle resident memory:${launch_rss[starter]}:${launch_rss[floor]}:1.3"; do
    IFS=: read -r what mine floor limit <<<"$goal"
    r=$(ratio "$mine" "$floor")
    echo "$what, bundle_starter / C floor: $r (limit $limit) $(verdict "$r" "$limit")"
  done
  r=$(ratio "${launch_self[starter]}" "$shell_total")
  echo "CPU time, bundle_starter / shell launcher: $r (limit 0.3) $(verdict "$r" 0.3)"
  r=$(ratio "${launch_ir[starter]}" "${launch_ir[shell]}")
  echo "instructions, bundle_starter / shell launcher: $r (limit 0.3) $(verdict "$r" 0.3)"
  exit 0
fi

# ------------------------------------------------------------ installation step

# file systems: the build directory's, and tmpfs where there is one.
filesystems="disk"
[ -n "$shm_work" ] && filesystems="disk tmpfs"
fs_root() {
  case $1 in
    disk) echo "$work/install" ;;
    tmpfs) echo "$shm_work/install" ;;
  esac
}
fs_label() {
  case $1 in
    disk) echo "$(df -T "$work" | awk 'NR == 2 { print $2 }') (build directory)" ;;
    tmpfs) echo "tmpfs (/dev/shm)" ;;
  esac
}

# install_case FS SHAPE FILES RUNS: RUNS runs of the installation step and
# of its floor, each on freshly made trees; lines go to .install and .floor.
install_case() {
  local fs=$1 shape=$2 files=$3 runs=$4 run root
  local base=$work/results/install.$fs.$shape.$files
  mkdir -p "$work/results"
  for ((run = 0; run < runs; run++)); do
    root=$(fs_root "$fs")/$shape.$files.$run
    mkdir -p "$root" || fail "could not create $root"
    "$bench_bin/install_bench" prepare "$root" "$files" "$shape" ||
      fail "could not prepare $files files ($shape) in $root"
    # Alternating which goes first keeps drift out of the ratio.
    if ((run % 2)); then
      "$bench_bin/install_bench" floor "$root" >>"$base.floor" || fail "floor failed in $root"
      "$bench_bin/install_bench" install "$root" >>"$base.install" 2>"$root.stderr" ||
        fail "installation step failed in $root: $(cat "$root.stderr")"
    else
      "$bench_bin/install_bench" install "$root" >>"$base.install" 2>"$root.stderr" ||
        fail "installation step failed in $root: $(cat "$root.stderr")"
      "$bench_bin/install_bench" floor "$root" >>"$base.floor" || fail "floor failed in $root"
    fi
    rm -rf "$root" "$root.stderr"
  done
}

for fs in $filesystems; do
  for shape in nested flat; do
    for files in $install_sizes; do
      note "installation step: $files files, $shape, on $fs, $install_runs runs"
      install_case "$fs" "$shape" "$files" "$install_runs"
    done
    # Peak memory with a tiny bundle, against the largest one above.
    note "installation step: $memory_small files, $shape, on $fs, $install_runs runs"
    install_case "$fs" "$shape" "$memory_small" "$install_runs"
  done
done

# ------------------------------------------------------------ whole update

# The whole update runs on tmpfs where there is one: on a disk, its journal
# alone varies more than the installer's own work.
update_fs=disk
[ -n "$shm_work" ] && update_fs=tmpfs
update_case() {
  local files=$1 runs=$2 run root archive dead figures
  local base=$work/results/update.$files
  root=$(fs_root "$update_fs")/update.$files
  mkdir -p "$root/source" "$root/home" || fail "could not create $root"
  "$bench_bin/install_bench" bundle "$root/source/Zentrivale.app" "$files" nested \
    com.zentrivale.bench new || fail "could not make the $files-file update"
  "$tool_root/usr/bin/codesign" --force --deep --sign - "$root/source/Zentrivale.app" \
    2>/dev/null || fail "could not sign the $files-file update"
  archive=$root/update.zip
  (cd "$root/source" && zip -qry "$archive" Zentrivale.app) || fail "could not zip the update"
  for ((run = 0; run < runs; run++)); do
    for kind in installer floor; do
      rm -rf "$root/Applications"
      mkdir -p "$root/Applications"
      "$bench_bin/install_bench" bundle "$root/Applications/Zentrivale.app" "$files" nested \
        com.zentrivale.bench old &&
        "$bench_bin/install_bench" bundle "$root/Applications/.Zentrivale.backup-1" "$files" \
          nested com.zentrivale.bench older || fail "could not make the installed bundle"
      sync
      if [ "$kind" = installer ]; then
        # An application process that has already gone: one probe, then the
        # fixed pause.
        /bin/true &
        dead=$!
        wait "$dead"
        figures=$(HOME=$root/home "$bench_bin/install_bench" time "$bin/bundle_installer" \
          --archive "$archive" --target-app "$root/Applications/Zentrivale.app" \
          --parent-pid "$dead" --bundle-id com.zentrivale.bench --no-relaunch \
          2>"$root/installer.stderr" | tail -n 1)
        [ -n "$figures" ] || fail "the update failed: $(cat "$root/installer.stderr")"
      else
        figures=$("$bench_bin/install_bench" time /bin/bash "$bench_dir/update_floor.sh" \
          "$tool_root" "$archive" "$root/Applications" | tail -n 1)
        [ -n "$figures" ] || fail "the update floor failed in $root"
      fi
      [ "$(cat "$root/Applications/Zentrivale.app/Contents/Resources/version")" = new ] ||
        fail "the $kind run did not install the new bundle"
      echo "$figures" >>"$base.$kind"
    done
  done
  rm -rf "$root"
}
for files in $update_sizes; do
  note "whole update: $files files, $update_runs runs"
  update_case "$files" "$update_runs"
done

# What each of the installer's opt-in checks adds to a whole update, against
# the same update without it, runs alternating so that drift cancels out.
option_flags=("" "--refuse-downgrade" "--archive-sha256" "--team-id")
options_case() {
  local files=$1 runs=$2 run root archive digest dead figures i flag
  root=$(fs_root "$update_fs")/options.$files
  mkdir -p "$root/source" "$root/home" || fail "could not create $root"
  "$bench_bin/install_bench" bundle "$root/source/Zentrivale.app" "$files" nested \
    com.zentrivale.bench new || fail "could not make the $files-file update"
  "$tool_root/usr/bin/codesign" --force --deep --sign "Developer ID Application: Bench (BENCH12345)" \
    "$root/source/Zentrivale.app" 2>/dev/null || fail "could not sign the $files-file update"
  archive=$root/update.zip
  (cd "$root/source" && zip -qry "$archive" Zentrivale.app) || fail "could not zip the update"
  digest=$(sha256sum "$archive" | cut -d' ' -f1)
  for ((run = 0; run < runs; run++)); do
    for ((i = 0; i < ${#option_flags[@]}; i++)); do
      flag=${option_flags[(i + run) % ${#option_flags[@]}]}
      local extra=()
      case $flag in
        --archive-sha256) extra=(--archive-sha256 "$digest") ;;
        --team-id) extra=(--team-id BENCH12345) ;;
        ?*) extra=("$flag") ;;
      esac
      rm -rf "$root/Applications"
      mkdir -p "$root/Applications"
      "$bench_bin/install_bench" bundle "$root/Applications/Zentrivale.app" "$files" nested \
        com.zentrivale.bench old || fail "could not make the installed bundle"
      sync
      /bin/true &
      dead=$!
      wait "$dead"
      figures=$(HOME=$root/home "$bench_bin/install_bench" time "$bin/bundle_installer" \
        --archive "$archive" --target-app "$root/Applications/Zentrivale.app" \
        --parent-pid "$dead" --bundle-id com.zentrivale.bench --no-relaunch "${extra[@]}" \
        2>"$root/installer.stderr" | tail -n 1)
      [ -n "$figures" ] || fail "the update with ${flag:-no option} failed: $(cat "$root/installer.stderr")"
      echo "$figures" >>"$work/results/options.${flag:-none}"
    done
  done
  rm -rf "$root"
}
options_files=10000
[ -n "$quick" ] && options_files=100
note "opt-in checks: $options_files files, $update_runs runs"
options_case "$options_files" "$update_runs"

# ------------------------------------------------------------ delta update

# Two pairs of releases of a bundle shaped like the application
# (bench/delta_trees.cpp), on the whole update's file system: "rebuild", where
# every executable and library is rebuilt and re-signed and the resources stay
# the same, and "resources", where only a few assets change. Both releases are
# signed with the stand-in codesign before the archives are made.
delta_pairs="rebuild resources"
delta_root=$(fs_root "$update_fs")/delta
delta_prepare() {
  local pair=$1 dir=$delta_root/$1 side
  mkdir -p "$dir/old" "$dir/new" "$dir/home" "$dir/bsdiff" "$work/results" || fail "could not create $dir"
  "$bench_bin/delta_trees" "$dir/old/Zentrivale.app" "$dir/new/Zentrivale.app" "$pair" \
    "$delta_libraries" || fail "could not make the $pair releases"
  for side in old new; do
    "$tool_root/usr/bin/codesign" --force --deep --sign - "$dir/$side/Zentrivale.app" \
      2>/dev/null || fail "could not sign the $pair release ($side)"
  done
  (cd "$dir/new" && zip -qry "$dir/full.zip" Zentrivale.app) || fail "could not zip the $pair release"
}
# The files bundle_delta patched, from its report: one path a line.
delta_patched() {
  sed -n 's/^patched \(.*\): [0-9]* bytes, patch [0-9]* bytes\( from .*\)\{0,1\}$/\1/p' "$1"
}
# delta_tool_run PAIR RUN [given]: with "given", the release's full archive is
# passed with --full-archive rather than counted by the tool.
delta_tool_run() {
  local pair=$1 run=$2 dir=$delta_root/$1 extra=() suffix=
  [ "${3:-}" = given ] && extra=(--full-archive "$dir/full.zip") suffix=.given
  rm -f "$dir/delta.zip"
  sync
  "$bench_bin/install_bench" time "$bin/bundle_delta" --from "$dir/old/Zentrivale.app" \
    --to "$dir/new/Zentrivale.app" --output "$dir/delta.zip" "${extra[@]}" \
    >"$dir/report$suffix.$run" 2>"$dir/report.stderr" ||
    fail "bundle_delta failed on the $pair pair: $(cat "$dir/report.stderr")"
  tail -n 1 "$dir/report$suffix.$run" >>"$work/results/delta.$pair.tool$suffix"
}
# bsdiff on every file bundle_delta patched, one process each: the times
# summed, the peak the largest.
delta_bsdiff_run() {
  local pair=$1 dir=$delta_root/$1 path i=0 figures
  rm -f "$dir/bsdiff"/*
  sync
  while IFS= read -r path; do
    figures=$("$bench_bin/install_bench" time /usr/bin/bsdiff "$dir/old/Zentrivale.app/$path" \
      "$dir/new/Zentrivale.app/$path" "$dir/bsdiff/$i.patch" | tail -n 1)
    [ -n "$figures" ] || fail "bsdiff failed on $path"
    echo "$figures $(stat -c %s "$dir/bsdiff/$i.patch") $path"
    i=$((i + 1))
  done < <(delta_patched "$dir/report.0") >"$dir/bsdiff.last"
  awk '{ w += $1; c += $2; if ($3 > p) p = $3 } END { print w, c, p }' "$dir/bsdiff.last" \
    >>"$work/results/delta.$pair.bsdiff"
}
# The "large" pair: a bundle whose one executable is the first libraries of
# the rebuild pair end to end, at least 16 MiB, old and new; how both tools
# grow with a file's size.
delta_large_prepare() {
  local dir=$delta_root/large side lib
  for side in old new; do
    mkdir -p "$dir/$side/Zentrivale.app/Contents/MacOS" || fail "could not create $dir"
    cp "$delta_root/rebuild/$side/Zentrivale.app/Contents/Info.plist" \
      "$dir/$side/Zentrivale.app/Contents/" || fail "could not make the large pair"
    : >"$dir/$side/Zentrivale.app/Contents/MacOS/Zentrivale"
  done
  for lib in "$delta_root/rebuild/old/Zentrivale.app/Contents/PlugIns/media"/*; do
    [ "$(stat -c %s "$dir/old/Zentrivale.app/Contents/MacOS/Zentrivale")" -ge $((16 << 20)) ] && break
    for side in old new; do
      cat "$delta_root/rebuild/$side/Zentrivale.app/Contents/PlugIns/media/${lib##*/}" \
        >>"$dir/$side/Zentrivale.app/Contents/MacOS/Zentrivale" || fail "could not make the large pair"
    done
  done
  mkdir -p "$dir/bsdiff"
}
delta_large_bsdiff_run() {
  local dir=$delta_root/large figures
  rm -f "$dir/bsdiff"/*
  sync
  figures=$("$bench_bin/install_bench" time /usr/bin/bsdiff "$dir/old/Zentrivale.app/Contents/MacOS/Zentrivale" \
    "$dir/new/Zentrivale.app/Contents/MacOS/Zentrivale" "$dir/bsdiff/large.patch" | tail -n 1)
  [ -n "$figures" ] || fail "bsdiff failed on the large pair"
  echo "$figures" >>"$work/results/delta.large.bsdiff"
}
delta_update_run() {
  local pair=$1 kind=$2 dir=$delta_root/$1 dead figures extra=()
  [ "$kind" = delta ] && extra=(--delta --archive-sha256 "$(sha256sum "$dir/delta.zip" | cut -d ' ' -f 1)")
  rm -rf "$dir/Applications"
  mkdir -p "$dir/Applications"
  cp -a "$dir/old/Zentrivale.app" "$dir/Applications/" || fail "could not install the old $pair release"
  sync
  /bin/true &
  dead=$!
  wait "$dead"
  figures=$(HOME=$dir/home "$bench_bin/install_bench" time "$bin/bundle_installer" "${extra[@]}" \
    --archive "$dir/$kind.zip" --target-app "$dir/Applications/Zentrivale.app" \
    --parent-pid "$dead" --bundle-id com.zentrivale.bench --no-relaunch \
    2>"$dir/installer.stderr" | tail -n 1)
  [ -n "$figures" ] || fail "the $kind update ($pair) failed: $(cat "$dir/installer.stderr")"
  [ "$(cat "$dir/Applications/Zentrivale.app/Contents/Resources/version")" = new ] ||
    fail "the $kind update ($pair) did not install the new release"
  echo "$figures" >>"$work/results/delta.$pair.update.$kind"
}
for pair in $delta_pairs; do
  note "delta update: $pair pair, $delta_libraries libraries, $delta_runs runs"
  delta_prepare "$pair"
  # Alternating which goes first keeps drift out of the ratios.
  for ((run = 0; run < delta_runs; run++)); do
    if ((run % 2)); then
      [ "$pair" = rebuild ] && delta_bsdiff_run "$pair"
      delta_tool_run "$pair" "$run" given
      delta_tool_run "$pair" "$run"
    else
      delta_tool_run "$pair" "$run"
      delta_tool_run "$pair" "$run" given
      [ "$pair" = rebuild ] && delta_bsdiff_run "$pair"
    fi
  done
  for ((run = 0; run < delta_runs; run++)); do
    if ((run % 2)); then
      delta_update_run "$pair" full
      delta_update_run "$pair" delta
    else
      delta_update_run "$pair" delta
      delta_update_run "$pair" full
    fi
  done
done

note "delta update: real releases, $delta_runs runs"
bash "$bench_dir/real_releases.sh" "$build_dir" "$delta_runs" >"$work/real-releases.md" ||
  fail "the real releases could not be measured"

note "delta update: large pair, $delta_runs runs"
delta_large_prepare
for ((run = 0; run < delta_runs; run++)); do
  if ((run % 2)); then
    delta_large_bsdiff_run
    delta_tool_run large "$run"
  else
    delta_tool_run large "$run"
    delta_large_bsdiff_run
  fi
done

# ------------------------------------------------------------ sizes

declare -A stripped_size
for program in "$bin/bundle_starter" "$bin/bundle_installer" "$bench_bin/launch_floor"; do
  copy=$work/$(basename "$program").stripped
  cp "$program" "$copy" && strip "$copy" || fail "could not strip a copy of $program"
  stripped_size[$(basename "$program")]=$(stat -c %s "$copy")
done
runtime_of() {
  if ldd "$1" 2>/dev/null | grep -q 'libstdc++'; then
    echo "libstdc++ shared"
  elif nm -C "$1" 2>/dev/null | grep -q 'std::'; then
    echo "libstdc++ static"
  else
    echo "libc only"
  fi
}

# ------------------------------------------------------------ report

kernel=$(uname -sr)
cpu_model=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
[ -n "$cpu_model" ] || cpu_model=unknown
command_line="make bench"
[ -n "$quick" ] && command_line="bench/run.sh --quick BENCH_BUILD_DIR (smoke run: the figures mean nothing)"
compiler=$(awk -F= '/^CMAKE_CXX_COMPILER:/ { print $2 }' "$build_dir/CMakeCache.txt")
compiler_version=$("$compiler" --version 2>/dev/null | head -n 1)

install_row() {
  # install_row FS SHAPE FILES
  local base=$work/results/install.$1.$2.$3
  local iw fw ic fc
  iw=$(column 1 "$base.install" | median)
  fw=$(column 1 "$base.floor" | median)
  ic=$(column 2 "$base.install" | median)
  fc=$(column 2 "$base.floor" | median)
  local wr cr
  wr=$(ratio "$iw" "$fw")
  cr=$(ratio "$ic" "$fc")
  printf '| %s | %s | %s | %s | %s | **%s** %s | %s | %s | **%s** %s |\n' \
    "$(fs_label "$1")" "$2" "$3" "$(ms "$iw")" "$(ms "$fw")" "$wr" "$(verdict "$wr" 1.2)" \
    "$(ms "$ic")" "$(ms "$fc")" "$cr" "$(verdict "$cr" 1.2)"
}
memory_row() {
  local small large r floor_large
  small=$(column 3 "$work/results/install.$1.$2.$memory_small.install" | median)
  large=$(column 3 "$work/results/install.$1.$2.$memory_large.install" | median)
  floor_large=$(column 3 "$work/results/install.$1.$2.$memory_large.floor" | median)
  r=$(ratio "$large" "$small")
  printf '| %s | %s | %s | %s | **%s** %s | %s |\n' "$(fs_label "$1")" "$2" \
    "$(mib "$small")" "$(mib "$large")" "$r" "$(verdict "$r" 1.1)" "$(mib "$floor_large")"
}
update_row() {
  local base=$work/results/update.$1
  local iw fw ic fc wr
  iw=$(column 1 "$base.installer" | median)
  iw=$(awk -v w="$iw" -v p="$pause_ms" 'BEGIN { print w - p * 1e6 }')
  fw=$(column 1 "$base.floor" | median)
  ic=$(column 2 "$base.installer" | median)
  fc=$(column 2 "$base.floor" | median)
  wr=$(ratio "$iw" "$fw")
  printf '| %s | %s | %s | **%s** | %s | %s | **%s** |\n' "$1" "$(ms "$iw")" "$(ms "$fw")" \
    "$wr" "$(ms "$ic")" "$(ms "$fc")" "$(ratio "$ic" "$fc")"
}

option_row() {
  local none=$work/results/options.none base=$work/results/options.${1:-none}
  local w nw c nc
  w=$(column 1 "$base" | median)
  w=$(awk -v w="$w" -v p="$pause_ms" 'BEGIN { print w - p * 1e6 }')
  nw=$(column 1 "$none" | median)
  nw=$(awk -v w="$nw" -v p="$pause_ms" 'BEGIN { print w - p * 1e6 }')
  c=$(column 2 "$base" | median)
  nc=$(column 2 "$none" | median)
  printf '| %s | %s | **%s** | %s | **%s** |\n' "${1:-(none)}" "$(ms "$w")" "$(ratio "$w" "$nw")" \
    "$(ms "$c")" "$(ratio "$c" "$nc")"
}

s=starter f=floor h=shell
self_vs_floor=$(ratio "${launch_self[$s]}" "${launch_self[$f]}")
self_vs_shell=$(ratio "${launch_self[$s]}" "$shell_total")
ir_vs_floor=$(ratio "${launch_ir[$s]}" "${launch_ir[$f]}")
ir_vs_shell=$(ratio "${launch_ir[$s]}" "${launch_ir[$h]}")
rss_vs_floor=$(ratio "${launch_rss[$s]}" "${launch_rss[$f]}")
floor_vs_shell=$(ratio "${launch_self[$f]}" "$shell_total")
floor_ir_vs_shell=$(ratio "${launch_ir[$f]}" "${launch_ir[$h]}")

# The rebuild pair's patched files: PATH SIZE DELTA_PATCH BSDIFF RATIO.
delta_sizes() {
  local dir=$delta_root/rebuild
  paste <(sed -n 's/^patched \(.*\): \([0-9]*\) bytes, patch \([0-9]*\) bytes\( from .*\)\{0,1\}$/\1\t\2\t\3/p' \
    "$dir/report.0") <(awk '{ print $4 }' "$dir/bsdiff.last") |
    awk -F'\t' '{ printf "%s\t%s\t%s\t%s\t%.2f\n", $1, $2, $3, $4, ($4 > 0 ? $3 / $4 : 0) }'
}
delta_size_row() {
  printf '| %s | %s | %s | %s | **%s** %s |\n' "$1" "$2" "$3" "$4" "$5" "$(verdict "$5" 1.1)"
}
delta_archive_row() {
  local dir=$delta_root/$1 delta full pct limit=$2 judged
  delta=$(stat -c %s "$dir/delta.zip")
  full=$(stat -c %s "$dir/full.zip")
  pct=$(awk -v d="$delta" -v f="$full" 'BEGIN { printf "%.2f", 100 * d / f }')
  judged="for scale"
  [ -n "$limit" ] && judged="$limit % $(verdict "$pct" "$limit")"
  printf '| %s | %s | %s | **%s** | %s | %s |\n' "$1" "$delta" "$full" "$pct" "$judged" \
    "$(sed -n 's/^delta archive: \([0-9]*\) bytes, full archive: \([0-9]*\) bytes (\(.*\) %)$/\1 of \2 (\3 %)/p' \
      "$dir/report.0")"
}
delta_tool_row() {
  # delta_tool_row LABEL COLUMN FORMAT LIMIT
  local t g b r rg
  t=$(column "$2" "$work/results/delta.rebuild.tool" | median)
  g=$(column "$2" "$work/results/delta.rebuild.tool.given" | median)
  b=$(column "$2" "$work/results/delta.rebuild.bsdiff" | median)
  r=$(ratio "$t" "$b")
  rg=$(ratio "$g" "$b")
  printf '| %s | %s | %s | %s | **%s** %s | **%s** %s |\n' "$1" "$($3 "$b")" "$($3 "$t")" "$($3 "$g")" \
    "$r" "$(verdict "$r" "$4")" "$rg" "$(verdict "$rg" "$4")"
}
delta_large_row() {
  # delta_large_row LABEL COLUMN FORMAT
  local t b
  t=$(column "$2" "$work/results/delta.large.tool" | median)
  b=$(column "$2" "$work/results/delta.large.bsdiff" | median)
  printf '| %s | %s | %s | **%s** |\n' "$1" "$($3 "$b")" "$($3 "$t")" "$(ratio "$t" "$b")"
}
delta_update_row() {
  local base=$work/results/delta.$1.update dw fw dp fp wr pr
  dw=$(column 1 "$base.delta" | median)
  fw=$(column 1 "$base.full" | median)
  dw=$(awk -v w="$dw" -v p="$pause_ms" 'BEGIN { print w - p * 1e6 }')
  fw=$(awk -v w="$fw" -v p="$pause_ms" 'BEGIN { print w - p * 1e6 }')
  dp=$(column 3 "$base.delta" | median)
  fp=$(column 3 "$base.full" | median)
  wr=$(ratio "$dw" "$fw")
  pr=$(ratio "$dp" "$fp")
  printf '| %s | %s | %s | **%s** %s | %s | %s | **%s** %s |\n' "$1" "$(ms "$dw")" "$(ms "$fw")" \
    "$wr" "$(verdict "$wr" 1.0)" "$(mib "$dp")" "$(mib "$fp")" "$pr" "$(verdict "$pr" 1.1)"
}
delta_bundle_size=$(du -sb "$delta_root/rebuild/new/Zentrivale.app" | cut -f1)
delta_bundle_files=$(find "$delta_root/rebuild/new/Zentrivale.app" -type f | wc -l)
delta_patched_count=$(delta_sizes | wc -l)
delta_size_met=$(delta_sizes | awk -F'\t' '$5 <= 1.1 { n++ } END { print n + 0 }')
delta_size_worst=$(delta_sizes | awk -F'\t' '$5 > w { w = $5 } END { if (NR) printf "%.2f", w; else print "n/a" }')
delta_size_total=$(delta_sizes | awk -F'\t' '{ d += $3; b += $4 } END { if (b > 0) printf "%.2f", d / b; else print "n/a" }')
delta_shown=15

tmp_output=$output.tmp.$$
{
  cat <<EOF
# Benchmarks

Generated by \`$command_line\` (bench/run.sh) on $(date -u '+%Y-%m-%d %H:%M UTC').
Do not edit by hand: run it again.

Machine: $(nproc) CPUs, $cpu_model, $kernel. Compiler: $compiler_version,
Release build of the bench project (bench/CMakeLists.txt, which builds the
programs exactly as the main project does). Every figure is the median of N
runs, N given with each table; every ratio is taken between medians measured
in this one run. Goals are met when the ratio is at or below the limit.

## Launcher: one full launch

A backend that listens on 127.0.0.1:3000 at once and a frontend that exits at
once (bench/bench_backend.c, bench/bench_frontend.c; both check that they got
their environment), in a private network namespace. Three launchers do the
same steps: \`bundle_starter\`; the floor, a minimal C program doing the same
spawns, probes and waits (bench/launch_floor.c); and the shell script a
packager would otherwise write (bench/launcher.sh: bash, because its
/dev/tcp redirections probe the port without a helper process, where
\`nc -z\` would cost a process per probe; \`mkdir -p\` and \`sleep\` are the
system's).

N = $launch_runs launches of each (interleaved) for CPU time and memory,
N = $callgrind_runs for instructions.

| | $(launcher_label starter) | $(launcher_label floor) | $(launcher_label shell) |
|---|---|---|---|
| CPU time (user + system) of the launch, ms | $(ms "${launch_self[$s]}") | $(ms "${launch_self[$f]}") | $(ms "$shell_total") |
| of which the launcher process itself, ms | $(ms "${launch_self[$s]}") | $(ms "${launch_self[$f]}") | $(ms "${launch_self[$h]}") (bash) |
| of which helper processes, ms | none | none | $(ms "$shell_helpers") (mkdir, sleep) |
| instructions (callgrind, user space), thousands | $(thousands "${launch_ir[$s]}") | $(thousands "${launch_ir[$f]}") | $(thousands "${launch_ir[$h]}") |
| idle resident memory (VmRSS while the frontend runs), MiB | $(mib "${launch_rss[$s]}") | $(mib "${launch_rss[$f]}") | $(mib "${launch_rss[$h]}") |
| wall time of the launch, ms | $(ms "${launch_wall[$s]}") | $(ms "${launch_wall[$f]}") | $(ms "${launch_wall[$h]}") |
| launches that needed a second probe (200 ms pause) | ${launch_paused[$s]} of $launch_runs | ${launch_paused[$f]} of $launch_runs | ${launch_paused[$h]} of $launch_runs |
| stripped size, bytes | ${stripped_size[bundle_starter]} | ${stripped_size[launch_floor]} | $(stat -c %s "$bench_dir/launcher.sh") (script) |

| goal | ratio | limit | |
|---|---|---|---|
| CPU time, bundle_starter / C floor | **$self_vs_floor** | 1.5 | $(verdict "$self_vs_floor" 1.5) |
| instructions, bundle_starter / C floor | **$ir_vs_floor** | 1.5 | $(verdict "$ir_vs_floor" 1.5) |
| CPU time, bundle_starter / shell launcher | **$self_vs_shell** | 0.3 | $(verdict "$self_vs_shell" 0.3) |
| instructions, bundle_starter / shell launcher | **$ir_vs_shell** | 0.3 | $(verdict "$ir_vs_shell" 0.3) |
| idle resident memory, bundle_starter / C floor | **$rss_vs_floor** | 1.3 | $(verdict "$rss_vs_floor" 1.3) |

For scale, the C floor against the shell launcher: **$floor_vs_shell** of its
CPU time and **$floor_ir_vs_shell** of its instructions.

How it is measured (bench/launch_probe.c starts each launch):
- *CPU time*: the launcher's own user + system time, read from
  /proc/<pid>/schedstat after it has exited and before it is reaped, so no
  child's time is in it; it includes the exec of the launcher and its exit.
  The shell launcher's helper processes are part of its cost: wait4 reports
  the time of the launcher and of every child it reaped; less bash's own
  time, less what the two doubles report for themselves just before they
  exit, less the doubles' exit after that report ($(ms "$exit_tail") ms, the same
  doubles, measured in this run as the whole remainder for the two compiled
  launchers, which start nothing else), the rest is the helpers'.
- *instructions*: valgrind --tool=callgrind over the launcher and every
  process it starts except backend and frontend (--trace-children-skip),
  summed. User-space instructions only; the dynamic loader is included.
  No hardware counters here (\`perf stat -e instructions\` says
  "not supported"), so callgrind stands in. Under valgrind the backend is
  always listening by the first probe.
- *idle resident memory*: the frontend double reads its parent's VmRSS from
  /proc while the launcher waits for it.
- *second probe*: the backend double listens at once, but the first probe
  can still come before it does; the launch then pauses 200 ms and probes
  again, which costs the shell launcher a sleep process. Medians are over
  all launches.

## Installer: the installation step

\`installer::install_bundle\` on prepared trees (bench/install_bench.cpp, linked
with the installer's own code): the exchange of the new bundle with the
installed one, the move of the previous version to the rollback backup, the
staging clean-up and the removal of an older rollback backup of the same
size. The floor: \`/bin/rm -rf\` of an equal tree plus one \`/bin/mv\`, as two
processes. Each bundle holds the given number of regular files (small files
of one line each), laid out *nested* (100 files a directory, 100 directories
a group) or *flat* (all in one directory). Trees are made and synced before
each run, in another process. N = $install_runs runs each; the step and the
floor alternate which runs first.

| file system | shape | files | step wall, ms | floor wall, ms | wall ratio (limit 1.2) | step CPU, ms | floor CPU, ms | CPU ratio (limit 1.2) |
|---|---|---|---|---|---|---|---|---|
EOF
  for fs in $filesystems; do
    for shape in nested flat; do
      for files in $install_sizes; do install_row "$fs" "$shape" "$files"; done
    done
  done
  cat <<EOF

Peak resident memory (VmHWM) of the process that runs the installation step,
$memory_small files against $memory_large files; the last column is rm -rf's
own peak (ru_maxrss) for $memory_large files, for comparison.

| file system | shape | peak at $memory_small files, MiB | peak at $memory_large files, MiB | ratio (limit 1.1) | rm -rf at $memory_large files, MiB |
|---|---|---|---|---|---|
EOF
  for fs in $filesystems; do
    for shape in nested flat; do memory_row "$fs" "$shape"; done
  done
  cat <<EOF

## Installer: a whole update

The built \`bundle_installer\` end to end with the stand-in tools
(--no-relaunch), on $(fs_label "$update_fs"): an installed bundle
and an older backup of the given number of files (nested), a signed ZIP of a
new bundle of the same size, and an application process that has already
exited. The installer's wall time is shown less its fixed pause of
$pause_ms ms after the application has gone. The floor (bench/update_floor.sh)
runs the same tools with the same arguments straight from a script, then
mv, rm -rf and rmdir: what remains is the installer's own work. CPU time
includes every tool. N = $update_runs runs each.

| files | installer wall less the pause, ms | floor wall, ms | ratio | installer CPU, ms | floor CPU, ms | ratio |
|---|---|---|---|---|---|---|
EOF
  for files in $update_sizes; do update_row "$files"; done
  cat <<EOF

## Installer: what each opt-in check costs

The same whole update of $options_files files, signed for team BENCH12345,
with one option at a time against the same update without any (the
installed and the new bundle carry the same CFBundleVersion, so
--refuse-downgrade reads both and installs). Wall time less the pause, as
above; CPU time includes every tool. N = $update_runs runs each, the options
taking turns.

| option | wall less the pause, ms | ratio to none | CPU, ms | ratio to none |
|---|---|---|---|---|
EOF
  for flag in "${option_flags[@]}"; do option_row "$flag"; done
  cat <<EOF

## Delta update: release tool and installer

Two pairs of releases of a bundle shaped like the application
(bench/delta_trees.cpp, fixed seeds), on $(fs_label "$update_fs"): three
executables in Contents/MacOS (copies of programs of /usr/bin), $delta_libraries media
plug-in libraries (the first shared libraries of /usr/lib/x86_64-linux-gnu
between 20 KB and 2 MB), fonts (/usr/share/fonts) and 200 generated assets;
$delta_bundle_files files, $(mib "$((delta_bundle_size / 1024))") MiB. In the *rebuild* pair every executable and
library of the new release is changed the way a rebuild and a new signature
change it (5 to 10 short byte edits at random offsets, a few bytes inserted in
the middle, the last 8 KiB new); the resources stay the same. In the
*resources* pair the binaries stay the same and 5 assets are rewritten and one
added. Both releases are signed with the stand-in codesign; the full archive is
\`zip -qry\` of the new release. N = $delta_runs runs each.

Patch size of each file \`bundle_delta\` patched in the rebuild pair, as stored
(compressed with LZMA) in the delta archive, against Debian's \`bsdiff\` (its patch is
compressed with bzip2) on the same pair of files. Limit 1.1 for each file:
$delta_size_met of $delta_patched_count files at or below it, the largest ratio **$delta_size_worst**,
$(verdict "$delta_size_worst" 1.1). All files together: **$delta_size_total** times bsdiff's bytes.
Files \`bundle_delta\` adds whole have no bsdiff counterpart and are left out.
The $delta_shown largest ratios:

| file | new size, bytes | bundle_delta, bytes | bsdiff, bytes | ratio (limit 1.1) |
|---|---|---|---|---|
EOF
  delta_sizes | sort -t"$(printf '\t')" -k5,5gr -k1,1 | head -n "$delta_shown" |
    while IFS="$(printf '\t')" read -r path size ours theirs r; do
      delta_size_row "$path" "$size" "$ours" "$theirs" "$r"
    done
  cat <<EOF

The whole delta archive against the full archive of the same new release
(file sizes; the last column is what bundle_delta itself reports).

| pair | delta archive, bytes | full archive, bytes | delta / full, % | limit | bundle_delta's report |
|---|---|---|---|---|---|
$(delta_archive_row rebuild "")
$(delta_archive_row resources 2)

\`bundle_delta\` on the rebuild pair (the whole tool: reading and hashing
both trees, patching, writing the delta archive, extracting and rebuilding
it for its self-check) against \`bsdiff\` run on every file it patched, one
process each: wall and CPU time summed over the bsdiff processes, peak
resident memory (ru_maxrss) the largest of them. \`bundle_delta\` runs as
the usage line gives it, where it counts what a full archive of the new
release would take on a second thread, and with \`--full-archive\`, as a
release that has made its full archive runs it. Runs alternate which goes
first. Limit 0.5 for each ratio.

| | bsdiff | bundle_delta | bundle_delta --full-archive | ratio | ratio with --full-archive |
|---|---|---|---|---|---|
$(delta_tool_row "wall time, s" 1 seconds 0.5)
$(delta_tool_row "CPU time, s" 2 seconds 0.5)
$(delta_tool_row "peak resident memory, MiB" 3 mib 0.5)

The peak memory of either tool is its libraries' and runtime's pages and
what it holds for the largest file. \`bsdiff\` holds about nine bytes per
byte of the old file; \`bundle_delta\` the old file and the new one whole
and a quarter byte per byte for its index, but its libraries (libzip,
libcrypto, libplist, Nettle) take some 3 MiB of pages more than bsdiff's. With
the largest file here 2 MiB, those pages weigh the most. The large pair
(one file of $(mib "$(($(stat -c %s "$delta_root/large/new/Zentrivale.app/Contents/MacOS/Zentrivale") / 1024))") MiB,
the first libraries end to end, each changed as above) shows how the two
grow with a file's size:

| large pair | bsdiff | bundle_delta | ratio |
|---|---|---|---|
$(delta_large_row "wall time, s" 1 seconds)
$(delta_large_row "CPU time, s" 2 seconds)
$(delta_large_row "peak resident memory, MiB" 3 mib)

For scale, \`bundle_delta\` on the resources pair, where it patches no
binary: $(seconds "$(column 1 "$work/results/delta.resources.tool" | median)") s wall, $(mib "$(column 3 "$work/results/delta.resources.tool" | median)") MiB peak.

An update of the installed old release with \`bundle_installer --delta\` and
the delta archive against \`bundle_installer\` and the full archive, the
stand-in tools and --no-relaunch as in the whole update above; wall time less
the fixed pause; peak resident memory of the installer and the tools it ran
(ru_maxrss, the largest). Runs alternate which goes first.

| pair | delta update wall, ms | full update wall, ms | ratio (limit 1.0) | delta update peak, MiB | full update peak, MiB | ratio (limit 1.1) |
|---|---|---|---|---|---|---|
$(delta_update_row rebuild)
$(delta_update_row resources)
EOF
  echo
  cat "$work/real-releases.md"
  cat <<EOF

## Binary sizes (stripped copies)

| program | bytes | C++ runtime |
|---|---|---|
| bundle_starter | ${stripped_size[bundle_starter]} | $(runtime_of "$bin/bundle_starter") |
| bundle_installer | ${stripped_size[bundle_installer]} | $(runtime_of "$bin/bundle_installer") |
| launch_floor (C floor) | ${stripped_size[launch_floor]} | $(runtime_of "$bench_bin/launch_floor") |

## What these benchmarks changed

Measured with this suite on 2026-12-08, before and after each change:
- Both programs link libstdc++ and libgcc statically on Linux. With the
  shared libstdc++, loading and relocating it took most of a launch:
  1,909 thousand instructions against the C floor's 231 thousand (8.26
  times), 2.84 MiB idle against 1.59 MiB (1.79 times), and 0.55 times the
  shell launcher's instructions. The stripped launcher grows from 63 to
  215 KiB, the installer from 147 to 303 KiB.
- Tree removal holds at most 1,024 entries of a directory at a time. Reading
  each listing whole made the installation step peak at 9.86 MiB with
  100,000 files in one directory against 3.04 MiB with 10 (3.25 times).
- On 2026-12-09, the children's environments keep the inherited entries as
  the program's own pointers and compare names in place, and a path join
  allocates once. Copying every inherited entry and its name into strings
  had cost a launch 300 thousand instructions against the C floor's 226
  thousand (1.32 times); after, 214 thousand (0.95 times). CPU time of the
  launcher, old and new interleaved, 151 launches each: 1.47 ms before,
  1.41 ms after, the floor 1.33 ms; idle memory 1.51 MiB both. (Measured
  from a shell: make passes on more variables, which every launcher copies.)
- \`bundle_delta\` (2026-12-09), on the rebuild pair against bsdiff in the
  same run: 2.22 times bsdiff's wall time, 2.23 times its CPU time and 2.30
  times its peak memory before; 0.35, 0.65 and 0.54 after (0.30, 0.30 and
  0.51 with \`--full-archive\`). Deflating every changed file whole at the
  best level to judge it against its patch, and writing a full archive only
  to report its size, were most of the time: the file is now deflated at the
  default level only until it loses to its patch, and the full archive is
  counted on a second thread, or not at all when the release names its own.
  Each patch had kept a buffer the size of its new file; patches now go to
  scratch files, the old file is indexed before the new one is read, and
  file bytes live in pages of their own. SHA-256 on Linux moved from
  libcrypto to Nettle: libcrypto's initialisation alone took some 2 MiB of
  pages.

## Limits of these figures

- Linux figures for programs that ship for macOS. On macOS libc++ lives in
  the dyld shared cache, so the dynamic-linking share of a launch differs;
  the floors stand in the same place as the programs on each system.
- Wall times on a disk file system follow the disk and its journal more than
  the programs; tmpfs shows the programs' own work. On this machine's disk
  the same run varies by 20 % and more from one repetition to the next.
- Most of a launch's CPU time is the kernel's work for exec, spawn and exit,
  which every launcher pays alike: the goal of 0.3 times the shell launcher
  leaves little room, since the C floor itself comes to about as much.
- The launcher's figures include the exec of the launcher and its own exit;
  a few tenths of a millisecond of the machine's scheduling noise remain in
  each run, which the medians damp but do not remove.
EOF
} >"$tmp_output" || fail "could not write $tmp_output"
mv "$tmp_output" "$output" || fail "could not write $output"
note "wrote $output"
