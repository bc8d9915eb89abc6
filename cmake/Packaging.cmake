# The Debian package: `cpack -G DEB` in the build folder writes
# qeld-console_<version>-<release>_<arch>.deb.
set(CPACK_PACKAGE_NAME qeld-console)
set(CPACK_PACKAGE_VENDOR "QELD console developers")
set(CPACK_PACKAGE_CONTACT "QELD console developers <qeld-console@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service console for the QELD cash-dispenser module")
set(CPACK_PACKAGE_DESCRIPTION
    "A technician wires the PC to the QELD cash-dispenser module by RS-232 and,
from one window, dispenses and purges notes with repeat runs and statistics,
reads sensors, runs diagnostics, reads and writes settings, reads versions,
replaces the firmware from BIN or HEX images and records the module's log.
qeld-sim stands in for the module on a pseudo-terminal, with settable faults,
for training without a module.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
# The shared libraries come from dpkg-shlibdeps (dpkg-dev). What it cannot
# see is named here: the window's page layout is in pixels for Tahoma-wide
# faces (Liberation Sans or Nimbus Sans stand in for it), and the Korean
# texts need a CJK face.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2 | fonts-urw-base35, fonts-noto-cjk | fonts-nanum")

include(CPack)
