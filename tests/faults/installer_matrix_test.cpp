// The built installer with one system call failing at a time: every call
// site of an update, the exit status and final message each fault gives, and
// where the previous version of the application is afterwards.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "error_texts.h"
#include "fault_matrix.h"
#include "file_digest.h"
#include "test_bundles.h"

#ifndef INSTALLER_PROGRAM
#error "INSTALLER_PROGRAM, INSTALLER_WITH_LOCAL_TOOLS, STAND_IN_ROOT and FAULT_INJECTION_LIBRARY come from the build"
#endif

namespace faults {
namespace {

namespace fs = std::filesystem;

enum class Previous { target, backup, staging };
// What one output of the log holds after the run.
enum class LogOutput { complete, absent, empty, one_line_short };

// One row of the matrix: a fault and everything the design says follows.
struct Case : MatrixCase<Case> {
  bool relaunch = false;         // run the relaunch too (with a double for open)
  bool delta = false;            // a delta update of version 1 to 2 instead
  std::string failure;           // after "update installation failed: "; "" for success
  Previous previous = Previous::backup;
  bool staging_left = false;
  bool leftover_kept = false;    // the leftover staging directory of an earlier run
  bool older_backup_kept = false;
  bool no_target = false;        // nothing left at the target path
  LogOutput file = LogOutput::complete;
  LogOutput echo = LogOutput::complete;
  std::vector<std::string> logged;      // further messages the log holds
  std::vector<std::string> not_logged;  // messages it must not hold

  using MatrixCase::MatrixCase;

