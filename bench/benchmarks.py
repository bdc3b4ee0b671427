"""The benchmarks, one function each. Each takes the run's Context and its
settings and returns its entry of the samples file: raw samples and the
facts the renderer needs, no medians."""
import glob
import os
import re
import shutil
import stat
import subprocess
import sys

import bsdiff_blocks
from runner import (APP, PAUSE_MS, BenchError, installed_version, patched_files, remove_tree,
                    sha256_of, sync)
from stats import alternating

# By name, in the page's order: what it measures, its function, its settings
# (full and quick) and the programs of the bench build and commands it needs.
BENCHMARKS = {}


def benchmark(name, summary, full, quick, programs=(), commands=()):
    def register(function):
        BENCHMARKS[name] = {"summary": summary, "run": function, "full": full, "quick": quick,
                            "programs": programs, "commands": commands}
        return function
    return register


def note(message):
    print(f"bench: {message}", flush=True, file=sys.stderr)


def stripped_size(ctx, program):
    copy = os.path.join(ctx.work, os.path.basename(program) + ".stripped")
    shutil.copy(program, copy)
    ctx.output(["strip", copy], what=f"strip of a copy of {program}")
    return os.path.getsize(copy)


# ------------------------------------------------------------ launcher

def instructions(callgrind_dir):
    """The instructions of every process callgrind followed, summed."""
    total = 0
    for path in glob.glob(os.path.join(callgrind_dir, "callgrind.*")):
        with open(path) as report:
            total += sum(int(line.split()[1]) for line in report if line.startswith("totals:"))
    return total


LAUNCHER_PROGRAMS = ("bin/bundle_starter", "bench-bin/launch_floor", "bench-bin/bench_backend",
                     "bench-bin/bench_frontend", "bench-bin/launch_probe")


@benchmark("launcher", "one full launch of bundle_starter, the C floor and the shell launcher",
           full={"launch_runs": 21, "callgrind_runs": 3},
           quick={"launch_runs": 2, "callgrind_runs": 1},
           programs=LAUNCHER_PROGRAMS, commands=("valgrind", "strip"))
def launcher(ctx, settings):
    variants = {"starter": ctx.program("bundle_starter"),
                "floor": ctx.bench_program("launch_floor"),
                "shell": os.path.join(ctx.bench_dir, "launcher.sh")}
    root = os.path.join(ctx.work, "launch")
    executables = {}
    # A bundle per launcher: Contents/MacOS with the launcher, backend, frontend.
    for variant, program in variants.items():
        macos = os.path.join(root, variant, APP, "Contents", "MacOS")
        os.makedirs(macos)
        shutil.copy(program, os.path.join(macos, "Zentrivale"))
        shutil.copy(ctx.bench_program("bench_backend"), os.path.join(macos, "backend"))
        shutil.copy(ctx.bench_program("bench_frontend"), os.path.join(macos, "frontend"))
        executables[variant] = os.path.join(macos, "Zentrivale")
    home, reports = os.path.join(root, "home"), os.path.join(root, "reports")
    os.makedirs(home)
    os.makedirs(reports)
    env = dict(os.environ, HOME=home)

    def launch(variant):
        out = ctx.output([ctx.bench_program("launch_probe"), 1, executables[variant], reports],
                         env, what=f"the {variant} launcher")
        return [int(figure) for figure in out.split()]

    samples = {variant: {"launches": [], "instructions": []} for variant in variants}
    runs = settings["launch_runs"]
    note(f"launcher: {runs} runs of each launcher, interleaved")
    for variant in variants:
        launch(variant)  # the first launch creates the per-user directories
    for _ in range(runs):
        for variant in variants:
            samples[variant]["launches"].append(launch(variant))

    runs = settings["callgrind_runs"]
    note(f"launcher: {runs} callgrind runs of each launcher")
    for run in range(runs):
        for variant in variants:
            out = os.path.join(root, "callgrind", f"{variant}.{run}")
            os.makedirs(out)
            # Every process of the launch except the backend and the frontend:
            # for the shell launcher that takes in mkdir and sleep.
            with open(os.path.join(out, "log"), "w") as log:
                done = subprocess.run(
                    ["valgrind", "--tool=callgrind", "--trace-children=yes",
                     "--trace-children-skip=*/backend,*/frontend",
                     f"--callgrind-out-file={out}/callgrind.%p", executables[variant]],
                    env=dict(env, BENCH_REPORT_DIR=reports), stdout=log, stderr=log)
            if done.returncode != 0:
                raise BenchError(f"the {variant} launcher failed under callgrind (see {out}/log)")
            for report in glob.glob(os.path.join(reports, "*")):
                os.remove(report)
            samples[variant]["instructions"].append(instructions(out))
    return {"samples": samples,
            "sizes": {"bundle_starter": stripped_size(ctx, variants["starter"]),
                      "launch_floor": stripped_size(ctx, variants["floor"]),
                      "launcher.sh": os.path.getsize(variants["shell"])}}


