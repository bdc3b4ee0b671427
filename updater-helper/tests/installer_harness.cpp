#include "installer_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#ifndef INSTALLER_PROGRAM
#error "INSTALLER_PROGRAM, INSTALLER_WITH_LOCAL_TOOLS and STAND_IN_ROOT come from the build"
#endif

namespace installer_test {

void write_file(const std::string& path, const std::string& content, int mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(mode)), 0) << path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

bool path_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_directory(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

Outcome run_program(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment, const std::string& directory) {
  char pattern[] = "/tmp/installer-streams-XXXXXX";
  EXPECT_NE(mkdtemp(pattern), nullptr);
  std::string streams = pattern;
  std::string out_path = streams + "/out", err_path = streams + "/err";

  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv, envp;
  for (auto& s : argv_strings) argv.push_back(const_cast<char*>(s.c_str()));
  argv.push_back(nullptr);
  for (auto& s : environment) envp.push_back(const_cast<char*>(s.c_str()));
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(directory.c_str()) != 0) {
      _exit(127);
    }
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  Outcome outcome;
  outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  outcome.standard_output = read_file(out_path);
  outcome.standard_error = read_file(err_path);
  std::system(("rm -rf '" + streams + "'").c_str());
  return outcome;
}

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
  char pattern[] = "/tmp/installer-test-XXXXXX";
  EXPECT_NE(mkdtemp(pattern), nullptr);
  root_ = pattern;
  for (const char* dir : {"/home", "/Applications", "/source", "/tool-root"}) {
    EXPECT_EQ(mkdir((root_ + dir).c_str(), 0755), 0);
  }
  make_bundle(target(), "1");
}

InstallTree::~InstallTree() { std::system(("chmod -R u+rwx '" + root_ + "'; rm -rf '" + root_ + "'").c_str()); }

void InstallTree::make_bundle(const std::string& path, const std::string& version,
                              const std::string& bundle_id, const std::string& executable) const {
  for (const std::string& dir : {path, path + "/Contents", path + "/Contents/MacOS",
                                 path + "/Contents/Resources"}) {
    mkdir(dir.c_str(), 0755);
  }
  write_file(path + "/Contents/Info.plist",
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
             "<plist version=\"1.0\">\n<dict>\n"
             "  <key>CFBundleExecutable</key>\n  <string>" + executable + "</string>\n"
             "  <key>CFBundleIdentifier</key>\n  <string>" + bundle_id + "</string>\n"
             "  <key>CFBundleShortVersionString</key>\n  <string>" + version + "</string>\n"
             "</dict>\n</plist>\n");
  write_file(path + "/Contents/MacOS/" + executable,
             "#!/bin/sh\necho " + version + " >> '" + marker() + "'\n", 0755);
  write_file(path + "/Contents/Resources/version.txt", version + "\n");
}

void InstallTree::sign(const std::string& bundle, const std::string& identity) const {
  Outcome signed_ = run_program(std::string(STAND_IN_ROOT) + "/usr/bin/codesign",
                                {"--sign", identity, bundle}, environment(), root_);
  ASSERT_EQ(signed_.exit_status, 0) << signed_.standard_error;
}

std::string InstallTree::zip(const std::string& directory, const std::vector<std::string>& entries,
                             const std::string& name) const {
  std::string archive = root_ + "/" + name;
  std::vector<std::string> arguments{"-q", "-r", "-y", archive};
  arguments.insert(arguments.end(), entries.begin(), entries.end());
  Outcome zipped = run_program("/usr/bin/zip", arguments, environment(), directory);
  EXPECT_EQ(zipped.exit_status, 0) << zipped.standard_error;
  return archive;
}

std::string InstallTree::signed_update(const std::string& version, const std::string& bundle_id,
                                       const std::string& identity) const {
  std::string bundle = root_ + "/source/Zentrivale.app";
  make_bundle(bundle, version, bundle_id);
  sign(bundle, identity);
  return zip(root_ + "/source", {"Zentrivale.app"});
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
  std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
  unlink(path.c_str());
  ASSERT_EQ(symlink((std::string(STAND_IN_ROOT) + "/" + tool).c_str(), path.c_str()), 0);
}

void InstallTree::use_script(const std::string& tool, const std::string& body) const {
  std::string path = root_ + "/tool-root/" + tool;
  std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
  unlink(path.c_str());
  write_file(path, "#!/bin/sh\n" + body + "\n", 0755);
}

void InstallTree::use_all_stand_ins() const {
  for (const char* tool : {"usr/bin/ditto", "usr/libexec/PlistBuddy", "usr/bin/codesign",
                           "usr/sbin/spctl", "usr/bin/open"}) {
    use_stand_in(tool);
  }
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
