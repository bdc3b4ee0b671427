// The Linux stand-ins for PlistBuddy, codesign, spctl and open, run as the
// installer runs them; their shared pieces tested directly.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "bundle_seal.h"
#include "bundles.h"
#include "bundle_verification.h"
#include "plist_reader.h"
#include "verification_test_support.h"

#ifndef STAND_IN_ROOT
#error "STAND_IN_ROOT is set by the build"
#endif

namespace {

using namespace verification_test;

const installer::Tools kStandIns = installer::Tools::under(STAND_IN_ROOT);

using test_support::info_plist;

// The same dictionary as a binary property list, the form Xcode often ships.
std::string binary_plist(const std::string& entries) {
  std::string xml = info_plist(entries);
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  EXPECT_NE(root, nullptr) << xml;
  char* bytes = nullptr;
  uint32_t size = 0;
  plist_to_bin(root, &bytes, &size);
  plist_free(root);
  std::string binary(bytes, size);
  std::free(bytes);
  EXPECT_EQ(binary.substr(0, 8), "bplist00");
  return binary;
}

// --- The property-list reader ------------------------------------------------

TEST(PlistReaderTest, ReadsTopLevelStringsAndSkipsOtherValues) {
  auto entries = property_list::parse_top_level(info_plist(
      "  <!-- the bundle -->\n"
      "  <key>CFBundleIdentifier</key>\n  <string>com.zentrivale.desktop</string>\n"
      "  <key>Nested</key>\n  <dict><key>Inner</key><string>no</string><key>List</key><array><true/></array></dict>\n"
      "  <key>Name &amp; more</key>\n  <string>&lt;a&gt; &quot;b&quot; &apos;c&apos; &#233;&#x20AC;</string>\n"
      "  <key>Empty</key>\n  <string/>\n"
      "  <key>Count</key>\n  <integer>3</integer>\n"
      "  <key>Raw</key>\n  <string><![CDATA[<b>&amp;</b>]]></string>\n"
      "  <key>Spaced</key>\n  <string>  kept  </string>\n"));
  ASSERT_TRUE(entries.ok()) << entries.error();
  property_list::TopLevelEntries expected{
      {"CFBundleIdentifier", "com.zentrivale.desktop"},
      {"Nested", std::nullopt},
      {"Name & more", "<a> \"b\" 'c' \xC3\xA9\xE2\x82\xAC"},
      {"Empty", ""},
      {"Count", std::nullopt},
      {"Raw", "<b>&amp;</b>"},
      {"Spaced", "  kept  "},
  };
  EXPECT_EQ(*entries, expected);
}

TEST(PlistReaderTest, ReadsBinaryPropertyListsAlike) {
  const std::string entries =
      "<key>CFBundleIdentifier</key><string>com.zentrivale.desktop</string>\n"
      "<key>CFBundleName</key><string>Zentrivale \xC3\xA9\xE2\x82\xAC</string>\n"
      "<key>Count</key><integer>3</integer>\n";
  auto binary = property_list::parse_top_level(binary_plist(entries));
  ASSERT_TRUE(binary.ok()) << binary.error();
  auto xml = property_list::parse_top_level(info_plist(entries));
  ASSERT_TRUE(xml.ok()) << xml.error();
  EXPECT_EQ(*binary, *xml);
  EXPECT_EQ((*binary)["CFBundleName"], "Zentrivale \xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ((*binary)["Count"], std::nullopt);
}

TEST(PlistReaderTest, RefusesWhatIsNotADictionary) {
  EXPECT_EQ(property_list::parse_top_level("bplist00\x01\x02").error(), "not a property list");
  EXPECT_EQ(property_list::parse_top_level("not xml").error(), "not a property list");
  EXPECT_EQ(property_list::parse_top_level("").error(), "not a property list");
  EXPECT_EQ(property_list::parse_top_level("<plist><array/></plist>").error(),
            "the property list's root is not a dictionary");
  EXPECT_EQ(property_list::parse_top_level("<plist><dict><key>K</key><string>v</dict></plist>").error(),
            "not a property list");
  EXPECT_EQ(property_list::parse_top_level("<plist><dict><key>K</key>").error(), "not a property list");
}

// --- PlistBuddy --------------------------------------------------------------

TEST(PlistBuddyStandInTest, PrintsAStringValue) {
  TempDir dir;
  std::string plist = dir.path() + "/Info.plist";
  write_file(plist, info_plist("<key>CFBundleExecutable</key><string>bundle_starter</string>\n"
                               "<key>CFBundleName</key><string>Zentrivale &amp; Co</string>\n"));
  Outcome out = run(kStandIns.plist_buddy, {"-c", "Print :CFBundleName", plist});
  EXPECT_EQ(out.exit_status, 0);
  EXPECT_EQ(out.standard_output, "Zentrivale & Co\n");
  EXPECT_EQ(out.standard_error, "");
}

TEST(PlistBuddyStandInTest, PrintsFromABinaryInfoPlist) {
  TempDir dir;
  std::string plist = dir.path() + "/Info.plist";
  write_file(plist, binary_plist("<key>CFBundleIdentifier</key><string>com.zentrivale.desktop</string>\n"));
  Outcome out = run(kStandIns.plist_buddy, {"-c", "Print :CFBundleIdentifier", plist});
  EXPECT_EQ(out.exit_status, 0);
  EXPECT_EQ(out.standard_output, "com.zentrivale.desktop\n");
  EXPECT_EQ(out.standard_error, "");
}

TEST(PlistBuddyStandInTest, FailsForMissingKeysFilesAndOtherCommands) {
  TempDir dir;
  std::string plist = dir.path() + "/Info.plist";
  write_file(plist, info_plist("<key>Count</key><integer>1</integer>\n"));

  Outcome missing_key = run(kStandIns.plist_buddy, {"-c", "Print :CFBundleIdentifier", plist});
  EXPECT_EQ(missing_key.exit_status, 1);
  EXPECT_EQ(missing_key.standard_output, "");
  EXPECT_EQ(missing_key.standard_error, "Print: Entry, \":CFBundleIdentifier\", Does Not Exist\n");

  Outcome not_string = run(kStandIns.plist_buddy, {"-c", "Print :Count", plist});
  EXPECT_EQ(not_string.exit_status, 1);
  EXPECT_EQ(not_string.standard_error,
            "Print: Entry, \":Count\", is not a string (this stand-in prints strings only)\n");

  std::string absent = dir.path() + "/Absent.plist";
  Outcome missing_file = run(kStandIns.plist_buddy, {"-c", "Print :Count", absent});
  EXPECT_EQ(missing_file.exit_status, 1);
  EXPECT_EQ(missing_file.standard_error,
            "Error Reading File: " + absent + ": No such file or directory (os error 2)\n");

  write_file(plist, "not xml");
  Outcome garbage = run(kStandIns.plist_buddy, {"-c", "Print :Count", plist});
  EXPECT_EQ(garbage.exit_status, 1);
  EXPECT_EQ(garbage.standard_error, "Error Reading File: " + plist + ": not a property list\n");

  const std::string usage =
      "usage: PlistBuddy -c \"Print :KEY\" PLIST (the only form this stand-in knows)\n";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-c", "Set :Count 2", plist}, {"-c", "Print :Count"}}) {
    Outcome other = run(kStandIns.plist_buddy, args);
    EXPECT_EQ(other.exit_status, 1);
    EXPECT_EQ(other.standard_error, usage);
  }
}

// --- codesign and spctl ---------------------------------------------------------

class SealTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(bundle + "/Contents/Info.plist",
               info_plist("<key>CFBundleIdentifier</key><string>com.zentrivale.desktop</string>\n"
                          "<key>CFBundleExecutable</key><string>bundle_starter</string>\n"));
    write_file(bundle + "/Contents/MacOS/bundle_starter", "#!/bin/sh\nexit 0\n", 0755);
    write_file(bundle + "/Contents/Resources/app.icns", "icon");
    write_file(bundle + "/Contents/Frameworks/libgst.1.dylib", "library");
    make_symlink("libgst.1.dylib", bundle + "/Contents/Frameworks/libgst.dylib");
  }

  void sign() {
    Outcome out = run(kStandIns.codesign, {"--force", "--deep", "--sign", "-", bundle});
    ASSERT_EQ(out.exit_status, 0) << out.standard_error;
  }
  Outcome verify() {
    return run(kStandIns.codesign, {"--verify", "--deep", "--strict", "--verbose=2", bundle});
  }
  Outcome assess() {
    return run(kStandIns.spctl, {"--assess", "--type", "execute", "--verbose=2", bundle});
  }
  // Both tools reject the bundle, codesign naming `problem`.
  void expect_rejected(const std::string& problem) {
    Outcome verified = verify();
    EXPECT_EQ(verified.exit_status, 1);
    EXPECT_EQ(verified.standard_error,
              bundle + ": a sealed resource is missing or invalid\n" + problem + "\n");
    Outcome assessed = assess();
    EXPECT_EQ(assessed.exit_status, 1);
    EXPECT_EQ(assessed.standard_error, bundle + ": rejected\nsource=no usable signature\n");
  }

  TempDir dir;
  std::string bundle = dir.path() + "/Zentrivale.app";
};

