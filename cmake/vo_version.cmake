# The release version of this tree: VERSION, with "+g<commit>" appended unless HEAD carries the tag
# v<VERSION>. A tree without git (or without .git) is taken as the plain VERSION.
#   cmake -DSRC=<source dir> -DOUT=<header> -P vo_version.cmake   writes the header when it changed
#   cmake -DSRC=<source dir> -P vo_version.cmake                  prints the version on stdout
cmake_policy(VERSION 3.20)
file(STRINGS "${SRC}/VERSION" base LIMIT_COUNT 1)
string(STRIP "${base}" base)
if(NOT base MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION must read MAJOR.MINOR.PATCH, not '${base}'")
endif()
set(major ${CMAKE_MATCH_1})
set(minor ${CMAKE_MATCH_2})
set(patch ${CMAKE_MATCH_3})

set(version "${base}")
find_program(VO_GIT git)
if(VO_GIT AND EXISTS "${SRC}/.git")
  execute_process(COMMAND ${VO_GIT} -C "${SRC}" tag --points-at HEAD
                  OUTPUT_VARIABLE tags RESULT_VARIABLE tag_rc ERROR_QUIET)
  execute_process(COMMAND ${VO_GIT} -C "${SRC}" rev-parse --short=10 HEAD
                  OUTPUT_VARIABLE sha RESULT_VARIABLE sha_rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(REPLACE "\n" ";" tags "${tags}")
  if(sha_rc EQUAL 0 AND sha AND NOT "v${base}" IN_LIST tags)
    set(version "${base}+g${sha}")
  endif()
endif()

if(NOT OUT)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${version}")
  return()
endif()
set(text "// Generated from VERSION and git by cmake/vo_version.cmake; do not edit.
#pragma once
#define VO_VERSION \"${version}\"
#define VO_VERSION_MAJOR ${major}
#define VO_VERSION_MINOR ${minor}
#define VO_VERSION_PATCH ${patch}
")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
