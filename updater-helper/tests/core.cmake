# The installer's steps at the function level: log, wait, tree removal,
# staging and extraction, discovery, swap and backups.
add_executable(installer_core_test
  ${CMAKE_CURRENT_LIST_DIR}/core_test_helpers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_log_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/application_wait_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/install_lock_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tree_removal_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/staging_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bundle_discovery_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bundle_swap_test.cpp)
target_link_libraries(installer_core_test PRIVATE installer_core test_support GTest::gtest_main)
target_compile_definitions(installer_core_test PRIVATE
  ZENTRIVALE_TEST_TOOL_ROOT="${ZENTRIVALE_TOOL_ROOT}")
gtest_discover_tests(installer_core_test DISCOVERY_MODE PRE_TEST)

if(ZENTRIVALE_LINUX_TESTS)
  # The same steps with one call failing: the fault tests carry the
  # interposition linked in. Also the library itself, and the ditto stand-in.
  add_executable(installer_core_fault_test
    ${CMAKE_CURRENT_LIST_DIR}/core_test_helpers.cpp
    ${ZENTRIVALE_FAULT_INJECTION_SOURCE}
    ${CMAKE_CURRENT_LIST_DIR}/fault_injection_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/core_fault_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ditto_stand_in_test.cpp)
  target_link_libraries(installer_core_fault_test PRIVATE installer_core test_support GTest::gtest_main
    ${CMAKE_DL_LIBS})
  target_compile_definitions(installer_core_fault_test PRIVATE
    CORE_TEST_FAULT_INJECTION
    ZENTRIVALE_TEST_TOOL_ROOT="${ZENTRIVALE_TOOL_ROOT}"
    FAULT_INJECTION_LIBRARY="$<TARGET_FILE:fault_injection>")
  add_dependencies(installer_core_fault_test fault_injection)
  gtest_discover_tests(installer_core_fault_test DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS linux_only)
endif()
