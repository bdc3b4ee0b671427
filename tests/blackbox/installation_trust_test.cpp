// What an installation checks and leaves beyond the swap: only a newer
// version, only the archive the feed named, one installation at a time, and
// a bundle that lands as a Mac application should.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <thread>

#include "bundles.h"
#include "file_digest.h"
#include "installer_harness.h"

namespace installer_test {
namespace {

namespace fs = std::filesystem;

const char kQuarantine[] = "user.com.apple.quarantine";

std::vector<std::string> with(std::vector<std::string> arguments,
                              const std::vector<std::string>& more) {
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

void without_version_key(const std::string& bundle) {
  write_file(bundle + "/Contents/Info.plist",
             test_support::info_plist(
                 test_support::plist_string("CFBundleExecutable", "Zentrivale") +
                 test_support::plist_string("CFBundleIdentifier", "com.example.zentrivale")));
}

bool has_staging(const InstallTree& tree) {
  std::vector<std::string> names = list_directory(tree.install_directory());
  return std::any_of(names.begin(), names.end(), [](const std::string& name) {
    return name.rfind(".zentrivale-update-staging-", 0) == 0;
  });
}

TEST(InstallationTrustTest, RefuseDowngradeComparesBundleVersions) {
  struct Row {
    const char* installed;  // nullptr: Info.plist without CFBundleVersion
    const char* update;
    bool refuse;
    std::string failure;  // "" when it installs
  } rows[] = {
      {"2.4", "2.3.9", true, "the update (version 2.3.9) is older than the installed "
                             "application (version 2.4)"},
      {"2.10", "2.9.99", true, "the update (version 2.9.99) is older than the installed "
                               "application (version 2.10)"},
      {"2.4", "2.4.0", true, ""},  // the same version: a repair
      {"2.4", "2.10", true, ""},
      {"2.4", "2.3.9", false, ""},  // without the flag nothing is compared
      {"2.4", "2.5-beta", true, "cannot compare bundle versions 2.5-beta and 2.4"},
      {nullptr, "3", true,
       "could not read CFBundleVersion from the installed application's Info.plist"},
      {"1", nullptr, true, "could not read CFBundleVersion from the application's Info.plist"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.installed ? row.installed : "none") + " -> " +
                 (row.update ? row.update : "none"));
    InstallTree tree;
    tree.make_bundle(tree.target(), row.installed ? row.installed : "1");
    if (!row.installed) without_version_key(tree.target());
    std::string bundle = tree.root() + "/source/Zentrivale.app";
    tree.make_bundle(bundle, row.update ? row.update : "2");
    if (!row.update) without_version_key(bundle);
    tree.sign(bundle);
    std::string archive = tree.zip(tree.root() + "/source", {"Zentrivale.app"});
    tree.snapshot_target();

    std::vector<std::string> arguments = with(tree.standard_arguments(archive), {"--no-relaunch"});
    if (row.refuse) arguments.push_back("--refuse-downgrade");
    Outcome outcome = tree.install(arguments);
    if (row.failure.empty()) {
      EXPECT_EQ(outcome.exit_status, 0) << outcome.standard_error;
      EXPECT_EQ(tree.version_of(tree.target()), row.update ? row.update : "2");
    } else {
      EXPECT_EQ(outcome.exit_status, 1);
      EXPECT_EQ(tree.log_messages().back(), "update installation failed: " + row.failure);
      EXPECT_TRUE(tree.target_matches_snapshot());
      EXPECT_FALSE(has_staging(tree));
    }
  }
}

TEST(InstallationTrustTest, OlderUpdateIsRefusedByAVerificationWhileTheApplicationRuns) {
  InstallTree tree;
  tree.make_bundle(tree.target(), "5");
  std::string archive = tree.signed_update("4");
  Outcome outcome =
      tree.install({"--verify-only", "--refuse-downgrade", "--archive", archive, "--target-app",
                    tree.target(), "--parent-pid", std::to_string(getpid()), "--bundle-id",
                    "com.example.zentrivale"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(tree.log_messages().back(),
            "update verification failed: the update (version 4) is older than the installed "
            "application (version 5)");
}

TEST(InstallationTrustTest, ArchiveDigestDecidesBeforeAnythingIsExtracted) {
  InstallTree tree;
  tree.use_all_stand_ins();
  // Records how ditto was run and what its standard input is, then extracts.
  std::string record = tree.root() + "/ditto.record";
  tree.use_script("usr/bin/ditto", "echo \"$*\" >> '" + record +
                                       "'\nreadlink /proc/$$/fd/0 >> '" + record + "'\nexec '" +
                                       STAND_IN_ROOT + "/usr/bin/ditto' \"$@\"");
  std::string archive = tree.signed_update();
  std::string digest = test_support::sha256_hex_of_file(archive);
  std::string other = digest;
  other[0] = other[0] == '0' ? '1' : '0';
  tree.snapshot_target();

  Outcome refused = tree.install_with_doubles(
      with(tree.standard_arguments(archive), {"--no-relaunch", "--archive-sha256", other}));
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(tree.log_messages().back(),
            "update installation failed: the update archive does not match its SHA-256 digest");
  EXPECT_EQ(read_file(record), "");
  EXPECT_FALSE(has_staging(tree));
  EXPECT_TRUE(tree.target_matches_snapshot());

  std::string upper = digest;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  Outcome installed = tree.install_with_doubles(
      with(tree.standard_arguments(archive), {"--no-relaunch", "--archive-sha256", upper}));
  ASSERT_EQ(installed.exit_status, 0) << installed.standard_error;
  EXPECT_EQ(tree.version_of(tree.target()), "2");
  // ditto read the descriptor that was hashed: the archive, on standard input.
  std::string staging = tree.install_directory() + "/.zentrivale-update-staging-";
  std::string lines = read_file(record);
  ASSERT_TRUE(matches_with_pid(lines.substr(0, lines.find('\n')), "-x -k - " + staging, ""))
      << lines;
  EXPECT_EQ(lines.substr(lines.find('\n') + 1), archive + "\n");
}

TEST(InstallationTrustTest, NewBundleLandsWritableByItsOwnerOnlyUnquarantinedAndNewlyDated) {
  InstallTree tree;
  tree.use_all_stand_ins();
  std::string bundle = tree.root() + "/source/Zentrivale.app";
  tree.make_bundle(bundle, "2");
  write_file(bundle + "/Contents/Resources/shared.txt", "anyone may write\n", 0666);
  chmod((bundle + "/Contents/Resources").c_str(), 0775);
  test_support::make_symlink("version.txt", bundle + "/Contents/Resources/link");
  tree.sign(bundle);
  // ditto restores the archive's old modification time.
  const struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, bundle.c_str(), old_times, AT_SYMLINK_NOFOLLOW), 0);
  std::string archive = tree.zip(tree.root() + "/source", {"Zentrivale.app"});
  // A download is quarantined, and so is everything ditto extracts from it.
  tree.use_script("usr/bin/ditto", "'" + std::string(STAND_IN_ROOT) +
                                       "/usr/bin/ditto' \"$@\" || exit\n/usr/bin/find \"$4\" ! "
                                       "-type l -exec /usr/bin/setfattr -n " + kQuarantine +
                                       " -v 0081 {} +");

  Outcome verified = tree.install_with_doubles(
      {"--verify-only", "--archive", archive, "--target-app", tree.target(), "--bundle-id",
       "com.example.zentrivale"});
  ASSERT_EQ(verified.exit_status, 0) << verified.standard_error;
  std::vector<std::string> log = tree.log_messages();
  EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const std::string& m) {
    return m.rfind("cleared the quarantine", 0) == 0;
  }));

  std::time_t before = std::time(nullptr);
  Outcome installed =
      tree.install_with_doubles(with(tree.standard_arguments(archive), {"--no-relaunch"}));
  ASSERT_EQ(installed.exit_status, 0) << installed.standard_error;
  size_t entries = 0;
  for (const auto& entry : fs::recursive_directory_iterator(tree.target())) {
    struct stat st;
    ASSERT_EQ(lstat(entry.path().c_str(), &st), 0);
    if (S_ISLNK(st.st_mode)) continue;
    ++entries;
    EXPECT_EQ(st.st_mode & 022, 0u) << entry.path();
    EXPECT_EQ(lgetxattr(entry.path().c_str(), kQuarantine, nullptr, 0), -1) << entry.path();
  }
  EXPECT_EQ(std::string(fs::read_symlink(tree.target() + "/Contents/Resources/link")),
            "version.txt");
  log = tree.log_messages();
  // The bundle itself and every file and directory in it; the link is left alone.
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "cleared the quarantine attribute from " + std::to_string(entries + 1) +
                          " entries"),
            log.end())
      << ::testing::PrintToString(log);
  EXPECT_EQ(std::find(log.begin(), log.end(), "installing the new application...") - log.begin(),
            std::find_if(log.begin(), log.end(),
                         [](const std::string& m) { return m.rfind("cleared the", 0) == 0; }) -
                log.begin() + 1);
  struct stat target;
  ASSERT_EQ(lstat(tree.target().c_str(), &target), 0);
  EXPECT_GE(target.st_mtime, before);
  EXPECT_EQ(target.st_mode & 07777, 0755u);
}

