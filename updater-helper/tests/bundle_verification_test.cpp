// verify_bundle and read_plist_key against per-case tool doubles.
#include "bundle_verification.h"
#include "bundle_version.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "verification_test_support.h"

namespace installer {
namespace {

using namespace verification_test;
using Argv = std::vector<std::string>;

constexpr const char* kId = "com.zentrivale.desktop";

class VerifyBundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(plist(), "<plist/>");  // the doubles never read it
    write_file(executable(), "#!/bin/sh\n", 0755);
    install_double(tools.plist_buddy);
    install_double(tools.codesign);
    install_double(tools.spctl);
    plist_answers(std::string(kId) + "\n", "bundle_starter\n");
  }

  std::string bundle() const { return dir.path() + "/staging/Zentrivale.app"; }
  std::string plist() const { return bundle() + "/Contents/Info.plist"; }
  std::string executable() const { return bundle() + "/Contents/MacOS/bundle_starter"; }
  std::string log_path() const { return dir.path() + "/update-helper.log"; }

  // What PlistBuddy prints for the identifier (first call) and the executable.
  void plist_answers(const std::string& identifier, const std::string& executable_name) {
    write_file(tools.plist_buddy + ".out.1", identifier);
    write_file(tools.plist_buddy + ".out.2", executable_name);
  }
  void outcomes(const std::string& tool, const std::string& list) {
    write_file(tool + ".outcomes", list);
  }

  // Each run starts a fresh record, so the doubles count invocations from 1.
  support::Result<void> verify(bool skip = false, const std::string& expected = kId) {
    for (const std::string& tool : {tools.plist_buddy, tools.codesign, tools.spctl}) {
      ::unlink((tool + ".calls").c_str());
    }
    Log log = log_to(log_path());
    return verify_bundle(bundle(), expected, skip, log, tools);
  }

  Argv print(const std::string& key) const {
    return {tools.plist_buddy, "-c", "Print :" + key, plist()};
  }

  TempDir dir;
  Tools tools = Tools::under(dir.path() + "/tools");
};

TEST_F(VerifyBundleTest, PassesAfterRunningEachToolOnceInOrder) {
  auto result = verify();
  ASSERT_TRUE(result.ok()) << result.error();

  EXPECT_EQ(calls(tools.plist_buddy),
            (std::vector<Argv>{print("CFBundleIdentifier"), print("CFBundleExecutable")}));
  EXPECT_EQ(calls(tools.codesign),
            (std::vector<Argv>{{tools.codesign, "--verify", "--deep", "--strict", "--verbose=2",
                                bundle()}}));
  EXPECT_EQ(calls(tools.spctl), (std::vector<Argv>{{tools.spctl, "--assess", "--type", "execute",
                                                    "--verbose=2", bundle()}}));
  EXPECT_EQ(read_file(log_path()), "");
}

TEST_F(VerifyBundleTest, InfoPlistMustBeARegularFile) {
  ::unlink(plist().c_str());
  EXPECT_EQ(verify().error(), "application is missing Contents/Info.plist");

  make_symlink(dir.path() + "/nowhere", plist());
  EXPECT_EQ(verify().error(), "application is missing Contents/Info.plist");

  ::unlink(plist().c_str());
  ASSERT_EQ(::mkdir(plist().c_str(), 0755), 0);
  EXPECT_EQ(verify().error(), "application is missing Contents/Info.plist");
  EXPECT_FALSE(lexists(tools.plist_buddy + ".calls"));
}

TEST_F(VerifyBundleTest, PlistBuddyThatCannotStart) {
  ::unlink(tools.plist_buddy.c_str());
  EXPECT_EQ(verify().error(),
            "could not read CFBundleIdentifier: No such file or directory (os error 2)");

  write_file(tools.plist_buddy, "not a program", 0644);
  EXPECT_EQ(verify().error(), "could not read CFBundleIdentifier: Permission denied (os error 13)");
}

