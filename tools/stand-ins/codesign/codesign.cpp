// Stand-in for /usr/bin/codesign: `--sign - BUNDLE` writes the stand-in's seal
// (ad hoc only), `--verify BUNDLE` checks it. See bundle_seal.h for what the
// seal does and does not prove.
#include <cstdio>
#include <string>
#include <string_view>

#include "bundle_seal.h"

namespace {

constexpr const char* kUsage =
    "usage: codesign --sign - [--force] [--deep] BUNDLE\n"
    "       codesign --verify [--deep] [--strict] [--verbose[=N]] BUNDLE";

int fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

bool is_verbose_option(std::string_view arg) {
  return arg == "--verbose" || arg.substr(0, 10) == "--verbose=";
}

int sign(const std::string& bundle) {
  auto sealed = stand_in::seal_bundle(bundle);
  if (!sealed) return fail(bundle + ": " + sealed.error());
  std::fprintf(stderr, "%s: signed bundle (stand-in seal)\n", bundle.c_str());
  return 0;
}

int verify(const std::string& bundle) {
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
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  enum { none, signing, verifying } mode = none;
  std::string bundle;
  bool have_bundle = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--sign" || arg == "-s") {
      if (mode != none || i + 1 == argc) return fail(kUsage);
      if (std::string_view(argv[++i]) != "-") return fail("this stand-in signs ad hoc only (-)");
      mode = signing;
    } else if (arg == "--verify") {
      if (mode != none) return fail(kUsage);
      mode = verifying;
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
  return mode == signing ? sign(bundle) : verify(bundle);
}
