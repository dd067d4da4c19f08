# Renders each manual page in PAGES as man does and fails on any warning
# (man itself exits 0 after warning).
find_program(MAN man)
if(NOT MAN)
  message(FATAL_ERROR "man is not installed (scripts/setup installs man-db)")
endif()
foreach(page ${PAGES})
  execute_process(COMMAND ${MAN} --warnings -E UTF-8 -l ${page}
                  OUTPUT_QUIET ERROR_VARIABLE warnings RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR warnings)
    message(FATAL_ERROR "${page}: man exit ${rc}\n${warnings}")
  endif()
  message(STATUS "${page}: no warnings")
endforeach()