# ------------------------------------------------------------ installer

INSTALL_PROGRAMS = ("bin/bundle_installer", "bench-bin/install_bench", "tool-root/usr/bin/ditto",
                    "tool-root/usr/bin/codesign", "tool-root/usr/libexec/PlistBuddy",
                    "tool-root/usr/sbin/spctl")


@benchmark("install", "the installation step (bundle exchange, backup, clean-up) against rm -rf and mv",
           full={"runs": 5, "sizes": [1000, 10000, 100000], "memory_small": 10,
                 "memory_large": 100000},
           quick={"runs": 1, "sizes": [100, 1000], "memory_small": 10, "memory_large": 1000},
           programs=("bench-bin/install_bench",))
def install(ctx, settings):
    shapes = ["nested", "flat"]
    samples = {}
    for fs in ctx.filesystems():
        for shape in shapes:
            # The peak memory with a tiny bundle, against the largest one.
            for files in settings["sizes"] + [settings["memory_small"]]:
                note(f"installation step: {files} files, {shape}, on {fs}, {settings['runs']} runs")
                case = samples[f"{fs}/{shape}/{files}"] = {"install": [], "floor": []}
                for run in range(settings["runs"]):
                    root = os.path.join(ctx.fs_root(fs), f"{shape}.{files}.{run}")
                    os.makedirs(root)
                    ctx.output([ctx.bench_program("install_bench"), "prepare", root, files, shape],
                               what=f"preparing {files} files ({shape}) in {root}")
                    for mode in alternating(run, ["install", "floor"]):
                        case[mode].append(ctx.install_figures(mode, root))
                    remove_tree(root)
    return {"settings": {"shapes": shapes},
            "filesystems": {fs: ctx.fs_label(fs) for fs in ctx.filesystems()},
            "samples": samples}


def signed_update(ctx, root, files, identity="-"):
    """ROOT/update.zip: a signed new bundle of FILES files, zipped."""
    source = os.path.join(root, "source")
    os.makedirs(source)
    os.makedirs(os.path.join(root, "home"))
    ctx.make_bundle(os.path.join(source, APP), files, "new")
    ctx.sign(os.path.join(source, APP), identity)
    archive = os.path.join(root, "update.zip")
    ctx.zip_app(source, archive)
    return archive


@benchmark("update", "a whole update by bundle_installer against its tools run from a script",
           full={"runs": 5, "sizes": [1000, 10000]}, quick={"runs": 1, "sizes": [100]},
           programs=INSTALL_PROGRAMS, commands=("zip",))
def update(ctx, settings):
    fs = ctx.fast_filesystem()
    samples = {}
    for files in settings["sizes"]:
        note(f"whole update: {files} files, {settings['runs']} runs")
        root = os.path.join(ctx.fs_root(fs), f"update.{files}")
        archive = signed_update(ctx, root, files)
        applications = os.path.join(root, "Applications")

        def installed_and_older(applications):
            ctx.make_bundle(os.path.join(applications, APP), files, "old")
            ctx.make_bundle(os.path.join(applications, ".Zentrivale.backup-1"), files, "older")

        def floor():
            remove_tree(applications)
            os.makedirs(applications)
            installed_and_older(applications)
            sync()
            figures, _ = ctx.timed(["/bin/bash", os.path.join(ctx.bench_dir, "update_floor.sh"),
                                    ctx.tool_root, archive, applications], what="the update floor")
            if installed_version(applications) != "new":
                raise BenchError("the update floor did not install the new bundle")
            return figures

        case = samples[str(files)] = {"installer": [], "floor": []}
        for _ in range(settings["runs"]):
            for kind in ("installer", "floor"):
                if kind == "installer":
                    figures = ctx.update(applications, installed_and_older, archive,
                                         os.path.join(root, "home"))
                else:
                    figures = floor()
                case[kind].append(figures)
        remove_tree(root)
    return {"settings": {"pause_ms": PAUSE_MS}, "filesystem": ctx.fs_label(fs),
            "samples": samples}