  Case& target_gone() {
    no_target = true;
    return *this;
  }
  // Installed, but the relaunch failed: exit status 1, the swap's end state.
  Case& relaunch_fails(const std::string& message) {
    exit_status = 1;
    failure = message;
    return *this;
  }
  Case& as_delta() {
    delta = true;
    return *this;
  }
  Case& with_relaunch() {
    relaunch = true;
    return *this;
  }
  // The update fails before the installed bundle is touched.
  Case& fails(const std::string& message) {
    exit_status = 1;
    failure = message;
    previous = Previous::target;
    older_backup_kept = true;
    return *this;
  }
  Case& previous_at(Previous where) {
    previous = where;
    return *this;
  }
  Case& leaves_staging() {
    staging_left = true;
    return *this;
  }
  Case& keeps_leftover() {
    leftover_kept = true;
    return *this;
  }
  Case& keeps_older_backup() {
    older_backup_kept = true;
    return *this;
  }
  Case& log_file(LogOutput state) {
    file = state;
    return *this;
  }
  Case& log_echo(LogOutput state) {
    echo = state;
    return *this;
  }
  Case& logs(const std::string& message) {
    logged.push_back(message);
    return *this;
  }
  Case& does_not_log(const std::string& message) {
    not_logged.push_back(message);
    return *this;
  }
};

const Fault kExchangeRefused = fault("RENAMEAT2", "EXDEV");
const char kStaging[] = ".zentrivale-update-staging-";
const char kAfterSwap[] = "RENAME:";  // once the bundles have been moved

std::vector<Case> cases() {
  std::vector<Case> all;
  auto add = [&all](Case c) { all.push_back(std::move(c)); };
  const std::string staging = kStaging;
  const std::string not_removed = "could not remove staging directory {staging}";

  // The update log.
  add(Case("log_directory_status", "log: is the log directory there")
          .inject("STAT@Logs/Zentrivale:1:EACCES"));
  add(Case("log_directory_created", "log: creating the log directory")
          .inject("MKDIR@Library/Logs:1:EACCES")
          .log_file(LogOutput::absent));
  add(Case("log_file_opened", "log: opening update-helper.log")
          .inject("OPEN@update-helper.log:EACCES")
          .log_file(LogOutput::absent));
  add(Case("log_file_full", "log: every record written to the file")
          .inject("WRITE@update-helper.log:ENOSPC")
          .log_file(LogOutput::empty));
  add(Case("log_write_interrupted", "log: a record written to the file")
          .inject("WRITE@update-helper.log:1:EINTR"));
  add(Case("log_echo_broken", "log: every echo on standard error")
          .inject("WRITE", "EPIPE")
          .on_descriptor("2")
          .log_echo(LogOutput::empty));
  add(Case("log_echo_interrupted", "log: an echo on standard error")
          .inject("WRITE", "1:EINTR")
          .on_descriptor("2"));
  add(Case("log_record_of_backup_lost", "log: the record naming the backup path")
          .inject("WRITE@update-helper.log:1:ENOSPC")
          .after(kAfterSwap)
          .log_file(LogOutput::one_line_short)
          .does_not_log("previous version kept as rollback backup at {backup}"));
  add(Case("log_fourth_write", "log: the 4th write of the run, whatever it writes")
          .inject("WRITE", "4:EIO", "", "update-helper.log")
          .log_file(LogOutput::one_line_short)
          .does_not_log("waiting for the application to exit..."));

  // The inputs.
  add(Case("archive_status", "is the archive a regular file")
          .inject("STAT@Zentrivale-2.zip:1:EACCES")
          .fails("update archive does not exist: {archive}")
          .keeps_leftover());
  add(Case("target_status", "is the target a directory")
          .inject("STAT@Applications/Zentrivale.app:1:EACCES")
          .fails("target application bundle is invalid: {target}")
          .keeps_leftover());

  // Waiting for the application.
  add(Case("parent_probe_refused", "probing the parent process (EPERM: still there)")
          .inject("KILL", "1:EPERM", "signal 0"));
  add(Case("parent_probe_failed", "probing the parent process")
          .inject("KILL", "EINVAL", "signal 0")
          .fails("could not check the application process: {err}")
          .keeps_leftover());

  // Leftover staging directories of earlier runs: a leftover that stays is
  // named in the log, and the run goes on.
  auto leftover = [&](const std::string& name, const std::string& step, const Fault& chosen,
                      bool listed = true) {
    Case c = Case(name, "leftover staging removal: " + step)
                 .inject(chosen)
                 .keeps_leftover()
                 .does_not_log("removed stale {leftover}");
    if (listed) c.logs("could not remove stale {leftover}: {err}");
    add(c);
  };
  const std::string leftover_path = staging + "1";
  leftover("leftover_listing_opened", "listing the install directory",
           keyed("OPENDIR@/Applications:1:EACCES"), false);
  leftover("leftover_listing_read", "reading the install directory",
           keyed("READDIR@/Applications:1:EIO"), false);
  leftover("leftover_status", "status of the leftover", keyed("LSTAT@" + leftover_path + ":1:EACCES"));
  leftover("leftover_opened", "opening the leftover", keyed("OPEN@" + leftover_path + ":1:EMFILE"));
  leftover("leftover_listed", "listing the leftover",
           keyed("FDOPENDIR@" + leftover_path + ":1:ENOMEM"));
  leftover("leftover_read", "reading the leftover", keyed("READDIR@" + leftover_path + ":1:EIO"));
  leftover("leftover_descended", "opening a directory inside it",
           keyed("OPENAT@Zentrivale.app:1:EMFILE"));
  // A directory that cannot be opened for want of permission gets it from
  // its owner, and the removal goes on.
  add(Case("leftover_descended_without_access",
           "leftover staging removal: a directory inside it without permission")
          .inject("OPENAT@Zentrivale.app:1:EACCES")
          .logs("removed stale {leftover}"));
  leftover("leftover_inner_listed", "listing a directory inside it",
           keyed("FDOPENDIR@" + leftover_path + "/Zentrivale.app:1:ENOMEM"));
  leftover("leftover_inner_read", "reading a directory inside it",
           keyed("READDIR@" + leftover_path + "/Zentrivale.app:1:EIO"));
  leftover("leftover_file_unlinked", "removing a file inside it",
           keyed("UNLINKAT@Info.plist:1:EBUSY"));
  leftover("leftover_removed", "removing the emptied leftover",
           keyed("UNLINKAT@" + leftover_path + ":1:EBUSY"));

  // The archive, opened after the wait without waiting itself.
  add(Case("archive_opened", "opening the archive")
          .inject("OPEN@Zentrivale-2.zip:1:EACCES")
          .fails("could not read the update archive: {err}"));

  // This run's staging directory and the extraction.
  add(Case("staging_status", "is anything at the staging path")
          .inject("STAT", "1:EACCES", staging));
  add(Case("install_directory_status", "staging: is the install directory there")
          .inject("STAT@/Applications:1:EACCES"));
  add(Case("staging_created", "creating the staging directory")
          .inject("MKDIR", "1:EACCES", staging)
          .fails("could not create staging directory {staging} (is {install} writable?): {err}"));
  add(Case("ditto_started", "starting ditto")
          .inject("POSIX_SPAWN@/ditto:ENOENT")
          .fails("could not run ditto: {err}")
          .leaves_staging());
  add(Case("ditto_awaited", "waiting for ditto")
          .inject("WAITPID", "1:ECHILD", "", "blocking")
          .after("POSIX_SPAWN:/ditto")
          .fails("could not run ditto: {err}")
          .leaves_staging());
  add(Case("ditto_wait_interrupted", "waiting for ditto")
          .inject("WAITPID", "1:EINTR", "", "blocking")
          .after("POSIX_SPAWN:/ditto"));

  // The lock of the install directory: without it the run goes on.
  add(Case("install_directory_locked", "lock: opening the install directory")
          .inject("OPEN@/Applications:1:EACCES")
          .logs("could not lock {install} against other update installations ({err}); going "
                "on without the lock"));

  // Discovery.
  add(Case("staging_listing_opened", "discovery: listing the staging directory")
          .inject("OPENDIR", "1:EACCES", staging)
          .fails("could not list staging: {err}"));
  add(Case("staging_listing_read", "discovery: reading the staging directory")
          .inject("READDIR", "1:EIO", staging)
          .after("OPENDIR:" + staging)
          .fails("could not list staging: {err}"));
  add(Case("entry_inspected", "discovery: status of an entry")
          .inject("LSTAT@/Zentrivale.app:1:EACCES")
          .fails("could not inspect {candidate}: {err}"));

  // Group and other write permission taken from the new bundle: its walk.
  auto modes = [&](const std::string& name, const std::string& written, const std::string& read) {
    Fault chosen = keyed(written);
    add(Case(name, "modes: " + chosen.call + " in the new bundle")
            .inject(chosen)
            .after("LSTAT:/Zentrivale.app")
            .fails("could not read " + read + ": {err}"));
  };
  modes("modes_root_opened", "OPEN@/Zentrivale.app:1:EMFILE", "{candidate}");
  modes("modes_listed", "FDOPENDIR@/Zentrivale.app:1:ENOMEM", "{candidate}");
  modes("modes_read", "READDIR@/Zentrivale.app:1:EIO", "{candidate}");
  modes("modes_descended", "OPENAT@Contents:1:EACCES", "{candidate}/Contents");

  // The rebuild of a delta update (version 1 to 2, with --delta and the
  // archive's digest): every failure leaves the installed bundle untouched.
  const std::string manifest = "OPEN:zentrivale-delta-manifest";
  // The first file the rebuild patches, in the manifest's order.
  const std::string patched = "Contents/Info.plist";
  auto rebuild = [&](const std::string& name, const std::string& step) {
    return Case(name, "delta: " + step).as_delta();
  };
  add(rebuild("delta_manifest_opened", "opening the manifest")
          .inject("OPEN@zentrivale-delta-manifest:1:EMFILE")
          .fails("could not read the delta manifest: {err}"));
  // As in the verification: one that cannot be opened is left to PlistBuddy.
  add(rebuild("delta_installed_info_plist_opened",
              "is the installed Contents/Info.plist a file PlistBuddy can read at once")
          .inject("OPEN@Applications/Zentrivale.app/Contents/Info.plist:EMFILE"));
  add(rebuild("delta_installed_version_started", "starting PlistBuddy for the installed version")
          .inject("POSIX_SPAWN@PlistBuddy:1:EAGAIN")
          .fails("could not read CFBundleVersion: {err}"));
  add(rebuild("delta_installed_version_awaited", "waiting for PlistBuddy (installed version)")
          .inject("WAITPID", "1:ECHILD", "", "blocking")
          .after("POSIX_SPAWN:PlistBuddy")
          .fails("could not read CFBundleVersion: {err}"));
  add(rebuild("delta_installed_opened", "opening the installed bundle")
          .inject("OPEN@Applications/Zentrivale.app:1:EMFILE")
          .after(manifest)
          .fails("could not rebuild {target}: {err}"));
  add(rebuild("delta_staged_opened", "opening the staged bundle")
          .inject("OPEN@/Zentrivale.app:2:EMFILE")
          .after(manifest)
          .fails("could not rebuild {candidate}: {err}"));
  add(rebuild("delta_directory_made", "making a directory")
          .inject("MKDIRAT@Contents:1:EACCES")
          .fails("could not rebuild Contents: {err}"));
  add(rebuild("delta_directory_opened", "opening a directory it made")
          .inject("OPENAT@Contents:1:EACCES")
          .after(manifest)
          .fails("could not rebuild Contents: {err}"));
  add(rebuild("delta_kept_file_opened", "opening a kept file of the installed bundle")
          .inject("OPENAT@shared.dat:1:EACCES")
          .fails("could not rebuild Contents/Resources/shared.dat: {err}"));
  add(rebuild("delta_kept_file_copied", "creating the copy of a kept file")
          .inject("OPENAT@shared.dat:2:ENOSPC")
          .fails("could not rebuild Contents/Resources/shared.dat: {err}"));
  add(rebuild("delta_kept_file_checked", "reopening the copy to check it")
          .inject("OPENAT@shared.dat:3:EMFILE")
          .fails("could not rebuild Contents/Resources/shared.dat: {err}"));
  add(rebuild("delta_base_opened", "opening a patch's base in the installed bundle")
          .inject("OPENAT@media.dat:1:EACCES")
          .fails("could not rebuild Contents/Resources/media.dat: {err}"));
  add(rebuild("delta_patch_opened", "opening the staged patch")
          .inject("OPENAT@media.dat:2:EMFILE")
          .fails("could not rebuild Contents/Resources/media.dat: {err}"));
  add(rebuild("delta_result_created", "creating a patched file")
          .inject("OPENAT@.zentrivale-rebuilding-0:1:ENOSPC")
          .fails("could not rebuild " + patched + ": {err}"));
  add(rebuild("delta_result_renamed", "putting a patched file in its patch's place")
          .inject("RENAMEAT@.zentrivale-rebuilding-0:1:EIO")
          .fails("could not rebuild " + patched + ": {err}"));
  add(rebuild("delta_climb_refused", "climbing to a parent directory (the root instead)")
          .inject("OPENAT@..:1:EIO")
          .after(manifest)
          .logs("update installed successfully"));
  add(rebuild("delta_modes_climb_refused", "every climb to a parent refused (modes)")
          .inject("OPENAT@..:1+:EIO")
          .after(manifest)
          .fails("could not rebuild Contents/Frameworks/gst-plugins: {err}")
          .leaves_staging()  // its removal climbs by ".." too
          .logs(not_removed));
  add(rebuild("delta_top_listed", "listing the staged bundle for entries it must not hold")
          .inject("FDOPENDIR@/Zentrivale.app:1:ENOMEM")
          .after(manifest)
          .fails("could not rebuild {candidate}: {err}"));
  add(rebuild("delta_top_read", "reading that listing")
          .inject("READDIR@/Zentrivale.app:1:EIO")
          .after(manifest)
          .fails("could not rebuild {candidate}: {err}"));
  add(rebuild("delta_directory_listed", "listing a staged directory")
          .inject("FDOPENDIR@/Zentrivale.app/Contents:1:ENOMEM")
          .after(manifest)
          .fails("could not rebuild Contents: {err}"));
  add(rebuild("delta_directory_read", "reading a staged directory")
          .inject("READDIR@/Zentrivale.app/Contents:1:EIO")
          .after(manifest)
          .fails("could not rebuild Contents: {err}"));
  add(rebuild("delta_modes_taken", "group and other write taken from the rebuilt bundle")
          .inject("LSTAT@/Zentrivale.app:1:EACCES")
          .after(manifest)
          .fails("could not read {candidate}: {err}"));
  add(rebuild("delta_new_version_started", "starting PlistBuddy for the rebuilt version")
          .inject("POSIX_SPAWN@PlistBuddy:2:EAGAIN")
          .fails("could not read CFBundleVersion: {err}"));
  // The second wait after the first PlistBuddy starts: PlistBuddy's again.
  add(rebuild("delta_new_version_awaited", "waiting for PlistBuddy (rebuilt version)")
          .inject("WAITPID", "2:ECHILD", "", "blocking")
          .after("POSIX_SPAWN:PlistBuddy")
          .fails("could not read CFBundleVersion: {err}"));

  // Verification.
  add(Case("info_plist_status", "is Contents/Info.plist a regular file")
          .inject("STAT@Contents/Info.plist:1:EACCES")
          .fails("application is missing Contents/Info.plist"));
  // Looked at without waiting before PlistBuddy reads it; one that cannot
  // be opened is left to PlistBuddy, which reads it here.
  add(Case("info_plist_opened", "is Contents/Info.plist a file PlistBuddy can read at once")
          .inject("OPEN@Contents/Info.plist:EMFILE"));
  add(Case("plistbuddy_started", "starting PlistBuddy for the identifier")
          .inject("POSIX_SPAWN@PlistBuddy:1:EAGAIN")
          .fails("could not read CFBundleIdentifier: {err}"));
  add(Case("plistbuddy_awaited", "waiting for PlistBuddy (identifier)")
          .inject("WAITPID", "1:ECHILD", "", "blocking")
          .after("POSIX_SPAWN:PlistBuddy")
          .fails("could not read CFBundleIdentifier: {err}"));
  add(Case("plistbuddy_again_started", "starting PlistBuddy for the executable")
          .inject("POSIX_SPAWN@PlistBuddy:2:EAGAIN")
          .fails("could not read CFBundleExecutable: {err}"));
  add(Case("plistbuddy_again_awaited", "waiting for PlistBuddy (executable)")
          .inject("WAITPID", "2:ECHILD", "", "blocking")
          .after("POSIX_SPAWN:PlistBuddy")
          .fails("could not read CFBundleExecutable: {err}"));
  add(Case("executable_status", "is the executable a regular file")
          .inject("STAT@MacOS/Zentrivale:1:ENOENT")
          .fails("application executable is missing: {candidate}/Contents/MacOS/Zentrivale"));
  add(Case("codesign_started", "starting codesign")
          .inject("POSIX_SPAWN@/codesign:ENOENT")
          .fails("could not run codesign: {err}"));
  add(Case("codesign_awaited", "waiting for codesign")
          .inject("WAITPID", "1:ECHILD", "", "blocking")
          .after("POSIX_SPAWN:/codesign")
          .fails("could not run codesign: {err}"));
  add(Case("spctl_started", "starting spctl")
          .inject("POSIX_SPAWN@/spctl:EACCES")
          .fails("could not run Gatekeeper assessment: {err}"));
  add(Case("spctl_awaited", "waiting for spctl")
          .inject("WAITPID", "1:ECHILD", "", "blocking")
          .after("POSIX_SPAWN:/spctl")
          .fails("could not run Gatekeeper assessment: {err}"));

  // The quarantine attribute cleared after the checks: logged, never fatal.
  auto quarantine = [&](const std::string& name, const std::string& written,
                        const std::string& logged) {
    Fault chosen = keyed(written);
    add(Case(name, "quarantine: " + chosen.call + " in the new bundle")
            .inject(chosen)
            .after("POSIX_SPAWN:/spctl")
            .logs(logged));
  };
  const std::string not_cleared = "could not clear the quarantine attribute";
  quarantine("quarantine_root_status", "LSTAT@/Zentrivale.app:1:EACCES",
             not_cleared + ": could not read {candidate}: {err}");
  quarantine("quarantine_root_cleared", "OPENAT@/Zentrivale.app:1:EACCES",
             not_cleared + " from {candidate}: {err}");
  quarantine("quarantine_root_opened", "OPEN@/Zentrivale.app:1:EMFILE",
             not_cleared + ": could not read {candidate}: {err}");
  quarantine("quarantine_listed", "FDOPENDIR@/Zentrivale.app:1:ENOMEM",
             not_cleared + ": could not read {candidate}: {err}");
  quarantine("quarantine_read", "READDIR@/Zentrivale.app:1:EIO",
             not_cleared + ": could not read {candidate}: {err}");
  quarantine("quarantine_entry", "OPENAT@Contents:1:EACCES",
             not_cleared + " from {candidate}/Contents: {err}");

  // The swap.
  for (const char* refusal : {"EXDEV", "ENOTSUP", "EINVAL", "EACCES"}) {
    add(Case(std::string("exchange_refused_") + refusal,
             "atomic exchange refused: the two renames instead")
            .inject(std::string("RENAMEAT2@Applications/Zentrivale.app:") + refusal));
  }
  add(Case("backup_not_preserved", "after the exchange: previous version to the backup path")
          .inject("RENAME", "1:EACCES", "Applications/.Zentrivale.backup-")
          .previous_at(Previous::staging)
          .logs("could not preserve rollback backup: {err}")
          .logs("previous version left at {candidate}"));
  add(Case("move_aside_failed", "fallback: installed bundle to the backup path")
          .given(kExchangeRefused)
          .inject("RENAME", "1:EBUSY", "Applications/.Zentrivale.backup-")
          .fails("could not move the existing application aside: {err}"));
  add(Case("install_failed", "fallback: new bundle to the target path")
          .given(kExchangeRefused)
          .inject("RENAME@Applications/Zentrivale.app:2:EACCES")
          .fails("could not install the new application (rolled back): {err}"));
  add(Case("install_failed_cross_device", "fallback: new bundle to the target path")
          .given(kExchangeRefused)
          .inject("RENAME@Applications/Zentrivale.app:2:EXDEV")
          .fails("could not install the new application (rolled back): {err}"));
  add(Case("rollback_failed", "fallback: new bundle, then the rollback")
          .given(kExchangeRefused)
          .inject("RENAME@Applications/Zentrivale.app:2+:EACCES")
          .fails("could not install the new application ({err}) and rollback also failed "
                 "({err}); previous version is at {backup}")
          .previous_at(Previous::backup)
          .target_gone());

  // The staging clean-up after the swap: logged, never fatal.
  auto clean_up = [&](const std::string& name, const std::string& step, const std::string& call,
                      const std::string& value) {
    add(Case(name, "staging clean-up: " + step)
            .inject(call, value, staging)
            .after(kAfterSwap)
            .leaves_staging()
            .logs(not_removed));
  };
  clean_up("staging_cleanup_status", "status of the staging directory", "LSTAT", "1:EACCES");
  clean_up("staging_cleanup_opened", "opening it", "OPEN", "1:EMFILE");
  clean_up("staging_cleanup_listed", "listing it", "FDOPENDIR", "1:ENOMEM");
  clean_up("staging_cleanup_read", "reading it", "READDIR", "1:EIO");
  clean_up("staging_cleanup_removed", "removing it", "UNLINKAT", "1:EBUSY");

  // Older backups: one that stays is named in the log.
  auto older = [&](const std::string& name, const std::string& step, const std::string& written,
                   bool listed = true) {
    Case c = Case(name, "older backup removal: " + step)
                 .inject(written)
                 .after(kAfterSwap)
                 .keeps_older_backup()
                 .does_not_log("removed stale {older_backup}");
    if (listed) c.logs("could not remove stale {older_backup}: {err}");
    add(c);
  };
  older("backups_listing_opened", "listing the install directory",
        "OPENDIR@/Applications:1:EACCES", false);
  older("backups_listing_read", "reading the install directory", "READDIR@/Applications:1:EIO",
        false);
  older("older_backup_status", "status of the older backup", "LSTAT@.Zentrivale.backup-1:1:EACCES");
  older("older_backup_opened", "opening it", "OPEN@.Zentrivale.backup-1:1:EMFILE");
  older("older_backup_listed", "listing it", "FDOPENDIR@.Zentrivale.backup-1:1:ENOMEM");
  older("older_backup_read", "reading it", "READDIR@.Zentrivale.backup-1:1:EIO");
  older("older_backup_descended", "opening a directory inside it", "OPENAT@Contents:1:EMFILE");
  add(Case("older_backup_descended_without_access",
           "older backup removal: a directory inside it without permission")
          .inject("OPENAT@Contents:1:EACCES")
          .after(kAfterSwap)
          .logs("removed stale {older_backup}"));
  older("older_backup_climbed", "back up to the parent directory", "OPENAT@..:1:EIO");
  older("older_backup_inner_listed", "listing a directory inside it",
        "FDOPENDIR@.Zentrivale.backup-1/Contents:1:ENOMEM");
  older("older_backup_inner_read", "reading a directory inside it",
        "READDIR@.Zentrivale.backup-1/Contents:1:EIO");
  older("older_backup_file_unlinked", "removing a file inside it", "UNLINKAT@Info.plist:1:EBUSY");
  older("older_backup_removed", "removing the emptied backup",
        "UNLINKAT@.Zentrivale.backup-1:1:EBUSY");

  // The relaunch (a double stands in for open).
  add(Case("open_started_once", "relaunch: starting open, first attempt")
          .with_relaunch()
          .inject("POSIX_SPAWN@usr/bin/open:1:ENOENT")
          .logs("relaunch attempt 1 failed: could not run open: {err}"));
  add(Case("open_awaited_once", "relaunch: waiting for open, first attempt")
          .with_relaunch()
          .inject("WAITPID", "1:ECHILD", "", "blocking")
          .after("POSIX_SPAWN:usr/bin/open")
          .logs("relaunch attempt 1 failed: could not run open: {err}"));
  add(Case("open_never_started", "relaunch: starting open, every attempt")
          .with_relaunch()
          .inject("POSIX_SPAWN@usr/bin/open:ENOENT")
          .relaunch_fails("the update was installed, but the application could not be "
                          "relaunched: could not run open: {err}")
          .logs("relaunch attempt 5 failed: could not run open: {err}"));
  return all;
}

// The archive of version 2, and its delta from version 1 as installed, made
// once per process.
struct Update {
  TempDir work{"faults-update"};
  std::string archive;
  std::string delta;
  std::string delta_sha256;
  Snapshot bundle;
  Update() {
    archive = signed_archive(STAND_IN_ROOT, work.path(), "2");
    bundle = snapshot(work.path() + "/source-2/Zentrivale.app");
#ifdef BUNDLE_DELTA
    make_bundle(work.path() + "/source-1/Zentrivale.app", "1");
    delta = delta_archive(BUNDLE_DELTA, work.path(), "1", "2");
    delta_sha256 = test_support::sha256_hex_of_file(delta);
#endif
  }
};

// Removed again when the process exits.
const Update& update() {
  static const Update made;
  return made;
}

pid_t vanished_process() {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

// T/home, T/Applications/Zentrivale.app (version 1), what earlier runs left
// (.Zentrivale.backup-1, .zentrivale-update-staging-1) and the archive.
struct Tree {
  TempDir dir{"faults-installer"};
  std::string root = dir.path();
  std::string home = root + "/home";
  std::string install = root + "/Applications";
  std::string target = install + "/Zentrivale.app";
  std::string older_backup = install + "/.Zentrivale.backup-1";
  std::string leftover = install + "/" + kStaging + "1";
  std::string archive = root + "/Zentrivale-2.zip";
  std::string trace = root + "/trace";
  Snapshot version_1;

  bool delta = false;

  explicit Tree(bool delta_update = false) : delta(delta_update) {
    fs::create_directories(home);
    make_bundle(target, "1");
    version_1 = snapshot(target);
    make_bundle(older_backup, "0");
    fs::create_directories(leftover + "/Zentrivale.app/Contents");
    write_file(leftover + "/Zentrivale.app/Contents/Info.plist", "partial\n");
    fs::copy_file(delta ? update().delta : update().archive, archive);
  }

  // A tool root for the installer variant that looks under "tool-root":
  // the stand-ins, with open replaced by a double that only records.
  void tool_root_with_open_double() const {
    for (const char* tool : {"usr/bin/ditto", "usr/libexec/PlistBuddy", "usr/bin/codesign",
                             "usr/sbin/spctl"}) {
      fs::path link = root + "/tool-root/" + tool;
      fs::create_directories(link.parent_path());
      fs::create_symlink(std::string(STAND_IN_ROOT) + "/" + tool, link);
    }
    write_file(root + "/tool-root/usr/bin/open",
               "#!/bin/sh\necho \"$@\" >> '" + root + "/open.record'\n", 0755);
  }
};

struct InstallerRun {
  ProgramRun program;
  std::vector<std::string> file_messages;
  std::vector<std::string> echo_messages;
  std::vector<TraceLine> trace;
  bool log_file_exists = false;
};

std::vector<std::string> file_messages(const std::string& log) {
  std::vector<std::string> messages;
  std::istringstream lines(read_file(log));
  static const std::regex record(R"(\[[0-9]+\] (.*))");
  std::smatch match;
  for (std::string line; std::getline(lines, line);) {
    messages.push_back(std::regex_match(line, match, record) ? match[1].str() : "?" + line);
  }
  return messages;
}

std::vector<std::string> echo_messages(const std::string& standard_error) {
  std::vector<std::string> messages;
  std::istringstream lines(standard_error);
  const std::string prefix = "[update-helper] ";
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, prefix.size(), prefix) == 0) messages.push_back(line.substr(prefix.size()));
  }
  return messages;
}

