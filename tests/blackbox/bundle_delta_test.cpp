// The release tool as a release engineer runs it: the built bundle_delta on
// real bundles in temporary directories, its archive extracted by ditto (the
// stand-in on Linux) and rebuilt as the installer rebuilds it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <regex>
#include <set>

#include "bundle_tree.h"
#include "bundles.h"
#include "delta_check.h"
#include "delta_manifest.h"
#include "delta_rebuild.h"
#include "files.h"
#include "program_run.h"
#include "temp_dir.h"
#include "tree_snapshot.h"

namespace {

using test_support::make_dir;
using test_support::make_symlink;
using test_support::read_file;
using test_support::write_file;

const std::string kUsage =
    "usage: bundle_delta --from OLD.app --to NEW.app --output FILE.zip [--full-archive FULL.zip]\n";

using test_support::noise;

std::string with_change(std::string bytes, size_t at, const std::string& replacement) {
  return bytes.replace(at, replacement.size(), replacement);
}

void write_info_plist(const std::string& bundle, const std::string& version) {
  write_file(bundle + "/Contents/Info.plist",
             test_support::info_plist(test_support::plist_string("CFBundleIdentifier",
                                                                 "com.example.zentrivale") +
                                      test_support::plist_string("CFBundleVersion", version)));
}

// Whether the file system holds a file of this name.
bool takes_name(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return ::unlink(path.c_str()) == 0;
}

// Names in the archive, as their bytes.
std::set<std::string> zip_names(const std::string& archive) {
  std::set<std::string> names;
  int error = 0;
  zip_t* zip = ::zip_open(archive.c_str(), ZIP_RDONLY, &error);
  if (!zip) return names;
  for (zip_int64_t i = 0; i < ::zip_get_num_entries(zip, 0); ++i) {
    names.insert(::zip_get_name(zip, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW));
  }
  ::zip_discard(zip);
  return names;
}

class BundleDeltaTest : public ::testing::Test {
 protected:
  test_support::TempDir dir{"bundle-delta-test"};
  std::string old_app = dir / "old/Zentrivale.app";
  std::string new_app = dir / "new/Zentrivale.app";
  std::string output = dir / "out/delta.zip";

  void SetUp() override { make_dir(dir / "out"); }

