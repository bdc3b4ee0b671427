// bundle_delta: writes the delta archive that updates one release of the
// application bundle to the next, checked to rebuild the new bundle exactly
// before it is put in place. A release tool; never shipped in the bundle.
#include <cstdio>
#include <string>
#include <vector>

#include "make_delta.h"
#include "tool_arguments.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  support::Result<delta::ToolArguments> parsed = delta::parse_tool_arguments(arguments);
  if (!parsed) {
    std::fprintf(stderr, "bundle_delta: %s\n%s\n", parsed.error().c_str(), delta::kUsage);
    return 2;
  }
  support::Result<std::string> report = delta::make_delta(*parsed);
  if (!report) {
    std::fprintf(stderr, "bundle_delta: %s\n", report.error().c_str());
    return 1;
  }
  std::fputs(report->c_str(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
