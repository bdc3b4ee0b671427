// The installer's installation step on prepared trees, and its floor.
//
//   install_bench bundle APP FILES SHAPE BUNDLE_ID VERSION
//       makes one bundle of FILES files (for the whole-update benchmark)
//   install_bench prepare ROOT FILES SHAPE
//       ROOT/Applications: Zentrivale.app (version "old"), the staging
//       directory holding the new Zentrivale.app, and an older rollback
//       backup .Zentrivale.backup-1, each of FILES files; ROOT/floor: an
//       equal tree "older" and a bundle "installed" for the floor; then sync
//   install_bench install ROOT
//       installer::install_bundle on ROOT/Applications, checked afterwards;
//       prints "wall_ns cpu_ns peak_rss_kb" (VmHWM of this process)
//   install_bench floor ROOT
//       /bin/rm -rf ROOT/floor/older, then /bin/mv of ROOT/floor/installed;
//       prints "wall_ns cpu_ns peak_rss_kb" (the children's, from wait4)
//   install_bench time PROGRAM [ARG...]
//       runs PROGRAM (a full path) and prints the same three figures for it
//       and everything it waited for
//
// Each of install and floor runs in a fresh process, after prepare, so that
// making the trees weighs on neither the times nor the peak memory.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_trees.h"
#include "bundle_swap.h"
#include "unique_fd.h"
#include "update_log.h"

extern char** environ;

namespace {

constexpr const char* kBundleId = "com.zentrivale.bench";
constexpr const char* kStagingName = ".zentrivale-update-staging-bench";
constexpr const char* kOlderBackupName = ".Zentrivale.backup-1";

struct Layout {
  std::string applications, target, staging, candidate, older_backup;
  std::string floor, floor_older, floor_installed, floor_moved;

  explicit Layout(const std::string& root)
      : applications(root + "/Applications"),
        target(applications + "/Zentrivale.app"),
        staging(applications + "/" + kStagingName),
        candidate(staging + "/Zentrivale.app"),
        older_backup(applications + "/" + kOlderBackupName),
        floor(root + "/floor"),
        floor_older(floor + "/older"),
        floor_installed(floor + "/installed"),
        floor_moved(floor + "/moved") {}
};

int fail(const std::string& message) {
  std::fprintf(stderr, "install_bench: %s\n", message.c_str());
  return 1;
}

long long nanoseconds(const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }

long long monotonic_ns() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return nanoseconds(now);
}

long long cpu_ns(const rusage& usage) {
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
}

long long own_cpu_ns() {
  rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return cpu_ns(usage);
}

// VmHWM of this process in kB, or -1.
long peak_resident_kb() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (!status) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, status)) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(status);
  return kb;
}

bool exists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

std::string version_of(const std::string& app) {
  return bench::read_text(app + "/Contents/Resources/version");
}

int make_one_bundle(int argc, char** argv) {
  if (argc != 7) return fail("usage: install_bench bundle APP FILES SHAPE BUNDLE_ID VERSION");
  bench::Shape shape;
  if (!bench::parse_shape(argv[4], shape)) return fail("unknown shape " + std::string(argv[4]));
  std::string error = bench::make_bundle(argv[2], std::atol(argv[3]), shape, argv[5], argv[6]);
  return error.empty() ? 0 : fail(error);
}

int prepare(int argc, char** argv) {
  if (argc != 5) return fail("usage: install_bench prepare ROOT FILES SHAPE");
  Layout layout(argv[2]);
  long files = std::atol(argv[3]);
  bench::Shape shape;
  if (!bench::parse_shape(argv[4], shape)) return fail("unknown shape " + std::string(argv[4]));
  for (const std::string& directory : {layout.applications, layout.staging, layout.floor}) {
    if (::mkdir(directory.c_str(), 0755) != 0) {
      return fail("mkdir " + directory + ": " + std::strerror(errno));
    }
  }
  struct Tree {
    const std::string& path;
    long files;
    const char* version;
  };
  for (const Tree& tree : {Tree{layout.target, files, "old"}, Tree{layout.candidate, files, "new"},
                           Tree{layout.older_backup, files, "older"},
                           Tree{layout.floor_older, files, "older"},
                           Tree{layout.floor_installed, 3, "old"}}) {
    std::string error = bench::make_bundle(tree.path, tree.files, shape, kBundleId, tree.version);
    if (!error.empty()) return fail(error);
  }
  ::sync();
  return 0;
}

