# Fails unless MODULE defines exactly the two entry points of an analyzer
# module, needs no library of ours, and takes from its host exactly the
# interface symbols (those in namespace Strigi) listed in IMPORTS.
# Run with -DNM=... -DREADELF=... -DMODULE=... -DIMPORTS=...
function(dynamic_symbols out)
  execute_process(COMMAND ${NM} -D ${ARGN} ${MODULE} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
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
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

dynamic_symbols(defined --defined-only)
if(NOT defined STREQUAL "deleteStrigiAnalyzerFactory;strigiAnalyzerFactory")
  message(FATAL_ERROR "${MODULE} defines these dynamic symbols: ${defined}")
endif()

dynamic_symbols(undefined --undefined-only)
list(FILTER undefined INCLUDE REGEX "6Strigi")
file(STRINGS ${IMPORTS} expected REGEX "^[^#]")
list(SORT expected)
if(NOT undefined STREQUAL expected)
  set(extra ${undefined})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${undefined})
  message(FATAL_ERROR "${MODULE} takes other interface symbols than ${IMPORTS} lists:\n"
                      "  not listed: ${extra}\n  listed, not used: ${missing}")
endif()

execute_process(COMMAND ${READELF} -d ${MODULE} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} failed on ${MODULE}")
endif()
if(dynamic MATCHES "NEEDED[^\n]*strigi-interface")
  message(FATAL_ERROR "${MODULE} needs our interface library:\n${dynamic}")
endif()
