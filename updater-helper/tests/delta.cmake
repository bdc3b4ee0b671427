# The delta update's pieces in the installer: the manifest and the rebuild of
# the new bundle on real temporary trees; patched files where the release
# tool's patch maker is built.
add_executable(delta_test
  ${CMAKE_CURRENT_LIST_DIR}/delta_manifest_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/delta_test_trees.cpp
  ${CMAKE_CURRENT_LIST_DIR}/delta_rebuild_test.cpp)
target_link_libraries(delta_test PRIVATE installer_core test_support GTest::gtest_main)
if(ZENTRIVALE_DELTA_TOOL)
  target_sources(delta_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/delta_rebuild_patch_test.cpp)
  target_link_libraries(delta_test PRIVATE delta_maker)
endif()
gtest_discover_tests(delta_test DISCOVERY_MODE PRE_TEST)
