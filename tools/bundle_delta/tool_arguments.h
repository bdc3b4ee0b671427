// The command line of bundle_delta.
#pragma once

#include <string>
#include <vector>

#include "result.h"

namespace delta {

inline constexpr char kUsage[] =
    "usage: bundle_delta --from OLD.app --to NEW.app --output FILE.zip [--full-archive FULL.zip]";

struct ToolArguments {
  std::string from;
  std::string to;
  std::string output;
  std::string full_archive;  // the release's full archive of NEW, when given
};

// Each of the first three options exactly once, --full-archive at most once,
// each with a value. Errors: "unknown
// argument: {}", "{option} given twice", "{option} requires a value",
// "{option} is required".
support::Result<ToolArguments> parse_tool_arguments(const std::vector<std::string>& arguments);

}  // namespace delta
