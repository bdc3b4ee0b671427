# Bundle verification, relaunch, and the stand-ins for the macOS tools.

add_library(verification_test_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/verification_test_support.cpp)
target_link_libraries(verification_test_support PUBLIC installer_core test_support GTest::gtest)
target_compile_definitions(verification_test_support PRIVATE
  TOOL_DOUBLE_PATH="$<TARGET_FILE:tool_double>")
add_dependencies(verification_test_support tool_double)

add_executable(verification_test
  ${CMAKE_CURRENT_LIST_DIR}/bundle_verification_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/relaunch_test.cpp)
target_link_libraries(verification_test PRIVATE verification_test_support GTest::gtest_main)
gtest_discover_tests(verification_test DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)

if(ZENTRIVALE_LINUX_TESTS)
  add_executable(stand_ins_test ${CMAKE_CURRENT_LIST_DIR}/stand_ins_test.cpp)
  target_link_libraries(stand_ins_test PRIVATE
    verification_test_support stand_in_common PkgConfig::LIBPLIST GTest::gtest_main)
  target_compile_definitions(stand_ins_test PRIVATE
    STAND_IN_ROOT="${ZENTRIVALE_STAND_IN_ROOT}")
  add_dependencies(stand_ins_test
    stand_in_plistbuddy stand_in_codesign stand_in_spctl stand_in_open)
  gtest_discover_tests(stand_ins_test DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS linux_only TIMEOUT 120)
endif()
