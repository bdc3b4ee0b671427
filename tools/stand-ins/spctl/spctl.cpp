// Stand-in for /usr/sbin/spctl: `--assess --type execute BUNDLE` accepts
// exactly the bundles whose stand-in seal (see codesign) verifies. There is
// no notarisation or developer identity to consult here.
#include <cstdio>
#include <string>
#include <string_view>

#include "bundle_seal.h"

namespace {

constexpr const char* kUsage = "usage: spctl --assess --type execute [--verbose[=N]] BUNDLE";

int fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool assess = false;
  bool execute_type = false;
  std::string bundle;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--assess" || arg == "-a") {
      assess = true;
    } else if (arg == "--type" || arg == "-t") {
      if (i + 1 == argc) return fail(kUsage);
      if (std::string_view(argv[++i]) != "execute") {
        return fail("this stand-in assesses the execute type only");
      }
      execute_type = true;
    } else if (arg == "--verbose" || arg.substr(0, 10) == "--verbose=" || arg == "-v") {
      // Verdicts are always explained.
    } else if (bundle.empty() && !arg.empty() && arg[0] != '-') {
      bundle = std::string(arg);
    } else {
      return fail(kUsage);
    }
  }
  if (!assess || !execute_type || bundle.empty()) return fail(kUsage);

  auto verdict = stand_in::check_seal(bundle);
  if (!verdict) return fail(verdict.error());
  if (verdict->kind != stand_in::SealVerdict::valid) {
    return fail(bundle + ": rejected\nsource=no usable signature");
  }
  std::fprintf(stderr, "%s: accepted\nsource=stand-in seal\n", bundle.c_str());
  return 0;
}
