# `make demo` as CI proves it: the demo script run against this build, each
# case in a private network namespace where 127.0.0.1:3000 is free (Linux
# only; on macOS the workflow runs `make demo` itself).
foreach(case end_to_end port_taken foreign_directory)
  add_test(NAME demo.${case}
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/in_network_namespace.sh
                   ${CMAKE_CURRENT_LIST_DIR}/demo_test.sh ${case}
                   ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR}/demo/run-demo.sh)
  set_tests_properties(demo.${case} PROPERTIES
    LABELS "demo;linux_only" SKIP_RETURN_CODE 77 TIMEOUT 300)
endforeach()