// Everything that follows from what PlistBuddy prints and how it ends: the
// message, how often it ran, and whether the signature tools ran after it.
TEST_F(VerifyBundleTest, WhatPlistBuddyPrintsDecidesTheOutcome) {
  const std::string ok;  // verification passes
  const std::string unreadable_id = "could not read CFBundleIdentifier from the application's Info.plist";
  struct Row {
    const char* what;
    std::string identifier;  // printed for the first call
    std::string executable;  // printed for the second
    std::string outcomes;    // the double's exit statuses ("k9": killed by signal 9)
    std::string error_text;  // what it prints on standard error
    bool flood = false;      // 1 MiB on standard error
    std::string expected_identifier = kId;
    std::string error;       // "" for success
  };
  const std::string id = std::string(kId) + "\n";
  const std::string exe = "bundle_starter\n";
  const std::vector<Row> rows{
      // What the tool says about its failure stays out of the message.
      {"fails for the identifier", id, exe, "1",
       "Print: Entry, \":CFBundleIdentifier\", Does Not Exist\n", false, kId, unreadable_id},
      {"killed while reading the identifier", id, exe, "k9", "", false, kId, unreadable_id},
      {"fails for the executable", id, exe, "0 3", "", false, kId,
       "could not read CFBundleExecutable from the application's Info.plist"},
      {"an identifier of white space", " \t\r\n", exe, "", "", false, kId,
       "CFBundleIdentifier in the application's Info.plist is empty"},
      // No-break space and ideographic space are white space too.
      {"an executable of Unicode white space", id, "\xC2\xA0\xE3\x80\x80\n", "", "", false, kId,
       "CFBundleExecutable in the application's Info.plist is empty"},
      {"nothing printed for the identifier", "", exe, "", "", false, kId,
       "CFBundleIdentifier in the application's Info.plist is empty"},
      {"values trimmed before use", "\r\n  com.zentrivale.desktop \xE2\x80\x83\n\n",
       "\tbundle_starter  \n", "", "", false, kId, ok},
      {"standard error flooded", id, exe, "", "", true, kId, ok},
      {"another identifier: expected, then found", "com.Zentrivale.desktop\n", exe, "", "", false,
       kId,
       "bundle identifier mismatch: expected com.zentrivale.desktop, got com.Zentrivale.desktop"},
      {"the expected identifier is not trimmed", id, exe, "", "", false,
       " com.zentrivale.desktop ",
       "bundle identifier mismatch: expected  com.zentrivale.desktop , got "
       "com.zentrivale.desktop"},
      {"invalid UTF-8 replaced", "com.zentrivale.\xFF\n", exe, "", "", false, kId,
       "bundle identifier mismatch: expected com.zentrivale.desktop, got "
       "com.zentrivale.\xEF\xBF\xBD"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const char* file : {".err", ".err_fill", ".outcomes"}) {
      ::unlink((tools.plist_buddy + file).c_str());
    }
    plist_answers(row.identifier, row.executable);
    if (!row.outcomes.empty()) outcomes(tools.plist_buddy, row.outcomes);
    if (!row.error_text.empty()) write_file(tools.plist_buddy + ".err", row.error_text);
    if (row.flood) write_file(tools.plist_buddy + ".err_fill", std::to_string(1 << 20));
    auto result = verify(false, row.expected_identifier);
    EXPECT_EQ(result.ok() ? ok : result.error(), row.error);
    // Nothing after a failed identifier runs; the signature tools run only
    // after both values passed.
    bool identifier_failed = row.error.find("Identifier") != std::string::npos ||
                             row.error.find("identifier") != std::string::npos;
    EXPECT_EQ(calls(tools.plist_buddy).size(), identifier_failed ? 1u : 2u);
    EXPECT_EQ(lexists(tools.codesign + ".calls"), row.error.empty());
    EXPECT_EQ(lexists(tools.spctl + ".calls"), row.error.empty());
  }
}

TEST_F(VerifyBundleTest, ExecutableMustBeARegularFile) {
  ::unlink(executable().c_str());
  EXPECT_EQ(verify().error(), "application executable is missing: " + executable());

  ASSERT_EQ(::mkdir(executable().c_str(), 0755), 0);
  EXPECT_EQ(verify().error(), "application executable is missing: " + executable());

  plist_answers(std::string(kId) + "\n", dir.path() + "/elsewhere/bundle_starter\n");
  EXPECT_EQ(verify().error(),
            "application executable is missing: " + dir.path() + "/elsewhere/bundle_starter");
  EXPECT_FALSE(lexists(tools.codesign + ".calls"));
}

TEST_F(VerifyBundleTest, ExecutableNeedsNoExecutePermissionAndMayBeALink) {
  ASSERT_EQ(::chmod(executable().c_str(), 0644), 0);
  auto result = verify();
  EXPECT_TRUE(result.ok()) << result.error();

  write_file(bundle() + "/Contents/MacOS/real", "binary");
  ::unlink(executable().c_str());
  make_symlink("real", executable());
  result = verify();
  EXPECT_TRUE(result.ok()) << result.error();
}

