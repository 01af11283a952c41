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

# The packages, as Debian splits a library: each component of the install
# rules (cmake/arduinodrv.cmake) is one package.
#   libs    libarduinoboard1      both libraries, 64-bit; the udev rule, the known USB ids
#   libs32  lib32arduinoboard1    both libraries, 32-bit (for 32-bit host programs)
#   dev     libarduinoboard-dev   headers, the linker's links, pkg-config files
#   tools   arduinodrv-tools      portlist, arduinodrv-shell, boardsim, firmsim, their
#                                 manual pages, the sketch and its firmware
#   python  python3-arduinodrv    the Python module and its board page
set(ARDUINODRV_DEBIAN_PACKAGES
  libs libarduinoboard1 libs32 lib32arduinoboard1 dev libarduinoboard-dev tools arduinodrv-tools
  python python3-arduinodrv)

# Debian's documentation files in each package: the copyright, and the
# changelog compressed as policy and lintian want it (gzip -9, no name or
# time stamp).
set(changelog_gz "${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz")
add_custom_command(OUTPUT "${changelog_gz}"
  COMMAND gzip -9 -n -c "${changelog}" > "${changelog_gz}"
  DEPENDS "${changelog}"
  COMMENT "Compressing the Debian changelog")
add_custom_target(debian_changelog ALL DEPENDS "${changelog_gz}")
set(components "")
while(ARDUINODRV_DEBIAN_PACKAGES)
  list(POP_FRONT ARDUINODRV_DEBIAN_PACKAGES component name)
  list(APPEND components ${component})
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${name})
  set(CPACK_DEBIAN_${COMPONENT}_FILE_NAME DEB-DEFAULT)
  install(FILES copyright "${changelog_gz}" DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${name}"
          COMPONENT ${component})
endwhile()
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/libarduinoboard-dev"
        COMPONENT dev)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_PACKAGE_NAME arduinodrv)
set(CPACK_DEBIAN_PACKAGE_SOURCE arduinodrv)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed with DESTDIR and the prefix /usr, as a system install: the
# pkg-config files' prefix comes out right.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ARDUINODRV_MAINTAINER}")
# Each package's description is its own, its first line the synopsis (no
# CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it in front of each).
# Depends: from the binaries, by dpkg-shlibdeps (the 64-bit libraries need
# the C library alone, the 32-bit ones libc6-i386, firmsim libsimavr and
# libelf); between the packages, the exact version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libarduinoboard.so.1 lies where the loader looks: its shlibs entry, and the
# loader's cache made anew at install and removal (the ldconfig trigger).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(same "(= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
set(ports ${ARDUINODRV_PORTS})
list(TRANSFORM ports PREPEND /dev/)
list(JOIN ports ", " ports)
set(about "arduinodrv lets a host program use an Arduino-class board on a USB serial
device as a measurement and control interface: analog and digital inputs,
PWM and digital outputs, channel labels.")

# The loader's cache is made anew by the ldconfig trigger.
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_SOURCE_DIR}/triggers")
set(CPACK_DEBIAN_LIBS32_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_SOURCE_DIR}/triggers")
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBS_DESCRIPTION "driver library for Arduino-class boards as measurement interfaces
${about}

This package holds the 64-bit libraries: libarduinoboard (a handle per
board, a status for every call, the time with every reading) and the 71
functions' library, one build per default port, with a udev rule that
gives the boards to the dialout group and keeps the modem manager away
from them. Default ports: ${ports}.")

set(CPACK_DEBIAN_LIBS32_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBS32_DESCRIPTION "driver library for Arduino-class boards (32-bit)
${about}

This package holds the same libraries for 32-bit x86 host programs.")
# dpkg-shlibdeps would take the 32-bit C library for libc6:i386 where the
# machine has that architecture too: in an amd64 package it is libc6-i386,
# at the version its shlibs file asks for.
set(CPACK_DEBIAN_LIBS32_PACKAGE_SHLIBDEPS OFF)
set(libc32 "libc6-i386")
if(EXISTS /var/lib/dpkg/info/libc6-i386.shlibs)
  file(STRINGS /var/lib/dpkg/info/libc6-i386.shlibs libc32_line REGEX "^libc 6 ")
  if(libc32_line MATCHES "^libc 6 (libc6-i386 \\([^)]+\\))")
    set(libc32 "${CMAKE_MATCH_1}")
  endif()
endif()
set(CPACK_DEBIAN_LIBS32_PACKAGE_DEPENDS "${libc32}, libarduinoboard1 ${same}")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "driver library for Arduino-class boards (development files)
${about}

This package holds the headers arduinodrv.h and arduinoboard.h and the
pkg-config files of both widths (arduinodrv[-<port>], arduinodrv32[-<port>],
arduinoboard, arduinoboard32).")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libarduinoboard1 ${same}")
# 32-bit host programs (-m32) need the 32-bit libraries: recommended.
set(CPACK_DEBIAN_DEV_PACKAGE_RECOMMENDS "lib32arduinoboard1 ${same}")

set(CPACK_COMPONENT_TOOLS_DESCRIPTION "driver library for Arduino-class boards (tools)
${about}

Its programs, each with a manual page:

 portlist          lists the serial devices that open
 arduinodrv-shell  calls the library's functions from a console or a script
 boardsim          emulates a board on a pseudo-terminal
 firmsim           runs the sketch's own firmware on an emulated ATmega328P

and the board's sketch with its built firmware (/usr/share/arduinodrv).")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libarduinoboard1 ${same}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "avrdude")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "driver library for Arduino-class boards (Python 3)
${about}

This package holds the Python module arduinodrv (Board on libarduinoboard,
Driver for the 71 functions) and its command line, python3 -m arduinodrv,
with the board's page in a browser (serve).")
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, python3-serial, libarduinoboard1 (>= ${PROJECT_VERSION})")

set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
set(CPACK_STRIP_FILES ON)
include(CPack)
