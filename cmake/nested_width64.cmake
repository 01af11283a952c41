# A width-32 build also builds the same sources natively as width 64 in
# <build>/w64, with the same build type and sanitizers, and its tests run
# under this build's ctest. The 64-bit libraries land in <build>/lib64.
include(ExternalProject)
string(REPLACE ";" "^^" _ports "${ARDUINODRV_PORTS}")
set(ARDUINODRV_W64_DIR "${CMAKE_BINARY_DIR}/w64")
ExternalProject_Add(w64
  SOURCE_DIR "${PROJECT_SOURCE_DIR}"
  BINARY_DIR "${ARDUINODRV_W64_DIR}"
  CMAKE_ARGS
    -DARDUINODRV_WIDTH=64
    -DARDUINODRV_SANITIZE=${ARDUINODRV_SANITIZE}
    -DARDUINODRV_PORTS=${_ports}
    -DARDUINODRV_USER_BUILD_DIR=${CMAKE_BINARY_DIR}
    -DARDUINODRV_SKETCH_DIR=${ARDUINODRV_SKETCH_DIR}
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DCMAKE_INSTALL_PREFIX=${CMAKE_INSTALL_PREFIX}
  # The nested build tracks its own sources; it is asked every time.
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  LIST_SEPARATOR ^^
  USES_TERMINAL_BUILD ON)

# ctest here runs the 64-bit tests too (their names start with w64_).
file(WRITE "${CMAKE_BINARY_DIR}/w64_tests.cmake" "subdirs(\"${ARDUINODRV_W64_DIR}\")\n")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY TEST_INCLUDE_FILES "${CMAKE_BINARY_DIR}/w64_tests.cmake")

# Installing this build installs the 64-bit one as well.
# Every component: the nested script keeps to the one being installed.
install(CODE "include(\"${ARDUINODRV_W64_DIR}/cmake_install.cmake\")" ALL_COMPONENTS)