TEST(InstallationTrustTest, OverlappingRunsOnOneInstallDirectoryBothInstallCompletely) {
  InstallTree tree;
  tree.use_all_stand_ins();
  // The first run lingers between its checks and its swap.
  tree.use_script("usr/sbin/spctl",
                  "/usr/bin/sleep 2\nexec '" + std::string(STAND_IN_ROOT) + "/usr/sbin/spctl' \"$@\"");
  std::string first = tree.signed_update("2");
  fs::rename(first, tree.root() + "/first.zip");
  std::string second = tree.signed_update("3");

  Outcome a;
  std::thread run_a([&] {
    a = tree.install_with_doubles(
        with(tree.standard_arguments(tree.root() + "/first.zip"), {"--no-relaunch"}));
  });
  auto logged = [&](const std::string& message) {
    std::vector<std::string> log = tree.log_messages();
    return std::find(log.begin(), log.end(), message) != log.end();
  };
  for (int i = 0; i < 100 && !logged("verifying the new application bundle..."); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Outcome b = tree.install(with(tree.standard_arguments(second), {"--no-relaunch"}));
  run_a.join();

  EXPECT_EQ(a.exit_status, 0) << a.standard_error;
  EXPECT_EQ(b.exit_status, 0) << b.standard_error;
  EXPECT_TRUE(logged("waiting for another update installation in " + tree.install_directory() +
                     " to finish..."));
  std::vector<std::string> log = tree.log_messages();
  EXPECT_EQ(std::count(log.begin(), log.end(), "update installed successfully"), 2);
  EXPECT_EQ(tree.version_of(tree.target()), "3");
  EXPECT_TRUE(lexists(tree.target() + "/Contents/Info.plist"));
  EXPECT_TRUE(lexists(tree.target() + "/Contents/MacOS/Zentrivale"));
  EXPECT_FALSE(has_staging(tree));
}

TEST(InstallationTrustTest, InstallerLeadsASessionOfItsOwnAndIgnoresHangUps) {
  InstallTree tree;
  tree.use_all_stand_ins();
  std::string record = tree.root() + "/session.record";
  // The installer's session and ignored signals, then the tool's own.
  tree.use_script("usr/bin/codesign",
                  "/usr/bin/cut -d' ' -f6 /proc/$PPID/stat >> '" + record +
                      "'\n/usr/bin/grep SigIgn /proc/$PPID/status >> '" + record +
                      "'\n/usr/bin/grep SigIgn /proc/$$/status >> '" + record + "'\nexec '" +
                      STAND_IN_ROOT + "/usr/bin/codesign' \"$@\"");
  Outcome outcome = tree.install_with_doubles(
      with(tree.standard_arguments(tree.signed_update()), {"--no-relaunch"}));
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;

  std::vector<std::string> lines;
  std::string text = read_file(record);
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), 3u) << text;
  EXPECT_EQ(lines[0], std::to_string(outcome.pid));
  auto ignored = [](const std::string& line) {
    return std::stoull(line.substr(line.find_first_of("0123456789abcdef")), nullptr, 16);
  };
  EXPECT_NE(ignored(lines[1]) & (1ull << (SIGHUP - 1)), 0u) << lines[1];
  EXPECT_EQ(ignored(lines[2]) & (1ull << (SIGHUP - 1)), 0u) << lines[2];
}

}  // namespace
}  // namespace installer_test
