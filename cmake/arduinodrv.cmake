# Where the builds of the library and the programs go, in the build tree and
# when installed, and the functions that make them. Included once, at the top,
# so that every folder may use them whatever the order of add_subdirectory.

# The default ports, one build of the library per port and width.
set(ARDUINODRV_PORTS "ttyUSB0;ttyUSB2;ttyACM0" CACHE STRING
  "Default ports of the builds of the library: one build per port, named for it")
list(GET ARDUINODRV_PORTS 0 ARDUINODRV_DEFAULT_PORT)

# The build folder users look in. A nested width-64 build is given its outer
# build folder, so both widths' libraries lie side by side there.
set(ARDUINODRV_USER_BUILD_DIR "${CMAKE_BINARY_DIR}" CACHE PATH
  "Build folder where the libraries for users land (lib/ or lib64/ in it)")
# The nested width-64 build is the one whose user build folder is another's.
# Everything that does not depend on the width is built and checked once, in
# the other (outer) one: ARDUINODRV_PARTS_BUILT_ONCE says where.
if(ARDUINODRV_USER_BUILD_DIR STREQUAL CMAKE_BINARY_DIR)
  set(ARDUINODRV_NESTED OFF)
  set(ARDUINODRV_PARTS_BUILT_ONCE ON)
else()
  set(ARDUINODRV_NESTED ON)
  set(ARDUINODRV_PARTS_BUILT_ONCE OFF)
endif()
# The sketch's firmware (.hex and .elf), built once by the outer build
# (board/); the nested build is handed this folder and builds none.
set(ARDUINODRV_SKETCH_DIR "${CMAKE_BINARY_DIR}/board/sketch" CACHE PATH
  "Folder of the sketch's built firmware (the outer build's, in a nested build)")
set(ARDUINODRV_SKETCH_HEX "${ARDUINODRV_SKETCH_DIR}/arduinodrv_board.hex")
set(ARDUINODRV_SKETCH_ELF "${ARDUINODRV_SKETCH_DIR}/arduinodrv_board.elf")
# The same sketch built classic (the driver's four commands only), for tests
# of what a board without the extensions does.
set(ARDUINODRV_SKETCH_CLASSIC_HEX "${ARDUINODRV_SKETCH_DIR}/arduinodrv_board_classic.hex")
# Each width's libraries, in the build tree and installed (under the prefix).
set(ARDUINODRV_BUILD_LIBDIR_32 "${ARDUINODRV_USER_BUILD_DIR}/lib")
set(ARDUINODRV_BUILD_LIBDIR_64 "${ARDUINODRV_USER_BUILD_DIR}/lib64")
set(ARDUINODRV_INSTALL_LIBDIR_32 "lib32/arduinodrv")
set(ARDUINODRV_INSTALL_LIBDIR_64 "lib/arduinodrv")
set(ARDUINODRV_BUILD_LIBDIR "${ARDUINODRV_BUILD_LIBDIR_${ARDUINODRV_WIDTH}}")
set(ARDUINODRV_INSTALL_LIBDIR "${ARDUINODRV_INSTALL_LIBDIR_${ARDUINODRV_WIDTH}}")
# libarduinoboard takes its port as an argument: one build per width, where
# the system's linker and loader look (Debian's folder for each width).
set(ARDUINOBOARD_INSTALL_LIBDIR_32 "lib32")
set(ARDUINOBOARD_INSTALL_LIBDIR_64 "lib/x86_64-linux-gnu")
set(ARDUINOBOARD_INSTALL_LIBDIR "${ARDUINOBOARD_INSTALL_LIBDIR_${ARDUINODRV_WIDTH}}")
# Programs users run land in <build>/bin of their width's build.
set(ARDUINODRV_BIN_DIR "${CMAKE_BINARY_DIR}/bin")

