# SPDX-License-Identifier: Apache-2.0
# Writes the README that is installed: the repository's README without the
# sections that concern only those who build, test and measure tarsil.
#   cmake -DINPUT=README.md -DOUTPUT=<file> -P UserReadme.cmake
set(developer_sections
  "Two commands for a fresh Debian machine"
  "Performance"
  "Testing"
  "Fuzzing"
  "Layout")

# The text is cut at each "## " heading with string positions only: as a
# CMake list its semicolons and brackets would not survive.
file(READ "${INPUT}" rest)
set(text "")
while(NOT rest STREQUAL "")
  string(FIND "${rest}" "\n## " next)
  if(next EQUAL -1)
    set(chunk "${rest}")
    set(rest "")
  else()
    math(EXPR next "${next} + 1")
    string(SUBSTRING "${rest}" 0 ${next} chunk)
    string(SUBSTRING "${rest}" ${next} -1 rest)
  endif()
  set(keep TRUE)
  if(chunk MATCHES "^## ([^\n]*)")
    list(FIND developer_sections "${CMAKE_MATCH_1}" found)
    if(NOT found EQUAL -1)
      set(keep FALSE)
    endif()
  endif()
  if(keep)
    string(APPEND text "${chunk}")
  endif()
endwhile()
file(WRITE "${OUTPUT}.tmp" "${text}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
