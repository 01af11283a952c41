# Finds out whether this machine runs 32-bit x86 programs by itself. Some kernels
# (and sandboxes) have no 32-bit support; there the tests and tools run under
# qemu-i386, which the set-up script installs. I386_RUNNER is empty when the
# programs run natively, else the command to put in front of them.
# ARDUINODRV_FORCE_EMULATOR runs them under qemu-i386 on a machine that would
# run them natively, to reproduce the other kind of machine: qemu-i386 lacks
# some ioctl requests and handles signals and timers its own way.
option(ARDUINODRV_FORCE_EMULATOR "Run the 32-bit tests and tools under qemu-i386 even where the kernel runs them" OFF)
set(_probe_src "${CMAKE_BINARY_DIR}/i386_probe.c")
file(WRITE "${_probe_src}" "int main(void) { return sizeof(void *) == 4 ? 0 : 1; }\n")
try_run(_probe_run _probe_compile "${CMAKE_BINARY_DIR}/i386_probe" "${_probe_src}")
if(NOT _probe_compile)
  message(FATAL_ERROR "cannot compile a 32-bit program: is g++-multilib installed? (scripts/setup.sh)")
endif()
if("${_probe_run}" STREQUAL "0" AND NOT ARDUINODRV_FORCE_EMULATOR)
  set(I386_RUNNER "" CACHE STRING "command that runs 32-bit programs (empty: native)" FORCE)
  message(STATUS "32-bit programs run natively")
else()
  find_program(QEMU_I386 qemu-i386)
  if(NOT QEMU_I386)
    message(FATAL_ERROR "32-bit programs need qemu-i386 here, which is missing (scripts/setup.sh installs it)")
  endif()
  set(I386_RUNNER "${QEMU_I386}" CACHE STRING "command that runs 32-bit programs (empty: native)" FORCE)
  if(ARDUINODRV_FORCE_EMULATOR)
    message(STATUS "32-bit programs run under ${QEMU_I386} (ARDUINODRV_FORCE_EMULATOR)")
  else()
    message(STATUS "32-bit programs run under ${QEMU_I386}")
  endif()
endif()
# For scripts/run32, which looks for this file above the program it runs.
file(WRITE "${CMAKE_BINARY_DIR}/i386_runner.txt" "${I386_RUNNER}\n")
