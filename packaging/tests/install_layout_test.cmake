# Runs `cmake --install` into a fresh bundle and checks that exactly the two
# programs land where the bundle needs them, executable.
# cmake -DBUILD_DIR=<build> -DBUNDLE_EXECUTABLE=<name> -P install_layout_test.cmake
cmake_minimum_required(VERSION 3.20)

string(RANDOM LENGTH 8 _suffix)
set(_root "${BUILD_DIR}/packaging-test-${_suffix}")
set(_contents "${_root}/Zentrivale.app/Contents")
set(_failures "")

execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${_contents}"
                RESULT_VARIABLE _status OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
if(NOT _status EQUAL 0)
  file(REMOVE_RECURSE "${_root}")
  message(FATAL_ERROR "cmake --install failed (${_status}):\n${_output}")
endif()

file(GLOB_RECURSE _installed LIST_DIRECTORIES false RELATIVE "${_contents}" "${_contents}/*")
list(SORT _installed)
set(_expected "Helpers/bundle_installer" "MacOS/${BUNDLE_EXECUTABLE}")
list(SORT _expected)
if(NOT _installed STREQUAL _expected)
  set(_failures "${_failures}\n  installed [${_installed}], expected [${_expected}]")
endif()

foreach(_program IN LISTS _expected)
  execute_process(COMMAND test -x "${_contents}/${_program}" RESULT_VARIABLE _not_executable)
  if(NOT _not_executable EQUAL 0)
    set(_failures "${_failures}\n  ${_program} is not executable")
  endif()
endforeach()

# The launcher is copied as it was built, only renamed.
file(SHA256 "${BUILD_DIR}/bin/bundle_starter" _built)
if(EXISTS "${_contents}/MacOS/${BUNDLE_EXECUTABLE}")
  file(SHA256 "${_contents}/MacOS/${BUNDLE_EXECUTABLE}" _copied)
  if(NOT _built STREQUAL _copied)
    set(_failures "${_failures}\n  MacOS/${BUNDLE_EXECUTABLE} is not bin/bundle_starter")
  endif()
endif()

file(REMOVE_RECURSE "${_root}")
if(_failures)
  message(FATAL_ERROR "install layout is wrong:${_failures}")
endif()
message(STATUS "installed: ${_installed}")