TEST_F(SealTest, SignedBundleVerifiesAndIsAccepted) {
  Outcome signed_short = run(kStandIns.codesign, {"-s", "-", bundle});
  ASSERT_EQ(signed_short.exit_status, 0) << signed_short.standard_error;
  Outcome verified = verify();
  EXPECT_EQ(verified.exit_status, 0);
  EXPECT_EQ(verified.standard_error,
            bundle + ": valid on disk\n" + bundle + ": satisfies its Designated Requirement\n");
  Outcome assessed = assess();
  EXPECT_EQ(assessed.exit_status, 0);
  EXPECT_EQ(assessed.standard_error, bundle + ": accepted\nsource=stand-in seal\n");
  EXPECT_TRUE(lexists(bundle + "/Contents/_CodeSignature/CodeResources"));
}

// Files are sealed by SHA-256 of their contents, as sha256sum computes it,
// whatever their length against the hash's 64-byte blocks.
TEST_F(SealTest, RecordsEachFilesSha256) {
  if (access("/usr/bin/sha256sum", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/sha256sum";
  for (size_t length : {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 1000u, 1048579u}) {
    std::string data(length, '\0');
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<char>((i * 131 + length) % 251);
    std::string file = bundle + "/Contents/Resources/data";
    write_file(file, data);
    Outcome sum = run("/usr/bin/sha256sum", {file});
    ASSERT_EQ(sum.exit_status, 0);
    auto description = stand_in::describe_bundle(bundle);
    ASSERT_TRUE(description.ok()) << description.error();
    EXPECT_NE(description->find("Contents/Resources/data\tfile x=000 sha256=" +
                                sum.standard_output.substr(0, 64) + "\n"),
              std::string::npos)
        << length << "\n" << *description;
  }
}

TEST_F(SealTest, UnsignedBundleIsRejected) {
  Outcome verified = verify();
  EXPECT_EQ(verified.exit_status, 1);
  EXPECT_EQ(verified.standard_error, bundle + ": code object is not signed at all\n");
  EXPECT_EQ(assess().exit_status, 1);

  Outcome missing = run(kStandIns.codesign, {"--verify", dir.path() + "/Absent.app"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.standard_error,
            dir.path() + "/Absent.app: No such file or directory (os error 2)\n");
}

TEST_F(SealTest, ChangedFileContentsBreakTheSeal) {
  sign();
  write_file(bundle + "/Contents/Resources/app.icns", "other icon");
  expect_rejected("file modified: " + bundle + "/Contents/Resources/app.icns");
}

TEST_F(SealTest, ChangedExecuteBitsBreakTheSeal) {
  sign();
  ASSERT_EQ(::chmod((bundle + "/Contents/MacOS/bundle_starter").c_str(), 0644), 0);
  expect_rejected("file modified: " + bundle + "/Contents/MacOS/bundle_starter");
}

TEST_F(SealTest, AddedAndRemovedEntriesBreakTheSeal) {
  sign();
  write_file(bundle + "/Contents/MacOS/helper", "extra", 0755);
  expect_rejected("file added: " + bundle + "/Contents/MacOS/helper");
  ::unlink((bundle + "/Contents/MacOS/helper").c_str());
  ASSERT_EQ(verify().exit_status, 0);

  ::unlink((bundle + "/Contents/Resources/app.icns").c_str());
  expect_rejected("file missing: " + bundle + "/Contents/Resources/app.icns");
}

TEST_F(SealTest, LinksAreSealedByTargetAndNeverFollowed) {
  write_file(dir.path() + "/outside", "outside");
  make_symlink(dir.path() + "/outside", bundle + "/Contents/Resources/external");
  make_symlink("nowhere", bundle + "/Contents/Resources/dangling");
  sign();
  // What a link points at is not part of the bundle...
  write_file(dir.path() + "/outside", "changed outside");
  ASSERT_EQ(verify().exit_status, 0);

  // ...where it points is.
  ::unlink((bundle + "/Contents/Frameworks/libgst.dylib").c_str());
  make_symlink("../Resources/app.icns", bundle + "/Contents/Frameworks/libgst.dylib");
  expect_rejected("file modified: " + bundle + "/Contents/Frameworks/libgst.dylib");
}

// --- Signing teams ------------------------------------------------------------

const char* const kTeamIdentity = "Developer ID Application: Some Name (ABCDE12345)";

Outcome test_requirement(const std::string& bundle, const std::string& requirement) {
  return run(kStandIns.codesign,
             {"--verify", "--strict", "--test-requirement", requirement, bundle});
}

std::string team_requirement_text(const std::string& team) {
  return "=anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists and "
         "certificate leaf[field.1.2.840.113635.100.6.1.13] exists and "
         "certificate leaf[subject.OU] = \"" + team + "\"";
}

TEST_F(SealTest, TeamSealMeetsItsOwnTeamRequirementOnly) {
  Outcome signed_ = run(kStandIns.codesign, {"--force", "--sign", kTeamIdentity, bundle});
  ASSERT_EQ(signed_.exit_status, 0) << signed_.standard_error;
  EXPECT_EQ(signed_.standard_error, bundle + ": signed bundle for team ABCDE12345 (stand-in seal)\n");
  EXPECT_NE(read_file(bundle + "/Contents/_CodeSignature/CodeResources").find("\nteam ABCDE12345\n"),
            std::string::npos);
  // Everything else treats it like any seal.
  EXPECT_EQ(verify().exit_status, 0);
  EXPECT_EQ(assess().exit_status, 0);

  Outcome same = test_requirement(bundle, team_requirement_text("ABCDE12345"));
  EXPECT_EQ(same.exit_status, 0);
  EXPECT_EQ(same.standard_error, bundle + ": valid on disk\n" + bundle +
                                     ": satisfies its Designated Requirement\n" + bundle +
                                     ": explicit requirement satisfied\n");
  Outcome other = test_requirement(bundle, team_requirement_text("ZYXWV98765"));
  EXPECT_EQ(other.exit_status, 3);
  EXPECT_NE(other.standard_error.find(
                "test-requirement: code failed to satisfy specified code requirement(s)"),
            std::string::npos)
      << other.standard_error;
  // The short and the joined forms of the option mean the same.
  EXPECT_EQ(run(kStandIns.codesign, {"--verify", "-R", team_requirement_text("ABCDE12345"), bundle})
                .exit_status,
            0);
  EXPECT_EQ(run(kStandIns.codesign,
                {"--verify", "--test-requirement=" + team_requirement_text("ZYXWV98765"), bundle})
                .exit_status,
            3);

  // A change after signing fails as a broken seal, team or not.
  write_file(bundle + "/Contents/Resources/app.icns", "other icon");
  Outcome broken = test_requirement(bundle, team_requirement_text("ABCDE12345"));
  EXPECT_EQ(broken.exit_status, 1);
  EXPECT_EQ(broken.standard_error, bundle + ": a sealed resource is missing or invalid\nfile modified: " +
                                       bundle + "/Contents/Resources/app.icns\n");
}

TEST_F(SealTest, AdHocSealNeverMeetsAnAppleAnchor) {
  sign();
  EXPECT_EQ(read_file(bundle + "/Contents/_CodeSignature/CodeResources").find("team "),
            std::string::npos);
  EXPECT_EQ(test_requirement(bundle, team_requirement_text("ABCDE12345")).exit_status, 3);
  // Re-signing ad hoc drops the team of an earlier seal.
  ASSERT_EQ(run(kStandIns.codesign, {"--force", "--sign", kTeamIdentity, bundle}).exit_status, 0);
  sign();
  EXPECT_EQ(test_requirement(bundle, team_requirement_text("ABCDE12345")).exit_status, 3);
}

TEST_F(SealTest, AnyOtherRequirementOrIdentityFailsLoudly) {
  ASSERT_EQ(run(kStandIns.codesign, {"--sign", kTeamIdentity, bundle}).exit_status, 0);
  for (const std::string& requirement :
       {team_requirement_text("ABCDE12345").substr(1),
        // The same team without the Developer ID markers: a development
        // certificate of the team would meet it.
        std::string("=anchor apple generic and certificate leaf[subject.OU] = \"ABCDE12345\""),
        std::string("=anchor apple generic and certificate leaf[subject.OU] = ABCDE12345"),
        std::string("=anchor apple generic and certificate leaf[subject.OU] = \"abcde12345\""),
        std::string("=anchor apple generic"), std::string("=notarized"), std::string("")}) {
    SCOPED_TRACE(requirement);
    Outcome out = test_requirement(bundle, requirement);
    EXPECT_EQ(out.exit_status, 1);
    EXPECT_EQ(out.standard_error,
              "test-requirement: this stand-in evaluates only " +
                  team_requirement_text("TEAMID") + ", not: " + requirement + "\n");
  }
  for (const char* identity : {"Developer ID Application: Some Name", "Apple Development: X (ABCDE12345)",
                               "Developer ID Application: Some Name (ABCDE1234)",
                               "Developer ID Application:  (abcde12345)"}) {
    SCOPED_TRACE(identity);
    Outcome out = run(kStandIns.codesign, {"--sign", identity, bundle});
    EXPECT_EQ(out.exit_status, 1);
    EXPECT_EQ(out.standard_error, std::string(identity) +
                                      ": this stand-in signs ad hoc (-) or as \"Developer ID "
                                      "Application: NAME (TEAMID)\" only\n");
  }
  // The earlier seal is still the team's.
  EXPECT_EQ(test_requirement(bundle, team_requirement_text("ABCDE12345")).exit_status, 0);
}

// The installer's verification against the stand-ins, end to end.
TEST_F(SealTest, VerifyBundleAcceptsASealedBundleOnly) {
  sign();
  installer::Log log = log_to(dir.path() + "/update-helper.log");
  ::testing::internal::CaptureStderr();
  auto accepted = installer::verify_bundle(bundle, "com.zentrivale.desktop", false, log, kStandIns);
  write_file(bundle + "/Contents/MacOS/bundle_starter", "#!/bin/sh\nexit 1\n", 0755);
  auto rejected = installer::verify_bundle(bundle, "com.zentrivale.desktop", false, log, kStandIns);
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(accepted.ok()) << accepted.error();
  EXPECT_EQ(rejected.error(), "the updated application's code signature is invalid");
}

TEST_F(SealTest, VerifyBundleReadsABinaryInfoPlist) {
  write_file(bundle + "/Contents/Info.plist",
             binary_plist("<key>CFBundleIdentifier</key><string>com.zentrivale.desktop</string>\n"
                          "<key>CFBundleExecutable</key><string>bundle_starter</string>\n"));
  sign();
  installer::Log log = log_to(dir.path() + "/update-helper.log");
  ::testing::internal::CaptureStderr();
  auto accepted = installer::verify_bundle(bundle, "com.zentrivale.desktop", false, log, kStandIns);
  auto mismatch = installer::verify_bundle(bundle, "com.zentrivale.other", false, log, kStandIns);
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(accepted.ok()) << accepted.error();
  EXPECT_EQ(mismatch.error(),
            "bundle identifier mismatch: expected com.zentrivale.other, got com.zentrivale.desktop");
}

// --- open ------------------------------------------------------------------------

class OpenStandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(bundle + "/Contents/Info.plist",
               info_plist("<key>CFBundleExecutable</key><string>bundle_starter</string>\n"));
    install_double(executable);
  }

  TempDir dir;
  std::string bundle = dir.path() + "/Zentrivale.app";
  std::string executable = bundle + "/Contents/MacOS/bundle_starter";
};

TEST_F(OpenStandInTest, StartsTheMainExecutableDetached) {
  // Orphans come back to this test, so the started application is reaped here.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  Outcome out = run(kStandIns.open, {bundle});
  EXPECT_EQ(out.exit_status, 0);
  EXPECT_EQ(out.standard_error, "");

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!lexists(executable + ".seen.1") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto record = seen(executable);
  ASSERT_FALSE(record.empty()) << "the executable did not start";
  pid_t pid = static_cast<pid_t>(std::stol(record["pid"]));
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);

  EXPECT_EQ(calls(executable), (std::vector<std::vector<std::string>>{{executable}}));
  EXPECT_EQ(record["sid"], record["pid"]);  // a session of its own
  EXPECT_EQ(record["fds"], "0 1 2");
  EXPECT_EQ(record["stdin"], identity_of_path("/dev/null"));
  EXPECT_EQ(record["stdout"], identity_of_path("/dev/null"));
  EXPECT_EQ(record["stderr"], identity_of_path("/dev/null"));
  EXPECT_EQ(record["cwd"], "/");
}