# What goes into which Debian package (packaging/package.cmake): each install
# rule names its component. The libraries of each width are a package of
# their own, so that the 64-bit ones need no 32-bit C library.
set(ARDUINODRV_COMPONENT_LIBS_64 libs)
set(ARDUINODRV_COMPONENT_LIBS_32 libs32)
set(ARDUINODRV_COMPONENT_LIBS "${ARDUINODRV_COMPONENT_LIBS_${ARDUINODRV_WIDTH}}")
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME tools)

# The known USB ids of the boards and their USB-serial chips: the one list,
# from which the udev rule and the table compiled into the tools (serial/)
# are made; installed to share/arduinodrv for the Python package. Read by
# cmake/usb_ids.cmake; a change to it configures the build again.
set(ARDUINODRV_USB_IDS "${PROJECT_SOURCE_DIR}/board/usb_ids.txt")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ARDUINODRV_USB_IDS}")
include("${CMAKE_CURRENT_LIST_DIR}/usb_ids.cmake")

# The exported names of each library: the one list, from which the linker's
# version script is made, and which the checks of the built libraries read.
# For the 71 exports the list is made from the header (export_table.cmake).
# version_script(<list> <output variable>): the script made from <list>.
function(version_script list out)
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${list}")
  file(STRINGS "${list}" names REGEX "^[A-Za-z_]")
  list(JOIN names ";\n    " names)
  get_filename_component(stem "${list}" NAME_WE)
  set(script "${CMAKE_BINARY_DIR}/${stem}_exports.map")
  file(CONFIGURE OUTPUT "${script}" CONTENT "{\n  global:\n    ${names};\n  local: *;\n};\n")
  set(${out} "${script}" PARENT_SCOPE)
endfunction()
include("${CMAKE_CURRENT_LIST_DIR}/export_table.cmake")
arduinodrv_export_table("${PROJECT_SOURCE_DIR}/include/arduinodrv.h")
set(ARDUINODRV_EXPORT_LIST "${CMAKE_BINARY_DIR}/arduinodrv.names")
set(ARDUINODRV_EXPORT_TABLE_DIR "${CMAKE_BINARY_DIR}/generated")
version_script("${ARDUINODRV_EXPORT_LIST}" ARDUINODRV_VERSION_SCRIPT)
set(ARDUINOBOARD_EXPORT_LIST "${PROJECT_SOURCE_DIR}/driver/arduinoboard.list")
version_script("${ARDUINOBOARD_EXPORT_LIST}" ARDUINOBOARD_VERSION_SCRIPT)

# What every program that reaches a board is built with: the clock and the
# console (posix/), the port (serial/), the board's facts and line protocol
# (protocol/).
set(ARDUINODRV_BOARD_LAYERS
  $<TARGET_OBJECTS:posix_layer> $<TARGET_OBJECTS:serial_layer> $<TARGET_OBJECTS:line_rate>
  $<TARGET_OBJECTS:line_protocol>)

# add_arduinodrv(<target> <output folder> <device folder> <default port name>)
# A library named libarduinodrv.so in <output folder>: hosts load it by file
# name, so the builds differ by folder only.
function(add_arduinodrv target output_dir device_folder port_name)
  add_library(${target} SHARED
    "${PROJECT_SOURCE_DIR}/driver/build_paths.cpp"
    $<TARGET_OBJECTS:driver_core>
    $<TARGET_OBJECTS:exchange_core>
    $<TARGET_OBJECTS:port_trace>
    ${ARDUINODRV_BOARD_LAYERS})
  target_include_directories(${target} PRIVATE
    "${PROJECT_SOURCE_DIR}" "${PROJECT_SOURCE_DIR}/include" "${PROJECT_SOURCE_DIR}/driver")
  target_compile_definitions(${target} PRIVATE
    ARDUINODRV_DEVICE_FOLDER="${device_folder}"
    ARDUINODRV_DEFAULT_PORT="${port_name}")
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME arduinodrv
    LIBRARY_OUTPUT_DIRECTORY "${output_dir}")
  c_interface_only(${target} "${ARDUINODRV_VERSION_SCRIPT}")
endfunction()

