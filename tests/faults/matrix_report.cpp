#include "matrix_report.h"

#include <map>

#include "results_file.h"

namespace faults {
namespace {

std::map<Program, std::vector<MatrixRow>>& rows() {
  static std::map<Program, std::vector<MatrixRow>> recorded;
  return recorded;
}

std::map<Program, std::vector<CallSite>>& sites() {
  static std::map<Program, std::vector<CallSite>> recorded;
  return recorded;
}

}  // namespace

std::string program_name(Program program) {
  return program == Program::installer ? "installer" : "launcher";
}

void record_row(Program program, MatrixRow row) { rows()[program].push_back(std::move(row)); }

void record_call_sites(Program program, std::vector<CallSite> program_sites) {
  sites()[program] = std::move(program_sites);
}

bool any_rows() { return !rows().empty(); }

bool save_matrix_results(const std::string& path) {
  std::vector<Record> records;
  for (const auto& [program, program_rows] : rows()) {
    for (const MatrixRow& row : program_rows) {
      Record record{"row", program_name(program), std::to_string(row.order), row.call, row.fault,
                    row.step, row.exit_status, row.message, row.previous};
      record.insert(record.end(), row.violations.begin(), row.violations.end());
      records.push_back(std::move(record));
    }
  }
  for (const auto& [program, program_sites] : sites()) {
    for (const CallSite& site : program_sites) {
      Record record{"site", program_name(program), site.site};
      record.insert(record.end(), site.cases.begin(), site.cases.end());
      records.push_back(std::move(record));
    }
  }
  return write_results(path, records);
}

}  // namespace faults
