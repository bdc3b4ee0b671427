# The command line, and the installer as a program.
add_executable(arguments_test ${CMAKE_CURRENT_LIST_DIR}/arguments_test.cpp)
target_link_libraries(arguments_test PRIVATE installer_core GTest::gtest_main)
gtest_discover_tests(arguments_test DISCOVERY_MODE PRE_TEST)

# The rest of this file needs the stand-ins for the macOS tools and the
# fault-injection library: Linux only.
if(NOT ZENTRIVALE_LINUX_TESTS)
  return()
endif()

# The installer as users run it. A second build of the program looks for its
# tools under "tool-root" in its working directory, so that each case can
# bring its own test doubles; it is never installed.
set(_installer_src ${PROJECT_SOURCE_DIR}/updater-helper/src)
add_executable(bundle_installer_local_tools ${_installer_src}/main.cpp
  ${_installer_src}/installed_tools.cpp)
target_link_libraries(bundle_installer_local_tools PRIVATE installer_core)
target_compile_definitions(bundle_installer_local_tools PRIVATE ZENTRIVALE_TOOL_ROOT="tool-root")
set_target_properties(bundle_installer_local_tools PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})

add_executable(installer_test
  ${CMAKE_CURRENT_LIST_DIR}/installer_harness.cpp
  ${CMAKE_CURRENT_LIST_DIR}/installer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/installer_doubles_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/verify_only_test.cpp)
target_link_libraries(installer_test PRIVATE installer_core test_support GTest::gtest_main)
target_compile_definitions(installer_test PRIVATE
  INSTALLER_PROGRAM="$<TARGET_FILE:bundle_installer>"
  INSTALLER_WITH_LOCAL_TOOLS="$<TARGET_FILE:bundle_installer_local_tools>"
  STAND_IN_ROOT="${ZENTRIVALE_STAND_IN_ROOT}"
  $<$<TARGET_EXISTS:fault_injection>:FAULT_INJECTION_LIBRARY="$<TARGET_FILE:fault_injection>">)
add_dependencies(installer_test bundle_installer bundle_installer_local_tools)
if(TARGET fault_injection)
  add_dependencies(installer_test fault_injection)
endif()
gtest_discover_tests(installer_test DISCOVERY_MODE PRE_TEST PROPERTIES LABELS linux_only)
