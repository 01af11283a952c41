# The list of known USB ids, read the one way (cmake/usb_ids.cmake): a good
# list gives its table and udev rule line for line, every bad one stops the
# configuration naming its file and line.
#   cmake -DSOURCE=<source tree> -DWORK=<folder> -P usb_ids_list_test.cmake
cmake_minimum_required(VERSION 3.25)
include("${SOURCE}/cmake/usb_ids.cmake")
include("${SOURCE}/packaging/usb_id_rules.cmake")

# One reading in a process of its own, for a list that stops it.
if(DEFINED IDS)
  arduinodrv_known_usb_ids_source("${IDS}" "${IDS}.cpp")
  return()
endif()

set(failures "")
file(MAKE_DIRECTORY "${WORK}")
set(ids "${WORK}/usb_ids.txt")

# Comments (with what entries may not hold), CRLF line ends, tabs, a quote in
# a description, a vendor's products together in its rule.
file(WRITE "${ids}" "# ids; [any] \\ text\r\n\r\n2341 *  Arduino \"Uno\" board\r\n1a86\t7523\tCH340\n1a86 5523 CH341\n")
arduinodrv_known_usb_ids_source("${ids}" "${ids}.cpp")
file(READ "${ids}.cpp" table)
string(FIND "${table}" "    {\"2341\", \"*\", \"Arduino \\\"Uno\\\" board\"},\n    {\"1a86\", \"7523\", \"CH340\"},\n    {\"1a86\", \"5523\", \"CH341\"},\n};" at)
if(at EQUAL -1)
  string(APPEND failures "the table is not the list's:\n${table}\n")
endif()
arduinodrv_usb_id_rules("${ids}" rules)
set(expected "# Arduino \"Uno\" board\nATTRS{idVendor}==\"2341\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n# CH340, CH341\nATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523|5523\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n")
if(NOT rules STREQUAL expected)
  string(APPEND failures "the rules are not the list's:\n${rules}\n")
endif()

string(ASCII 255 not_ascii)
set(bad_lists
  "# ids\n\n2341 *\n" ":3: not \"vendor product description\""
  "1a86 7523 CH340\n1A86 5523 CH341\n" ":2: not \"vendor"
  "2341 ZZZZ board\n" ":1: not \"vendor"
  "2341 * ${not_ascii} board\n" ":1: only printable ASCII"
  "2341 * a\\\nb\n" ":1: no '")
list(LENGTH bad_lists length)
math(EXPR last "${length} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET bad_lists ${i} content)
  list(GET bad_lists ${j} error)
  file(WRITE "${ids}" "${content}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -DSOURCE=${SOURCE} -DIDS=${ids} -P "${CMAKE_CURRENT_LIST_FILE}"
    RESULT_VARIABLE status ERROR_VARIABLE message)
  string(REGEX REPLACE "[ \n]+" " " message "${message}")
  string(FIND "${message}" "${ids}${error}" at)
  if(status EQUAL 0 OR at EQUAL -1)
    string(APPEND failures "list ${content}: status ${status}, ${message}\n")
  endif()
endforeach()

if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${failures}")
endif()
