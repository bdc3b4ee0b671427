#include "arguments.h"

#include <gtest/gtest.h>

namespace installer {
namespace {

using Arguments = std::vector<std::string>;

const std::string kUsageLine = std::string("\n") + kUsage;

Arguments valid(Arguments extra = {}) {
  Arguments arguments{"--archive",    "/tmp/u.zip", "--target-app", "/Applications/Zentrivale.app",
                      "--parent-pid", "812",        "--bundle-id",  "com.example.zentrivale"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return arguments;
}

std::string error_of(const Arguments& arguments) {
  support::Result<Args> args = parse_arguments(arguments);
  EXPECT_FALSE(args.ok());
  return args.ok() ? std::string("<accepted>") : args.error();
}

TEST(ArgumentsTest, ReadsEveryField) {
  support::Result<Args> args = parse_arguments(valid());
  ASSERT_TRUE(args.ok()) << args.error();
  EXPECT_EQ(args->archive, "/tmp/u.zip");
  EXPECT_EQ(args->target_app, "/Applications/Zentrivale.app");
  EXPECT_EQ(args->parent_pid, 812);
  EXPECT_EQ(args->bundle_id, "com.example.zentrivale");
  EXPECT_TRUE(args->relaunch_after_install);
  EXPECT_FALSE(args->skip_signature_verification);

  args = parse_arguments(valid({"--no-relaunch", "--insecure-skip-signature-verification",
                                "--no-relaunch", "--archive", "/tmp/later.zip"}));
  ASSERT_TRUE(args.ok()) << args.error();
  EXPECT_FALSE(args->relaunch_after_install);
  EXPECT_TRUE(args->skip_signature_verification);
  EXPECT_EQ(args->archive, "/tmp/later.zip") << "a later value replaces an earlier one";
}

TEST(ArgumentsTest, ValuesAreTakenWhateverTheyLookLike) {
  // "--archive --target-app": the archive is the text --target-app, and the
  // argument after it is then unknown.
  EXPECT_EQ(error_of({"--archive", "--target-app", "/x/Zentrivale.app"}),
            "unknown argument: /x/Zentrivale.app" + kUsageLine);
  support::Result<Args> args = parse_arguments({"--archive", "", "--target-app", "Zentrivale.app",
                                                "--parent-pid", "+42", "--bundle-id", "--x"});
  ASSERT_TRUE(args.ok()) << args.error();
  EXPECT_EQ(args->archive, "");
  EXPECT_EQ(args->parent_pid, 42);
  EXPECT_EQ(args->bundle_id, "--x");
}

TEST(ArgumentsTest, ReadingErrors) {
  EXPECT_EQ(error_of({"--help"}), "unknown argument: --help" + kUsageLine);
  EXPECT_EQ(error_of({""}), "unknown argument: " + kUsageLine);
  EXPECT_EQ(error_of({"--archive=/tmp/u.zip"}), "unknown argument: --archive=/tmp/u.zip" + kUsageLine);
  EXPECT_EQ(error_of({"--archive"}), "--archive requires a value");
  EXPECT_EQ(error_of({"--bundle-id", "x", "--parent-pid"}), "--parent-pid requires a value");
  // Not UTF-8: rendered readably, never a crash.
  EXPECT_EQ(error_of({"\xff--x"}), "unknown argument: \xEF\xBF\xBD--x" + kUsageLine);
}

TEST(ArgumentsTest, InvalidProcessIdStopsReadingAtOnce) {
  EXPECT_EQ(error_of({"--parent-pid", "4x", "--bogus"}), "--parent-pid must be an integer");
  for (const char* value : {"", "+", "-", " 42", "42 ", "2147483648", "-2147483649", "0x10", "4x",
                            "99999999999999999999"}) {
    EXPECT_EQ(error_of(valid({"--parent-pid", value})), "--parent-pid must be an integer") << value;
  }
}

TEST(ArgumentsTest, PresenceIsCheckedInOrderBeforeValidity) {
  EXPECT_EQ(error_of({}), "--archive is required" + kUsageLine);
  EXPECT_EQ(error_of({"--archive", "a"}), "--target-app is required" + kUsageLine);
  EXPECT_EQ(error_of({"--archive", "a", "--target-app", "b"}), "--parent-pid is required" + kUsageLine);
  EXPECT_EQ(error_of({"--archive", "a", "--target-app", "b", "--parent-pid", "1"}),
            "--bundle-id is required" + kUsageLine);
}

TEST(ArgumentsTest, Validation) {
  for (const char* pid : {"1", "0", "-7", "-2147483648"}) {
    EXPECT_EQ(error_of(valid({"--parent-pid", pid})), "--parent-pid must be a real process ID") << pid;
  }
  for (const char* target : {"/Applications/Zentrivale.APP", "/Applications/.app", "/", "x.app/..",
                             "Zentrivale"}) {
    EXPECT_EQ(error_of(valid({"--target-app", target})), "--target-app must point at an .app bundle")
        << target;
  }
  for (const char* id : {"", " ", "\t\n", "\xE3\x80\x80\xC2\xA0"}) {
    EXPECT_EQ(error_of(valid({"--bundle-id", id})), "--bundle-id must not be empty") << id;
  }
  // Process ID 1 is rejected only after every option is present.
  EXPECT_EQ(error_of(valid({"--parent-pid", "1", "--target-app", "x.APP"})),
            "--parent-pid must be a real process ID");
}

TEST(ArgumentsTest, AcceptedEdgeValues) {
  support::Result<Args> args =
      parse_arguments(valid({"--target-app", "Zentrivale.app/", "--bundle-id", " id ",
                             "--parent-pid", "2147483647"}));
  ASSERT_TRUE(args.ok()) << args.error();
  EXPECT_EQ(args->target_app, "Zentrivale.app/");
  EXPECT_EQ(args->bundle_id, " id ") << "kept unchanged";
  EXPECT_EQ(args->parent_pid, 2147483647);
  EXPECT_EQ(parse_process_id("-2147483648"), -2147483648LL);
  EXPECT_EQ(parse_process_id("0002"), 2);
}

TEST(ArgumentsTest, TeamIdIsTenCapitalLettersOrDigits) {
  support::Result<Args> args = parse_arguments(valid());
  ASSERT_TRUE(args.ok()) << args.error();
  EXPECT_EQ(args->team_id, std::nullopt);

  for (const char* team : {"ABCDE12345", "0000000000", "ZZZZZZZZZZ"}) {
    args = parse_arguments(valid({"--team-id", team}));
    ASSERT_TRUE(args.ok()) << team << ": " << args.error();
    EXPECT_EQ(args->team_id, std::optional<std::string>(team));
  }
  for (const char* team : {"", "ABCDE1234", "ABCDE123456", "abcde12345", "ABCDE-1234",
                           "ABCDE 1234", " ABCDE1234", "ABCDE\xC3\x84" "12", "ABCDE1234\n",
                           "--bundle-id"}) {
    EXPECT_EQ(error_of(valid({"--team-id", team})), "--team-id must be a 10-character Apple team ID")
        << team;
  }
  EXPECT_EQ(error_of(valid({"--team-id"})), "--team-id requires a value");
  // Given twice, the later value counts, as for every value option.
  args = parse_arguments(valid({"--team-id", "bad", "--team-id", "ABCDE12345"}));
  ASSERT_TRUE(args.ok()) << args.error();
  EXPECT_EQ(args->team_id, std::optional<std::string>("ABCDE12345"));
  EXPECT_EQ(error_of(valid({"--team-id", "ABCDE12345", "--team-id", "ABCDE1234"})),
            "--team-id must be a 10-character Apple team ID");
  // Presence of the required options is reported first.
  EXPECT_EQ(error_of({"--team-id", "x", "--archive", "a"}), "--target-app is required" + kUsageLine);
}

TEST(ArgumentsTest, ArchiveDigestIsSixtyFourHexadecimalDigits) {
  const std::string digest(64, 'a');
  support::Result<Args> args =
      parse_arguments(valid({"--archive-sha256", "bad", "--archive-sha256", "0F" + digest.substr(2),
                             "--refuse-downgrade", "--delta"}));
  ASSERT_TRUE(args.ok()) << args.error();
  ASSERT_TRUE(args->archive_sha256);
  EXPECT_EQ(support::to_hex(*args->archive_sha256), "0f" + digest.substr(2));
  EXPECT_TRUE(args->refuse_downgrade && args->delta);
  for (const std::string& bad : {std::string(), digest.substr(1), digest + "a", "g" + digest.substr(1),
                                 " " + digest.substr(1)}) {
    EXPECT_EQ(error_of(valid({"--archive-sha256", bad})),
              "--archive-sha256 must be 64 hexadecimal digits") << bad;
  }
  EXPECT_EQ(error_of(valid({"--archive-sha256"})), "--archive-sha256 requires a value");
}

TEST(ArgumentsTest, DeltaNeedsTheArchiveDigest) {
  const std::string digest(64, 'a');
  Arguments verify{"--verify-only", "--archive", "/tmp/u.zip", "--target-app",
                   "/Applications/Zentrivale.app", "--bundle-id", "com.example.zentrivale"};
  for (Arguments arguments : {valid(), verify}) {
    arguments.push_back("--delta");
    EXPECT_EQ(error_of(arguments), "--delta requires --archive-sha256");
    // The other checks come first.
    Arguments bad_digest = arguments;
    bad_digest.insert(bad_digest.end(), {"--archive-sha256", "bad"});
    EXPECT_EQ(error_of(bad_digest), "--archive-sha256 must be 64 hexadecimal digits");
    arguments.insert(arguments.end(), {"--archive-sha256", digest});
    support::Result<Args> args = parse_arguments(arguments);
    ASSERT_TRUE(args.ok()) << args.error();
    EXPECT_TRUE(args->delta);
  }
  EXPECT_EQ(error_of({"--delta", "--archive", "a", "--target-app", "b.app"}),
            "--parent-pid is required" + kUsageLine);
}

TEST(ArgumentsTest, VerifyOnlyNeedsNoProcessIdButStillValidatesOne) {
  Arguments verify{"--verify-only", "--archive", "/tmp/u.zip", "--target-app",
                   "/Applications/Zentrivale.app", "--bundle-id", "com.example.zentrivale"};
  support::Result<Args> args = parse_arguments(verify);
  ASSERT_TRUE(args.ok()) << args.error();
  EXPECT_TRUE(args->verify_only);
  EXPECT_EQ(args->parent_pid, 0);

  args = parse_arguments(valid());
  ASSERT_TRUE(args.ok()) << args.error();
  EXPECT_FALSE(args->verify_only);

  // Given, the process ID is checked as always.
  Arguments with_pid = verify;
  with_pid.insert(with_pid.end(), {"--parent-pid", "1"});
  EXPECT_EQ(error_of(with_pid), "--parent-pid must be a real process ID");
  with_pid.back() = "4x";
  EXPECT_EQ(error_of(with_pid), "--parent-pid must be an integer");
  with_pid.back() = "812";
  args = parse_arguments(with_pid);
  ASSERT_TRUE(args.ok()) << args.error();
  EXPECT_EQ(args->parent_pid, 812);

  // Every other rule holds: the other options are required and validated.
  EXPECT_EQ(error_of({"--verify-only", "--archive", "a", "--target-app", "b.app"}),
            "--bundle-id is required" + kUsageLine);
  EXPECT_EQ(error_of({"--verify-only", "--archive", "a"}), "--target-app is required" + kUsageLine);
  EXPECT_EQ(error_of({"--verify-only", "--archive", "a", "--target-app", "b", "--bundle-id", "i"}),
            "--target-app must point at an .app bundle");
  Arguments more = verify;
  more.insert(more.end(), {"--no-relaunch", "--insecure-skip-signature-verification", "--team-id",
                           "ABCDE12345", "--verify-only"});
  args = parse_arguments(more);
  ASSERT_TRUE(args.ok()) << args.error();
  EXPECT_TRUE(args->skip_signature_verification);
  EXPECT_EQ(args->team_id, std::optional<std::string>("ABCDE12345"));
  EXPECT_EQ(error_of({"--verify-only=yes"}), "unknown argument: --verify-only=yes" + kUsageLine);
}

TEST(ArgumentsTest, UsageEndsWithTheOptionalChecks) {
  const std::string usage = kUsage;
  const std::string tail = " [--no-relaunch] [--insecure-skip-signature-verification]"
                           " [--team-id <TEAMID>] [--verify-only] [--refuse-downgrade]"
                           " [--archive-sha256 <HEX>] [--delta]";
  ASSERT_GE(usage.size(), tail.size());
  EXPECT_EQ(usage.substr(usage.size() - tail.size()), tail);
}

}  // namespace
}  // namespace installer
