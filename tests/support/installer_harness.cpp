#include "installer_harness.h"

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "bundles.h"

#ifndef INSTALLER_PROGRAM
#error "INSTALLER_PROGRAM, INSTALLER_WITH_LOCAL_TOOLS and STAND_IN_ROOT come from the build"
#endif

namespace installer_test {

::testing::AssertionResult matches_with_pid(const std::string& actual, const std::string& prefix,
                                            const std::string& suffix) {
  bool fits = actual.size() > prefix.size() + suffix.size() && actual.rfind(prefix, 0) == 0 &&
              actual.compare(actual.size() - suffix.size(), suffix.size(), suffix) == 0;
  std::string pid = fits ? actual.substr(prefix.size(), actual.size() - prefix.size() - suffix.size())
                         : "";
  if (fits && pid.find_first_not_of("0123456789") == std::string::npos) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "\"" << actual << "\" is not \"" << prefix << "<pid>"
                                       << suffix << "\"";
}

pid_t vanished_process_id() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

InstallTree::InstallTree() {
  for (const char* dir : {"/home", "/Applications", "/source", "/tool-root"}) {
    test_support::make_dir(root_ + dir);
  }
  make_bundle(target(), "1");
}

void InstallTree::make_bundle(const std::string& path, const std::string& version,
                              const std::string& bundle_id, const std::string& executable) const {
  write_file(path + "/Contents/Info.plist",
             test_support::info_plist(test_support::plist_string("CFBundleExecutable", executable) +
                                      test_support::plist_string("CFBundleIdentifier", bundle_id) +
                                      test_support::plist_string("CFBundleShortVersionString",
                                                                 version) +
                                      test_support::plist_string("CFBundleVersion", version)));
  write_file(path + "/Contents/MacOS/" + executable,
             "#!/bin/sh\necho " + version + " >> '" + marker() + "'\n", 0755);
  write_file(path + "/Contents/Resources/version.txt", version + "\n");
}

void InstallTree::sign(const std::string& bundle, const std::string& identity) const {
  test_support::sign_bundle(STAND_IN_ROOT, bundle, identity);
}

std::string InstallTree::zip(const std::string& directory, const std::vector<std::string>& entries,
                             const std::string& name) const {
  std::string archive = root_ + "/" + name;
  test_support::zip_entries(directory, entries, archive);
  return archive;
}

std::string InstallTree::signed_update(const std::string& version, const std::string& bundle_id,
                                       const std::string& identity) const {
  std::string bundle = root_ + "/source/Zentrivale.app";
  make_bundle(bundle, version, bundle_id);
  sign(bundle, identity);
  return zip(root_ + "/source", {"Zentrivale.app"});
}

std::string InstallTree::junk_archive() const {
  write_file(root_ + "/junk.zip", "this is not a zip archive");
  return root_ + "/junk.zip";
}

std::string InstallTree::wrongly_named_update() const {
  std::string source = root_ + "/source";
  make_bundle(source + "/Other.app", "2");
  sign(source + "/Other.app");
  return zip(source, {"Other.app"}, "other.zip");
}

std::vector<std::string> InstallTree::standard_arguments(const std::string& archive) const {
  return {"--archive",    archive, "--target-app", target(), "--parent-pid",
          std::to_string(vanished_process_id()), "--bundle-id", "com.example.zentrivale"};
}

std::vector<std::string> InstallTree::environment() const {
  return {"HOME=" + home(), "PATH=/usr/bin:/bin"};
}

Outcome InstallTree::install(const std::vector<std::string>& arguments,
                             const std::vector<std::string>& extra) const {
  std::vector<std::string> env = environment();
  env.insert(env.end(), extra.begin(), extra.end());
  return run_program(INSTALLER_PROGRAM, arguments, env, root_);
}

Outcome InstallTree::install_with_doubles(const std::vector<std::string>& arguments) const {
  // This variant runs every tool under "tool-root" in its working directory.
  return run_program(INSTALLER_WITH_LOCAL_TOOLS, arguments, environment(), root_);
}

void InstallTree::use_stand_in(const std::string& tool) const {
  std::string path = root_ + "/tool-root/" + tool;
  unlink(path.c_str());
  test_support::make_symlink(std::string(STAND_IN_ROOT) + "/" + tool, path);
}

void InstallTree::use_script(const std::string& tool, const std::string& body) const {
  write_file(root_ + "/tool-root/" + tool, "#!/bin/sh\n" + body + "\n", 0755);
}

void InstallTree::use_all_stand_ins() const {
  for (const char* tool : {"usr/bin/ditto", "usr/libexec/PlistBuddy", "usr/bin/codesign",
                           "usr/sbin/spctl", "usr/bin/open"}) {
    use_stand_in(tool);
  }
}

void InstallTree::snapshot_target() const {
  test_support::remove_all(root_ + "/installed-before");  // an earlier snapshot
  Outcome copied = run_program("/bin/cp", {"-a", target(), root_ + "/installed-before"},
                               environment(), root_);
  ASSERT_EQ(copied.exit_status, 0) << copied.standard_error;
}

::testing::AssertionResult InstallTree::target_matches_snapshot() const {
  Outcome diff = run_program("/usr/bin/diff",
                             {"-r", "--no-dereference", root_ + "/installed-before", target()},
                             environment(), root_);
  if (diff.exit_status == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the installed bundle changed:\n"
                                       << diff.standard_output << diff.standard_error;
}

std::vector<std::string> InstallTree::log_messages() const {
  std::vector<std::string> messages;
  std::istringstream lines(read_file(log_path()));
  std::string line;
  long now = static_cast<long>(time(nullptr));
  while (std::getline(lines, line)) {
    size_t close = line.find("] ");
    bool stamped = !line.empty() && line[0] == '[' && close != std::string::npos && close > 1 &&
                   line.find_first_not_of("0123456789", 1) == close;
    if (stamped) {
      long stamp = std::stol(line.substr(1, close - 1));
      EXPECT_LE(std::labs(now - stamp), 120) << line;
      messages.push_back(line.substr(close + 2));
    } else if (!messages.empty()) {
      messages.back() += "\n" + line;  // the rest of a message holding a line feed
    } else {
      ADD_FAILURE() << "unstamped first line: " << line;
    }
  }
  return messages;
}

std::string InstallTree::version_of(const std::string& bundle) const {
  std::string version = read_file(bundle + "/Contents/Resources/version.txt");
  if (!version.empty() && version.back() == '\n') version.pop_back();
  return version;
}

}  // namespace installer_test