InstallerRun install(const Tree& tree, const std::vector<Fault>& faults, bool relaunch) {
  std::vector<std::string> arguments{"--archive",    tree.archive,
                                     "--target-app", tree.target,
                                     "--parent-pid", std::to_string(vanished_process()),
                                     "--bundle-id",  kBundleId};
  if (!relaunch) arguments.push_back("--no-relaunch");
  if (tree.delta) {
    arguments.insert(arguments.end(), {"--delta", "--archive-sha256", update().delta_sha256});
  }
  std::vector<std::string> environment{"HOME=" + tree.home, "PATH=/usr/bin:/bin"};
  for (const std::string& variable :
       shim_environment(FAULT_INJECTION_LIBRARY, tree.trace, faults)) {
    environment.push_back(variable);
  }
  if (relaunch) tree.tool_root_with_open_double();
  InstallerRun run;
  run.program = run_program(relaunch ? INSTALLER_WITH_LOCAL_TOOLS : INSTALLER_PROGRAM, arguments,
                            environment, tree.root);
  std::string log = tree.home + "/Library/Logs/Zentrivale/update-helper.log";
  run.log_file_exists = lexists(log);
  run.file_messages = file_messages(log);
  run.echo_messages = echo_messages(run.program.standard_error);
  run.trace = read_trace(tree.trace);
  return run;
}

