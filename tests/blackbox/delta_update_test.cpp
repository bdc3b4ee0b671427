// Delta updates as a release and the application meet them: bundle_delta
// makes the archive, the built installer rebuilds and installs it with
// --delta, or refuses it with the installed bundle untouched.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bundles.h"
#include "delta_manifest.h"
#include "fault_injection.h"
#include "file_digest.h"
#include "installer_harness.h"

#ifndef BUNDLE_DELTA
#error "BUNDLE_DELTA and FAULT_INJECTION_LIBRARY come from the build"
#endif

namespace installer_test {
namespace {

class DeltaUpdateTest : public ::testing::Test {
 protected:
  // The installed version 1 gets a framework, a large file and a file the
  // next version drops; version 2 changes, adds and keeps.
  void SetUp() override {
    dress(tree.target(), "1");
    new_bundle = tree.root() + "/source/Zentrivale.app";
    tree.make_bundle(new_bundle, "2");
    dress(new_bundle, "2");
    write_file(new_bundle + "/Contents/Resources/added file.txt", "new in 2\n");
    unlink((new_bundle + "/Contents/Resources/dropped.txt").c_str());
    tree.sign(new_bundle);
    // The release keeps a copy of what it published as version 1.
    test_support::make_dir(tree.root() + "/v1");
    Outcome copied = run_program("/bin/cp", {"-a", tree.target(), published()},
                                 tree.environment(), tree.root());
    ASSERT_EQ(copied.exit_status, 0) << copied.standard_error;
  }

  std::string published() const { return tree.root() + "/v1/Zentrivale.app"; }

  void dress(const std::string& bundle, const std::string& version) const {
    std::string framework = bundle + "/Contents/Frameworks/Media.framework";
    write_file(framework + "/Versions/A/Media", "media library " + version + "\n", 0755);
    test_support::make_symlink("A", framework + "/Versions/Current");
    test_support::make_symlink("Versions/Current/Media", framework + "/Media");
    test_support::make_dir(bundle + "/Contents/Resources/empty");
    // Bytes only a delta keeps small: the same in each version but for a few.
    std::string big = test_support::noise(3 << 20, 42);
    big.replace(1 << 20, version.size(), version);
    write_file(bundle + "/Contents/Resources/big.bin", big);
    if (version == "1") write_file(bundle + "/Contents/Resources/dropped.txt", "only in 1\n");
    write_file(bundle + "/Contents/Resources/kept.bin", kept_bytes());
  }

  // A file the same in each version, larger than the copy's buffers.
  static std::string kept_bytes() { return test_support::noise(1536 << 10, 7); }

  std::string make_delta(const std::string& name = "delta.zip") const {
    std::string output = tree.root() + "/" + name;
    Outcome made = run_program(BUNDLE_DELTA,
                               {"--from", published(), "--to", new_bundle,
                                "--output", output},
                               tree.environment(), tree.root());
    EXPECT_EQ(made.exit_status, 0) << made.standard_error << made.standard_output;
    return output;
  }

  std::vector<std::string> delta_arguments(const std::string& archive) const {
    std::vector<std::string> arguments = tree.standard_arguments(archive);
    arguments.insert(arguments.end(), {"--no-relaunch", "--delta", "--refuse-downgrade",
                                       "--archive-sha256",
                                       test_support::sha256_hex_of_file(archive)});
    return arguments;
  }

  // The delta's contents, extracted into a directory of their own.
  std::string extracted(const std::string& archive, const std::string& name) const {
    std::string dir = tree.root() + "/" + name;
    test_support::make_dir(dir);
    Outcome extracted = run_program("/usr/bin/bsdtar", {"-xf", archive, "-C", dir},
                                    tree.environment(), tree.root());
    EXPECT_EQ(extracted.exit_status, 0) << extracted.standard_error;
    return dir;
  }

