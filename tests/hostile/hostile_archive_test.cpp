// Hostile update archives, through the built installer and the ditto
// stand-in, the way the application starts an update. Each archive is
// refused with its exact message or installed as it should be; either way
// nothing is written outside the staging directory: the whole temporary tree
// (install directory, installed bundle file by file, the directory the
// archive tries to reach) is compared before and after, and so are the
// entries beside the tree.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "installer_harness.h"
#include "tree_snapshot.h"
#include "zip_writer.h"

namespace hostile {
namespace {

using namespace installer_test;
using test_support::same_tree;
using test_support::Snapshot;
using test_support::snapshot;
using Messages = std::vector<std::string>;

const std::string kCorrupt = "could not extract the update archive (corrupt ZIP?)";
const std::string kLog = "home/Library/Logs/Zentrivale/update-helper.log";

// Whether `base` followed by `levels` directories named `name`, then a file
// `leaf`, exists; walked with openat, so paths beyond PATH_MAX work.
bool deep_file_exists(const std::string& base, const std::string& name, int levels,
                      const std::string& leaf) {
  int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; fd >= 0 && level < levels; ++level) {
    int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  if (fd < 0) return false;
  struct stat st;
  bool found = ::fstatat(fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return found;
}

// Entries of `directory` whose names begin with `prefix`.
std::set<std::string> entries_with_prefix(const std::string& directory, const std::string& prefix) {
  std::set<std::string> names;
  if (DIR* listing = ::opendir(directory.c_str())) {
    while (dirent* entry = ::readdir(listing)) {
      std::string name = entry->d_name;
      if (name.compare(0, prefix.size(), prefix) == 0) names.insert(name);
    }
    ::closedir(listing);
  }
  return names;
}


std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

class HostileArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    beside_ = parent_of(tree.root());
    prefix_ = name_of(tree.root());
    // The log directory exists beforehand, so that only the log file itself
    // may differ after a run.
    std::system(("mkdir -p '" + tree.home() + "/Library/Logs/Zentrivale' '" + outside() + "'")
                    .c_str());
    write_file(outside() + "/sentinel", "must stay\n");
  }
  void TearDown() override {
    // Whatever an archive managed to put beside the tree.
    for (const std::string& name : entries_with_prefix(beside_, prefix_ + "-")) {
      std::system(("rm -rf '" + beside_ + "/" + name + "'").c_str());
    }
  }

  // A directory outside the install directory that links in archives point at.
  std::string outside() const { return tree.root() + "/outside"; }
  std::string staging_prefix() const {
    return tree.install_directory() + "/.zentrivale-update-staging-";
  }

  // A complete bundle in T/source/<name>, signed unless told otherwise, with
  // `extra` run on it before signing.
  std::string source_bundle(const std::string& name = "Zentrivale.app",
                            const std::string& version = "2", bool sign = true,
                            const std::function<void(const std::string&)>& extra = {}) {
    std::string path = tree.root() + "/source/" + name;
    std::system(("rm -rf '" + path + "'").c_str());
    tree.make_bundle(path, version);
    if (extra) extra(path);
    if (sign) tree.sign(path);
    return path;
  }

  // The bundle's entries under `name` in `zip`.
  void add_bundle(ZipWriter& zip, const std::string& bundle, const std::string& name) {
    zip.directory(name);
    ASSERT_TRUE(zip.tree(bundle, name + "/")) << bundle;
  }

  std::string write_archive(const ZipWriter& zip, const std::string& file) {
    std::string path = tree.root() + "/" + file;
    EXPECT_TRUE(zip.write(path)) << path;
    return path;
  }

  std::vector<std::string> arguments(const std::string& archive,
                                     const std::vector<std::string>& flags = {"--no-relaunch"}) {
    std::vector<std::string> result = tree.standard_arguments(archive);
    result.insert(result.end(), flags.begin(), flags.end());
    return result;
  }

  // Ordinary signed updates, one after the other.
  void install_plain_updates(const std::vector<std::string>& versions) {
    for (const std::string& version : versions) {
      ZipWriter plain;
      add_bundle(plain, source_bundle("Zentrivale.app", version), "Zentrivale.app");
      Outcome outcome = tree.install(arguments(write_archive(plain, "plain.zip")));
      ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
    }
  }

