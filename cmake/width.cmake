# The width of everything this configuration builds: 32 (the i386 toolchain,
# programs run under qemu-i386 where the kernel cannot run them) or 64 (native
# x86-64). Included before project(), since the toolchain depends on it.
set(ARDUINODRV_WIDTH 32 CACHE STRING "Width of the build: 32 (i386) or 64 (native x86-64)")
set_property(CACHE ARDUINODRV_WIDTH PROPERTY STRINGS 32 64)
if(ARDUINODRV_WIDTH EQUAL 32)
  if(NOT CMAKE_TOOLCHAIN_FILE)
    set(CMAKE_TOOLCHAIN_FILE "${CMAKE_CURRENT_LIST_DIR}/toolchain-i386.cmake")
  endif()
elseif(NOT ARDUINODRV_WIDTH EQUAL 64)
  message(FATAL_ERROR "ARDUINODRV_WIDTH must be 32 or 64, not ${ARDUINODRV_WIDTH}")
endif()
