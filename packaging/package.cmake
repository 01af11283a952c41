# The Debian package: cmake --build <build> --target package. It holds what
# `cmake --install` installs from both widths, under /usr.
set(ARDUINODRV_MAINTAINER "arduinodrv maintainers <arduinodrv@localhost>" CACHE STRING
  "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME arduinodrv)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver library for Arduino-class boards as measurement interfaces")
set(ports ${ARDUINODRV_PORTS})
list(TRANSFORM ports PREPEND /dev/)
list(JOIN ports ", " ports)
set(CPACK_PACKAGE_DESCRIPTION "arduinodrv lets a host program use an Arduino-class board on a USB serial
device as a measurement and control interface: analog and digital inputs,
PWM and digital outputs, channel labels.

The package holds the library for 64-bit and 32-bit x86 hosts, one build
per default port (${ports}), its header and
pkg-config files, the Python package, the console tools (portlist,
arduinodrv-shell, boardsim), the board's sketch with its built firmware,
and a udev rule that gives the boards to the dialout group and keeps the
modem manager away from them.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ARDUINODRV_MAINTAINER}")
# The libraries need the C library alone (the C++ runtime is built in), the
# tools the C++ runtime too; the 32-bit libraries need the 32-bit C library,
# which 32-bit hosts bring.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libstdc++6 (>= 11), libgcc-s1 (>= 3.0)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libc6-i386 (>= 2.36), python3")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "avrdude")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
set(CPACK_STRIP_FILES ON)
include(CPack)
