# sat_cli must need exactly libc and libdl: it binds the library at run time.
# readelf -d lists what the program asks the loader for.
execute_process(COMMAND ${READELF} -d ${EXE} OUTPUT_VARIABLE dyn RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${EXE}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]]+\\]" lines "${dyn}")
set(needed "")
foreach(l IN LISTS lines)
  string(REGEX REPLACE ".*\\[([^]]+)\\].*" "\\1" lib "${l}")
  list(APPEND needed ${lib})
endforeach()
# The loader itself is named where the toolchain's unwinder asks it for frames.
list(FILTER needed EXCLUDE REGEX "^ld-linux.*\\.so\\.[0-9]+$")
list(SORT needed)
if(NOT needed STREQUAL "libc.so.6;libdl.so.2")
  message(FATAL_ERROR "sat_cli needs ${needed}, expected libc.so.6;libdl.so.2")
endif()
