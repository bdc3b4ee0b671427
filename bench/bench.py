#!/usr/bin/env python3
"""Measures bundle_starter, bundle_installer and bundle_delta against their
floors and peers, side by side in one run; keeps the raw samples in
docs/benchmarks.json and renders docs/benchmarks.md from them
(bench/render.py).

usage: python3 bench/bench.py [--only NAME]... [--runs N] [--quick]
                              [--note TEXT] [--samples FILE] [--output FILE]
                              BENCH_BUILD_DIR
       python3 bench/bench.py --launcher-only BENCH_BUILD_DIR
       python3 bench/bench.py --list

Runs in a private network namespace of its own (port 3000 stays free for
everyone else) and writes its trees under BENCH_BUILD_DIR and /dev/shm."""
import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import time

import render
from benchmarks import BENCHMARKS, fetch_releases
from runner import BenchError, Context

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
IN_NAMESPACE = "ZENTRIVALE_BENCH_IN_NETNS"
DEBIAN_PACKAGES = {"valgrind": "valgrind", "unshare": "util-linux", "strip": "binutils",
                   "nm": "binutils", "ldd": "libc-bin", "zip": "zip", "bsdiff": "bsdiff",
                   "npm": "npm", "/usr/bin/time": "time", "/usr/sbin/ip": "iproute2"}


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="bench/bench.py", description="The benchmarks; `make bench` runs them all.")
    parser.add_argument("build_dir", nargs="?", metavar="BENCH_BUILD_DIR",
                        help="a build of the bench/ project (make bench does both)")
    parser.add_argument("--only", action="append", metavar="NAME", choices=list(BENCHMARKS),
                        help="run this benchmark alone (repeatable); the others' samples stay")
    parser.add_argument("--list", action="store_true", help="list the benchmarks")
    parser.add_argument("--runs", type=int, metavar="N",
                        help="N runs of everything that is repeated, in place of the defaults")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: tiny trees, one or two runs; its figures mean nothing")
    parser.add_argument("--launcher-only", action="store_true",
                        help="the launcher alone, its figures and goals printed; nothing written")
    parser.add_argument("--note", default="", help="a sentence put beside the samples' date")
    parser.add_argument("--samples", default=render.DEFAULT_SAMPLES)
    parser.add_argument("--output", default=render.DEFAULT_OUTPUT)
    args = parser.parse_args(argv)
    if not args.list and not args.build_dir:
        parser.error("BENCH_BUILD_DIR is needed")
    if args.runs is not None and args.runs < 1:
        parser.error("--runs must be at least 1")
    return args


def selected(args):
    if args.launcher_only:
        return ["launcher"]
    return args.only or list(BENCHMARKS)


def settings_of(name, args):
    benchmark = BENCHMARKS[name]
    settings = dict(benchmark["quick"] if args.quick else benchmark["full"])
    if args.runs is not None:
        for key in settings:
            if key == "runs" or key.endswith("_runs"):
                settings[key] = args.runs
    return settings


def missing_needs(names, build_dir):
    missing = []
    for command in ("unshare", "/usr/sbin/ip") + tuple(
            command for name in names for command in BENCHMARKS[name]["commands"]):
        found = os.access(command, os.X_OK) if command.startswith("/") else shutil.which(command)
        entry = f"{command} (Debian package {DEBIAN_PACKAGES.get(command, command)})"
        if not found and entry not in missing:
            missing.append(entry)
    if "launcher" in names and not os.access("/proc/self/schedstat", os.R_OK):
        missing.append("/proc/<pid>/schedstat (a kernel with CONFIG_SCHED_INFO)")
    programs = sorted({os.path.join(build_dir, program) for name in names
                       for program in BENCHMARKS[name]["programs"]})
    unbuilt = [program for program in programs if not os.access(program, os.X_OK)]
    return missing, unbuilt


def enter_private_network(argv):
    """Runs this program again in a network namespace of its own, where
    port 3000 is ours alone; returns once inside, with lo up."""
    if os.environ.get(IN_NAMESPACE):
        if subprocess.run(["/usr/sbin/ip", "link", "set", "lo", "up"]).returncode != 0:
            raise BenchError("could not bring up lo in the private network namespace")
        return
    unshare = shutil.which("unshare")
    namespace = [unshare, "-n"] if os.geteuid() == 0 else [unshare, "-rn"]
    os.execv(unshare, namespace + ["env", f"{IN_NAMESPACE}=1", sys.executable,
                                   os.path.abspath(__file__)] + argv)


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                cpu = line.split(": ", 1)[1].strip()
                break
    return f"{len(os.sched_getaffinity(0))} CPUs, {cpu}, {platform.system()} {platform.release()}"


