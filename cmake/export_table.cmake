# The 71 exports are listed once: their declarations in include/arduinodrv.h,
# the header users read. From it the build makes, at configure time,
#   - the linker's version script (arduinodrv_exports.map), so the library
#     exports exactly those names;
#   - their names one a line (arduinodrv.names), which the checks
#     of the built libraries read;
#   - a table for C++ (generated/arduinodrv_exports.inc): one
#     ARDUINODRV_EXPORT(name, convention, result, signature, plain, kind) a
#     declaration, in the header's order, from which the library's calling
#     forms (driver/exports.cpp), the shell's table and the tests are made.
#     `kind` is plain for a plain function, form for its other forms. `plain` is the function whose behaviour a form has: "ea" for
#     stdea and cea; for a double form, the volts function where there is
#     one ("ead" for eadouble and stdeadouble, as the header says), else the
#     plain one ("eb" for ebdouble).
# A declaration the table cannot read stops the configuration, so none is
# ever left out.
function(arduinodrv_export_table header)
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${header}")
  file(STRINGS "${header}" declared REGEX "ARDUINODRV_NOEXCEPT;")
  set(all_names "")
  foreach(line IN LISTS declared)
    if(line MATCHES "\\) ([a-z]+)\\(")
      list(APPEND all_names "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(names "")
  set(rows "")
  foreach(line IN LISTS declared)
    if(NOT line MATCHES "^ARDUINODRV_(STD|C)\\(([^)]*)\\) ([a-z]+)\\(([^)]*)\\) ARDUINODRV_NOEXCEPT;$")
      message(FATAL_ERROR "${header}: the export table cannot read this declaration:\n  ${line}")
    endif()
    set(convention "${CMAKE_MATCH_1}")
    set(result_type "${CMAKE_MATCH_2}")
    set(name "${CMAKE_MATCH_3}")
    set(parameters "${CMAKE_MATCH_4}")
    if(result_type STREQUAL "int")
      set(result int32)
    elseif(result_type STREQUAL "double")
      set(result real)
    elseif(result_type STREQUAL "const char *")
      set(result text)
    else()
      message(FATAL_ERROR "${header}: ${name} returns ${result_type}, which the export table does not know")
    endif()
    set(signatures_void none)
    set(signatures_int_channel channel)
    set(signatures_double_channel channel_real)
    set(signatures_int_channel,_int_value channel_value)
    set(signatures_int_channel,_double_volts channel_volts)
    set(signatures_double_channel,_double_volts real_volts)
    set(signatures_double_channel,_double_value real_value)
    string(REPLACE " " "_" key "${parameters}")
    if(NOT DEFINED signatures_${key})
      message(FATAL_ERROR "${header}: ${name}(${parameters}) takes arguments the export table does not know")
    endif()
    set(signature "${signatures_${key}}")
    # The plain function: without the std or c prefix of a form, and without
    # the double suffix.
    set(plain "${name}")
    if(plain MATCHES "^std(.+)$")
      set(plain "${CMAKE_MATCH_1}")
    elseif(convention STREQUAL "C" AND plain MATCHES "^c(.+)$")
      set(plain "${CMAKE_MATCH_1}")
    endif()
    if(plain MATCHES "^(.+)double$")
      set(plain "${CMAKE_MATCH_1}")
      if("${plain}d" IN_LIST all_names)
        set(plain "${plain}d")
      endif()
    endif()
    set(kind form)
    if(name STREQUAL plain)
      set(kind plain)
    endif()
    string(APPEND names "${name}\n")
    string(APPEND rows "ARDUINODRV_EXPORT(${name}, ${convention}, ${result}, ${signature}, ${plain}, ${kind})\n")
  endforeach()
  file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/arduinodrv.names" CONTENT "${names}")
  file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/generated/arduinodrv_exports.inc"
       CONTENT "// Made by cmake/export_table.cmake from include/arduinodrv.h: do not edit.\n${rows}")
endfunction()
