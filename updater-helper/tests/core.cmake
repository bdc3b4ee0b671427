# The installer's steps at the function level: log, wait, tree removal,
# staging and extraction, discovery, swap and backups; and the ditto stand-in.
set(_core_tests
  ${CMAKE_CURRENT_LIST_DIR}/core_test_helpers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_log_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/application_wait_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tree_removal_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/staging_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bundle_discovery_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bundle_swap_test.cpp)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Preloadable (LD_PRELOAD) library that fails chosen system calls; its
  # variables are described at the top of the source. Other tests use it as
  # $<TARGET_FILE:fault_injection>.
  add_library(fault_injection SHARED ${CMAKE_CURRENT_LIST_DIR}/fault_injection.c)
  target_link_libraries(fault_injection PRIVATE ${CMAKE_DL_LIBS})

  # The core tests carry the same interposition linked in, so that a case
  # can fail one call of the function under test.
  list(APPEND _core_tests
    ${CMAKE_CURRENT_LIST_DIR}/fault_injection.c
    ${CMAKE_CURRENT_LIST_DIR}/fault_injection_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ditto_stand_in_test.cpp)
endif()

add_executable(installer_core_test ${_core_tests})
target_link_libraries(installer_core_test PRIVATE installer_core test_support GTest::gtest_main
  ${CMAKE_DL_LIBS})
target_compile_definitions(installer_core_test PRIVATE
  ZENTRIVALE_TEST_TOOL_ROOT="${ZENTRIVALE_TOOL_ROOT}"
  $<$<TARGET_EXISTS:fault_injection>:FAULT_INJECTION_LIBRARY="$<TARGET_FILE:fault_injection>">)
if(TARGET fault_injection)
  add_dependencies(installer_core_test fault_injection)
endif()
gtest_discover_tests(installer_core_test DISCOVERY_MODE PRE_TEST)
