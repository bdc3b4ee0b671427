#include "bundle_verification.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "bundle_version.h"
#include "child_process.h"
#include "fs.h"
#include "os_error.h"
#include "path.h"
#include "platform.h"
#include "unique_fd.h"
#include "utf8.h"

namespace installer {
namespace {

constexpr const char* kInfoPlist = "Contents/Info.plist";
constexpr const char* kExecutableDirectory = "Contents/MacOS";
constexpr const char* kIdentifierKey = "CFBundleIdentifier";
constexpr const char* kExecutableKey = "CFBundleExecutable";

struct CapturedRun {
  int wait_status = 0;
  std::string standard_output;
};

// Reads both pipes together until each reaches end of file: a tool that fills
// the standard-error pipe while we block on standard output (or the reverse)
// would otherwise wait for us forever. Standard error is read and dropped.
support::Result<std::string> read_both(const support::UniqueFd& out, const support::UniqueFd& err) {
  std::string captured;
  pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
  int open_ends = 2;
  char buffer[16384];
  while (open_ends > 0) {
    int ready = support::retry_on_eintr([&] { return ::poll(fds, 2, -1); });
    if (ready < 0) return support::os_error(errno);
    for (pollfd& p : fds) {
      if (p.fd < 0 || p.revents == 0) continue;
      ssize_t n = support::retry_on_eintr([&] { return ::read(p.fd, buffer, sizeof buffer); });
      if (n < 0) return support::os_error(errno);
      if (n == 0) {
        p.fd = -1;  // poll skips negative descriptors
        --open_ends;
      } else if (p.fd == out.get()) {
        captured.append(buffer, static_cast<size_t>(n));
      }
    }
  }
  return captured;
}

// Runs the tool with standard input on the null device and both output
// streams captured; the error is the system's when it cannot be started,
// read or awaited.
support::Result<CapturedRun> run_capturing(const std::string& program,
                                           std::vector<std::string> argv) {
  auto out = support::platform::cloexec_pipe();
  if (!out) return std::move(out).take_error();
  auto err = support::platform::cloexec_pipe();
  if (!err) return std::move(err).take_error();

  support::SpawnRequest request;
  request.program = program;
  request.argv = std::move(argv);
  request.stdin_stream = support::Stream::null();
  request.stdout_stream = support::Stream::from(out->write_end.get());
  request.stderr_stream = support::Stream::from(err->write_end.get());
  auto child = support::Child::spawn(request);
  // Our copies of the write ends must go, or the reads below never see EOF.
  out->write_end.reset();
  err->write_end.reset();
  if (!child) return std::move(child).take_error();

  auto captured = read_both(out->read_end, err->read_end);
  if (!captured) return std::move(captured).take_error();
  auto status = child->wait();
  if (!status) return std::move(status).take_error();
  return CapturedRun{*status, std::move(captured.value())};
}

// Runs the tool on the installer's own standard streams; yields its wait status.
support::Result<int> run_inheriting(const std::string& program, std::vector<std::string> argv) {
  support::SpawnRequest request;
  request.program = program;
  request.argv = std::move(argv);
  auto child = support::Child::spawn(request);
  if (!child) return std::move(child).take_error();
  return child->wait();
}

support::Result<void> check_signature(const std::string& bundle, const Tools& tools) {
  auto status = run_inheriting(
      tools.codesign, {tools.codesign, "--verify", "--deep", "--strict", "--verbose=2", bundle});
  if (!status) return support::Error("could not run codesign: " + status.error());
  if (*status != 0) return support::Error("the updated application's code signature is invalid");
  return support::success();
}

// The certificate's organisational unit is the Team ID; "anchor apple
// generic" makes sure that Apple issued the certificate, so that nobody can
// simply name that unit in a certificate of their own. The two extensions
// mark the Developer ID intermediate and leaf: a development or Mac App Store
// certificate of the same team does not meet them.
support::Result<void> check_team(const std::string& bundle, const std::string& team_id,
                                 const Tools& tools) {
  auto status = run_inheriting(tools.codesign, {tools.codesign, "--verify", "--strict",
                                                "--test-requirement", team_requirement(team_id),
                                                bundle});
  if (!status) return support::Error("could not run codesign: " + status.error());
  if (*status != 0) {
    return support::Error("the updated application is not signed by team " + team_id);
  }
  return support::success();
}

support::Result<void> check_gatekeeper(const std::string& bundle, const Tools& tools) {
  auto status = run_inheriting(
      tools.spctl, {tools.spctl, "--assess", "--type", "execute", "--verbose=2", bundle});
  if (!status) return support::Error("could not run Gatekeeper assessment: " + status.error());
  if (*status != 0) return support::Error("Gatekeeper rejected the updated application");
  return support::success();
}

// PlistBuddy would wait for ever on a FIFO put in the property list's place
// (and read a device for ever), so the file is looked at first, without
// waiting. One that cannot be opened is left to PlistBuddy to report.
support::Result<void> check_plist_is_a_file(const std::string& plist) {
  support::UniqueFd fd(support::retry_on_eintr(
      [&] { return ::open(plist.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); }));
  struct stat status;
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || S_ISREG(status.st_mode)) {
    return support::success();
  }
  return support::Error("could not read " + support::lossy_utf8(plist) +
                        ": it is not a regular file");
}

}  // namespace