// Every value a message may name, for one run.
struct Names {
  std::vector<std::pair<std::string, std::string>> values;

  Names(const Tree& tree, pid_t pid, const std::string& error_name) {
    std::string staging = tree.install + "/" + kStaging + std::to_string(pid);
    values = {
        {"{archive}", tree.archive},
        {"{target}", tree.target},
        {"{install}", tree.install},
        {"{staging}", staging},
        {"{candidate}", staging + "/Zentrivale.app"},
        {"{backup}", tree.install + "/.Zentrivale.backup-" + std::to_string(pid)},
        {"{older_backup}", tree.older_backup},
        {"{leftover}", tree.leftover},
        {"{err}", error_name.empty() ? "" : os_error_text(errno_number(error_name))},
    };
  }

  std::string expand(std::string text) const {
    for (const auto& [name, value] : values) text = replace_all(text, name, value);
    return text;
  }
};

// As the document shows a path or message: T for the tree, <pid> for the
// installer's process ID.
std::string for_document(std::string text, const Tree& tree, pid_t pid) {
  text = replace_all(text, tree.root, "T");
  return replace_all(text, "-" + std::to_string(pid), "-<pid>");
}

bool mentions(const std::vector<std::string>& messages, const std::string& text) {
  return std::any_of(messages.begin(), messages.end(), [&](const std::string& message) {
    return message.find(text) != std::string::npos;
  });
}