int install(int argc, char** argv) {
  if (argc != 3) return fail("usage: install_bench install ROOT");
  Layout layout(argv[2]);
  std::string log_path = std::string(argv[2]) + "/update-helper.log";
  installer::Log log(support::UniqueFd(
      ::open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)));

  const long long cpu_before = own_cpu_ns();
  const long long wall_before = monotonic_ns();
  support::Result<void> installed = installer::install_bundle(
      layout.candidate, layout.target, layout.applications, layout.staging, log);
  const long long wall = monotonic_ns() - wall_before;
  const long long cpu = own_cpu_ns() - cpu_before;

  if (!installed) return fail("install_bundle: " + installed.error());
  std::string backup = installer::backup_path(layout.applications, layout.target);
  if (version_of(layout.target) != "new\n") return fail("the new bundle is not installed");
  if (version_of(backup) != "old\n") return fail("the previous version is not at " + backup);
  if (exists(layout.older_backup)) return fail("the older backup is still there");
  if (exists(layout.staging)) return fail("the staging directory is still there");
  std::printf("%lld %lld %ld\n", wall, cpu, peak_resident_kb());
  return 0;
}

// Runs the program with its arguments; adds its CPU time and peak memory.
bool run(std::vector<const char*> argv, long long& cpu, long& peak_kb) {
  argv.push_back(nullptr);
  pid_t pid;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv.data()),
                    environ) != 0) {
    return false;
  }
  int status;
  rusage usage;
  while (::wait4(pid, &status, 0, &usage) != pid) {
    if (errno != EINTR) return false;
  }
  cpu += cpu_ns(usage);
  if (usage.ru_maxrss > peak_kb) peak_kb = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int floor(int argc, char** argv) {
  if (argc != 3) return fail("usage: install_bench floor ROOT");
  Layout layout(argv[2]);
  long long cpu = 0;
  long peak_kb = 0;
  const long long wall_before = monotonic_ns();
  bool removed = run({"/bin/rm", "-rf", layout.floor_older.c_str()}, cpu, peak_kb);
  bool moved =
      run({"/bin/mv", layout.floor_installed.c_str(), layout.floor_moved.c_str()}, cpu, peak_kb);
  const long long wall = monotonic_ns() - wall_before;
  if (!removed || !moved || exists(layout.floor_older) || !exists(layout.floor_moved)) {
    return fail("rm -rf or mv failed in " + layout.floor);
  }
  std::printf("%lld %lld %ld\n", wall, cpu, peak_kb);
  return 0;
}

int time_program(int argc, char** argv) {
  if (argc < 3) return fail("usage: install_bench time PROGRAM [ARG...]");
  std::vector<const char*> command(argv + 2, argv + argc);
  long long cpu = 0;
  long peak_kb = 0;
  const long long wall_before = monotonic_ns();
  bool succeeded = run(command, cpu, peak_kb);
  const long long wall = monotonic_ns() - wall_before;
  if (!succeeded) return fail(std::string(argv[2]) + " failed");
  std::printf("%lld %lld %ld\n", wall, cpu, peak_kb);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "bundle") return make_one_bundle(argc, argv);
  if (mode == "prepare") return prepare(argc, argv);
  if (mode == "install") return install(argc, argv);
  if (mode == "floor") return floor(argc, argv);
  if (mode == "time") return time_program(argc, argv);
  return fail("usage: install_bench bundle|prepare|install|floor|time ...");
}