  Messages opening_lines(const std::vector<std::string>& args) const {
    return {"installing " + args[1] + " over " + args[3] + " (parent pid " + args[5] + ")",
            "waiting for the application to exit...", "extracting the update archive..."};
  }

  // Runs the installer on `archive` and checks a refusal: exit status 1, the
  // exact log, nothing changed in the tree but the log file, nothing new
  // beside the tree. A `pid_suffix` means the message names the staging
  // directory: `message`, the installer's process ID, then the suffix.
  void expect_refused(const std::string& archive, const std::string& message,
                      bool reaches_verification = false, const std::string& pid_suffix = "") {
    Snapshot before = snapshot(tree.root(), {kLog});
    std::set<std::string> beside = entries_with_prefix(beside_, prefix_);
    size_t logged = tree.log_messages().size();
    std::vector<std::string> args = arguments(archive);

    Outcome outcome = tree.install(args);

    EXPECT_EQ(outcome.exit_status, 1) << outcome.standard_error;
    Messages log = tree.log_messages();
    log.erase(log.begin(), log.begin() + static_cast<long>(std::min(logged, log.size())));
    ASSERT_FALSE(log.empty());
    std::string last = log.back();
    log.pop_back();
    Messages expected = opening_lines(args);
    if (reaches_verification) expected.push_back("verifying the new application bundle...");
    EXPECT_EQ(log, expected);
    std::string failure = "update installation failed: " + message;
    if (pid_suffix.empty()) {
      EXPECT_EQ(last, failure);
    } else {
      EXPECT_TRUE(matches_with_pid(last, failure, pid_suffix));
    }
    std::string echo = "[update-helper] " + last + "\n";
    EXPECT_EQ(outcome.standard_error.substr(outcome.standard_error.size() -
                                            std::min(echo.size(), outcome.standard_error.size())),
              echo);
    EXPECT_TRUE(same_tree(before, snapshot(tree.root(), {kLog})));
    EXPECT_EQ(entries_with_prefix(beside_, prefix_), beside);
  }

