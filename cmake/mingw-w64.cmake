# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix threads, so
# std::thread works), tested under Wine:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QELD_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QELD_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QELD_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QELD_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QELD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything static, the C++ runtime and winpthread included: the exe needs
# no DLL beside the system's own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest and gtest_discover_tests run the test programs through Wine. wine
# (not wine64) picks the right loader for a 64-bit exe.
find_program(QELD_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QELD_WINE})
