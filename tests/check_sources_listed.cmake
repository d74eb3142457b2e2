# SPDX-License-Identifier: MIT
# Fails when a library source or a test source of the tree is named by no
# build file (the build lists its sources explicitly).
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/serial/*.cpp ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.c)
file(GLOB_RECURSE build_files ${SOURCE_DIR}/CMakeLists.txt)
list(FILTER build_files EXCLUDE REGEX "^${SOURCE_DIR}/build")
set(listed "")
foreach(f IN LISTS build_files)
  file(READ ${f} text)
  string(APPEND listed "${text}\n")
endforeach()
set(missing "")
foreach(source IN LISTS sources)
  get_filename_component(name ${source} NAME)
  get_filename_component(stem ${source} NAME_WE)
  # A build file names a file by its path, its name, or (C programs) its stem.
  if(NOT listed MATCHES "[ /(]${name}[ )\n]" AND NOT listed MATCHES "[ (]${stem}[ )\n]")
    string(APPEND missing "  ${source}\n")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "sources named by no build file:\n${missing}")
endif()
list(LENGTH sources n)
message(STATUS "${n} sources, all listed")
