// The fault matrix: every case as a test of its own under ctest; run as one
// process with --report=<file>, it also writes the matrix document.
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
  std::string report;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--report=", 9) == 0) report = argv[i] + 9;
  }
  int result = RUN_ALL_TESTS();
  if (!report.empty()) {
    if (!faults::write_matrix(report, "make fault-matrix")) {
      std::cerr << "cannot write " << report << "\n";
      return 1;
    }
    std::cout << "wrote " << report << "\n";
  }
  return result;
}
