// The fault matrix's rows, whichever program they run: one builder for the
// fault a row injects, one check that the fault hit its call, one place that
// records the row for the report and fails the test on a violation.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "call_sites.h"
#include "fault_injection.h"
#include "matrix_report.h"

namespace faults {

// The part of a row every program shares; `Row` is the program's own row
// type, which adds what that program's outcome is designed to be.
template <typename Row>
struct MatrixCase {
  std::string name;
  std::string step;
  Fault fault;
  std::string hits;            // the failed call's subject contains this
  std::vector<Fault> context;  // further faults that set the scene
  int exit_status = 0;

  MatrixCase(std::string case_name, std::string case_step)
      : name(std::move(case_name)), step(std::move(case_step)) {}

  // A fault keyed on the path its call touches, "OPEN@update-helper.log:EACCES":
  // the row stays right when unrelated steps change order.
  Row& inject(const std::string& written) { return inject(keyed(written)); }
  // `subject`: what the failed call's subject has, when neither the key nor
  // the path filter says it.
  Row& inject(const Fault& chosen, const std::string& subject = "") {
    fault = chosen;
    hits = subject;
    if (hits.empty()) hits = fault.key;
    if (hits.empty() && !fault.path.empty()) {
      hits = fault.path.back() == '$' ? fault.path.substr(0, fault.path.size() - 1) : fault.path;
    }
    return self();
  }
  // A fault chosen by its count among the calls whose subject has `path`,
  // for calls a key cannot tell apart; `subject` names the failed call.
  Row& inject(const std::string& call, const std::string& value, const std::string& path = "",
              const std::string& subject = "") {
    return inject(faults::fault(call, value, path), subject);
  }
  Row& on_descriptor(const std::string& fd) {
    fault.fd = fd;
    return self();
  }
  // No call counts until a `gate` ("<CALL>:<text>") has been made.
  Row& after(const std::string& gate) {
    fault.after = gate;
    return self();
  }
  Row& given(const Fault& scene) {
    context.push_back(scene);
    return self();
  }

  // Every fault of the row, the scene's first.
  std::vector<Fault> all_faults() const {
    std::vector<Fault> all = context;
    all.push_back(fault);
    return all;
  }

 private:
  Row& self() { return static_cast<Row&>(*this); }
};

// What a row's run came to, as the report shows it.
struct RowOutcome {
  std::string exit_status;
  std::string message;
  std::string previous;
  std::vector<std::string> violations;
};

// Adds a violation for every fault of `faults` that failed no call of
// `trace`; the last one must have failed a call whose subject has `hits`.
void check_faults_hit(const std::vector<Fault>& faults, const std::string& hits,
                      const std::vector<TraceLine>& trace, std::vector<std::string>& violations);

// Records row `index` of `program`'s table and fails the test on each
// violation, with `diagnostics` once after them.
void conclude_row(Program program, size_t index, const std::string& step,
                  const std::vector<Fault>& faults, RowOutcome outcome,
                  const std::string& diagnostics = "");

// Groups a fault-free run's calls into sites (see call_sites) and fails the
// test for every site that no row fails, of those `counted` accepts (all when
// it is empty). Returns the sites; `checked` is set to how many were checked.
std::vector<CallSite> check_call_sites(
    const std::vector<TraceLine>& trace,
    const std::function<std::string(const TraceLine&)>& phase_mark,
    const std::function<std::string(const TraceLine&, const std::string&)>& site_of,
    const std::vector<std::pair<std::string, Fault>>& named_faults,
    const std::function<bool(const CallSite&)>& counted, size_t& checked);

}  // namespace faults