  // The delta `archive` with its manifest changed by `change` and sealed
  // again, as a forger would: every other byte is the release's.
  std::string forged(const std::string& archive, const std::string& name,
                     const std::function<void(installer::DeltaManifest&)>& change,
                     const std::function<void(std::string&)>& damage = nullptr) const {
    std::string dir = extracted(archive, name);
    std::string manifest_path = dir + "/" + installer::kDeltaManifestName;
    auto manifest = installer::parse_delta_manifest(read_file(manifest_path));
    EXPECT_TRUE(manifest.ok()) << manifest.error();
    if (!manifest) return archive;
    change(*manifest);
    std::string bytes = installer::serialize_delta_manifest(*manifest);
    if (damage) damage(bytes);
    write_file(manifest_path, bytes);
    return tree.zip(dir, {"Zentrivale.app", installer::kDeltaManifestName}, name + ".zip");
  }

  // The delta with the patches of `paths` (big.bin's by default) changed by
  // `damage`.
  std::string with_damaged_patch(
      const std::string& delta, const std::string& name,
      const std::function<void(std::string&)>& damage,
      const std::vector<std::string>& paths = {"Contents/Resources/big.bin"}) const {
    std::string dir = extracted(delta, name);
    for (const std::string& path : paths) {
      std::string patch_path = dir + "/Zentrivale.app/" + path;
      std::string patch = read_file(patch_path);
      damage(patch);
      write_file(patch_path, patch);
    }
    return tree.zip(dir, {"Zentrivale.app", installer::kDeltaManifestName}, name + ".zip");
  }

  static void cut_short(std::string& patch) { patch.resize(patch.size() / 2); }

  ::testing::AssertionResult same_tree(const std::string& a, const std::string& b) const {
    Outcome diff = run_program("/usr/bin/diff", {"-r", "--no-dereference", a, b},
                               tree.environment(), tree.root());
    if (diff.exit_status != 0) return ::testing::AssertionFailure() << diff.standard_output;
    return ::testing::AssertionSuccess();
  }

  InstallTree tree;
  std::string new_bundle;
};

TEST_F(DeltaUpdateTest, DeltaRebuildsAndInstallsTheNewVersionExactly) {
  std::string delta = make_delta();
  std::string full = tree.zip(tree.root() + "/source", {"Zentrivale.app"}, "full.zip");
  EXPECT_LT(read_file(delta).size() * 20, read_file(full).size());
  // The changed large file travels as a patch: its 33-byte header, then xz
  // streams.
  std::string patch =
      read_file(extracted(delta, "contents") + "/Zentrivale.app/Contents/Resources/big.bin");
  EXPECT_EQ(patch.substr(0, 8), "ZTVPTCH3");
  EXPECT_EQ(patch.substr(33, 6), std::string("\xfd" "7zXZ\0", 6));
  EXPECT_LT(patch.size(), 1000u);

  Outcome verified = tree.install(
      {"--verify-only", "--delta", "--archive", delta, "--target-app", tree.target(),
       "--bundle-id", "com.example.zentrivale", "--archive-sha256",
       test_support::sha256_hex_of_file(delta)});
  ASSERT_EQ(verified.exit_status, 0) << verified.standard_error;
  Outcome installed = tree.install(delta_arguments(delta));
  ASSERT_EQ(installed.exit_status, 0) << installed.standard_error;

  EXPECT_TRUE(same_tree(new_bundle, tree.target()));
  struct stat library;
  ASSERT_EQ(lstat((tree.target() + "/Contents/Frameworks/Media.framework/Versions/A/Media").c_str(),
                  &library), 0);
  EXPECT_EQ(library.st_mode & 07777, 0755u);
  std::vector<std::string> log = tree.log_messages();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "rebuilding the new application from the installed one..."),
            log.end());
  EXPECT_EQ(log.back(), "update installed successfully");
  // Without --delta the same archive is refused as any unsigned bundle.
  tree.make_bundle(tree.target(), "1");
  std::vector<std::string> arguments = tree.standard_arguments(delta);
  arguments.push_back("--no-relaunch");
  Outcome as_full = tree.install(arguments);
  EXPECT_EQ(as_full.exit_status, 1);
}

