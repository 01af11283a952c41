# The Debian package: cmake --build <build> --target package. It holds what
# `cmake --install` installs from both widths, under /usr.
set(ARDUINODRV_MAINTAINER "arduinodrv developers <arduinodrv@users.noreply.invalid>" CACHE STRING
  "Maintainer field of the Debian package")

# The package's version is the changelog's latest entry: the upstream part
# must be the project's, the Debian revision is the packaging's own.
set(changelog "${CMAKE_CURRENT_SOURCE_DIR}/changelog")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${changelog}")
file(STRINGS "${changelog}" changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^arduinodrv \\(([^)-]+)-([^)]+)\\) ")
  message(FATAL_ERROR "packaging/changelog: the first line is not an entry 'arduinodrv (<version>-<revision>) ...'")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog: its latest entry is for ${CMAKE_MATCH_1}, the project is ${PROJECT_VERSION}: add an entry")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE "${CMAKE_MATCH_2}")

# Debian's documentation files: the copyright, and the changelog compressed
# as policy and lintian want it (gzip -9, no name or time stamp).
set(doc_dir "${CMAKE_INSTALL_DATAROOTDIR}/doc/${PROJECT_NAME}")
set(changelog_gz "${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz")
add_custom_command(OUTPUT "${changelog_gz}"
  COMMAND gzip -9 -n -c "${changelog}" > "${changelog_gz}"
  DEPENDS "${changelog}"
  COMMENT "Compressing the Debian changelog")
add_custom_target(debian_changelog ALL DEPENDS "${changelog_gz}")
install(FILES copyright "${changelog_gz}" DESTINATION "${doc_dir}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME arduinodrv)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed with DESTDIR and the prefix /usr, as a system install: the files
# under /etc and the pkg-config files' prefix come out right.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver library for Arduino-class boards as measurement interfaces")
set(ports ${ARDUINODRV_PORTS})
list(TRANSFORM ports PREPEND /dev/)
list(JOIN ports ", " ports)
# packaging/check-package.sh checks that every program in /usr/bin is named.
set(CPACK_PACKAGE_DESCRIPTION "arduinodrv lets a host program use an Arduino-class board on a USB serial
device as a measurement and control interface: analog and digital inputs,
PWM and digital outputs, channel labels.

The package holds the library for 64-bit and 32-bit x86 hosts, one build
per default port (${ports}), and
libarduinoboard beside it (a handle per board, a status for every call, the
time with every reading), with their headers and pkg-config files, the Python package, the board's sketch with its built
firmware, and a udev rule that gives the boards to the dialout group and
keeps the modem manager away from them. Its programs:

 portlist          lists the serial devices that open
 arduinodrv-shell  calls the library's functions from a console or a script
 boardsim          emulates a board on a pseudo-terminal
 firmsim           runs the sketch's own firmware on an emulated ATmega328P

The 32-bit libraries are for 32-bit host programs.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ARDUINODRV_MAINTAINER}")
# Depends: from the binaries, by dpkg-shlibdeps (the 64-bit libraries need
# the C library alone, the 32-bit ones libc6-i386, firmsim libsimavr and
# libelf).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libarduinoboard.so.1 lies where the loader looks: its shlibs entry, and the
# loader's cache made anew at install and removal (the ldconfig trigger).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# What the package installs in /etc (the Python path for login shells) is a
# configuration file: an administrator's change survives an upgrade.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_SOURCE_DIR}/conffiles")
# libc6-i386 for the 32-bit libraries, named here: dpkg-shlibdeps finds it
# only on a machine without the i386 architecture (with it, the 32-bit C
# library it finds is libc6:i386, which an amd64 package cannot name).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3, libc6-i386")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "avrdude")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
set(CPACK_STRIP_FILES ON)
include(CPack)