OPTIONS = ["none", "--refuse-downgrade", "--archive-sha256", "--team-id"]


@benchmark("options", "what each opt-in check of bundle_installer adds to a whole update",
           full={"runs": 5, "files": 10000}, quick={"runs": 1, "files": 100},
           programs=INSTALL_PROGRAMS, commands=("zip",))
def options(ctx, settings):
    files = settings["files"]
    note(f"opt-in checks: {files} files, {settings['runs']} runs")
    root = os.path.join(ctx.fs_root(ctx.fast_filesystem()), f"options.{files}")
    archive = signed_update(ctx, root, files, "Developer ID Application: Bench (BENCH12345)")
    digest = sha256_of(archive)
    arguments = {"none": [], "--refuse-downgrade": ["--refuse-downgrade"],
                 "--archive-sha256": ["--archive-sha256", digest],
                 "--team-id": ["--team-id", "BENCH12345"]}
    samples = {option: [] for option in OPTIONS}
    for run in range(settings["runs"]):
        for option in alternating(run, OPTIONS):
            samples[option].append(ctx.update(
                os.path.join(root, "Applications"),
                lambda applications: ctx.make_bundle(os.path.join(applications, APP), files, "old"),
                archive, os.path.join(root, "home"), arguments[option]))
    remove_tree(root)
    return {"settings": {"pause_ms": PAUSE_MS, "options": OPTIONS}, "samples": samples}


# ------------------------------------------------------------ delta update

DELTA_PROGRAMS = INSTALL_PROGRAMS + ("bin/bundle_delta", "bench-bin/delta_trees")
LARGE_BYTES = 16 << 20  # the large pair's one file, at least


def install_copy(ctx, old_app):
    def install_old(applications):
        ctx.output(["cp", "-a", old_app, applications + "/"], what=f"installing {old_app}")
    return install_old


def delta_pair(ctx, root, pair, settings):
    """A pair of signed releases, the full archive of the new one, and its
    runs: bundle_delta with and without --full-archive and, on the rebuild
    pair, bsdiff on every file bundle_delta patched; then the delta update
    against the full one."""
    directory = os.path.join(root, pair)
    old, new = os.path.join(directory, "old", APP), os.path.join(directory, "new", APP)
    os.makedirs(os.path.join(directory, "home"))
    ctx.output([ctx.bench_program("delta_trees"), old, new, pair, settings["libraries"]],
               what=f"making the {pair} releases")
    for app in (old, new):
        ctx.sign(app)
    full = os.path.join(directory, "full.zip")
    delta = os.path.join(directory, "delta.zip")
    ctx.zip_app(os.path.dirname(new), full)
    samples = {"tool": [], "tool_given": [], "bsdiff": [], "update_delta": [], "update_full": []}
    first_report = None
    bsdiff_sizes = []
    steps = ["tool", "tool_given"] + (["bsdiff"] if pair == "rebuild" else [])
    for run in range(settings["runs"]):
        for step in alternating(run, steps):
            if step == "bsdiff":
                paths = [path for path, _, _ in patched_files(first_report)]
                figures, bsdiff_sizes = ctx.bsdiff_each(old, new, paths,
                                                        os.path.join(directory, "bsdiff"))
            else:
                extra = ["--full-archive", full] if step == "tool_given" else []
                figures, report = ctx.bundle_delta(old, new, delta, extra)
                first_report = first_report or report
            samples[step].append(figures)
    for run in range(settings["runs"]):
        for kind in alternating(run, ["delta", "full"]):
            extra = (["--delta", "--archive-sha256", sha256_of(delta)]
                     if kind == "delta" else [])
            samples[f"update_{kind}"].append(ctx.update(
                os.path.join(directory, "Applications"), install_copy(ctx, old),
                delta if kind == "delta" else full, os.path.join(directory, "home"), extra))
    patched = [{"path": path, "size": size, "patch": patch, "bsdiff": theirs}
               for (path, size, patch), theirs in zip(patched_files(first_report), bsdiff_sizes)]
    return {"samples": samples, "patched": patched,
            "delta_archive": os.path.getsize(delta), "full_archive": os.path.getsize(full),
            "reported": reported_sizes(first_report)}