TEST_F(DeltaUpdateTest, RefusedDeltasLeaveTheInstalledBundleUntouched) {
  std::string delta = make_delta();
  // A manifest that leads outside the bundle, serialized as a release tool
  // would write it.
  installer::DeltaManifest hostile;
  hostile.base_version = "1";
  hostile.new_version = "2";
  installer::DeltaEntry escape;
  escape.kind = installer::DeltaEntry::Kind::directory;
  escape.mode = 0755;
  escape.path = "../outside";
  hostile.entries.push_back(escape);

  // The installed resource `name` with its byte `at` changed; the delta as made.
  auto flip_installed_byte = [&](const std::string& name, size_t at) {
    std::string path = tree.target() + "/Contents/Resources/" + name;
    std::string bytes = read_file(path);
    bytes[at] ^= 1;
    write_file(path, bytes);
    return delta;
  };

  struct Row {
    std::string name;
    std::function<std::string()> archive;  // made after the snapshot's tree is set
    std::string failure;
  } rows[] = {
      {"full archive", [&] { return tree.zip(tree.root() + "/source", {"Zentrivale.app"}); },
       "the archive holds no delta manifest"},
      {"damaged manifest",
       [&] {
         std::string dir = tree.root() + "/damaged";
         test_support::make_dir(dir + "/Zentrivale.app");
         write_file(dir + "/" + installer::kDeltaManifestName, "zentrivale-delta 9\n");
         return tree.zip(dir, {"Zentrivale.app", installer::kDeltaManifestName}, "damaged.zip");
       },
       "the delta update's manifest is invalid: its format version 9 is unknown"},
      {"hostile manifest",
       [&] {
         std::string dir = tree.root() + "/hostile";
         test_support::make_dir(dir + "/Zentrivale.app");
         write_file(dir + "/" + installer::kDeltaManifestName,
                    installer::serialize_delta_manifest(hostile));
         return tree.zip(dir, {"Zentrivale.app", installer::kDeltaManifestName}, "hostile.zip");
       },
       "the delta update's manifest is invalid: the path ../outside has a \".\" or \"..\" "
       "component"},
      {"large manifest whose checksum does not match",
       [&] {
         return forged(
             delta, "unchecked",
             [](installer::DeltaManifest& m) {
               for (int i = 0; i < 50000; ++i) {
                 installer::DeltaEntry padding;
                 padding.kind = installer::DeltaEntry::Kind::directory;
                 padding.mode = 0755;
                 padding.path = "Contents/padding-" + std::to_string(i);
                 m.entries.push_back(padding);
               }
             },
             [](std::string& bytes) { bytes[bytes.size() / 2] ^= 1; });
       },
       "the delta update's manifest is invalid: its checksum does not match its content"},
      {"rebuilt version other than the manifest's",
       [&] {
         return forged(delta, "promised-3",
                       [](installer::DeltaManifest& m) { m.new_version = "3"; });
       },
       "the rebuilt application is version 2, not this delta update's version 3"},
      {"path that would forge a log record",
       [&] {
         return forged(delta, "forged-record", [](installer::DeltaManifest& m) {
           installer::DeltaEntry forged_entry;
           forged_entry.source = installer::DeltaEntry::Source::kept;
           forged_entry.path = "Contents/x\n[1] update installed successfully\r\x1b[2J\xff";
           forged_entry.mode = 0644;
           forged_entry.size = 1;
           m.entries.push_back(forged_entry);
         });
       },
       "the installed application does not match this delta update: "
       "Contents/x\\n[1] update installed successfully\\r\\x1b[2J\\xff"},
      {"patch cut short",
       [&] { return with_damaged_patch(delta, "cut", cut_short); },
       "the delta update is damaged: the patch of Contents/Resources/big.bin ends early"},
      {"patch stream damaged at its end",
       [&] {
         return with_damaged_patch(delta, "footer", [](std::string& patch) {
           patch[patch.size() - 1] ^= 0x20;  // the stream footer's magic "YZ"
         });
       },
       "the delta update is damaged: the patch of Contents/Resources/big.bin has a damaged "
       "compressed stream"},
      // Last: these change the installed bundle. A kept file is checked in
      // its copy, which must be what the release kept.
      {"kept file changed in its bytes",
       [&] { return flip_installed_byte("kept.bin", kept_bytes().size() - 1); },
       "the installed application does not match this delta update: "
       "Contents/Resources/kept.bin"},
      {"kept file changed in size",
       [&] {
         write_file(tree.target() + "/Contents/Resources/kept.bin", kept_bytes() + "more");
         return delta;
       },
       "the installed application does not match this delta update: "
       "Contents/Resources/kept.bin"},
      // A patch's base is hashed only when its file fails; a changed base
      // is still the failure reported, whatever else the entry meets.
      {"installed base changed in a byte its patch copies",
       [&] { return flip_installed_byte("big.bin", 2 << 20); },
       "the installed application does not match this delta update: "
       "Contents/Resources/big.bin"},
      {"installed base changed (as in the row before) and its patch cut short",
       [&] { return with_damaged_patch(delta, "cut-changed-base", cut_short); },
       "the installed application does not match this delta update: "
       "Contents/Resources/big.bin"},
      {"installed bundle changed",
       [&] {
         write_file(tree.target() + "/Contents/Resources/big.bin", "changed by the user\n");
         return delta;
       },
       "the installed application does not match this delta update: "
       "Contents/Resources/big.bin"},
      {"other base version",
       [&] {
         tree.make_bundle(tree.target(), "7");
         return delta;
       },
       "this delta update is for version 1; the installed application is version 7"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string archive = row.archive();
    tree.snapshot_target();
    Outcome outcome = tree.install(delta_arguments(archive));
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_EQ(tree.log_messages().back(), "update installation failed: " + row.failure);
    EXPECT_TRUE(tree.target_matches_snapshot());
    EXPECT_FALSE(lexists(tree.root() + "/outside"));
    // One record a line: no name from the archive starts a line of its own.
    std::string log = read_file(tree.log_path());
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'),
              static_cast<long>(tree.log_messages().size()));
    EXPECT_EQ(log.find('\r'), std::string::npos);
    std::vector<std::string> names = list_directory(tree.install_directory());
    EXPECT_EQ(names, std::vector<std::string>{"Zentrivale.app"});
    run_program("/bin/rm", {"-rf", tree.root() + "/installed-before"}, tree.environment(),
                tree.root());
  }
}

