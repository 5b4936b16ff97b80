# Fails unless the dynamic symbols that MODULE defines are exactly the two
# entry points of an analyzer module. Run with -DNM=... -DMODULE=...
execute_process(COMMAND ${NM} -D --defined-only ${MODULE}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
if(NOT names STREQUAL "deleteStrigiAnalyzerFactory;strigiAnalyzerFactory")
  message(FATAL_ERROR "${MODULE} defines these dynamic symbols: ${names}")
endif()
message(STATUS "exported: ${names}")