# c_interface_only(<target> <version script>)
# Only the C library may be a shared dependency, and only the interface's
# names may be exported. The library's own calls bind inside it, so a host
# symbol of the same name never takes their place.
function(c_interface_only target script)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${script}")
  target_link_options(${target} PRIVATE
    -static-libstdc++ -static-libgcc
    -Wl,--version-script=${script}
    -Wl,--no-undefined-version
    -Wl,-Bsymbolic-functions
    -Wl,--as-needed -Wl,--no-undefined)
endfunction()

# add_arduinoboard(<target> <output folder> <system root>)
# libarduinoboard.so.1 in <output folder>; ab_open(NULL) looks for the board
# in <system root>/sys and <system root>/dev ("" for the system's own).
function(add_arduinoboard target output_dir system_root)
  add_library(${target} SHARED
    "${PROJECT_SOURCE_DIR}/driver/board_build_paths.cpp"
    $<TARGET_OBJECTS:board_core>
    $<TARGET_OBJECTS:port_trace>
    $<TARGET_OBJECTS:usb_serial_devices>
    ${ARDUINODRV_BOARD_LAYERS})
  target_include_directories(${target} PRIVATE
    "${PROJECT_SOURCE_DIR}" "${PROJECT_SOURCE_DIR}/include" "${PROJECT_SOURCE_DIR}/driver"
    "${PROJECT_SOURCE_DIR}/board/arduinodrv_board")
  target_compile_definitions(${target} PRIVATE ARDUINOBOARD_SYSTEM_ROOT="${system_root}")
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME arduinoboard
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    LIBRARY_OUTPUT_DIRECTORY "${output_dir}")
  c_interface_only(${target} "${ARDUINOBOARD_VERSION_SCRIPT}")
endfunction()

# add_portlist(<target> <device folder>)
# The layers under the library are compiled in: the program neither links
# nor loads the library.
function(add_portlist target folder)
  add_executable(${target}
    "${PROJECT_SOURCE_DIR}/portlist/device_folder.cpp"
    $<TARGET_OBJECTS:portlist_core>
    ${ARDUINODRV_BOARD_LAYERS})
  target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}")
  target_compile_definitions(${target} PRIVATE PORTLIST_DEVICE_FOLDER="${folder}")
endfunction()

# Installs a program for users. One width's programs are installed (the
# 64-bit ones where both are built); the other's stay in the build tree.
set(ARDUINODRV_INSTALL_PROGRAMS ON)
if(ARDUINODRV_WIDTH EQUAL 32 AND ARDUINODRV_BUILD_64)
  set(ARDUINODRV_INSTALL_PROGRAMS OFF)
endif()
# Each installed program has a manual page, made from its --help by help2man
# (what its NAME line says is below).
set(ARDUINODRV_SUMMARY_portlist "list the serial devices that open")
set(ARDUINODRV_SUMMARY_boardsim "emulate an arduinodrv board on a pseudo-terminal")
set(ARDUINODRV_SUMMARY_arduinodrv-shell "call the arduinodrv library's functions from a console or a script")
set(ARDUINODRV_SUMMARY_firmsim "run the board's firmware on an emulated ATmega328P")
find_program(HELP2MAN help2man)
function(install_arduinodrv_program target)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${ARDUINODRV_BIN_DIR}")
  if(NOT ARDUINODRV_INSTALL_PROGRAMS)
    return()
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tools)
  if(NOT HELP2MAN OR ARDUINODRV_SANITIZE)
    return()
  endif()
  set(page "${CMAKE_BINARY_DIR}/man/${target}.1")
  add_custom_command(OUTPUT "${page}.gz"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/man"
    COMMAND "${HELP2MAN}" --no-info --no-discard-stderr "--version-string=${PROJECT_VERSION}"
            "--name=${ARDUINODRV_SUMMARY_${target}}" --output=${page} $<TARGET_FILE:${target}>
    COMMAND gzip -9nf "${page}"
    DEPENDS ${target}
    COMMENT "Manual page of ${target}"
    VERBATIM)
  add_custom_target(${target}_manual ALL DEPENDS "${page}.gz")
  install(FILES "${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tools)
endfunction()