std::string team_requirement(const std::string& team_id) {
  return "=anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists and "
         "certificate leaf[field.1.2.840.113635.100.6.1.13] exists and "
         "certificate leaf[subject.OU] = \"" + team_id + "\"";
}

support::Result<std::string> read_plist_key(const std::string& plist, const std::string& key,
                                            const Tools& tools, bool* value_at_fault) {
  if (value_at_fault) *value_at_fault = false;
  if (auto file = check_plist_is_a_file(plist); !file) return std::move(file).take_error();
  auto run = run_capturing(tools.plist_buddy, {tools.plist_buddy, "-c", "Print :" + key, plist});
  if (!run) return support::Error("could not read " + key + ": " + run.error());
  if (value_at_fault) *value_at_fault = true;
  if (run->wait_status != 0) {
    return support::Error("could not read " + key + " from the application's Info.plist");
  }
  std::string value =
      support::trim_unicode_white_space(support::lossy_utf8(run->standard_output));
  if (value.empty()) return support::Error(key + " in the application's Info.plist is empty");
  if (value_at_fault) *value_at_fault = false;
  return value;
}

support::Result<void> verify_bundle(const std::string& bundle,
                                    const std::string& expected_bundle_id,
                                    bool skip_signature_verification, Log& log,
                                    const Tools& tools,
                                    const std::optional<std::string>& team_id,
                                    const std::optional<std::string>& not_older_than) {
  std::string plist = support::join(bundle, kInfoPlist);
  if (!support::is_regular_file(plist)) {
    return support::Error("application is missing Contents/Info.plist");
  }

  auto identifier = read_plist_key(plist, kIdentifierKey, tools);
  if (!identifier) return std::move(identifier).take_error();
  if (*identifier != expected_bundle_id) {
    return support::Error("bundle identifier mismatch: expected " +
                          support::lossy_utf8(expected_bundle_id) + ", got " +
                          support::printable(*identifier));
  }

  auto executable_name = read_plist_key(plist, kExecutableKey, tools);
  if (!executable_name) return std::move(executable_name).take_error();
  std::string executable_directory = support::join(bundle, kExecutableDirectory);
  std::string executable = support::join(executable_directory, *executable_name);
  if (!support::is_regular_file(executable)) {
    // The name comes from the bundle: shown escaped.
    return support::Error("application executable is missing: " +
                          support::printable_below(executable_directory, executable));
  }
  if (not_older_than) {
    if (auto newer = check_not_older(bundle, *not_older_than, tools); !newer) return newer;
  }

  if (skip_signature_verification) {
    log.line("WARNING: skipping code-signature and Gatekeeper verification (development flag)");
    return support::success();
  }
  if (auto signed_ok = check_signature(bundle, tools); !signed_ok) return signed_ok;
  if (team_id) {
    if (auto team_ok = check_team(bundle, *team_id, tools); !team_ok) return team_ok;
  }
  return check_gatekeeper(bundle, tools);
}

}  // namespace installer
