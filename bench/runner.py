"""What every benchmark needs to run programs and time them: the bench
build's paths, the scratch directories, the timers, and the steps several
benchmarks share (a whole update by the installer, bundle_delta, bsdiff)."""
import hashlib
import os
import re
import shutil
import subprocess
import tempfile

BUNDLE_ID = "com.zentrivale.bench"
APP = "Zentrivale.app"
PAUSE_MS = 750  # the installer's fixed pause once the application has exited


class BenchError(Exception):
    """A benchmark could not run; the message is finished."""


def sync():
    os.sync()


def remove_tree(path):
    """rm -rf: far quicker than Python's own walk on trees of 100,000 files."""
    if subprocess.run(["/bin/rm", "-rf", path]).returncode != 0:
        raise BenchError(f"could not remove {path}")


def dead_pid():
    """The process id of an application that has already gone: the
    installer probes it once, then makes its fixed pause."""
    child = subprocess.Popen(["/bin/true"])
    child.wait()
    return child.pid


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for chunk in iter(lambda: file.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def installed_version(applications):
    with open(os.path.join(applications, APP, "Contents", "Resources", "version")) as file:
        return file.read().strip()


PATCHED = re.compile(r"^patched (.*): ([0-9]*) bytes, patch ([0-9]*) bytes( from .*)?$")


def patched_files(report):
    """(path, new size, patch size) of each file bundle_delta patched, from
    its report."""
    found = []
    for line in report.splitlines():
        match = PATCHED.match(line)
        if match:
            found.append((match.group(1), int(match.group(2)), int(match.group(3))))
    return found


class Context:
    """The bench build and the scratch directories of one run."""

    def __init__(self, build_dir, bench_dir):
        self.build_dir = build_dir
        self.bench_dir = bench_dir
        self.bin = os.path.join(build_dir, "bin")
        self.bench_bin = os.path.join(build_dir, "bench-bin")
        self.tool_root = os.path.join(build_dir, "tool-root")
        self.work = os.path.join(build_dir, "bench-work")
        self.shm = None

    def __enter__(self):
        remove_tree(self.work)
        os.makedirs(self.work)
        if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
            self.shm = tempfile.mkdtemp(prefix="zentrivale-bench.", dir="/dev/shm")
        return self

    def __exit__(self, *exception):
        remove_tree(self.work)
        if self.shm:
            remove_tree(self.shm)

    # -------------------------------------------------------- file systems

    def filesystems(self):
        """The build directory's file system, and tmpfs where there is one."""
        return ["disk", "tmpfs"] if self.shm else ["disk"]

    def fast_filesystem(self):
        """Where whole updates run: tmpfs where there is one, since on a
        disk the journal alone varies more than the installer's own work."""
        return "tmpfs" if self.shm else "disk"

    def fs_root(self, fs):
        return os.path.join(self.shm if fs == "tmpfs" else self.work, "install")

    def fs_label(self, fs):
        if fs == "tmpfs":
            return "tmpfs (/dev/shm)"
        table = self.output(["df", "-T", self.work]).splitlines()
        return f"{table[1].split()[1]} (build directory)"

    # -------------------------------------------------------- programs

    def program(self, name):
        return os.path.join(self.bin, name)

    def bench_program(self, name):
        return os.path.join(self.bench_bin, name)

    def tool(self, relative):
        return os.path.join(self.tool_root, relative)

    def output(self, argv, env=None, what=None):
        """The standard output of a program that must succeed."""
        done = subprocess.run([str(arg) for arg in argv], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            raise BenchError(f"{what or argv[0]} failed: {done.stderr.strip()}")
        return done.stdout

    # The two timers return (figures, the program's standard output).

    def timed(self, argv, env=None, what=None):
        """wall_ns cpu_ns peak_kb of a program and all it waited for
        (install_bench time)."""
        lines = self.output([self.bench_program("install_bench"), "time", *argv], env,
                            what).splitlines()
        return [int(figure) for figure in lines[-1].split()], "\n".join(lines[:-1])

    def gnu_timed(self, argv, env=None, what=None):
        """wall_s cpu_s peak_kb of a program, as /usr/bin/time gives them."""
        figures = os.path.join(self.work, "time")
        out = self.output(["/usr/bin/time", "-f", "%e %U %S %M", "-o", figures, *argv], env,
                          what or argv[0])
        with open(figures) as file:
            wall, user, system, peak = file.read().split()
        return [float(wall), float(user) + float(system), int(peak)], out

    def install_figures(self, mode, root):
        """install_bench install|floor ROOT: wall_ns cpu_ns peak_kb."""
        out = self.output([self.bench_program("install_bench"), mode, root],
                          what=f"{mode} in {root}")
        return [int(figure) for figure in out.split()]

    def make_bundle(self, app, files, version):
        self.output([self.bench_program("install_bench"), "bundle", app, files, "nested",
                     BUNDLE_ID, version], what=f"making the {files}-file bundle {app}")

    def sign(self, app, identity="-"):
        self.output([self.tool("usr/bin/codesign"), "--force", "--deep", "--sign", identity, app],
                    what=f"signing {app}")

    def zip_app(self, parent, archive):
        """zip -qry ARCHIVE Zentrivale.app, run in PARENT."""
        done = subprocess.run(["zip", "-qry", archive, APP], cwd=parent)
        if done.returncode != 0:
            raise BenchError(f"could not zip {parent}/{APP}")

    # -------------------------------------------------------- shared steps

    def update(self, applications, install_old, archive, home, extra=(), timer=None):
        """One whole update on a fresh install: APPLICATIONS made anew by
        install_old(APPLICATIONS), then the installer, timed, with an
        application that has already exited; the new bundle checked."""
        remove_tree(applications)
        os.makedirs(applications)
        install_old(applications)
        sync()
        argv = [self.program("bundle_installer"), *extra, "--archive", archive, "--target-app",
                os.path.join(applications, APP), "--parent-pid", dead_pid(), "--bundle-id",
                BUNDLE_ID, "--no-relaunch"]
        env = dict(os.environ, HOME=home)
        figures, _ = (timer or self.timed)(argv, env, what=f"the update with {archive}")
        if installed_version(applications) != "new":
            raise BenchError(f"the update with {archive} did not install the new bundle")
        return figures

    def bundle_delta(self, old, new, output, extra=(), timer=None):
        """bundle_delta from OLD to NEW, timed: (figures, its report)."""
        if os.path.exists(output):
            os.remove(output)
        sync()
        argv = [self.program("bundle_delta"), "--from", old, "--to", new, "--output", output,
                *extra]
        return (timer or self.timed)(argv, what="bundle_delta")

    def bsdiff_each(self, old, new, paths, patches, timer=None):
        """bsdiff on each file, one process each, patches written to
        PATCHES/0.patch...: the times summed, the peak the largest, and
        each patch's size."""
        remove_tree(patches)
        os.makedirs(patches)
        sync()
        wall = cpu = peak = 0
        sizes = []
        for i, path in enumerate(paths):
            patch = os.path.join(patches, f"{i}.patch")
            figures, _ = (timer or self.timed)(
                ["/usr/bin/bsdiff", os.path.join(old, path), os.path.join(new, path), patch],
                what=f"bsdiff on {path}")
            wall, cpu, peak = wall + figures[0], cpu + figures[1], max(peak, figures[2])
            sizes.append(os.path.getsize(patch))
        return [wall, cpu, peak], sizes
