#include "fault_matrix.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace faults {

void check_faults_hit(const std::vector<Fault>& faults, const std::string& hits,
                      const std::vector<TraceLine>& trace, std::vector<std::string>& violations) {
  for (size_t i = 0; i < faults.size(); ++i) {
    const Fault& fault = faults[i];
    bool last = i + 1 == faults.size();
    bool failed = std::any_of(trace.begin(), trace.end(), [&](const TraceLine& line) {
      return line.call == fault.call && line.error != 0 &&
             (!last || line.subject.find(hits) != std::string::npos);
    });
    if (!failed) violations.push_back("the fault " + fault.text() + " failed no call");
  }
}

void conclude_row(Program program, size_t index, const std::string& step,
                  const std::vector<Fault>& faults, RowOutcome outcome,
                  const std::string& diagnostics) {
  MatrixRow row;
  row.order = static_cast<int>(index) + 1;
  row.call = faults.back().call;
  row.fault = faults.back().text();
  for (size_t i = 0; i + 1 < faults.size(); ++i) row.fault += "; given " + faults[i].text();
  row.step = step;
  row.exit_status = outcome.exit_status;
  row.message = outcome.message;
  row.previous = outcome.previous;
  row.violations = outcome.violations;
  record_row(program, row);
  for (const std::string& violation : outcome.violations) ADD_FAILURE() << violation;
  if (!outcome.violations.empty() && !diagnostics.empty()) ADD_FAILURE() << diagnostics;
}

std::vector<CallSite> check_call_sites(
    const std::vector<TraceLine>& trace,
    const std::function<std::string(const TraceLine&)>& phase_mark,
    const std::function<std::string(const TraceLine&, const std::string&)>& site_of,
    const std::vector<std::pair<std::string, Fault>>& named_faults,
    const std::function<bool(const CallSite&)>& counted, size_t& checked) {
  std::vector<CallSite> sites = call_sites(trace, phase_mark, site_of, named_faults);
  checked = 0;
  for (const CallSite& site : sites) {
    if (counted && !counted(site)) continue;
    ++checked;
    EXPECT_FALSE(site.cases.empty()) << "no row fails " << site.site;
  }
  return sites;
}

}  // namespace faults