  test_support::ProgramRun run(const std::vector<std::string>& arguments) const {
    return test_support::run_program(BUNDLE_DELTA, arguments, {"PATH=/usr/bin:/bin"}, dir.path());
  }
  test_support::ProgramRun make_delta() const {
    return run({"--from", old_app, "--to", new_app, "--output", output});
  }
  // A new bundle that differs from the old one only in its version.
  void make_pair() const {
    write_info_plist(old_app, "1");
    write_info_plist(new_app, "2");
    write_file(old_app + "/Contents/MacOS/Zentrivale", "binary", 0755);
    write_file(new_app + "/Contents/MacOS/Zentrivale", "binary", 0755);
  }
};

TEST_F(BundleDeltaTest, DeltaHoldsOnlyWhatChangedAndRebuildsTheNewBundle) {
  const std::string big = noise(4 << 20, 1), executable = noise(300000, 2);
  const std::string config = noise(60000, 3);
  // Invalid UTF-8 where the file system takes it (APFS refuses such names).
  const bool invalid_names = takes_name(dir / "\xff");
  const std::string byte = invalid_names ? "\xfe" : "\xc3\xa9";
  const std::string odd = "Contents/Resources/odd name\n" + byte + ".txt";
  const std::string added_odd = "Contents/Resources/new\nline " + byte + ".dat";
  const std::string framework = "Contents/Frameworks/Lib.framework";
  for (const std::string& app : {old_app, new_app}) {
    write_file(app + "/Contents/Resources/same.txt", "unchanged\n");
    write_file(app + "/" + odd, "odd but unchanged\n", 0600);
    write_file(app + "/" + framework + "/Versions/A/Lib", noise(20000, 4), 0755);
    make_symlink("A", app + "/" + framework + "/Versions/Current");
    make_symlink("Versions/Current/Lib", app + "/" + framework + "/Lib");
  }
  write_info_plist(old_app, "1");
  write_file(old_app + "/Contents/MacOS/Zentrivale", executable, 0755);
  write_file(old_app + "/Contents/Resources/big.bin", big);
  write_file(old_app + "/Contents/Resources/removed.txt", "gone in the new release\n");
  write_file(old_app + "/Contents/Resources/old-place/config.json", config);

  write_info_plist(new_app, "2");
  write_file(new_app + "/Contents/MacOS/Zentrivale", with_change(executable, 1000, "v2"), 0755);
  write_file(new_app + "/Contents/Resources/big.bin", with_change(big, 3 << 20, "changed"));
  write_file(new_app + "/Contents/Resources/new-place/config.json", with_change(config, 10, "x"));
  write_file(new_app + "/Contents/Resources/a/b/c/deep.txt", "added deep down\n", 0640);
  write_file(new_app + "/" + added_odd, "added with an odd name\n");
  make_dir(new_app + "/Contents/Resources/empty", 0700);
  ::chmod((new_app + "/Contents/Resources/same.txt").c_str(), 0600);  // kept, with its new mode

  test_support::ProgramRun run = make_delta();
  ASSERT_EQ(run.exit_status, 0) << run.standard_error;
  EXPECT_EQ(run.standard_error, "");

  // The report: each stored file, the totals, the sizes against a full archive.
  const std::string report = run.standard_output;
  const std::string shown_byte = invalid_names ? "\\xfe" : byte;
  for (const std::string& line : std::vector<std::string>{
           "patched Contents/Info.plist: 312 bytes, patch ",
           "patched Contents/MacOS/Zentrivale: 300000 bytes, patch ",
           "patched Contents/Resources/big.bin: 4194304 bytes, patch ",
           "added Contents/Resources/a/b/c/deep.txt: 16 bytes, 18 deflated\n",
           "added Contents/Resources/new\\nline " + shown_byte + ".dat: 23 bytes, 25 deflated\n",
           "kept 3 files, patched 4, added 2\n"}) {
    EXPECT_NE(report.find(line), std::string::npos) << line << " not in:\n" << report;
  }
  EXPECT_TRUE(std::regex_search(report, std::regex("\npatched Contents/Resources/new-place/"
                                                   "config.json: 60000 bytes, patch [0-9]+ "
                                                   "bytes from Contents/Resources/old-place/"
                                                   "config.json\n")))
      << report;
  std::smatch sizes;
  ASSERT_TRUE(std::regex_search(
      report, sizes, std::regex("\ndelta archive: ([0-9]+) bytes, full archive: ([0-9]+) bytes "
                                "\\(([0-9.]+) %\\)\n$")))
      << report;
  struct stat st;
  ASSERT_EQ(::stat(output.c_str(), &st), 0);
  EXPECT_EQ(std::stoll(sizes[1]), st.st_size);
  EXPECT_LT(std::stod(sizes[3]), 2.0);
  // Counted, not written: within a thousandth of what zip(1) makes, which
  // adds extra fields to every entry.
  test_support::zip_entries(dir / "new", {"Zentrivale.app"}, dir / "full.zip");
  ASSERT_EQ(::stat((dir / "full.zip").c_str(), &st), 0);
  EXPECT_LE(std::stoll(sizes[2]), st.st_size);
  EXPECT_GE(std::stoll(sizes[2]), st.st_size - st.st_size / 1000);

  // Against the release's own full archive, its size as it is.
  test_support::ProgramRun given = BundleDeltaTest::run({"--from", old_app, "--to", new_app, "--output",
                                        dir / "out/given.zip", "--full-archive", dir / "full.zip"});
  ASSERT_EQ(given.exit_status, 0) << given.standard_error;
  EXPECT_NE(given.standard_output.find(" bytes, full archive: " + std::to_string(st.st_size) +
                                       " bytes ("),
            std::string::npos)
      << given.standard_output;
  ::unlink((dir / "out/given.zip").c_str());

  // Only what the installer cannot take from the old bundle, with its parents.
  const std::string root = "Zentrivale.app/";
  const std::set<std::string> expected{
      root, root + "Contents/", root + "Contents/Info.plist", root + "Contents/MacOS/",
      root + "Contents/MacOS/Zentrivale", root + "Contents/Resources/",
      root + "Contents/Resources/a/", root + "Contents/Resources/a/b/",
      root + "Contents/Resources/a/b/c/", root + "Contents/Resources/a/b/c/deep.txt",
      root + "Contents/Resources/big.bin", root + added_odd,
      root + "Contents/Resources/new-place/", root + "Contents/Resources/new-place/config.json",
      "zentrivale-delta-manifest"};
  EXPECT_EQ(zip_names(output), expected);
  EXPECT_EQ(test_support::list_directory(dir / "out"), std::vector<std::string>{"delta.zip"});

  // Extracted as the installer extracts it, and rebuilt from the old bundle.
  const std::string staging = dir / "staging";
  test_support::ProgramRun ditto = test_support::run_program(
      DITTO, {"-x", "-k", output, staging}, {"PATH=/usr/bin:/bin"});
  ASSERT_EQ(ditto.exit_status, 0) << ditto.standard_error;
  auto manifest = installer::parse_delta_manifest(
      read_file(staging + "/" + installer::kDeltaManifestName));
  ASSERT_TRUE(manifest.ok()) << manifest.error();
  EXPECT_EQ(manifest->base_version, "1");
  EXPECT_EQ(manifest->new_version, "2");
  EXPECT_EQ(manifest->entries.size(), test_support::snapshot(new_app).size());
  auto rebuilt = installer::rebuild_bundle(*manifest, old_app, staging + "/Zentrivale.app");
  ASSERT_TRUE(rebuilt.ok()) << rebuilt.error();
  EXPECT_TRUE(test_support::same_tree(test_support::snapshot(new_app),
                                      test_support::snapshot(staging + "/Zentrivale.app")));
}

// The self-check itself, on a delta whose new bundle changed after it was made.
TEST_F(BundleDeltaTest, SelfCheckNamesTheFirstEntryNotReproduced) {
  const std::string resources = new_app + "/Contents/Resources";
  const std::vector<std::pair<std::function<void()>, std::string>> cases{
      {[&] { write_file(resources + "/data.bin", noise(5000, 6)); }, "Contents/Resources/data.bin"},
      {[&] { ::chmod((resources + "/data.bin").c_str(), 0600); }, "Contents/Resources/data.bin"},
      {[&] { write_file(resources + "/extra", ""); }, "Contents/Resources/extra"},
      {[&] { test_support::remove_all(resources + "/link"); }, "Contents/Resources/link"},
      {[&] { make_dir(resources + "/data.bin.d"); }, "Contents/Resources/data.bin.d"},
  };
  int round = 0;
  for (const auto& [change, path] : cases) {
    test_support::remove_all(dir / "new");
    test_support::remove_all(dir / "out");
    make_dir(dir / "out");
    make_pair();
    write_file(resources + "/data.bin", noise(5000, 5));
    make_symlink("data.bin", resources + "/link");
    ASSERT_EQ(make_delta().exit_status, 0);
    change();
    auto tree = delta::walk_bundle(new_app);
    ASSERT_TRUE(tree.ok()) << tree.error();
    const std::string work = dir / ("check-" + std::to_string(++round));
    make_dir(work);
    auto checked = delta::check_delta(output, work, old_app, *tree, "Zentrivale.app");
    ASSERT_FALSE(checked.ok()) << path;
    EXPECT_EQ(checked.error(), "the delta does not reproduce " + new_app + ": " + path);
  }
}

// The manifest records CFBundleVersion as the installer will read it from
// PlistBuddy's output: without Unicode white space at either end.
TEST_F(BundleDeltaTest, VersionsAreRecordedAsTheInstallerComparesThem) {
  make_pair();
  write_info_plist(old_app, "\n 1.0\t");
  write_info_plist(new_app, " 2.0 (7)\xc2\xa0");
  ASSERT_EQ(make_delta().exit_status, 0);
  const std::string staging = dir / "staging";
  test_support::ProgramRun ditto = test_support::run_program(
      DITTO, {"-x", "-k", output, staging}, {"PATH=/usr/bin:/bin"});
  ASSERT_EQ(ditto.exit_status, 0) << ditto.standard_error;
  auto manifest = installer::parse_delta_manifest(
      read_file(staging + "/" + installer::kDeltaManifestName));
  ASSERT_TRUE(manifest.ok()) << manifest.error();
  EXPECT_EQ(manifest->base_version, "1.0");
  EXPECT_EQ(manifest->new_version, "2.0 (7)");
}

TEST_F(BundleDeltaTest, CommandLineMistakesShowTheUsage) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{}, "--from is required"},
      {{"--from", "a.app", "--to", "b.app"}, "--output is required"},
      {{"--from", "a.app", "--to"}, "--to requires a value"},
      {{"--from", "a.app", "--from", "b.app"}, "--from given twice"},
      {{"--form", "a.app"}, "unknown argument: --form"},
      {{"a.app"}, "unknown argument: a.app"},
  };
  for (const auto& [arguments, message] : cases) {
    test_support::ProgramRun result = run(arguments);
    EXPECT_EQ(result.exit_status, 2) << message;
    EXPECT_EQ(result.standard_error, "bundle_delta: " + message + "\n" + kUsage);
    EXPECT_EQ(result.standard_output, "");
  }
}

