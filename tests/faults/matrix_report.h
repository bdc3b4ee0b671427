// The fault matrix as a document: rows recorded by the cases as they run,
// written out once every case has run (docs/fault-matrix.md).
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

// Writes the whole document; false when it cannot be written.
bool write_matrix(const std::string& path, const std::string& command);

}  // namespace faults
