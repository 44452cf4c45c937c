# SPDX-License-Identifier: Apache-2.0
# Run by the build of each folder's library (cmake -P): fails when a source
# of the folder includes a header of a folder that its library does not use.
#
#   cmake -DFOLDER=map -DUSES=map,coff,support -DSTAMP=file -P CheckIncludes.cmake FILE...
#
# Only includes of the form "folder/..." are looked at: headers of the
# system and of the standard library are everyone's.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "," ";" USES "${USES}")
set(files)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE 1 ${last})
  if(CMAKE_ARGV${i} MATCHES "\\.(cpp|h)$")
    list(APPEND files "${CMAKE_ARGV${i}}")
  endif()
endforeach()

set(wrong)
foreach(file ${files})
  file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[A-Za-z_]+/")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([A-Za-z_]+)/.*" "\\1" folder "${line}")
    if(NOT folder IN_LIST USES)
      list(APPEND wrong "  ${file}: ${line}")
    endif()
  endforeach()
endforeach()

if(wrong)
  list(JOIN wrong "\n" text)
  list(REMOVE_ITEM USES ${FOLDER})
  list(JOIN USES ", " used)
  message(FATAL_ERROR "src/${FOLDER} may include only its own headers and those of ${used}:\n${text}")
endif()
file(TOUCH "${STAMP}")
