// The whole run of bundle_delta, from two bundles to a checked delta archive.
#pragma once

#include <string>

#include "result.h"
#include "tool_arguments.h"

namespace delta {

// Writes the delta archive from `arguments.from` to `arguments.to` at
// `arguments.output`, in place only once it has been checked to rebuild the
// new bundle; yields the report to print. Error: the first failing step's
// message; no output file is left then.
support::Result<std::string> make_delta(const ToolArguments& arguments);

}  // namespace delta