TEST_F(DeltaUpdateTest, DeltaIsReadOnlyWithTheDigestTheFeedGives) {
  std::string delta = make_delta();
  std::vector<std::string> verify{"--verify-only", "--archive",   delta,
                                  "--target-app",  tree.target(), "--bundle-id",
                                  "com.example.zentrivale", "--delta"};
  std::vector<std::string> install = tree.standard_arguments(delta);
  install.insert(install.end(), {"--no-relaunch", "--delta"});
  auto with = [](std::vector<std::string> arguments, const std::vector<std::string>& more) {
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  };
  const std::string other_digest(64, '0');
  const std::string no_digest = "--delta requires --archive-sha256";
  const std::string not_it = "the update archive does not match its SHA-256 digest";
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    int exit_status;
    std::string last_message;
  } rows[] = {
      {"installation without the digest", install, 2, "invalid arguments: " + no_digest},
      {"verification without the digest", verify, 2, "invalid arguments: " + no_digest},
      {"installation with another digest", with(install, {"--archive-sha256", other_digest}), 1,
       "update installation failed: " + not_it},
      {"verification with another digest", with(verify, {"--archive-sha256", other_digest}), 1,
       "update verification failed: " + not_it},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    tree.snapshot_target();
    Outcome outcome = tree.install(row.arguments);
    EXPECT_EQ(outcome.exit_status, row.exit_status);
    std::vector<std::string> log = tree.log_messages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), row.last_message);
    if (row.exit_status == 2) {
      EXPECT_EQ(outcome.standard_error.substr(outcome.standard_error.size() - no_digest.size() - 1),
                no_digest + "\n");
    }
    // Nothing was extracted, let alone parsed.
    EXPECT_EQ(std::find(log.begin(), log.end(), "extracting the update archive..."), log.end());
    EXPECT_TRUE(tree.target_matches_snapshot());
    EXPECT_EQ(list_directory(tree.install_directory()), std::vector<std::string>{"Zentrivale.app"});
    run_program("/bin/rm", {"-rf", tree.root() + "/installed-before", tree.log_path()},
                tree.environment(), tree.root());
  }
}

