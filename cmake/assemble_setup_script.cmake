# Puts the setup script together from its parts, in the order given: the script that the
# executable embeds as resource 101 and that every test loads.
#
# Each part is UTF-8 with a byte-order mark, LF line ends only and a final LF, and opens with
# a comment for its maintainers: the lines that begin with "##" and the blank lines after
# them. That comment and each part's byte-order mark stay out; the script is one byte-order
# mark, then the parts with one blank line between each and the next.
#
# Usage: cmake -DPARTS=<part;part;...> -DOUTPUT=<script> -P assemble_setup_script.cmake
if(NOT PARTS OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DPARTS=<part;...> -DOUTPUT=<script> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()

string(ASCII 239 187 191 bom)
set(script "${bom}")
set(separator "")
foreach(part IN LISTS PARTS)
  file(READ "${part}" start LIMIT 3 HEX)
  if(NOT start STREQUAL "efbbbf")
    message(FATAL_ERROR "${part} must begin with the UTF-8 byte-order mark")
  endif()
  file(READ "${part}" text OFFSET 3)
  string(FIND "${text}" "\r" carriage_return)
  if(NOT carriage_return EQUAL -1)
    message(FATAL_ERROR "${part} must have LF line ends only")
  endif()
  if(NOT text MATCHES "\n$")
    message(FATAL_ERROR "${part} must end with a line feed")
  endif()
  string(REGEX REPLACE "^(##[^\n]*\n)+\n*" "" text "${text}")
  string(APPEND script "${separator}${text}")
  set(separator "\n")
endforeach()
file(WRITE "${OUTPUT}.new" "${script}")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
