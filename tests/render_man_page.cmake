cmake_minimum_required(VERSION 3.25)
# Renders one manual page as man does and fails on any warning from groff,
# or when one of the sections readers look for is missing.
if(NOT GROFF)
  message(FATAL_ERROR "groff not found: install groff-base")
endif()
execute_process(COMMAND ${GROFF} -man -Tutf8 -ww ${PAGE}
  OUTPUT_VARIABLE rendered ERROR_VARIABLE warnings RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff -man -Tutf8 -ww ${PAGE} (status ${status}):\n${warnings}")
endif()
file(STRINGS ${PAGE} headings REGEX "^\\.SH ")
foreach(section NAME SYNOPSIS DESCRIPTION "EXIT STATUS" DIAGNOSTICS ENVIRONMENT FILES EXAMPLES
    "SEE ALSO")
  if(NOT ".SH ${section}" IN_LIST headings AND NOT ".SH \"${section}\"" IN_LIST headings)
    message(FATAL_ERROR "${PAGE} has no section ${section}")
  endif()
endforeach()