REPORTED = re.compile(r"^delta archive: ([0-9]*) bytes, full archive: ([0-9]*) bytes \((.*) %\)$")


def reported_sizes(report):
    """What bundle_delta's report says of the two archives: "D of F (P %)"."""
    for line in report.splitlines():
        match = REPORTED.match(line)
        if match:
            return f"{match.group(1)} of {match.group(2)} ({match.group(3)} %)"
    return ""


def large_pair(ctx, root, runs):
    """One executable made of the rebuild pair's first libraries end to end,
    old and new, at least LARGE_BYTES: how both tools grow with a file."""
    directory = os.path.join(root, "large")
    media = os.path.join(root, "rebuild", "old", APP, "Contents", "PlugIns", "media")
    files = {}
    for side in ("old", "new"):
        contents = os.path.join(directory, side, APP, "Contents")
        os.makedirs(os.path.join(contents, "MacOS"))
        shutil.copy(os.path.join(root, "rebuild", side, APP, "Contents", "Info.plist"), contents)
        files[side] = os.path.join(contents, "MacOS", "Zentrivale")
        open(files[side], "wb").close()
    for library in sorted(os.listdir(media)):
        if os.path.getsize(files["old"]) >= LARGE_BYTES:
            break
        for side in ("old", "new"):
            with open(files[side], "ab") as out, open(os.path.join(
                    root, "rebuild", side, APP, "Contents", "PlugIns", "media", library), "rb") as part:
                shutil.copyfileobj(part, out)
    samples = {"tool": [], "bsdiff": []}
    old, new = os.path.join(directory, "old", APP), os.path.join(directory, "new", APP)
    for run in range(runs):
        for step in alternating(run, ["tool", "bsdiff"]):
            if step == "tool":
                figures, _ = ctx.bundle_delta(old, new, os.path.join(directory, "delta.zip"))
            else:
                figures, _ = ctx.bsdiff_each(old, new, ["Contents/MacOS/Zentrivale"],
                                             os.path.join(directory, "bsdiff"))
            samples[step].append(figures)
    return {"samples": samples, "file_bytes": os.path.getsize(files["new"])}


def tree_size(path):
    """(files, bytes) of a tree, as find -type f and du -sb count them."""
    count, total = 0, os.lstat(path).st_size
    for directory, dirs, files in os.walk(path):
        for name in dirs + files:
            status = os.lstat(os.path.join(directory, name))
            total += status.st_size
            count += stat.S_ISREG(status.st_mode)
    return count, total


@benchmark("delta", "bundle_delta against bsdiff, and the delta update against the full one",
           full={"runs": 3, "libraries": 150}, quick={"runs": 1, "libraries": 5},
           programs=DELTA_PROGRAMS, commands=("zip", "bsdiff"))
def delta(ctx, settings):
    fs = ctx.fast_filesystem()
    root = os.path.join(ctx.fs_root(fs), "delta")
    pairs = {}
    for pair in ("rebuild", "resources"):
        note(f"delta update: {pair} pair, {settings['libraries']} libraries, {settings['runs']} runs")
        pairs[pair] = delta_pair(ctx, root, pair, settings)
    note(f"delta update: large pair, {settings['runs']} runs")
    large = large_pair(ctx, root, settings["runs"])
    files, size = tree_size(os.path.join(root, "rebuild", "new", APP))
    remove_tree(root)
    return {"settings": {"pause_ms": PAUSE_MS}, "filesystem": ctx.fs_label(fs),
            "bundle_files": files, "bundle_bytes": size, "pairs": pairs, "large": large}


