# Checks the README's blocks that cannot be compiled: the quick start, the
# commands that need root, the CMake lines for consumers, and that every
# fenced block carries a tag the README tests know. Then runs the demo of
# the quick start.
#   cmake -DSOURCE_DIR=... -DBUILD_DIR=... -DTOOL=... -DTOOL_TARGET=... -P check_readme.cmake
file(READ ${SOURCE_DIR}/README.md text)
file(READ ${SOURCE_DIR}/.ci/run ci)
set(errors "")

# Block contents by their fence line.
function(fenced_block fence out)
  string(FIND "${text}" "${fence}\n" start)
  if(start EQUAL -1)
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  string(LENGTH "${fence}\n" length)
  math(EXPR start "${start} + ${length}")
  string(SUBSTRING "${text}" ${start} -1 rest)
  string(FIND "${rest}" "\n```" stop)
  string(SUBSTRING "${rest}" 0 ${stop} code)
  set(${out} "${code}" PARENT_SCOPE)
endfunction()

# Every fence: opening lines carry a known tag.
string(REGEX MATCHALL "\n```[^\n]*" fences "\n${text}")
set(opening TRUE)
foreach(f IN LISTS fences)
  string(STRIP "${f}" f)
  if(opening AND NOT f MATCHES "^```(text|(cpp|c|sh) example=[a-z0-9_]+|sh quickstart=(demo|tests)|sh root|cmake consumer|python)$")
    string(APPEND errors "a code block without a tested tag: '${f}'\n")
  endif()
  if(opening)
    set(opening FALSE)
  else()
    set(opening TRUE)
  endif()
endforeach()

# The test command is the one .ci/run runs; the demo command configures the
# same way and runs the kine the build makes.
fenced_block("```sh quickstart=tests" tests)
fenced_block("```sh quickstart=demo" demo)
string(REGEX MATCH "\ncmake -S [^\n]*" ciCommand "${ci}")
string(STRIP "${ciCommand}" ciCommand)
if(NOT tests STREQUAL ciCommand)
  string(APPEND errors "the README test command\n  ${tests}\ndiffers from .ci/run's\n  ${ciCommand}\n")
endif()
string(REGEX MATCH "^[^&]*&&" configure "${tests}")
file(RELATIVE_PATH toolPath ${BUILD_DIR} ${TOOL})
set(expected "${configure} cmake --build build -j2 --target ${TOOL_TARGET} && ./build/${toolPath} demo")
if(NOT demo STREQUAL expected)
  string(APPEND errors "the README demo command\n  ${demo}\nis not\n  ${expected}\n")
endif()

# Commands for root: the packages are those .ci/run installs, the files exist.
string(REGEX MATCHALL "```sh root\n[^`]*" rootBlocks "${text}")
foreach(b IN LISTS rootBlocks)
  string(REGEX MATCH "apt-get install -y ([^\n]*)" _ "${b}")
  string(REPLACE " " ";" packages "${CMAKE_MATCH_1}")
  foreach(p IN LISTS packages)
    string(REGEX REPLACE "([+.])" "\\\\\\1" pattern "${p}")
    if(NOT ci MATCHES "[ (]${pattern}[ )]")
      string(APPEND errors "README installs ${p}, .ci/run does not\n")
    endif()
  endforeach()
  string(REGEX MATCHALL "packaging/[^ \n]+" paths "${b}")
  foreach(p IN LISTS paths)
    if(NOT EXISTS ${SOURCE_DIR}/${p})
      string(APPEND errors "README names ${p}, which does not exist\n")
    endif()
  endforeach()
endforeach()

# CMake lines for consumers are lines of the install test's consumer.
fenced_block("```cmake consumer" consumer)
file(STRINGS ${SOURCE_DIR}/tests/install/consumer/CMakeLists.txt consumerLines)
string(REPLACE "\n" ";" lines "${consumer}")
foreach(l IN LISTS lines)
  list(FIND consumerLines "${l}" at)
  if(at EQUAL -1)
    string(APPEND errors "README CMake line '${l}' is not in tests/install/consumer/CMakeLists.txt\n")
  endif()
endforeach()

if(errors)
  message(FATAL_ERROR "${errors}")
endif()

execute_process(COMMAND ${TOOL} demo RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "samples/s")
  message(FATAL_ERROR "kine demo failed (${rc}):\n${out}${err}")
endif()
message(STATUS "README quick start, commands and tags check out; kine demo ran")
