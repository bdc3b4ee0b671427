// Stand-in for /usr/bin/open: `open BUNDLE` starts the bundle's main
// executable (Contents/MacOS/ + CFBundleExecutable) the way Launch Services
// would, detached from the caller, and exits without waiting for it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "file_reading.h"
#include "fs.h"
#include "os_error.h"
#include "path.h"
#include "plist_reader.h"

extern char** environ;

namespace {

using support::Error;
using support::Result;

int fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

Result<std::string> main_executable(const std::string& bundle) {
  std::string plist = support::join(bundle, "Contents/Info.plist");
  auto text = stand_in::read_file(plist);
  if (!text) return Error("cannot read " + plist + ": " + text.error());
  auto entries = property_list::parse_top_level(*text);
  if (!entries) return Error("cannot read " + plist + ": " + entries.error());
  auto name = entries->find("CFBundleExecutable");
  if (name == entries->end() || !name->second || name->second->empty()) {
    return Error(plist + " names no CFBundleExecutable");
  }
  std::string executable = support::join(support::join(bundle, "Contents/MacOS"), *name->second);
  if (!support::is_regular_file(executable) || ::access(executable.c_str(), X_OK) != 0) {
    return Error("the executable " + executable + " is missing or not executable");
  }
  return executable;
}

// posix_spawn's helpers return the error number rather than setting errno.
class SpawnSetup {
 public:
  SpawnSetup() {
    check(::posix_spawn_file_actions_init(&actions_));
    actions_ready_ = error_ == 0;
    check(::posix_spawnattr_init(&attributes_));
    attributes_ready_ = error_ == 0 && actions_ready_;
  }
  ~SpawnSetup() {
    if (actions_ready_) ::posix_spawn_file_actions_destroy(&actions_);
    if (attributes_ready_) ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  void check(int error) {
    if (error_ == 0) error_ = error;
  }
  int error() const { return error_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attributes() { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
  bool actions_ready_ = false;
  bool attributes_ready_ = false;
  int error_ = 0;
};

// Its own session, no controlling terminal, standard streams on the null
// device and no other descriptor, the root as working directory, clean signal
// state: nothing ties the application to whoever ran open.
Result<void> start_detached(const std::string& executable) {
  SpawnSetup setup;
  if (setup.error() != 0) return support::os_error(setup.error());
  setup.check(::posix_spawn_file_actions_addopen(setup.actions(), STDIN_FILENO, "/dev/null",
                                                 O_RDONLY, 0));
  setup.check(::posix_spawn_file_actions_addopen(setup.actions(), STDOUT_FILENO, "/dev/null",
                                                 O_WRONLY, 0));
  setup.check(::posix_spawn_file_actions_addopen(setup.actions(), STDERR_FILENO, "/dev/null",
                                                 O_WRONLY, 0));
  setup.check(::posix_spawn_file_actions_addclosefrom_np(setup.actions(), STDERR_FILENO + 1));
  setup.check(::posix_spawn_file_actions_addchdir_np(setup.actions(), "/"));
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  setup.check(::posix_spawnattr_setsigmask(setup.attributes(), &none));
  setup.check(::posix_spawnattr_setsigdefault(setup.attributes(), &all));
  setup.check(::posix_spawnattr_setflags(
      setup.attributes(), POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  if (setup.error() != 0) return support::os_error(setup.error());

  std::string program = executable;
  if (program[0] != '/') {
    // The child changes to "/" before it runs the program.
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return support::os_error(errno);
    program = support::join(cwd, program);
  }
  std::vector<char*> argv{program.data(), nullptr};
  pid_t pid = -1;
  int error = ::posix_spawn(&pid, program.c_str(), setup.actions(), setup.attributes(),
                            argv.data(), environ);
  if (error != 0) return support::os_error(error);
  return support::success();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-' || argv[1][0] == '\0') {
    return fail("usage: open BUNDLE (the only form this stand-in knows)");
  }
  std::string bundle = argv[1];
  if (!support::is_directory(bundle)) return fail("The file " + bundle + " does not exist.");
  auto executable = main_executable(bundle);
  if (!executable) return fail(bundle + ": " + executable.error());
  auto started = start_detached(*executable);
  if (!started) return fail(bundle + ": could not start " + *executable + ": " + started.error());
  return 0;
}
