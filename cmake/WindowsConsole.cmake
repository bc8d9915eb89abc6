# The console's native window on Windows: qeld-console.exe with its icon and
# version information, and its packages: `cpack -G ZIP` (portable, no
# installation) and, where makensis is installed, `cpack -G NSIS` (an
# installer with a Start-menu entry).
set(QELD_ICON_FILE ${CMAKE_CURRENT_SOURCE_DIR}/data/qeld-console.ico)
configure_file(src/app/qeld-console.rc.in ${CMAKE_CURRENT_BINARY_DIR}/qeld-console.rc @ONLY)
# The Win32 window backend, for the console, its tests and its benchmark.
add_library(qeld_win32 STATIC src/win32/Win32Window.cpp src/win32/Win32LineMonitor.cpp src/win32/Win32SerialPorts.cpp)
target_link_libraries(qeld_win32 PUBLIC qeld_core comctl32 comdlg32 gdi32)
add_executable(qeld-console WIN32
  src/app/ConsoleAppWin32.cpp
  ${CMAKE_CURRENT_BINARY_DIR}/qeld-console.rc)
target_link_libraries(qeld-console PRIVATE qeld_win32)


# --- packages -------------------------------------------------------------------
# Everything sits in one folder: the exe beside its README and licence.
install(TARGETS qeld-console DESTINATION .)
configure_file(data/windows/README-Windows.txt ${CMAKE_CURRENT_BINARY_DIR}/README.txt NEWLINE_STYLE CRLF)
configure_file(LICENSE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)
# qeld-run.exe runs service scripts from a command prompt; the examples beside
# it, with Windows line ends for Notepad.
install(TARGETS qeld-run DESTINATION .)
# (Not the training image: no simulator comes with this package, and a
# module must never be sent it.)
file(GLOB examples CONFIGURE_DEPENDS RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/examples
     ${CMAKE_CURRENT_SOURCE_DIR}/examples/*.qeld)
foreach(example ${examples})
  configure_file(examples/${example} ${CMAKE_CURRENT_BINARY_DIR}/examples/${example} @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/examples/${example} DESTINATION examples)
endforeach()
# The script grammar beside qeld-run.exe: the README's section "Service
# scripts", as text with Windows line ends.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/README.md readme)
string(FIND "${readme}" "\n## Service scripts\n" from)
if(from LESS 0)
  message(FATAL_ERROR "README.md has no section \"Service scripts\"")
endif()
math(EXPR from "${from} + 1")
string(SUBSTRING "${readme}" ${from} -1 section)
string(SUBSTRING "${section}" 1 -1 rest)
string(FIND "${rest}" "\n## " end)
if(end GREATER_EQUAL 0)
  math(EXPR end "${end} + 2")
  string(SUBSTRING "${section}" 0 ${end} section)
endif()
set(section "QELD service console ${PROJECT_VERSION}: service scripts for qeld-run.exe
(from the console's manual; on Windows, port N is \\\\.\\COMN and the
admin password is set as qeld-run.exe --help shows)

${section}")
string(REPLACE "\n" "\r\n" section "${section}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/SCRIPTS.txt "${section}")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/SCRIPTS.txt DESTINATION .)

set(CPACK_PACKAGE_NAME qeld-console)
set(CPACK_PACKAGE_VENDOR "QELD console developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service console for the QELD cash-dispenser module")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_FILE_NAME qeld-console-${PROJECT_VERSION}-win64)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR ZIP)
# The zip unpacks into one folder named like the package.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

set(CPACK_PACKAGE_INSTALL_DIRECTORY "QELD Console")
# The uninstall entry and the installation's own key keep this name from
# version to version, so that a newer installer finds the older one.
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "QELD Console")
# A 64-bit installer for a 64-bit program (Debian's NSIS has the stubs): it
# installs into C:\Program Files and writes the 64-bit registry, and it runs
# where only 64-bit programs do (Debian's Wine).
set(CPACK_NSIS_DEFINES "  Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# The Start-menu entry starts the console in its installation folder, where
# an ordinary user may not write: log files then go to the user's own
# Documents\QELD, and the console says so.
# (NSIS takes single quotes; CPack's configuration mangles double ones.)
set(CPACK_NSIS_CREATE_ICONS_EXTRA "
  SetOutPath '$INSTDIR'
  CreateShortCut '$SMPROGRAMS\\$STARTMENU_FOLDER\\QELD Console.lnk' '$INSTDIR\\qeld-console.exe'")
# The vendor's key, empty once the installation's own key has gone.
set(CPACK_NSIS_DELETE_ICONS_EXTRA "
  Delete '$SMPROGRAMS\\$MUI_TEMP\\QELD Console.lnk'
  DeleteRegKey /ifempty SHCTX 'Software\\${CPACK_PACKAGE_VENDOR}'")
set(CPACK_NSIS_DISPLAY_NAME "QELD Console ${PROJECT_VERSION}")
set(CPACK_NSIS_PACKAGE_NAME "QELD Console")
set(CPACK_NSIS_INSTALLED_ICON_NAME qeld-console.exe)
set(CPACK_NSIS_MUI_ICON ${QELD_ICON_FILE})
set(CPACK_NSIS_MUI_UNIICON ${QELD_ICON_FILE})
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MENU_LINKS README.txt "QELD Console README")
include(CPack)

# The Windows console's half of the benchmark (bench/wine-bench.sh): not
# installed, not a test.
add_executable(qeld-winbench bench/WinBench.cpp)
target_link_libraries(qeld-winbench PRIVATE qeld_win32)

# --- window tests under Xvfb and Wine -------------------------------------------
# Drives the running console by control id.
add_executable(qeld-wincontrol tests/win/gui/wincontrol.cpp)
target_link_libraries(qeld-wincontrol PRIVATE user32)
# The window backend on its own.
add_executable(qeld_win32_window_tests tests/win/gui/test_win32_window.cpp)
target_link_libraries(qeld_win32_window_tests PRIVATE qeld_win32 gtest_main)
# The module simulator is a Linux program: the Linux build's (scripts/build.sh
# build), or the one named here. Without it the window test is skipped.
find_program(QELD_HOST_SIM qeld-sim PATHS ${PROJECT_SOURCE_DIR}/build NO_DEFAULT_PATH)
if(NOT QELD_HOST_SIM)
  set(QELD_HOST_SIM ${PROJECT_SOURCE_DIR}/build/qeld-sim)
endif()
# One prefix for the window tests, one test at a time in it (each ends its
# Wine server), apart from the prefix of the serial tests.
set(QELD_GUI_PREFIX ${CMAKE_BINARY_DIR}/wine-gui)
add_test(NAME Win.ConsoleWindow.EnterConnectsGoLoaderDispenseKoreanPrompt
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/win/gui/console_wine.sh $<TARGET_FILE:qeld-console>
                 $<TARGET_FILE:qeld-wincontrol> ${QELD_HOST_SIM} ${QELD_GUI_PREFIX} ${CMAKE_BINARY_DIR}/screens
                 ${CMAKE_BINARY_DIR}/tests/win/libqeld_modem_lines.so)
add_test(NAME Win.Package.ZipUnpacksAndStarts
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/win/gui/package_wine.sh ${CMAKE_BINARY_DIR}
                 $<TARGET_FILE:qeld-wincontrol> ${QELD_GUI_PREFIX})
add_test(NAME Win.Win32Window
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/win/gui/xvfb_wine.sh ${QELD_GUI_PREFIX}
                 $<TARGET_FILE:qeld_win32_window_tests>)
set_tests_properties(Win.Win32Window Win.ConsoleWindow.EnterConnectsGoLoaderDispenseKoreanPrompt Win.Package.ZipUnpacksAndStarts
                     PROPERTIES LABELS "e2e;win" TIMEOUT 400 SKIP_RETURN_CODE 77 RESOURCE_LOCK wine-gui)
