# The build at a glance. A configuration builds one width in its build folder;
# the default one builds the other width as well, natively, in the nested
# build <build>/w64, whose tests the outer ctest runs (named w64_...).
#
#   configuration (-D...)        width 32 (i386)   width 64 (x86-64)     built once
#   (default) WIDTH=32           <build>           nested <build>/w64    <build>
#   WIDTH=32 BUILD_64=OFF        <build>           -                     <build>
#   WIDTH=64                     -                 <build>               <build>
#
# Every width: the library (one build per default port), portlist, boardsim,
# arduinodrv-shell, their tests, the benchmark and the pkg-config files.
# Width 32 only: the calling-convention tests (stdcall and cdecl exist there
# alone). Width 64 only: firmsim (libsimavr is 64-bit) and the Python package.
# Built once, where ARDUINODRV_PARTS_BUILT_ONCE is on (the outer build): the
# sketch's firmware, whose folder is handed to the nested build
# (ARDUINODRV_SKETCH_DIR), the demo's library and its test, the install check,
# the udev rule, the README and the Debian package.
#
# Included before project(), since the toolchain depends on the width.
set(ARDUINODRV_WIDTH 32 CACHE STRING "Width of the build: 32 (i386) or 64 (native x86-64)")
set_property(CACHE ARDUINODRV_WIDTH PROPERTY STRINGS 32 64)
if(ARDUINODRV_WIDTH EQUAL 32)
  if(NOT CMAKE_TOOLCHAIN_FILE)
    set(CMAKE_TOOLCHAIN_FILE "${CMAKE_CURRENT_LIST_DIR}/toolchain-i386.cmake")
  endif()
elseif(NOT ARDUINODRV_WIDTH EQUAL 64)
  message(FATAL_ERROR "ARDUINODRV_WIDTH must be 32 or 64, not ${ARDUINODRV_WIDTH}")
endif()
