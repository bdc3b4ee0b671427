// Stand-in for /usr/bin/codesign: `--sign IDENTITY BUNDLE` writes the
// stand-in's seal, ad hoc (-) or naming a Developer ID team; `--verify
// BUNDLE` checks it, and with `--test-requirement` also the one requirement
// the installer asks about, a signing team. See bundle_seal.h for what the
// seal does and does not prove.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "bundle_seal.h"

namespace {

constexpr const char* kUsage =
    "usage: codesign --sign IDENTITY [--force] [--deep] BUNDLE\n"
    "       codesign --verify [--deep] [--strict] [--verbose[=N]] [--test-requirement REQ] BUNDLE";

constexpr std::string_view kIdentityPrefix = "Developer ID Application: ";
// Developer ID: Apple's anchor, the Developer ID intermediate's marker and
// the Developer ID Application leaf's marker, then the team.
constexpr std::string_view kTeamRequirementPrefix =
    "=anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists and "
    "certificate leaf[field.1.2.840.113635.100.6.1.13] exists and "
    "certificate leaf[subject.OU] = \"";

int fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

bool is_verbose_option(std::string_view arg) {
  return arg == "--verbose" || arg.substr(0, 10) == "--verbose=";
}

bool is_team_id(std::string_view text) {
  if (text.size() != 10) return false;
  for (char c : text) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// The team of "Developer ID Application: NAME (TEAMID)"; nothing for any
// other identity.
std::optional<std::string> team_of_identity(std::string_view identity) {
  if (identity.substr(0, kIdentityPrefix.size()) != kIdentityPrefix) return std::nullopt;
  if (identity.size() < kIdentityPrefix.size() + 14 || identity.back() != ')') return std::nullopt;
  std::string_view team = identity.substr(identity.size() - 11, 10);
  if (identity.substr(identity.size() - 13, 2) != " (" || !is_team_id(team)) return std::nullopt;
  return std::string(team);
}

// The team of the one requirement form this stand-in understands, the
// Developer ID requirement of one team (kTeamRequirementPrefix, "TEAMID").
std::optional<std::string> team_of_requirement(std::string_view requirement) {
  size_t size = kTeamRequirementPrefix.size() + 11;
  if (requirement.size() != size || requirement.back() != '"') return std::nullopt;
  if (requirement.substr(0, kTeamRequirementPrefix.size()) != kTeamRequirementPrefix) {
    return std::nullopt;
  }
  std::string_view team = requirement.substr(kTeamRequirementPrefix.size(), 10);
  if (!is_team_id(team)) return std::nullopt;
  return std::string(team);
}

int sign(const std::string& bundle, const std::optional<std::string>& team) {
  auto sealed = stand_in::seal_bundle(bundle, team);
  if (!sealed) return fail(bundle + ": " + sealed.error());
  if (team) {
    std::fprintf(stderr, "%s: signed bundle for team %s (stand-in seal)\n", bundle.c_str(),
                 team->c_str());
  } else {
    std::fprintf(stderr, "%s: signed bundle (stand-in seal)\n", bundle.c_str());
  }
  return 0;
}

// `required_team`: the team of --test-requirement, when one was given.
int verify(const std::string& bundle, const std::optional<std::string>& required_team) {
  auto verdict = stand_in::check_seal(bundle);
  if (!verdict) return fail(verdict.error());
  switch (verdict->kind) {
    case stand_in::SealVerdict::not_sealed:
      return fail(bundle + ": code object is not signed at all");
    case stand_in::SealVerdict::broken: {
      std::string message = bundle + ": a sealed resource is missing or invalid";
      for (const std::string& problem : verdict->problems) message += "\n" + problem;
      return fail(message);
    }
    case stand_in::SealVerdict::valid:
      break;
  }
  std::fprintf(stderr, "%s: valid on disk\n%s: satisfies its Designated Requirement\n",
               bundle.c_str(), bundle.c_str());
  if (!required_team) return 0;
  // An ad-hoc seal has no certificate, so it never meets "anchor apple generic".
  if (verdict->team != required_team) {
    std::fprintf(stderr, "%s: test-requirement: code failed to satisfy specified code "
                         "requirement(s)\n", bundle.c_str());
    return 3;
  }
  std::fprintf(stderr, "%s: explicit requirement satisfied\n", bundle.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  enum { none, signing, verifying } mode = none;
  std::string bundle;
  bool have_bundle = false;
  std::optional<std::string> team;            // signing identity's team
  std::optional<std::string> requirement;     // --test-requirement text
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--sign" || arg == "-s") {
      if (mode != none || i + 1 == argc) return fail(kUsage);
      std::string_view identity = argv[++i];
      if (identity != "-") {
        team = team_of_identity(identity);
        if (!team) {
          return fail(std::string(identity) +
                      ": this stand-in signs ad hoc (-) or as "
                      "\"Developer ID Application: NAME (TEAMID)\" only");
        }
      }
      mode = signing;
    } else if (arg == "--verify") {
      if (mode != none) return fail(kUsage);
      mode = verifying;
    } else if (arg == "--test-requirement" || arg == "-R") {
      if (i + 1 == argc) return fail(kUsage);
      requirement = argv[++i];
    } else if (arg.substr(0, 19) == "--test-requirement=") {
      requirement = std::string(arg.substr(19));
    } else if (arg == "--force" || arg == "-f" || arg == "--deep" || arg == "--strict" ||
               is_verbose_option(arg)) {
      // Accepted for compatibility; the seal always covers the whole bundle.
    } else if (!have_bundle && !arg.empty() && arg[0] != '-') {
      bundle = std::string(arg);
      have_bundle = true;
    } else {
      return fail(kUsage);
    }
  }
  if (mode == none || !have_bundle) return fail(kUsage);
  if (mode == signing) {
    if (requirement) return fail(kUsage);
    return sign(bundle, team);
  }
  std::optional<std::string> required_team;
  if (requirement) {
    required_team = team_of_requirement(*requirement);
    // Never a silent pass for a requirement this stand-in cannot evaluate.
    if (!required_team) {
      return fail("test-requirement: this stand-in evaluates only " +
                  std::string(kTeamRequirementPrefix) + "TEAMID\", not: " + *requirement);
    }
  }
  return verify(bundle, required_team);
}
