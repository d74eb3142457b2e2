# Lists the dynamic symbols that libkine.so defines and fails on any that is
# not part of the public API.
execute_process(COMMAND nm -D --defined-only -C ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(public_patterns
  "^KineDAQ::" "^KinePorts::"
  "^KinePackage::" "^KinePackage6D::" "^SensorConfig::" "^KPort::"
  "^kine::alloc::reallocPackArray\\("
  "^serial::Serial::" "^serial::SerialException::" "^serial::IOException::"
  "^serial::PortNotOpenedException::" "^serial::list_ports\\(\\)"
  "^(typeinfo|typeinfo name|vtable) for serial::(Serial|SerialException|IOException|PortNotOpenedException)$"
  "^call[A-Za-z0-9_]+$"
  "^newptr$" "^size$" "^arrSize$")
set(count 0)
set(bad "")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" name "${line}")
  string(REGEX REPLACE "@.*$" "" name "${name}")
  math(EXPR count "${count} + 1")
  set(ok FALSE)
  foreach(p IN LISTS public_patterns)
    if(name MATCHES "${p}")
      set(ok TRUE)
      break()
    endif()
  endforeach()
  if(NOT ok)
    string(APPEND bad "  ${name}\n")
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "libkine.so exports internal symbols:\n${bad}")
endif()
# C functions that callers resolve by name.
set(required callGetLastOpenError callGetLastOpenErrno callOpenErrorText)
foreach(name IN LISTS required)
  if(NOT symbols MATCHES "(^|\n)[0-9a-fA-F]+ T ${name}(@[^\n]*)?(\n|$)")
    string(APPEND bad "  ${name}\n")
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "libkine.so lacks public functions:\n${bad}")
endif()
if(count LESS 50)
  message(FATAL_ERROR "libkine.so exports only ${count} symbols; the public API is missing")
endif()
message(STATUS "${count} exported symbols, all public")