bool holds(const std::vector<std::string>& messages, const std::string& message) {
  return std::find(messages.begin(), messages.end(), message) != messages.end();
}

// Where the previous version is, complete, as the user can find it: at the
// target path, or at a path that the log names. Adds a violation otherwise.
std::string find_previous_version(const Tree& tree, const Names& names,
                                  const std::vector<std::string>& log,
                                  const std::string& log_label,
                                  std::vector<std::string>& violations) {
  if (difference(tree.version_1, snapshot(tree.target)).empty()) return "target path";
  for (const char* place : {"{backup}", "{candidate}"}) {
    std::string path = names.expand(place);
    if (!difference(tree.version_1, snapshot(path)).empty()) continue;
    if (mentions(log, path)) return path + ", named in the log" + log_label;
    violations.push_back("previous version at " + path + ", which the log does not name");
    return path + ", not named in the log";
  }
  violations.push_back("previous version is nowhere complete (target: " +
                       difference(tree.version_1, snapshot(tree.target)) + ")");
  return "lost";
}

std::string expected_previous(const Case& c) {
  switch (c.previous) {
    case Previous::target: return "target path";
    case Previous::backup: return "{backup}, named in the log";
    case Previous::staging: return "{candidate}, named in the log";
  }
  return "";
}

std::set<std::string> expected_entries(const Case& c, const Names& names) {
  std::set<std::string> entries;
  auto name_of = [&names](const char* place) {
    return fs::path(names.expand(place)).filename().string();
  };
  if (!c.no_target) entries.insert("Zentrivale.app");
  if (c.previous == Previous::backup) entries.insert(name_of("{backup}"));
  if (c.staging_left || c.previous == Previous::staging) entries.insert(name_of("{staging}"));
  if (c.leftover_kept) entries.insert(name_of("{leftover}"));
  if (c.older_backup_kept) entries.insert(name_of("{older_backup}"));
  return entries;
}