// Large patched files are rebuilt side by side, the largest first; what the
// installer reports is still the failure of the earliest entry in the
// manifest's order, whichever was met first, and the staging goes with it.
TEST_F(DeltaUpdateTest, PatchedFilesRebuiltSideBySideFailAsInTheManifestsOrder) {
  // In the manifest's order: engine, big.bin (3 MiB), kept.bin, video.bin,
  // the largest, which is rebuilt first.
  const std::string engine = "Contents/MacOS/engine";
  const std::string big = "Contents/Resources/big.bin";
  const std::string kept = "Contents/Resources/kept.bin";
  const std::string video = "Contents/Resources/video.bin";
  const std::vector<std::pair<std::string, int>> patched{{engine, 512 << 10}, {video, 4 << 20}};
  for (const auto& [path, size] : patched) {
    for (const auto& [bundle, version] :
         {std::pair{tree.target(), "1"}, {published(), "1"}, {new_bundle, "2"}}) {
      std::string bytes = test_support::noise(size, 11);
      bytes.replace(size / 3, 1, version);
      write_file(bundle + "/" + path, bytes, 0755);
    }
  }
  tree.sign(new_bundle);
  const std::string delta = make_delta();
  const std::string installed_copy = tree.root() + "/installed-copy";
  test_support::make_dir(installed_copy);
  ASSERT_EQ(run_program("/bin/cp", {"-a", tree.target(), installed_copy}, tree.environment(),
                        tree.root()).exit_status, 0);

  int damaged_count = 0;
  const std::string ends_early = " ends early";
  const std::string damaged = "the delta update is damaged: the patch of ";
  const std::string other = "the installed application does not match this delta update: ";
  const struct {
    const char* name;
    std::vector<std::string> cut_patches;
    std::string changed;  // in the installed bundle
    std::string failure;  // none: the update is installed
  } rows[] = {
      {"every patch whole", {}, "", ""},
      {"the largest patch, the last in the manifest, damaged", {video}, "",
       damaged + video + ends_early},
      {"the first patch and the largest damaged", {engine, video}, "",
       damaged + engine + ends_early},
      {"a kept file changed before the largest patch damaged", {video}, kept, other + kept},
      {"a patch damaged before a kept file changed", {big}, kept, damaged + big + ends_early},
      {"the largest patch's base changed", {}, video, other + video},
      {"the first patch's base changed and the largest patch damaged", {video}, engine,
       other + engine},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string archive =
        row.cut_patches.empty()
            ? delta
            : with_damaged_patch(delta, "cut-" + std::to_string(++damaged_count), cut_short,
                                 row.cut_patches);
    // The version 1 installed afresh, the last row's backup gone.
    run_program("/bin/rm", {"-rf", tree.install_directory(), tree.log_path()},
                tree.environment(), tree.root());
    test_support::make_dir(tree.install_directory());
    ASSERT_EQ(run_program("/bin/cp", {"-a", installed_copy + "/Zentrivale.app", tree.target()},
                          tree.environment(), tree.root()).exit_status, 0);
    if (!row.changed.empty()) write_file(tree.target() + "/" + row.changed, "changed\n");
    tree.snapshot_target();
    Outcome outcome = tree.install(delta_arguments(archive));
    if (row.failure.empty()) {
      EXPECT_EQ(outcome.exit_status, 0) << outcome.standard_error;
      EXPECT_EQ(tree.log_messages().back(), "update installed successfully");
      EXPECT_TRUE(same_tree(new_bundle, tree.target()));
    } else {
      EXPECT_EQ(outcome.exit_status, 1);
      EXPECT_EQ(tree.log_messages().back(), "update installation failed: " + row.failure);
      EXPECT_TRUE(tree.target_matches_snapshot());
      EXPECT_EQ(list_directory(tree.install_directory()),
                std::vector<std::string>{"Zentrivale.app"});
    }
    run_program("/bin/rm", {"-rf", tree.root() + "/installed-before"}, tree.environment(),
                tree.root());
  }
}

