// The fault-injection library as other tests use it: preloaded into a
// program, failing the chosen call, and gone from that program's children.
#include <gtest/gtest.h>

#include "child_process.h"
#include "core_test_helpers.h"

namespace {

using core_test::lexists;

int run_preloaded(const std::vector<std::string>& argv,
                  const std::vector<std::pair<std::string, std::string>>& faults) {
  std::vector<std::pair<std::string, std::string>> variables = faults;
  variables.emplace_back("LD_PRELOAD", FAULT_INJECTION_LIBRARY);
  support::SpawnRequest request;
  request.program = argv.front();
  request.argv = argv;
  request.environment = support::environment_with(variables);
  support::Result<support::Child> child = support::Child::spawn(request);
  if (!child) return -1;
  support::Result<int> status = child->wait();
  return status ? status.value() : -1;
}

TEST(FaultInjection, FailsOnlyTheChosenCall) {
  core_test::TempDir root;
  EXPECT_NE(run_preloaded({"/usr/bin/mkdir", root / "a", root / "b", root / "c"},
                          {{"FAULT_MKDIR", "2:EACCES"}}),
            0);
  EXPECT_TRUE(lexists(root / "a"));
  EXPECT_FALSE(lexists(root / "b"));
  EXPECT_TRUE(lexists(root / "c"));

  EXPECT_NE(run_preloaded({"/usr/bin/mkdir", root / "d", root / "e"},
                          {{"FAULT_MKDIR", "EACCES"}, {"FAULT_MKDIR_PATH", "/e"}}),
            0);
  EXPECT_TRUE(lexists(root / "d"));
  EXPECT_FALSE(lexists(root / "e"));
}

TEST(FaultInjection, ChildrenOfThePreloadedProgramRunUnaffected) {
  core_test::TempDir root;
  EXPECT_EQ(run_preloaded({"/usr/bin/env", "/usr/bin/mkdir", root / "a"},
                          {{"FAULT_MKDIR", "EACCES"}}),
            0);
  EXPECT_TRUE(lexists(root / "a"));
}

TEST(FaultInjection, MalformedSettingEndsTheProgram) {
  core_test::TempDir root;
  EXPECT_EQ(run_preloaded({"/usr/bin/mkdir", root / "a"}, {{"FAULT_MKDIR", "2:NOSUCHERROR"}}),
            125 << 8);
  EXPECT_FALSE(lexists(root / "a"));
}

}  // namespace