void check_log_output(const char* which, LogOutput state, const std::vector<std::string>& actual,
                      const std::vector<std::string>& reference, bool exists,
                      std::vector<std::string>& violations) {
  std::string problem;
  switch (state) {
    case LogOutput::complete:
      if (actual != reference) problem = "does not hold every message";
      break;
    case LogOutput::absent:
      if (exists) problem = "exists";
      break;
    case LogOutput::empty:
      if (!actual.empty()) problem = "is not empty";
      break;
    case LogOutput::one_line_short:
      if (actual.size() + 1 != reference.size()) problem = "is not exactly one message short";
      break;
  }
  if (!problem.empty()) violations.push_back(std::string(which) + " " + problem);
}

class InstallerFaultMatrix : public ::testing::TestWithParam<size_t> {};

TEST_P(InstallerFaultMatrix, Row) {
  const Case c = cases()[GetParam()];
#ifndef BUNDLE_DELTA
  if (c.delta) GTEST_SKIP() << "delta updates need the release tool";
#endif
  Tree tree(c.delta);
  std::vector<Fault> faults = c.all_faults();
  InstallerRun run = install(tree, faults, c.relaunch);
  Names names(tree, run.program.pid, c.fault.error_name());
  std::vector<std::string> violations;

  // The log the user reads: the file, or its echo where the file lost lines.
  bool file_readable = c.file == LogOutput::complete;
  const std::vector<std::string>& log = file_readable ? run.file_messages : run.echo_messages;
  const std::vector<std::string>& reference = c.echo == LogOutput::complete
                                                   ? run.echo_messages
                                                   : run.file_messages;
  // Each output is compared with the other where that one is complete.
  if (c.file != LogOutput::complete || c.echo == LogOutput::complete) {
    check_log_output("the log file", c.file, run.file_messages, reference, run.log_file_exists,
                     violations);
  }
  if (c.echo != LogOutput::complete) {
    check_log_output("the echo on standard error", c.echo, run.echo_messages, run.file_messages,
                     true, violations);
  }

  std::string final_message = log.empty() ? "(nothing logged)" : log.back();
  std::string expected_final = c.failure.empty()
                                   ? "update installed successfully"
                                   : "update installation failed: " + names.expand(c.failure);
  if (run.program.exit_status != c.exit_status) {
    violations.push_back("exit status " + std::to_string(run.program.exit_status) +
                         ", designed " + std::to_string(c.exit_status));
  }
  if (final_message != expected_final) {
    violations.push_back("final message, designed: " + for_document(expected_final, tree, run.program.pid));
  }
  for (const std::string& message : c.logged) {
    if (!holds(log, names.expand(message))) violations.push_back("not logged: " + message);
  }
  // What the log must not hold is looked for in the file itself.
  for (const std::string& message : c.not_logged) {
    if (holds(run.file_messages, names.expand(message))) {
      violations.push_back("logged: " + message);
    }
  }

  check_faults_hit(faults, names.expand(c.hits), run.trace, violations);

  // Where the file lost lines, the log's echo on standard error is what names paths.
  std::string log_label = file_readable ? "" : " (its echo on standard error)";
  std::string previous = find_previous_version(tree, names, log, log_label, violations);
  std::string designed = names.expand(expected_previous(c));
  if (c.previous != Previous::target) designed += log_label;
  if (previous != designed) violations.push_back("previous version designed at " + designed);
  if (c.previous != Previous::target && !c.no_target) {
    std::string installed = difference(update().bundle, snapshot(tree.target));
    if (!installed.empty()) {
      violations.push_back("new version not complete at the target path: " + installed);
    }
  }
  std::vector<std::string> entries = list_directory(tree.install);
  std::set<std::string> expected = expected_entries(c, names);
  if (std::set<std::string>(entries.begin(), entries.end()) != expected) {
    std::string listing;
    for (const std::string& entry : entries) listing += " " + entry;
    violations.push_back("install directory holds" + listing);
  }
  // An attempt whose wait failed may still have run open (it is killed then).
  if (c.relaunch && c.exit_status == 0) {
    std::string record = read_file(tree.root + "/open.record");
    if (record.empty() || replace_all(record, tree.target + "\n", "") != "") {
      violations.push_back("open was not run with the target, and only with it");
    }
  }

  RowOutcome outcome;
  outcome.exit_status =
      run.program.exit_status < 0 ? "signal" : std::to_string(run.program.exit_status);
  outcome.message = for_document(final_message, tree, run.program.pid);
  outcome.previous = for_document(previous, tree, run.program.pid);
  for (const std::string& violation : violations) {
    outcome.violations.push_back(for_document(violation, tree, run.program.pid));
  }
  conclude_row(Program::installer, GetParam(), c.step, faults, outcome,
               "standard error:\n" + run.program.standard_error);
}

