// The fault matrix's results: rows recorded by the cases as they run, saved
// once every case has run as records (results_file.h) that fault_report
// renders as docs/fault-matrix.md (matrix_document.h).
#pragma once

#include <string>
#include <vector>

namespace faults {

struct MatrixRow {
  int order = 0;  // the case's place in its table
  std::string call;
  std::string fault;
  std::string step;
  std::string exit_status;
  std::string message;   // installer: the final log message; launcher: standard error
  std::string previous;  // installer: where the previous version is; launcher: the children
  std::vector<std::string> violations;
};

enum class Program { installer, launcher };

void record_row(Program program, MatrixRow row);

// A call site of a normal run and the cases that fail it.
struct CallSite {
  std::string site;
  std::vector<std::string> cases;
};
void record_call_sites(Program program, std::vector<CallSite> sites);

// Whether anything was recorded at all, and whether any row broke a rule.
bool any_rows();

// "installer", "launcher": the program's name in the results.
std::string program_name(Program program);

// Saves every recorded row and call site; false when it cannot be written.
// Records: "row", program, order, call, fault, step, exit status, message,
// previous, violations...; "site", program, site, rows...
bool save_matrix_results(const std::string& path);

}  // namespace faults
