// Updates tampered with around the built installer: values in the new or the
// installed bundle made to forge log records, files put in the way of what
// the installer reads, hard links planted while the archive is extracted,
// the archive swapped while the installer waits, and directories the
// installer cannot list once it runs without the capabilities that override
// file permissions. Each run ends on one line of its own, with the designed
// message, and leaves nothing behind that a later run cannot deal with.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "bundles.h"
#include "file_digest.h"
#include "installer_harness.h"

namespace hostile {
namespace {

using namespace installer_test;
namespace fs = std::filesystem;

const char kQuarantine[] = "user.com.apple.quarantine";
const std::string kSuccess = "update installed successfully";
const std::string kForgery = "\n[update-helper] " + kSuccess;

std::vector<std::string> with(std::vector<std::string> arguments,
                              const std::vector<std::string>& more) {
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

bool has_staging(const InstallTree& tree) {
  std::vector<std::string> names = list_directory(tree.install_directory());
  return std::any_of(names.begin(), names.end(), [](const std::string& name) {
    return name.rfind(".zentrivale-update-staging-", 0) == 0;
  });
}

// A refused run ended on exactly one line, the failure, in the log file and
// on standard error alike; no line anywhere claims success.
void expect_refused_on_one_line(const InstallTree& tree, const Outcome& outcome,
                                const std::string& prefix, const std::string& suffix = "",
                                bool target_comparable = true) {
  EXPECT_EQ(outcome.exit_status, 1) << outcome.standard_error;
  std::string failure = "update installation failed: " + prefix;
  std::vector<std::string> echo = lines_of(outcome.standard_error);
  ASSERT_FALSE(echo.empty());
  if (suffix.empty()) {
    EXPECT_EQ(echo.back(), "[update-helper] " + failure);
  } else {
    EXPECT_TRUE(matches_with_pid(echo.back(), "[update-helper] " + failure, suffix));
  }
  std::vector<std::string> file = lines_of(read_file(tree.log_path()));
  ASSERT_FALSE(file.empty());
  EXPECT_NE(file.back().find("] " + failure), std::string::npos) << file.back();
  for (const std::string& line : echo) EXPECT_NE(line, "[update-helper] " + kSuccess);
  EXPECT_FALSE(has_staging(tree));
  if (target_comparable) {
    EXPECT_TRUE(tree.target_matches_snapshot());
  }
}

class TamperedUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override { tree.use_all_stand_ins(); }

  std::string bundle() const { return tree.root() + "/source/Zentrivale.app"; }

  // Version 2 with `change` made to it before it is signed and zipped.
  std::string update(const std::function<void(const std::string&)>& change = {}) {
    // zip adds to an archive that is there: both go first.
    std::system(("rm -rf '" + bundle() + "' '" + tree.root() + "/update.zip'").c_str());
    tree.make_bundle(bundle(), "2");
    if (change) change(bundle());
    tree.sign(bundle());
    return tree.zip(tree.root() + "/source", {"Zentrivale.app"});
  }

  void write_plist(const std::string& path, const std::string& executable,
                   const std::string& identifier, const std::string& version) {
    write_file(path + "/Contents/Info.plist",
               test_support::info_plist(test_support::plist_string("CFBundleExecutable", executable) +
                                        test_support::plist_string("CFBundleIdentifier", identifier) +
                                        test_support::plist_string("CFBundleVersion", version)));
  }

  // ditto extracts, then `then` runs in the shell with the staging
  // directory as "$4".
  void ditto_then(const std::string& then) {
    tree.use_script("usr/bin/ditto",
                    "'" + std::string(STAND_IN_ROOT) + "/usr/bin/ditto' \"$@\" || exit\n" + then);
  }

  // The installer with the tools under the tree, dropping every capability
  // that overrides file permissions when it runs as root.
  Outcome install_without_overrides(const std::vector<std::string>& arguments) const {
    std::vector<std::string> wrapped = {"--inh-caps=-all", "--bounding-set=-all",
                                        INSTALLER_WITH_LOCAL_TOOLS};
    if (::geteuid() != 0) {
      return run_program(INSTALLER_WITH_LOCAL_TOOLS, arguments, tree.environment(), tree.root());
    }
    return run_program("/usr/bin/setpriv", with(wrapped, arguments), tree.environment(),
                       tree.root());
  }

  InstallTree tree;
};

TEST_F(TamperedUpdateTest, ForgedValuesPlantedLinksAndFifosAreRefusedOnOneLine) {
  const std::string staging = tree.install_directory() + "/.zentrivale-update-staging-";
  const std::string victim = tree.root() + "/outside/victim";
  struct Row {
    std::string name;
    std::function<void(const std::string&)> change;  // to the new bundle
    std::function<void()> scene;                      // before the run
    std::vector<std::string> flags;
    std::string failure, suffix;  // a suffix: the message names the staging directory
  } rows[] = {
      {"forged version", [&](const std::string& b) { write_plist(b, "Zentrivale",
                                                                 "com.example.zentrivale",
                                                                 "2.0" + kForgery); },
       {}, {"--refuse-downgrade"},
       "cannot compare bundle versions 2.0\\n[update-helper] " + kSuccess + " and 1", ""},
      {"forged identifier", [&](const std::string& b) { write_plist(b, "Zentrivale",
                                                                    "com.example.zentrivale" +
                                                                        kForgery, "2"); },
       {}, {},
       "bundle identifier mismatch: expected com.example.zentrivale, got "
       "com.example.zentrivale\\n[update-helper] " + kSuccess, ""},
      {"forged executable name", [&](const std::string& b) { write_plist(b, "Gone\t" + kForgery,
                                                                         "com.example.zentrivale",
                                                                         "2"); },
       {}, {},
       "application executable is missing: " + staging,
       "/Zentrivale.app/Contents/MacOS/Gone\\t\\n[update-helper] " + kSuccess},
      {"installed Info.plist is a FIFO", {},
       [&] {
         std::string plist = tree.target() + "/Contents/Info.plist";
         fs::remove(plist);
         ASSERT_EQ(::mkfifo(plist.c_str(), 0644), 0);
       },
       {"--refuse-downgrade"},
       "could not read " + tree.target() + "/Contents/Info.plist: it is not a regular file", ""},
      {"hard link planted during extraction", {},
       [&] {
         write_file(victim, "outside the bundle\n", 0666);
         ASSERT_EQ(::setxattr(victim.c_str(), kQuarantine, "0081", 4, 0), 0);
         ditto_then("/usr/bin/ln '" + victim + "' \"$4/Zentrivale.app/Contents/Resources/planted\"");
       },
       {},
       "the new application contains a hard link: " + staging,
       "/Zentrivale.app/Contents/Resources/planted"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string archive = update(row.change);
    if (row.scene) row.scene();
    tree.snapshot_target();
    Outcome outcome = tree.install_with_doubles(
        with(tree.standard_arguments(archive), with({"--no-relaunch"}, row.flags)));
    // A FIFO in the installed bundle is left out of the comparison, which
    // would read it.
    bool fifo = row.name.find("FIFO") != std::string::npos;
    expect_refused_on_one_line(tree, outcome, row.failure, row.suffix, !fifo);
    if (fifo) {
      struct stat plist;
      ASSERT_EQ(::lstat((tree.target() + "/Contents/Info.plist").c_str(), &plist), 0);
      EXPECT_TRUE(S_ISFIFO(plist.st_mode));
    }
    // Put the scene back for the next row.
    tree.use_all_stand_ins();
    tree.make_bundle(tree.target(), "1");
  }
  // The planted link took nothing from the file it shares.
  struct stat status;
  ASSERT_EQ(::stat(victim.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0666u);
  EXPECT_EQ(::getxattr(victim.c_str(), kQuarantine, nullptr, 0), 4);
}

TEST_F(TamperedUpdateTest, ArchiveSwappedWhileTheInstallerWaitsEndsTheRunAndTheNextInstalls) {
  const std::string archive = update();
  const std::string digest = test_support::sha256_hex_of_file(archive);
  const std::string aside = tree.root() + "/aside.zip";
  struct Row {
    std::string name;
    std::function<void()> swap;
    bool with_digest;
  } rows[] = {
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(archive.c_str(), 0644), 0); }, false},
      {"FIFO, with a digest", [&] { ASSERT_EQ(::mkfifo(archive.c_str(), 0644), 0); }, true},
      {"link to /dev/zero", [&] { fs::create_symlink("/dev/zero", archive); }, false},
      {"link to /dev/zero, with a digest", [&] { fs::create_symlink("/dev/zero", archive); },
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    tree.snapshot_target();
    pid_t application = ::fork();
    if (application == 0) {
      ::pause();
      ::_exit(0);
    }
    std::vector<std::string> arguments{"--archive",    archive,
                                       "--target-app", tree.target(),
                                       "--parent-pid", std::to_string(application),
                                       "--bundle-id",  "com.example.zentrivale",
                                       "--no-relaunch"};
    if (row.with_digest) arguments = with(arguments, {"--archive-sha256", digest});
    // A run that hangs is killed, and then fails the test.
    Outcome outcome;
    std::thread run([&] {
      outcome = run_program("/usr/bin/timeout", with({"-s", "KILL", "60", INSTALLER_PROGRAM},
                                                     arguments),
                            tree.environment(), tree.root());
    });
    auto waiting = [&] {
      std::vector<std::string> log = tree.log_messages();
      return !log.empty() && log.back() == "waiting for the application to exit...";
    };
    for (int i = 0; i < 200 && !waiting(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_TRUE(waiting());
    fs::rename(archive, aside);
    row.swap();
    ::kill(application, SIGKILL);
    ::waitpid(application, nullptr, 0);
    run.join();

    EXPECT_EQ(outcome.exit_status, 1) << outcome.standard_error;
    EXPECT_EQ(tree.log_messages().back(),
              "update installation failed: could not read the update archive: it is not a "
              "regular file");
    EXPECT_FALSE(has_staging(tree));
    EXPECT_TRUE(tree.target_matches_snapshot());

    // The archive back in place, the next run installs without waiting for a
    // lock.
    fs::remove(archive);
    fs::rename(aside, archive);
    size_t logged = tree.log_messages().size();
    Outcome next = tree.install(with(tree.standard_arguments(archive), {"--no-relaunch"}));
    EXPECT_EQ(next.exit_status, 0) << next.standard_error;
    EXPECT_EQ(tree.version_of(tree.target()), "2");
    std::vector<std::string> log = tree.log_messages();
    EXPECT_TRUE(std::none_of(log.begin() + static_cast<long>(logged), log.end(),
                             [](const std::string& m) { return m.rfind("waiting for another", 0) == 0; }));
    tree.make_bundle(tree.target(), "1");
  }
}

TEST_F(TamperedUpdateTest, WithoutPermissionOverridesWhatCannotBeListedIsStillRemovedOrNamed) {
  if (::geteuid() == 0 &&
      run_program("/usr/bin/setpriv", {"--inh-caps=-all", "--bounding-set=-all", "/bin/true"},
                  tree.environment())
              .exit_status != 0) {
    GTEST_SKIP() << "setpriv cannot drop the capabilities here";
  }
  const std::string staging = tree.install_directory() + "/.zentrivale-update-staging-";

  // A refused archive whose empty directory nobody may list or search.
  std::string refused = update([](const std::string& b) {
    test_support::make_dir(b + "/Contents/locked", 0);
  });
  tree.snapshot_target();
  Outcome outcome = install_without_overrides(with(tree.standard_arguments(refused), {"--no-relaunch"}));
  expect_refused_on_one_line(tree, outcome, "could not read " + staging,
                             "/Zentrivale.app/Contents/locked: Permission denied (os error 13)");

  // A leftover that holds a directory of another user: logged by name on
  // every run that cannot remove it; the update installs all the same.
  // Entries that only their owner may read or write lose their quarantine
  // attribute, and keep their modes.
  if (::geteuid() == 0) {
    std::string leftover = staging + "1";
    write_file(leftover + "/foreign/file", "not ours\n");
    ASSERT_EQ(::chown((leftover + "/foreign").c_str(), 65534, 65534), 0);
  }
  std::string accepted = update([](const std::string& b) {
    write_file(b + "/Contents/Resources/read-only.txt", "sealed\n", 0444);
    write_file(b + "/Contents/Resources/sealed/inside.txt", "sealed\n", 0444);
    fs::permissions(b + "/Contents/Resources/sealed", fs::perms(0555));
  });
  ditto_then("/usr/bin/find \"$4\" ! -type l -exec /bin/sh -c 'for f; do m=$(/usr/bin/stat -c %a "
             "\"$f\"); /usr/bin/chmod u+w \"$f\"; /usr/bin/setfattr -n " + std::string(kQuarantine) +
             " -v 0081 \"$f\"; /usr/bin/chmod \"$m\" \"$f\"; done' sh {} +");
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    Outcome installed =
        install_without_overrides(with(tree.standard_arguments(accepted), {"--no-relaunch"}));
    ASSERT_EQ(installed.exit_status, 0) << installed.standard_error;
    if (::geteuid() == 0) {
      std::vector<std::string> log = tree.log_messages();
      EXPECT_EQ(std::count(log.begin(), log.end(),
                           "could not remove stale " + staging + "1: Permission denied (os error 13)"),
                run + 1)
          << ::testing::PrintToString(log);
    }
  }
  // The backups of the earlier runs, read-only entries and all, went too.
  std::vector<std::string> names = list_directory(tree.install_directory());
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& n) { return n.rfind(".Zentrivale.backup-", 0) == 0; }),
            1)
      << ::testing::PrintToString(names);
  for (const auto& entry : fs::recursive_directory_iterator(tree.target())) {
    if (entry.is_symlink()) continue;
    EXPECT_EQ(::lgetxattr(entry.path().c_str(), kQuarantine, nullptr, 0), -1) << entry.path();
  }
  struct stat status;
  ASSERT_EQ(::stat((tree.target() + "/Contents/Resources/read-only.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0444u);
  ASSERT_EQ(::stat((tree.target() + "/Contents/Resources/sealed").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0555u);
}

}  // namespace
}  // namespace hostile