TEST_F(VerifyBundleTest, PathsInMessagesAreMadeValidUtf8) {
  std::string odd = dir.path() + "/caf\xE9";
  std::string odd_bundle = odd + "/Zentrivale.app";
  write_file(odd_bundle + "/Contents/Info.plist", "<plist/>");
  Log log = log_to(log_path());
  EXPECT_EQ(verify_bundle(odd_bundle, kId, false, log, tools).error(),
            "application executable is missing: " + dir.path() +
                "/caf\xEF\xBF\xBD/Zentrivale.app/Contents/MacOS/bundle_starter");
}

TEST_F(VerifyBundleTest, CodesignFailures) {
  outcomes(tools.codesign, "1");
  EXPECT_EQ(verify().error(), "the updated application's code signature is invalid");
  outcomes(tools.codesign, "k15");
  EXPECT_EQ(verify().error(), "the updated application's code signature is invalid");
  EXPECT_FALSE(lexists(tools.spctl + ".calls"));

  ::unlink(tools.codesign.c_str());
  EXPECT_EQ(verify().error(), "could not run codesign: No such file or directory (os error 2)");
}

TEST_F(VerifyBundleTest, GatekeeperFailures) {
  outcomes(tools.spctl, "3");
  EXPECT_EQ(verify().error(), "Gatekeeper rejected the updated application");
  outcomes(tools.spctl, "k9");
  EXPECT_EQ(verify().error(), "Gatekeeper rejected the updated application");

  ::unlink(tools.spctl.c_str());
  EXPECT_EQ(verify().error(),
            "could not run Gatekeeper assessment: No such file or directory (os error 2)");
}

TEST_F(VerifyBundleTest, SkipFlagWarnsOnceAndRunsNoSignatureTool) {
  outcomes(tools.codesign, "1");
  outcomes(tools.spctl, "1");
  auto result = verify(true);
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(log_messages(log_path()),
            std::vector<std::string>{
                "WARNING: skipping code-signature and Gatekeeper verification (development flag)"});
  EXPECT_EQ(calls(tools.plist_buddy).size(), 2u);
  EXPECT_FALSE(lexists(tools.codesign + ".calls"));
  EXPECT_FALSE(lexists(tools.spctl + ".calls"));
}

TEST_F(VerifyBundleTest, SkipFlagStillChecksIdentifierAndExecutable) {
  plist_answers("com.example.other\n", "bundle_starter\n");
  EXPECT_EQ(verify(true).error(),
            "bundle identifier mismatch: expected com.zentrivale.desktop, got com.example.other");

  plist_answers(std::string(kId) + "\n", "bundle_starter\n");
  ::unlink(executable().c_str());
  EXPECT_EQ(verify(true).error(), "application executable is missing: " + executable());
  EXPECT_EQ(read_file(log_path()), "");  // no warning for a bundle that failed
}

// --- The signing team ---------------------------------------------------------

class VerifyTeamTest : public VerifyBundleTest {
 protected:
  support::Result<void> verify_team(bool skip = false) {
    for (const std::string& tool : {tools.plist_buddy, tools.codesign, tools.spctl}) {
      ::unlink((tool + ".calls").c_str());
    }
    Log log = log_to(log_path());
    return verify_bundle(bundle(), kId, skip, log, tools, std::string("ABCDE12345"));
  }
  Argv signature_run() const {
    return {tools.codesign, "--verify", "--deep", "--strict", "--verbose=2", bundle()};
  }
  Argv team_run() const {
    return {tools.codesign, "--verify", "--strict", "--test-requirement",
            "=anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists and "
            "certificate leaf[field.1.2.840.113635.100.6.1.13] exists and "
            "certificate leaf[subject.OU] = \"ABCDE12345\"",
            bundle()};
  }
};

TEST_F(VerifyTeamTest, RequirementRunsBetweenSignatureAndGatekeeper) {
  // Developer ID only: Apple's anchor, the Developer ID intermediate and
  // leaf markers, then the team.
  EXPECT_EQ(team_requirement("Z7P62XVNWC"),
            "=anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists and "
            "certificate leaf[field.1.2.840.113635.100.6.1.13] exists and "
            "certificate leaf[subject.OU] = \"Z7P62XVNWC\"");
  auto result = verify_team();
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(calls(tools.codesign), (std::vector<Argv>{signature_run(), team_run()}));
  EXPECT_EQ(calls(tools.spctl).size(), 1u);
  // The team run shares the installer's streams, like the signature run.
  auto record = seen(tools.codesign, 2);
  EXPECT_EQ(record["fds"], expected_child_fds());
  EXPECT_EQ(record["stdin"], identity_of_fd(0));
  EXPECT_EQ(record["stdout"], identity_of_fd(1));
  EXPECT_EQ(record["stderr"], identity_of_fd(2));
  EXPECT_EQ(read_file(log_path()), "");
}