TEST_F(BundleDeltaTest, RefusedBundlesLeaveNoOutput) {
  struct Case {
    std::function<void(const BundleDeltaTest&)> damage;
    std::string message;
    std::vector<std::string> arguments = {};  // none: the usual pair to the usual output
  };
  const std::string resources = new_app + "/Contents/Resources";
  const std::string info_plist = new_app + "/Contents/Info.plist";
  const std::string other_app = dir / "old/Other.app";
  // Whatever the installer would refuse is refused here, with its reason,
  // before anything is made; so are bundles that cannot pair and a full
  // archive that is not there.
  const std::vector<Case> cases{
      {[&](const BundleDeltaTest&) { make_symlink("../../../..", resources + "/escape"); },
       "refusing " + resources + "/escape: the link has a target above the bundle"},
      {[&](const BundleDeltaTest&) { make_symlink("/etc/passwd", resources + "/absolute"); },
       "refusing " + resources + "/absolute: the link has an absolute target"},
      {[&](const BundleDeltaTest&) {
         make_dir(resources + "/Versions/A");
         make_symlink("Versions/../A", resources + "/Current");
       },
       "refusing " + resources + "/Current: the link has a target that climbs after a name"},
      {[&](const BundleDeltaTest&) { make_symlink("x/../../..", resources + "/up"); },
       "refusing " + resources + "/up: the link has a target that climbs after a name"},
      {[&](const BundleDeltaTest&) { write_file(resources + "/tool", "", 04755); },
       "refusing " + resources + "/tool: set-id and sticky bits cannot be shipped"},
      {[&](const BundleDeltaTest&) { write_info_plist(new_app, "2\n3"); },
       "refusing " + info_plist + ": CFBundleVersion holds a line feed"},
      {[&](const BundleDeltaTest&) { write_info_plist(new_app, " \t "); },
       "refusing " + info_plist + ": CFBundleVersion is empty"},
      {[&](const BundleDeltaTest&) { write_info_plist(old_app, "1\n"
                                                               "0"); },
       "refusing " + old_app + "/Contents/Info.plist: CFBundleVersion holds a line feed"},
      {[&](const BundleDeltaTest&) {
         make_dir(resources);
         ASSERT_EQ(::mkfifo((resources + "/pipe").c_str(), 0644), 0);
       },
       "refusing " + resources + "/pipe: only directories, regular files and symbolic links "
                                 "can be shipped"},
      {[&](const BundleDeltaTest&) { write_file(new_app + "/Contents/Info.plist", "<plist>"); },
       new_app + "/Contents/Info.plist: not a property list"},
      {[&](const BundleDeltaTest&) {
         write_file(old_app + "/Contents/Info.plist", test_support::info_plist(""));
       },
       old_app + "/Contents/Info.plist has no CFBundleVersion"},
      {[&](const BundleDeltaTest&) {
         ASSERT_EQ(::rename(old_app.c_str(), other_app.c_str()), 0);
       },
       "the bundles' names differ: Other.app and Zentrivale.app",
       {"--from", other_app, "--to", new_app, "--output", output}},
      {[&](const BundleDeltaTest&) {},
       "cannot read " + dir / "none" + ": No such file or directory (os error 2)",
       {"--from", old_app, "--to", new_app, "--output", output, "--full-archive", dir / "none"}},
  };
  for (const Case& c : cases) {
    test_support::remove_all(dir / "old");
    test_support::remove_all(dir / "new");
    make_pair();
    c.damage(*this);
    test_support::ProgramRun result = c.arguments.empty() ? make_delta() : run(c.arguments);
    EXPECT_EQ(result.exit_status, 1) << c.message;
    EXPECT_EQ(result.standard_error, "bundle_delta: " + c.message + "\n");
    EXPECT_EQ(test_support::list_directory(dir / "out"), std::vector<std::string>{});
  }
}

}  // namespace

// A tree deeper than the tool could hold one descriptor for each level of:
// 300 levels under a limit of 64 open descriptors.
TEST_F(BundleDeltaTest, DeepTreesAreWalkedWithFewDescriptors) {
  make_pair();
  std::string deep = "Contents/Resources";
  for (int level = 0; level < 300; ++level) deep += "/d";
  write_file(old_app + "/" + deep + "/kept.txt", "the same in both\n");
  write_file(new_app + "/" + deep + "/kept.txt", "the same in both\n");
  write_file(new_app + "/" + deep + "/added.txt", "only in the new one\n");
  test_support::ProgramRun result = test_support::run_program(
      "/bin/sh",
      {"-c", "ulimit -n 64 && exec \"$0\" \"$@\"", BUNDLE_DELTA, "--from", old_app, "--to",
       new_app, "--output", output},
      {"PATH=/usr/bin:/bin"}, dir.path());
  ASSERT_EQ(result.exit_status, 0) << result.standard_error;
  EXPECT_EQ(zip_names(output).count("Zentrivale.app/" + deep + "/added.txt"), 1u);
}
