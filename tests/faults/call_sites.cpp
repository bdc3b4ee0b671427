#include "call_sites.h"

#include <algorithm>
#include <map>

namespace faults {

std::vector<size_t> failed_lines(const Fault& fault, const std::vector<TraceLine>& trace) {
  long first = 0;
  bool onwards = false;
  size_t colon = fault.value.find(':');
  if (colon != std::string::npos) {
    first = std::stol(fault.value.substr(0, colon));
    onwards = fault.value[colon - 1] == '+';
  }
  std::vector<size_t> failed;
  if (fault.value.empty()) return failed;
  long count = 0;
  size_t gate_colon = fault.after.find(':');
  bool open = fault.after.empty();
  for (size_t i = 0; i < trace.size(); ++i) {
    const TraceLine& line = trace[i];
    bool opens = !open && line.call == fault.after.substr(0, gate_colon) &&
                 line.subject.find(fault.after.substr(gate_colon + 1)) != std::string::npos;
    bool counted = open;
    open = open || opens;
    if (!counted) continue;
    if (line.call != fault.call || !fault.selects(line.subject)) continue;
    if (!fault.fd.empty() && line.fd != std::stoi(fault.fd)) continue;
    ++count;
    if (first == 0 || count == first || (onwards && count > first)) failed.push_back(i);
  }
  return failed;
}

std::vector<CallSite> call_sites(
    const std::vector<TraceLine>& trace,
    const std::function<std::string(const TraceLine&)>& phase_mark,
    const std::function<std::string(const TraceLine&, const std::string&)>& site_of,
    const std::vector<std::pair<std::string, Fault>>& named_faults) {
  std::vector<std::string> site_of_line;
  std::vector<CallSite> sites;
  std::map<std::string, size_t> index;
  std::string phase;
  for (const TraceLine& line : trace) {
    std::string site = line.call == "STOP" ? "" : site_of(line, phase);
    site_of_line.push_back(site);
    if (!site.empty() && index.emplace(site, sites.size()).second) sites.push_back({site, {}});
    std::string mark = phase_mark(line);
    if (!mark.empty()) phase = mark;
  }
  for (const auto& [name, fault] : named_faults) {
    for (size_t line : failed_lines(fault, trace)) {
      if (site_of_line[line].empty()) continue;
      std::vector<std::string>& cases = sites[index[site_of_line[line]]].cases;
      if (std::find(cases.begin(), cases.end(), name) == cases.end()) cases.push_back(name);
    }
  }
  return sites;
}

}  // namespace faults
