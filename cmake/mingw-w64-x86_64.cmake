# SPDX-License-Identifier: Apache-2.0
# Cross-compiling Tarnwick for 64-bit Windows with Debian's MinGW-w64 (the
# posix thread model: the default win32 one has no std::thread). Test
# executables run under Wine through the emulator script next to this file.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARNWICK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARNWICK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNWICK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNWICK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNWICK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest (and gtest_discover_tests) run every test executable through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
