// Helpers for running the built launcher in temporary bundles beside the
// backend and frontend doubles.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "files.h"
#include "temp_dir.h"

namespace launcher_test {

// Whether main() moved this process into a network namespace of its own, in
// which 127.0.0.1:3000 belongs to the test alone.
bool private_network();

// Set up once by main(): a private network namespace where possible, and
// orphaned descendants reparented to this process (Linux), so that a
// process the launcher left behind can be found.
void prepare_process();

// Why a test needing port 3000 cannot run here, or nothing when it can.
std::optional<std::string> backend_port_unavailable();

// 127.0.0.1:3000 bound by the test itself for as long as this lives, and
// listened on when `listen`: a listener foreign to the launcher, or a probe
// of whether the port is free.
class BackendPortClaim {
 public:
  explicit BackendPortClaim(bool listen);
  ~BackendPortClaim();
  BackendPortClaim(const BackendPortClaim&) = delete;
  BackendPortClaim& operator=(const BackendPortClaim&) = delete;
  // Whether the port was bound (and listened on, when asked).
  bool claimed() const { return claimed_; }

 private:
  int fd_;
  bool claimed_ = false;
};

using test_support::is_directory;
using test_support::list_directory;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

// What a double wrote about itself: "key value" lines, in order.
struct Record {
  bool exists = false;
  std::multimap<std::string, std::string> entries;
  std::vector<std::string> events;

  std::string get(const std::string& key) const;       // the first value, or ""
  std::vector<std::string> all(const std::string& key) const;
  // The value of NAME in the recorded environment, or nothing.
  std::optional<std::string> env(const std::string& name) const;
  size_t env_count(const std::string& name) const;
  bool has_event(const std::string& event) const;
};

// A temporary directory holding a bundle with the launcher and the doubles:
// root/Zentrivale.app/Contents/MacOS/{bundle_starter,backend,frontend} and
// root/home as the home directory.
class Bundle {
 public:
  struct Options {
    std::string executable_directory = "Zentrivale.app/Contents/MacOS";
    std::string launcher_name = "bundle_starter";
    bool backend = true;
    bool frontend = true;
  };
  Bundle();
  explicit Bundle(const Options& options);

  const std::string& root() const { return dir_.path(); }
  const std::string& executable_directory() const { return executable_directory_; }
  const std::string& launcher() const { return launcher_; }
  std::string home() const { return root() + "/home"; }
  std::string data_directory() const;
  std::string cache_directory() const;

  void behave(const std::string& role, const std::string& behaviour) const;
  Record record(const std::string& role) const;

 private:
  TempDir dir_;
  std::string executable_directory_;
  std::string launcher_;
};

struct LaunchOptions {
  // Changes to this process's environment; a value of nothing unsets.
  std::map<std::string, std::optional<std::string>> environment;
  std::string working_directory;  // empty: the bundle root
  bool ignore_sigchld = false;
  // Inherited state that the children must not get.
  bool ignore_sigpipe = false;
  bool block_sigusr1 = false;
  // Standard error a pipe whose reading end is closed: every write to it
  // fails with EPIPE (and raises SIGPIPE).
  bool closed_standard_error = false;
  // Names the files of the standard streams in the bundle root
  // ("launcher.stdin", ...), so that launches running together keep theirs apart.
  std::string streams = "launcher";
};

struct Outcome {
  int wait_status = 0;
  pid_t pid = -1;
  std::string standard_output;
  std::string standard_error;
  std::string stdin_identity, stdout_identity, stderr_identity;  // "dev:ino"
  // Processes that were still around, or unreaped, once the launcher ended.
  std::vector<pid_t> left_behind;

  bool exited_with(int code) const;
};

// A launcher started and not yet waited for.
struct Started {
  pid_t pid = -1;
  std::string input, output, error;  // the files of its standard streams
};

// Starts the launcher with only standard input, output and error open.
Started start_launch(const Bundle& bundle, const LaunchOptions& options = {});

// Waits for a started launcher and reads its streams; leaves its children
// alone (left_behind stays empty).
Outcome wait_for_launch(const Started& started);

// Kills and reaps what launches of the bundle left behind: its doubles still
// running, and (Linux) orphans that came to this process as their subreaper.
// Yields their process IDs.
std::vector<pid_t> clear_left_behind(const Bundle& bundle);

// Runs the launcher with only standard input, output and error open and waits
// for it; clears away anything it left behind.
Outcome launch(const Bundle& bundle, const LaunchOptions& options = {});

}  // namespace launcher_test
