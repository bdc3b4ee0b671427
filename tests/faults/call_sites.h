// Call sites of a traced run, and which calls of it a fault would fail: the
// library's own selection rules, applied to a trace.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "matrix_report.h"
#include "fault_injection.h"

namespace faults {

// Indices of the lines of `trace` whose calls `fault` would fail.
std::vector<size_t> failed_lines(const Fault& fault, const std::vector<TraceLine>& trace);

// Groups the calls of `trace` into sites, with `site_of` giving a line's
// site from the line and the phase it falls in (the last non-empty
// `phase_mark` of an earlier line), and lists for each site the named faults
// that fail one of its calls.
std::vector<CallSite> call_sites(
    const std::vector<TraceLine>& trace,
    const std::function<std::string(const TraceLine&)>& phase_mark,
    const std::function<std::string(const TraceLine&, const std::string&)>& site_of,
    const std::vector<std::pair<std::string, Fault>>& named_faults);

}  // namespace faults