TEST_F(OpenStandInTest, FailsWhenThereIsNothingToStart) {
  std::string plist = bundle + "/Contents/Info.plist";

  ::unlink(executable.c_str());
  write_file(executable, "#!/bin/sh\n", 0644);
  Outcome not_executable = run(kStandIns.open, {bundle});
  EXPECT_EQ(not_executable.exit_status, 1);
  EXPECT_EQ(not_executable.standard_error,
            bundle + ": the executable " + executable + " is missing or not executable\n");

  ::unlink(executable.c_str());
  Outcome missing = run(kStandIns.open, {bundle});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.standard_error,
            bundle + ": the executable " + executable + " is missing or not executable\n");

  write_file(plist, info_plist("<key>CFBundleIdentifier</key><string>x</string>\n"));
  Outcome no_key = run(kStandIns.open, {bundle});
  EXPECT_EQ(no_key.exit_status, 1);
  EXPECT_EQ(no_key.standard_error, bundle + ": " + plist + " names no CFBundleExecutable\n");

  ::unlink(plist.c_str());
  Outcome no_plist = run(kStandIns.open, {bundle});
  EXPECT_EQ(no_plist.exit_status, 1);
  EXPECT_EQ(no_plist.standard_error,
            bundle + ": cannot read " + plist + ": No such file or directory (os error 2)\n");

  Outcome no_bundle = run(kStandIns.open, {dir.path() + "/Absent.app"});
  EXPECT_EQ(no_bundle.exit_status, 1);
  EXPECT_EQ(no_bundle.standard_error, "The file " + dir.path() + "/Absent.app does not exist.\n");
}

}  // namespace
