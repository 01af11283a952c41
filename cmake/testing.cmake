# How the tests are built and run, in either width. Included once, at the top.
#
# Test names of width 64 start with w64_, so that one ctest runs both widths'
# tests side by side (ctest -R w64_ picks the 64-bit ones).

if(ARDUINODRV_WIDTH EQUAL 32)
  set(ARDUINODRV_TEST_PREFIX "")
  include("${CMAKE_CURRENT_LIST_DIR}/i386_runner.cmake")
else()
  set(ARDUINODRV_TEST_PREFIX "w64_")
  # Native programs need no runner; the tests' sources take the name as it is.
  set(I386_RUNNER "")
  # scripts/run32 stops at this file, not at an outer 32-bit build's.
  file(WRITE "${CMAKE_BINARY_DIR}/i386_runner.txt" "\n")
endif()

# GoogleTest, compiled for this width from the sources Debian installs.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
# Not beside the users' libraries in <build>/lib.
set_target_properties(gtest gtest_main PROPERTIES ARCHIVE_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/googletest/lib")

# add_width_test(<name> COMMAND <command...> [TIMEOUT <s>])
# A test named for its width.
function(add_width_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "COMMAND" ${ARGN})
  add_test(NAME ${ARDUINODRV_TEST_PREFIX}${name} COMMAND ${ARG_COMMAND})
  if(ARG_TIMEOUT)
    set_tests_properties(${ARDUINODRV_TEST_PREFIX}${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  endif()
endfunction()

# add_program_test(<name> <target> [arguments...])
# Runs a test program of this project, under the emulator where the machine
# needs one for 32-bit programs.
function(add_program_test name target)
  add_width_test(${name} COMMAND ${I386_RUNNER} $<TARGET_FILE:${target}> ${ARGN})
endfunction()

# add_driver_test(<name> SOURCES <files...> [USB2])
# A GoogleTest program with its own builds of the library whose device folder
# is a folder of the build tree, so test programs never share devices and may
# run in parallel. The program gets:
#   TEST_DEVICE_FOLDER  the folder where the test makes ttyUSB0, ttyACM1, ...
#   TEST_LIBRARY_USB0   the build whose default port is <folder>/ttyUSB0
#   TEST_LIBRARY_USB2   with USB2 only: the build whose default port is <folder>/ttyUSB2
function(add_driver_test name)
  cmake_parse_arguments(ARG "USB2" "" "SOURCES" ${ARGN})
  set(base "${CMAKE_BINARY_DIR}/tests/${name}")
  file(MAKE_DIRECTORY "${base}/dev")
  add_arduinodrv(${name}_lib_usb0 "${base}/usb0" "${base}/dev" ttyUSB0)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE test_support GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    TEST_DEVICE_FOLDER="${base}/dev"
    TEST_LIBRARY_USB0="${base}/usb0/libarduinodrv.so")
  add_dependencies(${name} ${name}_lib_usb0)
  if(ARG_USB2)
    add_arduinodrv(${name}_lib_usb2 "${base}/usb2" "${base}/dev" ttyUSB2)
    target_compile_definitions(${name} PRIVATE TEST_LIBRARY_USB2="${base}/usb2/libarduinodrv.so")
    add_dependencies(${name} ${name}_lib_usb2)
  endif()
  add_program_test(${name} ${name})
endfunction()

# Fake board, pseudo-terminals, child processes, library loading and a fake
# sysfs, shared by the test programs.
set(_support "${PROJECT_SOURCE_DIR}/tests/support")
add_library(test_support STATIC
  "${_support}/fake_board.cpp"
  "${_support}/fake_sysfs.cpp"
  "${_support}/child.cpp"
  "${_support}/pty_pair.cpp"
  "${_support}/wire_of.cpp"
  "${_support}/claim_observer.cpp"
  "${_support}/someones_terminal.cpp"
  "${_support}/raw_line.cpp"
  "${_support}/stream_reader.cpp")
target_include_directories(test_support PUBLIC
  "${_support}" "${PROJECT_SOURCE_DIR}/include" "${PROJECT_SOURCE_DIR}")
target_link_libraries(test_support PUBLIC board_protocol line_rate tools_common GTest::gtest ${CMAKE_DL_LIBS} util pthread)

# add_board_test(<name> SOURCES <files...>)
# A GoogleTest program linked with its own build of libarduinoboard, whose
# system root (where ab_open(NULL) looks for /sys and /dev) is a folder of
# the build tree. The program gets:
#   TEST_SYSTEM_ROOT    that folder
#   TEST_DEVICE_FOLDER  <root>/dev, where the test makes its devices
function(add_board_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  set(root "${CMAKE_BINARY_DIR}/tests/${name}/root")
  file(MAKE_DIRECTORY "${root}/dev")
  add_arduinoboard(${name}_lib "${CMAKE_BINARY_DIR}/tests/${name}/lib" "${root}")
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${name}_lib test_support line_rate GTest::gtest_main)
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/board/arduinodrv_board")
  target_compile_definitions(${name} PRIVATE
    TEST_SYSTEM_ROOT="${root}"
    TEST_DEVICE_FOLDER="${root}/dev"
    ARDUINOBOARD_TEST_VERSION="${PROJECT_VERSION}")
  add_program_test(${name} ${name})
endfunction()
