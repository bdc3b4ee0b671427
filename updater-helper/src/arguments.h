// The installer's command line: reading and validation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "digest.h"
#include "result.h"

namespace installer {

inline constexpr char kUsage[] =
    "usage: bundle-installer --archive <zip> --target-app <path/to/Zentrivale.app> "
    "--parent-pid <pid> --bundle-id <identifier> [--no-relaunch] "
    "[--insecure-skip-signature-verification] [--team-id <TEAMID>] [--verify-only] "
    "[--refuse-downgrade] [--archive-sha256 <HEX>] [--delta]";

// The validated command line. Paths and the identifier are kept as the bytes
// given; messages render them lossily.
struct Args {
  std::string archive;
  std::string target_app;
  std::string bundle_id;  // unchanged, surrounding white space included
  std::int32_t parent_pid = 0;  // 0: not given, which only --verify-only allows
  bool relaunch_after_install = true;
  bool skip_signature_verification = false;
  // The Apple Developer Team that must have signed the update; none: any.
  std::optional<std::string> team_id;
  // Check the archive as an installation would, then stop: no wait, no
  // change to the installed bundle, no relaunch.
  bool verify_only = false;
  // Refuse an update whose CFBundleVersion is lower than the installed one's.
  bool refuse_downgrade = false;
  // The archive's SHA-256 as the application's update feed gives it; the
  // archive is extracted only when its bytes match.
  std::optional<support::Sha256Digest> archive_sha256;
  // The archive is a delta for the installed version, not a full archive;
  // only with `archive_sha256`.
  bool delta = false;
};

// Reads the arguments after the program name and validates them. The error
// is the bare message (e.g. "--archive is required\n" + usage); the caller
// adds "invalid arguments: " for the log.
support::Result<Args> parse_arguments(const std::vector<std::string>& arguments);

// An Apple Developer Team ID: exactly ten characters, each A-Z or 0-9.
bool is_team_id(std::string_view text);

// An optional sign and one or more ASCII digits, within the signed 32-bit
// range; nothing else.
std::optional<std::int32_t> parse_process_id(std::string_view text);

}  // namespace installer
