// docs/crash-consistency.md, rendered from the crash-consistency test's
// results. Records: "updates", "kills", "completed_before_kill",
// "follow_ups", "fallback_gaps_recovered", "seconds", "seed",
// "bundle_entries" (each with its value); "rebuild_calls" first, last;
// "delta_kills" all, in the rebuild; "violation" text; "calls" mode, calls,
// milliseconds; "phase" name, kills at a call, at a random instant, target
// previous, new, empty; "swap" mode, state, kills.
#pragma once

#include <string>
#include <vector>

#include "results_file.h"

namespace faults {

std::string crash_document(const std::vector<Record>& records);

}  // namespace faults
