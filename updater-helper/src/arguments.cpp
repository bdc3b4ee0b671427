#include "arguments.h"

#include <limits>

#include "path.h"
#include "utf8.h"

namespace installer {
namespace {

using support::Error;
using support::Result;

// The command line while it is read: the required fields are still optional.
struct PartialArgs {
  std::optional<std::string> archive, target_app, bundle_id, team_id, archive_sha256;
  std::optional<std::int32_t> parent_pid;
  bool relaunch_after_install = true;
  bool skip_signature_verification = false;
  bool verify_only = false;
  bool refuse_downgrade = false;
  bool delta = false;
};

std::string with_usage(const std::string& message) { return message + "\n" + kUsage; }

Result<PartialArgs> read_arguments(const std::vector<std::string>& arguments) {
  PartialArgs args;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    std::optional<std::string>* value_slot = nullptr;
    if (option == "--archive") value_slot = &args.archive;
    if (option == "--target-app") value_slot = &args.target_app;
    if (option == "--bundle-id") value_slot = &args.bundle_id;
    if (option == "--team-id") value_slot = &args.team_id;
    if (option == "--archive-sha256") value_slot = &args.archive_sha256;
    bool is_pid = option == "--parent-pid";

    if (value_slot || is_pid) {
      if (i + 1 == arguments.size()) return Error(option + " requires a value");
      const std::string& value = arguments[++i];
      if (value_slot) {
        *value_slot = value;
        continue;
      }
      args.parent_pid = parse_process_id(value);
      if (!args.parent_pid) return Error("--parent-pid must be an integer");
    } else if (option == "--no-relaunch") {
      args.relaunch_after_install = false;
    } else if (option == "--insecure-skip-signature-verification") {
      args.skip_signature_verification = true;
    } else if (option == "--verify-only") {
      args.verify_only = true;
    } else if (option == "--refuse-downgrade") {
      args.refuse_downgrade = true;
    } else if (option == "--delta") {
      args.delta = true;
    } else {
      return Error(with_usage("unknown argument: " + support::lossy_utf8(option)));
    }
  }
  return args;
}

Result<Args> validate(PartialArgs partial) {
  if (!partial.archive) return Error(with_usage("--archive is required"));
  if (!partial.target_app) return Error(with_usage("--target-app is required"));
  // A verification waits for nobody, so it needs no process to wait for.
  if (!partial.parent_pid && !partial.verify_only) {
    return Error(with_usage("--parent-pid is required"));
  }
  if (!partial.bundle_id) return Error(with_usage("--bundle-id is required"));

  if (partial.parent_pid && *partial.parent_pid < 2) {
    return Error("--parent-pid must be a real process ID");
  }
  if (support::extension(*partial.target_app) != std::optional<std::string>("app")) {
    return Error("--target-app must point at an .app bundle");
  }
  // Trimming needs text; an identifier that is not UTF-8 is judged by its
  // readable form here and can never match a bundle's identifier later.
  if (support::trim_unicode_white_space(support::lossy_utf8(*partial.bundle_id)).empty()) {
    return Error("--bundle-id must not be empty");
  }
  if (partial.team_id && !is_team_id(*partial.team_id)) {
    return Error("--team-id must be a 10-character Apple team ID");
  }
  std::optional<support::Sha256Digest> archive_sha256;
  if (partial.archive_sha256) {
    archive_sha256 = support::digest_from_hex(*partial.archive_sha256);
    if (!archive_sha256) return Error("--archive-sha256 must be 64 hexadecimal digits");
  }
  // The rebuild reads the delta's manifest and patches with the installer's
  // own parsers: only bytes that the update feed vouched for may reach them.
  if (partial.delta && !archive_sha256) return Error("--delta requires --archive-sha256");

  Args args;
  args.archive = std::move(*partial.archive);
  args.target_app = std::move(*partial.target_app);
  args.bundle_id = std::move(*partial.bundle_id);
  args.parent_pid = partial.parent_pid.value_or(0);
  args.relaunch_after_install = partial.relaunch_after_install;
  args.skip_signature_verification = partial.skip_signature_verification;
  args.team_id = std::move(partial.team_id);
  args.verify_only = partial.verify_only;
  args.refuse_downgrade = partial.refuse_downgrade;
  args.archive_sha256 = archive_sha256;
  args.delta = partial.delta;
  return args;
}

}  // namespace

bool is_team_id(std::string_view text) {
  if (text.size() != 10) return false;
  for (char c : text) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

std::optional<std::int32_t> parse_process_id(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate as a negative number so that the lowest value fits too.
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 - (c - '0');
    if (value < std::numeric_limits<std::int32_t>::min()) return std::nullopt;
  }
  if (!negative) {
    value = -value;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

Result<Args> parse_arguments(const std::vector<std::string>& arguments) {
  Result<PartialArgs> read = read_arguments(arguments);
  if (!read) return std::move(read).take_error();
  return validate(std::move(read.value()));
}

}  // namespace installer
