# Installs the build into PREFIX, checks the installed module's dynamic symbols
# (CHECK_SYMBOLS) and that nothing went into the system library directory,
# then runs the installed mp4meta on SAMPLE with STRIGI_PLUGIN_PATH unset: it
# must load the installed module and its private interface library (the
# dynamic loader's trace shows which files it opened) and report a value.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
set(MODULE ${PREFIX}/${LIBDIR}/strigi/strigita_mp4.so)
include(${CHECK_SYMBOLS})
file(GLOB public ${PREFIX}/${LIBDIR}/*.so*)
if(public)
  message(FATAL_ERROR "installed into the system library directory: ${public}")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=STRIGI_PLUGIN_PATH --unset=LD_LIBRARY_PATH LD_DEBUG=files
          ${PREFIX}/bin/mp4meta --json ${SAMPLE}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT out MATCHES "\"content.mime_type\": \\[\"audio/mp4\"\\]")
  message(FATAL_ERROR "installed mp4meta failed (${status}):\n${out}\n${err}")
endif()
string(REGEX MATCHALL "file=[^ ]*strigita_mp4.so" opened "${err}")
if(NOT opened MATCHES "file=${PREFIX}/")
  message(FATAL_ERROR "installed mp4meta did not load the installed module: ${opened}")
endif()
string(REGEX MATCHALL "calling init: [^ \n]*libstrigi-interface.so[^ \n]*" opened "${err}")
if(NOT opened MATCHES "init: ${PREFIX}/[^ ]*mp4meta/libstrigi-interface")
  message(FATAL_ERROR "installed mp4meta did not use the installed interface library: ${opened}")
endif()
