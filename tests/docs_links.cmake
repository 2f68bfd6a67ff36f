# Every relative link of the README and of docs/*.md names a file or a
# directory that exists (an anchor after '#' is not checked; links with a
# scheme, such as https:, are left alone).
#
#   cmake -DSOURCE_DIR=<source tree> -P docs_links.cmake
cmake_minimum_required(VERSION 3.19)

file(GLOB pages "${SOURCE_DIR}/docs/*.md")
set(broken "")
set(count 0)
foreach(page "${SOURCE_DIR}/README.md" ${pages})
  file(READ "${page}" text)
  get_filename_component(dir "${page}" DIRECTORY)
  file(RELATIVE_PATH name "${SOURCE_DIR}" "${page}")
  # [text](target) and ![alt](target); a target holds no blank or ')'.
  # (A ']' in a list element would keep CMake from splitting the list.)
  string(REPLACE "](" "@LINK@" text "${text}")
  string(REGEX MATCHALL "@LINK@[^) \t\n]+\\)" links "${text}")
  foreach(link IN LISTS links)
    string(REGEX REPLACE "^@LINK@([^)#]*).*\\)$" "\\1" target "${link}")
    if(target STREQUAL "" OR target MATCHES "^[a-zA-Z][a-zA-Z0-9+.-]*:")
      continue()
    endif()
    math(EXPR count "${count} + 1")
    if(NOT EXISTS "${dir}/${target}")
      string(APPEND broken "\n  ${name}: ${target}")
    endif()
  endforeach()
endforeach()
if(broken)
  message(FATAL_ERROR "links to files that do not exist:${broken}")
endif()
message(STATUS "${count} relative links, each to a file that exists")