# ------------------------------------------------------------ real releases

# Each file of the bundle: its path in the bundle, the npm package, the old
# and the new version (consecutive releases), the file inside the package.
# Not esbuild, lightningcss, biome, rollup or oxlint: those are kept for an
# independent check.
RELEASE_FILES = [
    ("Contents/MacOS/Zentrivale", "@tailwindcss/oxide-darwin-arm64", "4.1.17", "4.1.18",
     "package/tailwindcss-oxide.darwin-arm64.node"),
    ("Contents/Frameworks/oxide.darwin-x64.node", "@tailwindcss/oxide-darwin-x64", "4.1.17",
     "4.1.18", "package/tailwindcss-oxide.darwin-x64.node"),
    ("Contents/PlugIns/watcher.darwin-arm64.node", "@parcel/watcher-darwin-arm64", "2.5.0",
     "2.5.1", "package/watcher.node"),
    ("Contents/PlugIns/watcher.darwin-x64.node", "@parcel/watcher-darwin-x64", "2.5.0", "2.5.1",
     "package/watcher.node"),
    ("Contents/Resources/dart-sass/dart", "sass-embedded-darwin-arm64", "1.97.2", "1.97.3",
     "package/dart-sass/src/dart"),
    ("Contents/Resources/dart-sass/sass.snapshot", "sass-embedded-darwin-arm64", "1.97.2",
     "1.97.3", "package/dart-sass/src/sass.snapshot"),
]

INFO_PLIST = """<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleExecutable</key><string>Zentrivale</string>
  <key>CFBundleIdentifier</key><string>com.zentrivale.bench</string>
  <key>CFBundlePackageType</key><string>APPL</string>
  <key>CFBundleVersion</key><string>{version}</string>
</dict>
</plist>
"""


def fetched(build_dir, package, version):
    """The package's directory in the bench build's cache, fetched with
    `npm pack` and unpacked once."""
    cache = os.path.join(build_dir, "real-releases")
    name = f"{package.lstrip('@').replace('/', '-')}-{version}"
    directory = os.path.join(cache, name)
    if not os.path.isdir(directory):
        os.makedirs(cache, exist_ok=True)
        npm = shutil.which("npm")
        if not npm or subprocess.run([npm, "pack", "--silent", f"{package}@{version}"], cwd=cache,
                                     stdout=subprocess.DEVNULL).returncode != 0:
            raise BenchError(f"npm pack {package}@{version} failed")
        remove_tree(directory + ".tmp")
        os.makedirs(directory + ".tmp")
        if subprocess.run(["tar", "-xzf", os.path.join(cache, name + ".tgz"), "-C",
                           directory + ".tmp"]).returncode != 0:
            raise BenchError(f"could not unpack {name}.tgz")
        os.rename(directory + ".tmp", directory)
    return directory


def fetch_releases(build_dir):
    """Fetches the real releases; before the private network namespace,
    which has no route out."""
    for _, package, old, new, _ in RELEASE_FILES:
        fetched(build_dir, package, old)
        fetched(build_dir, package, new)


@benchmark("real-releases", "delta updates made of consecutive real releases from the npm registry",
           full={"runs": 3}, quick={"runs": 1},
           programs=("bin/bundle_delta", "bin/bundle_installer", "tool-root/usr/bin/codesign"),
           commands=("npm", "bsdiff", "zip", "/usr/bin/time"))