std::string case_name(const ::testing::TestParamInfo<size_t>& info) {
  return cases()[info.param].name;
}

INSTANTIATE_TEST_SUITE_P(Installer, InstallerFaultMatrix,
                         ::testing::Range<size_t>(0, cases().size()), case_name);

// A call site as the matrix groups them: the call, its subject with the
// tree, the process ID and names inside removed trees made general, and the
// last message logged before it (writes by destination only).
std::string installer_site(const TraceLine& line, const std::string& after, const Tree& tree) {
  std::string subject = replace_all(line.subject, tree.root, "T");
  subject = std::regex_replace(subject, std::regex("(staging|backup)-[0-9]+"), "$1-<pid>");
  subject = std::regex_replace(subject, std::regex("pid [0-9]+"), "pid <pid>");
  subject = replace_all(subject, STAND_IN_ROOT, "<tools>");
  if (line.call == "WRITE") {
    return "WRITE " + std::string(line.fd == 2 ? "standard error" : subject);
  }
  if ((line.call == "OPENAT" || line.call == "UNLINKAT" || line.call == "MKDIRAT" ||
       line.call == "RENAMEAT") &&
      !subject.empty() && subject[0] != 'T') {
    subject = "<name in the tree>";
  }
  // Every level of the log directory is one site of its creation; inside a
  // tree being listed or removed, one site stands for every level.
  if (subject.rfind("T/home", 0) == 0 && subject.find("update-helper.log") == std::string::npos) {
    subject = "a level of T/home/Library/Logs/Zentrivale";
  }
  if (line.call != "STAT") {
    subject = std::regex_replace(
        subject, std::regex(R"((\.(zentrivale-update-staging|Zentrivale\.backup)-<pid>)/[^ ]+)"),
        "$1/...");
  }
  std::string phase = replace_all(after, tree.root, "T");
  phase = std::regex_replace(phase, std::regex("(staging|backup)-[0-9]+"), "$1-<pid>");
  phase = std::regex_replace(phase, std::regex("pid [0-9]+"), "pid <pid>");
  return line.call + " " + subject + " [after: " + (phase.empty() ? "(start)" : phase) + "]";
}

