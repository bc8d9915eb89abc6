# The Windows target: the console's core and its headless tests, run under
# Wine by ctest (the toolchain file sets Wine as the emulator). Qt, the
# simulator program, the benchmarks and packaging stay on Linux.

# C99 printf (MinGW's own, which libstdc++ selects anyway), checked as such.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)
target_compile_definitions(qeld_core PUBLIC QELD_PRINTF_FORMAT=gnu_printf)

# The module's model drives the headless tests; its pseudo-terminal does not
# build here.
add_library(qeld_simcore STATIC sim/SimModule.cpp)
target_include_directories(qeld_simcore PUBLIC sim src)

enable_testing()
add_subdirectory(bench)
add_subdirectory(tests/win)
