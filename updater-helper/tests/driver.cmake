# The command line. The installer as a program is tested in tests/blackbox.
add_executable(arguments_test ${CMAKE_CURRENT_LIST_DIR}/arguments_test.cpp)
target_link_libraries(arguments_test PRIVATE installer_core GTest::gtest_main)
gtest_discover_tests(arguments_test DISCOVERY_MODE PRE_TEST)
