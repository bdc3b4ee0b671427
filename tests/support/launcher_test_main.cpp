#include <gtest/gtest.h>

#include "launcher_harness.h"

int main(int argc, char** argv) {
  // Before anything else runs: namespaces can only be entered while the
  // process is single-threaded.
  launcher_test::prepare_process();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