def real_releases(ctx, settings):
    work = os.path.join(ctx.work, "real-releases")
    for side, version in (("old", "1.0"), ("new", "1.1")):
        app = os.path.join(work, side, APP)
        os.makedirs(os.path.join(app, "Contents"))
        with open(os.path.join(app, "Contents", "Info.plist"), "w") as plist:
            plist.write(INFO_PLIST.format(version=version))
        for path, package, old_version, new_version, inside in RELEASE_FILES:
            source = os.path.join(fetched(ctx.build_dir, package,
                                          old_version if side == "old" else new_version), inside)
            if not os.path.isfile(source):
                raise BenchError(f"{package} has no {inside}")
            os.makedirs(os.path.dirname(os.path.join(app, path)), exist_ok=True)
            shutil.copy(source, os.path.join(app, path))
            os.chmod(os.path.join(app, path), 0o755)
        with open(os.path.join(app, "Contents", "Resources", "version"), "w") as version_file:
            version_file.write(side + "\n")
        ctx.sign(app)
    old, new = os.path.join(work, "old", APP), os.path.join(work, "new", APP)
    full, delta = os.path.join(work, "full.zip"), os.path.join(work, "delta.zip")
    ctx.zip_app(os.path.join(work, "new"), full)
    os.makedirs(os.path.join(work, "home"))

    runs = settings["runs"]
    note(f"delta update: real releases, {runs} runs")
    samples = {"tool": [], "bsdiff": [], "update_delta": [], "update_full": []}
    report = None
    bsdiff_sizes = []
    for run in range(runs):
        for step in alternating(run, ["tool", "bsdiff"]):
            if step == "tool":
                figures, report = ctx.bundle_delta(old, new, delta, ["--full-archive", full],
                                                   timer=ctx.gnu_timed)
            else:
                figures, bsdiff_sizes = ctx.bsdiff_each(
                    old, new, [path for path, _, _ in patched_files(report)],
                    os.path.join(work, "bsdiff"), timer=ctx.gnu_timed)
            samples[step].append(figures)
    for run in range(runs):
        for kind in alternating(run, ["delta", "full"]):
            archive = delta if kind == "delta" else full
            extra = (["--delta"] if kind == "delta" else []) + [
                "--archive-sha256", sha256_of(archive)]
            samples[f"update_{kind}"].append(ctx.update(
                os.path.join(work, "Applications"), install_copy(ctx, old), archive,
                os.path.join(work, "home"), extra))

    patches = [os.path.join(work, "bsdiff", f"{i}.patch") for i in range(len(bsdiff_sizes))]
    patched = []
    for (path, _, patch), theirs, patch_file in zip(patched_files(report), bsdiff_sizes, patches):
        level6, level9e = bsdiff_blocks.lzma_sizes(bsdiff_blocks.blocks(patch_file))
        patched.append({"path": path, "size": os.path.getsize(os.path.join(new, path)),
                        "patch": patch, "bsdiff": theirs, "lzma6": level6, "lzma9e": level9e})
    joined6, joined9e = bsdiff_blocks.lzma_sizes(
        b"".join(bsdiff_blocks.blocks(patch_file) for patch_file in patches))
    files = [{"path": path, "package": package, "old": old_version, "new": new_version,
              "size": os.path.getsize(os.path.join(new, path))}
             for path, package, old_version, new_version, _ in RELEASE_FILES]
    entry = {"files": files, "patched": patched, "joined": {"lzma6": joined6, "lzma9e": joined9e},
             "delta_archive": os.path.getsize(delta), "full_archive": os.path.getsize(full),
             "samples": samples}
    remove_tree(work)
    entry["settings"] = {"pause_ms": PAUSE_MS}
    return entry


# ------------------------------------------------------------ sizes

def runtime_of(program):
    """Which C++ runtime a program carries."""
    ldd = subprocess.run(["ldd", program], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         text=True).stdout
    if "libstdc++" in ldd:
        return "libstdc++ shared"
    nm = subprocess.run(["nm", "-C", program], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                        text=True).stdout
    return "libstdc++ static" if "std::" in nm else "libc only"


@benchmark("sizes", "the stripped sizes of the programs and the C++ runtime they carry",
           full={}, quick={},
           programs=("bin/bundle_starter", "bin/bundle_installer", "bench-bin/launch_floor"),
           commands=("strip", "nm", "ldd"))
def sizes(ctx, settings):
    programs = [("bundle_starter", ctx.program("bundle_starter")),
                ("bundle_installer", ctx.program("bundle_installer")),
                ("launch_floor (C floor)", ctx.bench_program("launch_floor"))]
    return {"programs": [{"label": label, "bytes": stripped_size(ctx, path),
                          "runtime": runtime_of(path)} for label, path in programs]}