TEST_F(VerifyTeamTest, AnotherTeamIsRefusedBeforeGatekeeper) {
  for (const char* outcome : {"0 3", "0 1", "0 k9"}) {
    SCOPED_TRACE(outcome);
    outcomes(tools.codesign, outcome);
    EXPECT_EQ(verify_team().error(), "the updated application is not signed by team ABCDE12345");
    EXPECT_EQ(calls(tools.codesign).size(), 2u);
    EXPECT_FALSE(lexists(tools.spctl + ".calls"));
  }
  // A broken signature is reported as such; the team is not asked about.
  outcomes(tools.codesign, "1");
  EXPECT_EQ(verify_team().error(), "the updated application's code signature is invalid");
  EXPECT_EQ(calls(tools.codesign), std::vector<Argv>{signature_run()});

  ::unlink(tools.codesign.c_str());
  EXPECT_EQ(verify_team().error(), "could not run codesign: No such file or directory (os error 2)");
}

TEST_F(VerifyTeamTest, SkipFlagSkipsTheTeamToo) {
  outcomes(tools.codesign, "1");
  auto result = verify_team(true);
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_FALSE(lexists(tools.codesign + ".calls"));
  EXPECT_FALSE(lexists(tools.spctl + ".calls"));
  EXPECT_EQ(log_messages(log_path()),
            std::vector<std::string>{
                "WARNING: skipping code-signature and Gatekeeper verification (development flag)"});
}

TEST_F(VerifyBundleTest, ToolOutputReachesStandardErrorButNeverTheLog) {
  write_file(tools.codesign + ".err", "codesign: resource envelope is obsolete\n");
  outcomes(tools.codesign, "1");
  ::testing::internal::CaptureStderr();
  auto result = verify();
  std::string standard_error = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(result.error(), "the updated application's code signature is invalid");
  EXPECT_EQ(standard_error, "codesign: resource envelope is obsolete\n");
  EXPECT_EQ(read_file(log_path()), "");
}

TEST_F(VerifyBundleTest, ToolsGetOnlyTheirStandardStreams) {
  auto result = verify();
  ASSERT_TRUE(result.ok()) << result.error();

  // PlistBuddy: input from the null device, output into the installer's pipes.
  for (int n : {1, 2}) {
    auto plist_buddy = seen(tools.plist_buddy, n);
    EXPECT_EQ(plist_buddy["fds"], expected_child_fds());
    EXPECT_EQ(plist_buddy["stdin"], identity_of_path("/dev/null"));
    EXPECT_NE(plist_buddy["stdout"], identity_of_fd(1));
    EXPECT_NE(plist_buddy["stderr"], identity_of_fd(2));
    EXPECT_NE(plist_buddy["stdout"], plist_buddy["stderr"]);
  }
  // codesign and spctl: the installer's own streams.
  for (const std::string& tool : {tools.codesign, tools.spctl}) {
    auto record = seen(tool);
    EXPECT_EQ(record["fds"], expected_child_fds()) << tool;
    EXPECT_EQ(record["stdin"], identity_of_fd(0)) << tool;
    EXPECT_EQ(record["stdout"], identity_of_fd(1)) << tool;
    EXPECT_EQ(record["stderr"], identity_of_fd(2)) << tool;
  }
}

}  // namespace
}  // namespace installer

namespace installer {
namespace {

TEST(BundleVersionTest, ComparesDigitRunsNumericallyComponentByComponent) {
  struct Row {
    const char* a;
    const char* b;
    std::optional<int> order;
  } rows[] = {
      {"2.4", "2.4.0", 0},   {"2.4.0.0", "2.4", 0},  {"02.4", "2.04", 0},
      {"2.10", "2.9", 1},    {"1.0", "1.0.1", -1},   {"3", "12", -1},
      {"99999999999999999999", "100000000000000000000", -1},
      {"", "1", std::nullopt},      {"1.", "1", std::nullopt},     {".1", "1", std::nullopt},
      {"1..2", "1", std::nullopt},  {"1", "1a", std::nullopt},     {"1", " 1", std::nullopt},
      {"1", "-1", std::nullopt},    {"2.5-beta", "2.4", std::nullopt},
  };
  for (const Row& row : rows) {
    std::optional<int> order = compare_bundle_versions(row.a, row.b);
    if (order) *order = *order < 0 ? -1 : (*order > 0 ? 1 : 0);
    EXPECT_EQ(order, row.order) << row.a << " vs " << row.b;
  }
}

}  // namespace
}  // namespace installer