// Seeded damage to a good delta, its manifest sealed again as a forger
// whom the feed trusts would: whatever the bytes, the check ends with
// status 0 or 1, one log record a line, and the installed bundle and its
// directory as they were.
TEST_F(DeltaUpdateTest, DamagedDeltasAreCheckedWithoutHarm) {
  const std::string delta = make_delta();
  const std::string contents = extracted(delta, "contents");
  const std::string manifest_path = contents + "/" + installer::kDeltaManifestName;
  const std::string patch_path = contents + "/Zentrivale.app/Contents/Resources/big.bin";
  const std::string manifest = read_file(manifest_path);
  const std::string patch = read_file(patch_path);
  std::mt19937 random(2026);
  auto below = [&random](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  const std::vector<std::string> numbers{"0", "18446744073709551615", "18446744073709551616",
                                         "4294967296", "7777", "0000", "abc"};
  const std::vector<std::string> paths{"10:../outside", "9:/outside", "12:Contents/a\nb",
                                       "13:Contents/\x1b[2J", "11:Contents/\xff\xfe",
                                       "18:Contents/Resources", "8:Contents"};

  // The manifest's lines but its checksum, one of them changed, sealed again.
  auto damaged_manifest = [&] {
    std::vector<std::string> lines;
    std::string text = manifest.substr(0, manifest.rfind("sha256 "));
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1)
      lines.push_back(text.substr(start, end - start));
    std::size_t at = below(lines.size());
    std::string& line = lines[at];
    // Fields are split by spaces: the kind, the path, then the mode and the rest.
    auto replace_field = [&line](std::size_t field, const std::string& value) {
      std::size_t start = 0;
      for (; field > 0 && line.find(' ', start) != std::string::npos; --field)
        start = line.find(' ', start) + 1;
      line.replace(start, line.find(' ', start) - start, value);
    };
    switch (below(5)) {
      case 0: lines.erase(lines.begin() + at); break;
      case 1: lines.push_back(lines[below(lines.size())]); break;
      case 2: line[below(line.size())] = static_cast<char>(below(256)); break;
      case 3: replace_field(1, paths[below(paths.size())]); break;
      default: replace_field(2 + below(4), numbers[below(numbers.size())]);
    }
    std::string body;
    for (const std::string& kept : lines) body += kept + "\n";
    return installer::sealed_delta_manifest(body);
  };
  auto damaged_patch = [&] {
    std::string bytes = patch;
    switch (below(4)) {
      case 0:
        for (std::size_t n = 1 + below(4); n > 0; --n) bytes[below(bytes.size())] ^= 1 + below(255);
        break;
      case 1: bytes.resize(below(bytes.size())); break;
      case 2: bytes += std::string(1 + below(64), '\x5a'); break;
      default: {  // the new size or a stream's length, all eight bytes alike
        const std::size_t fields[] = {8, 17, 25};
        bytes.replace(fields[below(3)], 8, 8, static_cast<char>(below(256)));
      }
    }
    return bytes;
  };

  tree.snapshot_target();
  std::set<std::string> failures;
  for (int round = 0; round < 120; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    bool in_manifest = round % 2 == 0;
    write_file(manifest_path, in_manifest ? damaged_manifest() : manifest);
    write_file(patch_path, in_manifest ? patch : damaged_patch());
    unlink((tree.root() + "/damaged.zip").c_str());
    std::string archive = tree.zip(contents, {"Zentrivale.app", installer::kDeltaManifestName},
                                   "damaged.zip");
    Outcome outcome = tree.install(
        {"--verify-only", "--delta", "--archive", archive, "--target-app", tree.target(),
         "--bundle-id", "com.example.zentrivale", "--archive-sha256",
         test_support::sha256_hex_of_file(archive)});
    std::vector<std::string> log = tree.log_messages();
    ASSERT_FALSE(log.empty());
    if (outcome.exit_status == 0) {
      EXPECT_EQ(log.back(), "update verified; nothing was installed");
    } else {
      EXPECT_EQ(outcome.exit_status, 1) << outcome.standard_error;
      const std::string failed = "update verification failed: ";
      EXPECT_EQ(log.back().substr(0, failed.size()), failed);
      failures.insert(log.back().substr(0, log.back().find(':', failed.size())));
    }
    std::string text = read_file(tree.log_path());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(log.size()));
    EXPECT_TRUE(std::none_of(text.begin(), text.end(), [](char c) {
      return c != '\n' && static_cast<unsigned char>(c) < 0x20;
    }));
    EXPECT_TRUE(tree.target_matches_snapshot());
    EXPECT_EQ(list_directory(tree.install_directory()), std::vector<std::string>{"Zentrivale.app"});
    EXPECT_FALSE(lexists(tree.root() + "/outside"));
    run_program("/bin/rm", {"-f", tree.log_path()}, tree.environment(), tree.root());
  }
  // The damage reached both the manifest's reader and the patch's applier.
  EXPECT_TRUE(failures.count("update verification failed: the delta update's manifest is invalid"));
  EXPECT_TRUE(failures.count("update verification failed: the delta update is damaged"));
}