def compiler(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_CXX_COMPILER:"):
                path = line.split("=", 1)[1].strip()
                done = subprocess.run([path, "--version"], stdout=subprocess.PIPE, text=True)
                return done.stdout.splitlines()[0] if done.stdout else path
    return "unknown"


def command_line(args, argv):
    """How these samples were measured, for the page (the note aside)."""
    if not (args.quick or args.runs or args.samples != render.DEFAULT_SAMPLES
            or args.output != render.DEFAULT_OUTPUT):
        only = " ".join(args.only or [])
        return "make bench" + (f" ONLY={only}" if " " not in only else f' ONLY="{only}"')
    shown, skip = [], False
    for arg in argv:
        if skip or arg.startswith("--note="):
            skip = False
        elif arg == "--note":
            skip = True
        else:
            shown.append("BENCH_BUILD_DIR" if arg == args.build_dir else arg)
    text = "python3 bench/bench.py " + " ".join(shown)
    return text + (" (smoke run: the figures mean nothing)" if args.quick else "")


def load_samples(path):
    if not os.path.exists(path):
        return {"run": {}, "benchmarks": {}}
    with open(path, encoding="utf-8") as file:
        return json.load(file)


def dumps(value, indent=0):
    """JSON with each list of plain numbers or strings on one line."""
    pad = "  " * indent
    if isinstance(value, dict):
        if not value:
            return "{}"
        items = [f'{pad}  {json.dumps(key)}: {dumps(item, indent + 1)}' for key, item in value.items()]
        return "{\n" + ",\n".join(items) + f"\n{pad}}}"
    if isinstance(value, list) and any(isinstance(item, (dict, list)) for item in value) and \
            not all(isinstance(item, list) and all(not isinstance(x, (dict, list)) for x in item)
                    for item in value):
        items = [f"{pad}  {dumps(item, indent + 1)}" for item in value]
        return "[\n" + ",\n".join(items) + f"\n{pad}]"
    return json.dumps(value)


def save_samples(path, samples):
    temporary = f"{path}.tmp.{os.getpid()}"
    with open(temporary, "w", encoding="utf-8") as file:
        file.write(dumps(samples) + "\n")
    os.replace(temporary, path)


def run(args, argv):
    names = selected(args)
    build_dir = os.path.abspath(args.build_dir)
    missing, unbuilt = missing_needs(names, build_dir)
    if missing:
        raise BenchError("cannot run; missing: " + ", ".join(missing) + "\nbench: on Debian: "
                         "apt-get install valgrind util-linux binutils zip libarchive-tools "
                         "iproute2 bsdiff npm python3 time")
    if unbuilt:
        raise BenchError(f"{unbuilt[0]} is missing: build the bench project first (make bench)")
    if "real-releases" in names and not os.environ.get(IN_NAMESPACE):
        fetch_releases(build_dir)
    enter_private_network(argv)

    about = {"machine": machine(), "compiler": compiler(build_dir)}
    with Context(build_dir, BENCH_DIR) as ctx:
        for name in names:
            settings = settings_of(name, args)
            entry = BENCHMARKS[name]["run"](ctx, settings)
            settings.update(entry.pop("settings", {}))
            if args.launcher_only:
                print("\n".join(render.launcher_summary({"settings": settings, **entry})))
                return
            # Each benchmark's samples are kept as soon as it has run.
            record(args, argv, name, {**about, "settings": settings, **entry})
    render.write_page(args.samples, args.output)
    print(f"bench: wrote {args.output}", file=sys.stderr)


def record(args, argv, name, entry):
    """Puts one benchmark's entry into the samples file, the others' kept."""
    samples = load_samples(args.samples)
    samples["run"] = {"machine": entry["machine"], "compiler": entry["compiler"]}
    heading = {"measured": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
               "command": command_line(args, argv)}
    if args.note:
        heading["note"] = args.note
    benchmarks = samples.setdefault("benchmarks", {})
    benchmarks[name] = {**heading, **entry}
    # The page's order, whatever ran.
    samples["benchmarks"] = {key: benchmarks[key] for key in BENCHMARKS if key in benchmarks}
    save_samples(args.samples, samples)
    print(f"bench: kept the {name} samples in {args.samples}", file=sys.stderr)


def main(argv):
    args = parse(argv)
    if args.list:
        for name, benchmark in BENCHMARKS.items():
            print(f"{name:<14} {benchmark['summary']}")
        return 0
    try:
        run(args, argv)
    except (BenchError, OSError) as error:
        print(f"bench: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