TEST(InstallerCallSites, EveryCallSiteOfAnUpdateIsFailedByARow) {
  Tree tree;
  InstallerRun run = install(tree, {}, false);
  ASSERT_EQ(run.program.exit_status, 0) << run.program.standard_error;
  std::vector<std::pair<std::string, Fault>> named;
  for (const Case& c : cases()) {
    if (c.context.empty() && !c.relaunch && !c.delta) named.emplace_back(c.name, c.fault);
  }
  size_t checked = 0;
  record_call_sites(Program::installer,
                    check_call_sites(
                        run.trace, echoed_message,
                        [&tree](const TraceLine& line, const std::string& after) {
                          return installer_site(line, after, tree);
                        },
                        named, {}, checked));
  EXPECT_GT(checked, 0u);
}

// The rebuild's calls, from its first log line to the verification's: each
// is failed by a row of a delta update.
TEST(InstallerCallSites, EveryCallSiteOfTheRebuildIsFailedByARow) {
#ifndef BUNDLE_DELTA
  GTEST_SKIP() << "delta updates need the release tool";
#endif
  Tree tree(true);
  InstallerRun run = install(tree, {}, false);
  ASSERT_EQ(run.program.exit_status, 0) << run.program.standard_error;
  std::vector<std::pair<std::string, Fault>> named;
  for (const Case& c : cases()) {
    if (c.context.empty() && c.delta) named.emplace_back(c.name, c.fault);
  }
  const std::string rebuild = "[after: rebuilding the new application from the installed one...]";
  size_t rebuild_sites = 0;
  check_call_sites(
      run.trace, echoed_message,
      [&tree](const TraceLine& line, const std::string& after) {
        return installer_site(line, after, tree);
      },
      named,
      [&rebuild](const CallSite& site) {
        return site.site.find(rebuild) != std::string::npos && site.site.rfind("WRITE ", 0) != 0;
      },
      rebuild_sites);
  EXPECT_GE(rebuild_sites, 5u);
}

}  // namespace
}  // namespace faults
