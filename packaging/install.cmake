# Install rules: `cmake --install <build> --prefix <Zentrivale.app>/Contents`
# places the two programs where the bundle needs them (see
# docs/integration-guide.md). The launcher takes the name that the bundle's
# Info.plist gives as CFBundleExecutable; the installer goes to Helpers, where
# macOS expects a bundle's helper tools. Nothing else is installed: test
# programs, stand-ins and the demo application have no install rules.
set(ZENTRIVALE_BUNDLE_EXECUTABLE "Zentrivale" CACHE STRING
    "File name of the launcher in Contents/MacOS; must equal CFBundleExecutable")
if(ZENTRIVALE_BUNDLE_EXECUTABLE STREQUAL "" OR ZENTRIVALE_BUNDLE_EXECUTABLE MATCHES "/")
  message(FATAL_ERROR
    "ZENTRIVALE_BUNDLE_EXECUTABLE must be a plain file name, not \"${ZENTRIVALE_BUNDLE_EXECUTABLE}\"")
endif()

# install(TARGETS) cannot rename; the launcher is linked statically, so
# installing it as a program loses nothing.
install(PROGRAMS $<TARGET_FILE:bundle_starter>
        DESTINATION MacOS
        RENAME ${ZENTRIVALE_BUNDLE_EXECUTABLE})
install(TARGETS bundle_installer RUNTIME DESTINATION Helpers)

if(ZENTRIVALE_BUILD_TESTS)
  add_test(NAME packaging.install_layout
           COMMAND ${CMAKE_COMMAND}
                   -DBUILD_DIR=${CMAKE_BINARY_DIR}
                   -DBUNDLE_EXECUTABLE=${ZENTRIVALE_BUNDLE_EXECUTABLE}
                   -P ${CMAKE_CURRENT_LIST_DIR}/tests/install_layout_test.cmake)
  set_tests_properties(packaging.install_layout PROPERTIES LABELS packaging)
endif()
