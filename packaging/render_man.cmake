# Writes the manual page: packaging/bramblewick.1.in with the program's own --help as its
# OPTIONS section, so the page lists every option the program has.
#   cmake -DPROGRAM=... -DIN=... -DOUT=... -DVERSION=... -P render_man.cmake
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed: ${rc}")
endif()
# roff: backslashes escaped, lines that would read as requests protected, hyphens literal.
string(REPLACE "\\" "\\e" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(REGEX REPLACE "\n+$" "" help "${help}")
file(READ ${IN} page)
string(REPLACE "@BW_OPTIONS@" "${help}" page "${page}")
string(REPLACE "@PROJECT_VERSION@" "${VERSION}" page "${page}")
file(WRITE ${OUT} "${page}")
