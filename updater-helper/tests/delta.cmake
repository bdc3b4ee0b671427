# The delta update's pieces in the installer: the manifest and the rebuild of
# the new bundle on real temporary trees.
add_executable(delta_test
  ${CMAKE_CURRENT_LIST_DIR}/delta_manifest_test.cpp)
target_link_libraries(delta_test PRIVATE installer_core test_support GTest::gtest_main)
gtest_discover_tests(delta_test DISCOVERY_MODE PRE_TEST)
