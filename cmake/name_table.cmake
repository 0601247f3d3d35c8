# Writes the name-character ranges of the XML reader from the Unicode data
# that Debian ships (package unicode-data): every alphabetic character and
# every decimal digit of the Basic Multilingual Plane, as C++ initialisers.
# Generated when the build is configured, so that a new Unicode version
# reaches the parser without anyone editing a table by hand.

find_path(QUOBBLE_UNICODE_DIR DerivedCoreProperties.txt
  PATHS /usr/share/unicode /usr/share/unicode-data NO_DEFAULT_PATH)
if(NOT QUOBBLE_UNICODE_DIR OR NOT EXISTS "${QUOBBLE_UNICODE_DIR}/extracted/DerivedGeneralCategory.txt")
  message(FATAL_ERROR "The Unicode data files are missing: install the unicode-data package "
                      "(scripts/install-deps does) or set QUOBBLE_UNICODE_DIR")
endif()

# Lines "0041..005A    ; Alphabetic # ..." or "00AA          ; Alphabetic # ...";
# appends "first:last" pairs (hexadecimal, BMP only) to out_var.
function(quobble_read_ranges file property out_var)
  file(STRINGS "${file}" lines REGEX "^[0-9A-F.]+ *; ${property} #")
  set(ranges ${${out_var}})
  foreach(line IN LISTS lines)
    string(REGEX MATCH "^([0-9A-F]+)(\\.\\.([0-9A-F]+))?" _ "${line}")
    set(first "${CMAKE_MATCH_1}")
    set(last "${CMAKE_MATCH_3}")
    if(last STREQUAL "")
      set(last "${first}")
    endif()
    string(LENGTH "${first}" first_length)
    if(first_length GREATER 4)
      continue()  # beyond the BMP: a UTF-16 unit never holds it
    endif()
    string(LENGTH "${last}" last_length)
    if(last_length GREATER 4)
      set(last FFFF)
    endif()
    list(APPEND ranges "${first}:${last}")
  endforeach()
  set(${out_var} ${ranges} PARENT_SCOPE)
endfunction()

set(name_ranges "")
quobble_read_ranges("${QUOBBLE_UNICODE_DIR}/DerivedCoreProperties.txt" Alphabetic name_ranges)
quobble_read_ranges("${QUOBBLE_UNICODE_DIR}/extracted/DerivedGeneralCategory.txt" Nd name_ranges)
list(LENGTH name_ranges range_count)
if(range_count LESS 500)
  message(FATAL_ERROR "Unicode data in ${QUOBBLE_UNICODE_DIR} gave only ${range_count} letter and digit ranges")
endif()

set(body "// Generated from ${QUOBBLE_UNICODE_DIR} by cmake/name_table.cmake; do not edit.\n")
foreach(range IN LISTS name_ranges)
  string(REPLACE ":" ", 0x" pair "${range}")
  string(APPEND body "{0x${pair}},\n")
endforeach()
set(QUOBBLE_NAME_RANGES_FILE "${PROJECT_BINARY_DIR}/generated/xml/name_ranges.inc")
# Written only when it changes, so a reconfigure does not rebuild the parser.
file(CONFIGURE OUTPUT "${QUOBBLE_NAME_RANGES_FILE}" CONTENT "${body}" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${QUOBBLE_UNICODE_DIR}/DerivedCoreProperties.txt"
  "${QUOBBLE_UNICODE_DIR}/extracted/DerivedGeneralCategory.txt")
