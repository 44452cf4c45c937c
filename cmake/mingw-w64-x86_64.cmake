# SPDX-License-Identifier: Apache-2.0
# Cross-building the Windows programs on Linux with MinGW-w64:
#   cmake --preset windows     (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
# The compiler's "posix" flavour is taken where there is one: its C++ library
# has std::thread, which the linker's worker threads need. Tests run through
# wine when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARSIL_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Target triple prefix of the MinGW-w64 tools")
find_program(TARSIL_MINGW_CXX NAMES ${TARSIL_MINGW_PREFIX}-g++-posix ${TARSIL_MINGW_PREFIX}-g++ REQUIRED)
# GoogleTest, built from its sources for the unit tests, asks for C too.
find_program(TARSIL_MINGW_CC NAMES ${TARSIL_MINGW_PREFIX}-gcc-posix ${TARSIL_MINGW_PREFIX}-gcc REQUIRED)
find_program(TARSIL_MINGW_RC NAMES ${TARSIL_MINGW_PREFIX}-windres)
set(CMAKE_CXX_COMPILER ${TARSIL_MINGW_CXX})
set(CMAKE_C_COMPILER ${TARSIL_MINGW_CC})
if(TARSIL_MINGW_RC)
  set(CMAKE_RC_COMPILER ${TARSIL_MINGW_RC})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TARSIL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run on Linux through wine: test discovery, ctest and
# the custom commands that make the examples' inputs.
find_program(TARSIL_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TARSIL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARSIL_WINE})
endif()
