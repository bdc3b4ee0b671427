// The installer's command line. The input is split at NUL bytes into
// arguments (a command line cannot carry NUL, so every argument vector is
// reachable). parse_arguments is compared with a small model of the grammar
// written independently here: same error text, or the same fields.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "arguments.h"
#include "fuzz_check.h"
#include "path.h"
#include "utf8.h"

namespace {

using installer::Args;

std::vector<std::string> split_at_nul(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments;
  if (size == 0) return arguments;
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  arguments.push_back(current);
  return arguments;
}

// Decimal by digit count rather than by accumulation, unlike the code under
// test.
std::optional<int32_t> model_process_id(const std::string& text) {
  size_t start = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  bool negative = start == 1 && text[0] == '-';
  if (text.size() == start) return std::nullopt;
  for (size_t i = start; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  size_t first = text.find_first_not_of('0', start);
  std::string digits = first == std::string::npos ? "0" : text.substr(first);
  if (digits.size() > 10) return std::nullopt;
  long long magnitude = std::stoll(digits);
  long long value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

// Character classes spelt out rather than compared as ranges.
bool model_team_id(const std::string& text) {
  static const std::string allowed = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  return text.size() == 10 && text.find_first_not_of(allowed) == std::string::npos;
}

struct Model {
  std::optional<std::string> archive, target_app, bundle_id, team_id, archive_sha256;
  std::optional<int32_t> parent_pid;
  bool relaunch = true;
  bool skip = false;
  bool verify_only = false;
  bool delta = false;
  std::optional<std::string> error;
};

Model model_parse(const std::vector<std::string>& arguments) {
  const std::string usage = std::string("\n") + installer::kUsage;
  Model m;
  for (size_t i = 0; i < arguments.size() && !m.error; ++i) {
    const std::string& a = arguments[i];
    bool takes_value = a == "--archive" || a == "--target-app" || a == "--bundle-id" ||
                       a == "--parent-pid" || a == "--team-id" || a == "--archive-sha256";
    if (takes_value && i + 1 >= arguments.size()) {
      m.error = a + " requires a value";
    } else if (a == "--archive") {
      m.archive = arguments[++i];
    } else if (a == "--target-app") {
      m.target_app = arguments[++i];
    } else if (a == "--bundle-id") {
      m.bundle_id = arguments[++i];
    } else if (a == "--team-id") {
      m.team_id = arguments[++i];
    } else if (a == "--archive-sha256") {
      m.archive_sha256 = arguments[++i];
    } else if (a == "--parent-pid") {
      m.parent_pid = model_process_id(arguments[++i]);
      if (!m.parent_pid) m.error = "--parent-pid must be an integer";
    } else if (a == "--no-relaunch") {
      m.relaunch = false;
    } else if (a == "--insecure-skip-signature-verification") {
      m.skip = true;
    } else if (a == "--verify-only") {
      m.verify_only = true;
    } else if (a == "--delta") {
      m.delta = true;
    } else if (a == "--refuse-downgrade") {
      // a flag with no further rule
    } else {
      m.error = "unknown argument: " + support::lossy_utf8(a) + usage;
    }
  }
  if (m.error) return m;
  if (!m.archive) m.error = "--archive is required" + usage;
  else if (!m.target_app) m.error = "--target-app is required" + usage;
  else if (!m.parent_pid && !m.verify_only) m.error = "--parent-pid is required" + usage;
  else if (!m.bundle_id) m.error = "--bundle-id is required" + usage;
  else if (m.parent_pid && *m.parent_pid < 2) m.error = "--parent-pid must be a real process ID";
  else if (support::extension(*m.target_app) != std::optional<std::string>("app"))
    m.error = "--target-app must point at an .app bundle";
  else if (support::trim_unicode_white_space(support::lossy_utf8(*m.bundle_id)).empty())
    m.error = "--bundle-id must not be empty";
  else if (m.team_id && !model_team_id(*m.team_id))
    m.error = "--team-id must be a 10-character Apple team ID";
  else if (m.archive_sha256 && (m.archive_sha256->size() != 64 ||
                                m.archive_sha256->find_first_not_of("0123456789abcdefABCDEF") !=
                                    std::string::npos))
    m.error = "--archive-sha256 must be 64 hexadecimal digits";
  else if (m.delta && !m.archive_sha256)
    m.error = "--delta requires --archive-sha256";
  return m;
}

std::string shown_arguments(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& a : arguments) text += fuzz::shown(a) + " ";
  return text;
}

void check_process_id_round_trip(const uint8_t* data, size_t size) {
  if (size < 4) return;
  int32_t value = static_cast<int32_t>(static_cast<uint32_t>(data[0]) |
                                       static_cast<uint32_t>(data[1]) << 8 |
                                       static_cast<uint32_t>(data[2]) << 16 |
                                       static_cast<uint32_t>(data[3]) << 24);
  std::string text = std::to_string(value);
  FUZZ_CHECK(installer::parse_process_id(text) == value, text);
  if (value >= 0) FUZZ_CHECK(installer::parse_process_id("+00" + text) == value, text);
  // One step beyond either end of the range is out of it.
  FUZZ_CHECK(!installer::parse_process_id(std::to_string(int64_t{value} + (int64_t{1} << 32))),
             text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments = split_at_nul(data, size);
  support::Result<Args> parsed = installer::parse_arguments(arguments);
  Model expected = model_parse(arguments);
  const std::string context = shown_arguments(arguments);

  if (expected.error) {
    FUZZ_CHECK(!parsed, context + "\naccepted, expected: " + *expected.error);
    FUZZ_CHECK(parsed.error() == *expected.error,
               context + "\ngot: " + parsed.error() + "\nexpected: " + *expected.error);
    // Messages reach the log and the terminal: always text.
    FUZZ_CHECK(support::is_valid_utf8(parsed.error()), fuzz::shown(parsed.error()));
  } else {
    FUZZ_CHECK(parsed.ok(), context + "\nrejected: " + parsed.error());
    const Args& args = parsed.value();
    FUZZ_CHECK(args.archive == *expected.archive, context);
    FUZZ_CHECK(args.target_app == *expected.target_app, context);
    FUZZ_CHECK(args.bundle_id == *expected.bundle_id, context);
    // Only a verification may go without a process to wait for.
    if (expected.parent_pid) {
      FUZZ_CHECK(args.parent_pid == *expected.parent_pid && args.parent_pid >= 2, context);
    } else {
      FUZZ_CHECK(args.parent_pid == 0 && args.verify_only, context);
    }
    FUZZ_CHECK(args.verify_only == expected.verify_only, context);
    FUZZ_CHECK(args.relaunch_after_install == expected.relaunch, context);
    FUZZ_CHECK(args.skip_signature_verification == expected.skip, context);
    FUZZ_CHECK(args.team_id == expected.team_id, context);
    // A delta is read only once its digest has vouched for it.
    FUZZ_CHECK(args.delta == expected.delta, context);
    if (args.delta) FUZZ_CHECK(args.archive_sha256.has_value(), context);
    // The team ends up inside a code requirement: nothing there may need quoting.
    if (args.team_id) FUZZ_CHECK(installer::is_team_id(*args.team_id), context);
  }

  std::string whole(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(installer::parse_process_id(whole) == model_process_id(whole), fuzz::shown(whole));
  check_process_id_round_trip(data, size);
  return 0;
}
