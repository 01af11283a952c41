# The list of known USB ids (board/usb_ids.txt), read one way for all that
# is made from it: the udev rule (packaging/usb_id_rules.cmake) and the table
# compiled into the programs and libraries that look for a board
# (serial/known_usb_ids.h). Included once, at the top.

# arduinodrv_read_usb_ids(<ids file> <prefix>)
# Sets <prefix>_ENTRIES to the entries' numbers (0;1;2...) and, for each
# entry i, <prefix>_VENDOR_<i>, <prefix>_PRODUCT_<i> (4 lowercase hex digits,
# or * for any) and <prefix>_DESCRIPTION_<i>. Lines are "vendor product
# description"; '#' starts a comment line, blank lines are ignored. Anything
# else stops the configuration, naming the file and the line: the list is
# printable ASCII, and an entry holds no ';', '[', ']' or '\' (they would
# split or join CMake list items).
function(arduinodrv_read_usb_ids ids_file prefix)
  # A NUL byte would end the text early, unseen.
  file(READ "${ids_file}" bytes HEX)
  if(bytes MATCHES "^(..)*00")
    message(FATAL_ERROR "${ids_file}: a NUL byte in the list of known USB ids")
  endif()
  file(READ "${ids_file}" text)
  set(entries "")
  set(number 0)
  # Line by line without a CMake list, which a ';' in a comment would split.
  while(NOT text STREQUAL "")
    math(EXPR number "${number} + 1")
    string(FIND "${text}" "\n" end)
    if(end EQUAL -1)
      set(line "${text}")
      set(text "")
    else()
      string(SUBSTRING "${text}" 0 ${end} line)
      math(EXPR end "${end} + 1")
      string(SUBSTRING "${text}" ${end} -1 text)
    endif()
    string(STRIP "${line}" line)
    if(line MATCHES "[^\t -~]")
      message(FATAL_ERROR "${ids_file}:${number}: only printable ASCII may be in the list of known USB ids")
    endif()
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    if(line MATCHES "[][;\\]")
      message(FATAL_ERROR "${ids_file}:${number}: no ';', '[', ']' or '\\' in an entry of the list of known USB ids")
    endif()
    if(NOT line MATCHES "^([0-9a-f][0-9a-f][0-9a-f][0-9a-f])[ \t]+([0-9a-f][0-9a-f][0-9a-f][0-9a-f]|\\*)[ \t]+(.+)$")
      message(FATAL_ERROR "${ids_file}:${number}: not \"vendor product description\" (4 lowercase hex digits each, product * for any): ${line}")
    endif()
    list(LENGTH entries i)
    list(APPEND entries ${i})
    set(${prefix}_VENDOR_${i} "${CMAKE_MATCH_1}" PARENT_SCOPE)
    set(${prefix}_PRODUCT_${i} "${CMAKE_MATCH_2}" PARENT_SCOPE)
    set(${prefix}_DESCRIPTION_${i} "${CMAKE_MATCH_3}" PARENT_SCOPE)
  endwhile()
  set(${prefix}_ENTRIES "${entries}" PARENT_SCOPE)
endfunction()

# arduinodrv_known_usb_ids_source(<ids file> <C++ file>)
# Writes the table of serial/known_usb_ids.h from the list (only when it
# changes, so that an unchanged list rebuilds nothing).
function(arduinodrv_known_usb_ids_source ids_file output)
  arduinodrv_read_usb_ids("${ids_file}" ids)
  set(rows "")
  foreach(i IN LISTS ids_ENTRIES)
    string(REPLACE "\"" "\\\"" description "${ids_DESCRIPTION_${i}}")
    string(APPEND rows "    {\"${ids_VENDOR_${i}}\", \"${ids_PRODUCT_${i}}\", \"${description}\"},\n")
  endforeach()
  if(rows STREQUAL "")
    set(table "constinit const std::span<const known_usb_id> known_usb_ids;\n")
  else()
    string(CONCAT table "namespace {\nconstexpr known_usb_id table[] = {\n${rows}};\n}  // namespace\n\n"
              "constinit const std::span<const known_usb_id> known_usb_ids(table);\n")
  endif()
  string(CONCAT source "// Made by cmake/usb_ids.cmake from ${ids_file} when the build is configured:\n"
             "// change the list, not this file.\n#include \"serial/known_usb_ids.h\"\n\n${table}")
  set(written "")
  if(EXISTS "${output}")
    file(READ "${output}" written)
  endif()
  if(NOT written STREQUAL source)
    file(WRITE "${output}" "${source}")
  endif()
endfunction()
