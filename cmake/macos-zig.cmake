# Cross-builds for macOS on Linux with Zig's clang, for the macOS check build
# (`make macos`, scripts/macos-check-build.sh). Zig brings the macOS SDK's C
# headers, libSystem stubs and libc++; linking against the 11.0 stubs refuses
# any symbol that macOS 11 lacks. One architecture per build tree:
#   cmake -S . -B build-macos/arm64 --toolchain cmake/macos-zig.cmake \
#     -DZENTRIVALE_ZIG=/path/to/zig -DZENTRIVALE_MACOS_ARCH=arm64
# Releases are built, signed and notarized on a Mac with Apple's tools.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20.0)  # Darwin 20 is macOS 11

if(NOT ZENTRIVALE_ZIG OR NOT ZENTRIVALE_MACOS_ARCH)
  message(FATAL_ERROR "set ZENTRIVALE_ZIG (scripts/install-zig.sh prints it) and ZENTRIVALE_MACOS_ARCH")
endif()
# Zig takes the oldest macOS from the target triple alone (it ignores
# -mmacosx-version-min), so the triple carries the project's deployment
# target. Reading it here, inside project(), also proves that the project set
# it early enough for CMake to honour it.
if(NOT CMAKE_OSX_DEPLOYMENT_TARGET)
  message(FATAL_ERROR "CMAKE_OSX_DEPLOYMENT_TARGET is not set before project()")
endif()
if(ZENTRIVALE_MACOS_ARCH STREQUAL "arm64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
  set(_zig_target aarch64-macos.${CMAKE_OSX_DEPLOYMENT_TARGET})
elseif(ZENTRIVALE_MACOS_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(_zig_target x86_64-macos.${CMAKE_OSX_DEPLOYMENT_TARGET})
else()
  message(FATAL_ERROR "ZENTRIVALE_MACOS_ARCH is arm64 or x86_64, not ${ZENTRIVALE_MACOS_ARCH}")
endif()
# try_compile projects read this file again and need the same two values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZENTRIVALE_ZIG ZENTRIVALE_MACOS_ARCH)

set(CMAKE_C_COMPILER "${ZENTRIVALE_ZIG}" cc -target ${_zig_target})
set(CMAKE_CXX_COMPILER "${ZENTRIVALE_ZIG}" c++ -target ${_zig_target})
set(CMAKE_AR /usr/bin/llvm-ar-14 CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/llvm-ranlib-14 CACHE FILEPATH "")
# No Xcode here: the SDK comes with Zig, and the target triple carries the
# architecture and the oldest macOS.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
