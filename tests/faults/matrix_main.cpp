// The fault matrix: every case as a test of its own under ctest; run as one
// process with --results=<file>, it also saves every row for fault_report.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <string>

#include "launcher_harness.h"
#include "matrix_report.h"

int main(int argc, char** argv) {
  // Before anything else: a network namespace can only be entered while the
  // process has one thread. The launcher's cases need 127.0.0.1:3000.
  launcher_test::prepare_process();
  ::testing::InitGoogleTest(&argc, argv);
  std::string results;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--results=", 10) == 0) results = argv[i] + 10;
  }
  int result = RUN_ALL_TESTS();
  if (!results.empty()) {
    if (!faults::save_matrix_results(results)) {
      std::cerr << "cannot write " << results << "\n";
      return 1;
    }
    std::cout << "results: " << results << "\n";
  }
  return result;
}
