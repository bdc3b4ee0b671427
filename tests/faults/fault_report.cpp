// Renders the robustness tests' results as documents:
//   fault_report matrix <results> <document>   docs/fault-matrix.md
//   fault_report crash <results> <document>    docs/crash-consistency.md
// The tests only write results; what the documents say is decided here.
#include <fstream>
#include <iostream>
#include <string>

#include "crash_document.h"
#include "matrix_document.h"
#include "results_file.h"

int main(int argc, char** argv) {
  if (argc != 4 || (std::string(argv[1]) != "matrix" && std::string(argv[1]) != "crash")) {
    std::cerr << "usage: fault_report matrix|crash <results> <document>\n";
    return 2;
  }
  std::vector<faults::Record> records;
  if (!faults::read_results(argv[2], records) || records.empty()) {
    std::cerr << "fault_report: no results in " << argv[2] << " (run the tests first)\n";
    return 1;
  }
  std::string document = std::string(argv[1]) == "matrix" ? faults::matrix_document(records)
                                                          : faults::crash_document(records);
  std::ofstream file(argv[3], std::ios::trunc);
  file << document;
  if (!file) {
    std::cerr << "fault_report: cannot write " << argv[3] << "\n";
    return 1;
  }
  std::cout << "wrote " << argv[3] << "\n";
  return 0;
}