  InstallTree tree;
  std::string beside_;  // the directory that holds the tree
  std::string prefix_;  // the tree's name there
};

TEST_F(HostileArchiveTest, EntriesReachingOutsideTheStagingDirectoryAreRefused) {
  std::string bundle = source_bundle();
  struct Case {
    std::string name;
    std::function<void(ZipWriter&)> add;
  };
  const std::string beside_name = prefix_ + "-escaped";
  std::vector<Case> cases{
      {"parent of staging", [](ZipWriter& z) { z.file("../escaped", "x"); }},
      {"parent of the install directory", [](ZipWriter& z) { z.file("../../escaped", "x"); }},
      {"beside the tree", [&](ZipWriter& z) { z.file("../../../" + beside_name, "x"); }},
      {"absolute",
       [&](ZipWriter& z) { z.file(beside_ + "/" + prefix_ + "-absolute", "x"); }},
      {"through the bundle",
       [](ZipWriter& z) { z.file("Zentrivale.app/../../escaped", "x"); }},
      {"hidden behind a dot", [](ZipWriter& z) { z.file("./../escaped", "x"); }},
      {"backslashes from Windows",
       [](ZipWriter& z) { z.entry("..\\..\\escaped", "x", S_IFREG | 0644, 0); }},
      {"through a link in the bundle",
       [&](ZipWriter& z) {
         z.symlink("Zentrivale.app/Contents/Resources/outside", outside());
         z.file("Zentrivale.app/Contents/Resources/outside/planted", "x");
       }},
      {"through a relative link at the root",
       [](ZipWriter& z) {
         z.symlink("escape", "../..");
         z.file("escape/planted", "x");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZipWriter zip;
    add_bundle(zip, bundle, "Zentrivale.app");
    c.add(zip);
    expect_refused(write_archive(zip, "slip.zip"), kCorrupt);
    EXPECT_EQ(installer_test::list_directory(outside()), std::vector<std::string>{"sentinel"});
  }
}

TEST_F(HostileArchiveTest, BundleThatIsASymbolicLinkIsRefusedAndNotFollowed) {
  const std::vector<std::pair<std::string, std::string>> targets{
      {"the installed bundle, relative", "../Zentrivale.app"},
      {"the installed bundle, absolute", tree.target()},
      {"the root", "/"},
      {"nothing", "missing"},
  };
  for (const auto& [label, target] : targets) {
    SCOPED_TRACE(label);
    ZipWriter zip;
    zip.symlink("Zentrivale.app", target);
    expect_refused(write_archive(zip, "link.zip"),
                   "refusing symlinked application bundle in archive: " + staging_prefix(), false,
                   "/Zentrivale.app");
  }
}

// Links inside a bundle are content: sealed by their targets, installed as
// links, and never followed when the bundle is moved, kept as a backup or
// removed.
TEST_F(HostileArchiveTest, LinksInsideTheBundleStayLinksThroughInstallAndRemoval) {
  auto with_links = [this](const std::string& bundle) {
    ASSERT_EQ(::symlink(outside().c_str(), (bundle + "/Contents/Resources/outside").c_str()), 0);
    ASSERT_EQ(::symlink("../../../../..", (bundle + "/Contents/Resources/up").c_str()), 0);
    ASSERT_EQ(::symlink((tree.target() + "/Contents").c_str(),
                        (bundle + "/Contents/Resources/installed").c_str()),
              0);
  };
  Snapshot outside_before = snapshot(outside());

  // Unsigned: refused after extraction; the clean-up removes the links only.
  ZipWriter unsigned_zip;
  add_bundle(unsigned_zip, source_bundle("Zentrivale.app", "2", false, with_links),
             "Zentrivale.app");
  expect_refused(write_archive(unsigned_zip, "unsigned.zip"),
                 "the updated application's code signature is invalid", true);

  // Signed: installed with the links as links.
  ZipWriter zip;
  add_bundle(zip, source_bundle("Zentrivale.app", "2", true, with_links), "Zentrivale.app");
  Outcome outcome = tree.install(arguments(write_archive(zip, "links.zip")));
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  EXPECT_EQ(tree.version_of(tree.target()), "2");
  Snapshot installed = snapshot(tree.target());
  EXPECT_EQ(installed["Contents/Resources/outside"], "link " + outside());
  EXPECT_EQ(installed["Contents/Resources/up"], "link ../../../../..");

  // Two more updates: the bundle with the links becomes the backup, then is
  // removed as a stale backup.
  install_plain_updates({"3", "4"});
  EXPECT_EQ(tree.version_of(tree.target()), "4");
  std::vector<std::string> names = installer_test::list_directory(tree.install_directory());
  ASSERT_EQ(names.size(), 2u) << ::testing::PrintToString(names);
  EXPECT_EQ(tree.version_of(tree.install_directory() + "/" + names[0]), "3");
  EXPECT_TRUE(same_tree(outside_before, snapshot(outside())));
  EXPECT_EQ(read_file(outside() + "/sentinel"), "must stay\n");
}

TEST_F(HostileArchiveTest, BundlesOfTheWrongNumberOrNameAreRefused) {
  std::string source = tree.root() + "/source";
  struct Case {
    std::string name;
    std::function<void(ZipWriter&)> add;
    std::string message;
  };
  std::vector<Case> cases{
      {"two bundles",
       [&](ZipWriter& z) {
         add_bundle(z, source_bundle(), "Zentrivale.app");
         add_bundle(z, source_bundle("Other.app"), "Other.app");
       },
       "expected exactly one .app bundle at the ZIP root; found 2"},
      {"bundle inside a folder",
       [&](ZipWriter& z) {
         z.directory("folder");
         add_bundle(z, source_bundle(), "folder/Zentrivale.app");
       },
       "expected exactly one .app bundle at the ZIP root; found 0"},
      {"name in another letter case",
       [&](ZipWriter& z) { add_bundle(z, source_bundle("zentrivale.app"), "zentrivale.app"); },
       "archive contains Some(\"zentrivale.app\"), expected Some(\"Zentrivale.app\")"},
      {"extension in another letter case",
       [&](ZipWriter& z) { add_bundle(z, source_bundle("Zentrivale.APP"), "Zentrivale.APP"); },
       "expected exactly one .app bundle at the ZIP root; found 0"},
      {"a file named like the bundle",
       [](ZipWriter& z) { z.file("Zentrivale.app", "not a directory"); },
       "expected exactly one .app bundle at the ZIP root; found 0"},
      {"control character and invalid UTF-8 in the name",
       [&](ZipWriter& z) {
         add_bundle(z, source_bundle("Zentri\nvale\xff.app"), "Zentri\nvale\xff.app");
       },
       "archive contains Some(\"Zentri\\nvale\xEF\xBF\xBD.app\"), expected "
       "Some(\"Zentrivale.app\")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::system(("rm -rf '" + source + "'/*").c_str());
    ZipWriter zip;
    c.add(zip);
    expect_refused(write_archive(zip, "bundles.zip"), c.message);
  }
}

TEST_F(HostileArchiveTest, DamagedOrEmptyArchivesAreRefused) {
  ZipWriter good;
  add_bundle(good, source_bundle(), "Zentrivale.app");
  const std::string bytes = good.bytes();
  // The stored Info.plist's first byte, changed after its checksum was taken.
  std::string bad_checksum = bytes;
  size_t plist = bad_checksum.find("<?xml");
  ASSERT_NE(plist, std::string::npos);
  bad_checksum[plist] = '!';

  const std::vector<std::pair<std::string, std::string>> files{
      {"text.zip", "this is not a zip archive\n"},
      {"empty-file.zip", ""},
      {"truncated.zip", bytes.substr(0, bytes.size() / 2)},
      {"checksum.zip", bad_checksum},
  };
  for (const auto& [file, content] : files) {
    SCOPED_TRACE(file);
    write_file(tree.root() + "/" + file, content);
    expect_refused(tree.root() + "/" + file, kCorrupt);
  }

  SCOPED_TRACE("a ZIP without entries");
  expect_refused(write_archive(ZipWriter(), "no-entries.zip"),
                 "expected exactly one .app bundle at the ZIP root; found 0");
}

// Set-id bits and device nodes have no place in an application update; the
// stand-in refuses them before anything is extracted. Run as root, bsdtar
// would restore a set-user-ID bit on a file that root then owns, readable by
// everyone in the staging directory, and the seal (which covers execute bits
// only) would let the bundle be installed with it.
TEST_F(HostileArchiveTest, SetIdBitsAndDevicesAreRefused) {
  std::string bundle = source_bundle("Zentrivale.app", "2", true, [](const std::string& path) {
    write_file(path + "/Contents/Resources/special", "#!/bin/sh\n", 0755);
  });
  const std::vector<std::pair<std::string, uint32_t>> entries{
      {"set-user-ID", S_IFREG | 04755},
      {"set-group-ID", S_IFREG | 02755},
      {"character device", S_IFCHR | 0644},
      {"block device", S_IFBLK | 0644},
  };
  for (const auto& special : entries) {
    SCOPED_TRACE(special.first);
    const uint32_t mode = special.second;
    ZipWriter zip;
    zip.directory("Zentrivale.app");
    ASSERT_TRUE(zip.tree(bundle, "Zentrivale.app/", [&](const std::string& name) {
      return name == "Zentrivale.app/Contents/Resources/special" ? mode : 0;
    }));
    expect_refused(write_archive(zip, "special.zip"), kCorrupt);
  }
}

// 2,000 levels of "dir/": an entry name of 8,000 bytes, well within the
// 65,535 bytes a ZIP name may have, and deeper than PATH_MAX (4,096) once
// under the staging directory. Extraction, the clean-up after a refusal and
// the removal of the old backup all work below PATH_MAX by descriptor.
TEST_F(HostileArchiveTest, TreeTwoThousandLevelsDeep) {
  const int levels = 2000;
  std::string deep;
  for (int i = 0; i < levels; ++i) deep += "dir/";
  auto deep_bundle = [&](const std::string& identifier) {
    ZipWriter zip;
    std::string bundle = source_bundle("Zentrivale.app", "2", false);
    tree.make_bundle(bundle, "2", identifier);  // rewrites Info.plist
    add_bundle(zip, bundle, "Zentrivale.app");
    zip.file("Zentrivale.app/Contents/Resources/" + deep + "leaf", "bottom\n");
    return zip;
  };

  ZipWriter wrong = deep_bundle("com.example.other");
  std::string archive = write_archive(wrong, "deep-wrong.zip");
  ASSERT_GT(read_file(archive).size(), 8000u);
  std::vector<std::string> skip{"--insecure-skip-signature-verification", "--no-relaunch"};
  {
    SCOPED_TRACE("refused after extraction");
    Snapshot before = snapshot(tree.root(), {kLog});
    Outcome outcome = tree.install(arguments(archive, skip));
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_EQ(tree.log_messages().back(),
              "update installation failed: bundle identifier mismatch: expected "
              "com.example.zentrivale, got com.example.other");
    EXPECT_TRUE(same_tree(before, snapshot(tree.root(), {kLog})));
  }

  ZipWriter right = deep_bundle("com.example.zentrivale");
  Outcome outcome = tree.install(arguments(write_archive(right, "deep.zip"), skip));
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  EXPECT_TRUE(deep_file_exists(tree.target() + "/Contents/Resources", "dir", levels, "leaf"));

  // The next update keeps the deep bundle as its backup; the one after that
  // removes it.
  install_plain_updates({"3", "4"});
  std::vector<std::string> names = installer_test::list_directory(tree.install_directory());
  ASSERT_EQ(names.size(), 2u) << ::testing::PrintToString(names);
  EXPECT_EQ(tree.version_of(tree.install_directory() + "/" + names[0]), "3");
}

class SlowHostileArchiveTest : public HostileArchiveTest {};

// 100,000 small files in 100 folders: extracted, found, swapped in by one
// rename, and the staging directory removed, in well under two minutes.
TEST_F(SlowHostileArchiveTest, HundredThousandSmallFiles) {
  ZipWriter zip;
  add_bundle(zip, source_bundle("Zentrivale.app", "2", false), "Zentrivale.app");
  const std::string many = "Zentrivale.app/Contents/Resources/many/";
  zip.directory(many.substr(0, many.size() - 1));
  for (int folder = 0; folder < 100; ++folder) {
    std::string directory = many + std::to_string(folder);
    zip.directory(directory);
    for (int file = 0; file < 1000; ++file) {
      zip.file(directory + "/" + std::to_string(file), std::to_string(folder * 1000 + file));
    }
  }
  ASSERT_GT(zip.entries(), 100000u);
  std::string archive = write_archive(zip, "many.zip");
  Snapshot outside_before = snapshot(tree.root(), {kLog, "Applications"});

  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> args =
      arguments(archive, {"--insecure-skip-signature-verification", "--no-relaunch"});
  Outcome outcome = tree.install(args);
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::steady_clock::now() - start).count();

  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  EXPECT_LT(seconds, 120);
  EXPECT_EQ(tree.version_of(tree.target()), "2");
  Snapshot installed = snapshot(tree.target() + "/Contents/Resources/many");
  EXPECT_EQ(installed.size(), 100u + 100000u);
  EXPECT_EQ(read_file(tree.target() + "/Contents/Resources/many/99/999"), "99999");
  EXPECT_TRUE(same_tree(outside_before, snapshot(tree.root(), {kLog, "Applications"})));

  Messages log = tree.log_messages();
  ASSERT_EQ(log.size(), 8u) << ::testing::PrintToString(log);
  Messages expected = opening_lines(args);
  expected.insert(expected.end(),
                  {"verifying the new application bundle...",
                   "WARNING: skipping code-signature and Gatekeeper verification (development flag)",
                   "installing the new application..."});
  EXPECT_EQ(Messages(log.begin(), log.begin() + 6), expected);
  EXPECT_TRUE(matches_with_pid(log[6], "previous version kept as rollback backup at " +
                                           tree.install_directory() + "/.Zentrivale.backup-",
                               ""));
  EXPECT_EQ(log[7], "update installed successfully");
}

}  // namespace
}  // namespace hostile
