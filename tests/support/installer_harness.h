// Runs the built installer in temporary install trees, the way the
// application does, and reads back what it left: exit status, standard
// error, the update log and the files.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "files.h"
#include "program_run.h"
#include "temp_dir.h"

namespace installer_test {

using Outcome = test_support::ProgramRun;
using test_support::lexists;
using test_support::list_directory;
using test_support::read_file;
using test_support::run_program;
using test_support::write_file;

// Whether `actual` is `prefix`, a process ID, then `suffix`: for messages
// that name the staging directory or the backup of the installer process.
::testing::AssertionResult matches_with_pid(const std::string& actual, const std::string& prefix,
                                            const std::string& suffix);

// A process ID that no process holds now.
pid_t vanished_process_id();

// A temporary tree: T/home (HOME), T/Applications/Zentrivale.app (installed,
// version 1), T/source (where archives are made), T/tool-root (per-case
// test doubles for the installer variant that looks there).
class InstallTree {
 public:
  InstallTree();
  InstallTree(const InstallTree&) = delete;
  InstallTree& operator=(const InstallTree&) = delete;

  const std::string& root() const { return root_; }
  std::string home() const { return root_ + "/home"; }
  std::string install_directory() const { return root_ + "/Applications"; }
  std::string target() const { return install_directory() + "/Zentrivale.app"; }
  std::string log_path() const { return home() + "/Library/Logs/Zentrivale/update-helper.log"; }
  std::string marker() const { return root_ + "/launched"; }  // written by a relaunched app

  // A complete bundle at `path`: Info.plist, the executable (which records
  // its version in marker() when started) and a resource naming the version.
  void make_bundle(const std::string& path, const std::string& version,
                   const std::string& bundle_id = "com.example.zentrivale",
                   const std::string& executable = "Zentrivale") const;
  // The stand-in codesign, ad hoc or with an identity such as
  // "Developer ID Application: Some Name (TEAMID)".
  void sign(const std::string& bundle, const std::string& identity = "-") const;
  // Zips the entries of `directory` (names relative to it), links kept.
  std::string zip(const std::string& directory, const std::vector<std::string>& entries,
                  const std::string& name = "update.zip") const;
  // Version 2, signed and zipped: the ordinary update.
  std::string signed_update(const std::string& version = "2",
                            const std::string& bundle_id = "com.example.zentrivale",
                            const std::string& identity = "-") const;

  // Two refused updates: a file that is no ZIP archive, and a signed
  // bundle named Other.app.
  std::string junk_archive() const;
  std::string wrongly_named_update() const;

  std::vector<std::string> standard_arguments(const std::string& archive) const;
  std::vector<std::string> environment() const;  // HOME and PATH only

  // The shipped installer (the build's stand-ins), or the variant that runs
  // the tools under T/tool-root.
  // `extra` is added to the environment (e.g. fault injection).
  Outcome install(const std::vector<std::string>& arguments,
                  const std::vector<std::string>& extra = {}) const;
  Outcome install_with_doubles(const std::vector<std::string>& arguments) const;

  // Per-case doubles: the real stand-in, or a script.
  void use_stand_in(const std::string& tool) const;  // e.g. "usr/bin/ditto"
  void use_script(const std::string& tool, const std::string& body) const;
  void use_all_stand_ins() const;

  // A copy of the installed bundle, outside the install directory, and
  // whether the installed bundle still has its entries, bytes and links.
  void snapshot_target() const;
  ::testing::AssertionResult target_matches_snapshot() const;

  // The messages of the update log, time stamps checked and removed.
  std::vector<std::string> log_messages() const;
  // The version recorded in a bundle, "" when it has none.
  std::string version_of(const std::string& bundle) const;

 private:
  test_support::TempDir dir_{"installer-test"};
  std::string root_ = dir_.path();
};

}  // namespace installer_test