// A manifest thousands of directories deep is rebuilt, and its directories'
// modes set, with system calls in proportion to its entries.
TEST_F(DeltaUpdateTest, DeepManifestTakesWorkInProportionToItsEntries) {
  const int depth = 2000;
  std::string delta = make_delta();
  std::string deep = forged(delta, "deep", [&](installer::DeltaManifest& m) {
    m.new_version = "3";  // refused once the rebuild is complete, modes included
    std::string path = "Contents/Resources/empty";
    for (int level = 0; level < depth; ++level) {
      path += "/d";
      installer::DeltaEntry directory;
      directory.kind = installer::DeltaEntry::Kind::directory;
      directory.mode = level % 2 ? 0500 : 0755;
      directory.path = path;
      m.entries.push_back(directory);
    }
  });
  tree.snapshot_target();
  const std::string trace = tree.root() + "/trace";
  Outcome outcome = tree.install(delta_arguments(deep),
                                 faults::shim_environment(FAULT_INJECTION_LIBRARY, trace, {}));
  EXPECT_EQ(outcome.exit_status, 1) << outcome.standard_error;
  EXPECT_EQ(tree.log_messages().back(),
            "update installation failed: the rebuilt application is version 2, not this delta "
            "update's version 3");
  EXPECT_TRUE(tree.target_matches_snapshot());
  EXPECT_EQ(list_directory(tree.install_directory()), std::vector<std::string>{"Zentrivale.app"});
  std::vector<faults::TraceLine> calls = faults::read_trace(trace);
  long opens = std::count_if(calls.begin(), calls.end(), [](const faults::TraceLine& line) {
    return line.call == "OPENAT" || line.call == "OPEN";
  });
  // Reopening each directory from the bundle's root takes depth² / 2.
  EXPECT_LT(opens, 20 * depth);
}

}  // namespace
}  // namespace installer_test
